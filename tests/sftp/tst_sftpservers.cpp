// SFTP jobs on names, links and servers that are not the usual: a deep
// tree, hostile names, links out of a folder, folders and files refused,
// a read-only server.
#include "serverside.h"

#include "sftp/sftpwriter.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>

#include <atomic>
#include <optional>

#include <csignal>

using namespace sftprig;

namespace {

// A session that uploads one file as the tree does, under the temporary
// name the row gives it.
struct NamedUpload : SftpSession {
    NamedUpload(const SshConnectParams &params, const QString &local, const QString &remote, const QString &temporary)
        : SftpSession(params, "bye"), local(local), remote(remote), temporary(temporary) {}
    void ready() override {}
    void runJobs() override
    {
        Failure why;
        sent = upload(local, remote, [](qint64) {}, &why);
        failure = why.detail;
        done = true;
    }
    QString temporaryName(const QString &) const override { return temporary; }
    QString say(const char *source) const override { return QString::fromUtf8(source); }
    const QString local, remote, temporary;
    qint64 sent = 0;
    QString failure;
    std::atomic<bool> done{false};
};

// A session that writes to a file while the server's sftp-server is
// stopped, until its channel has no room left; then notes the room it is
// given, with nothing under way and with something.
struct ShutWindow : SftpSession {
    ShutWindow(const SshConnectParams &params, const QString &remote, const QString &serverSide)
        : SftpSession(params, "bye"), remote(remote), serverSide(serverSide) {}
    void ready() override {}
    void runJobs() override
    {
        const unsigned long flags = LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC;
        LIBSSH2_SFTP_HANDLE *h = openRemote(remote, flags, 0600, LIBSSH2_SFTP_OPENFILE);
        const pid_t server = h ? serverHolding(serverSide, "sftp-server") : 0;
        if (server > 0 && ::kill(server, SIGSTOP) == 0) {
            stopped = server;
            LIBSSH2_CHANNEL *channel = libssh2_sftp_get_channel(sftpHandle());
            const QByteArray bytes(kMiB, 'x');
            QElapsedTimer clock;
            clock.start();
            while (libssh2_channel_window_write_ex(channel, nullptr) > 0 && clock.elapsed() < 20000) {
                if (libssh2_sftp_write(h, bytes.constData(), size_t(bytes.size())) == LIBSSH2_ERROR_EAGAIN)
                    waitIo();
            }
            shut = libssh2_channel_window_write_ex(channel, nullptr) == 0;
            idle = sftpChannelRoom(sftpHandle(), 0);
            busy = sftpChannelRoom(sftpHandle(), 1);
            ::kill(server, SIGCONT);
        }
        done = true;
    }
    QString say(const char *source) const override { return QString::fromUtf8(source); }
    const QString remote, serverSide;
    std::atomic<pid_t> stopped{0};
    std::atomic<bool> shut{false}, done{false};
    std::atomic<qint64> idle{-1}, busy{-1};
};

// Straight libssh2 writes on the session's channel: one request handed
// over, whose answer cannot be back yet, then more behind it. What the
// second call hands over must go out at once, not an answer later: the
// channel's room tells what went.
struct WritesBehindAWait : SftpSession {
    WritesBehindAWait(const SshConnectParams &params, const QString &remote)
        : SftpSession(params, "bye"), remote(remote.toUtf8()) {}
    void ready() override {}
    void runJobs() override
    {
        LIBSSH2_SFTP_HANDLE *h = nullptr;
        while (keepRunning() && !(h = libssh2_sftp_open_ex(sftpHandle(), remote.constData(), unsigned(remote.size()),
                                                          LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0600,
                                                          LIBSSH2_SFTP_OPENFILE))
               && libssh2_session_last_errno(session()) == LIBSSH2_ERROR_EAGAIN)
            waitIo();
        if (h) {
            LIBSSH2_CHANNEL *channel = libssh2_sftp_get_channel(sftpHandle());
            const QByteArray data(90000, 'w');
            QElapsedTimer clock;
            clock.start();
            firstRc = libssh2_sftp_write(h, data.constData(), 30000);
            const qint64 room = qint64(libssh2_channel_window_write_ex(channel, nullptr));
            secondRc = libssh2_sftp_write(h, data.constData(), size_t(data.size()));
            wentOut = room - qint64(libssh2_channel_window_write_ex(channel, nullptr));
            betweenMs = clock.elapsed();
            qint64 acked = 0;
            for (ssize_t rc = 0; keepRunning() && acked < data.size() && (rc >= 0 || rc == LIBSSH2_ERROR_EAGAIN);) {
                rc = libssh2_sftp_write(h, data.constData() + acked, size_t(data.size() - acked));
                acked += qMax<ssize_t>(0, rc);
                if (rc == LIBSSH2_ERROR_EAGAIN)
                    waitIo();
            }
            written = acked;
            retry("close", [&] { return libssh2_sftp_close_handle(h); });
        }
        done = true;
    }
    QString say(const char *source) const override { return QString::fromUtf8(source); }
    const QByteArray remote;
    ssize_t firstRc = 0, secondRc = 0;
    qint64 wentOut = 0, betweenMs = 0, written = 0;
    std::atomic<bool> done{false};
};

// A session left with a request sent only in part: the socket takes one
// byte of it, then would block. libssh2 refuses every other packet until
// that one is finished, so ending the session must finish it, into nothing,
// or the session is never freed (the sanitizer build's leak check). On a
// lane, the request is a folder job's, cut short by a stop. On a stuck
// channel, the session's own was cut short beside the lanes and given up
// for a fresh one, which cannot open until the stop.
struct CutRequest : SftpSession {
    enum Where { OwnChannel, Lane, StuckChannel };
    CutRequest(const SshConnectParams &params, const QByteArray &remote, Where where)
        : SftpSession(params, "bye"), remote(remote), where(where) {}
    static LIBSSH2_SEND_FUNC(oneByte)
    {
        Q_UNUSED(abstract);
        static thread_local bool sent = false;
        if (std::exchange(sent, true) || length == 0)
            return -EAGAIN;
        return ::send(socket, buffer, 1, flags);
    }
    void ready() override {}
    void runJobs() override
    {
        SftpLanes *laneSet = where != OwnChannel ? lanes() : nullptr;
        if (where != OwnChannel && !laneSet)
            return;
        sshSetSendFunction(session(), &oneByte);
        if (where != Lane) {
            rc = libssh2_sftp_mkdir_ex(sftpHandle(), remote.constData(), unsigned(remote.size()), 0700);
            done = true;
            if (where == StuckChannel)
                renewChannels();
            return;
        }
        rc = LIBSSH2_ERROR_EAGAIN;
        done = true;
        QString error;
        bool given = false;
        laneSet->download(
            [&](SftpLanes::File *f) { return !std::exchange(given, true) && (*f = {QString::fromUtf8(remote), 0, {}, 0644, {}}, true); },
            [](SftpLanes::File &, QString *) { return true; }, &error);
    }
    QString say(const char *source) const override { return QString::fromUtf8(source); }
    const QByteArray remote;
    const Where where;
    std::atomic<int> rc{0};
    std::atomic<bool> done{false};
};

} // namespace

