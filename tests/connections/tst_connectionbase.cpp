// The worker-based connection base and the socket layer under it, seen
// through TelnetConnection in raw mode (the thinnest transport).

#include "connectiontestsupport.h"
#include "pausecheck.h"

#include "connections/telnetconnection.h"
#include "core/languagemanager.h"
#include "platform/socket.h"

#include <QRegularExpression>
#include <QSemaphore>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <thread>

#include <sys/socket.h>

using namespace testsupport;

// Raw mode, and a look at the current worker.
struct RawTelnet : TelnetConnection
{
    RawTelnet(quint16 port = 0, const QString &host = "127.0.0.1")
    {
        this->host = host;
        this->port = port;
        telnetMode = false;
    }
    ConnectionWorker *worker() const { return m_worker; }
};

class TestConnectionBase : public QObject
{
    Q_OBJECT

private slots:
    // 8 MiB is the bound: a chunk that fits exactly is taken, one byte more is
    // refused whole with sendQueueFull, and everything accepted reaches the peer
    // once the worker starts (bytes may be queued before the link is up) and
    // comes back from cat unchanged, every byte value in chunks of assorted
    // sizes. Or all of it is dropped (a transfer taking back what its gone
    // peer would not read): nothing of it goes out, and the queue is empty.
    void queueBound_data()
    {
        QTest::addColumn<int>("extra");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("dropped");
        QTest::newRow("fits exactly") << 8 << true << false;
        QTest::newRow("one byte over") << 9 << false << false;
        QTest::newRow("empty write") << 0 << true << false;
        QTest::newRow("dropped before the link is up") << 8 << true << true;
    }
    void queueBound()
    {
        QFETCH(int, extra);
        QFETCH(bool, accepted);
        RawTelnet c(kEchoPort);
        Recorder rec(&c);
        QSignalSpy full(&c, &Connection::sendQueueFull);
        QByteArray payload(8388600, Qt::Uninitialized);
        for (int i = 0; i < payload.size(); ++i)
            payload[i] = char((i * 7 + i / 256) & 0xFF);
        QRandomGenerator rng(5);
        for (int at = 0, n = 0; at < payload.size(); at += n) {
            n = qMin(payload.size() - at, 1 + int(rng.bounded(65536)));
            c.write(payload.mid(at, n));
        }
        c.write(QByteArray(extra, 'b'));
        // Told apart from a broken link: the session stays up.
        QCOMPARE(full.count(), accepted ? 0 : 1);
        QVERIFY(rec.errors.isEmpty());
        QFETCH(bool, dropped);
        if (dropped) {
            c.discardQueued();
            QCOMPARE(c.pendingBytes(), 0);
        }
        QVERIFY(c.open() && rec.waitConnected());
        c.write("!end"); // the echo keeps the order: nothing may come before it but the queue
        QVERIFY(rec.waitData("!end"));
        QVERIFY(rec.data == (dropped ? QByteArray() : payload + QByteArray(accepted ? extra : 0, 'b')) + "!end");
    }

    // A stopped worker's emissions that are already on their way (queued to the
    // GUI thread) must not reach the owner after the second open. No events are
    // served until then; the test learns in the worker thread itself that the
    // first worker has emitted its data (after its connected()), and the probe
    // runs after the relay that queues the data for the GUI thread. A close
    // before any open does nothing.
    void openTwiceSilencesFirstWorker()
    {
        ScriptedPeer peer;
        QVERIFY(peer.listen());
        RawTelnet c(peer.port());
        Recorder rec(&c);
        c.close();
        QVERIFY(!c.isOpen() && c.open());
        QSemaphore emitted;
        connect(c.worker(), &ConnectionWorker::sigData, c.worker(), [&] { emitted.release(); }, Qt::DirectConnection);
        QVERIFY(peer.accept(false) && peer.send("from-first"));
        QVERIFY(emitted.tryAcquire(1, kWaitMs));

        QVERIFY(c.open() && peer.accept() && rec.waitConnected());
        QVERIFY(peer.send("from-second") && rec.waitData("from-second"));
        QCOMPARE(rec.connects + rec.disconnects, 1);
        QCOMPARE(rec.data, QByteArray("from-second"));
        QVERIFY(rec.errors.isEmpty());
    }

