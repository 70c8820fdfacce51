// Throughput and echo latency of our SSH connection on loopback, beside
// OpenSSH's client doing the same work in the same run with the cipher and
// MAC ours negotiated (-c, -m), so that like is compared with like.
//
//   ssh_bench --port P --key PRIVATE_KEY --file REMOTE_FILE [--host H]
//             [--nopty-key KEY] [--user U] [--known-hosts F] [--rounds N] [--echoes N]
//
// Run with HALVORSTEAD_DEBUG_LOG set: our side's negotiated methods are read
// from the debug log. Throughput is timed from the first byte to the end of
// the command for ours and as the whole command minus a bare login
// ("ssh ... true") for OpenSSH. Prints one line per case.

#include "connections/sshconnection.h"
#include "core/debuglog.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>

namespace {

struct Options {
    SshConnectParams params;
    QStringList sshCipher; // -c/-m for OpenSSH: what ours negotiated
    QString file;
    QString noPtyKey; // a key the server grants no pseudo-terminal
    qint64 fileSize = 0;
    int rounds = 3;
    int echoes = 1000;
};

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

double percentile(QList<double> v, double p)
{
    std::sort(v.begin(), v.end());
    if (v.isEmpty())
        return 0;
    const int i = std::min<int>(int(v.size()) - 1, int(p * v.size()));
    return v[i];
}

double mbps(qint64 bytes, double seconds)
{
    return seconds > 0 ? bytes / seconds / (1024.0 * 1024.0) : 0;
}

// One remote cat through our connection: seconds from open to the end and
// from the first byte to the end.
bool ourCat(const Options &o, double *total, double *transfer, qint64 *bytes, qint64 *blocks)
{
    SshConnectParams p = o.params;
    p.remoteCommand = QStringLiteral("stty raw -echo 2>/dev/null; cat ") + o.file;
    SshConnection conn;
    conn.setParams(p);
    qint64 got = 0;
    bool ended = false;
    QString error;
    QElapsedTimer clock;
    qint64 firstByte = -1;
    QObject::connect(&conn, &Connection::dataReceived, [&](const QByteArray &d) {
        if (firstByte < 0)
            firstByte = clock.nsecsElapsed();
        got += d.size();
        ++*blocks;
    });
    QObject::connect(&conn, &Connection::disconnected, [&] { ended = true; });
    QObject::connect(&conn, &Connection::connectionError, [&](const QString &m) { error = m; ended = true; });
    clock.start();
    conn.open();
    while (!ended && clock.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const qint64 end = clock.nsecsElapsed();
    if (!error.isEmpty() || !ended) {
        std::fprintf(stderr, "ours: %s\n", qPrintable(error.isEmpty() ? QStringLiteral("time-out") : error));
        return false;
    }
    *total = end / 1e9;
    *transfer = (end - firstByte) / 1e9;
    *bytes = got;
    return true;
}

// The server-to-client cipher and MAC of our last session, from its debug line.
QStringList ourMethods()
{
    QFile log(debugLogPath());
    if (!log.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(log.readAll());
    static const QRegularExpression re(QStringLiteral("\\[SSH\\] methods .* cipher=\\S+/(\\S+) mac=\\S+/(\\S+)"));
    QRegularExpressionMatch last;
    for (auto it = re.globalMatch(text); it.hasNext();)
        last = it.next();
    if (!last.hasMatch())
        return {};
    // An AEAD cipher carries its own integrity; libssh2 names a MAC anyway.
    const QString cipher = last.captured(1);
    const bool aead = cipher.contains(QLatin1String("gcm")) || cipher.contains(QLatin1String("poly1305"));
    return {cipher, aead ? QStringLiteral("<implicit>") : last.captured(2)};
}

// What OpenSSH negotiates with the given extra options (ssh -v).
QStringList sshMethods(const Options &o, const QStringList &extra)
{
    QStringList args{QStringLiteral("-v"), QStringLiteral("-o"), QStringLiteral("BatchMode=yes"),
                     QStringLiteral("-o"), QStringLiteral("UserKnownHostsFile=") + o.params.knownHostsPath,
                     QStringLiteral("-i"), o.params.privateKey, QStringLiteral("-p"), QString::number(o.params.port)};
    args << extra << (o.params.user + QLatin1Char('@') + o.params.host) << QStringLiteral("true");
    QProcess ssh;
    ssh.start(QStringLiteral("ssh"), args);
    ssh.waitForFinished(20000);
    static const QRegularExpression re(QStringLiteral("kex: server->client cipher: (\\S+) MAC: (\\S+)"));
    const QRegularExpressionMatch m = re.match(QString::fromUtf8(ssh.readAllStandardError()));
    return m.hasMatch() ? QStringList{m.captured(1), m.captured(2)} : QStringList{QStringLiteral("?"), QStringLiteral("?")};
}

double runSsh(const Options &o, const QStringList &extra, const QString &command, qint64 *bytes)
{
    QStringList args{QStringLiteral("-q"), QStringLiteral("-o"), QStringLiteral("BatchMode=yes"),
                     QStringLiteral("-o"), QStringLiteral("StrictHostKeyChecking=accept-new"),
                     QStringLiteral("-o"), QStringLiteral("UserKnownHostsFile=") + o.params.knownHostsPath,
                     QStringLiteral("-i"), o.params.privateKey, QStringLiteral("-p"), QString::number(o.params.port)};
    args << o.sshCipher << extra << (o.params.user + QLatin1Char('@') + o.params.host) << command;
    QProcess ssh;
    qint64 got = 0;
    QObject::connect(&ssh, &QProcess::readyReadStandardOutput, [&] { got += ssh.readAllStandardOutput().size(); });
    QElapsedTimer clock;
    clock.start();
    ssh.start(QStringLiteral("ssh"), args);
    if (!ssh.waitForStarted(5000))
        return -1;
    while (ssh.state() != QProcess::NotRunning && clock.elapsed() < 120000)
        ssh.waitForReadyRead(100);
    got += ssh.readAllStandardOutput().size();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (bytes)
        *bytes = got;
    return ssh.exitCode() == 0 ? seconds : -1;
}

// The same remote cat through both clients, with a pseudo-terminal (as a tab
// uses it) or, with a key the server refuses one for, without.
void throughput(Options o, bool withPty)
{
    if (!withPty)
        o.params.privateKey = o.noPtyKey;
    const QStringList sshExtra = withPty ? QStringList{QStringLiteral("-tt")} : QStringList();
    const QString sshCommand = (withPty ? QStringLiteral("stty raw -echo; cat ") : QStringLiteral("cat ")) + o.file;
    QList<double> oursTotal, oursTransfer, sshTotal, sshSetup;
    qint64 oursBytes = 0, sshBytes = 0, oursBlocks = 0;
    for (int i = 0; i < o.rounds; ++i) {
        double total = 0, transfer = 0;
        oursBlocks = 0;
        if (ourCat(o, &total, &transfer, &oursBytes, &oursBlocks)) {
            oursTotal << total;
            oursTransfer << transfer;
        }
        if (i == 0) {
            // OpenSSH uses what ours negotiated.
            const QStringList mine = ourMethods();
            o.sshCipher.clear();
            if (!mine.isEmpty()) {
                o.sshCipher << QStringLiteral("-c") << mine[0];
                if (mine[1] != QLatin1String("<implicit>"))
                    o.sshCipher << QStringLiteral("-m") << mine[1];
            }
        }
        sshSetup << runSsh(o, {}, QStringLiteral("true"), nullptr);
        sshTotal << runSsh(o, sshExtra, sshCommand, &sshBytes);
    }
    const double setup = median(sshSetup);
    const double ours = mbps(o.fileSize, median(oursTransfer));
    const double theirs = mbps(o.fileSize, median(sshTotal) - setup);
    const QStringList mine = ourMethods();
    const QStringList openssh = sshMethods(o, o.sshCipher);
    std::printf("case=cat_%lldMiB_%s ours_MBps=%.1f openssh_MBps=%.1f ratio=%.2f ours_cipher=%s ours_mac=%s "
                "openssh_cipher=%s openssh_mac=%s ours_bytes=%lld ours_blocks=%lld openssh_bytes=%lld "
                "ours_whole_s=%.3f openssh_whole_s=%.3f ours_setup_s=%.3f openssh_setup_s=%.3f\n",
                o.fileSize >> 20, withPty ? "pty" : "no_pty", ours, theirs, theirs > 0 ? ours / theirs : 0.0,
                qPrintable(mine.value(0, QStringLiteral("?"))), qPrintable(mine.value(1, QStringLiteral("?"))),
                qPrintable(openssh.value(0)), qPrintable(openssh.value(1)), oursBytes, oursBlocks, sshBytes, median(oursTotal),
                median(sshTotal), median(oursTotal) - median(oursTransfer), setup);
}

void echoLatency(const Options &o)
{
    SshConnectParams p = o.params;
    p.remoteCommand = QStringLiteral("stty raw -echo; echo hv-ready; exec cat");
    SshConnection conn;
    conn.setParams(p);
    QByteArray got;
    QString error;
    QObject::connect(&conn, &Connection::dataReceived, [&](const QByteArray &d) { got += d; });
    QObject::connect(&conn, &Connection::connectionError, [&](const QString &m) { error = m; });
    conn.open();
    QElapsedTimer guard;
    guard.start();
    while (!got.contains("hv-ready\n") && error.isEmpty() && guard.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!error.isEmpty() || !got.contains("hv-ready\n")) {
        std::fprintf(stderr, "echo: %s\n", qPrintable(error.isEmpty() ? QStringLiteral("no prompt") : error));
        return;
    }
    got.clear();
    QList<double> micros;
    QElapsedTimer clock;
    for (int i = 0; i < o.echoes && error.isEmpty(); ++i) {
        const qsizetype want = got.size() + 1;
        clock.start();
        conn.write(QByteArray(1, char('a' + i % 26)));
        while (got.size() < want && error.isEmpty() && clock.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        micros << clock.nsecsElapsed() / 1000.0;
    }
    std::printf("case=echo ours_p50_ms=%.3f ours_p99_ms=%.3f ours_max_ms=%.3f samples=%lld\n",
                percentile(micros, 0.5) / 1000, percentile(micros, 0.99) / 1000,
                percentile(micros, 1.0) / 1000, qlonglong(micros.size()));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"host", "host", "host", "127.0.0.1"},
                       {"port", "port", "port", "22"},
                       {"user", "user", "user", "hvssh"},
                       {"key", "private key", "path"},
                       {"nopty-key", "private key refused a pseudo-terminal", "path"},
                       {"file", "remote file to cat", "path"},
                       {"known-hosts", "known-hosts file", "path"},
                       {"rounds", "rounds per case", "n", "3"},
                       {"echoes", "echo samples", "n", "1000"}});
    parser.addHelpOption();
    parser.process(app);
    Options o;
    o.params.host = parser.value("host");
    o.params.port = parser.value("port").toInt();
    o.params.user = parser.value("user");
    o.params.auth = QStringLiteral("Public Key");
    o.params.privateKey = parser.value("key");
    o.params.knownHostsPath = parser.value("known-hosts");
    o.params.keepalive = 0;
    o.noPtyKey = parser.value("nopty-key");
    o.file = parser.value("file");
    o.fileSize = QFileInfo(o.file).size();
    o.rounds = parser.value("rounds").toInt();
    o.echoes = parser.value("echoes").toInt();
    if (o.params.privateKey.isEmpty() || o.file.isEmpty() || o.fileSize <= 0) {
        std::fprintf(stderr, "need --key and an existing --file\n");
        return 2;
    }
    throughput(o, true);
    if (!o.noPtyKey.isEmpty())
        throughput(o, false);
    echoLatency(o);
    return 0;
}
