// KermitTransfer driven by a scripted peer: the cases a real peer will not
// produce on demand (bad names, discards, lost ACKs, repeated Send-Init, bad
// packets, silence, short packet lengths, sequence wrap), checked byte by byte.

#include "tests/transfer/enginetest.h"
#include "transfer/kermitpacket.h"
#include "transfer/kermittransfer.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace kermit;

namespace {

struct Harness : EngineHarness<KermitTransfer> {
    // The last packet we sent, parsed under whatever check type it carries.
    Packet last() const
    {
        Packet p;
        for (const int check : {3, 2, 1}) {
            int pos = 0;
            if (scanNext(sent.last(), &pos, check, &p) == ScanResult::Packet && p.checkType == check)
                return p;
        }
        return Packet{};
    }
    void peer(char type, int seq, const QByteArray &data = QByteArray(), int check = 1)
    {
        transfer.feed(buildPacket(type, seq, data, check, 13));
    }
    // A receive into `dir` whose Send-Init has been taken.
    void receiving(const QString &dir, const QByteArray &init = sendInitData(1))
    {
        transfer.startReceive(fn(), "r", dir);
        peer('S', 0, init);
    }
};

QByteArray enc(const QByteArray &b)
{
    return encodePrefixed(b, '#');
}

// The peer's Send-Init with a given CHKT character.
QByteArray peerInit(char chkt)
{
    QByteArray d = sendInitData(1);
    d[7] = chkt;
    return d;
}

// Plays a receiver that ACKs everything until our sender ends; returns the
// file data it got, files separated by '|'.
QByteArray receiveAll(Harness &h, const QByteArray &initAck = sendInitData(1))
{
    QByteArray got;
    for (int guard = 0; guard < 100000 && h.finished == 0; ++guard) {
        const Packet p = h.last();
        if (p.type == 'D')
            got += decodePrefixed(p.data, '#');
        if (p.type == 'Z')
            got += '|';
        h.peer('Y', p.seq, p.type == 'S' ? initAck : QByteArray(), h.transfer.checkType());
    }
    return got;
}

} // namespace

class TestKermitEngine : public QObject
{
    Q_OBJECT
private slots:
    void startsWithGoldenPackets()
    {
        Harness h;
        QTemporaryDir dir;
        h.transfer.startSend(h.fn(), "a", {dir.filePath("x")});
        QCOMPARE(h.sent.value(0).toHex(' '), QByteArray::fromHex("012C20537E2A20202D23203120290D").toHex(' '));
        h.transfer.cancel();
        Harness r;
        r.transfer.startReceive(r.fn(), "b", dir.path());
        QCOMPARE(r.sent.value(0).toHex(' '), QByteArray::fromHex("0123204E330D").toHex(' ')); // NAK 0 at once
        QCOMPARE(r.statuses.first(), QStringLiteral("Kermit 接收 -> 目录 %1，请在对端运行 kermit -s ...").arg(dir.path()));
    }

    void idleObjectDoesNothing()
    {
        Harness h;
        h.transfer.cancel();
        h.transfer.feed(buildPacket('S', 0, sendInitData(1), 1, 13));
        h.tick(100);
        QVERIFY(h.sent.isEmpty() && h.statuses.isEmpty() && h.finished == 0);
    }

    void receiverTakesSendersCheckType_data()
    {
        QTest::addColumn<char>("chkt");
        QTest::addColumn<int>("check");
        QTest::newRow("digit 2") << '2' << 2;
        QTest::newRow("digit 3") << '3' << 3;
        QTest::newRow("old form '#'") << '#' << 3;
        QTest::newRow("unknown") << 'Q' << 1;
    }

