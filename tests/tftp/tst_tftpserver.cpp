#include "core/languagemanager.h"
#include "tftptestclient.h"
#include "transfer/tftp/tftpserver.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include <sys/stat.h>

using namespace tftptest;

Q_DECLARE_METATYPE(tftptest::Client)

namespace {
constexpr quint16 serverPort = 26901 + HV_TEST_PORT_OFFSET;
}

class TestTftpServer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir box;
    QString root;    // served folder
    QString client;  // the clients' working folder
    TftpServer *server = nullptr;
    QStringList log;

    QString rootFile(const QString &name) const { return root + QLatin1Char('/') + name; }
    QString clientFile(const QString &name) const { return QDir(client).filePath(name); }
    QStringList partFiles() const
    {
        return QDir(root).entryList({QStringLiteral("*.part-*")}, QDir::Files | QDir::Hidden | QDir::System);
    }
    bool logHas(const QString &text) const { return log.join(QLatin1Char('\n')).contains(text); }

private slots:
    void initTestCase()
    {
        QVERIFY2(clientsInstalled(), "the tftp-hpa and atftp clients are needed (packages tftp-hpa, atftp)");
        LanguageManager::setLanguage(QStringLiteral("en"));
        QVERIFY(box.isValid());
        root = box.filePath(QStringLiteral("served"));
        client = box.filePath(QStringLiteral("client"));
        QVERIFY(QDir().mkpath(root) && QDir().mkpath(client));
        // What requests must not reach: a file beside the folder, through a
        // link or as "../secret.txt", a pipe, a file its owner made read-only.
        QVERIFY(writeFile(box.filePath(QStringLiteral("secret.txt")), "outside"));
        QVERIFY(QFile::link(box.filePath(QStringLiteral("secret.txt")), rootFile(QStringLiteral("link.txt"))));
        QCOMPARE(::mkfifo(QFile::encodeName(rootFile(QStringLiteral("fifo"))).constData(), 0644), 0);
        QVERIFY(writeFile(rootFile(QStringLiteral("readonly.txt")), "keep me"));
        QVERIFY(QFile::setPermissions(rootFile(QStringLiteral("readonly.txt")), QFile::ReadOwner));
        server = new TftpServer(this);
        server->setRootFolder(root);
        connect(server, &TftpServer::logLine, this, [this](const QString &line) { log << line; });
        QString error;
        QVERIFY2(server->start(serverPort, QHostAddress::Any, &error), qPrintable(error));
    }

    void init()
    {
        log.clear();
        server->setRootFolder(root);
    }

    void cleanup()
    {
        // Every transfer must have ended by itself and left no temporary file.
        QTRY_COMPARE(server->transferCount(), 0);
        QCOMPARE(partFiles(), QStringList());
    }

    // Sizes around the block boundary, and one past 65535 blocks so that the
    // block number rolls over to 0 in both directions.
    void getAndPut_data()
    {
        QTest::addColumn<Client>("client");
        QTest::addColumn<qint64>("size");
        const QList<QPair<const char *, qint64>> sizes{
            {"0", 0}, {"511", 511}, {"512", 512}, {"513", 513}, {"1MiB", 1 << 20}, {"33MiB", 33 << 20}};
        for (const auto &[label, size] : sizes) {
            QTest::addRow("tftp-hpa/%s", label) << Client::Hpa << size;
            QTest::addRow("atftp/%s", label) << Client::Atftp << size;
        }
    }

    void getAndPut()
    {
        QFETCH(Client, client);
        QFETCH(qint64, size);
        const QByteArray data = randomBytes(size);
        const QString name = QStringLiteral("f%1.bin").arg(size);
        QVERIFY(writeFile(rootFile(name), data));
        QFile::remove(clientFile(name));

        QCOMPARE(runProgram(this->client, clientArgs(client, Op::Get, serverPort, name, name)), 0);
        QVERIFY(readFile(clientFile(name)) == data);
        QTRY_VERIFY(logHas(QStringLiteral("Download complete: %1 (%2 bytes)").arg(name).arg(size)));

        // Upload onto the existing name: the old file is replaced whole.
        const QString upName = QStringLiteral("up%1.bin").arg(size);
        QVERIFY(writeFile(rootFile(upName), "old content"));
        QCOMPARE(runProgram(this->client, clientArgs(client, Op::Put, serverPort, upName, name)), 0);
        QTRY_VERIFY(logHas(QStringLiteral("Upload complete: %1 (%2 bytes)").arg(upName).arg(size)));
        QVERIFY(readFile(rootFile(upName)) == data);
        QFile::remove(rootFile(name));
        QFile::remove(rootFile(upName));
        QFile::remove(clientFile(name));
    }

    // A dual-stack socket sees IPv4 clients as ::ffff:a.b.c.d; they must be
    // answered (and logged) as plain IPv4. IPv6 clients work as well.
    void addressFamilies_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("peerPrefix");
        QTest::newRow("ipv4") << "127.0.0.1" << "[127.0.0.1:";
        QTest::newRow("ipv6") << "::1" << "[::1:";
    }

    void addressFamilies()
    {
        QFETCH(QString, host);
        QFETCH(QString, peerPrefix);
        const QByteArray data = randomBytes(1500);
        QVERIFY(writeFile(rootFile(QStringLiteral("fam.bin")), data));
        QFile::remove(clientFile(QStringLiteral("fam.bin")));
        RawClient probe{QHostAddress(host)};
        QVERIFY2(probe.socket.state() == QAbstractSocket::BoundState,
                 qPrintable(host + QStringLiteral(" is not usable here: ") + probe.socket.errorString()));
        const QString name = QStringLiteral("fam.bin");
        QCOMPARE(runProgram(client, clientArgs(Client::Atftp, Op::Get, serverPort, name, name, host)), 0);
        QVERIFY(readFile(clientFile(QStringLiteral("fam.bin"))) == data);
        QTRY_VERIFY2(logHas(peerPrefix), qPrintable(log.join(QLatin1Char('\n'))));
        QVERIFY(!logHas(QStringLiteral("::ffff:")));
    }

    // Each request is followed by a valid one: its answer coming next shows
    // that the first got no answer, or only the one expected. Names without a
    // file part, pointing outside the folder or carrying control characters
    // are refused as access violations, other modes than octet get ERROR 0,
    // both from the listening socket; nothing in the folder changes.
    void requests_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QByteArray>("answer"); // empty: none
        const QByteArray violation = errorPacket(2, "access violation");
        const QByteArray served = packet(3, 1, "x");
        QTest::newRow("octet") << request(1, "barrier.bin") << served;
        QTest::newRow("OCTET") << request(1, "barrier.bin", "OCTET") << served;
        QTest::newRow("Binary, options") << request(1, "barrier.bin", "Binary", QByteArray("blksize\0" "8192\0", 13)) << served;
        QTest::newRow("netascii") << request(1, "barrier.bin", "netascii") << errorPacket(0, "only octet mode");
        QTest::newRow("mail") << request(2, "barrier.bin", "mail") << errorPacket(0, "only octet mode");
        QTest::newRow("short") << QByteArray("\0\1a", 3) << QByteArray();
        QTest::newRow("no-name-end") << QByteArray("\0\1abc", 5) << QByteArray();
        QTest::newRow("no-mode-end") << QByteArray("\0\1abc\0octet", 11) << QByteArray();
        QTest::newRow("ack-to-listener") << packet(4, 1) << QByteArray();
        const QByteArray notFound = errorPacket(1, "file not found");
        for (const char *name : {"missing.bin", "../secret.txt", "link.txt", "fifo"})
            QTest::addRow("read %s", name) << request(1, name) << notFound;
        for (const char *name : {"link.txt", "readonly.txt"})
            QTest::addRow("write %s", name) << request(2, name) << errorPacket(2, "cannot create file");
        for (const char *name : {"", ".", "..", "x/..", "sub/", "/etc/passwd", "C:x.bin", "a\nb.bin", "a\x1b[2Jb", "a\xff\xfe.bin"}) {
            QTest::addRow("read %s", name) << request(1, name) << violation;
            QTest::addRow("write %s", name) << request(2, name) << violation;
        }
        QTest::newRow("write sub\\") << request(2, "sub\\") << violation;
        QTest::newRow("write \\x.bin") << request(2, "\\x.bin") << violation;
    }

    void requests()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(QByteArray, answer);
        QVERIFY(writeFile(rootFile(QStringLiteral("barrier.bin")), "x"));
        const QStringList before = QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        RawClient raw;
        raw.send(datagram, serverPort);
        raw.send(request(1, "barrier.bin"), serverPort);
        quint16 from = 0;
        for (const QByteArray &expected : {answer, packet(3, 1, "x")}) {
            if (expected.isEmpty())
                continue;
            QCOMPARE(raw.receive(&from), expected);
            // Transfers answer from ports of their own.
            QCOMPARE(from == serverPort, expected == errorPacket(0, "only octet mode") || expected == errorPacket(2, "access violation"));
            if (expected.startsWith(QByteArray("\0\3", 2)))
                raw.send(packet(4, 1), from);
        }
        QTRY_COMPARE(server->transferCount(), 0);
        QCOMPARE(logHas(QStringLiteral("Unsafe file name refused")), answer == errorPacket(2, "access violation"));
        QVERIFY(!logHas(QStringLiteral("\x1b")));
        QCOMPARE(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), before);
        QCOMPARE(readFile(box.filePath(QStringLiteral("secret.txt"))) + readFile(rootFile(QStringLiteral("readonly.txt"))),
                 QByteArray("outsidekeep me"));
    }

    // An empty folder must not fall back to the process's working folder.
    void emptyFolderRefuses()
    {
        server->setRootFolder(QString());
        RawClient raw;
        raw.send(request(1, "barrier.bin"), serverPort);
        QCOMPARE(raw.receive(), errorPacket(2, "access violation"));
        QVERIFY(logHas(QStringLiteral("No service directory set, request refused: barrier.bin")));
        QCOMPARE(server->transferCount(), 0);
    }

    // Lock step on a download: only the ACK of the block in flight moves on,
    // a duplicate ACK causes no resend, and the client may abort.
    void downloadAcks()
    {
        const QByteArray data = randomBytes(1200);
        QVERIFY(writeFile(rootFile(QStringLiteral("d.bin")), data));
        RawClient raw;
        raw.send(request(1, "d.bin"), serverPort);
        quint16 tid = 0;
        QCOMPARE(raw.receive(&tid), packet(3, 1, data.left(512)));
        raw.send(packet(4, 0), tid);   // not yet sent: ignored
        raw.send(packet(4, 1), tid);
        QCOMPARE(raw.receive(), packet(3, 2, data.mid(512, 512)));
        raw.send(packet(4, 1), tid);   // duplicate: no resend
        raw.send(packet(4, 2), tid);
        QCOMPARE(raw.receive(), packet(3, 3, data.mid(1024)));
        raw.send(errorPacket(0, "stop"), tid);
        QTRY_VERIFY(logHas(QStringLiteral("Download aborted by client (error code 0)")));
    }

    void uploadPackets()
    {
        RawClient raw;
        raw.send(request(2, ":u.bin"), serverPort); // a leading ':' is no resource path here
        quint16 tid = 0;
        QCOMPARE(raw.receive(&tid), packet(4, 0));
        const QByteArray block1 = randomBytes(512);
        raw.send(packet(3, 1, block1), tid);
        QCOMPARE(raw.receive(), packet(4, 1));
        raw.send(packet(3, 1, block1), tid); // repeated: acknowledged again, not written twice
        QCOMPARE(raw.receive(), packet(4, 1));
        raw.send(packet(3, 5, "far ahead"), tid); // ignored
        raw.send(packet(3, 2, "end"), tid);
        QCOMPARE(raw.receive(), packet(4, 2));
        // The final ACK promises the file is in place.
        QCOMPARE(readFile(rootFile(QStringLiteral(":u.bin"))), block1 + "end");
        QVERIFY(logHas(QStringLiteral("Upload complete: :u.bin (515 bytes)")));
    }

    void uploadFailures_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("logText");
        QTest::newRow("oversized") << 0 << errorPacket(4, "invalid DATA packet size") << "上传失败：DATA 包大小非法";
        QTest::newRow("client-error") << 1 << QByteArray() << "Upload aborted by client (error code 3)";
        // The target turns into a folder before the last block: the commit
        // fails and the client must hear so instead of a final ACK.
        QTest::newRow("commit-fails") << 2 << errorPacket(3, "disk write failed") << "上传失败：提交文件失败";
    }

    void uploadFailures()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, answer);
        QFETCH(QString, logText);
        QVERIFY(writeFile(rootFile(QStringLiteral("keep.bin")), "old"));
        RawClient raw;
        const QByteArray name = kind == 2 ? "newname.bin" : "keep.bin";
        raw.send(request(2, name), serverPort);
        quint16 tid = 0;
        QCOMPARE(raw.receive(&tid), packet(4, 0));
        raw.send(packet(3, 1, randomBytes(512)), tid);
        QCOMPARE(raw.receive(), packet(4, 1));
        QCOMPARE(partFiles().size(), 1);
        if (kind == 0)
            raw.send(packet(3, 2, randomBytes(596)), tid);
        else if (kind == 1)
            raw.send(errorPacket(3, "disk full"), tid);
        else {
            QVERIFY(QDir(root).mkdir(QString::fromLatin1(name)));
            raw.send(packet(3, 2, "tail"), tid);
        }
        if (!answer.isEmpty())
            QCOMPARE(raw.receive(), answer);
        QTRY_VERIFY2(logHas(logText), qPrintable(log.join(QLatin1Char('\n'))));
        QCOMPARE(partFiles(), QStringList());
        QCOMPARE(readFile(rootFile(QStringLiteral("keep.bin"))), QByteArray("old"));
        QDir(root).rmdir(QString::fromLatin1(name));
    }

    // With a short tick: a download resends its last block five times and
    // then gives up; a silent upload ends and removes its temporary file.
    void timeouts()
    {
        server->setTickInterval(20);
        QVERIFY(writeFile(rootFile(QStringLiteral("t.bin")), "tick"));
        RawClient down;
        down.send(request(1, "t.bin"), serverPort);
        RawClient up;
        up.send(request(2, "silent.bin"), serverPort);
        QCOMPARE(up.receive(), packet(4, 0));
        for (int i = 0; i < 6; ++i)
            QCOMPARE(down.receive(), packet(3, 1, "tick"));
        QTRY_VERIFY(logHas(QStringLiteral("Download timed out, giving up: t.bin")));
        QTRY_VERIFY(logHas(QStringLiteral("Upload idle timeout: silent.bin.part-")));
        QCOMPARE(down.socket.hasPendingDatagrams(), false);
        server->setTickInterval(1000);
    }

    // One address holds at most its share of the transfers, so another
    // client is still served; beyond the overall limit the server is busy. A
    // stop drops every transfer and removes the unfinished uploads' files.
    void limitsAndStop()
    {
        QVERIFY(writeFile(rootFile(QStringLiteral("barrier.bin")), "x"));
        std::vector<std::unique_ptr<RawClient>> clients;
        const auto hold = [&](int address, int index) {
            clients.push_back(std::make_unique<RawClient>(QHostAddress(QStringLiteral("127.0.0.%1").arg(address))));
            clients.back()->send(request(2, QByteArray("busy") + QByteArray::number(index)), serverPort);
            return clients.back()->receive();
        };
        for (int i = 0; i < TftpServer::maxTransfersPerClient; ++i)
            QCOMPARE(hold(1, i), packet(4, 0));
        QCOMPARE(hold(1, 99), errorPacket(0, "too many transfers from this address"));
        QVERIFY(logHas(QStringLiteral("Too many transfers from this address, request refused: busy99")));
        RawClient other{QHostAddress(QStringLiteral("127.0.0.2"))};
        other.send(request(1, "barrier.bin"), serverPort);
        quint16 from = 0;
        QCOMPARE(other.receive(&from), packet(3, 1, "x"));
        other.send(packet(4, 1), from);
        QTRY_VERIFY(logHas(QStringLiteral("Download complete: barrier.bin")));

        for (int i = TftpServer::maxTransfersPerClient; i < TftpServer::maxTransfers; ++i)
            QCOMPARE(hold(2 + i / TftpServer::maxTransfersPerClient, i), packet(4, 0));
        QCOMPARE(server->transferCount(), TftpServer::maxTransfers);
        QCOMPARE(hold(100, 100), errorPacket(0, "server busy"));
        QCOMPARE(partFiles().size(), TftpServer::maxTransfers);

        server->stop();
        QCOMPARE(server->transferCount(), 0);
        QCOMPARE(partFiles(), QStringList());
        QString error;
        QVERIFY2(server->start(serverPort, QHostAddress::Any, &error), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestTftpServer)
#include "tst_tftpserver.moc"
