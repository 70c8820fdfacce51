// An ASCII send through a stand-in link whose queue passes on a fixed amount
// each time the sender looks: the queue never passes the high water, every
// byte goes in order, and the end says what really happened.

#include "tests/transfer/enginetest.h"
#include "transfer/asciisender.h"

#include <QSignalSpy>
#include <QTest>

class TestAsciiSender : public QObject
{
    Q_OBJECT

private slots:
    void send_data()
    {
        QTest::addColumn<qint64>("goneAt");   // the link goes once this much passed (-1: never)
        QTest::addColumn<qint64>("cancelAt"); // we cancel once this much was handed over
        QTest::addColumn<int>("outcome");
        QTest::newRow("sent") << qint64(-1) << qint64(-1) << int(InbandTransfer::Succeeded);
        QTest::newRow("link gone") << qint64(2 << 20) << qint64(-1) << int(InbandTransfer::Failed);
        QTest::newRow("cancelled") << qint64(-1) << qint64(3 << 20) << int(InbandTransfer::Cancelled);
    }
    void send()
    {
        QFETCH(qint64, goneAt);
        QFETCH(qint64, cancelAt);
        QFETCH(int, outcome);
        QTemporaryDir dir;
        QByteArray data;
        for (int i = 0; data.size() < (9 << 20); ++i) // more than the connection's whole queue
            data += QByteArray::number(i) + '\n';
        QByteArray wire;
        qint64 queued = 0, highest = 0;
        AsciiSender sender;
        sender.setBacklog([&]() -> qint64 {
            if (goneAt >= 0 && wire.size() - queued >= goneAt)
                return -1;
            queued -= qMin<qint64>(queued, 48 << 10);
            return queued;
        });
        QSignalSpy result(&sender, &InbandTransfer::resultReady);
        connect(&sender, &InbandTransfer::progressChanged, [&](qint64 done) {
            if (cancelAt >= 0 && done >= cancelAt)
                sender.cancel();
        });
        const QString file = dir.filePath("f.txt");
        QVERIFY(writeFile(file, data));
        sender.startSend([&](const QByteArray &b) { wire += b; highest = qMax(highest, queued += b.size()); }, "s",
                         {file});
        QVERIFY(result.wait(60000));
        QCOMPARE(result.first().at(0).toInt(), outcome);
        QVERIFY(highest <= AsciiSender::kHighWater + AsciiSender::kChunk);
        QVERIFY(data.startsWith(wire));
        QCOMPARE(wire.size() == data.size(), outcome == InbandTransfer::Succeeded);
        QVERIFY(outcome != InbandTransfer::Succeeded || queued == 0); // sent once passed on, not once queued
        QVERIFY(result.first().at(1).toString().contains(QString::number(wire.size())));
    }
};

QTEST_GUILESS_MAIN(TestAsciiSender)
#include "tst_asciisender.moc"
