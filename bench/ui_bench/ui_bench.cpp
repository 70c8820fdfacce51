// ui_bench dialogs: the time to build and show the global options dialog
// with all fourteen pages, cold (first in the process) and warm, beside Qt's
// own font dialog as the reference, and once more with 10,000 stored rows in
// one of its tables.
//   xvfb-run -s "-screen 0 1600x1000x24" build/bench/ui_bench/ui_bench dialogs
//
// ui_bench startup: on the current X display (an Xvfb started with -br, so
// the empty screen is black), the time from starting the program to the
// first frame of its window with 0, 1,000 and 5,000 saved sessions, beside
// the same time of qterminal as the reference; then the time the session
// tree takes to re-filter per key typed, at 5,000 sessions.
//   xvfb-run -s "-screen 0 1600x1000x24 -br" build/bench/ui_bench/ui_bench startup
// ui_bench sftp: see sftpbench.cpp.
#include "core/appsettings.h"
// ui_bench sessions: in the real window, 50 local-shell sessions opened from
// the tree one after another, each timed until its prompt shows, beside bash
// started bare on a pseudo-terminal in the same run; then one command sent to
// all 50 at once, timed until every tab shows the answer.
//   xvfb-run -s "-screen 0 1600x1000x24" build/bench/ui_bench/ui_bench sessions
// ui_bench transfer: see transferbench.cpp.
#include "core/sessioninfo.h"
#include "core/sessionstore.h"
#include "dialogs/globaloptionsdialog.h"
#include "mainwindow/sessiontree.h"
#include "sessionsbench.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFontDialog>
#include <QLineEdit>
#include <QProcess>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>

namespace {
void writeSessions(const QString &dir, int count)
{
    QList<SessionGroup> groups;
    QList<SessionInfo> ungrouped;
    const int groupCount = count ? std::max(1, count / 25) : 0;
    for (int g = 0; g < groupCount; ++g)
        groups.append(SessionGroup{QStringLiteral("group %1").arg(g), defaultGroupIcon(), {}});
    const char *types[] = {"ssh", "telnet", "raw", "rlogin", "serial", "local"};
    for (int i = 0; i < count; ++i) {
        const QString group = groups.isEmpty() ? QString() : groups.at(i % groupCount).name;
        SessionInfo s = makeSessionInfo(QStringLiteral("host-%1.example").arg(i), QString::fromLatin1(types[i % 6]),
                                        QStringLiteral("10.0.%1.%2").arg(i / 250).arg(i % 250), QStringLiteral("22"),
                                        SerialParams(), group);
        groups[i % groupCount].sessions.append(s);
    }
    QFile file(dir + QLatin1Char('/') + QLatin1String(SessionStore::sessionsFileName));
    file.open(QIODevice::WriteOnly);
    file.write(SessionStore::sessionsDocument(groups, ungrouped));
}

// Whether anything but the black root shows in the program's corner.
bool painted(QScreen *screen)
{
    const QImage shot = screen->grabWindow(0, 0, 0, 400, 200).toImage();
    for (int y = 0; y < shot.height(); y += 10) {
        for (int x = 0; x < shot.width(); x += 10) {
            if (shot.pixel(x, y) != qRgb(0, 0, 0))
                return true;
        }
    }
    return false;
}

double firstFrameMs(const QString &program, const QStringList &args, const QString &dataDir)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HALVORSTEAD_DATA_DIR"), dataDir);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    process.start(program, args);
    double ms = -1;
    while (timer.elapsed() < 20000) {
        if (painted(screen)) {
            ms = timer.nsecsElapsed() / 1e6;
            break;
        }
    }
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
    }
    // Let the screen go black again before the next start.
    while (painted(screen))
        QThread::msleep(5);
    return ms;
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.at(v.size() / 2);
}

// Milliseconds from construction to the first painted frame of a dialog.
template<class Dialog> double openMs()
{
    QElapsedTimer timer;
    timer.start();
    Dialog dialog;
    dialog.show();
    dialog.repaint();
    QApplication::processEvents();
    return timer.nsecsElapsed() / 1e6;
}

