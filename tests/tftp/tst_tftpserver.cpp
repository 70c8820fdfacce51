#include "core/languagemanager.h"
#include "tftptestclient.h"
#include "transfer/tftp/tftpserver.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include <sys/stat.h>

using namespace tftptest;

Q_DECLARE_METATYPE(tftptest::Client)

namespace {
constexpr quint16 serverPort = 26901 + HV_TEST_PORT_OFFSET;

// A hand-driven exchange with one transfer: '>' sends the packet to it, '<'
// expects it as the next answer, 'p' expects one temporary file in the
// folder, 'd' turns the file being uploaded into a folder, 't' shortens the
// time-out tick.
using Script = QList<std::pair<char, QByteArray>>;
} // namespace

Q_DECLARE_METATYPE(Script)

class TestTftpServer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir box;
    QString root;    // served folder
    QString client;  // the clients' working folder
    TftpServer *server = nullptr;
    QStringList log;

    QString rootFile(const QString &name) const { return root + '/' + name; }
    QStringList partFiles() const { return QDir(root).entryList({"*.part-*"}, QDir::Files | QDir::Hidden | QDir::System); }
    QStringList entries() const { return QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System); }
    bool logHas(const QString &text) const { return log.join('\n').contains(text); }

private slots:
    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable("tftp").isEmpty() && !QStandardPaths::findExecutable("atftp").isEmpty(),
                 "the tftp-hpa and atftp clients are needed (packages tftp-hpa, atftp)");
        LanguageManager::setLanguage("en");
        QVERIFY(box.isValid());
        root = box.filePath("served");
        client = box.filePath("client");
        QVERIFY(QDir().mkpath(root) && QDir().mkpath(client));
        // What requests must not reach: a file beside the folder, through a
        // link or as "../secret.txt", a pipe, a file its owner made read-only.
        QVERIFY(writeFile(box.filePath("secret.txt"), "outside"));
        QVERIFY(QFile::link(box.filePath("secret.txt"), rootFile("link.txt")));
        QCOMPARE(::mkfifo(QFile::encodeName(rootFile("fifo")).constData(), 0644), 0);
        QVERIFY(writeFile(rootFile("readonly.txt"), "keep me"));
        QVERIFY(QFile::setPermissions(rootFile("readonly.txt"), QFile::ReadOwner));
        server = new TftpServer(this);
        connect(server, &TftpServer::logLine, this, [this](const QString &line) { log << line; });
        QString error;
        QVERIFY2(server->start(serverPort, QHostAddress::Any, &error), qPrintable(error));
    }

    void init()
    {
        log.clear();
        server->setRootFolder(root);
        server->setTickInterval(1000);
    }

    // Every transfer must have ended by itself and left no temporary file.
    void cleanup()
    {
        QTRY_COMPARE(server->transferCount(), 0);
        QCOMPARE(partFiles(), QStringList());
    }

    // Sizes around the block boundary, and one past 65535 blocks so that the
    // block number rolls over to 0 in both directions; an upload replaces an
    // existing file whole. A dual-stack socket sees IPv4 clients as
    // ::ffff:a.b.c.d; they must be answered (and logged) as plain IPv4.
    void getAndPut_data()
    {
        QTest::addColumn<Client>("client");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("host");
        for (const qint64 size : {0, 511, 512, 513, 1 << 20, 33 << 20}) {
            QTest::addRow("tftp-hpa/%lld", size) << Client::Hpa << size << "127.0.0.1";
            QTest::addRow("atftp/%lld", size) << Client::Atftp << size << "127.0.0.1";
        }
        QTest::newRow("atftp/ipv6") << Client::Atftp << qint64(1500) << "::1";
    }
    void getAndPut()
    {
        QFETCH(Client, client);
        QFETCH(qint64, size);
        QFETCH(QString, host);
        const RawClient probe{QHostAddress(host)};
        QVERIFY2(probe.socket.state() == QAbstractSocket::BoundState, qPrintable(host + " is not usable here: " + probe.socket.errorString()));
        const QByteArray data = randomBytes(size);
        const QString name = QString("f%1.bin").arg(size), upName = "up" + name;
        QVERIFY(writeFile(rootFile(name), data) && writeFile(rootFile(upName), "old content"));
        QFile::remove(this->client + '/' + name);
        QCOMPARE(transfer(this->client, client, Op::Get, serverPort, name, name, host), 0);
        QVERIFY(readFile(this->client + '/' + name) == data);
        QTRY_VERIFY(logHas(QString("Download complete: %1 (%2 bytes)").arg(name).arg(size)));
        QCOMPARE(transfer(this->client, client, Op::Put, serverPort, upName, name, host), 0);
        QTRY_VERIFY(logHas(QString("Upload complete: %1 (%2 bytes)").arg(upName).arg(size)));
        QVERIFY(readFile(rootFile(upName)) == data);
        QVERIFY2(logHas("[" + host + ":") && !logHas("::ffff:"), qPrintable(log.join('\n')));
        for (const QString &path : {rootFile(name), rootFile(upName), this->client + '/' + name})
            QFile::remove(path);
    }

    // Each request is followed by a valid one: its answer coming next shows
    // that the first got no answer, or only the one expected. Names without a
    // file part, pointing outside the folder or carrying control characters
    // are refused as access violations, other modes than octet get ERROR 0,
    // both from the listening socket; nothing in the folder changes. An empty
    // folder setting must not fall back to the process's working folder.
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
        QTest::newRow("no folder set") << request(1, "barrier.bin") << violation;
        for (const char *name : {"missing.bin", "../secret.txt", "link.txt", "fifo"})
            QTest::addRow("read %s", name) << request(1, name) << errorPacket(1, "file not found");
        for (const char *name : {"link.txt", "readonly.txt"})
            QTest::addRow("write %s", name) << request(2, name) << errorPacket(2, "cannot create file");
        for (const char *name : {"", ".", "..", "x/..", "sub/", "C:x.bin", "a\nb.bin", "a\x1b[2Jb", "a\xff\xfe.bin"}) {
            QTest::addRow("read %s", name) << request(1, name) << violation;
            QTest::addRow("write %s", name) << request(2, name) << violation;
        }
        QTest::newRow("write sub\\") << request(2, "sub\\") << violation;
        // Folders are dropped, never followed: these are looked for in the
        // served folder only.
        for (const char *name : {"/etc/passwd", "\\..\\secret.txt", "C:\\secret.txt", "sub/../../secret.txt"})
            QTest::addRow("read %s", name) << request(1, name) << errorPacket(1, "file not found");
        QTest::newRow("read C:\\boot\\barrier.bin") << request(1, "C:\\boot\\barrier.bin") << served;
    }
    void requests()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(QByteArray, answer);
        QVERIFY(writeFile(rootFile("barrier.bin"), "x"));
        const QStringList before = entries();
        const bool noFolder = QTest::currentDataTag() == QByteArray("no folder set");
        if (noFolder)
            server->setRootFolder(QString());
        RawClient raw;
        raw.send(datagram, serverPort);
        raw.send(request(1, "barrier.bin"), serverPort);
        quint16 from = 0;
        for (const QByteArray &expected : {answer, noFolder ? answer : packet(3, 1, "x")}) {
            if (expected.isEmpty())
                continue;
            QCOMPARE(raw.receive(&from), expected);
            // Transfers answer from ports of their own.
            QCOMPARE(from == serverPort, expected == errorPacket(0, "only octet mode") || expected == errorPacket(2, "access violation"));
            if (expected.startsWith(QByteArray("\0\3", 2)))
                raw.send(packet(4, 1), from);
        }
        QTRY_COMPARE(server->transferCount(), 0);
        QCOMPARE(logHas(noFolder ? "No service directory set, request refused: barrier.bin" : "Unsafe file name refused"),
                 answer == errorPacket(2, "access violation"));
        QVERIFY(!logHas("\x1b"));
        QCOMPARE(entries(), before);
        QCOMPARE(readFile(box.filePath("secret.txt")) + readFile(rootFile("readonly.txt")), QByteArray("outsidekeep me"));
    }

    // What network-boot clients send: a path with folders, absolute in
    // either convention, is served and stored by its last component in the
    // served folder, and the log tells which file stood for the path. Names
    // without a file part and control characters stay refused.
    void pathShapes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("served");
        for (const char *name : {"/boot.bin", "\\pxe\\boot.bin", "a/b/boot.bin", "boot.bin"})
            QTest::newRow(name) << QString(name) << true;
        for (const char *name : {"", ".", "..", "/pxe/", "\\pxe\\..", "boot\x01.bin"})
            QTest::newRow(name) << QString(name) << false;
    }
    void pathShapes()
    {
        QFETCH(QString, name);
        QFETCH(bool, served);
        const QByteArray data = randomBytes(1500);
        QVERIFY(writeFile(rootFile("boot.bin"), data));
        const QStringList before = entries();
        const QString got = client + "/got.bin", sent = client + "/sent.bin";
        QFile::remove(got);
        QVERIFY(writeFile(sent, data + "up"));
        const QString shown = QString(name).replace('\x01', '?');
        const QString mapped = QString("Requested %1, file in the served folder: %2").arg(shown, rootFile("boot.bin"));

        QCOMPARE(transfer(client, Client::Hpa, Op::Get, serverPort, name, "got.bin"), 0);
        QCOMPARE(readFile(got) == data, served);
        QTRY_VERIFY2(logHas(served ? "Download complete: boot.bin" : "Unsafe file name refused: " + shown), qPrintable(log.join('\n')));
        QCOMPARE(logHas(mapped), served && name != "boot.bin");

        log.clear();
        QCOMPARE(transfer(client, Client::Hpa, Op::Put, serverPort, name, "sent.bin"), 0);
        if (served) {
            QTRY_VERIFY2(logHas("Upload complete: boot.bin (1502 bytes)"), qPrintable(log.join('\n')));
            QCOMPARE(readFile(rootFile("boot.bin")), data + "up");
            QCOMPARE(logHas(mapped), name != "boot.bin");
        } else {
            QTRY_VERIFY2(logHas("Unsafe file name refused"), qPrintable(log.join('\n')));
            QCOMPARE(readFile(rootFile("boot.bin")), data);
        }
        QCOMPARE(entries(), before);
        QVERIFY(!logHas("\x01"));
    }

    // Lock step: on a download only the ACK of the block in flight moves on, a
    // duplicate ACK causes no resend; on an upload a repeated block is
    // acknowledged again, not written twice, and one far ahead is ignored;
    // the final ACK promises the file is in place. A failed upload leaves the
    // old file and no temporary one, and the client hears why. Unanswered, a
    // download resends its last block five times and then gives up, and a
    // silent upload ends.
    void exchanges_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<Script>("script");
        QTest::addColumn<QString>("logText");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content");
        const QByteArray data = randomBytes(1200), block = randomBytes(512);
        QTest::newRow("download") << request(1, "d.bin")
            << Script{{'<', packet(3, 1, data.left(512))}, {'>', packet(4, 0)}, {'>', packet(4, 1)}, {'<', packet(3, 2, data.mid(512, 512))},
                      {'>', packet(4, 1)}, {'>', packet(4, 2)}, {'<', packet(3, 3, data.mid(1024))}, {'>', errorPacket(0, "stop")}}
            << "Download aborted by client (error code 0)" << "d.bin" << data;
        // A leading ':' is no resource path here.
        QTest::newRow("upload") << request(2, ":u.bin")
            << Script{{'<', packet(4, 0)}, {'>', packet(3, 1, block)}, {'<', packet(4, 1)}, {'>', packet(3, 1, block)}, {'<', packet(4, 1)},
                      {'>', packet(3, 5, "far ahead")}, {'>', packet(3, 2, "end")}, {'<', packet(4, 2)}}
            << "Upload complete: :u.bin (515 bytes)" << ":u.bin" << block + "end";
        const Script started{{'<', packet(4, 0)}, {'>', packet(3, 1, block)}, {'<', packet(4, 1)}, {'p', {}}};
        QTest::newRow("oversized") << request(2, "keep.bin")
            << started + Script{{'>', packet(3, 2, randomBytes(596))}, {'<', errorPacket(4, "invalid DATA packet size")}}
            << "Upload failed: invalid DATA packet size" << "keep.bin" << QByteArray("old");
        QTest::newRow("client error") << request(2, "keep.bin") << started + Script{{'>', errorPacket(3, "disk full")}}
            << "Upload aborted by client (error code 3)" << "keep.bin" << QByteArray("old");
        QTest::newRow("commit fails") << request(2, "new.bin")
            << started + Script{{'d', {}}, {'>', packet(3, 2, "tail")}, {'<', errorPacket(3, "disk write failed")}}
            << "Upload failed: could not save the file under its name" << "keep.bin" << QByteArray("old");
        QTest::newRow("download times out") << request(1, "d.bin") << Script{{'t', {}}} + Script(6, {'<', packet(3, 1, data.left(512))})
            << "Download timed out, giving up: d.bin" << "d.bin" << data;
        QTest::newRow("upload times out") << request(2, "silent.bin") << Script{{'t', {}}, {'<', packet(4, 0)}}
            << "Upload idle timeout: silent.bin.part-" << "silent.bin" << QByteArray();
    }
    void exchanges()
    {
        QFETCH(QByteArray, request);
        QFETCH(Script, script);
        QFETCH(QString, logText);
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QVERIFY(writeFile(rootFile("d.bin"), randomBytes(1200)) && writeFile(rootFile("keep.bin"), "old"));
        RawClient raw;
        raw.send(request, serverPort);
        quint16 tid = 0;
        for (const auto &[step, bytes] : script) {
            if (step == '>')
                raw.send(bytes, tid);
            else if (step == '<')
                QCOMPARE(raw.receive(&tid), bytes);
            else if (step == 'p')
                QCOMPARE(partFiles().size(), 1);
            else if (step == 't')
                server->setTickInterval(20);
            else
                QVERIFY(QDir(root).mkdir("new.bin"));
        }
        QCOMPARE(readFile(rootFile(file)), content);
        QTRY_VERIFY2(logHas(logText), qPrintable(log.join('\n')));
        QVERIFY(!raw.socket.hasPendingDatagrams());
        QDir(root).rmdir("new.bin");
    }

    // One address holds at most its share of the transfers, so another
    // client is still served; beyond the overall limit the server is busy. A
    // stop drops every transfer and removes the unfinished uploads' files.
    void limitsAndStop()
    {
        QVERIFY(writeFile(rootFile("barrier.bin"), "x"));
        std::vector<std::unique_ptr<RawClient>> clients;
        const auto hold = [&](int address, int index) {
            clients.push_back(std::make_unique<RawClient>(QHostAddress(QString("127.0.0.%1").arg(address))));
            clients.back()->send(request(2, "busy" + QByteArray::number(index)), serverPort);
            return clients.back()->receive();
        };
        for (int i = 0; i < TftpServer::maxTransfersPerClient; ++i)
            QCOMPARE(hold(1, i), packet(4, 0));
        QCOMPARE(hold(1, 99), errorPacket(0, "too many transfers from this address"));
        QVERIFY(logHas("Too many transfers from this address, request refused: busy99"));
        RawClient other{QHostAddress("127.0.0.2")};
        other.send(request(1, "barrier.bin"), serverPort);
        quint16 from = 0;
        QCOMPARE(other.receive(&from), packet(3, 1, "x"));
        other.send(packet(4, 1), from);
        QTRY_VERIFY(logHas("Download complete: barrier.bin"));

        for (int i = TftpServer::maxTransfersPerClient; i < TftpServer::maxTransfers; ++i)
            QCOMPARE(hold(2 + i / TftpServer::maxTransfersPerClient, i), packet(4, 0));
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
