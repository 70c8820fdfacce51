// ui_shots OUTDIR: starts the real main window on the current X display with
// a sample data folder and writes a PNG of the window, of every menu opened
// and of every dialog, for a person to look at. Run under xvfb-run with a
// screen larger than the window, e.g.
//   xvfb-run -s "-screen 0 1600x1000x24" build/bench/ui_shots/ui_shots /tmp/shots
#include "bench/ui_shots/shots.h"
#include "commands/buttonbar.h"
#include "commands/commandcompleterpopup.h"
#include "commands/commandwindow.h"
#include "commands/quickcommanddialogs.h"
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/remoteenvregistry.h"
#include "core/sessionstore.h"
#include "dialogs/globaloptionsdialog.h"
#include "ui/groupdialogs.h"
#include "dialogs/sshcredentialsdialog.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessiontree.h"
#include "resources/stylesheet.h"
#include "sftp/widgets/sftpdialog.h"
#include "terminal/widgets/terminalarea.h"
#include "ui/boundedtext.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QDir>
#include <QEventLoop>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <functional>

namespace {
using shots::outDir;
using shots::save;
using shots::settle;

// Runs `open` (which blocks in a modal exec or a popup menu), photographs the
// window that comes up together with the main window, and closes it.
void shootModal(const QString &name, QWidget *main, const std::function<void()> &open)
{
    auto *poll = new QTimer;
    poll->setInterval(50);
    QObject::connect(poll, &QTimer::timeout, [poll, name, main] {
        QWidget *top = QApplication::activePopupWidget();
        if (!top)
            top = QApplication::activeModalWidget();
        if (!top || !top->isVisible())
            return;
        poll->stop();
        settle(250);
        save(name, main->frameGeometry().united(top->frameGeometry()));
        top->close();
        poll->deleteLater();
    });
    poll->start();
    open();
}

void sampleData()
{
    SessionStore &store = SessionStore::instance();
    const QStringList groups{QStringLiteral("Production"), QStringLiteral("Lab 🧪"), QStringLiteral("串口设备")};
    for (const QString &g : groups)
        store.addGroup(g);
    const struct {
        const char *name, *type, *host, *port;
        int group;
        const char *status;
    } sessions[] = {
        {"web-01", "ssh", "10.0.0.11", "22", 0, "connected"},
        {"db-primary", "ssh", "10.0.0.20", "22", 0, "connecting"},
        {"legacy-switch", "telnet", "10.0.1.2", "23", 0, "disconnected"},
        {"<b>x</b>&amp;", "ssh", "h<1>&", "22", 0, "idle"},
        {"router-lab", "telnet", "192.168.1.1", "23", 1, "idle"},
        {"echo-raw", "raw", "127.0.0.1", "7", 1, "connected"},
        {"old-unix", "rlogin", "192.168.1.9", "513", 1, "idle"},
        {"console-ttyUSB0", "serial", "/dev/ttyUSB0", "115200", 2, "connected"},
        {"开发板 调试口", "serial", "/dev/ttyS1", "9600", 2, "idle"},
        {"خادم الإنتاج", "ssh", "10.9.9.9", "22", -1, "idle"},
        {"local bash", "local", "bash", "", -1, "connected"},
        {"local zsh 🐚", "local", "zsh", "", -1, "idle"},
    };
    // A name of 500 characters must stay inside the tree's one column.
    const QString longName = QStringLiteral("A very long session name ").repeated(20);
    store.addSession(longName, QStringLiteral("ssh"), groups.at(1), QStringLiteral("long.example"), QStringLiteral("22"));
    for (const auto &s : sessions) {
        const QString id = store.addSession(QString::fromUtf8(s.name), QString::fromLatin1(s.type),
                                            s.group < 0 ? QString() : groups.at(s.group), QString::fromUtf8(s.host),
                                            QString::fromLatin1(s.port));
        store.setSessionStatus(id, QString::fromLatin1(s.status));
    }
    const struct {
        const char *group, *text, *command, *color;
    } buttons[] = {
        {"Linux", "ls -la", "ls -la\\r", "green"},
        {"Linux", "top", "top\\r", ""},
        {"Linux", "R&D build", "make -j8\\r", "blue"},
        {"Linux", "deploy.py", "deploy.py", "red"},
        {"Cisco 交换机", "show run", "show running-config\\r", "yellow"},
        {"Cisco 交换机", "A caption far too long for any button strip", "echo long\\r", ""},
    };
    // More buttons than the strip has room for: it must scroll, not widen the window.
    for (int i = 1; i <= 12; ++i)
        store.addButton(QStringLiteral("Cisco 交换机"), {QStringLiteral("int gi0/%1").arg(i),
                                                          QStringLiteral("interface gi0/%1\\r").arg(i), QString()});
    for (const auto &b : buttons)
        store.addButton(QString::fromUtf8(b.group), {QString::fromUtf8(b.text), QString::fromUtf8(b.command),
                                                     QString::fromLatin1(b.color)});
}
// Every page of the global options dialog, and the foot of pages that
// scroll, in the current language.
void shootGlobalOptions(QWidget *main, const QString &suffix)
{
    GlobalOptionsDialog dialog(main);
    dialog.show();
    settle(300);
    auto *stack = dialog.findChild<QStackedWidget *>(QStringLiteral("settingsContent"));
    for (int i = 0; i < dialog.pageCount(); ++i) {
        dialog.showPage(i);
        settle();
        const QString name = QStringLiteral("dialog-global-options-%1%2").arg(i + 1, 2, 10, QLatin1Char('0')).arg(suffix);
        save(name, dialog.frameGeometry());
        QScrollBar *bar = qobject_cast<QScrollArea *>(stack->currentWidget())->verticalScrollBar();
        if (bar->maximum() > 0) {
            bar->setValue(bar->maximum());
            settle();
            save(name + QStringLiteral("-end"), dialog.frameGeometry());
        }
    }
}
// Pages wider than the dialog, in any language, scroll sideways: name them.
void reportWidePages(QWidget *main)
{
    const QString before = LanguageManager::currentLanguage();
    for (const auto &language : LanguageManager::languageNames()) {
        LanguageManager::setLanguage(language.first);
        GlobalOptionsDialog dialog(main);
        dialog.show();
        settle(50);
        auto *stack = dialog.findChild<QStackedWidget *>(QStringLiteral("settingsContent"));
        for (int i = 0; i < dialog.pageCount(); ++i) {
            dialog.showPage(i);
            QApplication::processEvents();
            auto *area = qobject_cast<QScrollArea *>(stack->currentWidget());
            if (area->horizontalScrollBar()->maximum() > 0)
                std::printf("wide page: global options page %d in %s by %d px\n", i + 1, qPrintable(language.first),
                            area->horizontalScrollBar()->maximum());
        }
    }
    LanguageManager::setLanguage(before);
}
} // namespace

