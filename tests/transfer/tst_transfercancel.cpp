// A cancel asked for by a listener of a transfer's own reports, while the
// object is still inside the step that made them, must end that transfer as
// cancelled, once, and leave the object idle.

#include "tests/transfer/enginetest.h"
#include "transfer/kermittransfer.h"
#include "transfer/xmodemtransfer.h"
#include "transfer/zmodemtransfer.h"

#include <QTest>

#include <memory>

class TestTransferCancel : public QObject
{
    Q_OBJECT

private slots:
    void cancelFromStatusListener_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<bool>("send");
        for (const char *p : {"xmodem", "ymodem", "zmodem", "kermit"}) {
            QTest::addRow("%s send", p) << p << true;
            QTest::addRow("%s receive", p) << p << false;
        }
    }
    void cancelFromStatusListener()
    {
        QFETCH(QString, protocol);
        QFETCH(bool, send);
        QTemporaryDir dir;
        const QString file = dir.filePath("f.bin");
        QVERIFY(writeFile(file, QByteArray(3000, 'x')));
        using T = InbandTransfer *;
        const std::unique_ptr<InbandTransfer> t(protocol == "zmodem" ? T(new ZmodemTransfer)
                                                : protocol == "kermit" ? T(new KermitTransfer) : T(new XmodemTransfer));
        const int variant = protocol == "ymodem" ? XmodemTransfer::Ymodem : 0; // Xmodem, for the rest
        t->setManualClock(true);
        QList<InbandTransfer::Outcome> outcomes;
        connect(t.get(), &InbandTransfer::resultReady, [&](InbandTransfer::Outcome o, const QString &) { outcomes << o; });
        connect(t.get(), &InbandTransfer::statusMessage, t.get(), [&] { t->cancel(); });
        const TransferSendFn sink = [](const QByteArray &) {};
        if (send)
            t->startSend(sink, "s", {file}, variant);
        else
            t->startReceive(sink, "s", protocol == "xmodem" ? dir.filePath("in.bin") : dir.path(), variant);
        QCOMPARE(outcomes, QList<InbandTransfer::Outcome>{InbandTransfer::Cancelled});
        QVERIFY(!t->isActive());
        t->tick();
        QCOMPARE(outcomes.size(), 1);
    }
};

QTEST_MAIN(TestTransferCancel)
#include "tst_transfercancel.moc"
