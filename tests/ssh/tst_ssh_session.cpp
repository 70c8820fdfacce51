// The interactive session against the real sshd: shell and command, the
// remote-environment report, size changes, large raw transfers, the end of a
// session from either side, keep-alive, and closing while connecting.

#include "sshtest.h"

#include "core/debuglog.h"
#include "core/languagemanager.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace sshtest;

class TestSshSession : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    SshConnectParams base()
    {
        SshConnectParams p = params();
        p.knownHostsPath = m_tmp.filePath(QStringLiteral("known_hosts"));
        return p;
    }

    // Closes a connection that is still busy with its first steps: close()
    // must not wait for the step's own time-out, and nothing may follow.
    static void checkPromptClose(Recorder &r, const char *step)
    {
        QTest::qWait(300);
        QVERIFY(r.errors.isEmpty()); // still busy
        QElapsedTimer t;
        t.start();
        r.conn.close();
        const qint64 ms = t.elapsed();
        qInfo("close during %s took %lld ms", step, ms);
        QVERIFY2(ms < 1000, step);
        QTest::qWait(100);
        QCOMPARE(r.events(), 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        LanguageManager::setLanguage(QStringLiteral("en"));
    }

    void shellReportsEnvironmentAndEndsWithExit()
    {
        Recorder r(base());
        r.conn.open();
        QVERIFY(r.waitConnected());
        QVERIFY(r.conn.isOpen());
        // The probe runs before the channel opens, so its report comes first.
        QCOMPARE(r.remoteEnvs, 1);
        QCOMPARE(r.env, QStringLiteral("linux"));
        QVERIFY(r.commands.contains(QStringLiteral("ls")));
        QVERIFY(r.commands.contains(QStringLiteral("bash")));
        QCOMPARE(QSet<QString>(r.commands.begin(), r.commands.end()).size(), r.commands.size());

        r.conn.write("echo hv-$((6*7))-done\r");
        QVERIFY(r.waitData("hv-42-done"));
        r.conn.write("exit\r");
        QVERIFY(r.waitSettled());
        QVERIFY(r.errors.isEmpty());
        QCOMPARE(r.disconnected, 1);
        QVERIFY(!r.conn.isOpen());
    }

    void sizeBeforeOpenAndWhileConnected()
    {
        SshConnectParams p = base();
        p.remoteCommand = QStringLiteral("stty size; read line; stty size; sleep 0.2");
        Recorder r(p);
        r.conn.resize(120, 40); // before open: the pseudo-terminal starts at this size
        r.conn.open();
        QVERIFY(r.waitData("40 120"));
        r.conn.resize(132, 50);
        // The window change goes ahead of the bytes queued after it.
        r.conn.write("\r");
        QVERIFY(r.waitData("50 132"));
        QVERIFY(r.waitSettled());
        QVERIFY(r.errors.isEmpty());
    }

    void refusedPseudoTerminalStillRunsTheCommand()
    {
        SshConnectParams p = base();
        p.auth = QStringLiteral("Public Key");
        p.privateKey = keyPath("id_ed25519_nopty"); // the server grants this key no terminal
        p.password.clear();
        p.remoteCommand = QStringLiteral("tty; echo hv-nopty-$((2+3))");
        Recorder r(p);
        r.conn.open();
        QVERIFY(r.waitSettled());
        QVERIFY2(r.errors.isEmpty(), qPrintable(r.errors.join(QLatin1Char('|'))));
        QCOMPARE(r.connected, 1);
        QVERIFY(r.data.contains("not a tty"));
        QVERIFY(r.data.contains("hv-nopty-5"));
    }

    void rawMegabytesBothWays()
    {
        SshConnectParams p = base();
        p.remoteCommand = QStringLiteral("stty raw -echo -iexten; echo hv-ready; exec cat");
        Recorder r(p);
        r.conn.open();
        QVERIFY(r.waitData("hv-ready\n"));
        const qsizetype head = r.data.indexOf("hv-ready\n") + 9;
        QByteArray payload(4 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator gen(11);
        gen.fillRange(reinterpret_cast<quint32 *>(payload.data()), payload.size() / 4);
        // Larger than the peer's window, and echoed while it is still sent.
        r.conn.write(payload);
        QVERIFY(QTest::qWaitFor([&] { return r.data.size() - head >= payload.size() || r.settled(); }, 60000));
        QVERIFY(r.errors.isEmpty());
        QCOMPARE(r.data.size() - head, payload.size());
        QVERIFY(r.data.mid(head) == payload);
    }

    void closeSendsDisconnectAndEmitsNothing()
    {
        SshConnectParams p = base();
        p.remoteCommand = QStringLiteral("echo \"hv-from $SSH_CONNECTION\"; exec sleep 30");
        Recorder r(p);
        r.conn.open();
        QVERIFY(r.waitData("hv-from "));
        QVERIFY(QTest::qWaitFor([&] { return r.data.contains('\n'); }, 5000));
        const QRegularExpression re(QStringLiteral("hv-from \\S+ (\\d+) "));
        const QRegularExpressionMatch m = re.match(QString::fromUtf8(r.data));
        QVERIFY(m.hasMatch());
        const QString clientPort = m.captured(1);
        const int before = r.events();
        r.conn.close();
        QVERIFY(!r.conn.isOpen());
        QTest::qWait(200);
        QCOMPARE(r.events(), before);
        const QByteArray expected = "port " + clientPort.toUtf8() + ":11: Halvorstead disconnected";
        QVERIFY(QTest::qWaitFor([&] { return readFile(sshdDir() + QStringLiteral("/sshd.log")).contains(expected); }, 5000));
    }

    void keepaliveKeepsTheSession()
    {
        SshConnectParams p = base();
        p.keepalive = 1;
        Recorder r(p);
        r.conn.open();
        QVERIFY(r.waitConnected());
        QTest::qWait(2500); // idle: at least one keep-alive goes out
        r.conn.write("echo hv-still-$((1+1))\r");
        QVERIFY(r.waitData("hv-still-2"));
        QVERIFY(r.errors.isEmpty());
        QVERIFY(readFile(debugLogPath()).contains("[SSH] keepalive send ret=0"));
    }

    void refusedPortIsReported()
    {
        QTcpServer probe; // a free port, then nothing listens on it
        QVERIFY(probe.listen(QHostAddress::LocalHost, 22210));
        probe.close();
        SshConnectParams p = base();
        p.port = 22210;
        Recorder r(p);
        r.conn.open();
        QVERIFY(r.waitSettled());
        QCOMPARE(r.errors, QStringList{LanguageManager::tr(QStringLiteral("无法连接到 %1:%2")).arg(p.host).arg(22210)});
        QCOMPARE(r.connected + r.disconnected, 0);
    }

    void closeWhileConnecting()
    {
        // A listener whose queue is full drops further handshakes, so the
        // TCP connect stays pending.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(22211);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
        QVERIFY(::listen(fd, 0) == 0);
        QList<QTcpSocket *> fillers;
        for (int i = 0; i < 3; ++i) {
            auto *s = new QTcpSocket(this);
            s->connectToHost(QHostAddress::LocalHost, 22211);
            fillers << s;
        }
        QTest::qWait(200);

        SshConnectParams p = base();
        p.port = 22211;
        Recorder r(p);
        r.conn.open();
        checkPromptClose(r, "the TCP connect");
        qDeleteAll(fillers);
        ::close(fd);
    }

    void closeDuringHandshake()
    {
        // A server that accepts and never says a word.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 22212));
        SshConnectParams p = base();
        p.port = 22212;
        Recorder r(p);
        r.conn.open();
        QVERIFY(silent.waitForNewConnection(5000));
        checkPromptClose(r, "the handshake");
    }
};

QTEST_GUILESS_MAIN(TestSshSession)
#include "tst_ssh_session.moc"
