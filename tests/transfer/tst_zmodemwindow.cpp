// The ZMODEM sender's window against simulated links: how far the data
// runs past the receiver's ZACKs as they show the link fast, slow or slowing,
// and that a ZACK is always owed. The links and the sender's timers run on
// a clock of the test's own. The real links are in tst_zmodemlinks.

#include "tests/transfer/zmodemtest.h"

#include <QHash>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <functional>
#include <map>
#include <utility>

namespace {

// A clock the rows run themselves: the sender's timers and the simulated
// line's events run in the order of their times, and time leaps from one
// to the next, so that a row measures the link it simulates and not how
// busy the machine is.
class SimClock : public LinkClock
{
public:
    qint64 nowUs() const override { return m_now; }
    // `fn` runs at `atUs`, after what is due by then already.
    void at(qint64 atUs, std::function<void()> fn) { m_events.emplace(Key{qMax(atUs, m_now), m_seq++}, Event{nullptr, std::move(fn)}); }
    // The machine stands still: what falls due meanwhile runs late.
    void stall(qint64 us) { m_now += us; }
    // Time passes by `us`, or until `done`; whether it is done.
    bool run(qint64 us, const std::function<bool()> &done = [] { return false; })
    {
        const qint64 end = m_now + us;
        for (int left = 10'000'000; !done() && !m_events.empty() && m_events.begin()->first.first <= end; --left) {
            if (left == 0)
                return false; // something keeps itself due at once
            auto [key, event] = *m_events.begin();
            m_events.erase(m_events.begin());
            m_now = qMax(m_now, key.first);
            if (event.timer)
                m_timers.remove(event.timer), fire(event.timer);
            else
                event.fn();
        }
        if (!done())
            m_now = qMax(m_now, end);
        return done();
    }

protected:
    void schedule(ClockTimer *timer, qint64 dueUs) override
    {
        if (m_timers.contains(timer))
            m_events.erase(m_timers.take(timer));
        if (dueUs >= 0)
            m_events.emplace(m_timers[timer] = Key{dueUs, m_seq++}, Event{timer, {}});
    }

private:
    using Key = std::pair<qint64, quint64>;
    struct Event {
        ClockTimer *timer;
        std::function<void()> fn;
    };
    std::map<Key, Event> m_events;
    QHash<ClockTimer *, Key> m_timers;
    qint64 m_now = 0;
    quint64 m_seq = 0;
};

// Our data over a line of a rate of its own, each ZACK asked for coming
// back a round trip after the receiver had the data, on the SimClock. What
// came back is read as a connection reads: all that arrived since the last
// read, in one go.
struct SimLine {
    SimClock clock;
    // The machine's time and Qt's timers in place of the clock, the sender's
    // left on its own: the row runs in real time.
    bool machine = false;
    QObject timers;
    qint64 nowUs() const { return machine ? machineUs() : clock.nowUs(); }
    void at(qint64 atUs, std::function<void()> fn)
    {
        if (!machine)
            return clock.at(atUs, std::move(fn));
        QTimer::singleShot(int(qMax<qint64>(0, atUs - nowUs()) / 1000), Qt::PreciseTimer, &timers, std::move(fn));
    }
    qint64 oneWayUs = 0;
    std::function<qint64(qint64 at)> rate = [](qint64) { return qint64(0); }; // bytes a second from `at`; 0: at once
    // When the ZACK for `at`, the `nth` asked for, comes, `dueUs` as the line carries it; -1: never.
    std::function<qint64(qint64 dueUs, qint64 at, int nth)> zackDue = [](qint64 dueUs, qint64, int) { return dueUs; };
    std::function<void()> onData = [] {}; // after each data subpacket went
    bool carrying = false; // the data of a stream; the headers are not
    qint64 written = 0, acked = 0, lineFreeUs = 0, inboundAcked = 0;
    quint32 widest = 0; // the window after a read
    QList<qint64> asked; // where our subpackets asked for a ZACK
    QByteArray inbound;