int dialogs()
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/.config")));
    qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(home.path() + QStringLiteral("/data")));
    // Ours first: the cold figure includes reading the font families once.
    const double cold = openMs<GlobalOptionsDialog>();
    const double coldReference = openMs<QFontDialog>();
    const int runs = 9;
    QList<double> ours, reference;
    for (int r = 0; r < runs; ++r) {
        ours << openMs<GlobalOptionsDialog>();
        reference << openMs<QFontDialog>();
    }
    std::printf("dialogs global_options pages=14 cold_ms=%.1f warm_ms=%.1f QFontDialog cold_ms=%.1f warm_ms=%.1f "
                "(median of %d)\n",
                cold, median(ours), coldReference, median(reference), runs);

    QScopedPointer<QSettings> native(AppSettings::openNativeStore());
    native->beginWriteArray(QStringLiteral("keys"), 10000);
    for (int i = 0; i < 10000; ++i) {
        native->setArrayIndex(i);
        native->setValue(QStringLiteral("row"),
                         QStringList{QStringLiteral("key %1").arg(i), QStringLiteral("Ed25519"), QStringLiteral("SHA256:x")});
    }
    native->endArray();
    native->sync();
    QList<double> big;
    for (int r = 0; r < 3; ++r)
        big << openMs<GlobalOptionsDialog>();
    std::printf("dialogs global_options table_rows=10000 open_ms=%.1f (median of 3)\n", median(big));
    return 0;
}
} // namespace

int sftpBench(); // sftpbench.cpp
int runTransferBench();

int main(int argc, char **argv)
{
    if (argc >= 2 && qstrcmp(argv[1], "sessions") == 0)
        return sessionsBench(argc, argv);
    QApplication app(argc, argv);
    if (argc >= 2 && qstrcmp(argv[1], "dialogs") == 0)
        return dialogs();
    if (argc >= 2 && qstrcmp(argv[1], "sftp") == 0)
        return sftpBench();
    if (argc >= 2 && qstrcmp(argv[1], "transfer") == 0)
        return runTransferBench();
    if (argc < 2 || qstrcmp(argv[1], "startup") != 0) {
        std::fprintf(stderr, "usage: ui_bench startup|dialogs|sessions|sftp|transfer\n");
        return 2;
    }
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/.config")));
    const int runs = 5;
    for (int count : {0, 1000, 5000}) {
        QTemporaryDir data;
        writeSessions(data.path(), count);
        QList<double> ours, reference;
        for (int r = 0; r < runs; ++r) {
            ours << firstFrameMs(QStringLiteral(HV_PROGRAM), {}, data.path());
            reference << firstFrameMs(QStringLiteral("qterminal"), {}, data.path());
        }
        std::printf("startup sessions=%d first_frame_ms=%.0f qterminal_ms=%.0f (median of %d)\n", count, median(ours),
                    median(reference), runs);
        std::fflush(stdout);
    }

    QTemporaryDir data;
    writeSessions(data.path(), 5000);
    qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(data.path()));
    SessionTree tree;
    tree.resize(260, 700);
    tree.show();
    QApplication::processEvents();
    auto *filter = tree.findChild<QLineEdit *>();
    QList<double> perKey;
    for (const QString &typed : {QStringLiteral("host-4"), QStringLiteral("ssh"), QStringLiteral("zz")}) {
        filter->clear();
        QApplication::processEvents();
        for (QChar c : typed) {
            QElapsedTimer timer;
            timer.start();
            filter->setText(filter->text() + c);
            tree.repaint();
            perKey << timer.nsecsElapsed() / 1e6;
        }
    }
    std::printf("filter sessions=5000 groups=%d per_key_ms median=%.1f max=%.1f (%lld keys)\n",
                tree.findChild<QTreeWidget *>()->topLevelItemCount(), median(perKey),
                *std::max_element(perKey.begin(), perKey.end()), qlonglong(perKey.size()));
    return 0;
}
