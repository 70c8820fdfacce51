// ui_bench transfer: ZMODEM receive and send of one 64 MiB file through a
// local-shell session of the real window (sz/rz typed into bash, our side
// started from the Transfer menu's slot), beside bench/xfer_peer running the
// engine alone against the same programs on the same file; and the longest
// stall of the window's event loop while the window's transfer runs.
#include "connections/connection.h"
#include "core/sessionstore.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/transferactions.h"
#include "transfer/inbandtransfer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

bool waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// The engine alone: xfer_peer's own figure for the same transfer.
double engineSeconds(bool send, const QString &file, const QString &dir)
{
    QProcess peer;
    const QStringList args = send ? QStringList{"--protocol", "zmodem", "--send", file}
                                  : QStringList{"--protocol", "zmodem", "--receive", dir, file};
    peer.start(QStringLiteral(HV_XFER_PEER), args);
    if (!peer.waitForFinished(600000) || peer.exitCode() != 0)
        return -1;
    const auto m = QRegularExpression("seconds=([0-9.]+)").match(QString::fromUtf8(peer.readAllStandardOutput()));
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

} // namespace

int runTransferBench();
int runTransferBench()
{
    // The bench session goes into a store of its own, not the user's: a run
    // left behind in a shared store makes the next one find it there.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/.config")));
    qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(home.path() + QStringLiteral("/data")));
    const qint64 size = 64 << 20;
    QTemporaryDir ours, theirs, engine;
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    for (const QString &path : {theirs.filePath("big.bin"), ours.filePath("up.bin")}) {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != size)
            return 1;
    }

    MainWindow window;
    window.show();
    SessionHub *hub = window.sessionHub();
    // A saved local bash session, opened as a double-click opens it.
    const QString id = SessionStore::instance().addSession(QStringLiteral("bench"), QStringLiteral("local"), QString(),
                                                           QStringLiteral("/bin/bash"), QString(), SerialParams());
    window.onSessionConnect(id);
    SessionStore::instance().setCurrentSessionId(id);
    Connection *conn = hub->connection(id);
    if (!conn || !waitUntil([&] { return conn->isOpen(); }, 10000)) {
        std::fprintf(stderr, "ui_bench transfer: the local session did not open\n");
        return 1;
    }
    QByteArray seen;
    QObject::connect(conn, &Connection::dataReceived, &window, [&](const QByteArray &b) { seen += b.right(64); });
    conn->write("cd '" + theirs.path().toUtf8() + "'\r");

    FileDialogs &d = window.transfers()->dialogs();
    d.openFiles = [&](QWidget *, const QString &) { return QStringList{ours.filePath("up.bin")}; };
    d.existingDirectory = [&](QWidget *, const QString &) { return ours.path(); };

    struct Case {
        const char *name;
        bool send;
        QByteArray command, waiting;
    } cases[] = {{"receive", false, "sz -q big.bin", "\x18" "B00"}, {"send", true, "rz -q -y", "\x18" "B01"}};
    int failures = 0;
    for (const Case &c : cases) {
        seen.clear();
        conn->write(c.command + '\r');
        if (!waitUntil([&] { return seen.contains(c.waiting); }, 20000))
            return 1;
        // The longest time the event loop was away, seen by a 2 ms timer.
        qint64 stallNs = 0;
        QElapsedTimer beat;
        QTimer pulse;
        pulse.setTimerType(Qt::PreciseTimer);
        QObject::connect(&pulse, &QTimer::timeout, [&] {
            stallNs = qMax(stallNs, beat.nsecsElapsed() - 2000000);
            beat.restart();
        });
        QElapsedTimer clock;
        clock.start();
        window.startTransfer(2, c.send);
        InbandTransfer *t = hub->runningTransfer();
        bool ok = false, done = false;
        QObject::connect(t, &InbandTransfer::transferFinished, &window, [&](const QString &, bool good) {
            ok = good;
            done = true;
        });
        beat.start();
        pulse.start(2);
        waitUntil([&] { return done; }, 600000);
        const double seconds = clock.nsecsElapsed() / 1e9;
        pulse.stop();
        QObject::disconnect(t, nullptr, &window, nullptr);
        QFile got(c.send ? theirs.filePath("up.bin") : ours.filePath("big.bin"));
        ok = ok && got.open(QIODevice::ReadOnly) && got.readAll() == data;
        failures += !ok;
        QDir(engine.path()).removeRecursively();
        QDir().mkpath(engine.path());
        const double alone = engineSeconds(c.send, c.send ? ours.filePath("up.bin") : theirs.filePath("big.bin"),
                                           engine.path());
        std::printf("transfer zmodem %s bytes=%lld window_s=%.3f window_MBps=%.1f engine_s=%.3f engine_MBps=%.1f "
                    "ratio=%.2f max_stall_ms=%.1f result=%s\n",
                    c.name, size, seconds, size / 1048576.0 / seconds, alone, alone > 0 ? size / 1048576.0 / alone : 0,
                    alone > 0 ? alone / seconds : 0, stallNs / 1e6, ok ? "ok" : "failed");
        std::fflush(stdout);
        waitUntil([&] { return seen.contains("$ ") || seen.contains("# "); }, 5000);
    }
    window.onSessionDisconnect(id);
    return failures ? 1 : 0;
}
