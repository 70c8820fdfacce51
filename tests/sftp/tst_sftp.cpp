// The SFTP workers against OpenSSH's sshd: every job of both workers, files
// byte for byte, folders, refusals and hostile names. Known hosts through the
// workers are in tst_sftphostkeys.cpp, stops in tst_sftpstops.cpp.

#include "serverside.h"

#include "core/languagemanager.h"
#include "sftp/sftplanes.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QMutex>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTcpServer>

#include <memory>
#include <thread>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>

using namespace sftprig;

namespace {


// A folder upload in a process of its own whose memory is bounded, so that
// one that reads a file without end fails its row and not the machine.
// After the switch: port, known hosts, fixture, local folder, remote folder.
// Prints whether it succeeded, what it said and the names it left out.
constexpr char kChildSwitch[] = "--folder-upload-child";
constexpr qint64 kChildMemory = 1024 * kMiB;

int folderUploadChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 7)
        return 2;
    LanguageManager::setLanguage(QStringLiteral("zh"));
    const Server server{QString::fromLocal8Bit(argv[4]), std::atoi(argv[2])};
    Tree tree(server.params(QString::fromLocal8Bit(argv[3])));
    QStringList skipped;
    QObject::connect(tree.worker, &DirTreeWorker::sigSkipped, &tree.context,
                     [&](int, const QStringList &paths) { skipped = paths; });
    QString why = tree.errors.join(QLatin1Char('|'));
    const bool ok = tree.waitReady()
                    && tree.run(DirTreeJobKind::UploadFolder, QString::fromLocal8Bit(argv[5]), QString::fromLocal8Bit(argv[6]), &why);
    QStringList names;
    for (const QString &path : std::as_const(skipped))
        names << QFileInfo(path).fileName();
    names.sort();
    std::printf("%s\n%s\n%s\n", ok ? "ok" : "failed", qPrintable(why), qPrintable(names.join(QLatin1Char(' '))));
    return 0;
}

} // namespace

class TestSftp : public SftpCase
{
    Q_OBJECT

    std::unique_ptr<Dialog> m_dialog;

