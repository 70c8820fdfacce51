// The menu bar, the tool bar, the About dialog and the language switch of
// the main window.
#include "mainwindow/mainwindow.h"

#include "commands/commandwindow.h"
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "mainwindow/logactions.h"
#include "mainwindow/sessiontree.h"
#include "mainwindow/statusbar.h"
#include "terminal/widgets/terminalarea.h"
#include "ui/dialogframe.h"
#include "ui/titlebar.h"

#include <QActionGroup>
#include <QDesktopServices>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

namespace {
// Object names follow the source text's English, so tests and tools can find
// an entry whatever the language.
QAction *entry(QMenu *menu, const char *name, const char *label, const char *keys = nullptr)
{
    QAction *action = menu->addAction(LanguageManager::tr(label));
    action->setObjectName(QString::fromLatin1(name));
    if (keys)
        action->setShortcut(QKeySequence(QString::fromLatin1(keys)));
    return action;
}

QMenu *menu(QMenuBar *bar, const char *name, const char *label)
{
    QMenu *m = bar->addMenu(LanguageManager::tr(label));
    m->setObjectName(QString::fromLatin1(name));
    return m;
}

// The window has its own shortcut for these keys; the entry shows the key
// but leaves it to the window, so one press runs the operation once.
void keyShownOnly(QAction *action)
{
    action->setShortcutContext(Qt::WidgetShortcut);
}
} // namespace

