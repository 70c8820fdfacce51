#pragma once

#include <QMap>
#include <QStringList>
#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QKeyEvent;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QShortcut;

// The pane under the terminals: a command input that goes to the current
// session, to all sessions, to the current tab group or to the visible ones,
// as text or as HEX; a history per session walked with Up and Down; the strip
// of quick-command buttons with its group filter. It sends nothing itself: it
// emits requests, and the main window delivers them.
class CommandWindow : public QWidget
{
    Q_OBJECT
public:
    explicit CommandWindow(QWidget *parent = nullptr);

    // Refills the group filter from the store and rebuilds the buttons.
    void reloadButtons();
    // Forgets a session's history here and in commandHistoryRegistry().
    void clearHistory(const QString &sessionId);
    void retranslateUi();
    // Selects send target `index` (0 current, 1 all, 2 tab group, 3 visible);
    // any other index changes nothing.
    void setSendTarget(int index);
    void refreshCompletions() { rebuildCompletions(); }
    // Rebuilds the completion candidates for the current session.
    void rebuildCompletions();

    // What completes the input while the user types (the popup and its
    // candidates) plugs in here; without it the window completes nothing.
    struct Completer {
        std::function<void()> rebuild;            // gather the candidates again
        std::function<bool(QKeyEvent *)> keyPress; // a key on the input: true when taken
        std::function<void()> dismiss;            // hide what is shown
    };
    void setCompleter(Completer completer);
    QPlainTextEdit *inputEditor() const { return input; }
    QCheckBox *hexBox() const { return hexCheck; }
    // The current session's history, oldest first.
    QStringList sessionHistory();
    bool isWalkingHistory() const { return historyIndex >= 0; }
    // Puts a chosen completion in the input, the cursor at its end, and ends
    // any history walk.
    void takeCompletion(const QString &text);

signals:
    void commandSend(const QString &target, const QString &command, bool hex);
    void buttonCommand(const QString &command);
    void buttonScript(const QString &script);
    void addGroupRequested();
    void addCommandRequested(const QString &group);
    void editCommandRequested(const QString &group, const QString &title);
    void deleteCommandRequested(const QString &group, const QString &title);
    // The body was expanded (true) or collapsed to the header (false).
    void toggled(bool visible);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private slots:
    void onSend();
    void onHeaderClicked();
    // Puts cmd in the input and focuses it; any history walk goes on as it was.
    void fillFromHistory(const QString &cmd);

private:
    void fillTargets();
    void syncHistorySession();
    void addHistory(const QString &cmd);
    void showHistoryEntry(int index);
    bool walkHistory(int key);
    void dismissCompletion();
    // The quick-command strip.
    void refreshGroupCombo();
    void rebuildButtons();
    void onGroupFilterChanged(int index);
    void showButtonMenu(QPushButton *button, const QString &group, const QString &title, const QPoint &pos);
    void releaseRetiredButtons();

    QWidget *header = nullptr;
    QComboBox *targetCombo = nullptr;
    QPlainTextEdit *input = nullptr;
    QComboBox *groupCombo = nullptr;
    QScrollArea *stripArea = nullptr;
    QWidget *buttonStrip = nullptr;
    QString groupFilter; // label of the group shown; empty: all groups
    QCheckBox *hexCheck = nullptr;
    bool collapsed = false;
    QLabel *titleLabel = nullptr;
    QLabel *targetLabel = nullptr;
    QLabel *groupLabel = nullptr;
    QPushButton *sendButton = nullptr;
    QWidget *body = nullptr;
    QLabel *arrow = nullptr;
    QShortcut *sendShortcut = nullptr;

    // Session id -> commands sent while it was current, oldest first.
    QMap<QString, QStringList> historyBySession;
    // The list of historySessionId, written back after every change.
    QStringList history;
    QString historySessionId;
    int historyIndex = -1; // place of the Up/Down walk; -1 when not walking
    QString savedInput;    // what the user had typed when the walk began

    Completer completer;
    // Buttons taken out of the strip while one of them may still be running
    // its own context menu; released once no button menu is open.
    QList<QWidget *> retiredButtons;
    int buttonMenuDepth = 0;
};