class TestSftpServers : public SftpCase
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SFTP_RIG_NEEDS_ROOT();
        const QString failed = startCase();
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
    }

    // Each server as it comes: OpenSSH's grants a channel 2 MiB ahead,
    // Dropbear's (with OpenSSH's sftp-server behind it) 24 KiB, and a writer
    // waits on its room every request or two. Each file arrives whole with
    // the mode it has here, from each path, and nothing of ours stays beside
    // it; a stop mid-way takes its file back and leaves no handle on it open.
    // Over a link with a round trip, Dropbear's channels still move their
    // window every round trip.
    void channelWindows_data()
    {
        QTest::addColumn<bool>("dropbear");
        QTest::addColumn<QString>("path"); // tree, dialog or folder
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("stopped");
        QTest::addColumn<int>("delayMs"); // each way, through a relay; 0: straight to the server
        for (const bool dropbear : {false, true}) {
            for (const char *path : {"tree", "dialog", "folder"}) {
                for (const qint64 size : {64 * 1024LL, kMiB, 16 * kMiB - 1, 64 * kMiB})
                    QTest::addRow("%s, %s, %lld", dropbear ? "Dropbear" : "OpenSSH", path, size)
                        << dropbear << QString::fromLatin1(path) << size << false << 0;
                QTest::addRow("%s, %s, stopped mid-way", dropbear ? "Dropbear" : "OpenSSH", path)
                    << dropbear << QString::fromLatin1(path) << 64 * kMiB << true << 0;
            }
        }
        // A file this large goes over two narrow channels.
        QTest::newRow("Dropbear, tree, 4194304, 25 ms each way") << true << QStringLiteral("tree") << 4 * kMiB << false << 25;
    }
    void channelWindows()
    {
        QFETCH(bool, dropbear);
        QFETCH(QString, path);
        QFETCH(qint64, size);
        QFETCH(bool, stopped);
        QFETCH(int, delayMs);
        const Server server = dropbear ? dropbearServer() : m_server;
        QVERIFY2(!server.user().isEmpty(), "fixture sftp_dropbear not running");
        SshConnectParams params = server.params(m_knownHosts);
        std::optional<LinkRelay> line;
        if (delayMs > 0) {
            line.emplace(server.port, LinkRelay::Line{delayMs, 0});
            QVERIFY2(line->port() > 0, "the relay cannot listen on loopback");
            params.port = line->port();
        }
        const QString base = remoteFolder(server);
        const QString local = localPath(QStringLiteral("up"));
        QVERIFY(writeFile(local + QStringLiteral("/f"), randomBytes(size)));
        QVERIFY(QFile::setPermissions(local + QStringLiteral("/f"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        const bool folder = path == QLatin1String("folder");
        const QString from = folder ? local : local + QStringLiteral("/f");
        const QString to = base + (folder ? QStringLiteral("/up") : QStringLiteral("/f"));
        const bool dialogPath = path == QLatin1String("dialog");
        Tree tree(dialogPath ? SshConnectParams() : params);
        Dialog dialog(dialogPath ? params : SshConnectParams());
        QVERIFY(dialogPath ? dialog.waitReady() : tree.waitReady());
        const auto post = [&] {
            return dialogPath ? (dialog.post(1, from, to), 0)
                              : tree.post(folder ? DirTreeJobKind::UploadFolder : DirTreeJobKind::UploadFile, from, to);
        };
        const QStringList ours{QStringLiteral("!.hv*"), QStringLiteral("!up/.hv*")};
        if (stopped) {
            // Once the stopped upload has ended, while the session lives: no
            // server process of it still holds a file of ours, the second
            // half's included.
            std::atomic<int> holder{-1};
            const QString prefix = QFileInfo(base).canonicalFilePath() + QLatin1Char('/');
            const auto look = [&] { holder = int(serverHolding(prefix, dropbear ? "sftp-server" : "sshd")); };
            QObject::connect(tree.worker, &DirTreeWorker::sigJobFailed, tree.worker, look, Qt::DirectConnection);
            QObject::connect(dialog.worker, &SftpDialogWorker::sigFailed, dialog.worker, look, Qt::DirectConnection);
            post();
            // Well under way: some file of ours there holds a few MiB.
            QVERIFY2(QTest::qWaitFor([&] {
                for (const QString &dir : {base, base + QStringLiteral("/up")})
                    for (const QFileInfo &f : QDir(dir).entryInfoList(QDir::Files | QDir::Hidden))
                        if (f.size() > 4 * kMiB)
                            return true;
                return false;
            }, 60000), "the upload never got under way");
            QElapsedTimer clock;
            clock.start();
            QVERIFY((dialogPath ? static_cast<SftpSession *>(dialog.worker) : tree.worker)->stop());
            QVERIFY2(clock.elapsed() < 2000, qPrintable(QStringLiteral("stopped in %1 ms").arg(clock.elapsed())));
            QVERIFY2(holder.load() >= 0, "the stopped upload never said it ended");
            QVERIFY2(holder.load() == 0, qPrintable(QStringLiteral("server process %1 still holds a file").arg(holder.load())));
            const QString left = unmet(base, ours + QStringList{QStringLiteral("!f"), QStringLiteral("!up/f")});
            QVERIFY2(left.isEmpty(), qPrintable(left));
            return;
        }
        QElapsedTimer clock;
        clock.start();
        if (dialogPath) {
            QVERIFY2(dialog.run(1, from, to), qPrintable(dialog.failed.join('|')));
        } else {
            QString why;
            QVERIFY2(tree.finish(post(), &why), qPrintable(why));
        }
        const qint64 took = clock.elapsed();
        const qint64 rate = size * 1000 / qMax<qint64>(1, took);
        qInfo().noquote() << QStringLiteral("%1 bytes in %2 ms: %3 B/s").arg(size).arg(took).arg(rate);
        // Each channel carries no more than its 24 KiB a round trip, but no
        // less either: one window's worth a round trip, from two channels,
        // leaves room for a busy machine.
        const qint64 least = delayMs > 0 ? 24 * 1024 * 1000 / (2 * delayMs) : 0;
        QVERIFY2(rate >= least, qPrintable(QStringLiteral("%1 B/s, not %2").arg(rate).arg(least)));
        QCOMPARE(sha(base + (folder ? QStringLiteral("/up/f") : QStringLiteral("/f"))), sha(local + QStringLiteral("/f")));
        const QString missing = unmet(base, ours + QStringList{folder ? QStringLiteral("up/f%640") : QStringLiteral("f%640")});
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }

    // A channel whose room is used up still takes one small request when
    // nothing is under way: the server's next grant is read only while
    // something is sent.
    void roomOfAShutWindow()
    {
        const Server server = dropbearServer();
        QVERIFY2(!server.user().isEmpty(), "fixture sftp_dropbear not running");
        const QString base = remoteFolder(server);
        auto *session = new ShutWindow(server.params(m_knownHosts), base + QStringLiteral("/f"),
                                       QFileInfo(base).canonicalFilePath() + QLatin1Char('/'));
        const auto released = qScopeGuard([&] {
            if (session->stopped.load() > 0)
                ::kill(session->stopped.load(), SIGCONT);
            SftpSession::release(session);
        });
        session->start();
        QVERIFY2(QTest::qWaitFor([&] { return session->done.load(); }, 60000), "the session never got through");
        QVERIFY2(session->stopped.load() > 0, "no sftp-server process held the file");
        QVERIFY2(session->shut.load(), "the channel's room never ran out");
        QCOMPARE(session->busy.load(), 0);
        QVERIFY2(session->idle.load() > 0, qPrintable(QString::number(session->idle.load())));
    }

    // Dropbear runs OpenSSH's sftp-server as a process of its own: stopped
    // mid-way, it neither answers nor makes room. The upload fails after
    // its 30 s without progress, saying what the server last acknowledged,
    // its temporary file is removed over a fresh channel, and the worker
    // goes on with that one. A folder of small files goes over lanes, each
    // a process of its own: one stopped ends the job the same way once the
    // others have nothing more to do.
    void uploadThatCannotGoOn_data()
    {
        QTest::addColumn<bool>("folder");
        QTest::newRow("a large file") << false;
        QTest::newRow("a folder of small files") << true;
    }
    void uploadThatCannotGoOn()
    {
        QFETCH(bool, folder);
        const Server server = dropbearServer();
        QVERIFY2(!server.user().isEmpty(), "fixture sftp_dropbear not running");
        const QString base = remoteFolder(server);
        const QString local = localPath(QStringLiteral("big"));
        if (folder) {
            for (int i = 0; i < 40; ++i)
                QVERIFY(writeFile(local + QStringLiteral("/f%1").arg(i), randomBytes(100000)));
        } else {
            QVERIFY(writeFile(local, randomBytes(64 * kMiB)));
        }
        Tree tree(server.params(m_knownHosts));
        QVERIFY(tree.waitReady());
        const QString target = base + (folder ? QStringLiteral("/up") : QStringLiteral("/f"));
        const int id = tree.post(folder ? DirTreeJobKind::UploadFolder : DirTreeJobKind::UploadFile, local, target);
        // A lane's server holds a file in the folder the files go to.
        const QString watched = folder ? target : base;
        pid_t sftpServer = 0;
        QVERIFY2(QTest::qWaitFor([&] {
            return (folder ? QFileInfo::exists(watched) : !tree.progress.isEmpty() && tree.progress.last() > kMiB)
                   && (sftpServer = serverHolding(QFileInfo(watched).canonicalFilePath() + '/', "sftp-server")) > 0;
        }, 60000), "no sftp-server process holds the file being written");
        QVERIFY(::kill(sftpServer, SIGSTOP) == 0);
        const auto resumed = qScopeGuard([&] { ::kill(sftpServer, SIGCONT); });
        QElapsedTimer clock;
        clock.start();
        QString why;
        QVERIFY(!tree.finish(id, &why));
        QVERIFY2(clock.elapsed() > 25000 && clock.elapsed() < 45000, qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
        QVERIFY2(why.contains(QStringLiteral("服务器 30 秒没有进展，最后确认了 "))
                     && why.contains(folder ? QStringLiteral(" / 4000000 字节") : QStringLiteral(" / 67108864 字节")),
                 qPrintable(why));
        QVERIFY2(unmet(base, {"!.hv*", "!f", "!up/.hv*"}).isEmpty(),
                 qPrintable(QDir(base).entryList(QDir::Files | QDir::Hidden).join(' ')
                            + QDir(target).entryList(QDir::Files | QDir::Hidden).join(' ')));
        const QString small = localPath(QStringLiteral("small"));
        QVERIFY(writeFile(small + QStringLiteral("/s"), "small"));
        // The next job starts at once: a channel stuck behind the stopped
        // one can keep Dropbear from granting a new one for a minute.
        clock.restart();
        QVERIFY2(tree.run(DirTreeJobKind::UploadFolder, small, base + QStringLiteral("/g"), &why), qPrintable(why));
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QStringLiteral("the next job took %1 ms").arg(clock.elapsed())));
        QVERIFY(unmet(base, {"g/s=small"}).isEmpty());
    }

    // Only a name the upload made is ever ours: one of someone else's at
    // its temporary name stays as it was, and the upload fails; a create
    // the folder refuses makes nothing ours either. The next session on
    // the account, which removes what earlier ones left, leaves both alone.
    void temporaryNameTaken_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("after"); // once the upload has failed
        QTest::newRow("a file already at the temporary name") << "d/ d/.hv-upload-x=theirs" << "";
        QTest::newRow("the create refused") << "d/ d%555" << "d%755 d/.hv-upload-x=theirs";
    }
    void temporaryNameTaken()
    {
        QFETCH(QString, setup);
        QFETCH(QString, after);
        const QString base = remoteFolder();
        setUp(base, setup.split(QLatin1Char(' ')), m_server);
        const QString local = localPath(QStringLiteral("new"));
        QVERIFY(writeFile(local, "new"));
        auto *upload = new NamedUpload(m_server.params(m_knownHosts), local, base + QStringLiteral("/d/g"),
                                       base + QStringLiteral("/d/.hv-upload-x"));
        const auto released = qScopeGuard([&] { SftpSession::release(upload); });
        upload->start();
        QVERIFY2(QTest::qWaitFor([&] { return upload->done.load(); }, 30000), "the upload never ended");
        QVERIFY2(upload->sent < 0, "the upload went through a name that was taken");
        qInfo().noquote() << "told:" << upload->failure;
        setUp(base, after.split(QLatin1Char(' '), Qt::SkipEmptyParts), m_server);
        Tree next(m_server.params(m_knownHosts));
        QVERIFY(next.waitReady());
        const QString missing = unmet(base, {QStringLiteral("d/.hv-upload-x=theirs"), QStringLiteral("!d/g")});
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }

    // Over a far line (250 ms each way) the first answer is far off when
    // more is handed over; the row fails on a libssh2 that holds it back.
    void writesBehindAWaitGoOut()
    {
        LinkRelay line(m_server.port, {250, 0});
        QVERIFY2(line.port() > 0, "the relay cannot listen on loopback");
        SshConnectParams p = m_server.params(m_knownHosts);
        p.port = line.port();
        const QString target = remoteFolder() + QStringLiteral("/w");
        auto *writer = new WritesBehindAWait(p, target);
        const auto released = qScopeGuard([&] { SftpSession::release(writer); });
        writer->start();
        QVERIFY2(QTest::qWaitFor([&] { return writer->done.load(); }, 60000), "the writes never ended");
        QCOMPARE(writer->firstRc, ssize_t(LIBSSH2_ERROR_EAGAIN));
        QVERIFY2(writer->betweenMs < 400, qPrintable(QStringLiteral("the machine held the writer %1 ms: an answer may have come").arg(writer->betweenMs)));
        QCOMPARE(writer->secondRc, ssize_t(LIBSSH2_ERROR_EAGAIN));
        QVERIFY2(writer->wentOut >= 60000, qPrintable(QString::number(writer->wentOut)));
        QCOMPARE(writer->written, qint64(90000));
        QCOMPARE(QFileInfo(target).size(), qint64(90000));
    }

    void endsWithARequestCutShort_data()
    {
        QTest::addColumn<int>("where");
        QTest::newRow("the session's own channel") << int(CutRequest::OwnChannel);
        QTest::newRow("a lane, stopped") << int(CutRequest::Lane);
        QTest::newRow("a stuck channel beside lanes, stopped") << int(CutRequest::StuckChannel);
    }
    void endsWithARequestCutShort()
    {
        QFETCH(int, where);
        const QString target = remoteFolder() + QStringLiteral("/cut");
        auto *cut = new CutRequest(m_server.params(m_knownHosts), target.toUtf8(), CutRequest::Where(where));
        cut->start();
        QVERIFY2(QTest::qWaitFor([&] { return cut->done.load(); }, 60000), "the session never got under way");
        QCOMPARE(cut->rc.load(), int(LIBSSH2_ERROR_EAGAIN));
        if (where != CutRequest::OwnChannel) {
            QTest::qWait(300);
            QElapsedTimer clock;
            clock.start();
            QVERIFY2(cut->stop(), "the stopped session did not end");
            QVERIFY2(clock.elapsed() < kSftpStopGraceMs, qPrintable(QStringLiteral("stopped in %1 ms").arg(clock.elapsed())));
        }
        QVERIFY2(cut->wait(QDeadlineTimer(10000)), "the session did not end");
        SftpSession::release(cut);
        QVERIFY(!QFileInfo::exists(target));
    }

    // 2,000 files four folders deep, hidden ones too, up and down again; a
    // download into a folder that exists asks first, once.
    void folderTree()
    {
        const QString source = localPath(QStringLiteral("tree"));
        for (int i = 0; i < 2000; ++i) {
            const QString dir = QStringLiteral("%1/a%2/%3b%4/c%5").arg(source).arg(i % 5).arg(i % 7 ? "" : ".").arg(i / 5 % 4).arg(i / 20 % 5);
            QVERIFY(writeFile(dir + QStringLiteral("/%1f%2").arg(i % 10 ? "" : ".").arg(i), randomBytes(i % 300)));
        }
        QMap<QString, QByteArray> original = snapshot(source);
        std::atomic<int> asked{0};
        std::atomic<bool> answer{false};
        Tree tree(m_server.params(m_knownHosts), [&](const QString &) {
            ++asked;
            return answer.load();
        });
        QVERIFY(tree.waitReady());
        const QString remote = remoteFolder() + QStringLiteral("/up");
        QString why;
        QVERIFY2(tree.run(DirTreeJobKind::UploadFolder, source, remote, &why), qPrintable(why));
        QCOMPARE(snapshot(remote), original);
        // Again over the first copy, one file changed: names taken are replaced.
        const QString changed = source + QLatin1Char('/') + original.lastKey();
        QVERIFY(writeFile(changed, "changed"));
        QVERIFY2(tree.run(DirTreeJobKind::UploadFolder, source, remote, &why), qPrintable(why));
        original = snapshot(source);
        QCOMPARE(snapshot(remote), original);
        const QString target = localPath(QStringLiteral("back"));
        QVERIFY2(tree.run(DirTreeJobKind::DownloadFolder, remote, target, &why), qPrintable(why));
        QCOMPARE(snapshot(target), original);
        QCOMPARE(asked.load(), 0);
        const QString mine = target + QLatin1Char('/') + original.lastKey();
        QVERIFY(writeFile(mine, "mine"));
        QVERIFY(!tree.run(DirTreeJobKind::DownloadFolder, remote, target, &why));
        QCOMPARE(asked.load(), 1);
        QCOMPARE(readFile(mine), QByteArray("mine"));
        answer = true;
        QVERIFY2(tree.run(DirTreeJobKind::DownloadFolder, remote, target, &why), qPrintable(why));
        QCOMPARE(asked.load(), 2);
        QCOMPARE(snapshot(target), original);
    }

    void hostile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("packs"); // name + ".tar.gz" fits in a file name
        for (const char *n : {"-rf", "a'b", "$(touch x)", "line\nbreak"})
            QTest::newRow(n) << QString::fromUtf8(n) << true;
        QTest::newRow("255 bytes") << QString(255, QLatin1Char('n')) << false;
    }
    // Names that look like options, quotes, commands and line breaks go
    // through every job as names and nothing else.
    void hostile()
    {
        QFETCH(QString, name);
        QFETCH(bool, packs);
        const Server server = variant("hostile", 2);
        const QString dir = server.home() + QStringLiteral("/hostile");
        Tree tree(server.params(m_knownHosts));
        Dialog dialog(server.params(m_knownHosts));
        QVERIFY(tree.waitReady() && dialog.waitReady());
        QString why;
        const QByteArray content = name.toUtf8() + '\n';
        const QString local = localPath(QStringLiteral("h"));
        QVERIFY2(tree.run(DirTreeJobKind::DownloadFile, dir + '/' + name, local, &why), qPrintable(why));
        QVERIFY(dialog.run(2, dir + '/' + name, local + QStringLiteral("2")));
        QCOMPARE(readFile(local) + readFile(local + QStringLiteral("2")), content + content);
        const QString copy = dir + QStringLiteral("/up/") + name;
        QVERIFY(tree.run(DirTreeJobKind::NewFolder, dir + QStringLiteral("/up")) || QFileInfo(dir + "/up").isDir());
        QVERIFY2(tree.run(DirTreeJobKind::UploadFile, local, copy, &why), qPrintable(why));
        QVERIFY2(dialog.run(1, local, copy), qPrintable(dialog.failed.join('|')));
        QCOMPARE(readFile(copy), content);
        QVERIFY2(tree.run(DirTreeJobKind::Rename, copy, copy + QStringLiteral(".b"), &why) || !packs, qPrintable(why));
        QVERIFY2(tree.run(DirTreeJobKind::Delete, packs ? copy + QStringLiteral(".b") : copy, QString(), &why), qPrintable(why));
        const QString packed = dir + QStringLiteral("/sub/") + name;
        QCOMPARE(tree.run(DirTreeJobKind::Compress, packed, packed + QStringLiteral(".tar.gz"), &why), packs);
        if (packs)
            QVERIFY2(unmet(dir + QStringLiteral("/sub"), {name + QStringLiteral(".tar.gz#./") + name + QStringLiteral("/f")}).isEmpty(), qPrintable(why));
        // No command ran that was not asked for.
        QVERIFY(!QFileInfo::exists(server.home() + QStringLiteral("/x")) && !QFileInfo::exists(dir + QStringLiteral("/x"))
                && !QFileInfo::exists(dir + QStringLiteral("/sub/x")));
    }

    // A folder comes down without what its links lead to, to files as to
    // folders (the server's /etc/passwd is not the folder's), each one named
    // in the program's log; the rest of the folder comes whole.
    void folderDownloadSkipsLinks_data()
    {
        QTest::addColumn<QString>("setup");  // remote, below the folder "d"
        QTest::addColumn<QString>("expect"); // local, below the downloaded copy
        QTest::addColumn<QStringList>("named");
        QTest::newRow("link to a system file") << "a=1 passwdlink->/etc/passwd" << "a=1 !passwdlink" << QStringList{"passwdlink"};
        QTest::newRow("link to a folder") << "a=1 up->/etc" << "a=1 !up" << QStringList{"up"};
        QTest::newRow("link to a file beside it") << "s/f=2 s/l->f t/" << "s/f=2 !s/l t/" << QStringList{"s/l"};
        QTest::newRow("dangling and looping") << "x->/nowhere y->y b=3" << "b=3 !x !y" << QStringList{"x", "y"};
    }
    void folderDownloadSkipsLinks()
    {
        QFETCH(QString, setup);
        QFETCH(QString, expect);
        QFETCH(QStringList, named);
        const QString base = remoteFolder();
        QStringList entries;
        for (const QString &e : setup.split(QLatin1Char(' ')))
            entries << QStringLiteral("d/") + e;
        setUp(base, QStringList{QStringLiteral("d/")} + entries, m_server);
        static QMutex mutex;
        static QStringList logged;
        {
            QMutexLocker lock(&mutex);
            logged.clear();
        }
        const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &m) {
            QMutexLocker lock(&mutex);
            logged << m;
        });
        const QString local = localPath(QStringLiteral("copy"));
        QString why;
        const bool ok = m_tree->run(DirTreeJobKind::DownloadFolder, base + QStringLiteral("/d"), local, &why);
        qInstallMessageHandler(previous);
        QVERIFY2(ok, qPrintable(why));
        const QString missing = unmet(local, expect.split(QLatin1Char(' ')));
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        QMutexLocker lock(&mutex);
        for (const QString &n : named)
            QVERIFY2(logged.filter(QStringLiteral(" %1/d/%2: not a regular file").arg(base, n)).size() == 1,
                     qPrintable(n + QStringLiteral(" in ") + logged.join(QLatin1Char('|'))));
        QCOMPARE(logged.filter(QStringLiteral("not a regular file")).size(), named.size());
    }

    // The whole hostile folder down: every name as it is, links left out
    // whatever they lead to, and nothing outside the chosen folder.
    void hostileFolder()
    {
        const Server server = variant("hostile", 2);
        Tree tree(server.params(m_knownHosts), [](const QString &) { return true; });
        QVERIFY(tree.waitReady());
        const QString chosen = localPath(QStringLiteral("chosen"));
        QVERIFY(QDir().mkpath(chosen));
        QString why;
        QVERIFY2(tree.run(DirTreeJobKind::DownloadFolder, server.home() + QStringLiteral("/hostile"),
                          chosen + QStringLiteral("/hostile"), &why), qPrintable(why));
        QCOMPARE(QDir(chosen).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"hostile"});
        const QMap<QString, QByteArray> got = snapshot(chosen + QStringLiteral("/hostile"));
        QVERIFY(!got.contains(QStringLiteral("up-file")) && !got.contains(QStringLiteral("proc-file")));
        for (const QString &n : {QStringLiteral("-rf"), QStringLiteral("a'b"), QStringLiteral("$(touch x)"),
                                 QStringLiteral("line\nbreak"), QString(255, QLatin1Char('n'))}) {
            QCOMPARE(got.value(n), sha(server.home() + QStringLiteral("/hostile/") + n));
            QCOMPARE(got.value(QStringLiteral("sub/") + n + QStringLiteral("/f")), got.value(n));
        }
        QVERIFY(!got.contains(QStringLiteral("dangling")) && !QFileInfo::exists(chosen + QStringLiteral("/hostile/up-dir")));
        // An empty folder comes too.
        QVERIFY(QFileInfo(chosen + QStringLiteral("/hostile/empty")).isDir());
        // Again into the folder, now that a link in it leads out: nothing
        // is made or written out there.
        const QString out = localPath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(out) && QDir(chosen + QStringLiteral("/hostile/sub")).removeRecursively()
                && QFile::link(out, chosen + QStringLiteral("/hostile/sub")));
        QVERIFY(!tree.run(DirTreeJobKind::DownloadFolder, server.home() + QStringLiteral("/hostile"), chosen + QStringLiteral("/hostile"), &why));
        QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        // A name the server made up to climb out is refused before anything is written.
        QVERIFY(!tree.run(DirTreeJobKind::DownloadFolder, server.home() + QStringLiteral("/hostile"), chosen + QStringLiteral("/.."), &why));
    }

    // Folders that may not be listed; files that may not be read or written.
    void refusals()
    {
        Dialog closedDialog(variant("opendir", 0).params(m_knownHosts));
        QVERIFY(QTest::qWaitFor([&] { return !closedDialog.failed.isEmpty(); }, 30000));
        QVERIFY2(closedDialog.failed.first().startsWith(LanguageManager::tr("读取目录 %1").arg(QString())), qPrintable(closedDialog.failed.first()));
        QString why;
        QVERIFY(!m_tree->run(DirTreeJobKind::DownloadFile, QStringLiteral("/etc/shadow"), localPath("shadow"), &why));
        QVERIFY2(why.startsWith(QStringLiteral("下载失败")) && why.contains(QStringLiteral("Permission denied")), qPrintable(why));
        QVERIFY(!m_tree->run(DirTreeJobKind::UploadFile, m_knownHosts, QStringLiteral("/etc/hv-test"), &why));
        QVERIFY2(why.contains(QStringLiteral("Permission denied")), qPrintable(why));
    }

    // A read-only server refuses every change, and each refusal says so.
    void readOnlyServer()
    {
        const Server server = variant("readonly", 1);
        const QString home = server.home();
        setUp(home, {"ro/", "ro/f=old"}, server);
        Tree tree(server.params(m_knownHosts));
        Dialog dialog(server.params(m_knownHosts));
        QVERIFY(tree.waitReady() && dialog.waitReady());
        const QString local = localPath(QStringLiteral("ro"));
        QVERIFY(writeFile(local, "new"));
        const std::pair<DirTreeJobKind, QStringList> changes[] = {
            {DirTreeJobKind::NewFolder, {"ro/d"}}, {DirTreeJobKind::NewFile, {"ro/g"}},
            {DirTreeJobKind::Rename, {"ro/f", "ro/h"}}, {DirTreeJobKind::Delete, {"ro/f"}},
            {DirTreeJobKind::UploadFile, {local, "ro/f"}}, {DirTreeJobKind::Compress, {"ro", "ro.tar.gz"}}};
        const auto path = [&](const QString &p) { return p.startsWith('/') ? p : home + '/' + p; };
        for (const auto &[kind, args] : changes) {
            QString why;
            QVERIFY(!tree.run(kind, path(args[0]), args.size() > 1 ? path(args[1]) : QString(), &why));
            QVERIFY2(why.contains(QStringLiteral("Permission denied")), qPrintable(why));
        }
        QVERIFY(!dialog.run(4, home + QStringLiteral("/ro/d")) && !dialog.run(3, home + QStringLiteral("/ro/f"))
                && !dialog.run(1, local, home + QStringLiteral("/ro/f")));
        QVERIFY(unmet(home, {"ro/f=old", "!ro/d", "!ro/g", "!ro/h", "!ro.tar.gz"}).isEmpty());
        QVERIFY(dialog.run(2, home + QStringLiteral("/ro/f"), local));
        QCOMPARE(readFile(local), QByteArray("old"));
    }
};

QTEST_GUILESS_MAIN(TestSftpServers)
#include "tst_sftpservers.moc"