void MainWindow::buildMenus()
{
    QMenu *file = menu(appMenuBar, "menuFile", "文件(&F)");
    QAction *a = entry(file, "actionNewSession", "新建会话", "Ctrl+N");
    keyShownOnly(a);
    connect(a, &QAction::triggered, this, &MainWindow::onNewSession);
    a = entry(file, "actionQuickConnect", "快速连接", "Ctrl+Q");
    keyShownOnly(a);
    connect(a, &QAction::triggered, this, &MainWindow::onQuickConnect);
    connect(entry(file, "actionConnect", "连接"), &QAction::triggered, this, [this] { onSessionConnect(currentId()); });
    connect(entry(file, "actionDisconnect", "断开"), &QAction::triggered, this,
            [this] { onSessionDisconnect(currentId()); });
    connect(entry(file, "actionReconnect", "重连"), &QAction::triggered, this, [this] { onSessionConnect(currentId()); });
    file->addSeparator();
    QMenu *print = file->addMenu(LanguageManager::tr("打印"));
    print->setObjectName(QStringLiteral("menuPrint"));
    connect(entry(print, "actionPrintScreen", "打印当前屏幕"), &QAction::triggered, terminalArea,
            &TerminalArea::printScreenCurrent);
    connect(entry(print, "actionPrintBuffer", "打印滚动缓冲"), &QAction::triggered, terminalArea,
            &TerminalArea::printCurrent);
    print->addSeparator();
    connect(entry(print, "actionPrintSettings", "打印设置..."), &QAction::triggered, terminalArea,
            &TerminalArea::pageSetupCurrent);
    file->addSeparator();
    connect(entry(file, "actionExit", "退出", "Alt+F4"), &QAction::triggered, this, &QWidget::close);

    QMenu *edit = menu(appMenuBar, "menuEdit", "编辑(&E)");
    connect(entry(edit, "actionCopy", "复制", "Ctrl+Shift+C"), &QAction::triggered, terminalArea,
            &TerminalArea::copyCurrent);
    connect(entry(edit, "actionPaste", "粘贴", "Ctrl+Shift+V"), &QAction::triggered, terminalArea,
            &TerminalArea::pasteCurrent);
    edit->addSeparator();
    connect(entry(edit, "actionSelectAll", "全选", "Ctrl+A"), &QAction::triggered, terminalArea,
            &TerminalArea::selectAllCurrent);
    connect(entry(edit, "actionClearScreen", "清屏", "Ctrl+L"), &QAction::triggered, terminalArea,
            &TerminalArea::clearCurrent);
    edit->addSeparator();
    connect(entry(edit, "actionFind", "查找", "Ctrl+F"), &QAction::triggered, terminalArea,
            &TerminalArea::findInCurrent);

    QMenu *view = menu(appMenuBar, "menuView", "查看(&V)");
    const struct {
        const char *name, *label;
        void (MainWindow::*slot)();
        QAction **member;
    } toggles[] = {
        {"actionSessionTree", "会话列表", &MainWindow::toggleTree, &treeAction},
        {"actionCommandWindow", "命令窗口", &MainWindow::toggleCommandWindow, &commandWindowAction},
        {"actionStatusBar", "状态栏", &MainWindow::toggleStatusBar, &statusBarAction},
    };
    for (const auto &t : toggles) {
        QAction *toggle = entry(view, t.name, t.label);
        toggle->setCheckable(true);
        toggle->setChecked(true);
        // The slot sets the check to the widget's new visibility.
        connect(toggle, &QAction::triggered, this, t.slot);
        *t.member = toggle;
    }
    view->addSeparator();
    a = entry(view, "actionFullScreen", "全屏", "F11");
    a->setCheckable(true);
    keyShownOnly(a);
    connect(a, &QAction::triggered, this, &MainWindow::toggleFullScreen);

    QMenu *session = menu(appMenuBar, "menuSession", "会话(&N)");
    a = entry(session, "actionSessionNew", "新建会话", "Ctrl+N");
    keyShownOnly(a);
    connect(a, &QAction::triggered, this, &MainWindow::onNewSession);
    a = entry(session, "actionSessionQuickConnect", "快速连接", "Ctrl+Q");
    keyShownOnly(a);
    connect(a, &QAction::triggered, this, &MainWindow::onQuickConnect);
    session->addSeparator();
    connect(entry(session, "actionCloneSession", "克隆会话"), &QAction::triggered, this,
            [this] { onCloneSession(currentId()); });
    connect(entry(session, "actionRenameSession", "重命名会话"), &QAction::triggered, this,
            &MainWindow::renameCurrentSession);
    session->addSeparator();
    connect(entry(session, "actionLogOptions", "日志选项"), &QAction::triggered, this,
            [this] { onSessionOptions(currentId()); });
    QAction *log = entry(session, "actionToggleLog", "启动日志");
    connect(log, &QAction::triggered, this, [this, log] {
        toggleSessionLog(currentId());
        updateLogActionText(log);
    });
    connect(session, &QMenu::aboutToShow, this, [this, log] { updateLogActionText(log); });
    updateLogActionText(log);
    session->addSeparator();
    connect(entry(session, "actionSessionOptions", "会话选项..."), &QAction::triggered, this,
            [this] { onSessionOptions(currentId()); });

    QMenu *transfer = menu(appMenuBar, "menuTransfer", "传输(&T)");
    const struct {
        const char *menuName, *label, *asciiName, *asciiLabel;
        bool send;
    } directions[] = {
        {"menuSendFile", "发送文件", "actionAsciiSend", "ASCII 发送...", true},
        {"menuReceiveFile", "接收文件", "actionAsciiReceive", "ASCII 接收...", false},
    };
    const struct {
        const char *label;
        int protocol;
    } protocols[] = {{"Zmodem...", 2}, {"Xmodem...", 0}, {"Ymodem...", 1}, {"Kermit...", 3}};
    for (const auto &d : directions) {
        QMenu *sub = transfer->addMenu(LanguageManager::tr(d.label));
        sub->setObjectName(QString::fromLatin1(d.menuName));
        for (const auto &p : protocols) {
            QAction *start = sub->addAction(QString::fromLatin1(p.label));
            start->setObjectName(QString::fromLatin1(d.send ? "actionSend%1" : "actionReceive%1")
                                     .arg(QString::fromLatin1(p.label).remove(QLatin1Char('.'))));
            connect(start, &QAction::triggered, this,
                    [this, protocol = p.protocol, send = d.send] { startTransfer(protocol, send); });
        }
        sub->addSeparator();
        QAction *ascii = entry(sub, d.asciiName, d.asciiLabel);
        if (d.send)
            connect(ascii, &QAction::triggered, this, &MainWindow::sendAsciiFile);
        else
            connect(ascii, &QAction::triggered, this, &MainWindow::startAsciiCapture);
    }
    transfer->addSeparator();
    connect(entry(transfer, "actionSftpTab", "SFTP 标签页"), &QAction::triggered, this, &MainWindow::openSftpTab);
    connect(entry(transfer, "actionTftpServer", "TFTP 服务器"), &QAction::triggered, this,
            &MainWindow::openTftpDialog);

    QMenu *script = menu(appMenuBar, "menuScript", "脚本(&S)");
    connect(entry(script, "actionBroadcastInput", "广播输入", "Ctrl+Shift+B"), &QAction::triggered, this,
            [this] {
                // A hidden command window is shown first: the keys must go somewhere visible.
                if (commandWindow->isHidden())
                    toggleCommandWindow();
                commandWindow->setSendTarget(1);
                commandWindow->setFocus(Qt::OtherFocusReason);
            });

    QMenu *options = menu(appMenuBar, "menuOptions", "选项(&O)");
    connect(entry(options, "actionGlobalOptions", "全局选项...", "Ctrl+,"), &QAction::triggered, this,
            &MainWindow::onGlobalOptions);
    connect(entry(options, "actionOptionsSession", "会话选项..."), &QAction::triggered, this,
            [this] { onSessionOptions(currentId()); });

    QMenu *language = menu(appMenuBar, "menuLanguage", "语言");
    auto *group = new QActionGroup(language);
    group->setExclusive(true);
    for (const auto &lang : LanguageManager::availableLanguages()) {
        QAction *choice = language->addAction(lang.second);
        choice->setObjectName(QStringLiteral("actionLanguage_") + lang.first);
        choice->setCheckable(true);
        choice->setChecked(lang.first == LanguageManager::currentLanguage());
        group->addAction(choice);
        connect(choice, &QAction::triggered, this, [this, code = lang.first] { switchLanguage(code); });
    }

    QMenu *help = menu(appMenuBar, "menuHelp", "帮助(&H)");
    connect(entry(help, "actionHome", "主页"), &QAction::triggered, this, &MainWindow::openHomePage);
    help->addSeparator();
    connect(entry(help, "actionAbout", "关于 Halvorstead"), &QAction::triggered, this, &MainWindow::showAboutDialog);
}

