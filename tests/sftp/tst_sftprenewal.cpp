// After an upload that cannot go on (a stalled server, a full disk), the
// session renews its channels: the next request starts at once over a
// fresh one, and a server that refused a second channel is asked again.
#include "serverside.h"

#include "sftp/sftpwriter.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>

#include <atomic>

#include <csignal>

using namespace sftprig;

namespace {

// A session whose second channel is refused while channels of its own
// fill the server's sessions, then asked for again once they are gone and
// its channels renewed, as after a stalled upload.
struct SecondChannel : SftpSession {
    SecondChannel(const SshConnectParams &params, const QString &remote)
        : SftpSession(params, "bye"), remote(remote) {}
    void ready() override {}
    void runJobs() override
    {
        QList<LIBSSH2_CHANNEL *> filling;
        for (int i = 0; i < 200 && keepRunning(); ++i) {
            if (LIBSSH2_CHANNEL *c = libssh2_channel_open_session(session()))
                filling << c;
            else if (libssh2_session_last_errno(session()) == LIBSSH2_ERROR_EAGAIN)
                waitIo();
            else
                break;
        }
        filled = filling.size();
        LIBSSH2_SFTP_HANDLE *h = openSecond(remote);
        refusedWhileFull = !h;
        closeRemote(h);
        for (LIBSSH2_CHANNEL *c : std::as_const(filling)) {
            for (int i = 0; i < 50 && libssh2_channel_free(c) == LIBSSH2_ERROR_EAGAIN; ++i)
                waitIo();
        }
        renewChannels();
        h = openSecond(remote);
        openedAfterRenewal = h != nullptr;
        closeRemote(h);
        done = true;
    }
    QString say(const char *source) const override { return QString::fromUtf8(source); }
    const QString remote;
    std::atomic<int> filled{0};
    std::atomic<bool> refusedWhileFull{false}, openedAfterRenewal{false}, done{false};
};

// A channel that seems to grant more room than it does once its upload
// is under way: libssh2 sends a request only as far as the real room goes,
// and when a write before it fails, drops the rest. The server would read
// the channel's next request as that rest.
struct RoomMisjudged : SftpWriteCalls {
    qint64 window(LIBSSH2_SFTP *sftp) override
    {
        if (seen.contains(sftp))
            return kMiB;
        seen.insert(sftp); // when its part is added
        return SftpWriteCalls::window(sftp);
    }
    QSet<LIBSSH2_SFTP *> seen;
};

// A session that uploads one file with its writer misjudging the room,
// then lists a folder: how long that took once the upload had failed.
struct UploadThenList : SftpSession {
    UploadThenList(const SshConnectParams &params, const QString &local, const QString &remote, const QString &folder)
        : SftpSession(params, "bye"), local(local), remote(remote), folder(folder) {}
    void ready() override {}
    void runJobs() override
    {
        QElapsedTimer clock;
        clock.start();
        Failure why;
        sent = upload(local, remote, [](qint64) {}, &why);
        failure = why.detail;
        uploadMs = clock.restart();
        QList<sftpnames::DirEntry> entries;
        FolderFailure unread;
        listed = readFolder(folder, &entries, &unread);
        listMs = clock.elapsed();
        done = true;
    }
    SftpWriteCalls *writeCalls() override { return &calls; }
    QString say(const char *source) const override { return QString::fromUtf8(source); }
    RoomMisjudged calls;
    const QString local, remote, folder;
    qint64 sent = 0;
    QString failure;
    std::atomic<bool> listed{false}, done{false};
    std::atomic<qint64> uploadMs{-1}, listMs{-1};
};

// A server whose disk stalls as an upload's first write goes out: its
// sftp-server is stopped then. A second later, when all the server had to
// say has come, the writer's clock runs on by the 30 s without progress
// at which an upload gives up. The session then lists a folder: how long
// after the upload gave up that was answered.
struct StallOnFirstWrite : SftpWriteCalls {
    explicit StallOnFirstWrite(QString serverSide) : serverSide(std::move(serverSide)) {}
    ssize_t write(LIBSSH2_SFTP_HANDLE *handle, const char *data, size_t count) override
    {
        if (stopped.load() == 0) {
            const pid_t server = serverHolding(serverSide, "sftp-server");
            if (server > 0 && ::kill(server, SIGSTOP) == 0) {
                stoppedAt.start();
                stopped = server;
            } else {
                stopped = -1;
            }
        }
        return SftpWriteCalls::write(handle, data, count);
    }
    qint64 nowUs() override
    {
        if (stopped.load() <= 0 || stoppedAt.elapsed() < 1000)
            return SftpWriteCalls::nowUs();
        if (!gaveUpAt.isValid())
            gaveUpAt.start();
        return SftpWriteCalls::nowUs() + (kSftpStallMs + 1000) * 1000LL;
    }
    const QString serverSide;
    std::atomic<pid_t> stopped{0};
    QElapsedTimer stoppedAt, gaveUpAt; // on the worker's thread
};

struct StalledUploadThenList : SftpSession {
    StalledUploadThenList(const SshConnectParams &params, const QString &local, const QString &remote, const QString &serverSide)
        : SftpSession(params, "bye"), calls(serverSide), local(local), remote(remote) {}
    void ready() override {}
    void runJobs() override
    {
        Failure why;
        sent = upload(local, remote, [](qint64) {}, &why);
        failure = why.detail;
        QList<sftpnames::DirEntry> entries;
        FolderFailure unread;
        listed = readFolder(sftpnames::remoteParent(remote), &entries, &unread);
        if (calls.gaveUpAt.isValid())
            listMs = calls.gaveUpAt.elapsed();
        done = true;
    }
    SftpWriteCalls *writeCalls() override { return &calls; }
    QString say(const char *source) const override { return QString::fromUtf8(source); }
    StallOnFirstWrite calls;
    const QString local, remote;
    qint64 sent = 0;
    QString failure;
    std::atomic<bool> listed{false}, done{false};
    std::atomic<qint64> listMs{-1};
};

} // namespace

