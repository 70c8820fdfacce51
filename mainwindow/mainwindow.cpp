#include "mainwindow/mainwindow.h"

#include "commands/commandwindow.h"
#include "connections/connection.h"
#include "commands/commandwindowcompletion.h"
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/globaloptionsdialog.h"
#include "commands/quickcommanddialogs.h"
#include "mainwindow/buttonactions.h"
#include "mainwindow/contextmenus.h"
#include "mainwindow/focusreturn.h"
#include "mainwindow/frameresizer.h"
#include "mainwindow/sessiondialogseam.h"
#include "mainwindow/sendingactions.h"
#include "mainwindow/sessioncommands.h"
#include "mainwindow/logactions.h"
#include "mainwindow/sessionroad.h"
#include "mainwindow/sessiontree.h"
#include "mainwindow/statusbar.h"
#include "ui/titlebar.h"
#include "mainwindow/sftpactions.h"
#include "mainwindow/transferactions.h"
#include "resources/stylesheet.h"
#include "terminal/widgets/terminalarea.h"
#include "transfer/tftp/tftpserverdialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenuBar>
#include <QShortcut>
#include <QSplitter>
#include <QVBoxLayout>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(windowTitleText());
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    resize(1280, 820);
    if (AppSettings::instance().getBool(QStringLiteral("window/maximized"), false))
        setWindowState(windowState() | Qt::WindowMaximized);
    setStyleSheet(QString::fromUtf8(appStyleSheet));

    titleBar = new TitleBar(this, true);
    titleBar->setTitle(windowTitleText());
    titleBar->setIconVisible(true);
    appMenuBar = new QMenuBar(this);
    auto *menuWidget = new QWidget(this);
    auto *menuLayout = new QVBoxLayout(menuWidget);
    menuLayout->setContentsMargins(0, 0, 0, 0);
    menuLayout->setSpacing(0);
    menuLayout->addWidget(titleBar);
    menuLayout->addWidget(appMenuBar);
    setMenuWidget(menuWidget);

    auto *central = new QWidget(this);
    auto *centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);
    auto *horizontal = new QSplitter(Qt::Horizontal, this);
    sessionTree = new SessionTree(horizontal);
    terminalArea = new TerminalArea(horizontal);
    horizontal->addWidget(sessionTree);
    horizontal->addWidget(terminalArea);
    horizontal->setStretchFactor(0, 0);
    horizontal->setStretchFactor(1, 1);
    horizontal->setSizes({240, 1000});
    auto *vertical = new QSplitter(Qt::Vertical, central);
    vertical->setHandleWidth(4);
    vertical->setStyleSheet(QStringLiteral("QSplitter::handle{background:#3e3e42;}"));
    vertical->addWidget(horizontal);
    commandWindow = new CommandWindow(vertical);
    new CommandWindowCompletion(commandWindow);
    vertical->addWidget(commandWindow);
    vertical->setStretchFactor(0, 1);
    vertical->setStretchFactor(1, 0);
    vertical->setSizes({700, 110});
    centralLayout->addWidget(vertical, 1);
    setCentralWidget(central);
    appStatusBar = new StatusBar(this);
    centralLayout->addWidget(appStatusBar, 0);
    // Menu entries act on the terminal area: it has to exist first.
    buildMenus();
    buildToolBar();

    hub = new SessionHub(this, terminalArea, sessionTree, appStatusBar, commandWindow);
    installSessionDialogs(hub->dialogs);
    hub->dialogs.runGlobalOptions = [](QWidget *parent) {
        GlobalOptionsDialog dialog(parent);
        dialog.exec();
    };
    transferActions = new TransferActions(hub);
    logActions = new LogActions(hub);
    road = new SessionRoad(hub);
    sending = new SendingActions(hub);
    buttons = new ButtonActions(hub, sending);
    buttons->dialogs.askGroupName = [](QWidget *parent) -> std::optional<QString> {
        AddButtonGroupDialog dialog(parent);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return dialog.groupName();
    };
    buttons->dialogs.editCommand = [](QWidget *parent, const QStringList &groups, const QString &group, bool edit,
                                      const QString &title, const QString &command) -> std::optional<CommandEdit> {
        const QString mode = LanguageManager::tr(edit ? QStringLiteral("修改") : QStringLiteral("添加"));
        AddCommandDialog dialog(groups, group, mode, title, command, parent);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return CommandEdit{dialog.group(), dialog.title(), dialog.command()};
    };
    sessionCommands = new SessionCommands(hub, road);
    contextMenus = new ContextMenus(hub, {[this](const QString &id) { onSessionConnect(id); },
                                          [this](const QString &id) { onSessionDisconnect(id); },
                                          [this](const QString &id) { onSessionOptions(id); },
                                          [this](const QString &id) { onTabClosed(id); },
                                          [this](const QString &id) { toggleSessionLog(id); }});
    connect(sessionTree, &SessionTree::sessionActivated, this, &MainWindow::onSessionActivated);
    connect(sessionTree, &SessionTree::sessionConnect, road, &SessionRoad::openOrShow);
    connect(sessionTree, &SessionTree::sessionDisconnect, this, &MainWindow::onSessionDisconnect);
    connect(sessionTree, &SessionTree::sessionDelete, this, &MainWindow::onSessionDelete);
    connect(sessionTree, &SessionTree::sessionRenameRequested, this, &MainWindow::onSessionRename);
    connect(sessionTree, &SessionTree::sessionOptionsRequested, this, &MainWindow::onSessionOptions);
    connect(sessionTree, &SessionTree::sessionCloneRequested, this, &MainWindow::onCloneSession);
    connect(sessionTree, &SessionTree::groupDelete, this, &MainWindow::onGroupDelete);
    connect(sessionTree, &SessionTree::newSessionInGroupRequested, this, &MainWindow::onNewSessionInGroup);
    connect(sessionTree, &SessionTree::groupRenameRequested, this, &MainWindow::onRenameGroup);
    connect(sessionTree, &SessionTree::newSessionRequested, this, &MainWindow::onNewSession);
    connect(sessionTree, &SessionTree::newGroupRequested, this, &MainWindow::onNewGroup);
    connect(commandWindow, &CommandWindow::commandSend, this, &MainWindow::onCommandSend);
    connect(commandWindow, &CommandWindow::buttonCommand, this, &MainWindow::onButtonCommand);
    connect(commandWindow, &CommandWindow::buttonScript, this, &MainWindow::onButtonScript);
    connect(commandWindow, &CommandWindow::addGroupRequested, this, &MainWindow::onAddButtonGroup);
    connect(commandWindow, &CommandWindow::addCommandRequested, this, &MainWindow::onAddCommand);
    connect(commandWindow, &CommandWindow::editCommandRequested, this, &MainWindow::onEditCommand);
    connect(commandWindow, &CommandWindow::deleteCommandRequested, this, &MainWindow::onDeleteCommand);
    connect(terminalArea, &TerminalArea::tabClosed, this, &MainWindow::onTabClosed);
    connect(terminalArea, &TerminalArea::inputSent, this, &MainWindow::onTerminalInput);
    connect(terminalArea, &TerminalArea::tabContextMenuRequested, this, &MainWindow::onTabContextMenu);
    connect(terminalArea, &TerminalArea::replySent, hub, &SessionHub::replied);
    connect(terminalArea, &TerminalArea::terminalResized, hub, [this](const QString &id, int cols, int rows) {
        if (Connection *connection = hub->connection(id))
            connection->resize(cols, rows);
    });
    connect(terminalArea, &TerminalArea::readPauseRequested, hub, [this](const QString &id, bool paused) {
        if (Connection *connection = hub->connection(id))
            connection->setReadPaused(paused);
    });
    connect(terminalArea, &TerminalArea::viewContextMenuRequested, this,
            [this](const QString &id, QMenu *menu, const QPoint &pos) {
                onViewContextMenu(id, menu, pos);
                delete menu;
            });
    connect(terminalArea, &TerminalArea::tabActivated, hub, &SessionHub::tabActivated);
    connect(terminalArea, &TerminalArea::tabActivated, commandWindow, [this] { commandWindow->rebuildCompletions(); });

    const struct {
        const char *keys;
        void (MainWindow::*slot)();
    } shortcuts[] = {
        {"Ctrl+N", &MainWindow::onNewSession},   {"Ctrl+Q", &MainWindow::onQuickConnect},
        {"F9", &MainWindow::toggleTree},         {"F7", &MainWindow::toggleCommandWindow},
        {"F11", &MainWindow::toggleFullScreen},
    };
    for (const auto &s : shortcuts) {
        // Menu entries carry the same keys; an ambiguous key would run
        // neither, so the window's own shortcut runs while the entry's
        // shortcut stays for display.
        auto *shortcut = new QShortcut(QKeySequence(QString::fromLatin1(s.keys)), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, s.slot);
    }

    onSessionActivated(SessionStore::instance().currentSessionId());
    connect(Lang::LangSignalHub::instance(), SIGNAL(languageChanged()), this, SLOT(retranslateUi()));
    resizer = new FrameResizer(this);
    // Keys go to the session list until a tab takes them.
    sessionTree->setFocus(Qt::OtherFocusReason);
    new FocusReturn(this);
}