void MainWindow::updateLogActionText(QAction *action)
{
    // The menus are built before the collaborators exist.
    const bool logging = logActions && logActions->isLogging(currentId());
    action->setText(logging ? LanguageManager::tr("停止日志") : LanguageManager::tr("启动日志"));
}

void MainWindow::buildToolBar()
{
    if (mainToolBar) {
        removeToolBar(mainToolBar);
        mainToolBar->deleteLater();
        mainToolBar = nullptr;
    }
    mainToolBar = addToolBar(LanguageManager::tr("主工具栏"));
    mainToolBar->setObjectName(QStringLiteral("mainToolBar"));
    mainToolBar->setMovable(false);
    const struct {
        const char *glyph, *label, *tip;
        std::function<void()> run;
    } buttons[] = {
        {"➕", "新建", "新建会话 (Ctrl+N)", [this] { onNewSession(); }},
        {"⚡", "快速连接", "快速连接 (Ctrl+Q)", [this] { onQuickConnect(); }},
        {"🔌", "断开", "断开当前会话", [this] { onSessionDisconnect(currentId()); }},
        {"🔄", "重连", "重连当前会话", [this] { onSessionConnect(currentId()); }},
        {nullptr, nullptr, nullptr, {}},
        {"📝", "日志", "切换日志录制", [this] { toggleSessionLog(currentId()); }},
        {"🔢", nullptr, "切换 HEX 显示", [this] { terminalArea->toggleHexMonitor(currentId()); }},
        {nullptr, nullptr, nullptr, {}},
        {"🖥️", "全屏", "全屏 (F11)", [this] { toggleFullScreen(); }},
    };
    for (const auto &b : buttons) {
        if (!b.glyph) {
            mainToolBar->addSeparator();
            continue;
        }
        const QString label = b.label ? LanguageManager::tr(b.label) : QStringLiteral("HEX");
        QAction *action = mainToolBar->addAction(QStringLiteral("%1 %2").arg(QString::fromUtf8(b.glyph), label));
        action->setToolTip(LanguageManager::tr(b.tip));
        connect(action, &QAction::triggered, this, b.run);
    }
}

void MainWindow::switchLanguage(const QString &code)
{
    if (code == LanguageManager::currentLanguage())
        return;
    LanguageManager::setLanguage(code);
    AppSettings::instance().setValue(QStringLiteral("ui/language"), code);
    AppSettings::instance().sync();
}

void MainWindow::retranslateUi()
{
    setWindowTitle(windowTitleText());
    titleBar->setTitle(windowTitleText());
    if (appMenuBar)
        appMenuBar->clear();
    buildMenus();
    buildToolBar();
    if (sessionTree)
        sessionTree->retranslateUi();
    if (commandWindow)
        commandWindow->retranslateUi();
    if (appStatusBar)
        appStatusBar->retranslateUi();
}

void MainWindow::openHomePage()
{
    QDesktopServices::openUrl(QUrl(QStringLiteral("https://halvorstead.org/"), QUrl::TolerantMode));
}

void MainWindow::showAboutDialog()
{
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("aboutDialog"));
    const DialogFrame frame = frameDialog(&dialog, LanguageManager::tr("📋 关于 Halvorstead"), 20, 12);
    dialog.setFixedSize(400, 200);
    dialog.setStyleSheet(QStringLiteral("QDialog{background-color:#252526;color:#cccccc;}"));
    QWidget *body = frame.body;
    body->setStyleSheet(QStringLiteral("background-color:#252526;"));
    QVBoxLayout *layout = frame.layout;
    auto *heading = new QLabel(LanguageManager::tr("Halvorstead 多协议终端工具"), body);
    heading->setStyleSheet(QStringLiteral("font-size:16px;font-weight:600;color:#ffffff;"));
    layout->addWidget(heading);
    auto *description = new QLabel(LanguageManager::tr("基于 Qt 6 构建\n会话管理 · 多协议终端 · 脚本 · 按钮栏"), body);
    description->setStyleSheet(QStringLiteral("font-size:13px;color:#cccccc;line-height:1.6;"));
    description->setWordWrap(true);
    layout->addWidget(description);
    layout->addStretch();
    auto *row = new QHBoxLayout;
    row->addStretch();
    auto *ok = new QPushButton(LanguageManager::tr("确定"), body);
    ok->setObjectName(QStringLiteral("primaryButton"));
    ok->setFixedWidth(80);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    row->addWidget(ok);
    layout->addLayout(row);
    dialog.exec();
}
