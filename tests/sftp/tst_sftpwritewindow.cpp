// The upload window against simulated links: whatever the link's rate and
// round trip, a stop at any moment drains what is under way and does its
// own round trips within the grace, and the link is kept as busy as that
// allows. Time is the simulation's own, so the rows say the same on any
// machine.

#include "sftp/sftplanes.h"

#include <QTest>

#include <deque>

namespace {

struct Link {
    qint64 rate;       // bytes a second
    qint64 delayMs;    // each way
    qint64 readEvery;  // ms: acknowledgements read only this often (a busy worker); 0: at once
};

struct Outcome {
    qint64 worstStopMs = 0; // what a stop would have taken, at its worst moment
    qint64 rate = 0;        // bytes a second acknowledged, once settled
    qint64 size = 0;        // the window at the end
};

// A sender that keeps the window full in requests of up to 30000 bytes, as
// libssh2 sends them, over a line that carries `rate` and answers each
// request a round trip after its last byte has gone.
Outcome simulate(const Link &link, int stopTrips, qint64 seconds)
{
    constexpr qint64 kRequest = 30000;
    constexpr qint64 kStepUs = 1000;
    constexpr qint64 kSettledUs = 5000000;
    SftpWriteWindow window(stopTrips);
    struct Answer {
        qint64 atUs;
        qint64 bytes;
    };
    std::deque<Answer> answers;
    qint64 lineFreeUs = 0;
    qint64 handed = 0, acked = 0, ackedSettled = 0;
    Outcome out;
    const qint64 roundTripUs = 2 * link.delayMs * 1000;
    for (qint64 now = 0; now < seconds * 1000000; now += kStepUs) {
        const qint64 readAt = link.readEvery > 0 ? now / (link.readEvery * 1000) * link.readEvery * 1000 : now;
        while (!answers.empty() && answers.front().atUs <= readAt) {
            acked += answers.front().bytes;
            if (now >= kSettledUs)
                ackedSettled += answers.front().bytes;
            window.ackedAt(answers.front().bytes, now);
            answers.pop_front();
        }
        while (handed - acked < window.size()) {
            const qint64 n = qMin(kRequest, window.size() - (handed - acked));
            window.handedAt(n, now);
            handed += n;
            lineFreeUs = qMax(lineFreeUs, now) + n * 1000000 / link.rate;
            answers.push_back({lineFreeUs + roundTripUs, n});
        }
        if (now >= kSettledUs && !answers.empty()) {
            const qint64 stopUs = answers.back().atUs - now + stopTrips * roundTripUs;
            out.worstStopMs = qMax(out.worstStopMs, stopUs / 1000);
        }
    }
    out.rate = ackedSettled * 1000000 / (seconds * 1000000 - kSettledUs);
    out.size = window.size();
    return out;
}

} // namespace

class TestSftpWriteWindow : public QObject
{
    Q_OBJECT

private slots:
    void stopFitsTheGrace_data()
    {
        QTest::addColumn<qint64>("rate");
        QTest::addColumn<qint64>("delayMs");
        QTest::addColumn<qint64>("readEvery");
        QTest::addColumn<int>("stopTrips");
        QTest::addColumn<int>("busy"); // percent of the line's rate that must be kept, at least
        const qint64 fast = 20 * 1000 * 1000;
        // The machine's pauses are left room apart from the grace: 300 ms
        // of the 2 s, a busy worker's late reads included.
        QTest::newRow("25 KB/s") << qint64(25000) << qint64(0) << qint64(0) << 1 << 95;
        QTest::newRow("25 KB/s, lanes") << qint64(25000) << qint64(0) << qint64(0) << 2 << 95;
        QTest::newRow("100 KB/s, lanes") << qint64(100000) << qint64(0) << qint64(0) << 2 << 95;
        QTest::newRow("100 KB/s, read in bursts") << qint64(100000) << qint64(0) << qint64(100) << 2 << 90;
        QTest::newRow("100 KB/s, 25 ms") << qint64(100000) << qint64(25) << qint64(0) << 2 << 95;
        QTest::newRow("fast, 25 ms") << fast << qint64(25) << qint64(0) << 1 << 90;
        QTest::newRow("fast, 150 ms") << fast << qint64(150) << qint64(0) << 1 << 85;
        QTest::newRow("fast, 150 ms, lanes") << fast << qint64(150) << qint64(0) << 2 << 85;
        QTest::newRow("1 MB/s, 250 ms") << qint64(1000000) << qint64(250) << qint64(0) << 1 << 90;
        QTest::newRow("fast, 150 ms, read in bursts") << fast << qint64(150) << qint64(100) << 1 << 80;
    }
    void stopFitsTheGrace()
    {
        QFETCH(qint64, rate);
        QFETCH(qint64, delayMs);
        QFETCH(qint64, readEvery);
        QFETCH(int, stopTrips);
        QFETCH(int, busy);
        const Outcome out = simulate({rate, delayMs, readEvery}, stopTrips, 20);
        qInfo().noquote() << QStringLiteral("stop at worst %1 ms, %2 B/s, window %3")
                                 .arg(out.worstStopMs).arg(out.rate).arg(out.size);
        QVERIFY2(out.worstStopMs <= kSftpStopGraceMs - 300, qPrintable(QString::number(out.worstStopMs)));
        QVERIFY2(out.rate * 100 >= rate * busy, qPrintable(QString::number(out.rate)));
    }

    // A round trip too long for a stop to fit in the grace at all: the
    // window stays at its least rather than filling the line.
    void roundTripPastTheGrace()
    {
        const Outcome out = simulate({1000000, 400, 0}, 2, 20);
        QCOMPARE(out.size, SftpWriteWindow::kLeast);
    }
};

QTEST_GUILESS_MAIN(TestSftpWriteWindow)
#include "tst_sftpwritewindow.moc"
