// zmodem_ssh --port P --user U --key K --known-hosts F [--delay MS...]
//            [--size MIB] [--runs N] [--who ours,ours-pasted,sz]
//
// A ZMODEM send of MIB mebibytes (text, then pseudo-random bytes) to `rz`
// on a fixture's sshd (run.sh starts one), through a relay in this process
// that holds every byte MS milliseconds each way and sets no rate of its
// own. "ours": our engine over our SSH connection, framed as for a shell
// that takes no bracketed paste ("ours-pasted": one that does); "sz": lrzsz's sz
// through OpenSSH's client (ssh -tt) over the same relay. One line per
// case: the median and every run in MiB/s from the login on, the median
// rate after the login (sz's login timed by a login of its own, an `exit`),
// each run's login, and for ours the largest window the run reached, when
// it first reached 1 MiB and the most it had out past the last ZACK.

#include "connections/sshconnection.h"
#include "tests/support/linkrelay.h"
#include "transfer/zmodemtransfer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

QString account;

struct Run {
    double mib = 0, seconds = 0; // from the login on
    double mbps() const { return seconds > 0 ? mib / seconds : 0; }
    double afterLogin() const { return seconds > loginMs / 1000.0 ? mib / (seconds - loginMs / 1000.0) : 0; }
    quint32 window = 0;
    qint64 past = 0;
    qint64 loginMs = 0;
    qint64 mibAtMs = -1; // when the window first reached 1 MiB, from the login
    bool ok = false;
};

QByteArray content(bool text, qint64 size)
{
    QByteArray out(size, Qt::Uninitialized);
    quint64 x = 0x9E3779B97F4A7C15ull;
    const QByteArray line = "The quick brown fox jumps over the lazy dog 0123456789.\n";
    for (qint64 i = 0; i < size; ++i) {
        if (text) {
            out[i] = line.at(int(i % line.size()));
            continue;
        }
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = char(x >> 24);
    }
    return out;
}

// What rz wrote into the account's home, removed once looked at.
bool arrived(const QString &file, qint64 size)
{
    QProcess home;
    home.start(QStringLiteral("getent"), {QStringLiteral("passwd"), account});
    home.waitForFinished();
    QFile got(QString::fromUtf8(home.readAll()).section(QLatin1Char(':'), 5, 5) + QLatin1Char('/')
              + file.section(QLatin1Char('/'), -1));
    const bool whole = got.size() == size;
    got.remove();
    return whole;
}

Run ours(SshConnectParams p, const QString &file, qint64 size, bool pasted)
{
    p.remoteCommand = QStringLiteral("exec rz -q -y");
    SshConnection conn;
    conn.setParams(p);
    ZmodemTransfer z;
    z.setBacklog([&] { return conn.isOpen() ? conn.pendingBytes() : -1; });
    z.setDiscardFn([&] { conn.discardQueued(); });
    z.setPasteProbe([pasted] { return pasted; });
    QObject::connect(&conn, &Connection::dataReceived, &z, &InbandTransfer::feed);
    QElapsedTimer clock;
    Run r;
    QEventLoop loop;
    // From the login on, as for sz through ssh.
    clock.start();
    QObject::connect(&conn, &Connection::connected, &z, [&] {
        conn.setTransparent(true);
        r.loginMs = clock.elapsed();
        z.startSend([&](const QByteArray &b) { conn.write(b); }, QStringLiteral("b"), {file}, 0);
    });
    QObject::connect(&z, &InbandTransfer::resultReady, &loop, [&](InbandTransfer::Outcome o) {
        r.ok = o == InbandTransfer::Succeeded && arrived(file, size);
        r.mib = size / 1048576.0;
        r.seconds = clock.nsecsElapsed() / 1e9;
        loop.quit();
    });
    QObject::connect(&conn, &Connection::connectionError, &loop, [&](const QString &m) {
        std::fprintf(stderr, "ssh: %s\n", qPrintable(m));
        loop.quit();
    });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &z, [&] {
        r.window = std::max(r.window, z.aheadBound());
        if (r.mibAtMs < 0 && r.window >= 1u << 20)
            r.mibAtMs = clock.elapsed();
        r.past = std::max(r.past, z.pastConfirmed());
    });
    watch.start(5);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    conn.open();
    loop.exec();
    conn.close();
    return r;
}

