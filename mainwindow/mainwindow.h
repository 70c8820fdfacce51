#pragma once

#include <QMainWindow>
#include <QMap>
#include <memory>

#include "mainwindow/sessionhub.h"
#include "mainwindow/windowactions.h"

class QAction;
class QMenu;
class QMenuBar;
class QToolBar;
class CommandWindow;
class FrameResizer;
class SessionTree;
class StatusBar;
class TerminalArea;
class TftpServerDialog;
class TitleBar;
class TreeActions;

// The program's one top-level window: frameless, with its own title bar and
// menus, the session tree, the terminal tabs, the command window and the
// status bar. Slots are short: the work is done by collaborators (the tree
// actions here, and whatever implements WindowActions).
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    static QString windowTitleText();
    // Replaces the handlers of the session road, transfers and logging.
    void setActions(std::unique_ptr<WindowActions> actions);
    SessionHub *sessionHub() const { return hub; }
    void showAboutDialog();
    void openHomePage();

public slots:
    void onNewSession();
    void onNewSessionInGroup(const QString &group);
    void onRenameGroup(const QString &group);
    void onQuickConnect();
    void onSessionActivated(const QString &id);
    void onSessionConnect(const QString &id);
    void onSessionDisconnect(const QString &id);
    void onSessionDelete(const QString &id);
    void onSessionRename(const QString &id);
    void onSessionOptions(const QString &id);
    void onCloneSession(const QString &id);
    void onGlobalOptions();
    void onGroupDelete(const QString &group);
    void onNewGroup();
    void onTabClosed(const QString &id);
    void onTerminalInput(const QString &id, const QByteArray &data);
    void onTabContextMenu(const QString &id, const QPoint &globalPos);
    void onViewContextMenu(const QString &id, QMenu *menu, const QPoint &globalPos);
    void onCommandSend(const QString &target, const QString &cmd, bool hex);
    void onButtonCommand(const QString &cmd);
    void onButtonScript(const QString &script);
    void onAddButtonGroup();
    void onAddCommand(const QString &defaultGroup);
    void onEditCommand(const QString &group, const QString &title);
    void onDeleteCommand(const QString &group, const QString &title);
    void toggleTree();
    void toggleCommandWindow();
    void toggleStatusBar();
    void toggleFullScreen();
    void switchLanguage(const QString &code);
    void retranslateUi();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    void buildToolBar();
    void renameCurrentSession();
    void openTftpDialog();
    void updateLogActionText(QAction *action);
    QString currentId() const;

    TitleBar *titleBar = nullptr;
    QMenuBar *appMenuBar = nullptr;
    QToolBar *mainToolBar = nullptr;
    SessionTree *sessionTree = nullptr;
    TerminalArea *terminalArea = nullptr;
    CommandWindow *commandWindow = nullptr;
    StatusBar *appStatusBar = nullptr;
    QAction *treeAction = nullptr;
    QAction *commandWindowAction = nullptr;
    QAction *statusBarAction = nullptr;
    // The open sessions' connections, loggers, tabs and transfer, shared
    // with the collaborators.
    SessionHub *hub = nullptr;
    TftpServerDialog *tftpDialog = nullptr;

    std::unique_ptr<WindowActions> actions;
    TreeActions *treeActions = nullptr;
    FrameResizer *resizer = nullptr;
};