    void receiverTakesSendersCheckType()
    {
        QFETCH(char, chkt);
        QFETCH(int, check);
        Harness h;
        QTemporaryDir dir;
        h.receiving(dir.path(), peerInit(chkt));
        // The ACK of S states the type and still carries a type-1 check.
        QCOMPARE(h.last().type, 'Y');
        QCOMPARE(h.last().checkType, 1);
        QCOMPARE(h.last().data, sendInitData(check));
        h.peer('F', 1, enc("f.txt"), check);
        QCOMPARE(h.last().type, 'Y');
        QCOMPARE(h.last().checkType, check);
        QCOMPARE(h.last().seq, 1);
    }

    void repeatedSendInitGetsParametersAgain()
    {
        Harness h;
        QTemporaryDir dir;
        h.receiving(dir.path(), peerInit('3'));
        h.peer('S', 0, peerInit('3')); // our ACK was lost
        QCOMPARE(h.last().type, 'Y');
        QCOMPARE(h.last().seq, 0);
        QCOMPARE(h.last().checkType, 1);
        QCOMPARE(h.last().data, sendInitData(3));
        h.peer('F', 1, enc("f"), 3);
        h.peer('F', 1, enc("f"), 3); // a repeated F: ACKed again, empty
        QCOMPARE(h.last().seq, 1);
        QVERIFY(h.last().data.isEmpty());
        h.peer('D', 3, enc("x"), 3); // out of step: NAK of the one wanted
        QCOMPARE(h.last().type, 'N');
        QCOMPARE(h.last().seq, 2);
    }

    void receiverWaitsForSendInit()
    {
        Harness h;
        QTemporaryDir dir;
        h.transfer.startReceive(h.fn(), "r", dir.path());
        h.tick(4);
        QCOMPARE(h.sent.size(), 1);
        h.tick(1);
        QCOMPARE(h.sent.size(), 2);
        QCOMPARE(h.last().type, 'N');
        h.tick(5 * 23);
        QCOMPARE(h.sent.size(), 25);
        QCOMPARE(h.finished, 0);
        h.tick(5); // the 25th time-out
        QCOMPARE(h.finished, 1);
        QCOMPARE(h.summary, QStringLiteral("2 分钟内对端未开始发送，放弃"));
        QCOMPARE(h.last().type, 'E');
    }

    void receiverRestartsWaitOnEveryPacket()
    {
        Harness h;
        QTemporaryDir dir;
        h.receiving(dir.path());
        h.peer('F', 1, enc("slow.bin"));
        for (int seq = 2; seq < 40; ++seq) {
            h.tick(9);
            h.peer('D', seq, enc("abc"));
            QCOMPARE(h.last().type, 'Y'); // never a NAK in between
        }
        h.tick(10);
        QCOMPARE(h.last().type, 'N');
        QCOMPARE(h.last().seq, 40);
        h.tick(10 * 12);
        QCOMPARE(h.summary, QStringLiteral("接收超时，中止"));
        QCOMPARE(filesIn(dir.path()), QStringList());
    }