Run reference(const SshConnectParams &p, const QString &file, qint64 size)
{
    const QString ssh = QStringLiteral("ssh -tt -q -e none -o BatchMode=yes -o UserKnownHostsFile=%1 -o StrictHostKeyChecking=no "
                                       "-i %2 -p %3 %4@127.0.0.1 'exec rz -q -y'")
                            .arg(p.knownHostsPath, p.privateKey)
                            .arg(p.port)
                            .arg(p.user);
    Run r;
    QElapsedTimer clock;
    // The login alone, to tell it from the send's own time.
    clock.start();
    QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QString(ssh).replace(QStringLiteral("exec rz -q -y"), QStringLiteral("exit"))});
    r.loginMs = clock.elapsed();
    clock.start();
    // sz may meet a closed pipe as it says its last "OO": rz had all it
    // needed and ssh has gone. Whole is what arrived whole.
    QProcess::execute(QStringLiteral("socat"), {QStringLiteral("EXEC:sz -q ") + file, QStringLiteral("EXEC:") + ssh});
    r.ok = arrived(file, size);
    r.mib = size / 1048576.0;
        r.seconds = clock.nsecsElapsed() / 1e9;
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"port", "sshd's port", "port"},
                       {"user", "the account", "user"},
                       {"key", "its private key", "file"},
                       {"known-hosts", "known hosts file", "file"},
                       {"delay", "ms each way (repeatable)", "ms"},
                       {"size", "MiB", "mib", "16"},
                       {"runs", "runs per case", "n", "3"},
                       {"who", "ours,ours-pasted,sz", "list", "ours,ours-pasted,sz"},
                       {"data", "text,random", "list", "text,random"}});
    parser.process(app);
    SshConnectParams p;
    p.host = QStringLiteral("127.0.0.1");
    p.user = account = parser.value("user");
    p.auth = QStringLiteral("Public Key");
    p.privateKey = parser.value("key");
    p.knownHostsPath = parser.value("known-hosts");
    p.keepalive = 0;
    const qint64 size = qint64(parser.value("size").toInt()) << 20;
    const int runs = parser.value("runs").toInt();
    QStringList delays = parser.values("delay");
    if (delays.isEmpty())
        delays = {"25", "100"};
    for (const QString &delay : delays) {
        LinkRelay relay(parser.value("port").toInt(), LineShape{delay.toInt()});
        p.port = relay.port();
        for (const QString &data : parser.value("data").split(',')) {
            QTemporaryFile file(QStringLiteral("/tmp/hv_zmodem_ssh_XXXXXX"));
            file.open();
            file.write(content(data == "text", size));
            file.flush();
            file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::ReadGroup);
            for (const QString &who : parser.value("who").split(',')) {
                QList<Run> got;
                for (int i = 0; i < runs; ++i)
                    got << (who == "sz" ? reference(p, file.fileName(), size) : ours(p, file.fileName(), size, who == "ours-pasted"));
                QList<Run> sorted = got;
                std::sort(sorted.begin(), sorted.end(), [](const Run &a, const Run &b) { return a.mbps() < b.mbps(); });
                const Run &median = sorted.at(sorted.size() / 2);
                QString line = QStringLiteral("delay=%1ms data=%2 who=%3 median=%4MiB/s after-login=%5MiB/s runs=")
                                   .arg(delay, data, who)
                                   .arg(median.mbps(), 0, 'f', 2)
                                   .arg(median.afterLogin(), 0, 'f', 2);
                for (const Run &r : got) {
                    line += QString::number(r.mbps(), 'f', 2) + (r.ok ? "" : "(failed)") + ' ';
                    if (who == "sz")
                        line += QStringLiteral("[login %1 ms] ").arg(r.loginMs);
                    else
                        line += QStringLiteral("[login %4 ms, window %1 KB, 1 MiB at %3 ms, past %2 KB] ")
                                    .arg(r.window >> 10)
                                    .arg(r.past >> 10)
                                    .arg(r.mibAtMs)
                                    .arg(r.loginMs);
                }
                std::printf("%s\n", qPrintable(line));
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
