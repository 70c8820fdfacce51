// The worker-based connection base and the socket layer under it, seen
// through TelnetConnection in raw mode (the thinnest transport).

#include "connectiontestsupport.h"

#include "connections/telnetconnection.h"
#include "core/languagemanager.h"

#include <QFile>
#include <QSemaphore>
#include <QTest>

#include <sys/socket.h>

using namespace testsupport;

// Sockets in SYN_SENT towards 127.0.0.1:port (this network namespace).
int connectsInProgress(quint16 port)
{
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray remote = "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    int n = 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        n += fields.size() > 3 && fields[2] == remote && fields[3] == "02";
    }
    return n;
}

// Lets the test see its current worker.
class ProbedTelnet : public TelnetConnection
{
public:
    ConnectionWorker *worker() const { return m_worker; }
};

class TestConnectionBase : public QObject
{
    Q_OBJECT

    static void aimRaw(TelnetConnection &c, quint16 port, const QString &host = QStringLiteral("127.0.0.1"))
    {
        c.host = host;
        c.port = port;
        c.telnetMode = false;
    }

private slots:
    void queueBound_data();
    void queueBound();
    void closeNeverOpened();
    void openTwiceSilencesFirstWorker();
    void connectFailures_data();
    void connectFailures();
    void closeDuringBlockedConnect();
    void peerResetDuringBlockedSend();
    void reopenAfterPeerClose();
};

// 8 MiB is the bound: a chunk that fits exactly is taken, one byte more is
// refused whole with the message, and everything accepted reaches the peer
// once the worker starts (bytes may be queued before the link is up).
void TestConnectionBase::queueBound_data()
{
    QTest::addColumn<int>("extra");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("fits exactly") << 8 << true;
    QTest::newRow("one byte over") << 9 << false;
    QTest::newRow("empty write") << 0 << true;
}

void TestConnectionBase::queueBound()
{
    QFETCH(int, extra);
    QFETCH(bool, accepted);
    TelnetConnection c;
    aimRaw(c, kEchoPort);
    Recorder rec(&c);
    c.write(QByteArray(8388600, 'a'));
    c.write(QByteArray(extra, 'b'));
    QCOMPARE(rec.errors, accepted ? QStringList() : QStringList{LanguageManager::tr("发送队列已满，数据未发送")});
    rec.errors.clear();

    QVERIFY(c.open());
    QVERIFY(rec.waitConnected());
    c.write("!end"); // the echo keeps the order: nothing may come before it but the queue
    QVERIFY(rec.waitData("!end"));
    QCOMPARE(rec.data.size(), 8388600 + (accepted ? extra : 0) + 4);
    QCOMPARE(rec.data.count('b'), accepted ? extra : 0);
}

void TestConnectionBase::closeNeverOpened()
{
    TelnetConnection c;
    Recorder rec(&c);
    c.write("queued");
    c.close();
    QVERIFY(!c.isOpen());
    QCoreApplication::processEvents();
    QCOMPARE(rec.connects + rec.disconnects + rec.errors.size(), 0);
}

// A stopped worker's emissions that are already on their way (queued to the
// GUI thread) must not reach the owner after the second open. No events are
// served until then; the test learns in the worker thread itself that the
// first worker has emitted its data (after its connected()), and the probe
// runs after the relay that queues the data for the GUI thread.
void TestConnectionBase::openTwiceSilencesFirstWorker()
{
    ScriptedPeer peer;
    ProbedTelnet c;
    Recorder rec(&c);
    QVERIFY(peer.listen());
    aimRaw(c, peer.port());
    QVERIFY(c.open());
    QSemaphore emitted;
    connect(c.worker(), &ConnectionWorker::sigData, c.worker(), [&] { emitted.release(); }, Qt::DirectConnection);
    QVERIFY(peer.accept(false));
    QVERIFY(peer.send("from-first"));
    QVERIFY(emitted.tryAcquire(1, kWaitMs));

    QVERIFY(c.open());
    QVERIFY(peer.accept());
    QVERIFY(rec.waitConnected());
    QVERIFY(peer.send("from-second"));
    QVERIFY(rec.waitData("from-second"));
    QCOMPARE(rec.connects, 1);
    QCOMPARE(rec.data, QByteArray("from-second"));
    QVERIFY(rec.errors.isEmpty());
}

