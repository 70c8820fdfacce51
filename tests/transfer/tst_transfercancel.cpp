// How the engines meet a listener and a peer that is not there yet: a
// cancel asked for by a listener of a transfer's own reports, while the
// object is still inside the step that made them, must end that transfer as
// cancelled, once, and leave the object idle; and only the peer's first
// valid frame, never the shell's words or our own frames echoed back, says
// that the peer has started. Until then a ZMODEM or Kermit receive sends
// nothing after its first poll, which a shell would run as a command.

#include "tests/transfer/enginetest.h"
#include "transfer/kermitpacket.h"
#include "transfer/transfercommon.h"
#include "transfer/kermittransfer.h"
#include "transfer/xmodemtransfer.h"
#include "transfer/zmodemtransfer.h"

#include <QTest>

#include <memory>

namespace {

// A file to send, a folder to receive into, and a transfer of the protocol on a manual clock.
struct Fixture {
    QTemporaryDir dir;
    QString file = dir.filePath("f.bin");
    QByteArray sent;
    std::unique_ptr<InbandTransfer> t; // after the sink: its destructor may still send
    explicit Fixture(const QString &protocol, int size)
    {
        using T = InbandTransfer *;
        t.reset(protocol == "zmodem" ? T(new ZmodemTransfer) : protocol == "kermit" ? T(new KermitTransfer) : T(new XmodemTransfer));
        t->setManualClock(true);
        writeFile(file, QByteArray(size, 'x'));
    }
    void start(const QString &protocol, bool send, int variant = 0)
    {
        const TransferSendFn sink = [this](const QByteArray &b) { sent += b; };
        if (send)
            t->startSend(sink, "s", {file}, variant);
        else
            t->startReceive(sink, "s", protocol == "xmodem" ? dir.filePath("in.bin") : dir.path(), variant);
    }
};

// XMODEM's block 1 with a CRC.
QByteArray firstBlock()
{
    QByteArray block = "\x01\x01\xfe" + QByteArray(128, 'a');
    const quint16 crc = crc16(block.constData() + 3, 128);
    block += char(crc >> 8);
    block += char(crc & 0xff);
    return block;
}

// The frame's own rules, seen from an engine: what it heard, what it may
// send again.
struct Probe : InbandTransfer {
    using InbandTransfer::hostWordsAt;
    using InbandTransfer::looksLikeHostWords;
    void startSend(TransferSendFn fn, const QString &id, const QStringList &, int) override { beginRun(fn, id, 1, true); }
    void startReceive(TransferSendFn fn, const QString &id, const QString &, int) override { beginRun(fn, id, 1, false); }
    void feed(const QByteArray &data) override
    {
        if (data == "frame")
            heardPeer();
        else if (data == "fail")
            announceEnd("failed", "failed");
        else if (data == "done")
            announceEnd("done", {});
    }
    void onTick() override { log += mayResend() ? 'R' : '-'; }
    void cancelTransfer() override
    {
        send("X");
        announceEnd("cancelled", "cancelled");
    }
    QByteArray log;
};

} // namespace

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
        Fixture f(protocol == "ymodem" ? "xmodem" : protocol, 3000);
        InbandTransfer *t = f.t.get();
        QList<InbandTransfer::Outcome> outcomes;
        connect(t, &InbandTransfer::resultReady, [&](InbandTransfer::Outcome o, const QString &) { outcomes << o; });
        connect(t, &InbandTransfer::statusMessage, t, [&] { t->cancel(); });
        f.start(protocol, send, protocol == "ymodem" ? XmodemTransfer::Ymodem : 0); // Xmodem, for the rest
        QCOMPARE(outcomes, QList<InbandTransfer::Outcome>{InbandTransfer::Cancelled});
        QVERIFY(!t->isActive());
        t->tick();
        QCOMPARE(outcomes.size(), 1);
    }

    void peerStartedOnlyByItsFirstFrame_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<bool>("send");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("started");
        const QByteArray shell("bash: rz: command not found\r\n");
        for (const char *p : {"xmodem", "zmodem", "kermit"}) {
            QTest::addRow("%s send: shell text", p) << p << true << shell << false;
            QTest::addRow("%s receive: shell text", p) << p << false << shell << false;
        }
        const QByteArray zeroes(4, '\0');
        const QByteArray block = firstBlock();
        QTest::newRow("xmodem send: C") << "xmodem" << true << shell + "C" << true;
        QTest::newRow("xmodem send: NAK") << "xmodem" << true << QByteArray("\x15") << true;
        QTest::newRow("xmodem receive: block") << "xmodem" << false << shell + block << true;
        QTest::newRow("zmodem send: ZRINIT") << "zmodem" << true << Zmodem::hexHeader(Zmodem::ZRINIT, zeroes) << true;
        QTest::newRow("zmodem send: own ZRQINIT echoed") << "zmodem" << true << Zmodem::hexHeader(Zmodem::ZRQINIT, zeroes)
                                                         << false;
        QTest::newRow("zmodem receive: ZRQINIT") << "zmodem" << false << Zmodem::hexHeader(Zmodem::ZRQINIT, zeroes)
                                                 << true;
        QTest::newRow("zmodem receive: own ZRINIT echoed") << "zmodem" << false << Zmodem::hexHeader(Zmodem::ZRINIT, zeroes)
                                                           << false;
        QTest::newRow("kermit send: ACK of S") << "kermit" << true << kermit::buildPacket('Y', 0, kermit::sendInitData(1), 1, 13)
                                               << true;
        QTest::newRow("kermit send: own S echoed") << "kermit" << true
                                                   << kermit::buildPacket('S', 0, kermit::sendInitData(1), 1, 13) << false;
        QTest::newRow("kermit receive: S") << "kermit" << false << kermit::buildPacket('S', 0, kermit::sendInitData(1), 1, 13)
                                           << true;
        QTest::newRow("kermit receive: own NAK echoed") << "kermit" << false
                                                        << kermit::buildPacket('N', 0, QByteArray(), 1, 13) << false;
    }
    void peerStartedOnlyByItsFirstFrame()
    {
        QFETCH(QString, protocol);
        QFETCH(bool, send);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, started);
        Fixture f(protocol, 300);
        InbandTransfer *t = f.t.get();
        int changes = 0;
        connect(t, &InbandTransfer::peerStartedChanged, [&] { ++changes; });
        for (int round = 0; round < 2; ++round) { // a second start forgets the first peer
            f.start(protocol, send);
            f.sent.clear();
            QVERIFY(!t->peerStarted());
            t->feed(bytes);
            QCOMPARE(t->peerStarted(), started);
            QCOMPARE(changes, started ? round + 1 : 0);
            if (!send && protocol != "xmodem") { // XMODEM's sender needs its polls
                QCOMPARE(!f.sent.isEmpty(), started); // the opening answered at once, an echo never
                f.sent.clear();
                for (int tick = 0; tick < 100; ++tick)
                    t->tick();
                QCOMPARE(!f.sent.isEmpty(), started);
            }
            t->cancel();
        }
    }

    // A resend into silence is allowed once per hearing of the peer, none
    // before it was ever heard; a new run forgets the last one's peer. What
    // the connection still holds is dropped once when a run fails or is
    // cancelled, before the cancel's own bytes, and kept when it succeeds.
    void frameRules_data()
    {
        QTest::addColumn<QStringList>("steps"); // fed, "tick", "cancel" or "start"
        QTest::addColumn<QByteArray>("resends");
        QTest::addColumn<int>("discards");
        QTest::newRow("never heard") << QStringList{"tick", "tick"} << QByteArray("--") << 0;
        QTest::newRow("once per hearing")
            << QStringList{"frame", "tick", "tick", "frame", "frame", "tick", "tick"} << QByteArray("R-R-") << 0;
        QTest::newRow("a new run forgets the peer") << QStringList{"frame", "start", "tick"} << QByteArray("-") << 0;
        QTest::newRow("success keeps the queue") << QStringList{"frame", "done"} << QByteArray() << 0;
        QTest::newRow("failure drops it") << QStringList{"frame", "fail"} << QByteArray() << 1;
        QTest::newRow("cancel drops it first") << QStringList{"cancel"} << QByteArray() << 1;
        QTest::newRow("once a run") << QStringList{"fail", "start", "cancel"} << QByteArray() << 2;
    }
    void frameRules()
    {
        QFETCH(QStringList, steps);
        Probe p;
        QByteArray line; // the connection: sent bytes, and 'D' where the queue was dropped
        int discards = 0;
        p.setDiscardFn([&] { ++discards, line += 'D'; });
        const TransferSendFn fn = [&](const QByteArray &b) { line += b; };
        connect(&p, &InbandTransfer::resultReady, [&](InbandTransfer::Outcome o) {
            if (o == InbandTransfer::Cancelled)
                QCOMPARE(line.right(2), QByteArray("DX")); // the cancel's own bytes after the drop
        });
        p.startSend(fn, "s", {}, 0);
        for (const QString &step : steps) {
            if (step == "tick")
                p.tick();
            else if (step == "cancel")
                p.cancel();
            else if (step == "start")
                p.startSend(fn, "s", {}, 0);
            else
                p.feed(step.toLatin1());
        }
        QTEST(p.log, "resends");
        QTEST(discards, "discards");
    }

    void hostWords_data()
    {
        QTest::addColumn<QByteArray>("read");
        QTest::addColumn<bool>("words");
        QTest::newRow("caught signal") << QByteArray("rz: caught signal 15; exiting\r\n") << true;
        QTest::newRow("after junk") << QByteArray("\x18\x18\x01\r\nbash: xyz: command not found\n") << true;
        QTest::newRow("coloured") << QByteArray("\x1b[31mbash: oops\x1b[0m\r\n") << true;
        QTest::newRow("no line end yet") << QByteArray("bash: xyz: command not") << false;
        QTest::newRow("hex header") << Zmodem::hexHeader(Zmodem::ZRINIT, QByteArray(4, '\0')) << false;
        QTest::newRow("hex header, upper case") << Zmodem::hexHeader(Zmodem::ZRPOS, QByteArray(4, '\0')).toUpper() << false;
        QTest::newRow("binary data") << Zmodem::dataSubpacket(QByteArray("abc\r\ndef"), Zmodem::ZCRCW) << false;
        QTest::newRow("a prompt alone") << QByteArray("$ ") << false;
        QTest::newRow("line ends only") << QByteArray("\r\n\r\n") << false;
        QTest::newRow("after a frame cut short") << QByteArray("\x18" "Aq\x18" "Cz sz: caught signal 15; exiting\r\n") << true;
        QTest::newRow("hex header cut after its ZDLE") << QByteArray("B0900000000a87c\r\n\x11") << false;
        QTest::newRow("kermit packet") << kermit::buildPacket('Y', 0, "~* @-#Y3", 1, 13) << false;
        // A subpacket's end, its CRC plain or escaped, and the line end that
        // starts a host line written between two subpackets.
        QTest::newRow("subpacket's end, then a line end") << QByteArray("data\x18iQ3z}\r\n\aBroadcast") << false;
        QTest::newRow("subpacket's end, escaped CRC") << QByteArray("data\x18ja\x18Mbc\r\n") << false;
        QTest::newRow("killed after an escape") << QByteArray("data\x18MKilled\r\n") << true;
        QTest::newRow("killed inside a character of the data") << QByteArray("data\xe4\xb8" "Killed\r\n") << true;
    }
    void hostWords()
    {
        QFETCH(QByteArray, read);
        QTEST(Probe::looksLikeHostWords(read), "words");
        // They begin after the frame's remains: the screen gets no byte of
        // a character the peer's death cut short.
        const qsizetype at = Probe::hostWordsAt(read);
        const QByteArray line = read.mid(at).split('\n').first();
        QVERIFY2(at < 0 || !brokenUtf8(line).contains(true), line.toHex(' ').constData());
    }

    // The peer gives up (lrzsz's ten CANs and ten backspaces, Kermit's error
    // packet) with the shell's words in the same read: the run fails, the
    // words are the screen's, and nothing goes back to the peer that left.
    void peerGivesUp_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<bool>("send");
        QTest::addColumn<QByteArray>("first"); // the peer's first frame
        QTest::addColumn<QByteArray>("cancel");
        const QByteArray lrzsz = QByteArray(10, 0x18) + QByteArray(10, '\b'), zeroes(4, '\0');
        const QByteArray block = firstBlock();
        const QByteArray error = kermit::buildPacket('E', 1, "Interrupted", 1, 13);
        QTest::newRow("xmodem send") << "xmodem" << true << QByteArray("C") << lrzsz;
        QTest::newRow("xmodem receive") << "xmodem" << false << block << lrzsz;
        QTest::newRow("zmodem send") << "zmodem" << true << Zmodem::hexHeader(Zmodem::ZRINIT, zeroes) << lrzsz;
        QTest::newRow("zmodem receive") << "zmodem" << false << Zmodem::hexHeader(Zmodem::ZRQINIT, zeroes) << lrzsz;
        QTest::newRow("kermit send") << "kermit" << true << kermit::buildPacket('Y', 0, kermit::sendInitData(1), 1, 13)
                                     << error;
        QTest::newRow("kermit receive") << "kermit" << false << kermit::buildPacket('S', 0, kermit::sendInitData(1), 1, 13)
                                        << error;
    }
    void peerGivesUp()
    {
        QFETCH(QString, protocol);
        QFETCH(bool, send);
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, cancel);
        Fixture f(protocol, 3000);
        QList<InbandTransfer::Outcome> outcomes;
        QByteArray left;
        connect(f.t.get(), &InbandTransfer::resultReady, [&](InbandTransfer::Outcome o) {
            outcomes << o;
            left = f.t->takeUnconsumed(); // as the session takes it
        });
        f.start(protocol, send);
        f.t->feed(first);
        QVERIFY(f.t->peerStarted() && f.t->isActive());
        f.sent.clear();
        f.t->feed(cancel + "END=130\r\n$ ");
        QCOMPARE(outcomes, QList<InbandTransfer::Outcome>{InbandTransfer::Failed});
        QCOMPARE(left, QByteArray("END=130\r\n$ "));
        QCOMPARE(f.sent, QByteArray());
    }
};

QTEST_MAIN(TestTransferCancel)
#include "tst_transfercancel.moc"
