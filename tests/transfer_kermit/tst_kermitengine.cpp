// KermitTransfer driven by a scripted peer, byte by byte: what a real peer will not produce
// on demand (bad names, discards, lost ACKs, bad packets, silence, short packets, wraps).

#include "tests/transfer/enginetest.h"
#include "transfer/kermitpacket.h"
#include "transfer/kermittransfer.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace kermit;

namespace {

struct Harness : EngineHarness<KermitTransfer> {
    // The last packet we sent, parsed under whatever check type it carries.
    Packet last() const
    {
        Packet p;
        qsizetype at = sent.size() - 1;
        while (at > 0 && !sent.at(at).startsWith('\x01'))
            --at;
        for (const int check : {3, 2, 1}) {
            int pos = 0;
            if (scanNext(sent.value(at), &pos, check, &p) == ScanResult::Packet && p.checkType == check)
                return p;
        }
        return Packet{};
    }
    // That packet in short: type, sequence, check type ("Y1/3").
    QString tag() const
    {
        const Packet p = last();
        return QStringLiteral("%1%2/%3").arg(QLatin1Char(p.type)).arg(p.seq).arg(p.checkType);
    }
    void peer(char t, int n, const QByteArray &d = {}, int c = 1) { transfer.feed(buildPacket(t, n, d, c, 13)); }
    // A receive whose Send-Init has been taken.
    void receiving(const QByteArray &init = sendInitData(1))
    {
        transfer.startReceive(fn(), "r", dir.path());
        peer('S', 0, init);
    }
};

QByteArray enc(const QByteArray &b) { return encodePrefixed(b, '#'); }
QByteArray peerInit(char chkt) { return sendInitData(1).replace(7, 1, &chkt, 1); } // the peer's, with this CHKT

} // namespace

class TestKermitEngine : public QObject
{
    Q_OBJECT
private slots:
    // The receiver takes the sender's check type (C-Kermit's digits are in the peer tests):
    // the ACK of S states it and still carries a type-1 check, later packets carry it. A
    // repeated S (our ACK was lost) gets the same ACK, a repeated F an empty ACK (from its
    // second repeat), a packet out of step a NAK of the one wanted.
    void receiverTakesSendersCheckType_data()
    {
        QTest::addColumn<char>("chkt");
        QTest::addColumn<int>("check");
        QTest::newRow("old form '#'") << '#' << 3;
        QTest::newRow("unknown") << 'Q' << 1;
    }
    void receiverTakesSendersCheckType()
    {
        QFETCH(char, chkt);
        QFETCH(int, check);
        Harness h;
        h.receiving(peerInit(chkt));
        const QByteArray ackOfS = h.sent.last();
        QCOMPARE(h.tag(), QStringLiteral("Y0/1"));
        QCOMPARE(h.last().data, sendInitData(check));
        h.peer('S', 0, peerInit(chkt));
        QCOMPARE(h.sent.last(), ackOfS);
        // Its first repeat goes unanswered (a dying peer repeats its last
        // packet once), the next is answered; each packet in step starts that
        // over.
        for (const int answers : {1, 1, 2}) {
            h.peer('F', 1, enc("f.txt"), check);
            QCOMPARE(h.tag(), QStringLiteral("Y1/%1").arg(check));
            QCOMPARE(h.sent.count(h.sent.last()), answers);
        }
        QVERIFY(h.last().data.isEmpty());
        for (const int answers : {1, 1, 2}) {
            h.peer('D', 2, enc("x"), check);
            QCOMPARE(h.tag(), QStringLiteral("Y2/%1").arg(check));
            QCOMPARE(h.sent.count(h.sent.last()), answers);
        }
        h.peer('D', 4, enc("x"), check);
        QCOMPARE(h.tag(), QStringLiteral("N3/%1").arg(check));
    }

    // A receiver NAKs at once, then waits for S without a word (the line is a
    // shell's), and gives up at the 25th 5 s time-out; once data flows each
    // packet restarts its 10 s wait.
    void receiverTimeOuts()
    {
        Harness h;
        h.transfer.startReceive(h.fn(), "r", h.dir.path());
        QCOMPARE(h.sent.value(0).toHex(' '), QByteArray::fromHex("0123204E330D").toHex(' '));
        QCOMPARE(h.statuses.value(0), QStringLiteral("Kermit 接收 -> 目录 %1，请在对端运行 kermit -s ...").arg(h.dir.path()));
        for (const auto &[ticks, count] : {std::pair{4, 1}, {1, 1}, {5 * 23, 1}}) {
            h.tick(ticks);
            QCOMPARE(h.sent.size(), count);
        }
        QCOMPARE(h.tag(), QStringLiteral("N0/1"));
        h.tick(5);
        QCOMPARE(h.summary, QStringLiteral("2 分钟内对端未开始发送，放弃"));
        QCOMPARE(h.last().type, 'N'); // no error packet for a sender that never came: it would land in the shell

        Harness r;
        r.receiving();
        r.peer('F', 1, enc("slow.bin"));
        for (int seq = 2; seq < 40; ++seq) {
            r.tick(9);
            r.peer('D', seq, enc("abc"));
            QCOMPARE(r.last().type, 'Y'); // never a NAK in between
        }
        r.tick(10);
        QCOMPARE(r.tag(), QStringLiteral("N40/1"));
        r.tick(10 * 12);
        QCOMPARE(r.summary, QStringLiteral("接收超时，中止"));
        QCOMPARE(r.files(), QStringList());
    }