MainWindow::~MainWindow()
{
    delete hub; // its sessions write into widgets that go before it otherwise
}

QString MainWindow::windowTitleText()
{
    QString title = LanguageManager::tr(QStringLiteral("Halvorstead - 多协议终端工具"));
    title.replace(QStringLiteral("Halvorstead"), QStringLiteral("Halvorstead v1.2"), Qt::CaseSensitive);
    return title;
}

QString MainWindow::currentId() const
{
    return SessionStore::instance().currentSessionId();
}

void MainWindow::onNewSession() { sessionCommands->newSession(QString()); }
void MainWindow::onNewSessionInGroup(const QString &group) { sessionCommands->newSession(group); }
void MainWindow::onRenameGroup(const QString &group) { sessionCommands->renameGroup(group); }
void MainWindow::onQuickConnect() { road->quickConnect(); }
void MainWindow::onSessionActivated(const QString &id) { road->activate(id); }
void MainWindow::onSessionConnect(const QString &id) { road->connectSession(id); }
void MainWindow::onSessionDisconnect(const QString &id) { hub->disconnectSession(id); }

void MainWindow::onSessionDelete(const QString &id)
{
    if (sessionCommands->deleteSession(id))
        hub->closeTab(id);
}

void MainWindow::onSessionRename(const QString &id) { sessionCommands->renameSession(id); }
void MainWindow::onSessionOptions(const QString &id) { sessionCommands->sessionOptions(id); }
void MainWindow::onCloneSession(const QString &id) { sessionCommands->cloneSession(id); }
void MainWindow::onGlobalOptions() { sessionCommands->globalOptions(); }
void MainWindow::onGroupDelete(const QString &group) { sessionCommands->deleteGroup(group); }
void MainWindow::onNewGroup() { sessionCommands->newGroup(); }
void MainWindow::onTabClosed(const QString &id) { hub->closeTab(id); }