void TestConnectionBase::connectFailures_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("message");
    QTest::newRow("name does not resolve") << "nonexistent.invalid" << 23
                                           << LanguageManager::tr("无法解析主机：%1").arg("nonexistent.invalid");
    QTest::newRow("port refused") << "127.0.0.1" << int(kRefusedPort)
                                  << LanguageManager::tr("无法连接到 %1:%2").arg("127.0.0.1").arg(kRefusedPort);
    QTest::newRow("port refused on ::1") << "::1" << int(kRefusedPort)
                                         << LanguageManager::tr("无法连接到 %1:%2").arg("::1").arg(kRefusedPort);
}

void TestConnectionBase::connectFailures()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, message);
    TelnetConnection c;
    aimRaw(c, quint16(port), host);
    Recorder rec(&c);
    QVERIFY(c.open());
    QVERIFY(rec.waitEnd());
    QCOMPARE(rec.errors, QStringList{message});
    QCOMPARE(rec.connects + rec.disconnects, 0);
    QVERIFY(!c.isOpen());
}

// A listener whose accept queue is full drops further SYNs, so the next
// connect hangs in progress: close must end the worker through the wake
// descriptor instead of waiting out the 10 s budget.
void TestConnectionBase::closeDuringBlockedConnect()
{
    ScriptedPeer peer; // owns the port; its own listen queue is replaced below
    QVERIFY(peer.listen());
    const int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(peer.port() + 40)); // outside the scripted range's users
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(full, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    QVERIFY(::bind(full, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
    QVERIFY(::listen(full, 0) == 0);
    QList<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(f, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fillers << f;
    }
    const quint16 port = ntohs(a.sin_port);
    QVERIFY(QTest::qWaitFor([&] { return connectsInProgress(port) > 0; }, kWaitMs));
    const int before = connectsInProgress(port);

    TelnetConnection c;
    aimRaw(c, port);
    Recorder rec(&c);
    QVERIFY(c.open());
    QVERIFY(QTest::qWaitFor([&] { return connectsInProgress(port) > before; }, kWaitMs)); // inside the connect
    QElapsedTimer clock;
    clock.start();
    c.close();
    const qint64 took = clock.elapsed();
    // Far below the connect budget; the wake makes it a few milliseconds.
    QVERIFY2(took < 1000, qPrintable(QString::number(took)));
    QCoreApplication::processEvents();
    QCOMPARE(rec.connects + rec.disconnects + rec.errors.size(), 0);
    for (int f : fillers)
        ::close(f);
    ::close(full);
}

// A peer that stops reading and then resets: the worker is blocked sending
// the 8 MiB queue; the failed send ends the link and is reported once.
void TestConnectionBase::peerResetDuringBlockedSend()
{
    ScriptedPeer peer;
    TelnetConnection c;
    c.telnetMode = false;
    Recorder rec(&c);
    c.write(QByteArray(8 * 1024 * 1024, 'x'));
    QVERIFY(openAgainst(peer, c));
    QVERIFY(rec.waitConnected());
    QVERIFY(peer.read(4096).size() == 4096); // the send is under way
    peer.resetClient();
    QVERIFY(rec.waitEnd());
    QCOMPARE(rec.disconnects + rec.errors.size(), 1);
    QVERIFY(rec.waitUntil([&] { return !c.isOpen(); }));
}

void TestConnectionBase::reopenAfterPeerClose()
{
    ScriptedPeer peer;
    TelnetConnection c;
    c.telnetMode = false;
    Recorder rec(&c);
    QVERIFY(openAgainst(peer, c));
    QVERIFY(rec.waitConnected());
    peer.closeClient();
    QVERIFY(rec.waitEnd());
    QCOMPARE(rec.disconnects, 1);
    QVERIFY(rec.waitUntil([&] { return !c.isOpen(); }));

    QVERIFY(c.open());
    QVERIFY(peer.accept());
    QVERIFY(rec.waitUntil([&] { return rec.connects == 2; }));
    c.write("again");
    QCOMPARE(peer.read(5), QByteArray("again"));
    c.close();
    QVERIFY(!c.isOpen());
    QVERIFY(peer.waitClosed());
}

QTEST_GUILESS_MAIN(TestConnectionBase)
#include "tst_connectionbase.moc"
