// The ZMODEM sender's window against simulated links: how far the data
// runs past the receiver's ZACKs as they show the link fast, slow or slowing,
// and that a ZACK is always owed. The real links are in tst_zmodemlinks.

#include "tests/transfer/zmodemtest.h"

#include <QElapsedTimer>
#include <QMap>
#include <QPointer>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <utility>

namespace {

// One try of the first round of a send over a simulated line; see senderFirstRound.
struct FirstRound {
    quint32 window = 0;
    quint32 widest = 0;
    QString summary;
    bool heldUp = false; // our loop was late by more than a few ms meanwhile
};
FirstRound firstRound(int oneWayMs, int rate, int offerLateMs, bool together)
{
    // Outlive the harness: its end cancels the run, which writes.
    qint64 written = 0;
    quint32 widest = 0;
    QMap<qint64, QByteArray> reads; // by the millisecond they are due
    QByteArray unread; // of the stream, read on the line's side a turn later, as a connection does
    QPointer<QObject> line; // gone before the harness ends
    QElapsedTimer clock;
    Harness h;
    h.transfer.setManualClock(true);
    QObject scope;
    line = &scope;
    // The line carries the stream from its start at its rate, each byte a round trip late.
    const auto dueMs = [&](qint64 at) { return 2 * oneWayMs + qMax(clock.elapsed(), rate > 0 ? at * 1000 / rate : 0); };
    const qint64 firstWindowDue = 2 * oneWayMs + (rate > 0 ? (12 << 10) * 1000 / rate : 0);
    const auto carry = [&] {
        for (const QString &frame : describe(bin(ZDATA) + std::exchange(unread, {})).mid(1)) {
            written += frame.section(' ', 1, 1).toInt();
            if (!frame.endsWith(" j"))
                continue;
            // ZACKs due at once come in one read.
            const qint64 due = together && written <= 12 << 10 ? firstWindowDue : dueMs(written);
            QByteArray &read = reads[due];
            if (read.isEmpty())
                QTimer::singleShot(qMax<qint64>(0, due - clock.elapsed()), &scope, [&, due] {
                    h.transfer.feed(reads.take(due));
                    widest = qMax(widest, h.transfer.aheadBound());
                });
            read += hex(ZACK, quint32(written));
        }
    };
    const TransferSendFn out = [&](const QByteArray &b) {
        h.sent << b;
        if (!line || !clock.isValid() || b.startsWith("*\x18" "A"))
            return;
        if (unread.isEmpty())
            QTimer::singleShot(0, line, carry);
        unread += b;
    };
    h.transfer.startSend(out, QStringLiteral("s"), {h.file("big", QByteArray(64 << 20, 'b'))});
    h.transfer.feed(hex(ZRINIT));
    QTest::qWait(2 * oneWayMs + offerLateMs);
    clock.start();
    FirstRound round;
    QTimer beat(&scope);
    beat.setTimerType(Qt::PreciseTimer);
    qint64 beatDue = 10;
    QObject::connect(&beat, &QTimer::timeout, &scope, [&] {
        round.heldUp = round.heldUp || clock.elapsed() - beatDue > 3;
        beatDue = clock.elapsed() + 10;
    });
    beat.start(10);
    h.transfer.feed(hex(ZRPOS));
    spin([&] { return clock.elapsed() >= firstWindowDue + 30; }, 5000);
    round.window = h.transfer.aheadBound();
    round.widest = widest;
    round.summary = h.summary;
    return round;
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
        // Outlive the harness: its end cancels the run, which asks both.
        qint64 written = 0, blockAt = 0, point = 0;
        QList<qint64> asked; // where our subpackets asked for a ZACK
        qsizetype first = -1; // asked.size() when the ZACKs stopped
        bool streaming = false, acking = true;
        Harness h;
        h.transfer.setManualClock(true);
        QObject scope;
        const TransferSendFn out = [&](const QByteArray &b) {
            h.sent << b;
            if (!streaming || b.startsWith("*\x18" "A"))
                return; // a header
            for (const QString &frame : describe(bin(ZDATA) + b).mid(1)) {
                written += frame.section(' ', 1, 1).toInt();
                if (frame.endsWith(" j")) {
                    asked << written;
                    // The connection fills 7/8 of the spacing past the second
                    // point asked for once the ZACKs stopped.
                    if (first >= 0 && asked.size() == first + 2) {
                        point = written;
                        blockAt = point + (point - asked.at(first)) * 7 / 8;
                    }
                    // A link 20 ms each way, as fast as we write.
                    if (acking)
                        QTimer::singleShot(20, &scope, [&h, at = written] { h.transfer.feed(hex(ZACK, quint32(at))); });
                }
            }
        };
        h.transfer.setBacklog([&] { return blockAt > 0 && written >= blockAt ? qint64(1) << 30 : 0; });
        h.transfer.startSend(out, QStringLiteral("s"), {h.file("big", QByteArray(64 << 20, 'b'))});
        h.transfer.feed(hex(ZRINIT));
        QTest::qWait(20);
        streaming = true;
        h.transfer.feed(hex(ZRPOS));
        QVERIFY2(spin([&] { return h.transfer.aheadBound() >= 1 << 20; }, 10000),
                 qPrintable(QStringLiteral("the window grew to %1 only").arg(h.transfer.aheadBound())));
        // The ZACKs for the next two points asked for come 300 ms apart.
        acking = false;
        first = asked.size();
        QVERIFY(spin([&] { return blockAt > 0 && written >= blockAt; }, 30000));
        spin([] { return false; }, 100); // the ZACKs asked for before
        const QList<qint64> owed = asked.mid(first);
        QVERIFY2(!owed.isEmpty() && owed.last() == point, qPrintable(QStringLiteral("asked for at %1 to %2, the point %3").arg(owed.value(0)).arg(owed.value(owed.size() - 1)).arg(point)));
        for (const qint64 at : owed) {
            spin([] { return false; }, 300);
            h.transfer.feed(hex(ZACK, quint32(at)));
        }
        QVERIFY2(h.transfer.aheadBound() < written - point,
                 qPrintable(QStringLiteral("the window is %1 after ZACKs 300 ms apart").arg(h.transfer.aheadBound())));
        blockAt = 0;
        QVERIFY2(spin([&] { return asked.size() > first + owed.size(); }, 10000),
                 "the stream stalls: no ZACK owed, and none asked for");
        QCOMPARE(h.summary, kRunning);
    }
    // A slow link whose ZACKs now and then come two in one go, a
    // millisecond apart (a line that held one back): the pair is no sign of
    // a fast link, and the window stays what the link carries, not seconds
    // of it.
    void senderSlowLinkBunchedZacks()
    {
        // Outlive the harness: its end cancels the run, which writes.
        qint64 written = 0;
        int asked = 0;
        quint32 widest = 0;
        QElapsedTimer clock;
        Harness h;
        h.transfer.setManualClock(true);
        QObject scope;
        const TransferSendFn out = [&](const QByteArray &b) {
            h.sent << b;
            if (!clock.isValid() || b.startsWith("*\x18" "A"))
                return;
            for (const QString &frame : describe(bin(ZDATA) + b).mid(1)) {
                written += frame.section(' ', 1, 1).toInt();
                if (!frame.endsWith(" j"))
                    continue;
                // 20 KB/s, 25 ms each way; every third ZACK 2 ms before the next.
                const qint64 due = 50 + written / 20 + (++asked % 3 == 0 ? 98 : 0);
                QTimer::singleShot(qMax<qint64>(0, due - clock.elapsed()), &scope, [&, at = written] {
                    h.transfer.feed(hex(ZACK, quint32(at)));
                    widest = qMax(widest, h.transfer.aheadBound());
                });
            }
        };
        h.transfer.startSend(out, QStringLiteral("s"), {h.file("big", QByteArray(4 << 20, 'b'))});
        h.transfer.feed(hex(ZRINIT));
        QTest::qWait(50);
        clock.start();
        h.transfer.feed(hex(ZRPOS));
        spin([] { return false; }, 1500);
        QVERIFY2(written >= 24 << 10, qPrintable(QStringLiteral("only %1 bytes went out").arg(written)));
        QVERIFY2(widest <= 16 << 10, qPrintable(QStringLiteral("the window grew to %1 on a 20 KB/s link").arg(widest)));
        // Below where it started: what lands in the shell of a receiver
        // killed now is redrawn byte by byte over this slow line.
        QVERIFY2(h.transfer.aheadBound() <= 4 << 10,
                 qPrintable(QStringLiteral("the window holds %1 on a 20 KB/s link").arg(h.transfer.aheadBound())));
        QCOMPARE(h.summary, kRunning);
    }
    // The ZACKs of a stream's first data, all of which went out before any
    // came back: a fast, long link (they come back together, a bare round
    // trip late) opens the window for the next round; a slow one does not,
    // whether a line held them and handed them over together, or the
    // offer's answer came late (a receiver slow to open its file) and made
    // the data's round trip look short.
    void senderFirstRound_data()
    {
        QTest::addColumn<int>("oneWayMs");
        QTest::addColumn<int>("rate"); // bytes a second; 0: at once
        QTest::addColumn<int>("offerLateMs");
        QTest::addColumn<bool>("together"); // the first window's ZACKs come when its last is due
        QTest::addColumn<quint32>("least");
        QTest::addColumn<quint32>("most");
        QTest::newRow("fast, 100 ms each way") << 100 << 0 << 0 << false << (1u << 20) << kMost;
        QTest::newRow("fast, 25 ms each way") << 25 << 0 << 0 << false << (1u << 20) << kMost;
        QTest::newRow("20 KB/s, 25 ms each way, ZACKs held together") << 25 << 20000 << 0 << true << 0u << (16u << 10);
        QTest::newRow("100 KB/s, 100 ms each way, the offer answered 400 ms late")
            << 100 << 100000 << 400 << false << 0u << (256u << 10);
    }
    void senderFirstRound()
    {
        QFETCH(int, oneWayMs);
        QFETCH(int, rate);
        QFETCH(int, offerLateMs);
        QFETCH(bool, together);
        QFETCH(quint32, least);
        QFETCH(quint32, most);
        // The window opens only on a round that our own loop took as it
        // came: one held up by a busy machine is not evidence of a fast
        // link. A row that wants it open waits for a round taken on time.
        FirstRound round;
        int tries = 0;
        do {
            round = firstRound(oneWayMs, rate, offerLateMs, together);
        } while (least > 0 && round.heldUp && ++tries < 8);
        QVERIFY2(!(least > 0 && round.heldUp), "the event loop was held up in every try: no round to judge");
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
        constexpr qint64 kFast = 1'000'000, kSlow = 20'000, kSlowAt = 256 << 10, kOneWayUs = 25'000;
        // Outlive the harness: its end cancels the run, which writes.
        qint64 written = 0, acked = 0, mostOut = 0, lineFreeUs = 0;
        QElapsedTimer clock;
        const auto nowUs = [&] { return clock.nsecsElapsed() / 1000; };
        Harness h;
        h.transfer.setManualClock(true);
        QObject scope;
        QTimer freeze;
        QObject::connect(&freeze, &QTimer::timeout, &scope, [frozenMs] { QThread::msleep(frozenMs); });
        const TransferSendFn out = [&](const QByteArray &b) {
            h.sent << b;
            if (!clock.isValid() || b.startsWith("*\x18" "A"))
                return;
            for (const QString &frame : describe(bin(ZDATA) + b).mid(1)) {
                const qint64 n = frame.section(' ', 1, 1).toInt();
                // The line carries it after what went before, at the rate of where it is.
                lineFreeUs = qMax(lineFreeUs, nowUs()) + n * 1'000'000 / (written >= kSlowAt ? kSlow : kFast);
                written += n;
                if (written >= kSlowAt)
                    mostOut = qMax(mostOut, written - qMax(acked, kSlowAt));
                if (!frame.endsWith(" j"))
                    continue;
                const qint64 dueUs = lineFreeUs + 2 * kOneWayUs;
                QTimer::singleShot(int(qMax<qint64>(0, dueUs - nowUs()) / 1000), Qt::PreciseTimer, &scope, [&, at = written] {
                    acked = qMax(acked, at);
                    h.transfer.feed(hex(ZACK, quint32(at)));
                });
            }
        };
        h.transfer.startSend(out, QStringLiteral("s"), {h.file("big", QByteArray(4 << 20, 'b'))});
        h.transfer.feed(hex(ZRINIT));
        if (frozenMs > 0) {
            freeze.start(everyMs);
            QThread::msleep(frozenMs); // the offer's answer is taken late
        }
        QTest::qWait(2 * kOneWayUs / 1000);
        clock.start();
        h.transfer.feed(hex(ZRPOS));
        // Until what went fast has passed and the slow ZACKs had their say.
        spin([&] { return acked >= kSlowAt + (16 << 10); }, 8000);
        freeze.stop();
        QVERIFY2(acked > kSlowAt, qPrintable(QStringLiteral("only %1 bytes confirmed").arg(acked)));
        // Two round trips at 1 MB/s are 100 KB.
        QVERIFY2(mostOut <= 128 << 10,
                 qPrintable(QStringLiteral("%1 bytes went out past the receiver's last ZACK after the link slowed").arg(mostOut)));
        QCOMPARE(h.summary, kRunning);
    }
};

QTEST_GUILESS_MAIN(TestZmodemWindow)
#include "tst_zmodemwindow.moc"