void MainWindow::onTerminalInput(const QString &id, const QByteArray &data) { hub->typed(id, data); }
void MainWindow::onTabContextMenu(const QString &id, const QPoint &pos) { contextMenus->tabContextMenu(id, pos); }

void MainWindow::onViewContextMenu(const QString &id, QMenu *menu, const QPoint &pos)
{
    contextMenus->viewContextMenu(id, menu, pos);
}

void MainWindow::onCommandSend(const QString &target, const QString &cmd, bool hex)
{
    sending->commandSend(target, cmd, hex);
}

void MainWindow::onButtonCommand(const QString &cmd) { buttons->buttonCommand(cmd); }
void MainWindow::onButtonScript(const QString &script) { buttons->buttonScript(script); }
void MainWindow::onAddButtonGroup() { buttons->addButtonGroup(); }
void MainWindow::onAddCommand(const QString &group) { buttons->addCommand(group); }
void MainWindow::onEditCommand(const QString &group, const QString &title) { buttons->editCommand(group, title); }
void MainWindow::onDeleteCommand(const QString &group, const QString &title) { buttons->deleteCommand(group, title); }
void MainWindow::startTransfer(int protocol, bool send) { transferActions->startTransfer(protocol, send); }
void MainWindow::sendAsciiFile() { transferActions->sendAsciiFile(); }
KermitTransfer *MainWindow::ensureKermitTransfer() { return transferActions->ensureKermitTransfer(); }
void MainWindow::toggleSessionLog(const QString &id) { logActions->toggleSessionLog(id); }
void MainWindow::startAsciiCapture() { logActions->startAsciiCapture(); }
void MainWindow::stopAsciiCapture(const QString &id) { logActions->stopAsciiCapture(id); }

namespace {
void flip(QWidget *widget, QAction *action)
{
    const bool visible = !widget->isVisible();
    widget->setVisible(visible);
    if (action)
        action->setChecked(visible);
}
} // namespace

void MainWindow::toggleTree() { flip(sessionTree, treeAction); }
void MainWindow::toggleCommandWindow() { flip(commandWindow, commandWindowAction); }
void MainWindow::toggleStatusBar() { flip(appStatusBar, statusBarAction); }

void MainWindow::toggleFullScreen()
{
    if (!isFullScreen())
        showFullScreen();
    else
        showNormal();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    hub->tellInFront();
    AppSettings::instance().setValue(QStringLiteral("window/maximized"), bool(windowState() & Qt::WindowMaximized));
    AppSettings::instance().sync();
    hub->closeAll();
    QMainWindow::closeEvent(event);
    // Closing this window ends the program. Left to the last-window rule, a
    // window shown after this one has gone (a late box) cancels the end, and
    // the process stays on with no window once that box is closed.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

void MainWindow::openTftpDialog()
{
    if (!tftpDialog)
        tftpDialog = new TftpServerDialog(this);
    tftpDialog->show();
    tftpDialog->raise();
    tftpDialog->activateWindow();
}

void MainWindow::openSftpTab() { openSftpDialog(*hub); }

void MainWindow::renameCurrentSession()
{
    sessionCommands->renameSession(currentId());
}