    TransferSendFn out(Harness &h)
    {
        return [this, &h](const QByteArray &b) {
            h.sent << b;
            if (!carrying || b.startsWith("*\x18" "A") || b.contains(ZmodemTransfer::stopSequence()))
                return;
            for (const QString &frame : describe(bin(ZDATA) + b).filter(QRegularExpression("^data "))) {
                const qint64 n = frame.section(' ', 1, 1).toInt(), r = rate(written);
                lineFreeUs = qMax(lineFreeUs, nowUs()) + (r > 0 ? n * 1'000'000 / r : 0);
                written += n;
                onData();
                if (!frame.endsWith(" j"))
                    continue;
                asked << written;
                const qint64 due = zackDue(lineFreeUs + 2 * oneWayUs, written, int(asked.size()));
                if (due >= 0)
                    arrive(h, written, due);
            }
        };
    }
    void arrive(Harness &h, qint64 zack, qint64 atUs)
    {
        at(atUs, [this, &h, zack] {
            if (inbound.isEmpty())
                at(nowUs(), [this, &h] {
                    acked = qMax(acked, inboundAcked);
                    h.transfer.feed(std::exchange(inbound, {}));
                    widest = qMax(widest, h.transfer.aheadBound());
                });
            inbound += hex(ZACK, quint32(zack));
            inboundAcked = qMax(inboundAcked, zack);
        });
    }
    // A send of a big file on this line, the receiver's ZRINIT taken.
    void startSend(Harness &h, int size)
    {
        h.transfer.setManualClock(true);
        if (!machine)
            h.transfer.setLinkClock(&clock);
        h.transfer.startSend(out(h), QStringLiteral("s"), {h.file("big", QByteArray(size, 'b'))});
        h.transfer.feed(hex(ZRINIT));
    }
    // The receiver's ZRPOS for the start: the data flows.
    void startData(Harness &h)
    {
        carrying = true;
        lineFreeUs = nowUs();
        h.transfer.feed(hex(ZRPOS));
    }
};

struct FirstRound {
    quint32 window = 0;
    quint32 widest = 0;
    QString summary;
};
// The first round of a send over a simulated line, on an engine that has
// sent over a fast link before or not; see senderFirstRound.
FirstRound firstRound(int oneWayMs, int rate, int offerLateMs, bool together, bool afterFastRun)
{
    // Outlive the harness: its end cancels the run, which writes.
    SimLine fast, line;
    line.oneWayUs = oneWayMs * 1000;
    line.rate = [rate](qint64) { return qint64(rate); };
    const qint64 firstWindowDueUs = 2 * line.oneWayUs + (rate > 0 ? (12 << 10) * 1'000'000LL / rate : 0);
    qint64 startUs = 0;
    // ZACKs due at once come in one read.
    if (together)
        line.zackDue = [&](qint64 due, qint64 at, int) { return at <= 12 << 10 ? startUs + firstWindowDueUs : due; };
    Harness h;
    if (afterFastRun) {
        // 2 MB/s, 50 ms each way, for a second.
        fast.oneWayUs = 50'000;
        fast.rate = [](qint64) { return qint64(2'000'000); };
        fast.startSend(h, 64 << 20);
        fast.clock.run(100'000);
        fast.startData(h);
        fast.clock.run(1'000'000);
        h.transfer.cancel();
        fast.carrying = false;
        h.summary = kRunning;
    }
    line.startSend(h, 64 << 20);
    line.clock.run((2 * oneWayMs + offerLateMs) * 1000);
    startUs = line.clock.nowUs();
    line.startData(h);
    line.clock.run(firstWindowDueUs + 30'000);
    return {h.transfer.aheadBound(), line.widest, h.summary};
}

} // namespace

class TestZmodemWindow : public QObject
{
    Q_OBJECT

private slots:
    // No ZACK owed (none asked for yet: the connection is full) when a line
    // of the host's comes: a live receiver would say nothing, so an empty
    // subpacket asks it. Its ZACK keeps the run; without one the shell is back.
    void senderAsksWhenNoZackOwed()
    {
        for (const bool answered : {false, true}) {
            Harness h;
            h.transfer.setBacklog([] { return qint64(1 << 20); });
            h.send({h.file("big", QByteArray(200000, 'b'))});
            h.transfer.feed(hex(ZRINIT));
            h.transfer.feed(hex(ZRPOS));
            h.settle();
            (void)h.takeWire();
            h.transfer.feed("\r\nBroadcast message: back soon\r\n");
            QCOMPARE(h.takeWire(), dataSubpacket({}, ZCRCQ));
            if (answered)
                h.transfer.feed(hex(ZACK));
            h.tick();
            h.settle();
            QCOMPARE(h.summary, answered ? QString(kRunning) : QStringLiteral("对端已退出，中止"));
            QVERIFY(h.shown.contains("Broadcast") || !answered);
            QCOMPARE(h.takeWire().endsWith(ZmodemTransfer::stopSequence()), !answered);
        }
    }
    // ZACKs slow down after a fast start, while the connection is full: the
    // window shrinks below what went out past the last point a ZACK was
    // asked for, and none is owed. Once the connection has room, the next
    // subpacket asks for one at once: nothing else would move the stream.
    void senderWindowShrinks()
    {
        qint64 blockAt = 0, point = 0;
        qsizetype first = -1; // asked.size() when the ZACKs stopped
        bool acking = true;
        SimLine line; // outlives the harness: its end cancels the run, which writes
        // A link 10 ms each way, as fast as we write.
        line.oneWayUs = 10'000;
        line.zackDue = [&](qint64 due, qint64 at, int nth) {
            // The connection fills 7/8 of the spacing past the second
            // point asked for once the ZACKs stopped.
            if (first >= 0 && nth == first + 2) {
                point = at;
                blockAt = point + (point - line.asked.at(first)) * 7 / 8;
            }
            return acking ? due : -1;
        };
        Harness h;
        h.transfer.setBacklog([&] { return blockAt > 0 && line.written >= blockAt ? qint64(1) << 30 : 0; });
        line.startSend(h, 64 << 20);
        line.clock.run(20'000);
        line.startData(h);
        QVERIFY2(line.clock.run(10'000'000, [&] { return h.transfer.aheadBound() >= 768 << 10; }),
                 qPrintable(QStringLiteral("the window grew to %1 only").arg(h.transfer.aheadBound())));
        // The ZACKs for the next two points asked for come 300 ms apart.
        acking = false;
        first = line.asked.size();
        QVERIFY(line.clock.run(30'000'000, [&] { return blockAt > 0 && line.written >= blockAt; }));
        line.clock.run(100'000); // the ZACKs asked for before
        const QList<qint64> owed = line.asked.mid(first);
        QVERIFY2(!owed.isEmpty() && owed.last() == point, qPrintable(QStringLiteral("asked for at %1 to %2, the point %3").arg(owed.value(0)).arg(owed.value(owed.size() - 1)).arg(point)));
        for (const qint64 at : owed) {
            line.clock.run(300'000);
            h.transfer.feed(hex(ZACK, quint32(at)));
        }
        QVERIFY2(h.transfer.aheadBound() < line.written - point,
                 qPrintable(QStringLiteral("the window is %1 after ZACKs 300 ms apart").arg(h.transfer.aheadBound())));
        blockAt = 0;
        QVERIFY2(line.clock.run(10'000'000, [&] { return line.asked.size() > first + owed.size(); }),
                 "the stream stalls: no ZACK owed, and none asked for");
        QCOMPARE(h.summary, kRunning);
    }
    // A slow link whose ZACKs now and then come two in one go, a
    // millisecond apart (a line that held one back): the pair is no sign of
    // a fast link, and the window stays what the link carries, not seconds
    // of it.
    void senderSlowLinkBunchedZacks()
    {
        SimLine line; // outlives the harness: its end cancels the run, which writes
        // 20 KB/s, 25 ms each way; every third ZACK 2 ms before the next.
        line.oneWayUs = 25'000;
        line.rate = [](qint64) { return qint64(20'000); };
        line.zackDue = [](qint64 due, qint64, int nth) { return due + (nth % 3 == 0 ? 98'000 : 0); };
        Harness h;
        line.startSend(h, 4 << 20);
        line.clock.run(50'000);
        line.startData(h);
        line.clock.run(1'500'000);
        QVERIFY2(line.written >= 24 << 10, qPrintable(QStringLiteral("only %1 bytes went out").arg(line.written)));
        QVERIFY2(line.widest <= 16 << 10, qPrintable(QStringLiteral("the window grew to %1 on a 20 KB/s link").arg(line.widest)));
        // Below where it started: what lands in the shell of a receiver
        // killed now is redrawn byte by byte over this slow line.
        QVERIFY2(h.transfer.aheadBound() <= 4 << 10,
                 qPrintable(QStringLiteral("the window holds %1 on a 20 KB/s link").arg(h.transfer.aheadBound())));
        QCOMPARE(h.summary, kRunning);
    }
    // The ZACKs of a stream's first data, all of which went out before any
    // came back: the window no more than doubles, whether they come back
    // together (a fast link, or a line that held them), spread at a slow
    // link's pace after the offer's answer came late (a receiver slow to
    // open its file), or the engine's last run went over a fast link.
    void senderFirstRound_data()
    {
        QTest::addColumn<int>("oneWayMs");
        QTest::addColumn<int>("rate"); // bytes a second; 0: at once
        QTest::addColumn<int>("offerLateMs");
        QTest::addColumn<bool>("together"); // the first window's ZACKs come when its last is due
        QTest::addColumn<bool>("afterFastRun"); // the engine sent over a fast link before
        QTest::addColumn<quint32>("least");
        QTest::addColumn<quint32>("most");
        // Twice the start at most: the ZACKs came back together, which
        // tells a round trip, not how fast the link is.
        QTest::newRow("fast, 100 ms each way") << 100 << 0 << 0 << false << false << (12u << 10) << (24u << 10);
        QTest::newRow("fast, 25 ms each way") << 25 << 0 << 0 << false << false << (12u << 10) << (24u << 10);
        QTest::newRow("20 KB/s, 25 ms each way, ZACKs held together") << 25 << 20000 << 0 << true << false << 0u << (16u << 10);
        // Held, they came what the link took to carry the data past the
        // offer's round trip: as a rate, eight times the start in a round trip.
        QTest::newRow("500 KB/s, 50 ms each way, ZACKs held together") << 50 << 500000 << 0 << true << false << 0u << (24u << 10);
        // The ZACKs spread at the link's pace: what it carried in a round trip, twice.
        QTest::newRow("100 KB/s, 100 ms each way, the offer answered 400 ms late")
            << 100 << 100000 << 400 << false << false << 0u << (24u << 10);
        QTest::newRow("50 MB/s, 50 ms each way") << 50 << 50000000 << 0 << false << false << (12u << 10) << (24u << 10);
        QTest::newRow("20 KB/s, 100 ms each way, after a fast run") << 100 << 20000 << 0 << false << true << 0u << (16u << 10);
    }
    void senderFirstRound()
    {
        QFETCH(int, oneWayMs);
        QFETCH(int, rate);
        QFETCH(int, offerLateMs);
        QFETCH(bool, together);
        QFETCH(bool, afterFastRun);
        QFETCH(quint32, least);
        QFETCH(quint32, most);
        const FirstRound round = firstRound(oneWayMs, rate, offerLateMs, together, afterFastRun);
        QVERIFY2(round.window >= least && round.widest <= most,
                 qPrintable(QStringLiteral("the window is %1 after the first round, at most %2").arg(round.window).arg(round.widest)));
        QCOMPARE(round.summary, kRunning);
    }
    // 1 MB/s and 25 ms each way, slowing to 20 KB/s after 256 KiB, and our
    // own process on a busy machine: the event loop stands still for a
    // while now and then, so that the offer's answer is taken late and the
    // ZACKs that came meanwhile are read together. What is out past the
    // receiver's last ZACK once the link has slowed stays about two round
    // trips of what it carried fast; seconds of the slow rate hold our stop.
    void senderBusyMachineSlowingLink_data()
    {
        QTest::addColumn<int>("frozenMs"); // the loop stands still this long
        QTest::addColumn<int>("everyMs");  // in every this long
        QTest::newRow("quiet machine") << 0 << 100;
        QTest::newRow("frozen 30 ms in 100") << 30 << 100;
        QTest::newRow("frozen 250 ms in 400") << 250 << 400;
    }
    void senderBusyMachineSlowingLink()
    {
        QFETCH(int, frozenMs);
        QFETCH(int, everyMs);
        constexpr qint64 kFast = 1'000'000, kSlow = 20'000, kSlowAt = 256 << 10;
        qint64 mostOut = 0;
        SimLine line; // outlives the harness: its end cancels the run, which writes
        line.oneWayUs = 25'000;
        line.rate = [](qint64 at) { return at >= kSlowAt ? kSlow : kFast; };
        line.onData = [&] {
            if (line.written >= kSlowAt)
                mostOut = qMax(mostOut, line.written - qMax(line.acked, kSlowAt));
        };
        ClockTimer freeze([&] { line.clock.stall(frozenMs * 1000); });
        freeze.setClock(&line.clock);
        Harness h;
        line.startSend(h, 4 << 20);
        if (frozenMs > 0) {
            freeze.start(everyMs);
            line.clock.stall(frozenMs * 1000); // the offer's answer is taken late
        }
        line.clock.run(2 * line.oneWayUs);
        line.startData(h);
        // Until what went fast has passed and the slow ZACKs had their say.
        line.clock.run(8'000'000, [&] { return line.acked >= kSlowAt + (16 << 10); });
        freeze.stop();
        QVERIFY2(line.acked > kSlowAt, qPrintable(QStringLiteral("only %1 bytes confirmed").arg(line.acked)));
        // Two round trips at 1 MB/s are 100 KB.
        QVERIFY2(mostOut <= 128 << 10,
                 qPrintable(QStringLiteral("%1 bytes went out past the receiver's last ZACK after the link slowed").arg(mostOut)));
        QCOMPARE(h.summary, kRunning);
    }
    // A fast link, 25 ms each way, but a writer the machine holds back, at
    // a pace that doubles every 250 ms, for a second; then the writer is
    // free and the link slows to 20 KB/s. The ZACKs showed the writer's
    // pace, not the link's: what goes out past the last of them once it
    // slows is about two round trips of that pace (some 90 KB), not all that
    // a second of confirmations let grow.
    void senderHeldWriterSlowingLink()
    {
        bool held = true;
        qint64 mostOut = 0, slowAt = 0;
        SimLine line; // outlives the harness: its end cancels the run, which writes
        line.oneWayUs = 25'000;
        line.rate = [&](qint64) { return held ? qint64(0) : qint64(20'000); };
        line.onData = [&] {
            if (!held)
                mostOut = qMax(mostOut, line.written - qMax(line.acked, slowAt));
        };
        Harness h;
        qint64 startUs = 0;
        h.transfer.setBacklog([&] {
            return held && line.written > 20'000 * std::exp2((line.clock.nowUs() - startUs) / 250'000.0) ? qint64(1) << 30 : 0;
        });
        line.startSend(h, 16 << 20);
        line.clock.run(50'000);
        startUs = line.clock.nowUs();
        line.startData(h);
        line.clock.run(1'000'000);
        QVERIFY2(line.written >= 200'000, qPrintable(QStringLiteral("only %1 bytes went out").arg(line.written)));
        held = false;
        slowAt = line.written;
        line.clock.run(3'000'000);
        QVERIFY2(line.acked > slowAt, qPrintable(QStringLiteral("nothing confirmed after the slow: %1").arg(line.acked)));
        QVERIFY2(mostOut <= 256 << 10, qPrintable(QStringLiteral("%1 bytes went out past the last ZACK once the link slowed").arg(mostOut)));
        QCOMPARE(h.summary, kRunning);
    }
    // A link fast and far enough to want far more in flight: what a dead
    // receiver's shell would get stays within three quarters of a MiB (a
    // MiB where it takes our frames as pastes), and the link still gets all
    // of it.
    void senderWidestOnAFatLink_data()
    {
        QTest::addColumn<bool>("pastes");
        QTest::addColumn<qint64>("bound");
        QTest::newRow("bare frames") << false << qint64(768 << 10);
        QTest::newRow("frames in pastes") << true << qint64(1 << 20);
    }
    void senderWidestOnAFatLink()
    {
        QFETCH(bool, pastes);
        QFETCH(qint64, bound);
        qint64 mostOut = 0;
        SimLine line; // outlives the harness: its end cancels the run, which writes
        line.oneWayUs = 100'000;
        line.rate = [](qint64) { return qint64(50'000'000); };
        line.onData = [&] { mostOut = qMax(mostOut, line.written - line.acked); };
        Harness h;
        h.transfer.setPasteProbe([pastes] { return pastes; });
        line.startSend(h, 64 << 20);
        line.clock.run(200'000);
        line.startData(h);
        line.clock.run(4'000'000);
        QVERIFY2(mostOut <= bound + 1024 && line.widest >= bound - (64 << 10),
                 qPrintable(QStringLiteral("%1 bytes out past the last ZACK, bound %2 at its widest").arg(mostOut).arg(line.widest)));
        QCOMPARE(h.summary, kRunning);
    }
    // The sender on the machine's own clock and Qt's timers, over a line
    // in real time: 20 KB/s, 25 ms each way. Its round trips and pace are
    // measured in the machine's time: the send is done within half again
    // what the rate takes, and the window has come down to what the slow
    // link carries in a few round trips.
    void senderMachineClockPace()
    {
        constexpr qint64 kRate = 20'000, kSize = 48'000;
        SimLine line; // outlives the harness: its end cancels the run, which writes
        line.machine = true;
        line.oneWayUs = 25'000;
        line.rate = [](qint64) { return kRate; };
        Harness h;
        line.startSend(h, int(kSize));
        QTest::qWait(50);
        QElapsedTimer took;
        took.start();
        line.startData(h);
        const qint64 dueMs = kSize * 1000 / kRate * 3 / 2;
        QVERIFY2(QTest::qWaitFor([&] { return line.acked >= kSize - (4 << 10); }, int(dueMs)),
                 qPrintable(QStringLiteral("%1 bytes of %2 confirmed after %3 ms").arg(line.acked).arg(kSize).arg(took.elapsed())));
        QVERIFY2(h.transfer.aheadBound() <= 6 << 10, qPrintable(QStringLiteral("the window is %1").arg(h.transfer.aheadBound())));
        QCOMPARE(h.summary, kRunning);
    }
};

QTEST_GUILESS_MAIN(TestZmodemWindow)
#include "tst_zmodemwindow.moc"