    // Milliseconds OpenSSH's sftp takes for one batch line through port,
    // less what it takes to log in alone; -1 when it fails.
    qint64 openSshMs(int port, const QString &line)
    {
        const QString key = m_local.filePath(QStringLiteral("openssh_key"));
        if (!QFile::exists(key) && !QFile::copy(fixturePath(m_server.fixture + QStringLiteral("/keys/id_ed25519")), key))
            return -1;
        QFile::setPermissions(key, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        const auto batch = [&](const QString &text) {
            QProcess sftp;
            sftp.start(QStringLiteral("sftp"), {"-q", "-b", "-", "-P", QString::number(port), "-i", key, "-o", "BatchMode=yes",
                                                "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                                                m_server.user() + QStringLiteral("@127.0.0.1")});
            QElapsedTimer clock;
            clock.start();
            sftp.write(text.toUtf8() + '\n');
            sftp.closeWriteChannel();
            const bool ok = sftp.waitForFinished(120000) && sftp.exitStatus() == QProcess::NormalExit && sftp.exitCode() == 0;
            if (!ok)
                sftp.kill();
            return ok ? clock.elapsed() : qint64(-1);
        };
        const qint64 login = batch(QStringLiteral("pwd"));
        const qint64 all = batch(line);
        return login < 0 || all < 0 ? -1 : qMax<qint64>(1, all - login);
    }

private slots:
    void initTestCase()
    {
        SFTP_RIG_NEEDS_ROOT();
        const QString failed = startCase();
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        m_dialog = std::make_unique<Dialog>(m_server.params(m_knownHosts));
        QVERIFY2(m_dialog->waitReady(), qPrintable(m_dialog->errors.join('|')));
        // The dialog lists the login folder first.
        QCOMPARE(m_dialog->listedPath, m_server.home());
    }

    void transfers_data()
    {
        QTest::addColumn<bool>("tree");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("delayMs"); // each way, through a relay
        for (const bool tree : {true, false})
            for (const qint64 size : {qint64(0), qint64(1), qint64(32767), qint64(32768), qint64(32769), 64 * kMiB})
                QTest::addRow("%s %lld", tree ? "tree" : "dialog", size) << tree << size << 0;
        // A server 25 ms away: each way at least a quarter of what OpenSSH's
        // sftp moves through the same relay, which a window that stops
        // growing falls far short of.
        QTest::newRow("tree 32 MiB, 25 ms each way") << true << 32 * kMiB << 25;
    }
    // Up, then down again: the server's copy and ours match the original.
    void transfers()
    {
        QFETCH(bool, tree);
        QFETCH(qint64, size);
        QFETCH(int, delayMs);
        const QString original = localPath(QStringLiteral("up"));
        QVERIFY(writeFile(original, randomBytes(size)));
        const QString remote = remoteFolder() + QStringLiteral("/file");
        const QString back = localPath(QStringLiteral("down"));
        if (delayMs > 0) {
            LinkRelay line(m_server.port, {delayMs, 0});
            QVERIFY2(line.port() > 0, "the relay cannot listen on loopback");
            SshConnectParams p = m_server.params(m_knownHosts);
            p.port = line.port();
            Tree far(p);
            QVERIFY2(far.waitReady(), qPrintable(far.errors.join('|')));
            QString why;
            QElapsedTimer clock;
            clock.start();
            QVERIFY2(far.run(DirTreeJobKind::UploadFile, original, remote, &why), qPrintable(why));
            const qint64 up = clock.restart();
            QVERIFY2(far.run(DirTreeJobKind::DownloadFile, remote, back, &why), qPrintable(why));
            const qint64 down = clock.elapsed();
            const qint64 theirsUp = openSshMs(line.port(), QStringLiteral("put %1 %2.openssh").arg(original, remote));
            const qint64 theirsDown = openSshMs(line.port(), QStringLiteral("get %1.openssh %2.openssh").arg(remote, back));
            const QString times = QStringLiteral("up %1 ms, OpenSSH %2; down %3 ms, OpenSSH %4").arg(up).arg(theirsUp).arg(down).arg(theirsDown);
            qInfo().noquote() << times;
            QVERIFY2(theirsUp > 0 && theirsDown > 0, "OpenSSH's sftp failed through the relay");
            QVERIFY2(up < 4 * theirsUp && down < 4 * theirsDown, qPrintable(times));
        } else if (tree) {
            QString why;
            QVERIFY2(m_tree->run(DirTreeJobKind::UploadFile, original, remote, &why), qPrintable(why));
            QCOMPARE(m_tree->progress.last(), size);
            QVERIFY2(m_tree->run(DirTreeJobKind::DownloadFile, remote, back, &why), qPrintable(why));
        } else {
            QVERIFY2(m_dialog->run(1, original, remote), qPrintable(m_dialog->failed.join('\n')));
            QVERIFY2(m_dialog->run(2, remote, back), qPrintable(m_dialog->failed.join('\n')));
        }
        QCOMPARE(sha(remote) + ' ' + sha(back), sha(original) + ' ' + sha(original));
    }

    void jobs_data()
    {
        QTest::addColumn<int>("worker"); // 0 tree, 1 dialog, 2 tree of a server that cannot rename over a file,
                                         // 3 tree in a process whose memory is bounded
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("a"); // "{}" is the row's remote folder, "@text" a local file holding text,
                                        // "@@entries" a local folder made as setUp() makes one, "@*n" n MiB
        QTest::addColumn<QString>("b");
        QTest::addColumn<QString>("setup"); // entries as setUp() and unmet() read them
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("expect"); // also "p@same", "p@new": p's inode kept or replaced; last, "said:" a text of the failure, "said=" all of it
        const auto row = [](int worker, const char *name, int kind, const char *a, const char *b, const char *setup,
                            bool ok, const char *expect) {
            QTest::newRow(name) << worker << kind << QString::fromUtf8(a) << QString::fromUtf8(b)
                                << QString::fromUtf8(setup) << ok << QString::fromUtf8(expect);
        };
        const auto tree = [&](const char *name, DirTreeJobKind k, auto... rest) { row(0, name, int(k), rest...); };
        const auto dialog = [&](const char *name, int k, auto... rest) { row(1, name, k, rest...); };
        const auto norename = [&](const char *name, DirTreeJobKind k, auto... rest) { row(2, name, int(k), rest...); };
        const auto bounded = [&](const char *name, DirTreeJobKind k, auto... rest) { row(3, name, int(k), rest...); };
        using K = DirTreeJobKind;
        tree("new folder", K::NewFolder, "{}/d", "", "", true, "d/");
        tree("new folder taken", K::NewFolder, "{}/d", "", "d/", false, "d/");
        tree("new file", K::NewFile, "{}/f", "", "", true, "f=");
        tree("new file keeps old", K::NewFile, "{}/f", "", "f=old", false, "f=old");
        tree("rename", K::Rename, "{}/a", "{}/b", "a=1", true, "!a b=1");
        tree("delete file", K::Delete, "{}/a", "", "a=1", true, "!a");
        tree("delete folder", K::Delete, "{}/d", "", "keep/x=1 d/e/f=1 d/.h=2 d/l->../keep", true, "!d keep/x=1");
        tree("delete link to folder", K::Delete, "{}/l", "", "keep/x=1 l->keep", true, "!l keep/x=1");
        tree("compress", K::Compress, "{}/p", "{}/p.tar.gz", "p/q=1", true, "p.tar.gz#./p/q");
        tree("compress quote", K::Compress, "{}/a'b", "{}/a'b.tar.gz", "a'b/q=1", true, "a'b.tar.gz#./a'b/q");
        tree("compress keeps archive", K::Compress, "{}/p", "{}/p.tar.gz", "p/q=1 p.tar.gz=old", false, "p.tar.gz=old");
        tree("compress missing", K::Compress, "{}/none", "{}/none.tar.gz", "", false, "!none.tar.gz");
        tree("compress root", K::Compress, "/", "/.tar.gz", "", false, "");
        // Before libssh2 1.11 (no posix-rename) a replaced file is written in place.
        tree("upload replaces", K::UploadFile, "@new", "{}/f", "f=old f%640", true,
             kRenamesOver ? "f=new f%640 !.hv* f@new" : "f=new f%640 !.hv* f@same");
        tree("upload in a closed folder", K::UploadFile, "@new", "{}/c/f", "c/f=old c%555", true, "c/f=new c/f@same");
        tree("upload to two names", K::UploadFile, "@new", "{}/f", "f=old g=>f", true, "f=new g=new f@same !.hv*");
        norename("upload, server without rename", K::UploadFile, "@new", "{}/f", "f=old", true, "f=new f@same !.hv*");
        tree("upload through link", K::UploadFile, "@new", "{}/l", "real=old l->real", true, "l->real real=new");
        tree("upload through a dangling link", K::UploadFile, "@new", "{}/l", "l->gone", true, "l->gone gone=new !.hv*");
        tree("upload through a link to a pipe", K::UploadFile, "@new", "{}/l", "p| l->p", false, "l->p said:l 是命名管道");
        // What the user can see of a replaced file stays: its group, given
        // back where the user belongs to it ({g}, the account's own) and
        // else kept by writing in place; a file its owner keeps from
        // writes is refused, as other clients refuse it.
        tree("upload gives the group back", K::UploadFile, "@new", "{}/d/f", "d/ d/f=old d^0 d%2775", true,
             kRenamesOver ? "d/f=new d/f^{g} d/f@new !d/.hv*" : "d/f=new d/f^{g} d/f@same !d/.hv*");
        tree("upload keeps a group the user is not in", K::UploadFile, "@new", "{}/f", "f=old f^0", true, "f=new f^0 f@same !.hv*");
        tree("upload to a file its owner keeps from writes", K::UploadFile, "@new", "{}/f", "f=old f%444", false,
             "f=old f%444 f@same !.hv* said:Permission denied");
        dialog("upload to a file its owner keeps from writes, dialog", 1, "@new", "{}/f", "f=old f%444", false,
             "f=old f%444 !.hv* said:Permission denied");
        // "~" entries are made once the upload's temporary file is there
        // (the tree's rows go over a line of 100 ms each way, to be caught
        // before the rename): a name taken between the look and the rename
        // is not written over, and the failure names it.
        tree("upload onto a name taken meanwhile", K::UploadFile, "@new", "{}/g", "~g=theirs", false,
             "g=theirs !.hv* said:{}/g 在上传期间被占用，未覆盖");
        tree("folder upload onto a name taken meanwhile", K::UploadFolder, "@@a=1", "{}/up", "up/ ~up/a=theirs", false,
             "up/a=theirs !up/.hv* said:{}/up/a 在上传期间被占用，未覆盖");
        dialog("upload onto a name taken meanwhile, dialog", 1, "@*64", "{}/g", "~g=theirs", false,
               "g=theirs !.hv* said:{}/g 在上传期间被占用，未覆盖");
        tree("upload missing local", K::UploadFile, "/nonexistent/x", "{}/f", "", false, "!f");
        tree("upload of a file its size belies", K::UploadFile, "/proc/version", "{}/f", "", false, "!f");
        dialog("upload of a file its size belies", 1, "/proc/version", "{}/f", "", false, "");
        dialog("upload of a file that never ends", 1, "/proc/self/pagemap", "{}/f", "", false, "!f said:上传长度校验失败");
        // A folder's files are read no further than their size either, nor
        // taken for whole when they read less (a /sys file says 4096 and
        // holds a line): such files are left out and named, the rest goes up.
        bounded("upload a folder with links to /proc files", K::UploadFolder,
                "@@a=1 b/c=2 pagemap->/proc/self/pagemap version->/proc/version online->/sys/devices/system/cpu/online",
                "{}/up", "", true,
                "up/a=1 up/b/c=2 !up/pagemap !up/version !up/online !up/.hv* !up/b/.hv* said:完成 left out: online pagemap version");
        tree("unknown kind", K(12), "{}/x", "", "", true, "!x");
        dialog("mkdir", 4, "{}/d", "", "", true, "d/");
        dialog("delete", 3, "{}/f", "", "f=1", true, "!f");
        dialog("delete folder", 3, "{}/d", "", "d/", false, "d/");
        dialog("download missing", 2, "{}/none", "@", "", false, "");
        // Refused for what they are, before anything is made here.
        tree("download a device", K::DownloadFile, "/dev/zero", "@", "", false, "said:字符设备");
        dialog("download a device", 2, "/dev/zero", "@", "", false, "said:字符设备");
        tree("download a pipe", K::DownloadFile, "{}/p", "@", "p|", false, "said:命名管道");
        dialog("download a link to a pipe", 2, "{}/l", "@", "p| l->p", false, "said:命名管道");
        // Nor do they go up: read, a device never ends and a pipe waits for a writer.
        tree("upload a device", K::UploadFile, "/dev/zero", "{}/f", "", false, "!f said:zero 是字符设备");
        dialog("upload a device, dialog", 1, "/dev/zero", "{}/f", "", false, "!f said=上传 /dev/zero|zero 是字符设备，不是普通文件");
        tree("upload a pipe", K::UploadFile, "{}/p", "{}/f", "p|", false, "!f said:p 是命名管道");
        dialog("upload a pipe, dialog", 1, "{}/p", "{}/f", "p|", false, "!f said=上传 {}/p|p 是命名管道，不是普通文件");
        dialog("upload a link to a pipe", 1, "{}/l", "{}/f", "p| l->p", false, "!f said=上传 {}/l|l 是命名管道，不是普通文件");
        tree("upload a folder as a file", K::UploadFile, "{}/d", "{}/f", "d/", false, "!f said:d 是目录");
    }
    void jobs()
    {
        QFETCH(int, worker);
        QFETCH(int, kind);
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(QString, setup);
        QFETCH(bool, ok);
        QFETCH(QString, expect);
        const qsizetype saidAt = expect.indexOf(QRegularExpression(QStringLiteral("said[:=]")));
        const bool saidWhole = saidAt >= 0 && expect.at(saidAt + 4) == QLatin1Char('=');
        QString said = saidAt < 0 ? QString() : expect.mid(saidAt + 5);
        QStringList expected = expect.left(saidAt).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const bool localTarget = b == QLatin1String("@"); // a failure makes nothing there
        const Server server = worker == 2 ? variant("hostile", 2) : m_server;
        const QString base = remoteFolder(server);
        said.replace(QStringLiteral("{}"), base);
        const passwd *account = getpwnam(server.user().toUtf8().constData());
        QVERIFY(account);
        const QString group = QString::number(account->pw_gid);
        setup.replace(QStringLiteral("{g}"), group);
        expected.replaceInStrings(QStringLiteral("{g}"), group);
        QStringList meanwhile = setup.split(QLatin1Char(' '), Qt::SkipEmptyParts).filter(QRegularExpression(QStringLiteral("^~")));
        setup.remove(QRegularExpression(QStringLiteral("~\\S*")));
        meanwhile.replaceInStrings(QRegularExpression(QStringLiteral("^~")), QString());
        setUp(base, setup.split(QLatin1Char(' '), Qt::SkipEmptyParts), server);
        const auto inode = [&](const QString &e) {
            struct stat st {};
            return ::stat(QFile::encodeName(base + '/' + e.section('@', 0, 0)).constData(), &st) == 0 ? st.st_ino : 0;
        };
        QMap<QString, ino_t> inodes;
        for (const QString &e : expected.filter(QStringLiteral("@")))
            inodes[e] = inode(e);
        std::unique_ptr<LinkRelay> line(!meanwhile.isEmpty() && worker == 0 ? new LinkRelay(server.port, {100, 0}) : nullptr);
        SshConnectParams params = server.params(m_knownHosts);
        if (line)
            params.port = line->port();
        std::unique_ptr<Tree> other(worker == 2 || line ? new Tree(params) : nullptr);
        QVERIFY(!other || other->waitReady());
        const auto resolve = [&](QString s) {
            if (s.startsWith(QLatin1String("@@"))) {
                const QString local = localPath(QStringLiteral("folder"));
                setUp(local, s.mid(2).split(QLatin1Char(' ')), server);
                return local;
            }
            if (s.startsWith(QLatin1Char('@'))) {
                const QString local = localPath(QStringLiteral("job"));
                if (s.startsWith(QLatin1String("@*")))
                    writeFile(local, randomBytes(s.mid(2).toInt() * kMiB));
                else if (s.size() > 1)
                    writeFile(local, s.mid(1).toUtf8());
                return local;
            }
            return s.replace(QStringLiteral("{}"), base);
        };
        a = resolve(a);
        b = resolve(b);
        QString why;
        Tree *tree = other ? other.get() : m_tree.get();
        bool done;
        if (worker == 3) {
            // Its memory is watched from here, not limited by an address-space
            // limit, which the sanitizers' shadow memory would not fit in.
            QProcess child;
            // Its leaks at exit are not this row's question (the folder
            // uploads in this process answer it), and would fail it.
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(),
                        {kChildSwitch, QString::number(server.port), m_knownHosts, server.fixture, a, b});
            QElapsedTimer running;
            running.start();
            qint64 peak = 0;
            while (!child.waitForFinished(20) && running.elapsed() < 120000) {
                const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(child.processId()));
                const qsizetype at = status.indexOf("VmRSS:");
                peak = qMax(peak, at < 0 ? 0 : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ').value(0).toLongLong() * 1024);
                if (peak > kChildMemory) {
                    child.kill();
                    child.waitForFinished(5000);
                    QFAIL(qPrintable(QStringLiteral("the child's memory grew past %1 MiB").arg(kChildMemory / kMiB)));
                }
            }
            QVERIFY2(child.state() == QProcess::NotRunning, "the child process did not end");
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                     qPrintable(QStringLiteral("the child process died: ") + child.readAllStandardError().right(2000)));
            const QStringList out = QString::fromUtf8(child.readAllStandardOutput()).split(QLatin1Char('\n'));
            done = out.value(0) == QLatin1String("ok");
            why = out.value(1) + QStringLiteral(" left out: ") + out.value(2);
        } else {
            const int id = worker != 1 ? tree->post(DirTreeJobKind(kind), a, b) : 0;
            const Dialog::Posted posted = worker != 1 ? Dialog::Posted{} : m_dialog->post(kind, a, b);
            if (!meanwhile.isEmpty()) {
                QVERIFY2(QTest::qWaitFor([&] { return QDirIterator(base, {".hv-upload-*"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories).hasNext(); }, 30000),
                         "the upload never made its temporary file");
                setUp(base, meanwhile, server);
            }
            done = worker != 1 ? tree->finish(id, &why) : m_dialog->finish(posted);
        }
        const QString told = worker != 1 ? why : m_dialog->failed.value(m_dialog->failed.size() - 1);
        QVERIFY2(done == ok && (saidWhole ? told == said : told.contains(said)), qPrintable(told));
        QVERIFY(ok || !localTarget || !QFileInfo::exists(b));
        for (auto it = inodes.cbegin(); it != inodes.cend(); ++it) {
            QVERIFY2((inode(it.key()) == it.value()) == it.key().endsWith(QLatin1String("@same")), qPrintable(it.key()));
            expected.removeOne(it.key());
        }
        QVERIFY2(unmet(base, expected).isEmpty(), qPrintable(unmet(base, expected)));
        if (!ok && worker != 1)
            QVERIFY2(!why.isEmpty(), "a failure that does not say why");
    }

    // Every download reads to the end the server reports, whatever size
    // it gave: a /proc file says 0, a file being written less than it will
    // hold, a file cut short more than it holds now. Each comes as it is
    // when read, neither cut short nor padded.
    //   path: "lanes" (a folder's small files, told a size by a listing
    //   made before the change), "tree" and "dialog" (one file), "folder"
    //   (a folder's large file);
    //   source: "proc" /proc/version itself, "proc link" a link to it in
    //   the remote folder, "/proc/crypto" (pages that come a read each), or
    //   the size of a file of random bytes;
    //   change, while the server reads it: "grow" by a MiB, "shrink" to half,
    //   "append" 64 KiB each time it comes to the end (a live log, which
    //   comes as a whole prefix of what it grew to).
    void downloadsReadToTheEnd_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("source");
        QTest::addColumn<qint64>("listed");
        QTest::addColumn<QString>("change");
        const auto row = [](const char *name, const char *path, const char *source, qint64 listed, const char *change) {
            QTest::addRow("%s: %s", path, name) << QString::fromLatin1(path) << QString::fromLatin1(source) << listed
                                                << QString::fromLatin1(change);
        };
        row("listed empty", "lanes", "5000", 0, "");
        row("past the first buffer", "lanes", "300000", 10, "");
        row("shrunk since listed", "lanes", "100", 5000, "");
        for (const char *path : {"lanes", "tree", "dialog"}) {
            row("/proc/version", path, "proc", 0, "");
            row("/proc file of pages", path, "/proc/crypto", 0, "");
        }
        for (const char *path : {"tree", "dialog"})
            row("link to /proc/version", path, "proc link", -1, "");
        for (const char *path : {"tree", "dialog", "folder"}) {
            row("grows while read", path, "67108864", -1, "grow");
            row("shrinks while read", path, "67108864", -1, "shrink");
        }
        for (int run = 1; run <= 20; ++run)
            for (const char *path : {"lanes", "tree", "dialog"})
                row(QByteArray("appended to while read #" + QByteArray::number(run)).constData(), path, "16777216", 16777216, "append");
    }
    void downloadsReadToTheEnd()
    {
        QFETCH(QString, path);
        QFETCH(QString, source);
        QFETCH(qint64, listed);
        QFETCH(QString, change);
        const QString folder = remoteFolder();
        QString remote = folder + QStringLiteral("/file");
        QByteArray bytes;
        if (source == QLatin1String("proc")) {
            remote = QStringLiteral("/proc/version");
        } else if (source.startsWith(QLatin1Char('/'))) {
            remote = source;
        } else if (source == QLatin1String("proc link")) {
            QVERIFY(QFile::link(QStringLiteral("/proc/version"), remote));
            own(remote, m_server);
        } else {
            bytes = randomBytes(source.toLongLong());
            QVERIFY(writeFile(remote, bytes));
            own(remote, m_server);
        }
        if (remote.startsWith(QLatin1String("/proc/")) || source == QLatin1String("proc link")) {
            bytes = readFile(QFileInfo(remote).canonicalFilePath());
            QVERIFY2(!bytes.isEmpty() && QFileInfo(remote).size() == 0, "no /proc file of size 0 that holds text");
        }
        std::atomic<bool> ended{false};
        std::thread writer;
        if (change == QLatin1String("append"))
            writer = std::thread([&] {
                // Once the server is a read request (at most 30000 bytes)
                // from the end, it is held still while the file grows: often
                // its last read-ahead reply has just come back short, and
                // the next ones find more.
                const QString fdinfo = serverDescriptor(remote, &ended);
                const pid_t server = pid_t(fdinfo.section(QLatin1Char('/'), 2, 2).toInt());
                const int info = server > 0 ? ::open(QFile::encodeName(fdinfo).constData(), O_RDONLY) : -1;
                QFile f(remote);
                qint64 size = bytes.size();
                const QByteArray more = randomBytes(64 * 1024);
                for (int round = 0; info >= 0 && round < 100 && (f.isOpen() || f.open(QIODevice::Append)); ++round) {
                    qint64 at = 0;
                    while (!ended && (at = serverPosition(info)) >= 0 && at + 30000 < size) {
                    }
                    if (at < 0 || ended)
                        break;
                    ::kill(server, SIGSTOP);
                    const bool written = f.write(more) == more.size() && f.flush();
                    ::kill(server, SIGCONT);
                    if (!written)
                        break;
                    size += more.size();
                }
                if (info >= 0)
                    ::close(info);
            });
        const auto stopAppending = [&] {
            ended = true;
            if (writer.joinable())
                writer.join();
        };
        const auto joined = qScopeGuard(stopAppending);
        QByteArray got;
        if (path == QLatin1String("lanes")) {
            auto *reader = new LaneReader(m_server.params(m_knownHosts), remote, listed);
            reader->start();
            const bool finished = QTest::qWaitFor([&] { return reader->done.load(); }, 30000);
            const QString error = reader->error;
            got = reader->got;
            SftpSession::release(reader);
            QVERIFY2(finished && error.isEmpty(), qPrintable(error));
        } else {
            const QString target = localPath(QStringLiteral("copy"));
            const bool dialog = path == QLatin1String("dialog");
            const bool wholeFolder = path == QLatin1String("folder");
            int id = 0;
            Dialog::Posted posted{};
            // After a refusal, which leaves its SFTP status behind.
            if (change == QLatin1String("append"))
                QVERIFY(dialog ? !m_dialog->run(2, remote + 'x', target) : !m_tree->run(DirTreeJobKind::DownloadFile, remote + 'x', target));
            if (dialog)
                posted = m_dialog->post(2, remote, target);
            else
                id = m_tree->post(wholeFolder ? DirTreeJobKind::DownloadFolder : DirTreeJobKind::DownloadFile,
                                  wholeFolder ? folder : remote, target);
            if (change == QLatin1String("grow") || change == QLatin1String("shrink")) {
                // Changed once the reads have begun (the size was taken
                // before them), while the server is well before the end:
                // nothing past the change point has been read yet.
                const QString reading = serverDescriptor(remote);
                QVERIFY2(!reading.isEmpty(), "the server never had the file open");
                const qint64 at = serverOffsetOnceReading(reading);
                const qint64 newEnd = change == QLatin1String("grow") ? bytes.size() : bytes.size() / 2;
                QVERIFY2(at > 0 && at + 16 * kMiB < newEnd,
                         qPrintable(QStringLiteral("the download outran the change: at %1 of %2").arg(at).arg(newEnd)));
                if (change == QLatin1String("grow")) {
                    const QByteArray more = randomBytes(kMiB);
                    QFile f(remote);
                    QVERIFY(f.open(QIODevice::Append) && f.write(more) == more.size());
                    bytes += more;
                } else {
                    QVERIFY(::truncate(QFile::encodeName(remote).constData(), newEnd) == 0);
                    bytes.truncate(newEnd);
                }
            }
            QString why;
            const bool ok = dialog ? m_dialog->finish(posted) : m_tree->finish(id, &why);
            QVERIFY2(ok, qPrintable(dialog ? m_dialog->failed.join('\n') : why));
            got = readFile(wholeFolder ? target + QStringLiteral("/file") : target);
        }
        if (change == QLatin1String("append")) {
            stopAppending();
            const QByteArray grown = readFile(remote);
            QVERIFY2(got.size() >= bytes.size() && grown.startsWith(got),
                     qPrintable(QStringLiteral("%1 of %2 bytes").arg(got.size()).arg(grown.size())));
            return;
        }
        QCOMPARE(got.size(), bytes.size());
        QVERIFY(got == bytes);
    }

    // A file a transfer makes is no more open than its source, either way;
    // one that was there keeps its mode. A folder's small files go over the
    // lanes, its large ones one at a time.
    void uploadOfAChangingFile_data()
    {
        QTest::addColumn<bool>("tree");
        QTest::addColumn<QString>("change");  // "shrink" to a MiB or "grow" by one, once the first bytes are acknowledged
        QTest::addColumn<QString>("before");  // on the server
        QTest::addColumn<QString>("expect");
        for (const bool tree : {true, false}) {
            const char *who = tree ? "tree" : "dialog";
            // Cut short before the second half is read: that half reads nothing.
            QTest::addRow("%s, shrinks", who) << tree << "shrink" << "" << "!f !.hv*";
            // Longer at its end: the half that reads to the end says so.
            QTest::addRow("%s, grows", who) << tree << "grow" << "" << "!f !.hv*";
        }
        QTest::newRow("tree, grows, over a file") << true << "grow" << "f=old" << (kRenamesOver ? "f=old !.hv*" : "!.hv*");
    }
    // A large local file goes up in halves, each read only as far as it
    // goes: one that changes under way is refused, whichever half sees it,
    // and nothing cut short or grown takes a name. Over a relay with a
    // round trip, so that most of it is still to be read when it changes.
    void uploadOfAChangingFile()
    {
        QFETCH(bool, tree);
        QFETCH(QString, change);
        QFETCH(QString, before);
        QFETCH(QString, expect);
        const QString original = localPath(QStringLiteral("changing"));
        QVERIFY(writeFile(original, randomBytes(64 * kMiB)));
        const QString base = remoteFolder();
        setUp(base, before.split(QLatin1Char(' '), Qt::SkipEmptyParts), m_server);
        LinkRelay line(m_server.port, {25, 0});
        QVERIFY2(line.port() > 0, "the relay cannot listen on loopback");
        SshConnectParams p = m_server.params(m_knownHosts);
        p.port = line.port();
        std::unique_ptr<Tree> t(tree ? new Tree(p) : nullptr);
        std::unique_ptr<Dialog> d(tree ? nullptr : new Dialog(p));
        QVERIFY(tree ? t->waitReady() : d->waitReady());
        const QString remote = base + QStringLiteral("/f");
        const int id = tree ? t->post(DirTreeJobKind::UploadFile, original, remote) : 0;
        const Dialog::Posted posted = tree ? Dialog::Posted{} : d->post(1, original, remote);
        QVERIFY(QTest::qWaitFor([&] { return tree ? !t->progress.isEmpty() : d->progress > 0; }, 30000));
        QFile file(original);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(change == QLatin1String("shrink") ? file.resize(kMiB) : file.seek(file.size()) && file.write(randomBytes(kMiB)) == kMiB);
        file.close();
        QVERIFY(!(tree ? t->finish(id) : d->finish(posted)));
        const QString missing = unmet(base, expect.split(QLatin1Char(' ')));
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }

    void permissions_data()
    {
        QTest::addColumn<QString>("path");  // tree, dialog or folder; up or down
        QTest::addColumn<QString>("modes"); // the source's, the target's before ("-": none), the result
        for (const char *path : {"tree up", "tree down", "dialog up", "dialog down", "folder up", "folder down"})
            QTest::addRow("%s 0600", path) << QString::fromLatin1(path) << "600 - 600";
        QTest::newRow("tree up 0755") << "tree up" << "755 - 644";
        QTest::newRow("folder down 0640") << "folder down" << "640 - 640";
        QTest::newRow("folder down over 0640") << "folder down" << "600 640 640";
        QTest::newRow("dialog down over 0644") << "dialog down" << "600 644 644";
    }
    void permissions()
    {
        QFETCH(QString, path);
        QFETCH(QString, modes);
        const QStringList mode = modes.split(QLatin1Char(' '));
        const bool up = path.endsWith(QLatin1String("up"));
        const QString local = localPath(QStringLiteral("modes"));
        QVERIFY(QDir().mkpath(local));
        const QString from = up ? local : remoteFolder(), to = up ? remoteFolder() : local;
        const QStringList files = path.startsWith(QLatin1String("folder")) ? QStringList{"d/a", "d/b"} : QStringList{"f"};
        for (const QString &f : files) {
            setUp(from, {f + '=' + QString(f.endsWith('b') ? 300000 : 3, QLatin1Char('x')), f + '%' + mode[0]}, m_server);
            if (mode[1] != QLatin1String("-"))
                setUp(to, {f + QStringLiteral("=old"), f + '%' + mode[1]}, m_server);
        }
        Tree tree(m_server.params(m_knownHosts), [](const QString &) { return true; });
        QVERIFY(tree.waitReady());
        const QString name = QLatin1Char('/') + files[0].section(QLatin1Char('/'), 0, 0);
        using K = DirTreeJobKind;
        const K kind = files.size() > 1 ? (up ? K::UploadFolder : K::DownloadFolder) : (up ? K::UploadFile : K::DownloadFile);
        QString why;
        QVERIFY2(path.startsWith(QLatin1String("dialog")) ? m_dialog->run(up ? 1 : 2, from + name, to + name)
                                                          : tree.run(kind, from + name, to + name, &why),
                 qPrintable(why + m_dialog->failed.join('|')));
        for (const QString &f : files)
            QVERIFY2(unmet(to, {f + '%' + mode[2]}).isEmpty(), qPrintable(f));
    }

    // A folder upload that fills the disk fails and leaves no file cut short
    // under its name, on any lane: each is whole, gone, or as it was before.
    void folderUploadFillsTheDisk_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("before"); // on the disk
        QTest::addColumn<int>("whole");      // files that arrive whole at least
        QTest::newRow("small files, over the lanes") << 30 << 200000 << "" << 0;
        QTest::newRow("smaller files, over the lanes") << 30 << 100000 << "" << 3;
        QTest::newRow("a file replaced") << 1 << 1200000 << "up/f00=old" << 0;
    }
    void folderUploadFillsTheDisk()
    {
        QFETCH(int, count);
        QFETCH(int, size);
        QFETCH(QString, before);
        QFETCH(int, whole);
        const QString source = localPath(QStringLiteral("full"));
        for (int i = 0; i < count; ++i)
            QVERIFY(writeFile(source + QStringLiteral("/f%1").arg(i, 2, 10, QLatin1Char('0')), randomBytes(size)));
        QTemporaryDir disk(remoteFolder() + QStringLiteral("/disk-XXXXXX"));
        QVERIFY2(QProcess::execute(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=1m", "tmpfs", disk.path()}) == 0,
                 "cannot mount a small tmpfs (root needed)");
        const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {"-l", disk.path()}); });
        own(disk.path(), m_server);
        const QStringList old = before.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        setUp(disk.path(), old, m_server);
        QString why;
        QVERIFY(!m_tree->run(DirTreeJobKind::UploadFolder, source, disk.filePath(QStringLiteral("up")), &why));
        QVERIFY2(why.startsWith(QStringLiteral("上传失败")), qPrintable(why));
        // Without posix-rename (libssh2 1.10) a replaced file is written in place.
        QVERIFY2(!kRenamesOver || unmet(disk.path(), old).isEmpty(), qPrintable(unmet(disk.path(), old)));
        const QMap<QString, QByteArray> got = snapshot(disk.filePath(QStringLiteral("up"))), sent = snapshot(source);
        for (auto it = got.cbegin(); it != got.cend(); ++it)
            QVERIFY2(it.value() == sent.value(it.key()) || before.contains(it.key() + '='),
                     qPrintable(it.key() + ':' + QString::number(QFileInfo(disk.filePath("up/" + it.key())).size())));
        QVERIFY(got.size() - old.size() >= whole);
        QVERIFY2(QProcess::execute(QStringLiteral("umount"), {disk.path()}) == 0, "a file is still open on the server");
    }

    // A folder upload stops at its first failure, saying why: no file is
    // begun after it on any lane, those under way then arrive whole, the
    // one that failed is not there, and the files named as not arrived are
    // those that did not, whichever way the others went. Over a line with
    // a round trip of 40 ms, as a remote server has: on loopback a server
    // process of one lane that the machine holds back a moment lets the
    // other lanes finish a few files each before the failure is heard.
    void folderUploadStopsAtAFailure_data()
    {
        QTest::addColumn<QString>("before");  // on the server, beside the folder "up" the upload goes to
        QTest::addColumn<QString>("failing"); // the file that cannot go up, beside files f00, f01...
        QTest::addColumn<int>("count");       // of those
        QTest::addColumn<int>("size");        // of each file, the failing one too
        QTest::addColumn<int>("most");        // files that may arrive
        QTest::addColumn<QString>("said");    // all of it
        const QString denied = QStringLiteral("上传失败：Failed opening remote file (Permission denied)");
        QTest::newRow("read-only subfolder first") << "up/0/ up/0%555" << "0/x" << 40 << 1000 << 8 << denied;
        QTest::newRow("a file where the subfolder goes") << "up/0=file" << "0/x" << 40 << 1000 << 0
                                                         << "SFTP Protocol Error (Failure)";
        // Too large for the lanes: one at a time, each arriving before the next.
        QTest::newRow("read-only subfolder after large files") << "up/z/ up/z%555" << "z/x" << 3 << 300000 << 3 << denied;
    }
    void folderUploadStopsAtAFailure()
    {
        QFETCH(QString, before);
        QFETCH(QString, failing);
        QFETCH(int, count);
        QFETCH(int, size);
        QFETCH(int, most);
        QFETCH(QString, said);
        const QString source = localPath(QStringLiteral("after"));
        QVERIFY(writeFile(source + '/' + failing, randomBytes(size)));
        QStringList files;
        for (int i = 0; i < count; ++i) {
            files << QStringLiteral("f%1").arg(i, 2, 10, QLatin1Char('0'));
            QVERIFY(writeFile(source + '/' + files.last(), randomBytes(size)));
        }
        const QString base = remoteFolder();
        setUp(base, before.split(QLatin1Char(' ')), m_server);
        LinkRelay line(m_server.port, {20, 0});
        QVERIFY2(line.port() > 0, "the relay cannot listen on loopback");
        SshConnectParams p = m_server.params(m_knownHosts);
        p.port = line.port();
        Tree tree(p);
        QVERIFY(tree.waitReady());
        QString why;
        QVERIFY(!tree.run(DirTreeJobKind::UploadFolder, source, base + QStringLiteral("/up"), &why));
        QVERIFY(!QFileInfo::exists(base + QStringLiteral("/up/") + failing));
        const QStringList made = QDir(base + QStringLiteral("/up")).entryList({QStringLiteral("f*")}, QDir::Files);
        // The reason, then what did not arrive: its count and the first names.
        QStringList missing{failing};
        for (const QString &f : std::as_const(files))
            if (!made.contains(f))
                missing << f;
        missing.sort();
        QCOMPARE(why, QStringLiteral("%1（%2 个文件未上传：%3%4）")
                          .arg(said).arg(missing.size()).arg(missing.mid(0, 3).join(QStringLiteral("、")))
                          .arg(missing.size() > 3 ? QStringLiteral("…") : QString()));
        for (const QString &f : made)
            QVERIFY2(sha(base + QStringLiteral("/up/") + f) == sha(source + '/' + f), qPrintable(f));
        // Over the lanes, at most what the other lanes had begun.
        QVERIFY2(made.size() <= most, qPrintable(made.join(QLatin1Char(' '))));
    }

    // Another account's file the user may write: written in place, never
    // replaced by a file of the user's own.
    void uploadKeepsAnotherOwner()
    {
        const QString base = remoteFolder();
        setUp(base, {QStringLiteral("f=old"), QStringLiteral("f%666")}, m_server);
        const QByteArray path = QFile::encodeName(base + QStringLiteral("/f"));
        QVERIFY(::lchown(path.constData(), 0, 0) == 0);
        struct stat before {}, after {};
        QVERIFY(::stat(path.constData(), &before) == 0);
        const QString local = localPath(QStringLiteral("new"));
        QVERIFY(writeFile(local, "new"));
        QString why;
        QVERIFY2(m_tree->run(DirTreeJobKind::UploadFile, local, base + QStringLiteral("/f"), &why), qPrintable(why));
        QVERIFY(::stat(path.constData(), &after) == 0);
        QCOMPARE(readFile(base + QStringLiteral("/f")), QByteArray("new"));
        QCOMPARE(after.st_uid, uid_t(0));
        QCOMPARE(after.st_ino, before.st_ino);
    }

};

int main(int argc, char *argv[])
{
    if (argc > 1 && std::strcmp(argv[1], kChildSwitch) == 0)
        return folderUploadChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestSftp test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_sftp.moc"
