// XMODEM/YMODEM engine driven byte by byte: what goes on the wire, how the
// receiver judges blocks and headers, the time-outs, and what becomes of the
// files received. The real peers are in tst_transferpeers.

#include "tests/transfer/enginetest.h"
#include "transfer/xmodemtransfer.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const char SOH = 0x01, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

QByteArray block(quint8 number, QByteArray data, bool crc, int size = 128)
{
    data.append(QByteArray(size - data.size(), char(0x1A)));
    QByteArray b;
    b.append(size == 128 ? SOH : 0x02).append(char(number)).append(char(255 - number)).append(data);
    if (crc) {
        const quint16 c = crc16(data.constData(), int(data.size()));
        return b.append(char(c >> 8)).append(char(c & 0xFF));
    }
    quint8 sum = 0;
    for (char ch : data)
        sum = quint8(sum + quint8(ch));
    return b.append(char(sum));
}

QByteArray yHeader(const QByteArray &name, const QByteArray &sizeField)
{
    QByteArray data = name + '\0' + sizeField + '\0';
    return block(0, data + QByteArray(128 - data.size(), '\0'), true);
}

using Harness = EngineHarness<XmodemTransfer>;

} // namespace

class TestXmodem : public QObject
{
    Q_OBJECT

private slots:
    // The first block of "abc" in both check modes: the earlier of NAK and
    // 'C' in the receiver's first request decides.
    void firstBlockOnTheWire_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("crc");
        QTest::newRow("NAK: checksum") << QByteArray("\x15") << false;
        QTest::newRow("noise, C before NAK") << QByteArray("xyC\x15") << true;
        QTest::newRow("NAK before C") << QByteArray("\x15" "C") << false;
    }
    void firstBlockOnTheWire()
    {
        QFETCH(QByteArray, request);
        QFETCH(bool, crc);
        QTemporaryDir dir;
        Harness h;
        h.transfer.startSend(h.fn(), QStringLiteral("s1"), {writeFile(dir.filePath("abc"), "abc")}, XmodemTransfer::Xmodem);
        QVERIFY(h.wire().isEmpty());
        h.transfer.feed(request);
        const QByteArray first = h.takeWire();
        QCOMPARE(first, block(1, "abc", crc));
        QCOMPARE(crc ? crc16("123456789", 9) : quint8(first.at(131)), crc ? 0x31C3 : 0xD8); // worked out by hand
        h.transfer.feed(QByteArray(1, ACK));
        QCOMPARE(h.takeWire(), QByteArray(1, EOT));
        h.transfer.feed(QByteArray(1, ACK));
        QVERIFY(h.ok);
        QCOMPARE(h.statuses.last(), QStringLiteral("传输完成"));
    }

    // A batch: header, 1024-byte blocks, EOT; the receiver's ACK and its
    // request for the next header come in one read, and the header goes out
    // at once (a dropped 'C' would leave it to a fallback seconds later).
    void ymodemBatchOnTheWire()
    {
        QTemporaryDir dir;
        const QByteArray content(1536, 'r');
        const QString a = writeFile(dir.filePath("report.txt"), content);
        const QString b = writeFile(dir.filePath("empty"), QByteArray());
        Harness h;
        h.transfer.startSend(h.fn(), QStringLiteral("s"), {a, b}, XmodemTransfer::Ymodem);
        h.transfer.feed("C");
        QCOMPARE(h.takeWire(), yHeader("report.txt", "1536"));
        h.transfer.feed("C"); // before the ACK: ignored
        QVERIFY(h.wire().isEmpty());
        h.transfer.feed(QByteArray(1, ACK) + "C");
        QCOMPARE(h.takeWire(), block(1, content.left(1024), true, 1024));
        h.transfer.feed(QByteArray(1, ACK));
        QCOMPARE(h.takeWire(), block(2, content.mid(1024), true, 1024));
        h.transfer.feed(QByteArray(1, ACK));
        QCOMPARE(h.takeWire(), QByteArray(1, EOT));
        h.transfer.feed(QByteArray(1, NAK)); // the receiver's NAK of the first EOT
        QCOMPARE(h.takeWire(), QByteArray(1, EOT));
        h.transfer.feed(QByteArray(1, ACK) + "C");
        QCOMPARE(h.takeWire(), yHeader("empty", "0"));
        h.transfer.feed(QByteArray(1, ACK) + "C");
        QCOMPARE(h.takeWire(), QByteArray(1, EOT)); // an empty file has no data block
        h.transfer.feed(QByteArray(1, ACK));
        h.tick(3); // a receiver that never asks still gets the next header
        QCOMPARE(h.takeWire(), block(0, QByteArray(128, '\0'), true));
        h.transfer.feed(QByteArray(1, ACK));
        QVERIFY(h.ok);
    }

    // Ways a transfer gives up: a failure text and two CAN bytes at the end.
    void failures_data()
    {
        QTest::addColumn<bool>("receive");
        QTest::addColumn<QByteArray>("script"); // fed one byte at a time after the start
        QTest::addColumn<int>("ticks");
        QTest::addColumn<QString>("summary");
        QTest::newRow("CAN from the receiver") << false << QByteArray("C\x18") << 0
                                               << QStringLiteral("对端取消传输 (CAN)");
        QTest::newRow("eleven NAKs") << false << QByteArray("C") + QByteArray(11, NAK) << 0
                                     << QStringLiteral("重试超过 10 次，对端无响应");
        QTest::newRow("no handshake for 61 s") << false << QByteArray() << 61
                                               << QStringLiteral("60 秒内未收到对端握手（NAK/C），放弃");
        QTest::newRow("silent after a block") << false << QByteArray("C") << 33 << QStringLiteral("对端持续无响应，中止");
        QTest::newRow("nobody sends") << true << QByteArray() << 30 << QStringLiteral("30 次轮询无响应，对端未开始发送");
        QTest::newRow("sender falls silent") << true << block(1, "a", true) << 33 << QStringLiteral("接收超时，中止");
        QTest::newRow("sender cancels inside a block")
            << true << block(1, "a", true) + block(2, "b", true).left(60) + QByteArray(8, CAN) << 2
            << QStringLiteral("对端取消传输 (CAN)");
    }
    void failures()
    {
        QFETCH(bool, receive);
        QFETCH(QByteArray, script);
        QFETCH(int, ticks);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        Harness h;
        if (receive)
            h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.filePath("t"), XmodemTransfer::Xmodem);
        else
            h.transfer.startSend(h.fn(), QStringLiteral("s"), {writeFile(dir.filePath("f"), QByteArray(1000, 'x'))},
                                 XmodemTransfer::Xmodem);
        h.feedEach(script);
        h.tick(ticks - 1);
        QVERIFY(h.finished == 0 || ticks == 0);
        h.tick();
        QCOMPARE(h.summary, summary);
        QVERIFY(h.wire().endsWith(QByteArray(2, CAN)));
        if (receive && script.isEmpty()) // polls alternate C, NAK, C, ... once a second after the first
            QCOMPARE(h.wire().left(5), QByteArray("CC\x15" "C\x15"));
        QCOMPARE(filesIn(dir.path()), receive ? QStringList() : QStringList{"f"});
    }

    void idleObjectIgnoresEverything()
    {
        Harness h;
        h.transfer.cancel();
        h.transfer.feed("C\x15\x06");
        h.tick(100);
        QVERIFY(h.sent.isEmpty() && h.statuses.isEmpty() && h.finished == 0);
        h.transfer.startSend(h.fn(), QStringLiteral("s"), {}, XmodemTransfer::Ymodem);
        QCOMPARE(h.summary, QStringLiteral("未选择要发送的文件"));
        QVERIFY(h.wire().isEmpty()); // no CAN for a transfer that never began
    }

    // A file that shrinks while it is being sent must not pass as sent whole.
    void fileTruncatedWhileSending()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir.filePath("shrinks"), QByteArray(256 * 1024, 's'));
        Harness h;
        h.transfer.startSend(h.fn(), QStringLiteral("s"), {path}, XmodemTransfer::Xmodem);
        h.transfer.feed("C");
        QFile::resize(path, 200);
        for (int i = 0; i < 2048 && h.finished == 0; ++i)
            h.transfer.feed(QByteArray(1, ACK));
        QVERIFY2(h.summary.startsWith(QStringLiteral("读取文件失败：")), qPrintable(h.summary));
        QVERIFY(h.wire().endsWith(QByteArray(2, CAN)));
    }

    // Receiver: which blocks are taken, which are NAKed, what is written.
    void receiverJudgesBlocks_data()
    {
        QTest::addColumn<QByteArray>("wire");     // fed in one piece after the first poll
        QTest::addColumn<QByteArray>("answers");  // everything sent after the first poll
        QTest::addColumn<QByteArray>("stored");   // the committed file
        QTest::addColumn<QString>("summary");

        const QByteArray one = block(1, "hello", true);
        const QByteArray two = block(2, "world", true);
        const QByteArray padHello = QByteArray("hello") + QByteArray(123, 0x1A);
        const QByteArray padWorld = QByteArray("world") + QByteArray(123, 0x1A);
        QByteArray badComplement = one;
        badComplement[2] = 0x00;
        QByteArray badCrc = one;
        badCrc[10] = 'X';
        const QByteArray acks3("\x06\x06\x06");

        QTest::newRow("two blocks and EOT") << one + two + EOT << acks3 << padHello + padWorld << QString();
        QTest::newRow("repeat is ACKed, written once") << one + one + two + EOT << QByteArray("\x06\x06\x06\x06")
                                                       << padHello + padWorld << QString();
        QTest::newRow("bad complement, then good") << badComplement + one + EOT << QByteArray("\x15\x06\x06")
                                                   << padHello << QString();
        QTest::newRow("bad CRC, then good") << badCrc + one + EOT << QByteArray("\x15\x06\x06") << padHello
                                            << QString();
        QTest::newRow("checksum sender") << block(1, "hello", false) + block(2, "world", false) + EOT << acks3
                                         << padHello + padWorld << QString();
        QTest::newRow("1K block in XMODEM") << block(1, "big", true, 1024) + EOT << QByteArray("\x06\x06")
                                            << QByteArray("big") + QByteArray(1021, 0x1A) << QString();
        QTest::newRow("noise before a block") << QByteArray("\r\nzz") + one + EOT << QByteArray("\x06\x06")
                                              << padHello << QString();
        QTest::newRow("empty file: EOT at once") << QByteArray(1, EOT) << QByteArray(1, ACK) << QByteArray()
                                                 << QString();
        QTest::newRow("block skipped") << one + block(3, "x", true) << QByteArray("\x06\x18\x18") << QByteArray()
                                       << QStringLiteral("块序号错位（期望 2 收到 3），中止");
        QTest::newRow("CAN after a block") << one + CAN << QByteArray("\x06\x18\x18") << QByteArray()
                                           << QStringLiteral("对端取消传输 (CAN)");
        QTest::newRow("eleven bad blocks") << badCrc.repeated(11) << QByteArray(10, NAK) + "\x18\x18" << QByteArray()
                                           << QStringLiteral("块校验连续失败超过 10 次");
    }
    void receiverJudgesBlocks()
    {
        QFETCH(QByteArray, wire);
        QFETCH(QByteArray, answers);
        QFETCH(QByteArray, stored);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        const QString target = dir.filePath("got.bin");
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), target, XmodemTransfer::Xmodem);
        QCOMPARE(h.takeWire(), QByteArray("C")); // asks at once
        h.transfer.feed(wire);
        QCOMPARE(h.takeWire(), answers);
        QCOMPARE(h.summary, summary);
        QCOMPARE(h.ok, summary.isEmpty());
        QCOMPARE(filesIn(dir.path()), summary.isEmpty() ? QStringList{"got.bin"} : QStringList());
        if (summary.isEmpty())
            QCOMPARE(readFile(target), stored);
    }

    // Every split of a CRC block, the last byte held back included, must be
    // read as the same CRC block and not guessed to be a checksum block.
    void receiverSplitReads()
    {
        const QByteArray one = block(1, "split", true);
        for (int cut = 1; cut < one.size(); ++cut) {
            QTemporaryDir dir;
            Harness h;
            h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.filePath("f"), XmodemTransfer::Xmodem);
            h.takeWire();
            h.transfer.feed(one.left(cut));
            QVERIFY2(h.wire().isEmpty(), qPrintable(QString::number(cut)));
            h.transfer.feed(one.mid(cut) + block(2, "more", true) + EOT);
            QCOMPARE(h.takeWire(), QByteArray("\x06\x06\x06"));
            QVERIFY(h.ok);
        }
    }

    // A checksum block that looks like a CRC block one byte short is taken
    // once the line has been quiet for a while.
    void checksumBlockSettledBySilence()
    {
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.filePath("f"), XmodemTransfer::Xmodem);
        h.takeWire();
        h.transfer.feed(block(1, "sum", false));
        QVERIFY(h.wire().isEmpty());
        h.tick(2);
        QCOMPARE(h.takeWire(), QByteArray(1, ACK));
        h.transfer.feed(block(2, "sum", false) + EOT);
        QVERIFY(h.ok);
    }

    // YMODEM headers: the size cuts the padding of the last block.
    void ymodemHeaders_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("sizeField");
        QTest::addColumn<int>("storedSize");
        QTest::newRow("plain") << QByteArray("data.bin") << QByteArray("1000") << 1000;
        QTest::newRow("size with mtime and mode") << QByteArray("m.txt") << QByteArray("1000 14500636621 100644")
                                                  << 1000;
        QTest::newRow("no digits: nothing cut") << QByteArray("u.bin") << QByteArray("abc") << 1024;
        QTest::newRow("folders dropped") << QByteArray("../../etc/passwd") << QByteArray("10") << 10;
    }
    void ymodemHeaders()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, sizeField);
        QFETCH(int, storedSize);
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path(), XmodemTransfer::Ymodem);
        h.takeWire();
        h.transfer.feed(yHeader(name, sizeField));
        QCOMPARE(h.takeWire(), QByteArray("\x06" "C"));
        h.transfer.feed(block(1, QByteArray(1024, 'd'), true, 1024) + EOT);
        QCOMPARE(h.takeWire(), QByteArray("\x06\x15"));
        h.transfer.feed(QByteArray(1, EOT));
        const QString stored = QFileInfo(QString::fromUtf8(name)).fileName();
        QCOMPARE(h.statuses.last(), QStringLiteral("文件 %1 接收完成（1024 字节）").arg(stored));
        h.transfer.feed(yHeader("", ""));
        QVERIFY(h.ok);
        QCOMPARE(readFile(dir.filePath(stored)), QByteArray(storedSize, 'd'));
        QCOMPARE(filesIn(dir.path()), QStringList{stored});
    }

    // Block 256 is numbered 0 like a header; a repeat of it is no header.
    void ymodemBlockNumbersWrap()
    {
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path(), XmodemTransfer::Ymodem);
        h.transfer.feed(yHeader("wrap", QByteArray::number(258 * 128)));
        h.takeWire();
        QByteArray expected;
        for (int i = 1; i <= 258; ++i) {
            const QByteArray data(128, char(i));
            expected += data;
            h.transfer.feed(block(quint8(i), data, true));
            if (i == 256)
                h.transfer.feed(block(0, data, true)); // its ACK was lost: sent again
        }
        QCOMPARE(h.takeWire(), QByteArray(259, ACK));
        h.transfer.feed(QByteArray(2, EOT));
        h.transfer.feed(yHeader("", ""));
        QVERIFY(h.ok);
        QCOMPARE(readFile(dir.filePath("wrap")), expected);
    }

    // What a YMODEM receive leaves in the folder. A user's own "a.part"
    // stays untouched in every case; a file that never got its end is no
    // success and stays as its temporary file, which the summary names.
    void ymodemReceiveEndings_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("summary"); // the start of it
        const QByteArray dataA = block(1, "aaa", true, 1024);
        QTest::newRow("data before any header") << block(1, "x", true) << QStringList{"a.part"}
                                                << QStringLiteral("未收到文件头（块 0）");
        QTest::newRow("name ..") << yHeader("..", "3") << QStringList{"a.part"} << QStringLiteral("Ymodem 文件名非法");
        QTest::newRow("escape sequence in the name") << yHeader("x\x1b[2Jy", "3") << QStringList{"a.part"}
                                                     << QStringLiteral("Ymodem 文件名非法");
        QTest::newRow("file shorter than announced") << yHeader("a", "5000") + dataA + EOT + EOT
                                                     << QStringList{"a.part"} << QStringLiteral("Ymodem 文件长度不足");
        QTest::newRow("cancelled inside a file") << yHeader("a", "3") + dataA << QStringList{"a.part"}
                                                 << QStringLiteral("传输已被用户取消");
        QTest::newRow("next header before EOT") << yHeader("a", "3") + dataA + yHeader("b", "3") + dataA + EOT + EOT
                                                       + yHeader("", "")
                                                << QStringList{"a.1.part", "a.part", "b"}
                                                << QStringLiteral("接收未完成：1 个文件收完，1 个未收完整，保留为 ");
        QTest::newRow("batch ends inside a file") << yHeader("a", "3") + dataA + yHeader("", "")
                                                  << QStringList{"a.1.part", "a.part"}
                                                  << QStringLiteral("接收未完成：0 个文件收完，1 个未收完整，保留为 ");
    }
    void ymodemReceiveEndings()
    {
        QFETCH(QByteArray, wire);
        QFETCH(QStringList, files);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        writeFile(dir.filePath("a.part"), "mine");
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path(), XmodemTransfer::Ymodem);
        h.feedEach(wire); // a second EOT waits behind the NAK of the first
        h.transfer.cancel();
        QVERIFY2(h.summary.startsWith(summary), qPrintable(h.summary));
        QCOMPARE(filesIn(dir.path()), files);
        QCOMPARE(readFile(dir.filePath("a.part")), QByteArray("mine"));
        if (files.contains("a.1.part")) {
            QVERIFY(h.summary.endsWith(dir.filePath("a.1.part")));
            QCOMPARE(readFile(dir.filePath("a.1.part")), QByteArray("aaa"));
        }
    }

    // While waiting for the other side, bytes that cannot start anything
    // are dropped instead of piling up.
    void chatterWhileWaitingIsBounded()
    {
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.filePath("f"), XmodemTransfer::Xmodem);
        for (int i = 0; i < 2000; ++i)
            h.transfer.feed(QByteArray(1000, 'z'));
        QVERIFY(h.transfer.bufferedBytes() <= 1100);
        h.transfer.feed(block(1, "ok", true) + EOT);
        QVERIFY(h.ok);
    }

    // The final save of an XMODEM file fails (its name is taken by a
    // folder): every byte stays in the temporary file, which the failure
    // names. A send on the same object afterwards commits nothing.
    void failedSaveKeepsTheData()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath("out");
        QVERIFY(QDir(dir.path()).mkdir("out"));
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), target, XmodemTransfer::Xmodem);
        h.transfer.feed(block(1, "abc", true) + EOT);
        QVERIFY(!h.ok);
        QVERIFY2(h.summary.startsWith(QStringLiteral("提交接收文件失败")), qPrintable(h.summary));
        QVERIFY(h.summary.endsWith(target + ".part"));
        QCOMPARE(readFile(target + ".part"), block(1, "abc", true).mid(3, 128));
        h.transfer.startSend(h.fn(), QStringLiteral("s"), {writeFile(dir.filePath("src"), "x")}, XmodemTransfer::Xmodem);
        h.feedEach("C\x06\x06");
        QVERIFY(h.ok);
        QCOMPARE(filesIn(dir.path()), (QStringList{"out.part", "src"}));
    }
};

QTEST_GUILESS_MAIN(TestXmodem)
#include "tst_xmodem.moc"
