// XMODEM/YMODEM engine driven byte by byte: what goes on the wire, how the
// receiver judges blocks and headers, the time-outs, and what becomes of the
// files received. The real peers are in tst_transferpeers.

#include "tests/transfer/enginetest.h"
#include "transfer/xmodemtransfer.h"

#include <QDateTime>
#include <QTest>

namespace {

const char SOH = 0x01, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
const int X = XmodemTransfer::Xmodem, Y = XmodemTransfer::Ymodem;

QByteArray block(quint8 number, QByteArray data, bool crc, int size = 128)
{
    data = data.leftJustified(size, char(0x1A));
    const QByteArray b = QByteArray(1, size == 128 ? SOH : 0x02) + char(number) + char(255 - number) + data;
    const quint16 c = crc16(data.constData(), int(data.size()));
    quint8 sum = 0;
    for (char ch : data)
        sum = quint8(sum + quint8(ch));
    return crc ? b + char(c >> 8) + char(c & 0xFF) : b + char(sum);
}

QByteArray yHeader(const QByteArray &name, const QByteArray &size)
{
    return block(0, (name + '\0' + size + '\0').leftJustified(128, '\0'), true);
}

// Our sender's header: the time and mode follow the size.
constexpr qint64 kStamp = 1767225600; // 2026-01-01
QByteArray yOffer(const QByteArray &name, const QByteArray &size)
{
    return yHeader(name, size + ' ' + QByteArray::number(kStamp, 8) + " 100644");
}

using Harness = EngineHarness<XmodemTransfer>;

} // namespace

