// XMODEM/YMODEM engine driven byte by byte: what goes on the wire, how the
// receiver judges blocks and names, the time-outs, and the ".part" rules.
// The real peers are in tst_xmodem_lrzsz.

#include "transfer/xmodemtransfer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

QByteArray block(quint8 number, QByteArray data, bool crc, int size = 128)
{
    data.append(QByteArray(size - data.size(), char(0x1A)));
    QByteArray b;
    b.append(size == 128 ? SOH : STX).append(char(number)).append(char(255 - number)).append(data);
    if (crc) {
        const quint16 c = crc16(data.constData(), int(data.size()));
        b.append(char(c >> 8)).append(char(c & 0xFF));
    } else {
        quint8 sum = 0;
        for (char ch : data)
            sum = quint8(sum + quint8(ch));
        b.append(char(sum));
    }
    return b;
}

QByteArray writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    f.write(bytes);
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// A transfer object with its wire recorded and its signals spied on.
struct Harness {
    QList<QByteArray> sent; // outlives the transfer, whose destructor may still send
    XmodemTransfer transfer;
    QSignalSpy status{&transfer, &XmodemTransfer::statusMessage};
    QSignalSpy finished{&transfer, &XmodemTransfer::transferFinished};

    TransferSendFn fn()
    {
        return [this](const QByteArray &b) { sent << b; };
    }
    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i)
            QMetaObject::invokeMethod(&transfer, "onTick", Qt::DirectConnection);
    }
    QString summary() const { return finished.isEmpty() ? QStringLiteral("<running>") : finished.last().at(2).toString(); }
    bool ok() const { return !finished.isEmpty() && finished.last().at(1).toBool(); }
    QByteArray lastSent() const { return sent.isEmpty() ? QByteArray() : sent.last(); }
    QByteArray allSent() const
    {
        QByteArray all;
        for (const QByteArray &b : sent)
            all += b;
        return all;
    }
};

QByteArray yHeaderBlock(const QByteArray &name, const QByteArray &sizeField, bool crc = true)
{
    QByteArray data = name;
    data.append('\0').append(sizeField).append('\0');
    data.append(QByteArray(128 - data.size(), '\0'));
    QByteArray b;
    b.append(SOH).append(char(0)).append(char(255)).append(data);
    const quint16 c = crc16(data.constData(), 128);
    if (crc)
        b.append(char(c >> 8)).append(char(c & 0xFF));
    return b;
}

} // namespace

class TestXmodem : public QObject
{
    Q_OBJECT

private slots:
    void crcCheckValue()
    {
        QCOMPARE(crc16("123456789", 9), quint16(0x31C3));
        QCOMPARE(crc16("", 0), quint16(0));
    }

