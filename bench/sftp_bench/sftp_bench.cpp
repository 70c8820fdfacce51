// File transfer speed of the directory-tree worker on loopback, beside
// OpenSSH's sftp client (as it comes, and with one request in flight,
// "-R 1") moving the same data to and from the same server in the same run,
// with the cipher ours asks for first.
//
//   sftp_bench --port P --user U --key PRIVATE_KEY --remote DIR [--mib N]
//              [--files N] [--known-hosts F] [--delay MS] [--server NAME]
//              [--cipher NAME]
//
// DIR is a folder the account may write. Ours is timed from posting the job
// to its end on a connected worker; OpenSSH as its whole batch minus a batch
// that only logs in. Prints one line per case. --delay puts a relay that
// holds every byte MS each way between both clients and the server, as a
// server that far away would; one request at a time is then not timed (a
// round trip per 32 KiB takes minutes), nor is the tree when --files is 0.
// --server puts a name before each case, for a run against another server
// (run.sh times Dropbear's too).

#include "sftp/dirtreeworker.h"
#include "tests/support/linkrelay.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <cstdio>

namespace {

// OpenSSH's, as ours asks for it first; --cipher for a server without it
// (Dropbear: ours then takes chacha20-poly1305@openssh.com).
QString cipher = QStringLiteral("aes128-gcm@openssh.com");

struct Bench {
    SshConnectParams params;
    QString remote;    // the server's folder for this run
    QString local;     // ours
    qint64 fileBytes = 0;
    qint64 treeBytes = 0;
};

QByteArray randomBytes(qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

double mbps(qint64 bytes, double seconds)
{
    return seconds > 0 ? bytes / seconds / (1024.0 * 1024.0) : 0;
}

// One job on a connected worker: seconds from post to its end, or -1.
double runOurs(DirTreeWorker &worker, DirTreeJobKind kind, const QString &from, const QString &to)
{
    static int id = 0;
    const int mine = ++id;
    QEventLoop loop;
    bool ok = false;
    QString why;
    QObject::connect(&worker, &DirTreeWorker::sigJobDone, &loop, [&](int i) { if (i == mine) { ok = true; loop.quit(); } });
    QObject::connect(&worker, &DirTreeWorker::sigJobFailed, &loop, [&](int i, const QString &e) { if (i == mine) { why = e; loop.quit(); } });
    QElapsedTimer clock;
    clock.start();
    worker.post({qint32(kind), mine, false, from, to, QString()});
    loop.exec();
    if (!ok)
        std::fprintf(stderr, "ours: %s\n", qPrintable(why));
    return ok ? clock.nsecsElapsed() / 1e9 : -1;
}

// One OpenSSH batch: seconds for the whole command, or -1.
double runOpenSsh(const Bench &b, const QString &batch, const QStringList &extra)
{
    QProcess sftp;
    sftp.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args{"-q", "-b", "-", "-P", QString::number(b.params.port), "-i", b.params.privateKey, "-c", cipher,
                     "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=accept-new",
                     "-o", "UserKnownHostsFile=" + b.params.knownHostsPath};
    args << extra << b.params.user + QStringLiteral("@") + b.params.host;
    QElapsedTimer clock;
    clock.start();
    sftp.start(QStringLiteral("sftp"), args);
    sftp.write(batch.toUtf8());
    sftp.closeWriteChannel();
    if (!sftp.waitForFinished(600000) || sftp.exitCode() != 0) {
        std::fprintf(stderr, "sftp %s: exit %d\n", qPrintable(batch.simplified()), sftp.exitCode());
        return -1;
    }
    return clock.nsecsElapsed() / 1e9;
}

QString serverName;

void report(const char *name, qint64 bytes, double ours, double openssh, double oneRequest)
{
    const double o = mbps(bytes, ours);
    const double r = mbps(bytes, openssh);
    std::printf("case=%s%s ours_MBps=%.1f openssh_MBps=%.1f ratio=%.2f ours_s=%.3f openssh_s=%.3f openssh_R1_MBps=%.1f\n",
                qPrintable(serverName.isEmpty() ? QString() : serverName + QLatin1Char('_')), name, o, r,
                r > 0 ? o / r : 0, ours, openssh, mbps(bytes, oneRequest));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"port", "server port", "n"}, {"user", "account", "name"}, {"key", "private key", "file"},
                       {"remote", "writable server folder", "dir"}, {"known-hosts", "known-hosts file", "file"},
                       {"mib", "size of the large file", "n", "256"}, {"files", "files of the tree", "n", "5000"},
                       {"delay", "milliseconds each way through a relay", "ms", "0"},
                       {"server", "name before each case", "name"}, {"cipher", "OpenSSH's cipher", "name"}});
    parser.process(app);
    QTemporaryDir scratch;
    Bench b;
    b.params.host = QStringLiteral("127.0.0.1");
    b.params.port = parser.value("port").toInt();
    b.params.user = parser.value("user");
    b.params.auth = QStringLiteral("publickey");
    b.params.privateKey = parser.value("key");
    b.params.knownHostsPath = parser.isSet("known-hosts") ? parser.value("known-hosts") : scratch.filePath("known_hosts");
    b.remote = parser.value("remote");
    b.local = scratch.path();
    const qint64 mib = parser.value("mib").toLongLong();
    const int files = parser.value("files").toInt();
    const int delayMs = parser.value("delay").toInt();
    serverName = parser.value("server");
    if (parser.isSet("cipher"))
        cipher = parser.value("cipher");
    if (b.params.user.isEmpty() || b.remote.isEmpty()) {
        std::fprintf(stderr, "need --port, --user, --key and --remote\n");
        return 2;
    }

    // The data: one large file, and a tree three folders deep of 4 KiB files.
    const QString big = b.local + QStringLiteral("/big.bin");
    writeFile(big, randomBytes(mib * 1024 * 1024));
    b.fileBytes = mib * 1024 * 1024;
    const QString tree = b.local + QStringLiteral("/tree");
    for (int i = 0; i < files; ++i)
        writeFile(QStringLiteral("%1/d%2/e%3/f%4/file%5").arg(tree).arg(i % 10).arg(i / 10 % 10).arg(i / 100 % 5).arg(i),
                  randomBytes(4096));
    b.treeBytes = qint64(files) * 4096;

    std::unique_ptr<LinkRelay> relay;
    if (delayMs > 0) {
        relay = std::make_unique<LinkRelay>(b.params.port, LinkRelay::Line{delayMs, 0});
        if (relay->port() == 0) {
            std::fprintf(stderr, "the relay cannot listen on loopback\n");
            return 1;
        }
        b.params.port = relay->port();
    }

    DirTreeWorker worker(b.params);
    QEventLoop ready;
    QObject::connect(&worker, &DirTreeWorker::sigReady, &ready, &QEventLoop::quit);
    QObject::connect(&worker, &ConnectionWorker::sigError, &ready, [&](const QString &m) {
        std::fprintf(stderr, "ours: %s\n", qPrintable(m));
        ready.exit(1);
    });
    worker.start();
    if (ready.exec() != 0)
        return 1;

    const double login = runOpenSsh(b, QStringLiteral("pwd\n"), {});
    const auto openssh = [&](const QString &batch, const QStringList &extra = {}) {
        const double t = runOpenSsh(b, batch, extra);
        return t < 0 ? -1 : std::max(1e-6, t - login);
    };
    const auto remote = [&](const char *name) { return b.remote + QLatin1Char('/') + QLatin1String(name); };
    const auto local = [&](const char *name) { return b.local + QLatin1Char('/') + QLatin1String(name); };
    const QStringList one{"-R", "1"};
    // Nothing to time: prints as 0.
    const auto oneRequest = [&](const QString &batch) { return delayMs > 0 ? -1.0 : openssh(batch, one); };

    double ours = runOurs(worker, DirTreeJobKind::UploadFile, big, remote("ours.bin"));
    double theirs = openssh(QStringLiteral("put %1 %2\n").arg(big, remote("openssh.bin")));
    double single = oneRequest(QStringLiteral("put %1 %2\n").arg(big, remote("openssh1.bin")));
    report(qPrintable(QStringLiteral("put_%1MiB").arg(mib)), b.fileBytes, ours, theirs, single);

    ours = runOurs(worker, DirTreeJobKind::DownloadFile, remote("ours.bin"), local("ours.bin"));
    theirs = openssh(QStringLiteral("get %1 %2\n").arg(remote("openssh.bin"), local("openssh.bin")));
    single = oneRequest(QStringLiteral("get %1 %2\n").arg(remote("openssh.bin"), local("openssh1.bin")));
    report(qPrintable(QStringLiteral("get_%1MiB").arg(mib)), b.fileBytes, ours, theirs, single);

    if (files <= 0) {
        worker.stop();
        return 0;
    }
    ours = runOurs(worker, DirTreeJobKind::UploadFolder, tree, remote("ours_tree"));
    theirs = openssh(QStringLiteral("put -r %1 %2\n").arg(tree, remote("openssh_tree")));
    single = oneRequest(QStringLiteral("put -r %1 %2\n").arg(tree, remote("openssh1_tree")));
    report(qPrintable(QStringLiteral("put_%1_files").arg(files)), b.treeBytes, ours, theirs, single);

    ours = runOurs(worker, DirTreeJobKind::DownloadFolder, remote("ours_tree"), local("ours_tree"));
    theirs = openssh(QStringLiteral("get -r %1 %2\n").arg(remote("openssh_tree"), local("openssh_tree")));
    single = oneRequest(QStringLiteral("get -r %1 %2\n").arg(remote("openssh_tree"), local("openssh1_tree")));
    report(qPrintable(QStringLiteral("get_%1_files").arg(files)), b.treeBytes, ours, theirs, single);

    worker.stop();
    return 0;
}
