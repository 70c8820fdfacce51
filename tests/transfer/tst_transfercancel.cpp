// A cancel asked for by a listener of a transfer's own reports, while the
// object is still inside the step that made them, must end that transfer as
// cancelled, once, and leave the object idle.

#include "transfer/kermittransfer.h"
#include "transfer/xmodemtransfer.h"
#include "transfer/zmodemtransfer.h"

#include <QFile>
#include <QTemporaryDir>
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
        const QString file = dir.filePath(QStringLiteral("f.bin"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(3000, 'x')) == 3000);
        f.close();

        std::unique_ptr<InbandTransfer> t;
        int variant = 0;
        if (protocol == QLatin1String("zmodem"))
            t = std::make_unique<ZmodemTransfer>();
        else if (protocol == QLatin1String("kermit"))
            t = std::make_unique<KermitTransfer>();
        else {
            t = std::make_unique<XmodemTransfer>();
            variant = protocol == QLatin1String("ymodem") ? XmodemTransfer::Ymodem : XmodemTransfer::Xmodem;
        }
        t->setManualClock(true);
        QList<InbandTransfer::Outcome> outcomes;
        connect(t.get(), &InbandTransfer::resultReady,
                [&](InbandTransfer::Outcome o, const QString &) { outcomes << o; });
        connect(t.get(), &InbandTransfer::statusMessage, t.get(), [&] { t->cancel(); });

        const TransferSendFn sink = [](const QByteArray &) {};
        if (send)
            t->startSend(sink, QStringLiteral("s"), {file}, variant);
        else
            t->startReceive(sink, QStringLiteral("s"),
                            protocol == QLatin1String("xmodem") ? dir.filePath(QStringLiteral("in.bin")) : dir.path(),
                            variant);
        QCOMPARE(outcomes, QList<InbandTransfer::Outcome>{InbandTransfer::Cancelled});
        QVERIFY(!t->isActive());
        t->tick();
        QCOMPARE(outcomes.size(), 1);
    }
};

QTEST_MAIN(TestTransferCancel)
#include "tst_transfercancel.moc"
