// An ASCII send through a stand-in for a connection whose queue drains a
// fixed amount each time the sender looks at it: the sender never lets the
// queue pass its high water, hands over every byte in order, and ends with
// the outcome and the byte count that really happened.

#include "tests/transfer/enginetest.h"
#include "transfer/asciisender.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

class TestAsciiSender : public QObject
{
    Q_OBJECT

private slots:
    void send_data()
    {
        QTest::addColumn<qint64>("size");     // -1: no such file
        QTest::addColumn<qint64>("drain");    // bytes the link passes on per look
        QTest::addColumn<qint64>("goneAt");   // the link is gone once this much passed (-1: never)
        QTest::addColumn<qint64>("cancelAt"); // we cancel once this much was handed over (-1: never)
        QTest::addColumn<int>("outcome");
        QTest::addColumn<qint64>("sent");
        const qint64 big = 9 * 1024 * 1024 + 7; // more than the connection's whole queue
        const int ok = InbandTransfer::Succeeded, failed = InbandTransfer::Failed;
        QTest::newRow("empty file") << qint64(0) << qint64(1) << qint64(-1) << qint64(-1) << ok << qint64(0);
        QTest::newRow("past the queue, slow link") << big << qint64(48 * 1024) << qint64(-1) << qint64(-1) << ok << big;
        QTest::newRow("link gone") << big << qint64(256 * 1024) << qint64(2 << 20) << qint64(-1) << failed << qint64(-2);
        QTest::newRow("cancelled") << big << qint64(256 * 1024) << qint64(-1) << qint64(3 << 20)
                                   << int(InbandTransfer::Cancelled) << qint64(-2);
        QTest::newRow("unreadable") << qint64(-1) << qint64(1) << qint64(-1) << qint64(-1) << failed << qint64(0);
    }
    void send()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, drain);
        QFETCH(qint64, goneAt);
        QFETCH(qint64, cancelAt);
        QFETCH(int, outcome);
        QFETCH(qint64, sent);
        QTemporaryDir dir;
        QByteArray data(qMax<qint64>(size, 0), Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
        const QString path = size < 0 ? dir.filePath("missing") : writeFile(dir.filePath("f.txt"), data);

        QByteArray wire;
        qint64 queued = 0, maxQueued = 0;
        AsciiSender sender;
        sender.setBacklog([&]() -> qint64 {
            if (goneAt >= 0 && wire.size() - queued >= goneAt)
                return -1;
            queued -= qMin(queued, drain);
            return queued;
        });
        QList<InbandTransfer::Outcome> outcomes;
        QString text;
        connect(&sender, &InbandTransfer::resultReady, [&](InbandTransfer::Outcome o, const QString &t) {
            outcomes << o;
            text = t;
        });
        connect(&sender, &InbandTransfer::progressChanged, [&](qint64 done) {
            if (cancelAt >= 0 && done >= cancelAt)
                sender.cancel();
        });
        QSignalSpy finished(&sender, &InbandTransfer::transferFinished);
        sender.startSend([&](const QByteArray &b) { wire += b; queued += b.size(); maxQueued = qMax(maxQueued, queued); },
                         "s", {path});
        QVERIFY(finished.count() == 1 || finished.wait(60000));

        QCOMPARE(outcomes, QList<InbandTransfer::Outcome>{InbandTransfer::Outcome(outcome)});
        QVERIFY(maxQueued <= AsciiSender::kHighWater + AsciiSender::kChunk);
        QCOMPARE(wire, data.left(wire.size()));
        QCOMPARE(sender.bytesSent(), qint64(wire.size()));
        if (sent >= 0)
            QCOMPARE(wire.size(), sent);
        else // stopped part way: the count said is the count handed over
            QVERIFY(wire.size() > 0 && wire.size() < size);
        if (outcome == InbandTransfer::Succeeded)
            QCOMPARE(queued, 0); // sent once passed on, not once queued
        if (size >= 0)
            QVERIFY2(text.contains(QString::number(wire.size())), qPrintable(text));
        QVERIFY(!sender.isActive());
    }
};

QTEST_GUILESS_MAIN(TestAsciiSender)
#include "tst_asciisender.moc"
