#pragma once

#include <QMainWindow>
#include <QMap>
#include <memory>

#include "mainwindow/sessionhub.h"

class QAction;
class QMenu;
class QMenuBar;
class QToolBar;
class CommandWindow;
class ButtonActions;
class ContextMenus;
class FrameResizer;
class SendingActions;
class SessionCommands;
class KermitTransfer;
class LogActions;
class SessionRoad;
class SessionTree;
class StatusBar;
class TerminalArea;
class TftpServerDialog;
class TitleBar;
class TransferActions;

// The program's one top-level window: frameless, with its own title bar and
// menus, the session tree, the terminal tabs, the command window and the
// status bar. Slots are short: the work is done by collaborators (the
// session road, sending, buttons, session commands, context menus,
// transfers, logging and SFTP).
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    static QString windowTitleText();
    SessionHub *sessionHub() const { return hub; }
    // Where the quick-command dialogs are plugged in.
    ButtonActions *buttonActions() const { return buttons; }
    TransferActions *transfers() const { return transferActions; }
    LogActions *logging() const { return logActions; }
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
    void startTransfer(int protocol, bool send);
    void sendAsciiFile();
    KermitTransfer *ensureKermitTransfer();
    void toggleSessionLog(const QString &id);
    void startAsciiCapture();
    void stopAsciiCapture(const QString &id);
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
    void openSftpTab();
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
    // The open tabs' sessions, shared with the collaborators.
    SessionHub *hub = nullptr;
    TftpServerDialog *tftpDialog = nullptr;
    TransferActions *transferActions = nullptr;
    LogActions *logActions = nullptr;

    SendingActions *sending = nullptr;
    ButtonActions *buttons = nullptr;
    SessionCommands *sessionCommands = nullptr;
    ContextMenus *contextMenus = nullptr;
    // The session road: from a session id to a running connection.
    SessionRoad *road = nullptr;
    FrameResizer *resizer = nullptr;
};
