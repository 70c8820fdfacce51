// sftp_shots OUTDIR STATEDIR PORT [LANG]: pictures of the remote tree beside
// a terminal (with its context menu and the transfer list during and after
// an upload) and of the SFTP dialog, against the sshd that
// tests/fixtures/sshd.sh started with STATEDIR on PORT. Run on an X display:
//   xvfb-run -s "-screen 0 1600x1000x24" build/bench/sftp_shots/sftp_shots /tmp/shots STATE 23150
#include "bench/ui_shots/shots.h"
#include "core/languagemanager.h"
#include "resources/stylesheet.h"
#include "sftp/widgets/remotedirtree.h"
#include "sftp/widgets/sftpdialog.h"
#include "sftp/widgets/sftpprompts.h"
#include "terminal/widgets/terminalview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMenu>
#include <QProgressBar>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>

namespace {
using shots::outDir;
using shots::save;
using shots::settle;

bool waitFor(const std::function<bool()> &done, int ms = 20000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        settle(20);
    return done();
}

QString slurp(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
}

QTreeWidgetItem *childNamed(QTreeWidgetItem *parent, const QString &name)
{
    for (int i = 0; parent && i < parent->childCount(); ++i)
        if (parent->child(i)->text(0) == name)
            return parent->child(i);
    return nullptr;
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: sftp_shots OUTDIR STATEDIR PORT [LANG]\n");
        return 2;
    }
    outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);
    const QString state = QString::fromLocal8Bit(argv[2]);
    LanguageManager::setLanguage(argc > 4 ? QString::fromLatin1(argv[4]) : QStringLiteral("zh"));
    app.setStyleSheet(QString::fromUtf8(appStyleSheet));

    SshConnectParams params;
    params.host = QStringLiteral("127.0.0.1");
    params.port = QString::fromLocal8Bit(argv[3]).toInt();
    params.user = slurp(state + QStringLiteral("/user"));
    params.password = slurp(state + QStringLiteral("/password"));
    QTemporaryDir local;
    params.knownHostsPath = local.filePath(QStringLiteral("known_hosts"));
    const passwd *pw = getpwnam(params.user.toUtf8().constData());
    if (!pw) {
        std::fprintf(stderr, "no account %s: is the sshd fixture running?\n", qPrintable(params.user));
        return 1;
    }
    const QString home = QString::fromUtf8(pw->pw_dir);
    for (const char *name : {"projects", "logs", ".config", "notes.txt", "build.sh", "backup.tar.gz"}) {
        const QString path = home + QLatin1Char('/') + QLatin1String(name);
        if (QString::fromLatin1(name).contains(QLatin1Char('.')) && !QString::fromLatin1(name).startsWith(QLatin1Char('.'))) {
            QFile f(path);
            f.open(QIODevice::WriteOnly);
            f.write("sample\n");
        } else {
            QDir().mkpath(path);
        }
        (void)!chown(path.toUtf8().constData(), pw->pw_uid, pw->pw_gid);
    }
    QFile::setPermissions(home + QStringLiteral("/build.sh"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    QWidget window;
    window.setStyleSheet(QStringLiteral("background:#1e1e1e;"));
    window.resize(1200, 700);
    window.move(20, 20);
    auto *view = new TerminalView(QStringLiteral("shot"), QStringLiteral("shot"), &window);
    view->setGeometry(0, 0, 1200, 700);
    window.show();
    view->appendData(QStringLiteral("%1@halvorstead:~$ ls -la\r\ntotal 24\r\n"
                                    "drwxr-xr-x 5 %1 %1 4096 Dec  6 10:02 .\r\n"
                                    "-rw-r--r-- 1 %1 %1    7 Dec  6 10:02 notes.txt\r\n%1@halvorstead:~$ ")
                         .arg(params.user)
                         .toUtf8());
    view->attachRemoteDirTree(params);
    auto *tree = view->findChild<RemoteDirTree *>();
    QTreeWidget *w = tree->treeWidget();
    // Down to the home folder, listing each step.
    QTreeWidgetItem *item = nullptr;
    waitFor([&] { return (item = w->topLevelItem(0)) && item->childCount() > 0 && item->child(0)->flags() != Qt::NoItemFlags; });
    for (const QString &part : home.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        QTreeWidgetItem *next = nullptr;
        waitFor([&] { return (next = childNamed(item, part)); });
        if (!next)
            break;
        item = next;
        item->setExpanded(true);
        waitFor([&] { return item->childCount() == 0 || item->child(0)->flags() != Qt::NoItemFlags; });
    }
    w->scrollToItem(item, QAbstractItemView::PositionAtTop);
    settle(300);
    save(QStringLiteral("tree-beside-terminal"), window.frameGeometry());

    // The context menu on a file.
    QTreeWidgetItem *file = childNamed(item, QStringLiteral("notes.txt"));
    sftpPrompts().runMenu = [&](QMenu *menu, const QPoint &pos) {
        menu->popup(pos);
        settle(300);
        save(QStringLiteral("tree-context-menu"), window.frameGeometry().united(menu->geometry()));
        menu->close();
    };
    if (file)
        emit w->customContextMenuRequested(w->visualItemRect(file).center());

    // An upload big enough to be seen running, then the list after it.
    const QString big = local.filePath(QStringLiteral("dataset-2026.bin"));
    {
        QFile f(big);
        f.open(QIODevice::WriteOnly);
        f.resize(qint64(400) << 20);
    }
    sftpPrompts().openFile = [&](QWidget *, const QString &) { return big; };
    sftpPrompts().runMenu = [&](QMenu *menu, const QPoint &) {
        for (QAction *a : menu->actions())
            if (a->menu())
                a->menu()->actions().first()->trigger();
    };
    emit w->customContextMenuRequested(w->visualItemRect(item).center());
    auto *list = view->findChild<QTreeWidget *>(QStringLiteral("transferList"));
    waitFor([&] {
        auto *bar = list ? list->findChild<QProgressBar *>() : nullptr;
        return bar && bar->value() >= 20;
    });
    save(QStringLiteral("transfer-running"), window.frameGeometry());
    waitFor([&] { return tree->pendingJobCount() == 0; }, 120000);
    settle(300);
    save(QStringLiteral("transfer-done"), window.frameGeometry());

    // A folder holding a pipe goes up without it, and the footer says so;
    // a pipe chosen as a file is refused, naming what it is.
    const QString withPipe = local.filePath(QStringLiteral("reports"));
    QDir().mkpath(withPipe);
    QFile(withPipe + QStringLiteral("/summary.txt")).open(QIODevice::WriteOnly);
    ::mkfifo(QFile::encodeName(withPipe + QStringLiteral("/feed")).constData(), 0644);
    const auto uploadChosen = [&](int entry) {
        sftpPrompts().runMenu = [entry](QMenu *menu, const QPoint &) {
            for (QAction *a : menu->actions())
                if (a->menu())
                    a->menu()->actions().at(entry)->trigger();
        };
        emit w->customContextMenuRequested(w->visualItemRect(item).center());
        settle(200);
        waitFor([&] { return tree->pendingJobCount() == 0; });
        settle(500);
    };
    sftpPrompts().folder = [&](QWidget *, const QString &) { return withPipe; };
    uploadChosen(1);
    save(QStringLiteral("upload-folder-skipped"), window.frameGeometry());
    sftpPrompts().openFile = [&](QWidget *, const QString &) { return withPipe + QStringLiteral("/feed"); };
    uploadChosen(0);
    save(QStringLiteral("upload-pipe-refused"), window.frameGeometry());

    auto *dialog = new SftpDialog(params, &window);
    dialog->move(200, 120);
    dialog->show();
    waitFor([&] { return !dialog->currentFolder().isEmpty(); });
    settle(300);
    save(QStringLiteral("sftp-dialog"), dialog->frameGeometry());
    QFile::remove(home + QStringLiteral("/dataset-2026.bin"));
    QDir(home + QStringLiteral("/reports")).removeRecursively();
    dialog->close();
    settle(100);
    return 0;
}
