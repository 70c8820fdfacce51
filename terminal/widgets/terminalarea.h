#pragma once

#include <QStringList>
#include <QWidget>

#include <QMenu>
class QStackedWidget;
class QTabBar;
class TerminalView;
struct SshConnectParams;

// The tabs of open sessions over a stack of terminal views, addressed by
// session id. The tab bar, the stack and `ids` always hold the same entries
// in the same order.
class TerminalArea : public QWidget
{
    Q_OBJECT
public:
    explicit TerminalArea(QWidget *parent = nullptr);

    void addTerminal(const QString &id, const QString &title, const QString &status, const QString &html);
    void appendData(const QString &id, const QByteArray &bytes);
    void appendHtml(const QString &id, const QString &html);
    void clearTerminal(const QString &id);
    // The SSH session's remote tree beside its terminal (made once, reconnected each call).
    void attachRemoteDirTree(const QString &id, const SshConnectParams &params);
    void closeTab(const QString &id);
    void setTabTitle(const QString &id, const QString &title);
    void setTabStatus(const QString &id, const QString &status);
    bool toggleHexMonitor(const QString &id);

    void clearCurrent();
    void copyCurrent();
    void pasteCurrent();
    void selectAllCurrent();
    void findInCurrent();
    void printCurrent();
    void printScreenCurrent();
    void pageSetupCurrent();

    TerminalView *view(const QString &id) const;
    TerminalView *currentView() const;
    QStringList sessionIds() const { return ids; }
    // The icon a tab shows for a state word.
    static QIcon stateIcon(const QString &status);

signals:
    void tabClosed(const QString &id);
    void tabActivated(const QString &id);
    void inputSent(const QString &id, const QByteArray &data);
    // Answers to the host's device queries; kept apart from typed input so
    // that a running transfer can drop them instead of being cancelled.
    void replySent(const QString &id, const QByteArray &data);
    void tabContextMenuRequested(const QString &id, const QPoint &globalPos);
    void viewContextMenuRequested(const QString &id, QMenu *menu, const QPoint &globalPos);
    void terminalResized(const QString &id, int cols, int rows);
    // A view cannot keep up: the session's connection should pause reading.
    void readPauseRequested(const QString &id, bool paused);
    void sendToSession(const QString &id, const QString &cmd);

private:
    void currentChanged(int index);

    QStackedWidget *stack;
    QTabBar *tabBar;
    QStringList ids;
};
