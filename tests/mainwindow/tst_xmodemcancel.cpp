// Esc in the middle of an XMODEM or YMODEM send to rx or rb in bash, at the
// moments that catch the receiver busy: rx and rb empty their input after
// each answer they give, and read away what comes while they wait for a
// line quiet after a bad block. However our cancel fares on its way, the
// receiver must be gone and bash must answer within 10 s of the key, with
// nothing of ours left in its line. HV_XFER_ROUNDS repeats the rows.

#include "shellrig.h"

#include <QElapsedTimer>
#include <QTest>

namespace {

constexpr int kAnswerMs = 10000;

// A block of ours: 128 or 1024 bytes with its head and check.
bool isBlock(const QByteArray &packet)
{
    return packet.size() == 133 || packet.size() == 1029;
}

} // namespace

class TestXmodemCancel : public QObject, ShellRig
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString missing = prepare();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }
    void cleanup()
    {
        closeShell();
        onTheWay = nullptr;
        alsoSend.clear();
    }

    // Where the key comes: "block", right behind a data block (the receiver
    // takes it and empties its input as it answers); "cut", behind the first
    // half of one (it reads our cancel away with the rest, then asks again
    // after a quiet second); "eot", behind the end of the first file (a byte
    // right behind it is line noise to the receiver); "between", as the end
    // is acknowledged (rb empties its input, asks for the next header and
    // empties it again); "header", behind the second file's header; "lost",
    // in place of that header (rb waits ten seconds for it).
    void receiverBusy_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("when");
        const int rounds = qMax(1, qEnvironmentVariableIntValue("HV_XFER_ROUNDS"));
        for (int round = 1; round <= rounds; ++round) {
            for (const char *when : {"block", "cut", "eot"})
                QTest::addRow("xmodem, %s #%d", when, round) << int(XmodemTransfer::Xmodem) << QString(when);
            for (const char *when : {"block", "cut", "eot", "between", "header", "lost"})
                QTest::addRow("ymodem, %s #%d", when, round) << int(XmodemTransfer::Ymodem) << QString(when);
        }
    }
    void receiverBusy()
    {
        QFETCH(int, mode);
        QFETCH(QString, when);
        const bool ymodem = mode == XmodemTransfer::Ymodem;
        const QByteArray data = content(96 << 10);
        const QString second = dir.filePath("second.bin");
        QVERIFY(writeFile(second, content(3000)));
        if (ymodem)
            alsoSend = QStringList{second};
        QElapsedTimer sinceKey;
        qsizetype keyAt = -1;
        int headers = 0;
        const auto key = [&] {
            if (keyAt >= 0)
                return;
            keyAt = view.shown.size();
            sinceKey.start();
            session->type("\x1b"); // inside the engine's step: it takes effect as the step ends
        };
        onTheWay = [&](const QByteArray &packet) -> QByteArray {
            if (keyAt >= 0)
                return packet;
            const bool header = ymodem && isBlock(packet) && packet.at(1) == 0 && ++headers == 2;
            if ((when == "block" || when == "cut") && isBlock(packet) && written > 32 << 10) {
                key();
                return when == "cut" ? packet.left(packet.size() / 2) : packet;
            }
            if ((when == "eot" && packet == "\x04") || (when == "header" && header)) {
                key();
                return packet;
            }
            if (when == "lost" && header) {
                key();
                return {};
            }
            return packet;
        };
        const QByteArray command = ymodem ? "rb -q -y" : "rx -c -q data.bin";
        const QString failed = run(ymodem ? KindY : KindX, true, mode, command, data);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        if (when == "between") {
            connect(engine.get(), &InbandTransfer::statusMessage, engine.get(), [&](const QString &, const QString &text) {
                if (text == QStringLiteral("文件发送完成"))
                    key();
            });
        }
        QVERIFY2(QTest::qWaitFor([&] { return keyAt >= 0 || !ended->isEmpty(); }, 60000), "the key's moment never came");
        if (keyAt < 0)
            QFAIL(qPrintable("ended before the key: " + ended->first().at(1).toString()));
        QVERIFY2(waitEnd(kAnswerMs), "the run did not end");
        const auto outcome = ended->first().at(0).value<InbandTransfer::Outcome>();
        // rx that took the end before it heard of the cancel has the whole file.
        const bool whole = !ymodem && when == "eot" && outcome == InbandTransfer::Succeeded;
        QVERIFY2(outcome == InbandTransfer::Cancelled || whole, qPrintable(ended->first().at(1).toString()));
        const bool answered = waitShown("END=", keyAt, int(qMax<qint64>(1, kAnswerMs - sinceKey.elapsed())));
        QVERIFY2(answered, qPrintable(QStringLiteral("no word from bash %1 ms after the key: ").arg(sinceKey.elapsed())
                                      + printable(view.shown.mid(keyAt).right(400))));
        qInfo("bash answered %lld ms after the key", sinceKey.elapsed());
        const QString after = shellAfterwards(view.shown.indexOf("END=", keyAt));
        QVERIFY2(after.isEmpty(), qPrintable(after));
    }
};

QTEST_MAIN(TestXmodemCancel)
#include "tst_xmodemcancel.moc"
