// The interactive session against the real sshd, and handshakes with peers that fail or are cut
// short. (Connecting, and closing while connecting, are tested with the connection base; here only
// what SSH does its own way: one budget for all addresses, and its trace.)
#include "sshtest.h"
#include "../connections/pausecheck.h"

#include "core/debuglog.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>

#include <netdb.h>

using namespace sshtest;

// A name server that gives the host these loopback ports, in this order.
static QList<quint16> g_ports;
static QList<platform::SocketAddress> listedPorts(const QString &, quint16, platform::ResolveError *error)
{
    QList<platform::SocketAddress> out;
    for (quint16 port : std::as_const(g_ports))
        out += platform::resolveTcp(QStringLiteral("127.0.0.1"), port, error);
    return out;
}

class TestSshSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LanguageManager::setLanguage(QStringLiteral("en")); }

    // A shell over IPv6 from start to exit: the environment report, the size given before open and
    // changed while connected, and keep-alives.
    void shellSession()
    {
        SshConnectParams p = params(scratch("known_hosts"), kSshdPort, QString(), "::1");
        p.keepalive = 1;
        Recorder r(p);
        r.conn.resize(120, 40); // before open: the pseudo-terminal starts at this size
        r.conn.open();
        QVERIFY(r.waitConnected());
        // The probe runs before the channel opens, so its report comes first, once.
        QVERIFY(r.env == "linux" && r.commands.contains("ls") && r.commands.contains("bash"));
        const QByteArray askSize = "echo hv-$(stty size | tr ' ' x)\r";
        r.conn.write(askSize);
        QVERIFY(r.waitData("hv-40x120"));
        r.conn.resize(132, 50);
        r.conn.write(askSize); // queued after the size change, sent after it
        QVERIFY(r.waitData("hv-50x132"));
        // Idle: a keep-alive goes out after a second and is answered.
        QTRY_VERIFY_WITH_TIMEOUT(readFile(debugLogPath()).contains("[SSH] keepalive send ret=0"), 10000);
        r.conn.write("exit\r");
        QVERIFY(r.waitSettled());
        QVERIFY2(r.errors.isEmpty(), qPrintable(r.joinedErrors()));
        QVERIFY(r.disconnects == 1 && !r.conn.isOpen());
    }

    // Raw megabytes, more than the peer's window, echoed while still being sent; then a close sends
    // the disconnect and reports nothing.
    void rawMegabytesThenClose()
    {
        Recorder r(params(scratch("known_hosts"), kSshdPort, "stty raw -echo -iexten; echo \"hv-from $SSH_CONNECTION\"; exec cat"));
        r.conn.open();
        QVERIFY(r.waitData("\n"));
        const qsizetype from = r.data.indexOf("hv-from "), head = r.data.indexOf('\n', from) + 1;
        const QByteArray clientPort = r.data.mid(from, head - from).split(' ').value(2); // of 127.0.0.1
        QByteArray payload(4 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator(11).fillRange(reinterpret_cast<quint32 *>(payload.data()), payload.size() / 4);
        r.conn.write(payload);
        QVERIFY(QTest::qWaitFor([&] { return r.data.size() - head >= payload.size() || r.settled(); }, 60000));
        QVERIFY(r.errors.isEmpty() && r.data.mid(head) == payload);
        const int before = r.events();
        r.conn.close();
        QVERIFY(!r.conn.isOpen());
        QCoreApplication::sendPostedEvents();
        QCOMPARE(r.events(), before);
        const QByteArray expected = "port " + clientPort + ":11: Halvorstead disconnected";
        QVERIFY(QTest::qWaitFor([&] { return readFile(sshdDir() + "/sshd.log").contains(expected); }, testsupport::kWaitMs));
    }

    // Paused, the channel is left unread and its window stops the server; resumed, all arrives.
    void pausedReadingHoldsBackTheServer()
    {
        Recorder r(params(scratch("known_hosts"), kSshdPort, "exec seq 3000000"));
        QByteArray expected;
        for (int i = 1; i <= 3000000; ++i)
            expected += QByteArray::number(i) + '\n';
        QVERIFY(r.conn.open());
        pausecheck::pauseAtFirstBytes(r.conn, [&] { return r.data.size(); }, [&] { return r.settled(); });
        QVERIFY2(r.errors.isEmpty(), qPrintable(r.joinedErrors()));
        QVERIFY(QByteArray(r.data).replace('\r', QByteArray()) == expected);
    }

    // Connecting as the debug log tells it, each step of each address (%1: the silent port, %2: the
    // port asked for); one budget for all addresses: a first one that never answers uses it up and
    // the server behind it is not tried.
    void connectTrace_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("error");
        QTest::addColumn<QStringList>("lines");
        // The resolver asked directly, not through the code under test: EAI_NONAME, or EAI_AGAIN
        // without a name server.
        addrinfo hints{}, *none = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        const int unresolved = ::getaddrinfo("nonexistent.invalid", "22", &hints, &none);
        QVERIFY2(unresolved != 0, "nonexistent.invalid resolved: this resolver cannot show a failure");
        QTest::newRow("name does not resolve") << "nonexistent.invalid" << 22 << QByteArray("无法解析主机：%1（%2）")
                                               << QStringList{"getaddrinfo failed rc=" + QString::number(unresolved) + ' '};
        QTest::newRow("port refused") << "127.0.0.1" << int(testsupport::kRefusedPort) << QByteArray("无法连接到 %1:%2：%3")
                                      << QStringList{"socket created address=127.0.0.1:%2 family=2 type=1 sock=",
                                                     "TCP connect pending/failed address=127.0.0.1:%2 rc=-1 wsa=115",
                                                     "TCP connect select ready address=127.0.0.1:%2 so_error=111"};
        QTest::newRow("silent first address, server second") << "silent-then-server" << kSshdPort << QByteArray("无法连接到 %1:%2：%3")
                                                             << QStringList{"TCP connect deadline reached address=127.0.0.1:%1",
                                                                            "connect stop before address=127.0.0.1:%2 running=1 abort=0"};
    }
    void connectTrace()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QByteArray, error);
        testsupport::SilentListener silent;
        QVERIFY(silent.port());
        g_ports = {silent.port(), quint16(port)};
        Recorder r(params(scratch("known_hosts"), port, QString(), host));
        if (host == u"silent-then-server")
            r.conn.setResolver(listedPorts);
        const qsizetype logStart = readFile(debugLogPath()).size();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(r.runToEnd() && r.failedWith(error.constData()));
        QVERIFY2(clock.elapsed() < 12000, qPrintable(QString::number(clock.elapsed())));
        const QString log = QString::fromUtf8(readFile(debugLogPath()).mid(logStart));
        QFETCH(QStringList, lines);
        for (QString line : lines)
            QVERIFY2(log.contains("[SSH] " + line.replace("%1", QString::number(silent.port())).replace("%2", QString::number(port))), qPrintable(log));
        QVERIFY(!log.contains(password()));
    }

    // Peers that are no SSH server: one that never speaks is left within a wait step when the tab
    // closes, with nothing reported; one answering rubbish fails at once, claiming no time-out.
    void strangePeer_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("silent, tab closed") << QByteArray();
        QTest::newRow("rubbish") << "SSH-2.0-hv_fake\r\n" + QByteArray(64, '\xff');
    }
    void strangePeer()
    {
        QFETCH(QByteArray, answer);
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost));
        connect(&peer, &QTcpServer::newConnection, &peer, [&] {
            QTcpSocket *s = peer.nextPendingConnection();
            s->write(answer);
            if (!answer.isEmpty())
                s->disconnectFromHost();
        });
        Recorder r(params(scratch("known_hosts"), peer.serverPort()));
        r.conn.open();
        if (!answer.isEmpty()) {
            QVERIFY(r.waitSettled());
            QVERIFY(r.failedWith("SSH 握手失败：%1") && !r.errors.first().contains("15000"));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(peer.findChild<QTcpSocket *>(), testsupport::kWaitMs); // in the handshake now
        QElapsedTimer t;
        t.start();
        r.conn.close();
        QVERIFY2(t.elapsed() < 1000, "close waited for the handshake"); // waits are 100 ms at most
        QCoreApplication::sendPostedEvents(); // the worker has ended: anything it sent is queued
        QCOMPARE(r.events(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSshSession)
#include "tst_ssh_session.moc"