    void connectFailures_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("message");
        // The system's reason comes with the message.
        const QString refused = LanguageManager::tr("无法连接到 %1:%2：%3");
        const QString why = platform::errorString(ECONNREFUSED);
        QTest::newRow("name does not resolve") << "nonexistent.invalid" << LanguageManager::tr("无法解析主机：%1（%2）").arg("nonexistent.invalid", "*");
        QTest::newRow("port refused") << "127.0.0.1" << refused.arg("127.0.0.1").arg(kRefusedPort).arg(why);
        QTest::newRow("port refused on ::1") << "::1" << refused.arg("::1").arg(kRefusedPort).arg(why);
    }
    void connectFailures()
    {
        QFETCH(QString, host);
        QFETCH(QString, message);
        RawTelnet c(kRefusedPort, host);
        Recorder rec(&c);
        QVERIFY(c.open() && rec.waitEnd());
        QCOMPARE(rec.errors.size(), 1);
        // "*": a reason that depends on the resolver, but is there.
        QStringList parts = message.split('*');
        for (QString &part : parts)
            part = QRegularExpression::escape(part);
        QVERIFY2(QRegularExpression('^' + parts.join(".+") + '$').match(rec.errors.first()).hasMatch(),
                 qPrintable(rec.errors.first()));
        QCOMPARE(rec.connects + rec.disconnects, 0);
        QVERIFY(!c.isOpen());
    }

    // A listener whose accept queue is full drops further SYNs, so the next
    // connect hangs in progress: close must end the worker through the wake
    // descriptor instead of waiting out the 10 s budget.
    void closeDuringBlockedConnect()
    {
        SilentListener silent;
        QVERIFY(silent.port());
        RawTelnet c(silent.port());
        Recorder rec(&c);
        QVERIFY(c.open());
        QTest::qWait(300); // inside the connect by now
        QElapsedTimer clock;
        clock.start();
        c.close();
        // Far below the connect budget; the wake makes it a few milliseconds.
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QCoreApplication::processEvents();
        QCOMPARE(rec.connects + rec.disconnects + rec.errors.size(), 0);
    }

    // A peer that stops reading and then resets: the worker is blocked sending
    // the 8 MiB queue; the failed send ends the link and is reported once.
    void peerResetDuringBlockedSend()
    {
        ScriptedPeer peer;
        RawTelnet c;
        Recorder rec(&c);
        c.write(QByteArray(8 * 1024 * 1024, 'x'));
        QVERIFY(openAgainst(peer, c) && rec.waitConnected());
        QVERIFY(peer.read(4096).size() == 4096); // the send is under way
        peer.resetClient();
        QVERIFY(rec.waitEnd());
        QCOMPARE(rec.disconnects + rec.errors.size(), 1);
        QVERIFY(QTest::qWaitFor([&] { return !c.isOpen(); }, kWaitMs));
    }

    // A peer far faster than its reader: paused, the socket holds it back;
    // resumed, the stream arrives whole.
    void pausedReadingHoldsBackThePeer()
    {
        ScriptedPeer peer;
        RawTelnet c;
        Recorder rec(&c);
        QVERIFY(openAgainst(peer, c));
        QByteArray payload(32 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator(3).fillRange(reinterpret_cast<quint32 *>(payload.data()), payload.size() / 4);
        std::thread producer([&] { peer.send(payload); });
        pausecheck::pauseAtFirstBytes(c, [&] { return rec.data.size(); }, [&] { return rec.data.size() >= payload.size(); });
        c.setReadPaused(false); // lets the producer finish even after a failure
        producer.join();
        QVERIFY(rec.data == payload);
    }
};

QTEST_GUILESS_MAIN(TestConnectionBase)
#include "tst_connectionbase.moc"