    // A receive scripted as packets after S ('|' between packets, the first
    // character of each its type, the rest its data), beside a user's own
    // "a.part", which no ending touches. A file that never gets its Z is no
    // success: it stays as its temporary file, which the summary names.
    void receiverFileEndings_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("summary"); // the start of it; empty: success
        const QStringList user{"a.part"}, kept{"a.1.part", "a.part"};
        const QString incomplete = QStringLiteral("接收未完成：%1 个文件收完，1 个未收完整，保留为 ");
        QTest::newRow("plain file") << QByteArray("Fa|Dhello|Z|B") << QStringList{"a", "a.part"} << "";
        QTest::newRow("attributes ignored") << QByteArray("Fa|A!#1|Dhello|Z|B") << QStringList{"a", "a.part"} << "";
        QTest::newRow("Z with D discards") << QByteArray("Fa|Dhello|ZD|B") << user << "";
        QTest::newRow("B without Z") << QByteArray("Fa|Dhello|B") << kept << incomplete.arg(0);
        QTest::newRow("second F without Z") << QByteArray("Fa|Dhello|Fb|Dy|Z|B") << kept + QStringList{"b"}
                                            << incomplete.arg(1);
        QTest::newRow("peer error inside a file") << QByteArray("Fa|Dhello|EDisk full\r\n") << user
                                                  << QStringLiteral("对端错误：Disk full\r\n");
        QTest::newRow("folders dropped") << QByteArray("F/etc/sub/x.txt|Dhi|Z|B") << QStringList{"a.part", "x.txt"} << "";
        QTest::newRow("dos folders dropped") << QByteArray("FC:\\dir\\y.txt|Dhi|Z|B") << QStringList{"a.part", "y.txt"}
                                             << "";
        QTest::newRow("UTF-8 name") << QByteArray("F报告|Dhi|Z|B") << QStringList{"a.part", "报告"} << "";
        QTest::newRow("name ..") << QByteArray("Fa/..") << user << QStringLiteral("Kermit 文件名非法");
        QTest::newRow("empty name") << QByteArray("F") << user << QStringLiteral("Kermit 文件名非法");
        QTest::newRow("control character") << QByteArray("Fa\x1b[2Jb") << user << QStringLiteral("Kermit 文件名非法");
    }
    void receiverFileEndings()
    {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, files);
        QFETCH(QString, summary);
        Harness h;
        QTemporaryDir dir;
        writeFile(dir.filePath("a.part"), "mine");
        h.receiving(dir.path());
        int seq = 1;
        for (const QByteArray &step : script.split('|'))
            h.peer(step.at(0), seq++, enc(step.mid(1)));
        QCOMPARE(h.finished, 1);
        QCOMPARE(h.ok, summary.isEmpty());
        QCOMPARE(h.summary.left(summary.size()), summary);
        QCOMPARE(filesIn(dir.path()), files);
        QCOMPARE(readFile(dir.filePath("a.part")), QByteArray("mine"));
        if (files.contains("a.1.part")) {
            QVERIFY(h.summary.endsWith(dir.filePath("a.1.part")));
            QCOMPARE(readFile(dir.filePath("a.1.part")), QByteArray("hello"));
        }
    }

    void badPacketsEndOnThe31st()
    {
        Harness h;
        QTemporaryDir dir;
        h.receiving(dir.path());
        QByteArray bad = buildPacket('D', 1, "abc", 1, 13);
        bad[5] = 'x'; // data changed after the check was made
        for (int i = 0; i < 30; ++i)
            h.transfer.feed(bad);
        QCOMPARE(h.finished, 0);
        QCOMPARE(h.last().type, 'N');
        QCOMPARE(h.last().seq, 1);
        h.peer('D', 9, "zz"); // a good packet (out of step) clears the count
        for (int i = 0; i < 30; ++i)
            h.transfer.feed(bad);
        QCOMPARE(h.finished, 0);
        h.transfer.feed(bad);
        QCOMPARE(h.summary, QStringLiteral("坏包重试过多，中止"));
    }

    void leftoversDoNotReachNextTransfer()
    {
        Harness h;
        QTemporaryDir dir;
        h.receiving(dir.path());
        // B and, in the same chunk, the start of something that never completes.
        h.transfer.feed(buildPacket('B', 1, QByteArray(), 1, 13) + QByteArray("\x01~ X"));
        QVERIFY(h.ok);
        h.receiving(dir.path());
        QCOMPARE(h.last().type, 'Y');
        QCOMPARE(h.last().data, sendInitData(1));
    }

    // A batch with paths that cannot be opened, to a peer whose packets are
    // short: every byte arrives once, the sequence number wraps, the paths
    // that fail are skipped with a word.
    void senderFollowsShortPacketsAndWraps()
    {
        QByteArray content;
        for (int i = 0; i < 3000; ++i)
            content.append(char((i * 7) & 0xFF));
        QTemporaryDir dir;
        Harness h;
        const QString file = writeFile(dir.filePath("c.bin"), content);
        h.transfer.startSend(h.fn(), "s", {dir.filePath("nope"), file, dir.filePath("nope2")});
        QByteArray ack = sendInitData(1);
        ack[0] = tochar(10); // MAXL 10 is held to 20
        QCOMPARE(receiveAll(h, ack), content + '|');
        QVERIFY(h.ok);
        int dataPackets = 0;
        for (const QByteArray &p : h.sent) {
            QVERIFY(unchar(p.at(1)) + 2 <= 20);
            dataPackets += p.at(3) == 'D';
        }
        QVERIFY(dataPackets > 128); // the sequence number wrapped twice
        QVERIFY(h.statuses.contains(QStringLiteral("无法打开 %1，跳过").arg(dir.filePath("nope"))));
        QCOMPARE(h.statuses.last(), QStringLiteral("Kermit 发送完成（1 个文件）"));
    }

    void senderRefusesWhatItCannotSend_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("summary");
        const QString longName = QString(60, QChar(0x540D)) + ".txt"; // 184 UTF-8 bytes
        QTest::newRow("name longer than a packet") << longName << QStringLiteral("文件名过长，无法发送：%1").arg(longName);
        QTest::newRow("no file opens") << "missing" << QStringLiteral("没有可发送的文件（全部无法打开）");
    }

    void senderRefusesWhatItCannotSend()
    {
        QFETCH(QString, name);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        if (name != "missing")
            writeFile(dir.filePath(name), QByteArray());
        Harness h;
        h.transfer.startSend(h.fn(), "s", {dir.filePath(name)});
        h.peer('Y', 0, sendInitData(1));
        QCOMPARE(h.finished, 1);
        QVERIFY(!h.ok);
        QCOMPARE(h.summary, summary);
        // The peer hears why, in a packet that its one-character length still fits.
        QCOMPARE(h.last().type, 'E');
        QVERIFY(unchar(h.sent.last().at(1)) <= 94);
        QVERIFY(summary.toUtf8().startsWith(decodePrefixed(h.last().data, '#')));
    }

    void senderGivesUpOnSilence()
    {
        QTemporaryDir dir;
        Harness h;
        h.transfer.startSend(h.fn(), "s", {dir.filePath("x")});
        h.tick(7);
        QCOMPARE(h.sent.size(), 1);
        h.tick(1);
        QCOMPARE(h.sent.size(), 2);
        QCOMPARE(h.sent.at(1), h.sent.at(0)); // the S again, unchanged
        // A NAK of the packet in flight resends it; more than ten in a row end it.
        for (int i = 0; i < 10; ++i)
            h.peer('N', 0);
        QCOMPARE(h.finished, 0);
        QCOMPARE(h.sent.size(), 12);
        h.peer('N', 0);
        QCOMPARE(h.summary, QStringLiteral("对端持续 NAK，中止"));
    }

    // The sender with F in flight (sequence 1), after the receiver asked for
    // check type 3 in its ACK of S.
    void senderAnswersReplies()
    {
        QTemporaryDir dir;
        Harness h;
        h.transfer.startSend(h.fn(), "s", {writeFile(dir.filePath("r.bin"), "abc")});
        h.peer('Y', 0, peerInit('3'));
        QCOMPARE(h.last().type, 'F');
        QCOMPARE(h.last().checkType, 3);
        const int before = h.sent.size();
        h.peer('Y', 0, QByteArray(), 3); // a late ACK of S: dropped, no resend
        QCOMPARE(h.sent.size(), before);
        h.peer('N', 0, QByteArray(), 3); // a NAK of another packet: resend
        QCOMPARE(h.sent.size(), before + 1);
        QCOMPARE(h.last().type, 'F');
        h.peer('N', 2, QByteArray(), 3); // NAK of the next packet: F arrived
        QCOMPARE(h.last().type, 'D');
        QCOMPARE(h.last().seq, 2);
        QCOMPARE(decodePrefixed(h.last().data, '#'), QByteArray("abc"));
        h.peer('E', 40, enc("no space"), 3); // an error, whatever its number
        QCOMPARE(h.summary, QStringLiteral("对端错误：no space"));
    }
};

QTEST_GUILESS_MAIN(TestKermitEngine)
#include "tst_kermitengine.moc"
