// ZMODEM engine driven byte by byte: the scanner, both sides'
// exchanges, the time-outs. The real peers are in tst_transferpeers.

#include "tests/transfer/zmodemtest.h"
#include "transfer/editorpastewatch.h"

#include <QElapsedTimer>
#include <QTest>

class TestZmodem : public QObject
{
    Q_OBJECT

private slots:
    // What the scanner makes of odd input while a receiver waits for a file.
    void scanner_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("summary");
        const QByteArray zrqinit = hex(ZRQINIT);
        const QStringList zr{kZrinit}, cans{kStop};
        QByteArray badCrc = zrqinit;
        badCrc[17] = badCrc[17] == '0' ? '1' : '0';
        QTest::newRow("prompt text, then ZRQINIT") << "user@host:~$ rz\r\n" + zrqinit << zr << kRunning;
        QTest::newRow("upper-case hex digits") << zrqinit.toUpper() << zr << kRunning;
        QTest::newRow("bad CRC: one ZNAK, then on") << badCrc + zrqinit << QStringList{"ZNAK 0", kZrinit} << kRunning;
        QTest::newRow("bad hex digit skipped") << "**\x18" "Bxx" + zrqinit << zr << kRunning;
        QTest::newRow("unknown header kind skipped") << "*\x18Z" + zrqinit << zr << kRunning;
        QTest::newRow("four CANs are not a cancel") << QByteArray(4, 0x18) + "x" + zrqinit << zr << kRunning;
        QTest::newRow("five CANs cancel") << "ab" + QByteArray(5, 0x18) << QStringList() << "对端取消传输 (CAN)";
        // ZDATA at 0 with its CRC-32, escaped as lrzsz sends it.
        const QByteArray bin32("*\x18" "C\x18" "J\x18@\x18@\x18@\x18@\xbc\xef\x18\xd2\x18\xcc", 19);
        QTest::newRow("32-bit CRC header") << bin32 << cans
                                           << "对端使用了 ZBIN32（32位CRC），本实现仅支持 CRC16";
        QTest::newRow("ZCOMMAND is not run") << hex(ZCOMMAND) << QStringList{"15 0"} << kRunning;
        // A header begins at its ZPAD: the escaped bytes of a file (the rest
        // of a subpacket after our ZRPOS) are no header kinds.
        QTest::newRow("ZDLE C in data, no ZPAD") << "ab\x18" "Cxyz\x18" "C\x18" "@" + zrqinit << zr << kRunning;
        QTest::newRow("ZDLE A in data, no ZPAD") << "\x18" "A\x18" "A\x18" "B\x18" "@\x18" "@" + zrqinit << zr << kRunning;
        QTest::newRow("ZPAD ZDLE C of a file, its CRC-32 wrong") << "*\x18" "C\x18" "Aabcdefgh" + zrqinit << zr << kRunning;
        QTest::newRow("lrzsz's cancel inside a subpacket") << "*\x18" "A" + QByteArray(10, 0x18) + QByteArray(10, '\b')
                                                           << QStringList() << "对端取消传输 (CAN)";
    }
    void scanner()
    {
        QFETCH(QByteArray, input);
        Harness h;
        h.receive();
        h.transfer.feed(input);
        QTEST(h.take(), "answers");
        QTEST(h.summary, "summary");
    }

    // A whole file received: offer, data frames, a resend after a bad
    // subpacket, end of file (the old file replaced only then), end of session.
    void receiveExchange()
    {
        Harness h;
        const QByteArray old = "old contents", a(1000, 'a'), b(1000, 'b');
        h.file("f.bin", old);
        h.transfer.startReceive(h.fn(), "r", h.dir.path());
        QCOMPARE(h.take(), QStringList{kZrinit});
        QByteArray broken = dataSubpacket(b, ZCRCW);
        broken[10] = 'x';
        const QList<std::tuple<QByteArray, QStringList, QByteArray>> steps = { // input, answers, f.bin after it
            {offer(fileInfo("f.bin", "2000 14515314755 100644")), {"ZRPOS 0"}, old},
            {bin(ZDATA) + dataSubpacket(a, ZCRCQ) + broken, {"ZACK 1000", "ZRPOS 1000"}, old},
            {bin(ZDATA, 500), {"ZRPOS 1000"}, old}, // not where we are
            {bin(ZDATA, 1000) + dataSubpacket(b, ZCRCW), {"ZACK 2000"}, old},
            {hex(ZEOF, 1999), {"ZRPOS 2000"}, old}, // wrong position: refused
            {hex(ZEOF, 2000), {kZrinit}, a + b},
            {hex(ZFIN), {"ZFIN 0"}, a + b}, // "OO" is the sender's word, not ours
            {"OO", {}, a + b},
        };
        for (const auto &[input, answers, stored] : steps) {
            h.transfer.feed(input);
            QCOMPARE(h.take(), answers);
            QCOMPARE(h.read("f.bin"), stored);
        }
        QVERIFY(h.ok);
        QVERIFY(h.statuses.contains(QStringLiteral("开始接收：f.bin (2000 字节)")));
        QCOMPARE(h.statuses.last(), QStringLiteral("Zmodem 接收完成（共 1 个文件）"));
    }

    // After our answer to the sender's ZFIN its "OO" is awaited and taken;
    // what follows is the shell's again. A sender that never says it ends
    // the run all the same, 3 s after our answer (on the real clock, also
    // when the answer goes out just before a tick); a late one within them
    // is still taken.
    void receiverEnd_data()
    {
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<int>("ticks");
        QTest::addColumn<QByteArray>("left");
        QTest::newRow("OO then the prompt") << QByteArray("OO$ ") << 0 << QByteArray("$ ");
        QTest::newRow("OO split") << QByteArray("O") << 0 << QByteArray();
        QTest::newRow("no OO, the prompt") << QByteArray("$ ") << 0 << QByteArray("$ ");
        QTest::newRow("silence") << QByteArray() << 3 << QByteArray();
        QTest::newRow("OO over a slow link") << QByteArray("OO$ ") << 2 << QByteArray("$ ");
        QTest::newRow("silence, real clock") << QByteArray() << -1 << QByteArray();
    }
    void receiverEnd()
    {
        QFETCH(QByteArray, after);
        QFETCH(int, ticks);
        Harness h;
        h.receive();
        if (ticks < 0)
            QTest::qWait(800); // the run's clock ticks 1 s after its start
        QElapsedTimer answered;
        answered.start();
        h.transfer.feed(hex(ZFIN));
        QCOMPARE(h.take(), QStringList{"ZFIN 0"});
        if (ticks < 0) {
            QVERIFY(QTest::qWaitFor([&] { return h.finished > 0; }, 6000));
            QVERIFY2(answered.elapsed() > 2600, qPrintable(QString::number(answered.elapsed())));
        }
        h.tick(ticks);
        h.transfer.feed(after);
        if (after == "O") {
            QCOMPARE(h.finished, 0);
            h.transfer.feed("O");
        }
        QCOMPARE(h.finished, 1);
        QVERIFY(h.ok);
        QVERIFY(h.take().isEmpty()); // nothing more of ours
        QTEST(h.left, "left");
    }

    // File offers: names a receiver must not take as they stand, and size fields it
    // cannot read, which leave the size unknown (data is taken up to the ZEOF).
    // Every byte value goes through the escaping and back, fed a byte at a time.
    void fileOffers_data()
    {
        QTest::addColumn<QByteArray>("info");
        QTest::addColumn<QString>("storedAs"); // empty: skipped
        const QByteArray longest = QByteArray(251, 'n') + ".txt"; // the most a name may have
        QTest::newRow("path in front") << fileInfo("/etc/../tmp/x/name.txt", "512") << "name.txt";
        QTest::newRow("backslashes") << fileInfo("C:\\dir\\win.txt", "512") << "win.txt";
        QTest::newRow("255-byte name") << fileInfo(longest, "512") << QString::fromLatin1(longest);
        QTest::newRow("UTF-8 name") << fileInfo("报告.txt", "512") << "报告.txt";
        QTest::newRow("name with %2 and %1") << fileInfo("up%2by%1.bin", "512") << "up%2by%1.bin";
        QTest::newRow("no size") << fileInfo("nosize", "") << "nosize";
        QTest::newRow("hex size") << fileInfo("hex", "0x7 0 100644") << "hex";
        QTest::newRow("size in words") << fileInfo("words", "seven") << "words";
        QTest::newRow("negative size") << fileInfo("neg", "-1") << "neg";
        QTest::newRow("size past 64 bits") << fileInfo("huge", "99999999999999999999") << "huge";
        QTest::newRow("dot dot") << fileInfo("..", "512") << "";
        QTest::newRow("no NUL") << QByteArray("name 3") << "";
        QTest::newRow("escape sequence") << fileInfo("a\x1b[31mb", "512") << "";
        QTest::newRow("right-to-left override") << fileInfo("a\xe2\x80\xaetxt.exe", "512") << "";
    }
    void fileOffers()
    {
        QFETCH(QByteArray, info);
        QFETCH(QString, storedAs);
        Harness h;
        h.receive();
        h.transfer.feed(offer(info));
        QCOMPARE(h.take(), QStringList{storedAs.isEmpty() ? "ZSKIP 0" : "ZRPOS 0"});
        if (!storedAs.isEmpty()) {
            h.feedEach(bin(ZDATA) + dataSubpacket(all, ZCRCG) + dataSubpacket(all, ZCRCE) + hex(ZEOF, 512));
            QCOMPARE(h.take(), QStringList{kZrinit});
            QCOMPARE(h.read(storedAs), all + all);
            // The name as it is in every text, whatever it holds.
            QStringList texts{"文件 %1 接收完成（512 字节）"};
            if (info.endsWith(QByteArrayView("\0" "512", 4))) // a size the receiver takes
                texts << "开始接收：%1 (512 字节)" << "接收 %1：100%";
            for (const QString &said : std::as_const(texts))
                QVERIFY2(h.statuses.contains(QString(said).replace("%1", storedAs)), qPrintable(h.statuses.join('|')));
        }
        QCOMPARE(h.files(), storedAs.isEmpty() ? QStringList() : QStringList{storedAs});
    }

    // A receive of "f" (announced as 4096 bytes) fed a byte at a time, beside a user's
    // "f.part", which nothing touches. A file that fails goes; one the
    // sender gives up on (or ends short) stays as its temporary file, which the summary
    // names. Subpackets of up to 1024 bytes (all escaped) are taken; longer are refused.
    void receiveEndings_data()
    {
        QTest::addColumn<QByteArray>("afterOffer");
        QTest::addColumn<QString>("lastAnswer");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("summary"); // the start of it
        const QByteArray part = bin(ZDATA) + dataSubpacket("part", ZCRCE), fin = hex(ZFIN);
        QByteArray bad = dataSubpacket("zzzz", ZCRCG);
        bad[1] = 'q';
        const QStringList userPart{"f.part"}, kept{"f.1.part", "f.part"};
        const QString incomplete = QStringLiteral("接收未完成：%1 个文件收完，1 个未收完整，保留为 ");
        QTest::newRow("eleven bad subpackets")
            << bin(ZDATA) + dataSubpacket("part", ZCRCG) + (bin(ZDATA, 4) + bad).repeated(11) << kStop << userPart
            << "数据子帧校验连续失败，中止";
        QTest::newRow("five CANs inside a subpacket") << bin(ZDATA) + "ab" + QByteArray(5, 0x18) << QString()
                                                      << userPart << "对端取消传输 (CAN)";
        QTest::newRow("1024 escaped bytes taken") << bin(ZDATA) + dataSubpacket(QByteArray(1024, 0x18), ZCRCW)
                                                  << "ZACK 1024" << kept << kRunning;
        QTest::newRow("1025 refused") << bin(ZDATA) + dataSubpacket(QByteArray(1025, 0x18), ZCRCW) << "ZRPOS 0"
                                      << kept << kRunning;
        QTest::newRow("endless subpacket") << bin(ZDATA) + QByteArray(5000, 'x') << "ZRPOS 0" << kept << kRunning;
        const QString finAnswer = "ZFIN 0";
        QTest::newRow("ZEOF short of the size") << part + hex(ZEOF, 4) + fin + "OO" << finAnswer << kept << incomplete.arg(0);
        QTest::newRow("next offer before ZEOF") << part + offer(fileInfo("g", "3")) + wholeFile("xyz") + fin + "OO"
                                                << finAnswer << kept + QStringList{"g"} << incomplete.arg(1);
        QTest::newRow("ZFIN inside a file") << part + fin + "OO" << finAnswer << kept << incomplete.arg(0);
    }
    void receiveEndings()
    {
        QFETCH(QByteArray, afterOffer);
        QFETCH(QString, summary);
        Harness h;
        h.file("f.part", "mine");
        h.receive();
        h.transfer.feed(offer(fileInfo("f", "4096")));
        h.sent.clear();
        h.feedEach(afterOffer);
        const QStringList answers = h.take();
        QTEST(answers.value(answers.size() - 1), "lastAnswer");
        QVERIFY2(h.summary.startsWith(summary), qPrintable(h.summary));
        QTEST(h.files(), "files");
        QCOMPARE(h.read("f.part"), QByteArray("mine"));
        if (summary.startsWith(QStringLiteral("接收未完成"))) {
            QVERIFY(h.summary.endsWith(h.path("f.1.part")));
            QCOMPARE(h.read("f.1.part"), QByteArray("part"));
        }
    }

    // The save of a complete file fails inside the batch (a folder holds its
    // name): the transfer stops, and the data stays in the named ".part".
    // Idle afterwards, the object neither cancels nor answers.
    void failedSaveKeepsTheData()
    {
        Harness h;
        QVERIFY(QDir(h.dir.path()).mkdir("f"));
        h.receive();
        h.transfer.feed(offer(fileInfo("f", "3")) + wholeFile("xyz"));
        QVERIFY2(h.summary.startsWith(QStringLiteral("提交接收文件失败")), qPrintable(h.summary));
        QVERIFY(h.summary.endsWith(h.path("f.part")));
        QVERIFY(h.wire().endsWith(ZmodemTransfer::stopSequence()));
        QCOMPARE(h.read("f.part"), QByteArray("xyz"));
        const int reports = int(h.statuses.size());
        h.sent.clear();
        h.transfer.cancel();
        h.transfer.feed(hex(ZRQINIT));
        QVERIFY(h.sent.isEmpty() && h.statuses.size() == reports);
    }

    // sz leaves in the middle of a subpacket (of a file whose bytes escape
    // into ZDLE 'A', 'B', 'C', some behind a "*"): after SIGINT it waits for
    // our header, and the rest of its subpacket, still arriving, is passed
    // over until its ZDATA at our position; stopped, it goes on where it
    // was; after SIGTERM it is silent, and gets a ZRPOS (a header, nothing
    // more) every ten seconds until the tenth goes unanswered; or its shell
    // speaks, and the sender says nothing after it for a tick. A line of the
    // host's that the sender follows with its data is drawn, and the file
    // still arrives whole.
    void receiverPeerLeaves_data()
    {
        QTest::addColumn<int>("ticks");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QByteArray>("left");
        const QByteArray file = awkward(4096);
        const QByteArray rest = dataSubpacket(file.mid(1024, 1024), ZCRCG).mid(100);
        QTest::newRow("paused, resumed") << 10 << rest + bin(ZDATA, 1024) + dataSubpacket(file.mid(1024, 1024), ZCRCG)
                                                + dataSubpacket(file.mid(2048, 1024), ZCRCG) + dataSubpacket(file.mid(3072), ZCRCE)
                                                + hex(ZEOF, 4096)
                                         << QStringList{"ZRPOS 1024", kZrinit} << kRunning << QByteArray();
        QTest::newRow("stopped 25 s, continued")
            << 25 << rest + bin(ZDATA, 1024) + dataSubpacket(file.mid(1024, 1024), ZCRCG)
                   + dataSubpacket(file.mid(2048, 1024), ZCRCG) + dataSubpacket(file.mid(3072), ZCRCE) + hex(ZEOF, 4096)
            << QStringList{"ZRPOS 1024", "ZRPOS 1024", kZrinit} << kRunning << QByteArray();
        QStringList patience(10, QStringLiteral("ZRPOS 1024"));
        QTest::newRow("silent") << 110 << QByteArray() << (patience << kStop) << "接收超时，中止" << QByteArray();
        QTest::newRow("its shell speaks") << 0 << QByteArray("\x18" "Bq\x18" "AzTerminated\r\n$ ") << QStringList{kStop}
                                          << "对端已退出，中止" << QByteArray("AzTerminated\r\n$ ");
        QTest::newRow("a line of the host's amid the data")
            << 0 << rest.left(300) + "\r\nBroadcast message from root@host: back soon\r\n" + rest.mid(300)
                   + dataSubpacket(file.mid(2048, 1024), ZCRCG) + dataSubpacket(file.mid(3072), ZCRCE) + hex(ZEOF, 4096)
            << QStringList{kZrinit} << kRunning << QByteArray();
        // The same read brings a subpacket that goes bad (no end within its
        // size): the ZRPOS it calls for waits with everything of ours until
        // the words settle, and goes into a shell that took over, never.
        const QByteArray words("\r\nBroadcast message from root@host: back soon\r\n");
        QTest::newRow("a line of the host's, then a subpacket gone bad")
            << 0 << words + dataSubpacket(QByteArray(1500, '\x01'), ZCRCG).left(2100) << QStringList{kStop}
            << "对端已退出，中止" << words;
    }
    void receiverPeerLeaves()
    {
        QFETCH(int, ticks);
        QFETCH(QByteArray, after);
        Harness h;
        h.receive();
        const QByteArray file = awkward(4096);
        h.transfer.feed(offer(fileInfo("f", "4096")));
        h.transfer.feed(bin(ZDATA) + dataSubpacket(file.left(1024), ZCRCG) + dataSubpacket(file.mid(1024, 1024), ZCRCG).left(100));
        QCOMPARE(h.take(), QStringList{"ZRPOS 0"});
        h.tick(ticks);
        h.transfer.feed(after);
        h.tick(); // words the sender does not follow within it are its shell's
        QTEST(h.take(), "answers");
        QFETCH(QString, summary);
        QCOMPARE(h.shown.contains("Broadcast"), after.contains("Broadcast") && summary == kRunning);
        QCOMPARE(h.summary, summary);
        QTEST(h.left, "left");
        if (h.summary == kRunning)
            QCOMPARE(h.read("f"), file);
    }

    // The sender writes a window a few subpackets at a time and reads what
    // comes back between them: the receiver's cancel, its shell's words, or
    // our own data echoed by that shell end the run within a piece; a
    // ZRPOS starts the window again from there. No more than 12 KiB go past
    // the receiver's first ZACK (it is asked for one every 2 KiB); each
    // ZACK then lets eight times what it confirmed go on, until the link
    // shows itself full. Into a silence go probes (a ZDATA with an empty
    // ZCRCW subpacket), one each ten seconds, never the data again; a
    // receiver stopped a while goes on from there, and at the tenth the run
    // ends.
    void senderReadsWhileWriting_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("ticks");
        QTest::addColumn<int>("subpackets"); // written in all, four a KiB of data
        QTest::addColumn<QByteArray>("last"); // what we sent last; empty: data
        QTest::addColumn<QString>("summary");
        QTest::addColumn<int>("cut"); // the reply is read this many bytes at a time; 0: at once
        QTest::addColumn<int>("held"); // what the connection holds of ours from the first piece on
        constexpr int q = 4; // subpackets a KiB
        const QByteArray lrzszCancel = QByteArray(10, 0x18) + QByteArray(10, '\b') + "rz: caught signal 2; exiting\r\n";
        const QByteArray stop = ZmodemTransfer::stopSequence(), mend = stop.right(3); // no CANs to a peer that gave up
        QTest::newRow("receiver's CANs") << lrzszCancel << 0 << 4 * q << mend << "对端取消传输 (CAN)" << 0 << 0;
        // Words the receiver does not follow within a tick are its shell's;
        // nothing of ours goes out meanwhile.
        QTest::newRow("receiver's words, no CAN") << QByteArray("rz: caught signal 15; exiting\r\n") << 1 << 4 * q << stop
                                                  << "对端已退出，中止" << 0 << 0;
        QTest::newRow("a line of the host's, then a ZACK")
            << QByteArray("\r\nBroadcast message from root@host: back soon\r\n") + hex(ZACK, 2048) << 1
            << -(4 + 2) * q << QByteArray() << kRunning << 0 << 0;
        QTest::newRow("our data echoed") << QByteArray(600, 'x') << 0 << 4 * q << stop << "对端已退出，中止" << 0 << 0;
        QTest::newRow("ZRPOS while writing") << hex(ZRPOS, 2048) << 0 << (4 + 12) * q << QByteArray() << kRunning << 0 << 0;
        // Asked again for where the resend starts, before it could have
        // arrived: one resend, not one for each. The first stream's start
        // asked for again, or the same ZRPOS after a ZACK past it, is a new
        // loss and starts the stream again.
        QTest::newRow("ZRPOS repeated before the resend arrives") << hex(ZRPOS, 2048).repeated(3) << 0 << (4 + 12) * q
                                                                  << QByteArray() << kRunning << 0 << 0;
        QTest::newRow("ZRPOS for where the first stream starts") << hex(ZRPOS) << 0 << (4 + 12) * q << QByteArray() << kRunning << 0 << 0;
        QTest::newRow("ZRPOS again after a ZACK past it") << hex(ZRPOS, 2048) + hex(ZACK, 4096) + hex(ZRPOS, 2048) << 0
                                                          << -(4 + 12) * q << QByteArray() << kRunning << 0 << 0;
        // How far a ZACK lets the stream go past the first piece depends on
        // the rate and round trip it shows, which a busy machine blurs (its
        // own ZACK, or one the event loop was held up for, may not grow the
        // window at all); a negative count is a least.
        QTest::newRow("a ZACK inside the window") << hex(ZACK, 2048) << 0 << -(4 + 2) * q << QByteArray() << kRunning << 0 << 0;
        // Heard all along, though in reads that each hold no whole header:
        // the stream goes on past the first piece.
        QTest::newRow("ZACKs read a few bytes at a time") << hex(ZACK, 2048).repeated(20) << 0 << -(4 + 2) * q
                                                         << QByteArray() << kRunning << 5 << 0;
        const QByteArray probe = dataSubpacket({}, ZCRCW);
        QTest::newRow("receiver stopped 25 s") << QByteArray() << 25 << 12 * q + 2 << probe << kRunning << 0 << 0;
        // A connection writing from a thread of its own always holds a
        // little of ours when we look: more than a pty would, less than
        // the ZACKs let go past the receiver.
        QTest::newRow("a ZACK, the connection a little behind") << hex(ZACK, 2048) << 0 << -(4 + 2) * q
                                                                << QByteArray() << kRunning << 0 << 12 * 1024;
        QTest::newRow("window unanswered") << QByteArray() << 110 << 12 * q + 10 << stop << "对端持续未确认（ZACK），中止" << 0 << 0;
    }
    void senderReadsWhileWriting()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, ticks);
        // Outlive the harness: its end cancels the run, which asks both.
        qint64 backlog = 100000;
        int discards = 0;
        Harness h;
        h.transfer.setBacklog([&] { return backlog; });
        h.transfer.setDiscardFn([&] { ++discards; });
        h.send({h.file("big", QByteArray(200000, 'b'))});
        h.transfer.feed(hex(ZRINIT));
        h.sent.clear();
        h.transfer.feed(hex(ZRPOS));
        QCOMPARE(h.wire(), bin(ZDATA)); // the connection holds too much yet
        backlog = 0;
        QVERIFY(QTest::qWaitFor([&] { return h.sent.size() > 1; }, 5000));
        // One piece, then the event loop; a ZACK asked for at 2 and 4 KiB.
        QCOMPARE(h.wire().count("\x18h"), 14); // each frame ends where no ZACK is asked for
        QCOMPARE(h.wire().count("\x18j"), 2);
        QFETCH(int, held);
        backlog = held;
        QFETCH(int, cut);
        for (qsizetype at = 0; at < reply.size(); at += cut > 0 ? cut : reply.size())
            h.transfer.feed(reply.mid(at, cut > 0 ? cut : reply.size()));
        h.settle();
        for (int tick = 0; tick < ticks; ++tick) {
            h.tick();
            h.settle();
        }
        const QByteArray wire = h.takeWire();
        QFETCH(int, subpackets);
        const int written = int(wire.count("\x18h") + wire.count("\x18i") + wire.count("\x18j") + wire.count("\x18k"));
        if (subpackets < 0)
            QVERIFY2(written >= -subpackets, qPrintable(QStringLiteral("%1 subpackets").arg(written)));
        else
            QCOMPARE(written, subpackets);
        QCOMPARE(h.shown.contains("Broadcast"), reply.contains("Broadcast"));
        // The probes, at the end of what was written: the first on the data
        // frame still open, the others behind a header of their own.
        if (ticks >= 10)
            QVERIFY(wire.contains(dataSubpacket(QByteArray(256, 'b'), ZCRCQ) + dataSubpacket({}, ZCRCW)));
        QCOMPARE(int(wire.count(bin(ZDATA, 12288) + dataSubpacket({}, ZCRCW))), qMax(0, qMin(ticks / 10, 10) - 1));
        QFETCH(QByteArray, last);
        QVERIFY(last.isEmpty() ? !wire.endsWith(ZmodemTransfer::stopSequence().right(3)) : wire.endsWith(last));
        QCOMPARE(wire.endsWith(ZmodemTransfer::stopSequence()), last == ZmodemTransfer::stopSequence());
        QCOMPARE(wire.contains(bin(ZDATA, 2048)), reply.contains(hex(ZRPOS, 2048)));
        // What the connection held of the stream before a ZRPOS is stale:
        // it is taken back, as at the end of a run, and never otherwise.
        QCOMPARE(discards > 0, h.summary != kRunning || reply.contains(hex(ZRPOS, 2048)) || reply.contains(hex(ZRPOS)));
        QCOMPARE(wire.count(bin(ZDATA, 2048)), reply.count(hex(ZACK, 4096)) + wire.contains(bin(ZDATA, 2048)));
        QTEST(h.summary, "summary");
    }

    // A receiver killed amid the data leaves its shell to say so, then to
    // echo what it reads of ours: all of it is the screen's, the words
    // drawn amid the run and at its end together, without rz's frames.
    void senderShowsTheShell_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("drawn");
        QByteArray echo;
        for (int i = 0; echo.size() < 600; ++i)
            echo += "\xe4*q" + QByteArray::number(i);
        // rz ends its headers' lines with CR and LF with the high bit set.
        const QByteArray ack = hex(ZACK, 2048).chopped(1) + '\x8a';
        QTest::newRow("words, prompt, echo") << ack + "Killed\r\n\x1b[?2004h$ " + echo
                                             << "Killed\r\n\x1b[?2004h$ " + echo;
        QTest::newRow("echo with rz's CANs in it") << "$ " + echo + QByteArray(3, 0x18) + "\b\b" + echo
                                                   << "$ " + echo + echo;
        QByteArray lines;
        for (int i = 0; lines.size() < 6000; ++i)
            lines += "Broadcast message " + QByteArray::number(i) + "\r\n";
        QTest::newRow("words past what is kept while they settle") << lines << lines;
    }
    void senderShowsTheShell()
    {
        QFETCH(QByteArray, reply);
        Harness h;
        h.send({h.file("big", QByteArray(200000, 'b'))});
        h.transfer.feed(hex(ZRINIT) + hex(ZRPOS));
        h.settle();
        h.transfer.feed(reply);
        h.tick();
        QCOMPARE(h.summary, QStringLiteral("对端已退出，中止"));
        QTEST(h.shown + h.left, "drawn");
    }

    // Every end amid pasted frames that may reach a shell ends the paste
    // first, or the shell's editor would take the user's Enter into it. Our
    // data itself carries no Esc of its own.
    void senderEndsItsPaste_data()
    {
        QTest::addColumn<bool>("pastes");
        QTest::addColumn<QString>("end");
        QTest::addColumn<QByteArray>("last"); // what the wire ends with
        const QByteArray close = "\x1b[201~S", mend = "\x07\x05\x15";
        for (const bool pastes : {true, false}) {
            const QByteArray first = pastes ? close : QByteArray();
            const char *how = pastes ? "in pastes" : "bare";
            QTest::addRow("cancelled, %s", how) << pastes << "cancel" << first + ZmodemTransfer::stopSequence();
            QTest::addRow("the receiver's CANs, %s", how) << pastes << "CANs" << first + mend;
            QTest::addRow("the shell back, %s", how) << pastes << "shell" << first + ZmodemTransfer::stopSequence();
        }
    }
    void senderEndsItsPaste()
    {
        QFETCH(bool, pastes);
        QFETCH(QString, end);
        Harness h;
        h.transfer.setPasteProbe([pastes] { return pastes; });
        h.send({h.file("big", all.repeated(800))});
        h.transfer.feed(hex(ZRINIT) + hex(ZRPOS));
        h.settle();
        if (end == "cancel")
            h.transfer.cancel();
        else if (end == "CANs")
            h.transfer.feed(QByteArray(8, 0x18));
        else
            h.transfer.feed(hex(ZACK, 2048).chopped(1) + "\x8aKilled\r\n$ " + QByteArray(600, 'q'));
        h.tick();
        QVERIFY(h.summary != kRunning);
        const QByteArray wire = h.takeWire();
        QFETCH(QByteArray, last);
        QVERIFY2(wire.endsWith(last), qPrintable(wire.right(40).toHex(' ')));
        QCOMPARE(int(wire.count('\x1b')), int(wire.count("\x1b[20")));
        QCOMPARE(wire.contains("\x1b[200~S*\x18" "A"), pastes);
    }

    // What the host's output shows of its line editor: one that asks for
    // bracketed paste at its prompt, or hands a line on that way, takes one.
    void editorPasteWatch_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<bool>("takes");
        QTest::newRow("nothing yet") << QByteArrayList{"Last login\r\n$ "} << false;
        QTest::newRow("a prompt") << QByteArrayList{"\x1b[?2004h$ "} << true;
        QTest::newRow("a line handed on") << QByteArrayList{"rz\r\n\x1b[?2004l\r", "rz waiting to receive."} << true;
        QTest::newRow("cut between reads") << QByteArrayList{"$ rz\r\n\x1b[?20", "04l\r"} << true;
        QTest::newRow("cut after its Esc") << QByteArrayList{"done\x1b", "[?2004h$ "} << true;
        QTest::newRow("other modes") << QByteArrayList{"\x1b[?1049h\x1b[?2004", "5h\x1b[?200", "x4h"} << false;
        QTest::newRow("a start that goes nowhere") << QByteArrayList{"\x1b[?200", "\r\n", "4h"} << false;
    }
    void editorPasteWatch()
    {
        QFETCH(QByteArrayList, reads);
        EditorPasteWatch watch;
        for (const QByteArray &read : reads)
            watch.see(read);
        QTEST(watch.editorTakesPaste(), "takes");
        watch.reset();
        QVERIFY(!watch.editorTakesPaste());
    }

    // The piece that ends the data may also end the file (here 1 KiB after
    // a first piece of 4): the last report names the whole file all the same.
    // A name is shown as it is.
    void senderReportsTheWholeFile()
    {
        Harness h;
        QList<qint64> done;
        QObject::connect(&h.transfer, &InbandTransfer::progressChanged, [&](qint64 bytes) { done << bytes; });
        h.send({h.file("up%2by%1", QByteArray(5 * 1024, 'f'))});
        h.transfer.feed(hex(ZRINIT));
        h.transfer.feed(hex(ZRPOS));
        QVERIFY(QTest::qWaitFor([&] { return h.transfer.state() == ZmodemTransfer::TxEofSent; }, 5000));
        QCOMPARE(done, (QList<qint64>{4096, 5120}));
        QCOMPARE(h.statuses.filter(QStringLiteral("发送进度")).last(), QStringLiteral("发送进度：100%"));
        QVERIFY(h.statuses.contains(QStringLiteral("发送文件头：up%2by%1（5120 字节）")));
    }

    // Should the receiver die, what is left of the stream reaches its shell
    // as lines a Ctrl+U takes back: each subpacket that asks for nothing ends
    // its frame, and the next header, at the same offset, follows the Ctrl+U
    // (a resume off the quarter of a KiB included). The end of the file, the ZACKs
    // asked for and the frame of the ZEOF stay as they were.
    void senderKillsItsLines_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("from");
        QTest::addColumn<QStringList>("frames");
        QTest::addColumn<bool>("pastes"); // the host's line editor takes bracketed pastes
        QTest::newRow("a KiB and a half") << 600 << 0
                                          << QStringList{"ZDATA 0", "data 256 h", "^U", "ZDATA 256", "data 256 h", "^U",
                                                         "ZDATA 512", "data 88 i", "data 0 h", "ZEOF 600"} << false;
        // The ZEOF in the last paste: its line end is no Enter there.
        QTest::newRow("a KiB and a half, in pastes")
            << 600 << 0
            << QStringList{"<paste", "ZDATA 0",   "data 256 h", "paste>", "^U",         "<paste",   "ZDATA 256", "data 256 h",
                           "paste>", "^U",        "<paste",     "ZDATA 512", "data 88 i", "data 0 h", "ZEOF 600"} << true;
        QTest::newRow("resumed off the quarter") << 600 << 100
                                                 << QStringList{"ZDATA 100", "data 156 h", "^U", "ZDATA 256", "data 256 h",
                                                                "^U", "ZDATA 512", "data 88 i", "data 0 h", "ZEOF 600"} << false;
        QTest::newRow("across a ZACK") << 2560 << 1536
                                       << QStringList{"ZDATA 1536", "data 256 h", "^U", "ZDATA 1792", "data 256 j",
                                                      "data 256 h", "^U", "ZDATA 2304", "data 256 i", "data 0 h", "ZEOF 2560"} << false;
        QTest::newRow("one whole quarter") << 256 << 0 << QStringList{"ZDATA 0", "data 256 i", "data 0 h", "ZEOF 256"} << false;
    }
    void senderKillsItsLines()
    {
        QFETCH(int, size);
        QFETCH(int, from);
        QFETCH(QStringList, frames);
        QFETCH(bool, pastes);
        Harness h;
        h.transfer.setPasteProbe([pastes] { return pastes; });
        h.send({h.file("f", QByteArray(size, 'f'))});
        h.transfer.feed(hex(ZRINIT));
        h.takeWire();
        h.transfer.feed(hex(ZRPOS, quint32(from)));
        QVERIFY(QTest::qWaitFor([&] { return h.transfer.state() == ZmodemTransfer::TxEofSent; }, 5000));
        QCOMPARE(h.take(), frames);
    }

    // Offers, repeats and skips on the sending side.
    void sendOffers()
    {
        Harness h;
        h.send({h.path("missing"), h.file("a", "A"), h.file("b", "B")});
        h.tick(30); // no answer yet: the line is a shell's, nothing more goes into it
        QCOMPARE(h.take(), (QStringList{"ZRQINIT 0"}));
        h.transfer.feed(hex(ZRINIT));
        QVERIFY(h.statuses.at(h.statuses.size() - 2).startsWith(QStringLiteral("无法打开 ")));
        const QStringList offerA = h.take(); // header and file information (ZCRCW)
        QVERIFY2(offerA.size() == 2 && offerA[0] == "ZFILE 16777216" && offerA[1].endsWith(" k"),
                 qPrintable(offerA.join('|')));
        // The answer to our ZRQINIT comes late: no second offer.
        h.transfer.feed(hex(ZRINIT));
        QVERIFY(h.sent.isEmpty());
        // A garbled offer is repeated whole, file information included.
        h.transfer.feed(hex(ZNAK));
        QCOMPARE(h.take(), offerA);
        h.tick(10);
        QCOMPARE(h.take(), offerA);
        h.transfer.feed(hex(ZSKIP));
        QCOMPARE(h.take().value(0), QStringLiteral("ZFILE 16777216"));
        QCOMPARE(h.statuses.last(), QStringLiteral("发送文件头：b（1 字节）"));
        h.transfer.feed(hex(ZRPOS) + hex(ZRINIT));
        h.tick(5); // the receiver never answers our ZFIN
        QVERIFY(h.ok);
        QCOMPARE(h.statuses.last(), QStringLiteral("Zmodem 发送完成：3 个文件中 1 个送达")); // one missing, a skipped, b sent
    }

    // A receiver that skips files, saying why (rz -v: "cannot open", as in
    // a folder it cannot write) or not: a send of which none arrived fails,
    // naming the files and the reason; one of which some did says how many.
    void senderSkips_data()
    {
        QTest::addColumn<QByteArrayList>("answers"); // to each offer
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("skipStatus"); // of the first file skipped
        const auto refused = [](const QByteArray &name) {
            return "\r" + QByteArray(20, ' ') + "\rReceiving: " + name + "\nrz: cannot open " + name
                + ": Permission denied\nSkipped" + hex(ZSKIP);
        };
        const QByteArray taken = hex(ZRPOS) + hex(ZRINIT), skipped = hex(ZSKIP);
        QTest::newRow("both refused, with the reason")
            << QByteArrayList{refused("alpha.txt"), refused("beta.txt")} << false
            << "对端未接收任何文件：跳过了 alpha.txt、beta.txt（rz: cannot open beta.txt: Permission denied）"
            << "对端跳过了 alpha.txt：rz: cannot open alpha.txt: Permission denied";
        QTest::newRow("both skipped, no reason") << QByteArrayList{skipped, skipped} << false
                                                 << "对端未接收任何文件：跳过了 alpha.txt、beta.txt（对端未说明原因）"
                                                 << "对端跳过了 alpha.txt：对端未说明原因";
        QTest::newRow("the first refused") << QByteArrayList{refused("alpha.txt"), taken} << true
                                           << "Zmodem 发送完成：2 个文件中 1 个送达"
                                           << "对端跳过了 alpha.txt：rz: cannot open alpha.txt: Permission denied";
        QTest::newRow("the second skipped after its data") << QByteArrayList{taken, hex(ZRPOS) + skipped} << true
                                                           << "Zmodem 发送完成：2 个文件中 1 个送达"
                                                           << "对端跳过了 beta.txt：对端未说明原因";
        QTest::newRow("both taken") << QByteArrayList{taken, taken} << true << "Zmodem 发送完成（共 2 个文件）" << "";
    }
    void senderSkips()
    {
        QFETCH(QByteArrayList, answers);
        QFETCH(bool, ok);
        QFETCH(QString, skipStatus);
        Harness h;
        h.send({h.file("alpha.txt", "A"), h.file("beta.txt", "B")});
        h.transfer.feed(hex(ZRINIT));
        for (const QByteArray &answer : answers)
            h.transfer.feed(answer);
        QCOMPARE(h.take().last(), QStringLiteral("ZFIN 0"));
        h.transfer.feed(hex(ZFIN));
        QCOMPARE(h.ok, ok);
        QTEST(h.statuses.last(), "last");
        const QStringList skips = h.statuses.filter(QStringLiteral("对端跳过了"));
        QCOMPARE(skips.value(0), skipStatus);
    }

    // How a send of "big" (200,000 bytes) ends short of success: the
    // receiver's answers so far, then its ZFIN or a silence. A receiver that
    // ends the session before confirming the last file has not got the list.
    void senderEndings_data()
    {
        QTest::addColumn<bool>("openable");
        QTest::addColumn<QByteArray>("answers");
        QTest::addColumn<int>("ticks"); // 0: the receiver's ZFIN comes next
        QTest::addColumn<QString>("summary");
        const QByteArray zrinit = hex(ZRINIT), dataOut = zrinit + hex(ZRPOS);
        const QString early = QStringLiteral("对端结束了传输，文件 big 未发送完整");
        QTest::newRow("nothing opens") << false << zrinit << 0 << "没有能打开的文件，未发送任何文件";
        QTest::newRow("ZFIN before the offer") << true << QByteArray() << 0 << early;
        QTest::newRow("ZFIN inside the data") << true << dataOut << 0 << early;
        QTest::newRow("ZFIN after ZEOF") << true << dataOut + hex(ZACK, 65536) + hex(ZACK, 131072) + hex(ZACK, 196608)
                                         << 0 << early;
        QTest::newRow("no receiver") << true << QByteArray() << 65 << "对端 60 秒未响应 ZRINIT（rz 未运行？），放弃";
        // Heard last by its late answer: the offer again each ten seconds, then the end.
        QTest::newRow("offer unanswered") << true << zrinit << 110 << "对端对 ZFILE 无响应，中止";
        QTest::newRow("receiver gone without its ZFIN") << false << zrinit << 5 << "没有能打开的文件，未发送任何文件";
    }
    void senderEndings()
    {
        QFETCH(bool, openable);
        QFETCH(QByteArray, answers);
        QFETCH(int, ticks);
        Harness h;
        h.send({openable ? h.file("big", QByteArray(200000, 'b')) : h.path("big")});
        h.transfer.feed(answers);
        h.sent.clear();
        if (ticks == 0) {
            h.transfer.feed(hex(ZFIN) + "$ ");
            QVERIFY(h.wire().endsWith("OO")); // a polite answer, all the same
            QCOMPARE(h.left, QByteArray("$ ")); // the shell's, in the same read
        } else {
            h.transfer.feed(hex(ZACK) + "$ "); // a late answer, then the shell: after our ZFIN the screen's
            h.tick(ticks - 1);
            QCOMPARE(h.finished, 0);
            h.tick();
            // A receiver that never answered is not there to be told: the
            // cancel would go into the shell.
            QCOMPARE(h.wire().endsWith(ZmodemTransfer::stopSequence()), openable && !answers.isEmpty());
            QCOMPARE(h.left, QByteArray(openable ? "" : "$ "));
        }
        QTEST(h.summary, "summary");
    }
};

QTEST_GUILESS_MAIN(TestZmodem)
#include "tst_zmodem.moc"