    // A receive scripted as packets after S ('|' between packets: type, then data), beside
    // a user's "a.part", which nothing touches. A file that never gets its Z is no success:
    // it stays as its temporary file, which the summary names.
    void receiverFileEndings_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("summary"); // the start of it; empty: success
        const QStringList user{"a.part"}, kept{"a.1.part", "a.part"};
        const QString incomplete = QStringLiteral("接收未完成：%1 个文件收完，1 个未收完整，保留为 ");
        QTest::newRow("attributes ignored") << QByteArray("Fa|A!#1|Dhello|Z|B") << QStringList{"a", "a.part"} << "";
        QTest::newRow("Z with D discards") << QByteArray("Fa|Dhello|ZD|B") << user << "";
        QTest::newRow("B without Z") << QByteArray("Fa|Dhello|B") << kept << incomplete.arg(0);
        QTest::newRow("second F without Z") << QByteArray("Fa|Dhello|Fb|Dy|Z|B") << kept + QStringList{"b"}
                                            << incomplete.arg(1);
        QTest::newRow("peer error inside a file") << QByteArray("Fa|Dhello|EDisk full\r\n") << user << "对端错误：Disk full\r\n";
        QTest::newRow("common form lower-cased") << QByteArray("FY100K.BIN|Dhello|Z|B") << QStringList{"a.part", "y100k.bin"} << "";
        QTest::newRow("mixed case kept") << QByteArray("FReadMe.TXT|Dhello|Z|B") << QStringList{"ReadMe.TXT", "a.part"} << "";
        QTest::newRow("name ..") << QByteArray("Fa/..") << user << "Kermit 文件名非法";
        QTest::newRow("empty name") << QByteArray("F") << user << "Kermit 文件名非法";
    }
    void receiverFileEndings()
    {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, files);
        QFETCH(QString, summary);
        Harness h;
        h.file("a.part", "mine");
        h.receiving();
        int seq = 1;
        for (const QByteArray &step : script.split('|'))
            h.peer(step.at(0), seq++, enc(step.mid(1)));
        h.tick(2); // after B: the closing time
        QVERIFY(h.finished == 1 && h.ok == summary.isEmpty());
        QCOMPARE(h.summary.left(summary.size()), summary);
        QCOMPARE(h.files(), files);
        QCOMPARE(h.read("a.part"), QByteArray("mine"));
        if (files.contains("a.1.part")) {
            QVERIFY(h.summary.endsWith(h.path("a.1.part")));
            QCOMPARE(h.read("a.1.part"), QByteArray("hello"));
        }
    }

    // A Kermit file comes without a length: the amount received is told,
    // per 4 KiB up to 64, then per 64 KiB up to a MiB, as XMODEM's is.
    void receiveProgress()
    {
        Harness h;
        h.receiving();
        h.peer('F', 1, enc("big.bin"));
        int seq = 2;
        for (int sent = 0; sent < 200 * 1024; sent += 80)
            h.peer('D', seq++ & 63, QByteArray(80, 'x'));
        QStringList told, expected;
        for (const QString &status : std::as_const(h.statuses))
            told << (status.startsWith(QStringLiteral("接收 big.bin")) ? status : QString());
        told.removeAll(QString());
        for (int kib : {4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 44, 48, 52, 56, 60, 64, 128, 192})
            expected << QStringLiteral("接收 big.bin：%1 KB").arg(kib);
        QCOMPARE(told, expected);
    }

    // The receiver acknowledges B and leaves; the shell's words can come in
    // the same read as that ACK, and are the screen's.
    void senderEnd()
    {
        Harness h;
        h.send({h.file("empty.bin", QByteArray())});
        for (int step = 0; step < 8 && h.last().type != 'B'; ++step)
            h.peer('Y', h.last().seq, h.last().type == 'S' ? sendInitData(1) : QByteArray());
        QCOMPARE(h.last().type, 'B');
        h.transfer.feed(buildPacket('Y', h.last().seq, QByteArray(), 1, 13) + "\nEND=0\r\n$ ");
        QVERIFY(h.finished == 1 && h.ok);
        QCOMPARE(h.left, QByteArray("END=0\r\n$ "));
    }

    // After B is acknowledged, a repeat of it that crossed our ACK is taken
    // without an answer (the sender has gone when it would come, and it
    // would land in the shell); the shell's words end the run and are left
    // for the screen, without the packet's end of line. A packet begun and
    // never finished is the host's once the closing time (2 s) is up, and
    // nothing that arrives extends it. An empty read: a second passes. No
    // reads: the real clock, from an ACK that goes out just before a tick.
    void receiverEnd_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<QByteArray>("left");
        const QByteArray b = buildPacket('B', 1, QByteArray(), 1, 13);
        QTest::newRow("a repeat, then the prompt") << QByteArrayList{b, "\x1b[?2004h$ "} << QByteArray("\x1b[?2004h$ ");
        QTest::newRow("a repeat with a stray mark") << QByteArrayList{b + "\x01 x", "", "line\r\n"} << QByteArray("\x01 x");
        QTest::newRow("words behind a packet begun") << QByteArrayList{b, "\x01~ x", "", "$ ", ""} << QByteArray("\x01~ x$ ");
        QTest::newRow("a line behind a packet begun") << QByteArrayList{b, "\x01~ x", "\r\n$ "} << QByteArray("\x01~ x\r\n$ ");
        QTest::newRow("repeats every second") << QByteArrayList{b, "", b, "", b, "", b} << QByteArray();
        QTest::newRow("silence, real clock") << QByteArrayList{} << QByteArray();
    }
    void receiverEnd()
    {
        QFETCH(QByteArrayList, reads);
        Harness h;
        h.receiving();
        if (reads.isEmpty())
            QTest::qWait(800); // the run's clock ticks 1 s after its start
        QElapsedTimer acked;
        acked.start();
        h.transfer.feed(buildPacket('B', 1, QByteArray(), 1, 13));
        QCOMPARE(h.tag(), QStringLiteral("Y1/1"));
        h.sent.clear();
        for (const QByteArray &read : reads)
            read.isEmpty() ? h.tick() : h.transfer.feed(read);
        if (reads.isEmpty()) {
            QVERIFY(QTest::qWaitFor([&] { return h.finished > 0; }, 5000));
            QVERIFY2(acked.elapsed() > 1600, qPrintable(QString::number(acked.elapsed())));
        }
        QVERIFY(h.sent.isEmpty());
        QVERIFY(h.finished == 1 && h.ok);
        QTEST(h.left, "left");
    }

    // Thirty bad packets in a row are NAKed, the 31st ends it; a good packet
    // (even out of step) clears the count. What follows B in the same chunk
    // does not reach the next transfer. An idle object does nothing.
    void badPacketsAndLeftovers()
    {
        Harness h;
        h.receiving();
        QByteArray bad = buildPacket('D', 1, "abc", 1, 13);
        bad[5] = 'x'; // data changed after the check was made
        h.transfer.feed(bad.repeated(30));
        QCOMPARE(h.tag(), QStringLiteral("N1/1"));
        h.peer('D', 9, "zz");
        h.transfer.feed(bad.repeated(30));
        QCOMPARE(h.finished, 0);
        h.transfer.feed(bad);
        QCOMPARE(h.summary, QStringLiteral("坏包重试过多，中止"));

        Harness r;
        r.transfer.cancel();
        r.peer('S', 0, sendInitData(1));
        r.tick(100);
        QVERIFY(r.sent.isEmpty() && r.statuses.isEmpty() && r.finished == 0);
        r.receiving();
        r.transfer.feed(buildPacket('B', 1, QByteArray(), 1, 13) + QByteArray("\x01~ X"));
        r.tick(2);
        QVERIFY(r.ok);
        r.receiving();
        QCOMPARE(r.tag(), QStringLiteral("Y0/1"));
        QCOMPARE(r.last().data, sendInitData(1));
    }

    // A batch with paths that cannot be opened, to a peer whose packets are
    // short: every byte arrives once, the sequence number wraps, the paths
    // that fail are skipped with a word.
    void senderFollowsShortPacketsAndWraps()
    {
        QByteArray content;
        for (int i = 0; i < 3000; ++i)
            content += char(i * 7);
        Harness h;
        h.send({h.path("nope"), h.file("c.bin", content), h.path("nope2")});
        const QByteArray ack = sendInitData(1).replace(0, 1, QByteArray(1, tochar(10))); // MAXL 10 is held to 20
        QByteArray got; // as a receiver that ACKs everything
        for (int guard = 0; guard < 100000 && h.finished == 0; ++guard) {
            const Packet p = h.last();
            got += p.type == 'D' ? decodePrefixed(p.data, '#') : p.type == 'Z' ? QByteArray("|") : QByteArray();
            h.peer('Y', p.seq, p.type == 'S' ? ack : QByteArray(), h.transfer.checkType());
        }
        QCOMPARE(got, content + '|');
        QVERIFY(h.ok);
        int dataPackets = 0;
        for (const QByteArray &p : h.sent) {
            QVERIFY(unchar(p.at(1)) + 2 <= 20);
            dataPackets += p.at(3) == 'D';
        }
        QVERIFY(dataPackets > 128); // the sequence number wrapped twice
        QVERIFY(h.statuses.contains(QStringLiteral("无法打开 %1，跳过").arg(h.path("nope"))));
        QCOMPARE(h.statuses.last(), QStringLiteral("Kermit 发送完成（1 个文件）"));
    }

    // The peer hears why, in a packet that its one-character length still fits.
    void senderRefusesWhatItCannotSend_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("summary");
        const QString longName = QString(60, QChar(0x540D)) + ".txt"; // 184 UTF-8 bytes
        QTest::newRow("name longer than a packet") << longName << QStringLiteral("文件名过长，无法发送：%1").arg(longName);
        QTest::newRow("no file opens") << "missing" << "没有可发送的文件（全部无法打开）";
    }
    void senderRefusesWhatItCannotSend()
    {
        QFETCH(QString, name);
        QFETCH(QString, summary);
        Harness h;
        h.send({name == "missing" ? h.path(name) : h.file(name, QByteArray())});
        h.peer('Y', 0, sendInitData(1));
        QVERIFY(h.finished == 1 && !h.ok);
        QCOMPARE(h.summary, summary);
        QCOMPARE(h.last().type, 'E');
        QVERIFY(unchar(h.sent.last().at(1)) <= 94);
        QVERIFY(summary.toUtf8().startsWith(decodePrefixed(h.last().data, '#')));
    }

    // The S goes once, whatever the silence: until a receiver answers, the
    // line is a shell's. A receiver started late NAKs it and gets it at once;
    // a NAK of the packet in flight resends it, more than ten in a row end it.
    void senderAnswersReplies()
    {
        Harness h;
        h.send({h.path("x")});
        QCOMPARE(h.sent.value(0).toHex(' '), QByteArray::fromHex("012C20537E2A20202D23203120290D").toHex(' '));
        h.tick(8 * 10);
        QCOMPARE(h.sent.size(), 1);
        h.peer('N', 0);
        QCOMPARE(h.sent, QList<QByteArray>(2, h.sent.value(0)));
        for (int i = 0; i < 9; ++i)
            h.peer('N', 0);
        QVERIFY(h.sent.size() == 11 && h.finished == 0);
        h.peer('N', 0);
        QCOMPARE(h.summary, QStringLiteral("对端持续 NAK，中止"));

        // With F in flight (sequence 1), after the receiver asked for check
        // type 3 in its ACK of S.
        Harness f;
        f.send({f.file("r.bin", "abc")});
        f.peer('Y', 0, peerInit('3'));
        QCOMPARE(f.tag(), QStringLiteral("F1/3"));
        const int before = int(f.sent.size());
        f.peer('Y', 0, QByteArray(), 3); // a late ACK of S: dropped, no resend
        QCOMPARE(f.sent.size(), before);
        f.peer('N', 0, QByteArray(), 3); // a NAK of another packet: resend
        QCOMPARE(f.sent.size(), before + 1);
        QCOMPARE(f.tag(), QStringLiteral("F1/3"));
        f.peer('N', 2, QByteArray(), 3); // NAK of the next packet: F arrived
        QCOMPARE(f.tag(), QStringLiteral("D2/3"));
        QCOMPARE(decodePrefixed(f.last().data, '#'), QByteArray("abc"));
        f.peer('E', 40, enc("no space"), 3); // an error, whatever its number
        QCOMPARE(f.summary, QStringLiteral("对端错误：no space"));
    }

    // Until the peer has answered, the line is a shell's; once it has left, a
    // shell takes its place. Steps: "ack" (the receiver answers the packet in
    // flight), "NAK" (a receiver started late asks for S), "S", "F", "D" (the
    // sender's next packet), "tN" (N seconds), "wN" (N ms of the real
    // clock), "cancel", or bytes as read; "step|bytes": the step's packet
    // and those bytes in one read.
    // What we sent, by packet type ('|' where the connection's queue was
    // dropped), and the end ("" still running). Nothing goes out after the
    // end, nor any error packet into a shell; a shell seen back (its words,
    // and no packet of the peer's a tick later) gets a Ctrl+C for what of
    // ours may stand in its line. A peer silent past the limit may only
    // have stopped: it is told, after a lone resend and a receiver's NAKs.
    void peerLeaves_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("summary");
        const QString silent = "对端持续无响应，中止", gone = "对端已退出，中止", late = "接收超时，中止";
        const QString cancelled = "Kermit 传输已被用户取消", killed = "Killed\r\nEND=137\r\n$ ";
        const QString stopped = "\r\n[1]+  Stopped                 gkermit -r\r\nEND=148\r\n$ ";
        // dash runs what it read as a command; the mark of our packet and
        // its length start the name it cannot find.
        const QString dash = "dash: 1: \x01#: not found\n", dashOfS = "dash: 2: \x01,: not found\n";
        QTest::newRow("send: nobody, 87 s") << true << QStringList{"t87"} << QByteArray("S") << "";
        QTest::newRow("send: nobody, 88 s") << true << QStringList{"t88"} << QByteArray("S|") << silent;
        QTest::newRow("send: nobody, cancelled") << true << QStringList{"t20", "cancel"} << QByteArray("S|") << cancelled;
        QTest::newRow("send: own S echoed by dash") << true << QStringList{dashOfS, "t9", dashOfS} << QByteArray("S") << "";
        QTest::newRow("send: receiver late") << true << QStringList{"t30", "NAK", "ack", "ack"} << QByteArray("SSFD") << "";
        const QString wall = "Broadcast message from root\r\n";
        QTest::newRow("send: receiver silent") << true << QStringList{"ack", "t15"} << QByteArray("SFF") << "";
        QTest::newRow("send: receiver stopped 25 s") << true << QStringList{"ack", "t25", "ack"} << QByteArray("SFFD") << "";
        QTest::newRow("send: patience not yet over") << true << QStringList{"ack", "t87"} << QByteArray("SFF") << "";
        QTest::newRow("send: receiver gone") << true << QStringList{"ack", "t88"} << QByteArray("SFF|E") << silent;
        QTest::newRow("send: once per answer") << true << QStringList{"ack", "t8", "ack", "t8", "t8"} << QByteArray("SFFDD")
                                               << "";
        QTest::newRow("send: host text mid-run") << true << QStringList{"ack", wall, "ack", "t1"} << QByteArray("SF|D") << "";
        QTest::newRow("send: shell back") << true << QStringList{"ack", "ack", killed, "t30"} << QByteArray("SFD||^") << gone;
        // The peer's last packet and the shell's words in one read, as a
        // busy machine reads them: the packet is not answered.
        QTest::newRow("send: shell back behind an ACK") << true << QStringList{"ack", "ack|" + killed, "t30"}
                                                        << QByteArray("SF||") << gone;
        // Its prompt slow to come: the shell's own words end it all the
        // same, a second after a live peer would have answered.
        const QString killedNoPrompt = "Killed\r\nEND=137\r\n";
        QTest::newRow("send: shell back behind an ACK, prompt late") << true << QStringList{"ack", "ack|" + killedNoPrompt, "t1"}
                                                                     << QByteArray("SF|") << "";
        QTest::newRow("send: shell back behind an ACK, prompt later") << true << QStringList{"ack", "ack|" + killedNoPrompt, "t2"}
                                                                      << QByteArray("SF||") << gone;
        QTest::newRow("send: shell back behind an ACK, prompt at last") << true << QStringList{"ack", "ack|" + killedNoPrompt, "t4", "$ ", "t1"}
                                                                        << QByteArray("SF||") << gone;
        // A cancel as the words come: the Ctrl+C waits for the tick after
        // them, when the shell has read what of ours was there.
        QTest::newRow("send: shell back, cancelled") << true << QStringList{"ack", "Killed\r\n", "cancel"} << QByteArray("SF||")
                                                     << "";
        QTest::newRow("send: shell back, cancelled, a tick on") << true << QStringList{"ack", "Killed\r\n", "cancel", "$ ", "t1"}
                                                                << QByteArray("SF||^") << gone;
        // Our cancel answers the peer's next packet: sent before the peer has
        // read ours, it would be thrown away with what the peer had unread.
        // It waits a quiet second, in which a peer killed as it spoke has its
        // shell say so. A peer silent since the stop is told under each
        // number it may wait on, in one write, two seconds on (one after a
        // second cancel), and has two more (one) to answer.
        QTest::newRow("send: cancelled mid-run") << true << QStringList{"ack", "cancel", "ack", "t1"} << QByteArray("SF|E")
                                                 << cancelled;
        QTest::newRow("send: cancelled, answer held") << true << QStringList{"ack", "cancel", "ack"} << QByteArray("SF|") << "";
        // On the real clock: the second is counted from the answer, not from the cancel.
        QTest::newRow("send: cancelled, answer held, real clock") << true << QStringList{"ack", "cancel", "w800", "ack", "w500"}
                                                                  << QByteArray("SF|") << "";
        QTest::newRow("send: cancelled, no answer yet") << true << QStringList{"ack", "cancel", "t1"} << QByteArray("SF|") << "";
        QTest::newRow("send: cancelled, no answer") << true << QStringList{"ack", "cancel", "t2"} << QByteArray("SF|(EE)") << "";
        QTest::newRow("send: cancelled, never answered") << true << QStringList{"ack", "cancel", "t4"} << QByteArray("SF|(EE)")
                                                         << cancelled;
        QTest::newRow("send: cancelled twice") << true << QStringList{"ack", "cancel", "cancel", "ack", "t1"}
                                               << QByteArray("SF|E") << cancelled;
        QTest::newRow("send: cancelled twice, no answer") << true << QStringList{"ack", "cancel", "cancel", "t2"}
                                                          << QByteArray("SF|(EE)") << cancelled;
        // The peer was busy with our packet and threw the error packets away.
        const QString ackOfF = QString::fromLatin1(buildPacket('Y', 1, QByteArray(), 1, 13));
        QTest::newRow("send: cancelled twice, answered late") << true << QStringList{"ack", "cancel", "t1", "cancel", "t1", ackOfF, "t1"}
                                                              << QByteArray("SF|(EE)E") << cancelled;
        QTest::newRow("send: left on our error packet") << true << QStringList{"ack", "cancel", "t2", "\r\r\nEND=1\r\n$ ", "t1"}
                                                        << QByteArray("SF|(EE)|") << cancelled;
        QTest::newRow("send: cancelled, our packet queued") << true << QStringList{"ack", "queued", "cancel", "t12"}
                                                            << QByteArray("SF|(EE)") << cancelled;
        const QString nakOfF = QString::fromLatin1(buildPacket('N', 1, QByteArray(), 1, 13)); // at the receiver's time-out
        QTest::newRow("send: cancelled, our packet cut short") << true << QStringList{"ack", "queued", "cancel", "t11", nakOfF, "t1"}
                                                               << QByteArray("SF|(EE)E") << cancelled;
        // Killed while our answer waits its quiet second: its shell gets a
        // Ctrl+C, no error packet.
        QTest::newRow("send: killed while cancelling") << true << QStringList{"ack", "cancel", "ack", killed, "t1"}
                                                       << QByteArray("SF||^") << cancelled;
        QTest::newRow("send: stopped while cancelling") << true << QStringList{"ack", "cancel", "t1", stopped, "t1"}
                                                        << QByteArray("SF||^") << cancelled;
        QTest::newRow("receive: dash answers our NAK") << false << QStringList{dash, dash, "t60", dash, "S", "F"}
                                                       << QByteArray("NYY") << "";
        QTest::newRow("receive: a line like a bad packet before S") << false << QStringList{"\x01# Nx\r\n", "\x01#: no\r", "t6", "S"}
                                                                    << QByteArray("NY") << "";
        // "queued": our answers are still in the connection's queue when it
        // is dropped, and the sender waits on the packet they answer.
        QTest::newRow("receive: cancelled mid-run") << false << QStringList{"S", "F", "cancel", "D", "t1"} << QByteArray("NYY|E")
                                                   << cancelled;
        QTest::newRow("receive: cancelled twice, no answer") << false << QStringList{"S", "F", "cancel", "cancel", "t2"}
                                                             << QByteArray("NYY|(EE)") << cancelled;
        QTest::newRow("receive: cancelled, our answer queued") << false << QStringList{"S", "F", "queued", "cancel", "t12"}
                                                              << QByteArray("NYY|(EE)") << cancelled;
        QTest::newRow("receive: killed while cancelling") << false << QStringList{"S", "F", "cancel", "D", killed, "t1"}
                                                          << QByteArray("NYY||^") << cancelled;
        QTest::newRow("receive: nobody, cancelled") << false << QStringList{"t10", "cancel"} << QByteArray("N|") << cancelled;
        QTest::newRow("receive: own packets echoed") << false << QStringList{"S", "F", "\x01# N3\r", "\x01# Y>\r"}
                                                     << QByteArray("NYY") << "";
        QTest::newRow("receive: sender stopped 25 s") << false << QStringList{"S", "F", "t25", "D"} << QByteArray("NYYNNY") << "";
        QTest::newRow("receive: patience not yet over") << false << QStringList{"S", "F", "t129"} << QByteArray("NYYNNNNNNNNNNNN")
                                                        << "";
        QTest::newRow("receive: sender gone") << false << QStringList{"S", "F", "t130"} << QByteArray("NYYNNNNNNNNNNNN|E") << late;
        QTest::newRow("receive: host text mid-run") << false << QStringList{"S", "F", wall, "D", "t1", wall, "D"}
                                                    << QByteArray("NYY|Y|Y") << "";
        QTest::newRow("receive: shell back") << false << QStringList{"S", "F", "D", killed, "t1"} << QByteArray("NYYY||^") << gone;
        // The packet's answer is held: a live peer would say nothing until
        // it comes, and repeats itself at its time-out. A prompt behind the
        // words is the shell's two seconds on; whole lines alone are waited
        // out for the peer's time-out. Once gkermit has spent its one
        // time-out, whole lines are a host that talks, and the answer goes.
        QTest::newRow("receive: shell back behind a packet, settling") << false << QStringList{"S", "F", "D|" + killed, "t1"}
                                                                       << QByteArray("NYY|") << "";
        QTest::newRow("receive: shell back behind a packet") << false << QStringList{"S", "F", "D|" + killed, "t2"}
                                                             << QByteArray("NYY||") << gone;
        QTest::newRow("receive: shell back behind a packet, prompt late") << false << QStringList{"S", "F", "D|" + killedNoPrompt, "t11"}
                                                                          << QByteArray("NYY||") << gone;
        QTest::newRow("receive: host text behind a packet") << false << QStringList{"S", "F", "D|" + wall, "t10", "repeat", "D"}
                                                            << QByteArray("NYY|YY") << "";
        QTest::newRow("receive: host text behind a packet, time-out spent") << false
            << QStringList{"S", "F", "D|" + wall, "t10", "repeat", "D|" + wall, "t2", "D"} << QByteArray("NYY|Y|YY") << "";
        // A prompt with no line end behind the words: the shell, whatever the peer spent.
        QTest::newRow("receive: shell back behind a packet, time-out spent") << false
            << QStringList{"S", "F", "D|" + wall, "t10", "repeat", "D|" + killed, "t2"} << QByteArray("NYY|Y||") << gone;
        // The answer held back is done with once the peer repeats itself: the next one,
        // dropped with the queue, is asked for afresh, not replaced by the old one, and
        // the shell's words later are judged in a tick.
        QTest::newRow("receive: host text after a repeat, our answer dropped") << false
            << QStringList{"S", "F", "D|" + wall, "t10", "repeat", "queued", "D", wall, "t2"} << QByteArray("NYY|YY|N") << "";
        QTest::newRow("receive: shell back after a repeat") << false
            << QStringList{"S", "F", "D|" + wall, "t10", "repeat", "D", killedNoPrompt, "t2"} << QByteArray("NYY|YY||^") << gone;
        const QString nakOfD = QString::fromLatin1(buildPacket('N', 2, QByteArray(), 1, 13)); // at the receiver's time-out
        QTest::newRow("send: host text behind an ACK") << true << QStringList{"ack", "ack|" + wall, "t10", nakOfD}
                                                       << QByteArray("SF|D") << "";
        // The host's words and a bad packet in one read: its NAK waits with
        // everything of ours until the peer is heard or the words settle.
        QByteArray badD = buildPacket('D', 2, "abc", 1, 13);
        badD[5] = 'x';
        QTest::newRow("receive: host text and a bad packet in one read") << false << QStringList{"S", "F", wall + badD, "t1", "D"}
                                                                         << QByteArray("NYY|Y") << "";
        QTest::newRow("receive: packet cut by the shell") << false << QStringList{"S", "F", "\x01~ Dabc", "\r\n$ Killed\r\n", "t1"}
                                                          << QByteArray("NYY||^") << gone;
    }
    void peerLeaves()
    {
        QFETCH(bool, send);
        QFETCH(QStringList, steps);
        Harness h;
        h.transfer.setDiscardFn([&h] { h.sent << "|"; }); // the connection's queue dropped
        if (send)
            h.send({h.file("f.bin", QByteArray(200, 'x'))});
        else
            h.transfer.startReceive(h.fn(), "r", h.dir.path());
        int seq = 0;
        const QHash<QString, QPair<char, QByteArray>> senderPackets{
            {"S", {'S', sendInitData(1)}}, {"F", {'F', "f.bin"}}, {"D", {'D', "abc"}}};
        for (const QString &whole : steps) {
            const QString step = whole.section('|', 0, 0);
            const QByteArray behind = whole.section('|', 1).toLatin1();
            if (step == "ack")
                h.transfer.feed(buildPacket('Y', h.last().seq, h.last().type == 'S' ? sendInitData(1) : QByteArray(), 1, 13)
                                + behind);
            else if (step == "NAK")
                h.peer('N', 0);
            else if (senderPackets.contains(step))
                h.transfer.feed(buildPacket(senderPackets[step].first, seq++, senderPackets[step].second, 1, 13) + behind);
            else if (step == "repeat") // the sender's last packet again, at its time-out
                h.transfer.feed(buildPacket('D', seq - 1, "abc", 1, 13));
            else if (step.startsWith('t') && step.mid(1).toInt() > 0)
                h.tick(step.mid(1).toInt());
            else if (step.startsWith('w') && step.mid(1).toInt() > 0)
                QTest::qWait(step.mid(1).toInt());
            else if (step == "cancel")
                h.transfer.cancel();
            else if (step == "queued")
                h.transfer.setBacklog([] { return qint64(9); });
            else
                h.transfer.feed(step.toLatin1());
        }
        // '^': the Ctrl+C that clears a shell's line; "(EE)": two packets in one write.
        QByteArray wire;
        for (const QByteArray &chunk : h.sent) {
            QByteArray types;
            for (qsizetype at = chunk.indexOf('\x01'); at >= 0 && at + 3 < chunk.size(); at = chunk.indexOf('\x01', at + 1))
                types += chunk.at(at + 3);
            wire += types.size() > 1 ? '(' + types + ')' : !types.isEmpty() ? types : chunk == "\x03" ? "^" : chunk == "|" ? "|" : "?";
        }
        QTEST(wire, "wire");
        QFETCH(QString, summary);
        QCOMPARE(h.finished ? h.summary : QString(), summary);
        // The packet the peer still waits on: the F (1) answered or sent
        // but dropped, or the one due after it; told without a turn, first
        // the likelier, then the other in the same write.
        if (h.last().type == 'E' && steps.contains("cancel")) {
            QCOMPARE(h.last().seq, steps.contains("queued") ? 1 : 2);
            int pos = 0;
            Packet first, second;
            QByteArray told;
            for (const QByteArray &chunk : std::as_const(h.sent))
                told = chunk.startsWith('\x01') ? chunk : told;
            QCOMPARE(scanNext(told, &pos, 1, &first), ScanResult::Packet);
            if (told.count('\x01') == 2) {
                QCOMPARE(scanNext(told, &pos, 1, &second), ScanResult::Packet);
                QCOMPARE(second.seq, steps.contains("queued") ? 2 : 1);
            }
        }
        if (summary == QStringLiteral("对端已退出，中止"))
            QVERIFY2(h.left.endsWith("$ ") || h.left.contains("Killed\r\n"), h.left.constData()); // the shell's words are drawn
        if (summary.isEmpty() && steps.join("").contains("Broadcast"))
            QCOMPARE(h.shown.count("Broadcast message from root\r\n"), steps.join("").count("Broadcast message from root\r\n"));
    }

    // A host line (a `wall` message) cut into the peer's packet at byte `at`
    // (the peer's next packet "P@at": the receiver's ACK, the sender's D):
    // the packet never comes, and the peer waits on our answer to it. Lines
    // alone end nothing: they are waited out for the peer's own time-out
    // (10 s), which repeats the packet ("R"), or, the peer silent, the
    // packet is asked for again. gkermit times out once a run only: after
    // that ("R" seen), two quiet seconds. The shell's own words or its
    // prompt behind the line end the run. Steps as in peerLeaves; "P" the
    // peer's next packet whole. Per step, what we sent ("|": our queue
    // dropped, "^": Ctrl+C); the run is then played to its end, the file
    // whole.
    void hostLineInsidePacket_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("wire");
        QTest::addColumn<QString>("summary");
        const QString gone = "对端已退出，中止", wall = "\r\nBroadcast message from root@host: back soon\r\n";
        for (const bool send : {true, false}) {
            const char *dir = send ? "send" : "receive";
            // The F in flight, and the file's one D after it; a receiver's NAK.
            const QString first = send ? "F" : "Y", ask = send ? "F" : "N", next = send ? "D" : "Y";
            for (const int at : {1, 2, 4, -2}) {
                const QString cut = QStringLiteral("P@%1").arg(at);
                if (at == 1)
                    QTest::addRow("%s: cut at %d, repeated at its time-out", dir, at)
                        << send << QStringList{"P", cut, "t10", "R"} << first + ",|,," + next << "";
                QTest::addRow("%s: cut at %d, asked again", dir, at)
                    << send << QStringList{"P", cut, "t10", "t1", "R"} << first + ",|,," + ask + "," + next << "";
            }
            // Whole, the line behind it in the same read: the answer held back goes.
            QTest::addRow("%s: cut before its end of line", dir)
                << send << QStringList{"P", "P@-1", "t10", "t1"} << first + ",|,," + next << "";
            QTest::addRow("%s: cut, lines go on", dir)
                << send << QStringList{"P", "P@2", wall, "t1", wall, "*1H\r", wall, "t9", wall, "t1", "R"}
                << first + ",|,,,,,,,," + ask + "," + next << "";
            QTest::addRow("%s: cut, its time-out spent", dir)
                << send << QStringList{"P", "P@2", "t10", "R", "P@3", "t1", "t1", "R"}
                << (send ? "F,|,,D,|,,D,Z" : "Y,|,,Y,|,,N,Y") << "";
            QTest::addRow("%s: cut, killed", dir) << send << QStringList{"P", "P@2", "Killed\r\n", "t1", "t1"} << first + ",|,,,|" << gone;
            QTest::addRow("%s: cut, a prompt", dir) << send << QStringList{"P", "P@2", "$ ", "t1", "t1"} << first + ",|,,,|" << gone;
            QTest::addRow("%s: cut, terminated in zsh", dir) << send << QStringList{"P", "P@3", "zsh: terminated  gkermit\r\n", "t2"}
                                                           << first + ",|,,|" << gone;
            QTest::addRow("%s: cut, our answer typed in", dir) << send << QStringList{"P", "P@2", "t11", "bash: $'\\001#': command not found\r\n", "t1"}
                                                             << first + ",|," + ask + ",|,|^" << gone;
            QTest::addRow("%s: a line, cancelled", dir) << send << QStringList{"P", wall, "cancel", "P", "t1"} << first + ",|,|,,E"
                                                        << "Kermit 传输已被用户取消";
        }
        // Every file taken and acknowledged: the receiver left on our B, its
        // ACK cut by the line, and its shell is back.
        QTest::addRow("send: cut in the ACK of B, a prompt")
            << true << QStringList{"P", "P", "P", "P", "P@2", "$ ", "t2"} << "F,D,Z,B,|,,|" << "";
    }
    void hostLineInsidePacket()
    {
        QFETCH(bool, send);
        QFETCH(QStringList, steps);
        const QByteArray content = QByteArray("0123456789abcdefghij").repeated(4);
        Harness h;
        h.transfer.setDiscardFn([&h] { h.sent << "|"; });
        QList<QByteArray> theirs; // a sender's packets after S
        int next = 0;
        if (send) {
            h.send({h.file("f.bin", content)});
        } else {
            h.receiving();
            theirs = {buildPacket('F', 1, "f.bin", 1, 13), buildPacket('D', 2, content.left(50), 1, 13),
                      buildPacket('D', 3, content.mid(50), 1, 13), buildPacket('Z', 4, {}, 1, 13), buildPacket('B', 5, {}, 1, 13)};
        }
        QByteArray taken; // what a receiver took of our data packets
        int takenSeq = -1;
        const auto packet = [&](bool again) {
            if (!send)
                return theirs.value(again ? next - 1 : next++);
            const Packet ours = h.last(); // answered: the S with our parameters
            if (ours.type == 'D' && std::exchange(takenSeq, ours.seq) != ours.seq)
                taken += decodePrefixed(ours.data, '#');
            return buildPacket('Y', ours.seq, ours.type == 'S' ? sendInitData(1) : QByteArray(), 1, 13);
        };
        const QByteArray wall = "\r\nBroadcast message from root@host: back soon\r\n";
        QStringList wire;
        for (const QString &step : steps) {
            const qsizetype before = h.sent.size();
            if (step == "P" || step == "R") {
                h.transfer.feed(packet(step == "R"));
            } else if (step.startsWith("P@")) {
                QByteArray p = packet(false);
                const int at = step.mid(2).toInt();
                h.transfer.feed(p.insert(at < 0 ? p.size() + at : at, wall));
            } else if (step.startsWith('t')) {
                h.tick(step.mid(1).toInt());
            } else if (step == "cancel") {
                h.transfer.cancel();
            } else {
                h.transfer.feed(step.toLatin1());
            }
            QString types;
            for (const QByteArray &chunk : h.sent.mid(before))
                types += chunk.startsWith('\x01') ? QChar(chunk.at(3)) : chunk == "\x03" ? QChar('^') : QChar('|');
            wire << types;
        }
        QTEST(wire.join(','), "wire");
        QFETCH(QString, summary);
        if (!summary.isEmpty()) {
            QCOMPARE(h.summary, summary);
            return;
        }
        for (int guard = 0; guard < 40 && !h.finished; ++guard) {
            h.transfer.feed(packet(false));
            h.tick(send ? 0 : 1);
        }
        h.tick(2); // the receiver's closing time
        QVERIFY2(h.finished == 1 && h.ok, qPrintable(h.summary));
        QCOMPARE(send ? taken : h.read("f.bin"), content);
        // Only the host's lines are drawn, not what is left of the packet they cut into.
        const QByteArray drawn = h.shown + h.left;
        QVERIFY(drawn.contains("Broadcast message"));
        QCOMPARE(QByteArray(drawn).replace(wall.mid(2), "").replace("$ ", ""), QByteArray());
    }

    // A name with %1 and %2 in it is shown as it is, each way; a sender's
    // last progress report names the whole file, an empty one too.
    void namesShownAsTheyAre()
    {
        const QString name = QStringLiteral("up%2by%1.bin");
        Harness h;
        QHash<QString, QList<qint64>> done; // per file: bytes done, then the total, per report
        connect(&h.transfer, &InbandTransfer::progressChanged, &h.transfer,
                [&](qint64 bytes, qint64 total, const QString &file) { done[file] << bytes << total; });
        h.send({h.file(name, QByteArray(5000, 'x')), h.file("empty.bin", QByteArray())});
        for (int step = 0; step < 400 && h.finished == 0; ++step)
            h.peer('Y', h.last().seq, h.last().type == 'S' ? sendInitData(1) : QByteArray());
        QVERIFY(h.ok);
        QVERIFY(h.statuses.contains(QStringLiteral("发送文件：up%2by%1.bin（5000 字节）")));
        QCOMPARE(done.value(name).mid(done.value(name).size() - 2), (QList<qint64>{5000, 5000}));
        QCOMPARE(done.value("empty.bin"), (QList<qint64>{0, 0}));

        Harness r;
        r.receiving();
        r.peer('F', 1, enc(name.toUtf8()));
        for (int seq = 2; seq < 2 + 5000 / 50; ++seq)
            r.peer('D', seq, QByteArray(50, 'x'));
        r.peer('Z', 2 + 5000 / 50);
        QVERIFY(r.statuses.contains(QStringLiteral("接收 up%2by%1.bin：4 KB")));
        QCOMPARE(r.statuses.last(), QStringLiteral("文件 up%2by%1.bin 接收完成（5000 字节）"));
    }

    // A send that skipped an unreadable file and was cancelled leaves no
    // trace on the next one: its first file is offered.
    void nextSendStartsAtItsFirstFile()
    {
        Harness h;
        h.send({h.path("missing"), h.file("r.bin", "abc")});
        h.peer('Y', 0, sendInitData(1));
        QCOMPARE(decodePrefixed(h.last().data, '#'), QByteArray("r.bin"));
        h.transfer.cancel();
        h.send({h.file("a.bin", "xyz")});
        h.peer('Y', 0, sendInitData(1));
        QCOMPARE(h.tag(), QStringLiteral("F1/1"));
        QCOMPARE(decodePrefixed(h.last().data, '#'), QByteArray("a.bin"));
    }
};

QTEST_GUILESS_MAIN(TestKermitEngine)
#include "tst_kermitengine.moc"