class TestXmodem : public QObject
{
    Q_OBJECT

private slots:
    // Our sender's answer to each request (empty: three seconds of silence). The
    // earlier of NAK and 'C' in the first request decides the check. An ACK and the
    // request for the next header in one read get the header at once.
    void senderScripts_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QByteArrayList>("contents"); // of the files f0, f1, ...
        QTest::addColumn<QByteArrayList>("script");   // request, answer, request, answer, ...
        const QByteArray ack(1, ACK), eot(1, EOT), nak(1, NAK), r(1536, 'r');
        const auto abc = [&](const QByteArray &request, bool crc) {
            return QByteArrayList{request, block(1, "abc", crc), ack, eot, ack, ""};
        };
        QTest::newRow("noise, C before NAK") << X << QByteArrayList{"abc"} << abc("xy\nC\x15", true);
        // A shell's echo of "rx Cat" holds a C that no receiver sent.
        QTest::newRow("a C inside text is no poll") << X << QByteArrayList{"abc"} << abc("rx Cat\x15", false);
        QTest::newRow("a C ending text is no poll") << X << QByteArrayList{"abc"} << QByteArrayList{"rx C", ""} + abc("\r\nC", true);
        QTest::newRow("NAK before C") << X << QByteArrayList{"abc"} << abc("\x15" "C", false);
        QTest::newRow("rb's greeting and first poll on one line") << X << QByteArrayList{"abc"} << abc("rb waiting to receive.C", true);
        // A receiver that polls again never got the first block whole; a
        // shell's cursor movement ends in a C too.
        QTest::newRow("the first block asked for again")
            << X << QByteArrayList{"abc"} << QByteArrayList{"C", block(1, "abc", true), "C"} + abc("C", true).mid(1);
        QTest::newRow("an empty file's EOT asked for again")
            << Y << QByteArrayList{""}
            << QByteArrayList{"C", yOffer("f0", "0"), ack + "C", eot, "C", eot, nak, eot, ack + "C", block(0, QByteArray(128, '\0'), true),
                              ack, ""};
        QTest::newRow("a cursor movement is no poll")
            << X << QByteArrayList{"abc"} << QByteArrayList{"C", block(1, "abc", true), "\x1b[7C", ""} + abc("C", true).mid(2);
        // A busy window reads the receiver's 'C' together with a job's line
        // right behind it: the 'C' still asks for the data or the next header.
        QTest::newRow("YMODEM: a job's line behind the C for the data")
            << Y << QByteArrayList{"abc"}
            << QByteArrayList{"C", yOffer("f0", "3"), ack + "Ctick\r\n", block(1, "abc", true, 1024), ack, eot, nak, eot,
                              ack + "Ctick\r\n", block(0, QByteArray(128, '\0'), true), ack, ""};
        // A host line amid the data that starts with a C asks for nothing: a block resent
        // would go into the shell that may have printed it.
        QTest::newRow("YMODEM: a host line starting with C amid the data")
            << Y << QByteArrayList{r}
            << QByteArrayList{"C", yOffer("f0", "1536"), ack + "C", block(1, r.left(1024), true, 1024),
                              "Cron: nightly backup done\r\n", "", ack, block(2, r.mid(1024), true, 1024), ack, eot, nak, eot,
                              ack + "C", block(0, QByteArray(128, '\0'), true), ack, ""};
        QTest::newRow("YMODEM batch")
            << Y << QByteArrayList{r, ""}
            << QByteArrayList{"C", yOffer("f0", "1536"), "C", "", // a C before the ACK is ignored
                              ack + "C", block(1, r.left(1024), true, 1024), ack, block(2, r.mid(1024), true, 1024),
                              ack, eot, nak, eot, // the receiver's NAK of the first EOT
                              ack + "C", yOffer("f1", "0"), ack + "C", eot, // an empty file has no data block
                              ack, "", QByteArray(), block(0, QByteArray(128, '\0'), true), // the next header unasked
                              ack, ""};
    }
    void senderScripts()
    {
        QFETCH(int, variant);
        QFETCH(QByteArrayList, contents);
        QFETCH(QByteArrayList, script);
        QCOMPARE(crc16("123456789", 9), quint16(0x31C3)); // worked out by hand, as the checksum of "abc"
        QCOMPARE(quint8(block(1, "abc", false).at(131)), quint8(0xD8));
        Harness h;
        QStringList paths;
        for (const QByteArray &c : contents) {
            paths << h.file(QStringLiteral("f%1").arg(paths.size()), c);
            QFile f(paths.last());
            QVERIFY(f.open(QIODevice::ReadWrite)
                    && f.setFileTime(QDateTime::fromSecsSinceEpoch(kStamp), QFileDevice::FileModificationTime));
        }
        QHash<QString, QPair<qint64, qint64>> reported; // per file: the last progress report
        connect(&h.transfer, &InbandTransfer::progressChanged, &h.transfer,
                [&](qint64 done, qint64 total, const QString &file) { reported[file] = {done, total}; });
        h.send(paths, variant);
        QVERIFY(h.wire().isEmpty());
        for (int i = 0; i + 1 < script.size(); i += 2) {
            if (script[i].isEmpty())
                h.tick(3);
            h.transfer.feed(script[i]);
            const QByteArray wire = h.takeWire();
            QVERIFY2(wire == script[i + 1], qPrintable(QStringLiteral("step %1: %2").arg(i / 2).arg(QString::fromLatin1(wire.left(8).toHex(' ')))));
        }
        QVERIFY(h.ok);
        QCOMPARE(h.statuses.last(), QStringLiteral("传输完成"));
        // Each file's last report names the whole of it, a file of one block or none too.
        for (int i = 0; i < contents.size(); ++i)
            QCOMPARE(reported.value(QStringLiteral("f%1").arg(i)), qMakePair(qint64(contents[i].size()), qint64(contents[i].size())));
    }

    // The end of a send on a terminal, where the receiver may drop its last
    // ACK as it exits: the shell speaking again ends the send well, and
    // its words are left for the screen; anything the receiver still says
    // keeps the protocol going. Nothing is resent into the shell.
    void senderEnds_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QByteArrayList>("after"); // reads after the last data block's ACK
        QTest::addColumn<QByteArray>("answer"); // what we send meanwhile
        QTest::addColumn<int>("finished");
        QTest::addColumn<QByteArray>("left"); // for the screen
        const QByteArray eot(1, EOT), ack(1, ACK), nak(1, NAK), batchEnd = block(0, QByteArray(128, '\0'), true);
        QTest::newRow("XMODEM: ACK then prompt in one read") << X << QByteArrayList{ack + "$ "} << QByteArray() << 1
                                                             << QByteArray("$ ");
        QTest::newRow("XMODEM: ACK, the shell's line and prompt in one read")
            << X << QByteArrayList{ack + "END=0\r\n\x1b[?2004h$ "} << QByteArray() << 1 << QByteArray("END=0\r\n\x1b[?2004h$ ");
        QTest::newRow("XMODEM: ACK lost, the prompt comes") << X << QByteArrayList{"\x1b[?2004h$ "} << QByteArray()
                                                            << 1 << QByteArray("\x1b[?2004h$ ");
        QTest::newRow("XMODEM: EOT NAKed is sent again") << X << QByteArrayList{nak} << eot << 0 << QByteArray();
        // rx takes a second over the end: a host line meanwhile (a job's,
        // `wall`'s with its line end first, maybe in a read of its own) waits
        // for rx's answer, which ends the run and is never drawn; the shell's
        // line after an rx whose answer went as it exited ends it a little
        // later, all the same a success.
        const QByteArray wall = "\r\nBroadcast message from root@host: back soon\r\n";
        QTest::newRow("XMODEM: a job's line while rx checks the end") << X << QByteArrayList{"job\r\n", ack} << QByteArray()
                                                                      << 1 << QByteArray();
        QTest::newRow("XMODEM: wall's line, then rx's answer") << X << QByteArrayList{"w1000", wall, ack} << QByteArray() << 1
                                                               << QByteArray();
        QTest::newRow("XMODEM: wall's line split, then rx's answer")
            << X << QByteArrayList{"w1000", "\r\n", wall.mid(2), "t1", ack} << QByteArray() << 1 << QByteArray();
        QTest::newRow("XMODEM: ACK lost, the shell's line") << X << QByteArrayList{"w1000", "END=0\r\n$ "} << QByteArray()
                                                            << 1 << QByteArray("END=0\r\n$ ");
        QTest::newRow("YMODEM: batch end's ACK lost") << Y << QByteArrayList{nak, ack + "C", "$ "} << eot + batchEnd
                                                      << 1 << QByteArray("$ ");
        QTest::newRow("YMODEM: wall's line before the batch end's ACK") << Y << QByteArrayList{nak, ack + "C", wall, ack}
                                                                        << eot + batchEnd << 1 << QByteArray();
        QTest::newRow("YMODEM: text after a file's EOT ends nothing") << Y << QByteArrayList{"noise"} << QByteArray()
                                                                      << 0 << QByteArray();
        // The receiver acknowledged the whole file and the host alone speaks
        // on: however the receiver fared since, the file is there.
        QTest::newRow("YMODEM: file acknowledged, then only the host") << Y << QByteArrayList{nak, ack, "HELLO\r\n", "t15"}
                                                                       << eot << 1 << QByteArray("HELLO\r\n");
        // A job's lines at each step of the end: they end nothing while the
        // receiver may still ask for what it lost (rx and rb empty their
        // input as they answer), for as long as its own time-out; its
        // asking again gets the end again. A prompt among them is the
        // receiver gone, its answer lost as it exited.
        QTest::newRow("XMODEM: EOT lost, a job's lines, rx asks again")
            << X << QByteArrayList{wall, "t3", wall, "t10", nak, wall, ack} << eot << 1 << QByteArray();
        QTest::newRow("YMODEM: a job's lines before the EOT's ACK")
            << Y << QByteArrayList{wall, nak, wall, "t10", ack, wall, "C", ack} << eot + batchEnd << 1 << QByteArray();
        QTest::newRow("YMODEM: a job's lines before the C for the batch end")
            << Y << QByteArrayList{nak, ack, wall, "t10", "C", ack} << eot + batchEnd << 1 << QByteArray();
        QTest::newRow("YMODEM: batch end lost, a job's lines, rb asks again")
            << Y << QByteArrayList{nak, ack + "C", "w1100", wall, "t3", wall, "t10", "C", wall, ack} << eot + batchEnd + batchEnd << 1
            << QByteArray();
        QTest::newRow("YMODEM: a poll crossing the batch end gets nothing")
            << Y << QByteArrayList{nak, ack + "C", "C", ack} << eot + batchEnd << 1 << QByteArray();
        QTest::newRow("YMODEM: a job's lines, then the prompt of rb gone")
            << Y << QByteArrayList{nak, ack + "C", wall, "END=0\r\n$ "} << eot + batchEnd << 1 << wall + "END=0\r\n$ ";
    }
    void senderEnds()
    {
        QFETCH(int, variant);
        QFETCH(QByteArrayList, after);
        Harness h;
        h.send({h.file("f", "abc")}, variant);
        h.transfer.feed("C");
        if (variant == Y)
            h.transfer.feed(QByteArray(1, ACK) + "C"); // the header's
        h.transfer.feed(QByteArray(1, ACK)); // the data block's
        QCOMPARE(h.takeWire().right(1), QByteArray(1, EOT));
        for (const QByteArray &read : after)
            read.startsWith('t') ? h.tick(read.mid(1).toInt())
            : read.startsWith('w') ? QTest::qSleep(read.mid(1).toInt())
                                   : h.transfer.feed(read);
        QTEST(h.wire(), "answer");
        QTEST(h.finished, "finished");
        QVERIFY(h.finished == 0 || h.ok);
        QTEST(h.left, "left");
    }

    // A receiver on a terminal empties its input right after each ACK, and
    // a block of ours that came first is lost: once the receiver's pace is
    // known, its silence well past that pace is met with one NAK, which it
    // answers with its own. Steps: "a" an ACK (the next block goes out), "n"
    // a NAK (the block goes again), "wN" N ms of the event loop; then the
    // single NAKs we sent. Bounds are loose: a nudge is due 200 ms after a
    // block to a fast receiver.
    void senderNudges_data()
    {
        QTest::addColumn<QByteArrayList>("steps");
        QTest::addColumn<int>("nudges");
        const QByteArrayList paced{"a", "a", "a", "a"}; // timed answers: a fast receiver
        QTest::newRow("a lost block") << paced + QByteArrayList{"w700"} << 1;
        QTest::newRow("only once until the receiver speaks") << paced + QByteArrayList{"w1500"} << 1;
        // The answer to a nudge holds the wait for it: taken for the
        // receiver's pace, each lost block would wait four times longer.
        QTest::newRow("a nudge's answer sets no pace")
            << paced + QByteArrayList{"w700", "n", "a", "w700"} << 2;
        // A receiver that had the block and was only slow answers the nudge with ACK.
        QTest::newRow("a nudge's ACK sets no pace") << paced + QByteArrayList{"w700", "a", "w700"} << 2;
        // No nudge within 200 ms, however fast the receiver has been.
        QTest::newRow("a slow fifth answer within the floor") << paced + QByteArrayList{"w100", "a"} << 0;
        // Well past its pace: four times its slowest answer.
        QTest::newRow("a paced receiver, one answer slower")
            << QByteArrayList{"w150", "a", "w150", "a", "w150", "a", "w150", "a", "w400", "a"} << 0;
        // rx takes a second over the end: a byte behind the EOT, sent again or not, makes it
        // cancel the file.
        QTest::newRow("nothing after the EOT") << paced + paced + paced + paced + QByteArrayList{"w700", "n", "w700"} << 0;
        QTest::newRow("the first blocks unanswered are not nudged") << QByteArrayList{"a", "w700"} << 0;
        // A receiver slow to write its file is waited for at its own pace.
        QTest::newRow("a slow receiver is waited for")
            << QByteArrayList{"w300", "a", "w300", "a", "w300", "a", "w300", "a", "w300", "a"} << 0;
    }
    void senderNudges()
    {
        QFETCH(QByteArrayList, steps);
        Harness h;
        h.send({h.file("f", QByteArray(128 * 16, 'a'))}, X);
        h.transfer.feed("C");
        for (const QByteArray &step : steps) {
            if (step.startsWith('w'))
                QTest::qWait(step.mid(1).toInt());
            else
                h.transfer.feed(QByteArray(1, step == "a" ? ACK : NAK));
        }
        QVERIFY(h.transfer.isActive());
        QTEST(int(h.sent.count(QByteArray(1, NAK))), "nudges");
    }

    // The user's cancel while the receiver may be busy: rx and rb empty
    // their input right after each word they send, and read away what comes
    // with a byte that is no block (our nudge) or right behind an EOT until
    // the line is quiet. Our CANs go at once, or (behind a nudge or an end)
    // after two quiet seconds; again a second after each answer or ask of the
    // receiver's, when it waits for us, and after each two quiet seconds;
    // five times at most. Steps as above, "c" the cancel, "C" a poll, "t" a
    // second passing, "x" the receiver's CANs, "$ " the shell's prompt; then
    // what we sent after the cancel (X our CANs), whether the run has ended
    // and how.
    void cancelWhileTheReceiverReadsOn_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QByteArrayList>("steps");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<bool>("ended");
        QTest::addColumn<QString>("summary");
        const QString cancelled = QStringLiteral("传输已被用户取消");
        const QByteArrayList out{"a", "c"}, quiet{"t", "t"};
        QTest::newRow("a block out") << X << out << QByteArray("X") << false << cancelled;
        QTest::newRow("a block out, quiet") << X << out + quiet << QByteArray("XX") << false << cancelled;
        QTest::newRow("a block out, quiet on") << X << out + quiet + quiet + quiet + quiet + quiet << QByteArray("XXXXX") << true
                                               << cancelled;
        QTest::newRow("a block out, its answer") << X << out + QByteArrayList{"a"} << QByteArray("X") << false << cancelled;
        QTest::newRow("a block out, its answer, a second on") << X << out + QByteArrayList{"a", "t"} << QByteArray("XX") << false
                                                              << cancelled;
        QTest::newRow("a block out, asked again, a second on") << X << out + QByteArrayList{"n", "t"} << QByteArray("XX") << false
                                                               << cancelled;
        QTest::newRow("a block out, the receiver gives up") << X << out + QByteArrayList{"x"} << QByteArray("X") << true << cancelled;
        QTest::newRow("a block out, the shell back") << X << out + QByteArrayList{"$ "} << QByteArray("X") << true << cancelled;
        QTest::newRow("a second cancel") << X << out + QByteArrayList{"c"} << QByteArray("XX") << true << cancelled;
        const QByteArrayList nudged{"a", "a", "a", "a", "w700", "c"};
        QTest::newRow("a nudge out") << X << nudged << QByteArray() << false << cancelled;
        QTest::newRow("a nudge out, asked again, a second on") << X << nudged + QByteArrayList{"n", "t"} << QByteArray("X") << false
                                                               << cancelled;
        QTest::newRow("a nudge out, quiet") << X << nudged + quiet << QByteArray("X") << false << cancelled;
        const QByteArrayList eot = QByteArrayList(16, "a") + QByteArrayList{"c"};
        QTest::newRow("an EOT out") << X << eot << QByteArray() << false << cancelled;
        QTest::newRow("an EOT out, taken") << X << eot + QByteArrayList{"a"} << QByteArray() << true << QString();
        // Told, it may have read our CANs as noise behind the end.
        QTest::newRow("an EOT out, taken after our CANs") << X << eot + quiet + QByteArrayList{"a", "x"} << QByteArray("X") << true
                                                          << cancelled;
        const QByteArrayList between{"a", "C", "a", "a", "a", "c"};
        QTest::newRow("YMODEM, between files") << Y << between << QByteArray() << false << cancelled;
        QTest::newRow("YMODEM, between files, asked for the next") << Y << between + QByteArrayList{"C", "t"} << QByteArray("X")
                                                                   << false << cancelled;
        QTest::newRow("YMODEM, the batch end out, taken") << Y << QByteArrayList{"a", "C", "a", "a", "a", "C", "c", "a"}
                                                          << QByteArray() << true << QString();
    }
    void cancelWhileTheReceiverReadsOn()
    {
        QFETCH(int, variant);
        QFETCH(QByteArrayList, steps);
        Harness h;
        h.transfer.setManualClock(true);
        h.send({h.file("f", QByteArray(128 * 16, 'a'))}, variant);
        h.transfer.feed("C");
        bool cancelled = false;
        for (const QByteArray &step : steps) {
            if (step.startsWith('w'))
                QTest::qWait(step.mid(1).toInt());
            else if (step == "c")
                cancelled = (cancelled || (h.sent.clear(), true), h.transfer.cancel(), true);
            else if (step == "t")
                h.transfer.tick();
            else if (step == "$ " || step == "C")
                h.transfer.feed(step);
            else
                h.transfer.feed(QByteArray(step == "x" ? 2 : 1, step == "a" ? ACK : step == "n" ? NAK : CAN));
            QVERIFY2(cancelled || step != "w700" || h.sent.last() == QByteArray(1, NAK), "no nudge went");
            QVERIFY2(cancelled || step != "a" || h.transfer.isActive(), "ended before the cancel");
        }
        QByteArray after;
        for (const QByteArray &sent : h.sent)
            after += sent == QByteArray(2, CAN) ? QByteArray("X") : sent.toHex();
        QTEST(after, "after");
        QTEST(!h.transfer.isActive(), "ended");
        if (!h.transfer.isActive())
            QTEST(h.summary, "summary");
        if (steps.last() == "$ ")
            QCOMPARE(h.left, QByteArray("$ "));
    }

    // What the receiver answers at once (a header, the batch end, a file's
    // first block) and lost (it came while rb set its terminal up, or
    // emptied its input after an ACK) is met with one NAK when no answer
    // came within a second; the receiver polls again a second after it, and
    // gets it again, instead of waiting ten seconds for its own time-out.
    void firstBlockLost_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<bool>("batchEnd");
        QTest::newRow("YMODEM, the header") << Y << false;
        QTest::newRow("YMODEM, the batch end") << Y << true;
        QTest::newRow("XMODEM, the first block") << X << false;
    }
    void firstBlockLost()
    {
        QFETCH(int, variant);
        QFETCH(bool, batchEnd);
        Harness h;
        h.transfer.setManualClock(true); // no resend at a time-out meanwhile
        h.send({h.file("f", variant == X ? "abc" : "")}, variant);
        h.transfer.feed("C");
        if (batchEnd) {
            h.transfer.feed(QByteArray(1, ACK) + "C"); // the header's; the empty file's EOT goes
            h.transfer.feed(QByteArray(1, NAK));
            h.transfer.feed(QByteArray(1, ACK) + "C");
        }
        const QByteArray zero = h.sent.last();
        QCOMPARE(zero.left(3), QByteArray::fromHex(variant == X ? "0101fe" : "0100ff"));
        h.sent.clear();
        // Each block 0 that went unanswered: one NAK a second on, no more
        // until the receiver speaks again.
        for (const int round : {1, 2}) {
            QTest::qWait(600);
            QVERIFY2(h.sent.isEmpty(), qPrintable(QStringLiteral("round %1").arg(round)));
            QVERIFY(QTest::qWaitFor([&] { return !h.sent.isEmpty(); }, 1000));
            QCOMPARE(h.takeWire(), QByteArray(1, NAK));
            QTest::qWait(1000); // rb's pause after a byte that is no block
            QCOMPARE(h.takeWire(), QByteArray());
            h.transfer.feed("C");
            QCOMPARE(h.takeWire(), zero);
        }
        QVERIFY(h.transfer.isActive());
    }

    // Ways a transfer gives up: a failure text and two CAN bytes at the end.
    void failures_data()
    {
        QTest::addColumn<bool>("receive");
        QTest::addColumn<QByteArray>("script"); // fed one byte at a time after the start
        QTest::addColumn<int>("ticks");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<bool>("echoed"); // a shell echoes each of our bytes back
        QTest::newRow("eleven NAKs") << false << "C" + QByteArray(11, NAK) << 0 << "重试超过 10 次，对端无响应" << false;
        QTest::newRow("no handshake for 61 s") << false << QByteArray() << 61 << "60 秒内未收到对端握手（NAK/C），放弃" << false;
        QTest::newRow("nobody sends") << true << QByteArray() << 30 << "30 次轮询无响应，对端未开始发送" << false;
        QTest::newRow("nobody sends, a shell echoes") << true << QByteArray() << 30 << "30 次轮询无响应，对端未开始发送" << true;
        QTest::newRow("sender cancels inside a block")
            << true << block(1, "a", true) + block(2, "b", true).left(60) + QByteArray(8, CAN) << 2
            << "对端取消传输 (CAN)" << false;
    }
    void failures()
    {
        QFETCH(bool, receive);
        QFETCH(QByteArray, script);
        QFETCH(int, ticks);
        QFETCH(bool, echoed);
        Harness h;
        receive ? h.transfer.startReceive(h.fn(), "r", h.path("t"), X) : h.send({h.file("f", QByteArray(1000, 'x'))}, X);
        h.feedEach(script);
        for (int i = 1; i < ticks; ++i) {
            h.tick();
            if (echoed)
                h.transfer.feed(h.sent.last());
        }
        QVERIFY(h.finished == 0 || ticks == 0);
        h.tick();
        QTEST(h.summary, "summary");
        // CAN for a peer that took part; none into the shell of one that never
        // did, nor of one that gave up itself.
        QCOMPARE(h.wire().endsWith(QByteArray(2, CAN)), !script.isEmpty() && !script.endsWith(CAN));
        if (receive && script.isEmpty()) // polls alternate C, NAK, C, ... once a second after the first
            QCOMPARE(h.wire().left(5), QByteArray("CC\x15" "C\x15"));
        QCOMPARE(h.files(), receive ? QStringList() : QStringList{"f"});
    }

    // A peer that leaves mid-run, or only seems to. Silence is waited out
    // to the limit's eleventh time-out with nothing sent but a header once
    // (a copy of a block would reach a stopped peer as a duplicate, and
    // put it out of step), and CANs tell a peer that may only have stopped. A line of the shell's where the peer's frames
    // should come ends the run a tick later unless the peer speaks after
    // it: then it was the host's line amid a live run, drawn. Steps: "tN"
    // (N seconds), "block" (the sender's next one), or bytes as read. What
    // we sent after the data began (B a block, E EOT, X the CANs, others as
    // they are) and the end ("" still running).
    void peerLeaves_data()
    {
        QTest::addColumn<bool>("receive");
        QTest::addColumn<int>("variant");
        QTest::addColumn<QByteArrayList>("steps");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("summary");
        const QByteArray ack(1, ACK), nak(1, NAK), killed("Killed\r\nEND=137\r\n$ "), wall("Broadcast message from root\r\n");
        const QString silent = "对端持续无响应，中止", gone = "对端已退出，中止", late = "接收超时，中止";
        QTest::newRow("send: receiver silent") << false << X << QByteArrayList{ack, "t5"} << QByteArray("BB") << "";
        QTest::newRow("send: receiver stopped 25 s") << false << X << QByteArrayList{ack, "t25", ack, "t2"} << QByteArray("BBB") << "";
        QTest::newRow("send: patience not yet over") << false << X << QByteArrayList{ack, "t32"} << QByteArray("BB") << "";
        QTest::newRow("send: receiver gone") << false << X << QByteArrayList{ack, "t33"} << QByteArray("BBX") << silent;
        QTest::newRow("send: a NAK is answered, silence is not") << false << X << QByteArrayList{"t3", nak, "t3", "t3"} << QByteArray("BB")
                                               << "";
        QTest::newRow("send: header unanswered") << false << Y << QByteArrayList{"t109"} << QByteArray("BB") << "";
        QTest::newRow("send: header's patience over") << false << Y << QByteArrayList{"t110"} << QByteArray("BBX")
                                                      << "文件头无响应";
        // The block on its way when the receiver died is in the shell's
        // line: a Ctrl+C drops it, and nothing else of ours goes.
        QTest::newRow("send: shell back") << false << X << QByteArrayList{ack, killed, "t30"} << QByteArray("BB\x03") << gone;
        QTest::newRow("send: coloured words") << false << X << QByteArrayList{ack, "\x1b[1mKilled\x1b[0m\r\n$ ", "t15"}
                                              << QByteArray("BB\x03") << gone;
        // Killed between blocks: its last ACK and the shell's prompt in one
        // read get nothing of ours (the block it asked for would go into
        // the shell); apart, the block that went is dropped with Ctrl+C.
        const QByteArray prompt = "\r\n\x1b[?2004h$ ";
        QTest::newRow("send: ACK and prompt in one read") << false << X << QByteArrayList{ack + prompt, "t2"} << QByteArray("B")
                                                          << gone;
        QTest::newRow("send: ACK, then the prompt") << false << X << QByteArrayList{ack, prompt, "t2"} << QByteArray("BB\x03")
                                                    << gone;
        QTest::newRow("send: host text mid-run") << false << X << QByteArrayList{ack, wall + ack, "t1", ack + wall, ack, "t1"}
                                                 << QByteArray("BBBBB") << "";
        // A peer that lost what was last sent is silent for its own time-out
        // (rx and rb flush their input as they answer): host words then
        // wait as long, nothing of ours going out meanwhile.
        QTest::newRow("send: host text, then the receiver's time-out") << false << X << QByteArrayList{ack, wall, "t10", nak, ack}
                                                                       << QByteArray("BBBB") << "";
        // rx and rb wait 13 s for a file's first block (and every 128th),
        // then a second of quiet, before they ask again.
        QTest::newRow("send: host text, then the receiver's longest time-out")
            << false << X << QByteArrayList{ack, wall, "t14", nak, ack} << QByteArray("BBBB") << "";
        // A prompt among earlier words, the receiver heard since, shortens
        // the wait for later ones no more.
        QTest::newRow("send: a job's prompt, the receiver on, host text, its time-out")
            << false << X << QByteArrayList{ack, "[1]+ Done   make $ \r\n", ack, wall, "t14", nak, ack} << QByteArray("BBBBB") << "";
        QTest::newRow("receive: sender silent") << true << X << QByteArrayList{"block", "t5"} << QByteArray("\x06") << "";
        QTest::newRow("receive: sender stopped 25 s") << true << X << QByteArrayList{"block", "t25", "block", "t2"}
                                                      << QByteArray("\x06\x06") << "";
        QTest::newRow("receive: sender gone") << true << X << QByteArrayList{"block", "t33"} << QByteArray("\x06X")
                                              << late;
        QTest::newRow("receive: shell back") << true << X << QByteArrayList{"block", killed, "t15"} << QByteArray("\x06") << gone;
        QTest::newRow("receive: words split") << true << Y << QByteArrayList{"block", "Kil", "led\r", "\n$ ", "t15"}
                                              << QByteArray("\x06") << gone;
        QTest::newRow("receive: host text mid-run") << true << X << QByteArrayList{"block", wall, "block", "t1", wall, "block"}
                                                    << QByteArray("\x06\x06\x06") << "";
        QTest::newRow("receive: host text, then a silence") << true << X << QByteArrayList{"block", wall, "block", "t3", "block", "t3"}
                                                            << QByteArray("\x06\x06\x06") << "";
        // What is left of a block garbled on its way is no part of the line.
        QTest::newRow("receive: a block's remains before host text") << true << X << QByteArrayList{"block", "\xe2" + wall, "block"}
                                                                     << QByteArray("\x06\x06") << "";
        QTest::newRow("receive: host text, then the sender's time-out") << true << Y << QByteArrayList{"block", wall, "t10", "block"}
                                                                        << QByteArray("\x06\x06") << "";
    }
    void peerLeaves()
    {
        QFETCH(bool, receive);
        QFETCH(int, variant);
        QFETCH(QByteArrayList, steps);
        Harness h;
        int number = 1;
        if (receive) {
            h.receive(variant, variant == X ? "got.bin" : QString());
            if (variant == Y) {
                h.transfer.feed(yHeader("y.bin", "9999"));
                h.sent.clear();
            }
        } else {
            h.send({h.file("f", QByteArray(1000, 'x'))}, variant);
            h.transfer.feed("C");
        }
        for (const QByteArray &step : steps) {
            if (step.startsWith('t') && step.mid(1).toInt() > 0)
                h.tick(step.mid(1).toInt());
            else
                h.transfer.feed(step == "block" ? block(quint8(number++), "data", true) : step);
        }
        QByteArray wire;
        for (const QByteArray &sent : h.sent)
            wire += sent == QByteArray(2, CAN) ? QByteArray("X") : sent.size() > 1 ? QByteArray("B")
                  : sent == QByteArray(1, EOT) ? QByteArray("E") : sent;
        QTEST(wire, "wire");
        QFETCH(QString, summary);
        QCOMPARE(h.finished ? h.summary : QString(), summary);
        // The host's words, whole from their first line on, for the screen:
        // at the end, or amid the run.
        QByteArray words;
        for (const QByteArray &step : steps)
            words += step.startsWith('t') || step == "block" ? QByteArray() : step;
        words.replace(QByteArray(1, ACK), "").replace(QByteArray(1, NAK), "");
        words.removeIf([](char c) { return uchar(c) >= 0x80; }); // the rows' host texts are ASCII
        while (words.startsWith('\r') || words.startsWith('\n'))
            words.remove(0, 1);
        QByteArray left = h.left;
        while (left.startsWith('\r') || left.startsWith('\n'))
            left.remove(0, 1);
        if (summary == QStringLiteral("对端已退出，中止"))
            QCOMPARE(left, words);
        else
            QCOMPARE(h.shown, words);
    }

    // Without a length (plain XMODEM, a YMODEM header without a size) a
    // percentage would read 100 from the first block on: the amount received
    // is told instead, each 4 KiB. With a length, the percentage.
    void receiveProgress_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QByteArray>("size"); // the YMODEM header's
        QTest::addColumn<int>("blocks"); // of 1 KiB
        QTest::addColumn<QStringList>("progress");
        // 200 KiB without a length: per 4 KiB to 64, then per 64 KiB.
        const auto told = [](const char *name, const QList<int> &kibs) {
            QStringList lines;
            for (int kib : kibs)
                lines << QStringLiteral("接收 %1：%2 KB").arg(QLatin1String(name)).arg(kib);
            return lines;
        };
        const QList<int> small{4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 44, 48, 52, 56, 60, 64, 128, 192};
        QTest::newRow("XMODEM") << X << QByteArray() << 200 << told("got.bin", small);
        QTest::newRow("YMODEM without a size") << Y << QByteArray("-") << 200 << told("y.bin", small);
        // Past a MiB a line per MiB: 33 lines for 3 MiB, not one per 64 KiB.
        QList<int> large = small.mid(0, 16);
        for (int kib = 128; kib <= 1024; kib += 64)
            large << kib;
        QTest::newRow("XMODEM, 3 MiB") << X << QByteArray() << 3072 << told("got.bin", large << 2048 << 3072);
        QTest::newRow("YMODEM with a size") << Y << QByteArray("9216") << 9
                                            << QStringList{"进度：11%", "进度：22%", "进度：33%", "进度：44%", "进度：55%",
                                                           "进度：66%", "进度：77%", "进度：88%", "进度：100%"};
    }
    void receiveProgress()
    {
        QFETCH(int, variant);
        QFETCH(QByteArray, size);
        Harness h;
        h.receive(variant, variant == X ? "got.bin" : QString());
        if (variant == Y)
            h.transfer.feed(yHeader("y.bin", size));
        QFETCH(int, blocks);
        for (int n = 1; n <= blocks; ++n)
            h.transfer.feed(block(quint8(n), "kilo", true, 1024));
        QStringList progress;
        for (const QString &status : h.statuses)
            if (status.contains(QStringLiteral("进度")) || status.contains(QStringLiteral(" KB")))
                progress << status;
        QTEST(progress, "progress");
    }

    // An idle object ignores everything; a send of nothing sends nothing. A
    // file that shrinks while it is being sent must not pass as sent whole.
    void idleAndShrinking()
    {
        Harness h;
        h.transfer.cancel();
        h.transfer.feed("C\x15\x06");
        h.tick(100);
        QVERIFY(h.sent.isEmpty() && h.statuses.isEmpty() && h.finished == 0);
        h.send({}, Y);
        QCOMPARE(h.summary, QStringLiteral("未选择要发送的文件"));
        QVERIFY(h.wire().isEmpty()); // no CAN for a transfer that never began
        const QString path = h.file("shrinks", QByteArray(256 * 1024, 's'));
        h.send({path}, X);
        h.transfer.feed("C");
        QFile::resize(path, 200);
        for (int i = 0; i < 2048 && h.finished == 1; ++i)
            h.transfer.feed(QByteArray(1, ACK));
        QVERIFY2(h.summary.startsWith(QStringLiteral("读取文件失败：")), qPrintable(h.summary));
        QVERIFY(h.wire().endsWith(QByteArray(2, CAN)));
    }

    // Receiver: which blocks are taken, which are NAKed, what is written.
    void receiverJudgesBlocks_data()
    {
        QTest::addColumn<QByteArray>("wire");    // fed in one piece after the first poll
        QTest::addColumn<QByteArray>("answers"); // everything sent after the first poll
        QTest::addColumn<QByteArray>("stored");  // the committed file, if any
        QTest::addColumn<QString>("summary");
        const QByteArray one = block(1, "hello", true), two = block(2, "world", true);
        const QByteArray hello = "hello" + QByteArray(123, 0x1A), world = "world" + QByteArray(123, 0x1A);
        QByteArray badComplement = one, badCrc = one;
        badComplement[2] = 0x00;
        badCrc[10] = 'X';
        const QByteArray acks3("\x06\x06\x06"), nakAck("\x15\x06\x06"), fail("\x06\x18\x18"), none;
        QTest::newRow("repeat is ACKed, written once") << one + one + two + EOT << "\x06" + acks3 << hello + world << "";
        QTest::newRow("bad complement, then good") << badComplement + one + EOT << nakAck << hello << "";
        QTest::newRow("bad CRC, then good") << badCrc + one + EOT << nakAck << hello << "";
        QTest::newRow("checksum sender") << block(1, "hello", false) + block(2, "world", false) + EOT << acks3
                                         << hello + world << "";
        QTest::newRow("1K block in XMODEM") << block(1, "big", true, 1024) + EOT << QByteArray("\x06\x06")
                                            << "big" + QByteArray(1021, 0x1A) << "";
        QTest::newRow("noise before a block") << "\r\nzz" + one + EOT << QByteArray("\x06\x06") << hello << "";
        QTest::newRow("block skipped") << one + block(3, "x", true) << fail << none << "块序号错位（期望 2 收到 3），中止";
        QTest::newRow("CAN after a block") << one + CAN << QByteArray("\x06") << none << "对端取消传输 (CAN)";
        QTest::newRow("eleven bad blocks") << badCrc.repeated(11) << QByteArray(10, NAK) + "\x18\x18" << none
                                           << "块校验连续失败超过 10 次";
    }
    void receiverJudgesBlocks()
    {
        QFETCH(QByteArray, wire);
        QFETCH(QString, summary);
        Harness h;
        h.transfer.startReceive(h.fn(), "r", h.path("got.bin"), X);
        QCOMPARE(h.takeWire(), QByteArray("C")); // asks at once
        h.transfer.feed(wire);
        QTEST(h.takeWire(), "answers");
        QCOMPARE(h.summary, summary);
        QCOMPARE(h.ok, summary.isEmpty());
        QCOMPARE(h.files(), summary.isEmpty() ? QStringList{"got.bin"} : QStringList());
        QTEST(h.read("got.bin"), "stored");
    }

    // A sender that gives up leaves the screen the host's words after its
    // CANs, never its data: lrzsz writes its CANs as a signal comes, and the
    // block it had under way goes out behind them as it exits.
    void senderCancelLeavesTheHostsWords_data()
    {
        QTest::addColumn<QByteArray>("after"); // what follows the CANs in the read that brings them
        QTest::addColumn<QByteArray>("shown");
        const QByteArray words = "sb: caught signal 15; exiting\r\nEND=143\r\n\x1b[?2004h$ ";
        QByteArray random(128, Qt::Uninitialized);
        for (int i = 0; i < random.size(); ++i)
            random[i] = char(i * 73 + 11);
        QTest::newRow("words alone") << QByteArray(10, '\b') + words << words;
        QTest::newRow("its block behind them") << QByteArray(10, '\b') + block(2, random, true) + words << words;
        QTest::newRow("a prompt in UTF-8") << QByteArray(10, '\b') + block(2, random, true) + "\r\nλ " << QByteArray("\r\nλ ");
    }
    void senderCancelLeavesTheHostsWords()
    {
        QFETCH(QByteArray, after);
        Harness h;
        h.transfer.startReceive(h.fn(), "r", h.path("got.bin"), X);
        h.transfer.feed(block(1, "hello", true));
        h.transfer.feed(QByteArray(10, CAN) + after);
        QCOMPARE(h.summary, QStringLiteral("对端取消传输 (CAN)"));
        QTEST(h.left, "shown");
    }

    // Every split of a CRC block, the last byte held back included, is read as that
    // block, not guessed to be a checksum block; a checksum block (a CRC block one
    // byte short) is taken once the line has been quiet for a while.
    void receiverSplitReads()
    {
        const QByteArray one = block(1, "split", true);
        for (int cut = 1; cut <= one.size(); ++cut) {
            const bool crc = cut < one.size();
            Harness h;
            h.receive(X, "f");
            h.transfer.feed(crc ? one.left(cut) : block(1, "sum", false));
            QVERIFY2(h.wire().isEmpty(), qPrintable(QString::number(cut)));
            if (crc)
                h.transfer.feed(one.mid(cut));
            else
                h.tick(2);
            h.transfer.feed(block(2, "more", crc) + EOT);
            QCOMPARE(h.takeWire(), QByteArray("\x06\x06\x06"));
            QVERIFY(h.ok);
        }
    }

    // What a YMODEM receive fed a byte at a time leaves (plain batches are in the peer
    // tests): block 256 is numbered 0 like a header (a repeat of it is none),
    // the first EOT gets a NAK. A user's "a.part" stays untouched; a file that never
    // got its end is no success and stays as its temporary file, named in the summary.
    void ymodemReceive_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QByteArray>("last");   // the content of the last of the files
        QTest::addColumn<QString>("summary"); // the start of it; empty: success
        const QByteArray d(1024, 'd'), data = block(1, d, true, 1024) + EOT + EOT, end = yHeader("", "");
        const QByteArray dataA = block(1, "aaa", true, 1024), mine = "mine";
        const QStringList user{"a.part"};
        const auto got = [](const QString &name) { return QStringList{"a.part", name}; };
        QByteArray wrap = yHeader("wrap", QByteArray::number(258 * 128)), wrapped;
        for (int i = 1; i <= 258; ++i) { // block 256 twice: its ACK was lost
            wrapped += QByteArray(128, char(i));
            wrap += block(quint8(i), wrapped.right(128), true).repeated(i == 256 ? 2 : 1);
        }
        QTest::newRow("no digits: nothing cut") << yHeader("u.bin", "abc") + data + end << got("u.bin") << d << "";
        QTest::newRow("block numbers wrap") << wrap + EOT + EOT + end << got("wrap") << wrapped << "";
        QTest::newRow("data before any header") << block(1, "x", true) << user << mine << "未收到文件头（块 0）";
        QTest::newRow("name ..") << yHeader("..", "3") << user << mine << "Ymodem 文件名非法";
        QTest::newRow("file shorter than announced") << yHeader("a", "5000") + dataA + EOT + EOT << user << mine
                                                     << "Ymodem 文件长度不足";
        QTest::newRow("cancelled inside a file") << yHeader("a", "3") + dataA << user << mine << "传输已被用户取消";
        QTest::newRow("next header before EOT") << yHeader("a", "3") + dataA + yHeader("b", "3") + dataA + EOT + EOT + end
                                                << QStringList{"a.1.part", "a.part", "b"} << QByteArray("aaa")
                                                << "接收未完成：1 个文件收完，1 个未收完整，保留为 ";
        QTest::newRow("batch ends inside a file") << yHeader("a", "3") + dataA + end
                                                  << QStringList{"a.1.part", "a.part"} << mine
                                                  << "接收未完成：0 个文件收完，1 个未收完整，保留为 ";
    }
    void ymodemReceive()
    {
        QFETCH(QByteArray, wire);
        QFETCH(QStringList, files);
        QFETCH(QString, summary);
        Harness h;
        h.file("a.part", "mine");
        h.receive(Y);
        h.feedEach(wire);
        h.transfer.cancel();
        QCOMPARE(h.ok, summary.isEmpty());
        QCOMPARE(h.summary.left(summary.size()), summary);
        QCOMPARE(h.files(), files);
        QTEST(h.read(files.last()), "last");
        QCOMPARE(h.read("a.part"), QByteArray("mine"));
        if (summary.isEmpty()) { // the header gets an ACK and a request for data, the first EOT a NAK
            QVERIFY(h.wire().startsWith("\x06" "C") && h.wire().count(NAK) == 1);
            const QString done = QStringLiteral("文件 %1 接收完成（%2 字节）").arg(files.last()).arg(h.read(files.last()).size());
            QVERIFY2(h.statuses.contains(done), qPrintable(h.statuses.join('|')));
        }
        if (files.contains("a.1.part")) {
            QVERIFY(h.summary.endsWith(h.path("a.1.part")));
            QCOMPARE(h.read("a.1.part"), QByteArray("aaa"));
        }
    }

    // While waiting, bytes that cannot start anything are dropped, not piled up. The
    // final save then fails (a folder has the file's name): every byte stays in the
    // temporary file, which the failure names. A send afterwards commits nothing.
    void chatterThenFailedSave()
    {
        Harness h;
        QVERIFY(QDir(h.dir.path()).mkdir("out"));
        h.receive(X, "out");
        for (int i = 0; i < 2000; ++i)
            h.transfer.feed(QByteArray(1000, 'z'));
        QVERIFY(h.transfer.bufferedBytes() <= 1100);
        h.transfer.feed(block(1, "abc", true) + EOT);
        QCOMPARE(h.takeWire(), QByteArray("\x06\x06"));
        QVERIFY2(!h.ok && h.summary.startsWith(QStringLiteral("提交接收文件失败")), qPrintable(h.summary));
        QVERIFY(h.summary.endsWith(h.path("out.part")));
        QCOMPARE(h.read("out.part"), "abc" + QByteArray(125, 0x1A));
        h.send({h.file("src", "x")}, X);
        h.feedEach("C\x06\x06");
        QVERIFY(h.ok);
        QCOMPARE(h.files(), (QStringList{"out.part", "src"}));
    }
};

QTEST_GUILESS_MAIN(TestXmodem)
#include "tst_xmodem.moc"