// Every dialog a user meets, in the current language.
void shootDialogs(MainWindow &window, const QString &suffix)
{
    shootModal(QStringLiteral("dialog-about") + suffix, &window, [&window] { window.showAboutDialog(); });
    shootModal(QStringLiteral("dialog-new-group") + suffix, &window, [&window] {
        NewGroupDialog d(&window);
        d.exec();
    });
    shootModal(QStringLiteral("dialog-rename-group") + suffix, &window, [&window] {
        RenameGroupDialog d(QStringLiteral("Production"), &window);
        d.exec();
    });
    shootModal(QStringLiteral("dialog-rename-session") + suffix, &window, [&window] {
        RenameSessionDialog d(QStringLiteral("web-01"), &window);
        d.exec();
    });
    shootModal(QStringLiteral("dialog-delete-session") + suffix, &window, [&window] {
        DeleteConfirmDialog d(&window);
        d.setTarget(QStringLiteral("<b>x</b>&amp;"), false, 0);
        d.exec();
    });
    shootModal(QStringLiteral("dialog-delete-group") + suffix, &window, [&window] {
        DeleteConfirmDialog d(&window);
        d.setTarget(QStringLiteral("Production"), true, 4);
        d.exec();
    });
    shootModal(QStringLiteral("dialog-ssh-credentials") + suffix, &window, [&window] {
        SshCredentialsDialog d(QStringLiteral("db-primary.example <lab>"), &window);
        d.setDefaults(QStringLiteral("admin"), QString());
        d.exec();
    });
    shootModal(QStringLiteral("dialog-add-button-group") + suffix, &window, [&window] {
        AddButtonGroupDialog d(&window);
        d.exec();
    });
    const QStringList buttonGroups{QStringLiteral("Linux"), QStringLiteral("Cisco 交换机")};
    shootModal(QStringLiteral("dialog-add-command") + suffix, &window, [&window, buttonGroups] {
        AddCommandDialog d(buttonGroups, QStringLiteral("Linux"), QStringLiteral("add"),
                           QString(), QString(), &window);
        d.exec();
    });
    shootModal(QStringLiteral("dialog-edit-command") + suffix, &window, [&window, buttonGroups] {
        AddCommandDialog d(buttonGroups, QStringLiteral("Cisco 交换机"), LanguageManager::tr(QStringLiteral("修改")),
                           QStringLiteral("show run"), QStringLiteral("terminal length 0\\r\\pshow running-config\\r"),
                           &window);
        d.exec();
    });
    // A dialog that is not modal: opened from its menu entry.
    window.findChild<QAction *>(QStringLiteral("actionTftpServer"))->trigger();
    settle(400);
    if (QWidget *tftp = QApplication::activeWindow()) {
        save(QStringLiteral("dialog-tftp") + suffix, window.frameGeometry().united(tftp->frameGeometry()));
        if (tftp != &window)
            tftp->hide();
    }

    // A user's long text must not widen any dialog past the screen.
    const QString longText = QStringLiteral("very-long-name-without-a-break-").repeated(60);
    shootModal(QStringLiteral("dialog-delete-long") + suffix, &window, [&window, longText] {
        DeleteConfirmDialog d(&window);
        d.setTarget(longText, false, 0);
        d.exec();
    });
    shootModal(QStringLiteral("dialog-message-long") + suffix, &window, [&window, longText] {
        boundedMessage(&window, QMessageBox::Information, LanguageManager::tr("查找"),
                       LanguageManager::tr("未找到：%1").arg(longText));
    });
    shootModal(QStringLiteral("dialog-add-command-long") + suffix, &window, [&window, longText] {
        AddCommandDialog d({QStringLiteral("Linux"), longText}, longText, QStringLiteral("add"), QString(), QString(), &window);
        d.exec();
    });
    shootModal(QStringLiteral("dialog-quick-connect") + suffix, &window, [&window] { window.onQuickConnect(); });
    for (const QString &user : {QStringLiteral("admin"), longText}) {
        SshConnectParams params;
        params.host = QStringLiteral("127.0.0.1");
        params.port = 1; // refused at once: the dialog shows its failure
        params.user = user;
        auto *sftp = new SftpDialog(params, &window);
        sftp->show();
        settle(800);
        save(QLatin1String(user == longText ? "dialog-sftp-long" : "dialog-sftp") + suffix,
             window.frameGeometry().united(sftp->frameGeometry()));
        sftp->close();
    }
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_shots OUTDIR\n");
        return 2;
    }
    outDir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(outDir + QStringLiteral("/home/data"));
    // Everything the program stores goes into the output folder.
    qputenv("HOME", QFile::encodeName(outDir + QStringLiteral("/home")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(outDir + QStringLiteral("/home/.config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(outDir + QStringLiteral("/home/.local/share")));
    qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(outDir + QStringLiteral("/home/data")));

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Halvorstead"));
    QApplication::setStyle(QStringLiteral("Fusion"));
    app.setStyleSheet(QString::fromUtf8(appStyleSheet));
    LanguageManager::setLanguage(QStringLiteral("en"));
    sampleData();

    MainWindow window;
    window.move(20, 20);
    window.show();
    // Tabs as a user gets them: three placeholders, and a local shell at work.
    const SessionGroup first = SessionStore::instance().groups().first();
    for (int i = 0; i < 3; ++i)
        window.onSessionActivated(first.sessions.at(i).id);
    for (const SessionInfo &s : SessionStore::instance().ungrouped()) {
        if (s.host == QLatin1String("bash"))
            window.onSessionConnect(s.id);
    }
    settle(1500);
    save(QStringLiteral("window"), window.frameGeometry());

    auto *bar = window.findChild<QMenuBar *>();
    for (QAction *top : bar->actions()) {
        QMenu *menu = top->menu();
        shootModal(QStringLiteral("menu-") + menu->objectName(), &window, [bar, top] { bar->setActiveAction(top); });
        settle();
    }
    // The submenus hang off their parents; open the parent first.
    const struct {
        const char *parent, *child;
    } subs[] = {{"menuFile", "menuPrint"}, {"menuTransfer", "menuSendFile"}, {"menuTransfer", "menuReceiveFile"}};
    for (const auto &s : subs) {
        QMenu *parent = bar->findChild<QMenu *>(QLatin1String(s.parent));
        QMenu *child = bar->findChild<QMenu *>(QLatin1String(s.child));
        bar->setActiveAction(parent->menuAction());
        settle();
        parent->setActiveAction(child->menuAction());
        child->popup(parent->actionGeometry(child->menuAction()).topRight() + parent->pos());
        settle(300);
        save(QStringLiteral("menu-") + child->objectName(), window.frameGeometry().united(child->geometry()));
        child->close();
        parent->close();
        settle();
    }

    auto *tree = window.findChild<QTreeWidget *>();
    const QPoint groupPos = tree->visualItemRect(tree->topLevelItem(0)).center();
    const QPoint sessionPos = tree->visualItemRect(tree->topLevelItem(0)->child(0)).center();
    shootModal(QStringLiteral("tree-menu-group"), &window,
               [tree, groupPos] { emit tree->customContextMenuRequested(groupPos); });
    shootModal(QStringLiteral("tree-menu-session"), &window,
               [tree, sessionPos] { emit tree->customContextMenuRequested(sessionPos); });

    shootGlobalOptions(&window, QString());
    reportWidePages(&window);
    auto *commands = window.findChild<CommandWindow *>();
    commands->inputEditor()->setPlainText(QStringLiteral("show interfaces status | include connected"));
    settle();
    save(QStringLiteral("command-window"), QRect(commands->mapToGlobal(QPoint(0, 0)), commands->size()));
    // Completion over the command window, for an SSH session whose host
    // reported a few commands (one of them markup that must show as text).
    const QString current = SessionStore::instance().groups().first().sessions.first().id;
    SessionStore::instance().setCurrentSessionId(current);
    remoteEnvRegistry().setRemoteEnv(current, QStringLiteral("linux"),
                                     {QStringLiteral("systemctl"), QStringLiteral("<b>ss</b> & sshd -T")});
    commands->rebuildCompletions();
    commands->inputEditor()->clear();
    commands->inputEditor()->setFocus();
    QTest::keyClicks(commands->inputEditor(), QStringLiteral("ss"));
    settle(400);
    if (auto *popup = commands->findChild<CommandCompleterPopup *>(); popup && popup->isVisible()) {
        save(QStringLiteral("command-completion"),
             QRect(commands->mapToGlobal(QPoint(0, 0)), commands->size()).united(popup->frameGeometry()));
        popup->hidePopup();
    } else {
        std::printf("command-completion: the popup did not show\n");
    }
    shootModal(QStringLiteral("command-window-menu"), &window, [commands] {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(300, 60), commands->mapToGlobal(QPoint(300, 60)));
        QApplication::sendEvent(commands, &event);
    });
    auto *strip = commands->findChild<QWidget *>(QStringLiteral("buttonStrip"));
    shootModal(QStringLiteral("command-button-menu"), &window, [strip] {
        emit strip->findChildren<QPushButton *>().first()->customContextMenuRequested(QPoint(4, 4));
    });
    {
        ButtonBar bar; // the quick-command buttons on a bar of their own
        bar.resize(900, bar.height());
        bar.move(40, 40);
        bar.show();
        settle(300);
        save(QStringLiteral("button-bar"), bar.frameGeometry());
    }
    shootDialogs(window, QString());

    window.switchLanguage(QStringLiteral("zh"));
    settle(400);
    save(QStringLiteral("window-zh"), window.frameGeometry());
    shootDialogs(window, QStringLiteral("-zh"));
    shootGlobalOptions(&window, QStringLiteral("-zh"));
    window.switchLanguage(QStringLiteral("de"));
    shootGlobalOptions(&window, QStringLiteral("-de"));
    for (const char *code : {"ar", "hi"}) {
        window.switchLanguage(QString::fromLatin1(code));
        settle(400);
        save(QStringLiteral("window-") + QLatin1String(code), window.frameGeometry());
    }
    // The command window's header holds the most text per pixel.
    for (const char *code : {"de", "ru", "ar"}) {
        window.switchLanguage(QString::fromLatin1(code));
        settle(400);
        save(QStringLiteral("command-window-") + QLatin1String(code),
             QRect(commands->mapToGlobal(QPoint(0, 0)), commands->size()));
    }
    return 0;
}