class TestSftpRenewal : public SftpCase
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SFTP_RIG_NEEDS_ROOT();
        const QString failed = startCase();
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
    }

    // A small upload to Dropbear whose server stalls before it answers the
    // first write: once the upload has given up, the session goes on over a
    // fresh channel at once. The stuck channel closes only when its stopped
    // server ends, and neither the fresh channel nor the next request waits
    // for that.
    void stalledUploadThenList()
    {
        const Server server = dropbearServer();
        QVERIFY2(!server.user().isEmpty(), "fixture sftp_dropbear not running");
        const QString base = remoteFolder(server);
        const QString local = localPath(QStringLiteral("small"));
        QVERIFY(writeFile(local, randomBytes(10000)));
        auto *session = new StalledUploadThenList(server.params(m_knownHosts), local, base + QStringLiteral("/g"),
                                                  QFileInfo(base).canonicalFilePath() + QLatin1Char('/'));
        const auto released = qScopeGuard([&] {
            if (session->calls.stopped.load() > 0)
                ::kill(session->calls.stopped.load(), SIGCONT);
            SftpSession::release(session);
        });
        session->start();
        QVERIFY2(QTest::qWaitFor([&] { return session->done.load(); }, 60000), "the upload or the listing after it never ended");
        QVERIFY2(session->calls.stopped.load() > 0, "no sftp-server process held the file being written");
        qInfo().noquote() << "told:" << session->failure << "| listed" << session->listMs.load() << "ms after it gave up";
        QVERIFY(session->sent < 0);
        QVERIFY2(session->failure.contains(QStringLiteral("服务器 30 秒没有进展")), qPrintable(session->failure));
        QVERIFY2(session->listed.load() && session->listMs.load() < 1500,
                 qPrintable(QStringLiteral("listed after %1 ms").arg(session->listMs.load())));
        QVERIFY2(unmet(base, {"!.hv*", "!g"}).isEmpty(), qPrintable(QDir(base).entryList(QDir::Files | QDir::Hidden).join(' ')));
    }

    // A write into a full disk on Dropbear, whose small channel took a
    // request only in part: the session goes on over a fresh channel, and
    // a listing right after is answered within seconds.
    void fullDiskThenList()
    {
        const Server server = dropbearServer();
        QVERIFY2(!server.user().isEmpty(), "fixture sftp_dropbear not running");
        const QString base = remoteFolder(server);
        QTemporaryDir disk(base + QStringLiteral("/disk-XXXXXX"));
        QVERIFY2(QProcess::execute(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=1m", "tmpfs", disk.path()}) == 0,
                 "cannot mount a small tmpfs (root needed)");
        const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {"-l", disk.path()}); });
        own(disk.path(), server);
        const QString local = localPath(QStringLiteral("big"));
        QVERIFY(writeFile(local, randomBytes(4 * kMiB)));
        auto *session = new UploadThenList(server.params(m_knownHosts), local, disk.filePath(QStringLiteral("g")), base);
        const auto released = qScopeGuard([&] { SftpSession::release(session); });
        session->start();
        QVERIFY2(QTest::qWaitFor([&] { return session->done.load(); }, 30000), "the upload or the listing after it never ended");
        qInfo().noquote() << "told:" << session->failure;
        QVERIFY(session->sent < 0);
        // The disk fills within a second; what the failure leaves behind
        // is taken back over a channel opened at once.
        QVERIFY2(session->uploadMs.load() < 10000, qPrintable(QStringLiteral("the upload failed after %1 ms").arg(session->uploadMs.load())));
        QVERIFY2(session->listed.load() && session->listMs.load() < 3000,
                 qPrintable(QStringLiteral("listed after %1 ms").arg(session->listMs.load())));
        QVERIFY2(unmet(disk.path(), {"!.hv*", "!g"}).isEmpty(), qPrintable(QDir(disk.path()).entryList(QDir::Files | QDir::Hidden).join(' ')));
    }

    // A server that allowed no second channel while its sessions were all
    // taken is asked again once the channels are renewed: large uploads go
    // in two halves again.
    void secondChannelAfterRenewal()
    {
        const QString base = remoteFolder();
        setUp(base, {"f=old"}, m_server);
        auto *session = new SecondChannel(m_server.params(m_knownHosts), base + QStringLiteral("/f"));
        const auto released = qScopeGuard([&] { SftpSession::release(session); });
        session->start();
        QVERIFY2(QTest::qWaitFor([&] { return session->done.load(); }, 60000), "the session never got through");
        QVERIFY2(session->refusedWhileFull.load(),
                 qPrintable(QStringLiteral("a second channel was granted beside %1 others").arg(session->filled.load())));
        QVERIFY(session->openedAfterRenewal.load());
    }
};

QTEST_GUILESS_MAIN(TestSftpRenewal)
#include "tst_sftprenewal.moc"