    // The first block of "abc" in both check modes, and the receiver's first
    // request deciding the mode (the earlier of NAK and 'C' wins).
    void firstBlockOnTheWire_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("crc");
        QTest::newRow("NAK: checksum") << QByteArray("\x15") << false;
        QTest::newRow("C: CRC") << QByteArray("C") << true;
        QTest::newRow("noise, C before NAK") << QByteArray("xyC\x15") << true;
        QTest::newRow("NAK before C") << QByteArray("\x15" "C") << false;
    }
    void firstBlockOnTheWire()
    {
        QFETCH(QByteArray, request);
        QFETCH(bool, crc);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("abc"));
        writeFile(path, "abc");
        Harness h;
        h.transfer.startSend(h.fn(), QStringLiteral("s1"), {path}, XmodemTransfer::Xmodem);
        QVERIFY(h.sent.isEmpty());
        h.transfer.feed(request);
        QCOMPARE(h.sent.size(), 1);
        QCOMPARE(h.lastSent(), block(1, "abc", crc));
        if (!crc)
            QCOMPARE(quint8(h.lastSent().at(131)), quint8(0xD8));
        h.transfer.feed(QByteArray(1, ACK));
        QCOMPARE(h.lastSent(), QByteArray(1, EOT));
        h.transfer.feed(QByteArray(1, ACK));
        QVERIFY(h.ok());
        QCOMPARE(h.status.last().at(1).toString(), QStringLiteral("传输完成"));
        QCOMPARE(h.finished.size(), 1);
    }

    // Header of report.txt (1536 bytes), data in 1024-byte blocks, the second
    // file, the end of the batch; the header answer needs ACK and then 'C'.
    void ymodemBatchOnTheWire()
    {
        QTemporaryDir dir;
        const QString a = dir.filePath(QStringLiteral("report.txt"));
        const QString b = dir.filePath(QStringLiteral("empty"));
        const QByteArray content = writeFile(a, QByteArray(1536, 'r'));
        writeFile(b, QByteArray());
        Harness h;
        h.transfer.startSend(h.fn(), QStringLiteral("s"), {a, b}, XmodemTransfer::Ymodem);
        h.transfer.feed("C");
        QCOMPARE(h.lastSent(), yHeaderBlock("report.txt", "1536"));
        h.transfer.feed("C"); // before the ACK: ignored
        QCOMPARE(h.sent.size(), 1);
        h.transfer.feed(QByteArray(1, ACK) + "C");
        QCOMPARE(h.lastSent(), block(1, content.left(1024), true, 1024));
        h.transfer.feed(QByteArray(1, ACK));
        QCOMPARE(h.lastSent(), block(2, content.mid(1024), true, 1024)); // 512 bytes + SUB to 1024
        h.transfer.feed(QByteArray(1, ACK));
        QCOMPARE(h.lastSent(), QByteArray(1, EOT));
        h.transfer.feed(QByteArray(1, NAK)); // the receiver's NAK of the first EOT
        QCOMPARE(h.lastSent(), QByteArray(1, EOT));
        // The ACK and the request for the next header in one read: the
        // header goes out at once, not on a fallback seconds later.
        h.transfer.feed(QByteArray(1, ACK) + "C");
        QCOMPARE(h.lastSent(), yHeaderBlock("empty", "0"));
        h.transfer.feed(QByteArray(1, ACK) + "C");
        QCOMPARE(h.lastSent(), QByteArray(1, EOT)); // an empty file has no data block
        h.transfer.feed(QByteArray(1, ACK));
        h.tick(3); // a receiver that never asks still gets the next header
        QCOMPARE(h.lastSent(), block(0, QByteArray(128, '\0'), true));
        QVERIFY(h.finished.isEmpty());
        h.transfer.feed(QByteArray(1, ACK));
        QVERIFY(h.ok());
    }

    // Senders end with a failure text and two CAN bytes (except an empty
    // list); idle objects neither send nor report.
    void senderFailures_data()
    {
        QTest::addColumn<QByteArray>("script"); // bytes fed one at a time after the start
        QTest::addColumn<int>("ticks");
        QTest::addColumn<QString>("summary");
        QTest::newRow("CAN from the receiver") << QByteArray("C\x18") << 0 << QStringLiteral("对端取消传输 (CAN)");
        QTest::newRow("eleven NAKs") << QByteArray("C") + QByteArray(11, NAK) << 0
                                     << QStringLiteral("重试超过 10 次，对端无响应");
        QTest::newRow("no handshake for 61 s") << QByteArray() << 61
                                               << QStringLiteral("60 秒内未收到对端握手（NAK/C），放弃");
        QTest::newRow("silent after a block") << QByteArray("C") << 33 << QStringLiteral("对端持续无响应，中止");
    }
    void senderFailures()
    {
        QFETCH(QByteArray, script);
        QFETCH(int, ticks);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("f"));
        writeFile(path, QByteArray(1000, 'x'));
        Harness h;
        h.transfer.startSend(h.fn(), QStringLiteral("s"), {path}, XmodemTransfer::Xmodem);
        for (const char c : script)
            h.transfer.feed(QByteArray(1, c));
        if (ticks > 0) {
            h.tick(ticks - 1);
            QVERIFY(h.finished.isEmpty());
            h.tick();
        }
        QCOMPARE(h.summary(), summary);
        QCOMPARE(h.lastSent(), QByteArray(2, CAN));
        QVERIFY(!h.transfer.isActive());
    }

    void idleObjectIgnoresEverything()
    {
        Harness h;
        h.transfer.cancel();
        h.transfer.feed("C\x15\x06");
        h.tick(100);
        QVERIFY(h.sent.isEmpty());
        QVERIFY(h.status.isEmpty());
        QVERIFY(h.finished.isEmpty());
        h.transfer.startSend(h.fn(), QStringLiteral("s"), {}, XmodemTransfer::Ymodem);
        QCOMPARE(h.summary(), QStringLiteral("未选择要发送的文件"));
        QVERIFY(h.sent.isEmpty()); // no CAN for a transfer that never began
    }

    // A file that shrinks while it is being sent must not pass as sent whole.
    void fileTruncatedWhileSending()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("shrinks"));
        writeFile(path, QByteArray(256 * 1024, 's'));
        Harness h;
        h.transfer.startSend(h.fn(), QStringLiteral("s"), {path}, XmodemTransfer::Xmodem);
        h.transfer.feed("C");
        QFile::resize(path, 200);
        for (int i = 0; i < 2048 && h.finished.isEmpty(); ++i)
            h.transfer.feed(QByteArray(1, ACK));
        QVERIFY(!h.ok());
        QVERIFY2(h.summary().startsWith(QStringLiteral("读取文件失败：")), qPrintable(h.summary()));
        QCOMPARE(h.lastSent(), QByteArray(2, CAN));
    }

    // Receiver: which blocks are taken, which are NAKed, what is written.
    void receiverJudgesBlocks_data()
    {
        QTest::addColumn<QByteArray>("wire");     // fed in one piece after the first poll
        QTest::addColumn<QByteArray>("answers");  // everything sent after the first poll
        QTest::addColumn<QByteArray>("stored");   // the committed file, or "" when none
        QTest::addColumn<QString>("summary");

        const QByteArray one = block(1, "hello", true);
        const QByteArray two = block(2, "world", true);
        const QByteArray padHello = QByteArray("hello") + QByteArray(123, 0x1A);
        const QByteArray padWorld = QByteArray("world") + QByteArray(123, 0x1A);
        QByteArray badComplement = one;
        badComplement[2] = 0x00;
        QByteArray badCrc = one;
        badCrc[10] = 'X';

        QTest::newRow("two blocks and EOT") << one + two + EOT << QByteArray("\x06\x06\x06") << padHello + padWorld
                                            << QString();
        QTest::newRow("repeat is ACKed, written once") << one + one + two + EOT << QByteArray("\x06\x06\x06\x06")
                                                       << padHello + padWorld << QString();
        QTest::newRow("bad complement, then good") << badComplement + one + EOT << QByteArray("\x15\x06\x06")
                                                   << padHello << QString();
        QTest::newRow("bad CRC, then good") << badCrc + one + EOT << QByteArray("\x15\x06\x06") << padHello
                                            << QString();
        QTest::newRow("checksum sender") << block(1, "hello", false) + block(2, "world", false) + EOT
                                         << QByteArray("\x06\x06\x06") << padHello + padWorld << QString();
        QTest::newRow("1K block in XMODEM") << block(1, "big", true, 1024) + EOT << QByteArray("\x06\x06")
                                            << QByteArray("big") + QByteArray(1021, 0x1A) << QString();
        QTest::newRow("noise before a block") << QByteArray("\r\nzz") + one + EOT << QByteArray("\x06\x06")
                                              << padHello << QString();
        QTest::newRow("block skipped") << one + block(3, "x", true) << QByteArray("\x06\x18\x18") << QByteArray()
                                       << QStringLiteral("块序号错位（期望 2 收到 3），中止");
        QTest::newRow("CAN after a block") << one + CAN << QByteArray("\x06\x18\x18") << QByteArray()
                                           << QStringLiteral("对端取消传输 (CAN)");
        QTest::newRow("eleven bad blocks") << badCrc.repeated(11) << QByteArray(10, NAK) + "\x18\x18" << QByteArray()
                                           << QStringLiteral("块校验连续失败超过 10 次");
        QTest::newRow("empty file: EOT at once") << QByteArray(1, EOT) << QByteArray(1, ACK) << QByteArray()
                                                 << QString();
    }
    void receiverJudgesBlocks()
    {
        QFETCH(QByteArray, wire);
        QFETCH(QByteArray, answers);
        QFETCH(QByteArray, stored);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("got.bin"));
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), target, XmodemTransfer::Xmodem);
        QCOMPARE(h.allSent(), QByteArray("C")); // asks at once
        h.sent.clear();
        h.transfer.feed(wire);
        QCOMPARE(h.allSent(), answers);
        QCOMPARE(h.summary(), summary);
        QCOMPARE(h.ok(), summary.isEmpty());
        QCOMPARE(QFile::exists(target), summary.isEmpty());
        if (summary.isEmpty())
            QCOMPARE(readFile(target), stored);
        QVERIFY(!QFile::exists(target + QStringLiteral(".part")));
    }

    // Every split of a CRC block, the last byte held back included, must be
    // read as the same CRC block and not guessed to be a checksum block.
    void receiverSplitReads()
    {
        const QByteArray one = block(1, "split", true);
        for (int cut = 1; cut < one.size(); ++cut) {
            QTemporaryDir dir;
            Harness h;
            h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.filePath(QStringLiteral("f")),
                                    XmodemTransfer::Xmodem);
            h.sent.clear();
            h.transfer.feed(one.left(cut));
            QVERIFY2(h.sent.isEmpty(), qPrintable(QString::number(cut)));
            h.transfer.feed(one.mid(cut) + block(2, "more", true) + EOT);
            QCOMPARE(h.allSent(), QByteArray("\x06\x06\x06"));
            QVERIFY(h.ok());
        }
    }

    // A checksum block that looks like a CRC block one byte short is taken
    // once the line has been quiet for a while.
    void checksumBlockSettledBySilence()
    {
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.filePath(QStringLiteral("f")), XmodemTransfer::Xmodem);
        h.sent.clear();
        h.transfer.feed(block(1, "sum", false));
        QVERIFY(h.sent.isEmpty());
        h.tick(2);
        QCOMPARE(h.allSent(), QByteArray(1, ACK));
        h.transfer.feed(block(2, "sum", false) + EOT);
        QVERIFY(h.ok());
    }

    // YMODEM headers: sizes, cut padding, names a peer must not choose.
    void ymodemHeaders_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("sizeField");
        QTest::addColumn<QString>("storedAs"); // empty: refused
        QTest::addColumn<int>("storedSize");

        QTest::newRow("plain") << QByteArray("data.bin") << QByteArray("1000") << QStringLiteral("data.bin") << 1000;
        QTest::newRow("size with mtime and mode") << QByteArray("m.txt") << QByteArray("1000 14500636621 100644")
                                                  << QStringLiteral("m.txt") << 1000;
        QTest::newRow("no digits: nothing cut") << QByteArray("u.bin") << QByteArray("abc") << QStringLiteral("u.bin")
                                                << 1024;
        QTest::newRow("folders dropped") << QByteArray("../../etc/passwd") << QByteArray("10")
                                         << QStringLiteral("passwd") << 10;
        QTest::newRow("backslash folders dropped") << QByteArray("C:\\x\\win.ini") << QByteArray("10")
                                                   << QStringLiteral("win.ini") << 10;
        QTest::newRow("dot dot") << QByteArray("..") << QByteArray("10") << QString() << 0;
        QTest::newRow("ends in slash") << QByteArray("dir/") << QByteArray("10") << QString() << 0;
        QTest::newRow("dot") << QByteArray("a/.") << QByteArray("10") << QString() << 0;
        QTest::newRow("escape sequence") << QByteArray("x\x1b[2Jy") << QByteArray("10") << QString() << 0;
        QTest::newRow("newline") << QByteArray("a\nb") << QByteArray("10") << QString() << 0;
        QTest::newRow("UTF-8 name") << QByteArray("报告.txt") << QByteArray("10") << QStringLiteral("报告.txt") << 10;
    }
    void ymodemHeaders()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, sizeField);
        QFETCH(QString, storedAs);
        QFETCH(int, storedSize);
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path(), XmodemTransfer::Ymodem);
        h.sent.clear();
        h.transfer.feed(yHeaderBlock(name, sizeField));
        if (storedAs.isEmpty()) {
            QCOMPARE(h.summary(), QStringLiteral("Ymodem 文件名非法"));
            QCOMPARE(h.allSent(), QByteArray(2, CAN));
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList());
            return;
        }
        QCOMPARE(h.allSent(), QByteArray("\x06" "C"));
        h.sent.clear();
        h.transfer.feed(block(1, QByteArray(1024, 'd'), true, 1024) + EOT);
        QCOMPARE(h.allSent(), QByteArray("\x06\x15"));
        h.transfer.feed(QByteArray(1, EOT));
        QCOMPARE(h.status.last().at(1).toString(), QStringLiteral("文件 %1 接收完成（1024 字节）").arg(storedAs));
        h.transfer.feed(yHeaderBlock("", ""));
        QVERIFY(h.ok());
        QCOMPARE(readFile(dir.filePath(storedAs)), QByteArray(storedSize, 'd'));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{storedAs});
    }

    // Block 256 is numbered 0 like a header; a repeat of it is no header.
    void ymodemBlockNumbersWrap()
    {
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path(), XmodemTransfer::Ymodem);
        h.transfer.feed(yHeaderBlock("wrap", QByteArray::number(258 * 128)));
        h.sent.clear();
        QByteArray expected;
        for (int i = 1; i <= 258; ++i) {
            const QByteArray data(128, char(i));
            expected += data;
            h.transfer.feed(block(quint8(i), data, true));
            if (i == 256)
                h.transfer.feed(block(0, data, true)); // its ACK was lost: sent again
        }
        QCOMPARE(h.allSent(), QByteArray(259, ACK));
        h.transfer.feed(QByteArray(2, EOT));
        h.transfer.feed(yHeaderBlock("", ""));
        QVERIFY(h.ok());
        QCOMPARE(readFile(dir.filePath(QStringLiteral("wrap"))), expected);
    }

    void ymodemReceiveFailures_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("summary");
        QTest::newRow("data before any header") << block(1, "x", true) << QStringLiteral("未收到文件头（块 0）");
        QTest::newRow("file shorter than announced")
            << yHeaderBlock("short", "500") + block(1, "x", true) + EOT + EOT << QStringLiteral("Ymodem 文件长度不足");
    }
    void ymodemReceiveFailures()
    {
        QFETCH(QByteArray, wire);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path(), XmodemTransfer::Ymodem);
        h.transfer.feed(wire);
        h.transfer.feed(QByteArray(1, EOT)); // the second EOT waits behind the NAK
        QCOMPARE(h.summary(), summary);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList()); // no .part left
    }

    void receiverTimeOuts_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<int>("ticks");
        QTest::addColumn<QString>("summary");
        QTest::newRow("nobody sends") << QByteArray() << 30 << QStringLiteral("30 次轮询无响应，对端未开始发送");
        QTest::newRow("sender falls silent") << block(1, "a", true) << 33 << QStringLiteral("接收超时，中止");
        QTest::newRow("sender cancels inside a block")
            << block(1, "a", true) + block(2, "b", true).left(60) + QByteArray(8, CAN) << 2
            << QStringLiteral("对端取消传输 (CAN)");
    }
    void receiverTimeOuts()
    {
        QFETCH(QByteArray, wire);
        QFETCH(int, ticks);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("t"));
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), target, XmodemTransfer::Xmodem);
        h.transfer.feed(wire);
        h.sent.clear();
        h.tick(ticks - 1);
        QVERIFY(h.finished.isEmpty());
        h.tick();
        QCOMPARE(h.summary(), summary);
        if (wire.isEmpty()) // polls alternate C, NAK, C, ... once a second
            QCOMPARE(h.allSent().left(4), QByteArray("C\x15" "C\x15"));
        QVERIFY(!QFile::exists(target + QStringLiteral(".part")));
        QVERIFY(!QFile::exists(target));
    }

    // While waiting for the other side, bytes that cannot start anything
    // are dropped instead of piling up.
    void chatterWhileWaitingIsBounded()
    {
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.filePath(QStringLiteral("f")), XmodemTransfer::Xmodem);
        for (int i = 0; i < 2000; ++i)
            h.transfer.feed(QByteArray(1000, 'z'));
        QVERIFY(h.transfer.bufferedBytes() <= 1100);
        h.transfer.feed(block(1, "ok", true) + EOT);
        QVERIFY(h.ok());
    }

    // The ".part" file: gone after a cancel or a failed commit, never left
    // beside a committed file.
    void partFileRules()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("out"));
        {
            Harness h;
            h.transfer.startReceive(h.fn(), QStringLiteral("r"), target, XmodemTransfer::Xmodem);
            h.transfer.feed(block(1, "abc", true));
            QVERIFY(QFile::exists(target + QStringLiteral(".part")));
            h.sent.clear();
            h.transfer.cancel();
            QCOMPARE(h.allSent(), QByteArray(2, CAN));
            QCOMPARE(h.summary(), QStringLiteral("传输已被用户取消"));
            QCOMPARE(h.status.last().at(1).toString(), QStringLiteral("传输已被用户取消"));
            QVERIFY(!QFile::exists(target + QStringLiteral(".part")));
        }
        {
            // The final name is a folder: the rename cannot replace it.
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("out")));
            Harness h;
            h.transfer.startReceive(h.fn(), QStringLiteral("r"), target, XmodemTransfer::Xmodem);
            h.transfer.feed(block(1, "abc", true) + EOT);
            QCOMPARE(h.summary(), QStringLiteral("提交接收文件失败"));
            QVERIFY(!QFile::exists(target + QStringLiteral(".part")));
            QVERIFY(QFileInfo(target).isDir());
        }
        {
            // A send after a receive on the same object commits nothing.
            const QString src = dir.filePath(QStringLiteral("src"));
            writeFile(src, "x");
            Harness h;
            h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.filePath(QStringLiteral("first")),
                                    XmodemTransfer::Xmodem);
            h.transfer.cancel();
            h.transfer.startSend(h.fn(), QStringLiteral("s"), {src}, XmodemTransfer::Xmodem);
            for (const char c : {'C', ACK, ACK})
                h.transfer.feed(QByteArray(1, c));
            QVERIFY(h.ok());
            QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("first"))));
        }
    }
};

QTEST_GUILESS_MAIN(TestXmodem)
#include "tst_xmodem.moc"
