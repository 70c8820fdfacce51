#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
struct SessionInfo;

// The left pane: the saved sessions by group, with a filter box. It reads
// the session store on every refresh and never changes it: each request
// leaves as a signal that the main window answers.
class SessionTree : public QWidget
{
    Q_OBJECT
public:
    enum Role { SessionIdRole = Qt::UserRole + 1, ItemKindRole, SessionStatusRole };

    explicit SessionTree(QWidget *parent = nullptr);

    static QIcon statusDotIcon(const QString &color);
    static QIcon folderIcon(const QString &color);
    // The colour of the dot for a state word.
    static QString statusColor(const QString &status);

signals:
    void sessionActivated(const QString &id);
    void sessionConnect(const QString &id);
    void sessionDisconnect(const QString &id);
    void sessionDelete(const QString &id);
    void sessionRenameRequested(const QString &id);
    void sessionOptionsRequested(const QString &id);
    void sessionCloneRequested(const QString &id);
    void newSessionRequested();
    void newGroupRequested();
    void newSessionInGroupRequested(const QString &groupName);
    void groupRenameRequested(const QString &groupName);
    void groupDelete(const QString &groupName);

public slots:
    void refresh();
    void filter(const QString &text);
    void retranslateUi();

private slots:
    void onItemActivated(QTreeWidgetItem *item, int column);
    void onCustomContextMenu(const QPoint &pos);
    void onSearchChanged(const QString &text);

private:
    QTreeWidgetItem *makeSessionItem(QTreeWidgetItem *parent, const SessionInfo &session);
    void buildItemMenu(QMenu *menu, QTreeWidgetItem *item);

    QTreeWidget *tree = nullptr;
    QLineEdit *filterEdit = nullptr;
    QLabel *headerLabel = nullptr;
    QPushButton *newSessionButton = nullptr;
    QPushButton *newGroupButton = nullptr;
    QPushButton *hideButton = nullptr;
};
