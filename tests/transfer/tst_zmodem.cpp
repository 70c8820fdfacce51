// ZMODEM engine driven byte by byte: golden frames, the scanner, the
// receiver's and the sender's exchanges, the time-outs. The real peers are
// in tst_transferpeers.

#include "tests/transfer/enginetest.h"
#include "transfer/zmodemtransfer.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Zmodem;

namespace {

const char *const kTypeNames[] = {"ZRQINIT", "ZRINIT", "ZSINIT", "ZACK",  "ZFILE", "ZSKIP", "ZNAK",
                                  "ZABORT",  "ZFIN",   "ZRPOS",  "ZDATA", "ZEOF"};

char unescapeByte(char c)
{
    return c == 'l' ? char(0x7F) : c == 'm' ? char(0xFF) : char(c ^ 0x40);
}

// Reads our output back as a list of frame descriptions, such as
// "ZDATA 0", "data 1024 i", "ZEOF 1024", "raw OO", so that whole exchanges
// can be compared at a glance. Headers are checked for a good CRC.
QStringList describe(const QByteArray &wire)
{
    QStringList out;
    int i = 0;
    bool subpackets = false;
    while (i < wire.size()) {
        if (subpackets) {
            QByteArray data;
            char end = 0;
            while (i < wire.size() && !end) {
                if (wire[i] == ZDLE) {
                    const char c = wire[i + 1];
                    if (c >= 'h' && c <= 'k')
                        end = c;
                    else
                        data.append(unescapeByte(c));
                    i += 2;
                } else {
                    data.append(wire[i++]);
                }
            }
            for (int k = 0; k < 2; ++k)
                i += wire[i] == ZDLE ? 2 : 1;
            out << QStringLiteral("data %1 %2").arg(data.size()).arg(QLatin1Char(end));
            subpackets = end == 'i' || end == 'j';
            continue;
        }
        QByteArray raw;
        if (wire.mid(i, 4) == QByteArray("**\x18" "B")) {
            raw = QByteArray::fromHex(wire.mid(i + 4, 14));
            i += 20;
        } else if (wire.mid(i, 3) == QByteArray("*\x18" "A")) {
            i += 3;
            while (raw.size() < 7) {
                if (wire[i] == ZDLE) {
                    raw.append(unescapeByte(wire[i + 1]));
                    i += 2;
                } else {
                    raw.append(wire[i++]);
                }
            }
        } else {
            out << QStringLiteral("raw ") + QString::fromLatin1(wire.mid(i).toHex());
            break;
        }
        const quint16 crc = crc16(raw.constData(), 5);
        const bool crcOk = quint8(raw[5]) == (crc >> 8) && quint8(raw[6]) == (crc & 0xFF);
        const int type = quint8(raw[0]);
        QString text = type < 12 ? QLatin1String(kTypeNames[type]) : QString::number(type);
        text += QLatin1Char(' ') + QString::number(positionOf(raw.mid(1, 4)));
        out << (crcOk ? text : text + QStringLiteral(" BADCRC"));
        subpackets = type == ZFILE || type == ZDATA;
    }
    return out;
}

QByteArray fileInfo(const QByteArray &name, const QByteArray &rest)
{
    return name + '\0' + rest;
}

struct Harness : EngineHarness<ZmodemTransfer> {
    QStringList take() { return describe(takeWire()); }
};

// Offers one file to a receiver and leaves it in RxData.
void offer(Harness &h, const QByteArray &info)
{
    h.transfer.feed(binaryHeader(ZFILE, QByteArray("\0\0\0\1", 4)) + dataSubpacket(info, ZCRCW));
}

} // namespace

class TestZmodem : public QObject
{
    Q_OBJECT

private slots:
    void goldenFrames_data()
    {
        QTest::addColumn<QByteArray>("built");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray zeroes(4, '\0');
        QTest::newRow("ZRQINIT") << hexHeader(ZRQINIT, zeroes)
                                 << QByteArray("**\x18" "B00000000000000\r\n");
        QTest::newRow("ZRINIT") << hexHeader(ZRINIT, QByteArray("\0\0\0\xC0", 4))
                                << QByteArray("**\x18" "B01000000c0731d\r\n");
        QTest::newRow("ZRPOS bytes") << position(0x00012345) << QByteArray("\x45\x23\x01\x00", 4);
        QTest::newRow("ZFILE binary") << binaryHeader(ZFILE, QByteArray("\0\0\0\1", 4))
                                      << QByteArray::fromHex("2a18411844184018401840184118d927");
        QTest::newRow("abc ZCRCW") << dataSubpacket("abc", ZCRCW) << QByteArray::fromHex("616263186b59d9");
        QTest::newRow("empty ZCRCE") << dataSubpacket(QByteArray(), ZCRCE) << QByteArray::fromHex("1868edae");
        QTest::newRow("escapes") << escape(QByteArray::fromHex("180d1191"))
                                 << QByteArray::fromHex("1858184d185118d1");
        // 0x7F and 0xFF go as ZDLE 'l' and ZDLE 'm': receivers refuse the
        // plain XOR form for these two.
        QTest::newRow("rubout escapes") << escape(QByteArray::fromHex("7fff")) << QByteArray::fromHex("186c186d");
        QTest::newRow("plain bytes") << escape(QByteArray::fromHex("20417ea0")) << QByteArray::fromHex("20417ea0");
    }
    void goldenFrames()
    {
        QFETCH(QByteArray, built);
        QFETCH(QByteArray, expected);
        QCOMPARE(built.toHex(' '), expected.toHex(' '));
    }

    // Every byte value through the escaping and back, split anywhere.
    void subpacketRoundTripSplit()
    {
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        for (int cut = 0; cut < 40; ++cut) {
            QTemporaryDir dir;
            Harness h;
            h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path());
            offer(h, fileInfo("all", "512"));
            h.sent.clear();
            const QByteArray frame = binaryHeader(ZDATA, position(0)) + dataSubpacket(all, ZCRCG)
                                     + dataSubpacket(all, ZCRCE) + hexHeader(ZEOF, position(512));
            // One piece of `cut` bytes, then the rest one byte at a time.
            h.transfer.feed(frame.left(cut));
            for (int i = cut; i < frame.size(); ++i)
                h.transfer.feed(frame.mid(i, 1));
            QCOMPARE(h.take(), QStringList{QStringLiteral("ZRINIT 3221225472")});
            h.transfer.feed(hexHeader(ZFIN, QByteArray(4, '\0')));
            QVERIFY(h.ok);
            QCOMPARE(readFile(dir.filePath(QStringLiteral("all"))), all + all);
        }
    }

    // What the scanner makes of odd input while a receiver waits for a file.
    void scanner_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("summary"); // "<running>" while it goes on
        const QByteArray zrqinit = hexHeader(ZRQINIT, QByteArray(4, '\0'));
        QByteArray badCrc = zrqinit;
        badCrc[17] = badCrc[17] == '0' ? '1' : '0';
        const QString running = QStringLiteral("<running>");
        const QString zrinit = QStringLiteral("ZRINIT 3221225472");
        QTest::newRow("prompt text, then ZRQINIT") << QByteArray("user@host:~$ rz\r\n") + zrqinit
                                                   << QStringList{zrinit} << running;
        QTest::newRow("upper-case hex digits") << QByteArray(zrqinit).toUpper() << QStringList{zrinit} << running;
        QTest::newRow("bad CRC: one ZNAK, then on") << badCrc + zrqinit
                                                    << QStringList{QStringLiteral("ZNAK 0"), zrinit} << running;
        QTest::newRow("bad hex digit skipped") << QByteArray("**\x18" "Bxx") + zrqinit << QStringList{zrinit}
                                               << running;
        QTest::newRow("unknown header kind skipped") << QByteArray("*\x18Z") + zrqinit << QStringList{zrinit}
                                                     << running;
        QTest::newRow("four CANs are not a cancel") << QByteArray(4, 0x18) + "x" + zrqinit << QStringList{zrinit}
                                                    << running;
        QTest::newRow("five CANs cancel") << QByteArray("ab") + QByteArray(5, 0x18)
                                          << QStringList{QStringLiteral("raw 1818181818")}
                                          << QStringLiteral("对端取消传输 (CAN)");
        QTest::newRow("32-bit CRC header") << QByteArray("*\x18" "C\x0a\x00\x00\x00\x00", 8)
                                           << QStringList{QStringLiteral("raw 1818181818")}
                                           << QStringLiteral("对端使用了 ZBIN32（32位CRC），本实现仅支持 CRC16");
        QTest::newRow("ZCOMMAND is not run") << hexHeader(ZCOMMAND, QByteArray(4, '\0'))
                                             << QStringList{QStringLiteral("15 0")} << running;
    }
    void scanner()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, answers);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path());
        h.sent.clear();
        h.transfer.feed(input);
        QCOMPARE(h.take(), answers);
        QCOMPARE(h.summary, summary);
    }

    // A whole file received: offer, data frames, a resend after a bad
    // subpacket, end of file, end of session.
    void receiveExchange()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("f.bin")), "old contents"); // replaced only at the end
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path());
        QCOMPARE(h.take(), QStringList{QStringLiteral("ZRINIT 3221225472")});
        offer(h, fileInfo("f.bin", "2000 14515314755 100644"));
        QCOMPARE(h.take(), QStringList{QStringLiteral("ZRPOS 0")});
        QCOMPARE(h.statuses.last(), QStringLiteral("开始接收：f.bin (2000 字节)"));

        const QByteArray a(1000, 'a'), b(1000, 'b');
        QByteArray broken = dataSubpacket(b, ZCRCW);
        broken[10] = 'x';
        h.transfer.feed(binaryHeader(ZDATA, position(0)) + dataSubpacket(a, ZCRCQ) + broken);
        QCOMPARE(h.take(), (QStringList{QStringLiteral("ZACK 1000"), QStringLiteral("ZRPOS 1000")}));
        h.transfer.feed(binaryHeader(ZDATA, position(500))); // not where we are
        QCOMPARE(h.take(), QStringList{QStringLiteral("ZRPOS 1000")});
        h.transfer.feed(binaryHeader(ZDATA, position(1000)) + dataSubpacket(b, ZCRCW));
        QCOMPARE(h.take(), QStringList{QStringLiteral("ZACK 2000")});
        h.transfer.feed(hexHeader(ZEOF, position(1999))); // wrong position: refused
        QCOMPARE(h.take(), QStringList{QStringLiteral("ZRPOS 2000")});
        QCOMPARE(readFile(dir.filePath(QStringLiteral("f.bin"))), QByteArray("old contents"));
        h.transfer.feed(hexHeader(ZEOF, position(2000)));
        QCOMPARE(h.take(), QStringList{QStringLiteral("ZRINIT 3221225472")});
        QCOMPARE(readFile(dir.filePath(QStringLiteral("f.bin"))), a + b);
        h.transfer.feed(hexHeader(ZFIN, QByteArray(4, '\0')));
        QCOMPARE(h.take(), (QStringList{QStringLiteral("ZFIN 0"), QStringLiteral("raw 4f4f")}));
        QVERIFY(h.ok);
        QCOMPARE(h.statuses.last(), QStringLiteral("Zmodem 接收完成（共 1 个文件）"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("f.bin")});
    }

    // File offers: names a receiver must not take as they stand, and size
    // fields it cannot read, which leave the size unknown (data is taken up
    // to the ZEOF).
    void fileOffers_data()
    {
        QTest::addColumn<QByteArray>("info");
        QTest::addColumn<QString>("storedAs"); // empty: skipped
        const QByteArray longest = QByteArray(251, 'n') + ".txt"; // the most a name may have
        QTest::newRow("path in front") << fileInfo("/etc/../tmp/x/name.txt", "3") << QStringLiteral("name.txt");
        QTest::newRow("backslashes") << fileInfo("C:\\dir\\win.txt", "3") << QStringLiteral("win.txt");
        QTest::newRow("255-byte name") << fileInfo(longest, "3") << QString::fromLatin1(longest);
        QTest::newRow("UTF-8 name") << fileInfo("报告.txt", "3") << QStringLiteral("报告.txt");
        QTest::newRow("no size") << fileInfo("nosize", "") << QStringLiteral("nosize");
        QTest::newRow("hex size") << fileInfo("hex", "0x7 0 100644") << QStringLiteral("hex");
        QTest::newRow("size in words") << fileInfo("words", "seven") << QStringLiteral("words");
        QTest::newRow("negative size") << fileInfo("neg", "-1") << QStringLiteral("neg");
        QTest::newRow("size past 64 bits") << fileInfo("huge", "99999999999999999999") << QStringLiteral("huge");
        QTest::newRow("dot dot") << fileInfo("..", "3") << QString();
        QTest::newRow("ends in a separator") << fileInfo("dir/", "3") << QString();
        QTest::newRow("no NUL") << QByteArray("name 3") << QString();
        QTest::newRow("escape sequence") << fileInfo("a\x1b[31mb", "3") << QString();
        QTest::newRow("C1 control") << fileInfo("a\xc2\x9b" "b", "3") << QString();
        QTest::newRow("right-to-left override") << fileInfo("a\xe2\x80\xaetxt.exe", "3") << QString();
        QTest::newRow("left-to-right embedding") << fileInfo("\xe2\x80\xaa" "a", "3") << QString();
        QTest::newRow("first strong isolate") << fileInfo("a\xe2\x81\xa8", "3") << QString();
        QTest::newRow("pop directional isolate") << fileInfo("a\xe2\x81\xa9", "3") << QString();
    }
    void fileOffers()
    {
        QFETCH(QByteArray, info);
        QFETCH(QString, storedAs);
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path());
        h.sent.clear();
        offer(h, info);
        if (storedAs.isEmpty()) {
            QCOMPARE(h.take(), QStringList{QStringLiteral("ZSKIP 0")});
            QCOMPARE(filesIn(dir.path()), QStringList());
            return;
        }
        QCOMPARE(h.take(), QStringList{QStringLiteral("ZRPOS 0")});
        h.transfer.feed(binaryHeader(ZDATA, position(0)) + dataSubpacket("xyz", ZCRCE) + hexHeader(ZEOF, position(3)));
        QCOMPARE(h.take(), QStringList{QStringLiteral("ZRINIT 3221225472")});
        QCOMPARE(filesIn(dir.path()), QStringList{storedAs});
        QCOMPARE(readFile(dir.filePath(storedAs)), QByteArray("xyz"));
    }

    // How a receive of "f" (announced as 100 bytes) ends, beside a user's
    // own "f.part", which no ending touches. A file that fails or is
    // cancelled goes; one the sender gives up on (or ends short of its size)
    // is no success: it stays as its temporary file, which the summary names.
    void receiveEndings_data()
    {
        QTest::addColumn<QByteArray>("afterOffer");
        QTest::addColumn<int>("ticks");
        QTest::addColumn<QString>("lastAnswer");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("summary"); // the start of it
        const QByteArray part = binaryHeader(ZDATA, position(0)) + dataSubpacket("part", ZCRCE);
        const QByteArray fin = hexHeader(ZFIN, QByteArray(4, '\0'));
        const QByteArray zg = binaryHeader(ZFILE, QByteArray("\0\0\0\1", 4)) + dataSubpacket(fileInfo("g", "3"), ZCRCW)
                              + binaryHeader(ZDATA, position(0)) + dataSubpacket("xyz", ZCRCE) + hexHeader(ZEOF, position(3));
        QByteArray bad = dataSubpacket("zzzz", ZCRCG);
        bad[1] = 'q';
        const QString cans = QStringLiteral("raw 1818181818"), oo = QStringLiteral("raw 4f4f");
        const QStringList userPart{QStringLiteral("f.part")}, kept{QStringLiteral("f.1.part"), QStringLiteral("f.part")};
        const QString incomplete = QStringLiteral("接收未完成：%1 个文件收完，1 个未收完整，保留为 ");

        QTest::newRow("silent sender") << part << 110 << cans << userPart << QStringLiteral("接收超时，中止");
        QTest::newRow("eleven bad subpackets")
            << binaryHeader(ZDATA, position(0)) + dataSubpacket("part", ZCRCG)
                   + (binaryHeader(ZDATA, position(4)) + bad).repeated(11)
            << 0 << cans
            << userPart << QStringLiteral("数据子帧校验连续失败，中止");
        QTest::newRow("cancelled") << part << -1 << cans << userPart << QStringLiteral("Zmodem 传输已被用户取消");
        // Far longer than any sender's subpacket: refused, not buffered.
        QTest::newRow("endless subpacket") << binaryHeader(ZDATA, position(0)) + QByteArray(5000, 'x') << 0
                                           << QStringLiteral("ZRPOS 0") << kept << QStringLiteral("<running>");
        QTest::newRow("ZEOF short of the size") << part + hexHeader(ZEOF, position(4)) + fin << 0 << oo << kept
                                                << incomplete.arg(0);
        QTest::newRow("next offer before ZEOF") << part + zg + fin << 0 << oo << kept + QStringList{"g"}
                                                << incomplete.arg(1);
        QTest::newRow("ZFIN inside a file") << part + fin << 0 << oo << kept << incomplete.arg(0);
    }
    void receiveEndings()
    {
        QFETCH(QByteArray, afterOffer);
        QFETCH(int, ticks);
        QFETCH(QString, lastAnswer);
        QFETCH(QStringList, files);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("f.part")), "mine");
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path());
        offer(h, fileInfo("f", "100"));
        h.sent.clear();
        h.transfer.feed(afterOffer);
        h.tick(qMax(ticks, 0));
        if (ticks < 0)
            h.transfer.cancel();
        const QStringList answers = h.take();
        QCOMPARE(answers.isEmpty() ? QString() : answers.last(), lastAnswer);
        QVERIFY2(h.summary.startsWith(summary), qPrintable(h.summary));
        QCOMPARE(filesIn(dir.path()), files);
        QCOMPARE(readFile(dir.filePath(QStringLiteral("f.part"))), QByteArray("mine"));
        if (summary.startsWith(QStringLiteral("接收未完成"))) {
            QVERIFY(h.summary.endsWith(dir.filePath(QStringLiteral("f.1.part"))));
            QCOMPARE(readFile(dir.filePath(QStringLiteral("f.1.part"))), QByteArray("part"));
        }
    }

    // Subpackets at the length limit with every byte escaped, and a cancel
    // cut in two: the offer and the data fed in pieces.
    void subpacketPieces_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QString>("lastAnswer");
        QTest::addColumn<QString>("summary");
        const QByteArray start = binaryHeader(ZFILE, QByteArray("\0\0\0\1", 4))
                                 + dataSubpacket(fileInfo("f", "4096"), ZCRCW) + binaryHeader(ZDATA, position(0));
        const QString running = QStringLiteral("<running>");
        QTest::newRow("1024 taken") << QByteArrayList{start + dataSubpacket(QByteArray(1024, 0x18), ZCRCW)}
                                    << QStringLiteral("ZACK 1024") << running;
        QTest::newRow("1025 refused") << QByteArrayList{start + dataSubpacket(QByteArray(1025, 0x18), ZCRCW)}
                                      << QStringLiteral("ZRPOS 0") << running;
        QTest::newRow("five CANs over two pieces") << QByteArrayList{start + "ab\x18\x18", QByteArray(3, 0x18)}
                                                   << QStringLiteral("raw 1818181818")
                                                   << QStringLiteral("对端取消传输 (CAN)");
    }
    void subpacketPieces()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(QString, lastAnswer);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path());
        for (const QByteArray &piece : pieces)
            h.transfer.feed(piece);
        QCOMPARE(h.take().last(), lastAnswer);
        QCOMPARE(h.summary, summary);
    }

    // The save of a complete file fails inside the batch (a folder holds its
    // name): the transfer stops, and the data stays in the named ".part".
    void failedSaveKeepsTheData()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("f")));
        Harness h;
        h.transfer.startReceive(h.fn(), QStringLiteral("r"), dir.path());
        offer(h, fileInfo("f", "3"));
        h.transfer.feed(binaryHeader(ZDATA, position(0)) + dataSubpacket("xyz", ZCRCE) + hexHeader(ZEOF, position(3)));
        QVERIFY2(h.summary.startsWith(QStringLiteral("提交接收文件失败")), qPrintable(h.summary));
        QVERIFY(h.summary.endsWith(dir.filePath(QStringLiteral("f.part"))));
        QVERIFY(h.wire().endsWith(QByteArray(5, 0x18)));
        QCOMPARE(readFile(dir.filePath(QStringLiteral("f.part"))), QByteArray("xyz"));
        const int reports = int(h.statuses.size());
        h.sent.clear();
        h.transfer.cancel(); // idle now: nothing to cancel
        h.transfer.feed(hexHeader(ZRQINIT, QByteArray(4, '\0')));
        QVERIFY(h.sent.isEmpty() && h.statuses.size() == reports);
    }

    // The sender's frames for files of telling sizes.
    void sendBursts_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QStringList>("firstBurst");
        QTest::addColumn<QStringList>("secondBurst"); // after ZACK; empty: none
        const QString g1024 = QStringLiteral("data 1024 i");
        QStringList full = {QStringLiteral("ZDATA 0")};
        for (int i = 0; i < 63; ++i)
            full << g1024;
        full << QStringLiteral("data 1024 k");
        QTest::newRow("empty") << 0
                               << QStringList{QStringLiteral("ZDATA 0"), QStringLiteral("data 0 h"),
                                              QStringLiteral("ZEOF 0")}
                               << QStringList();
        QTest::newRow("65536") << 65536 << full
                               << QStringList{QStringLiteral("ZDATA 65536"), QStringLiteral("data 0 h"),
                                              QStringLiteral("ZEOF 65536")};
        QStringList second = {QStringLiteral("ZDATA 65536")};
        for (int i = 0; i < 33; ++i)
            second << g1024;
        second << QStringLiteral("data 672 i") << QStringLiteral("data 0 h") << QStringLiteral("ZEOF 100000");
        QTest::newRow("100000") << 100000 << full << second;
    }
    void sendBursts()
    {
        QFETCH(int, size);
        QFETCH(QStringList, firstBurst);
        QFETCH(QStringList, secondBurst);
        QTemporaryDir dir;
        QByteArray content(size, '\0');
        for (int i = 0; i < size; ++i)
            content[i] = char(i * 7);
        const QString path = writeFile(dir.filePath(QStringLiteral("s.bin")), content);
        Harness h;
        h.transfer.startSend(h.fn(), QStringLiteral("s"), {path});
        QCOMPARE(h.take(), QStringList{QStringLiteral("ZRQINIT 0")});
        h.transfer.feed(hexHeader(ZRINIT, QByteArray("\0\0\0\x23", 4)));
        const QStringList offered = h.take();
        QCOMPARE(offered.size(), 2);
        QCOMPARE(offered.first(), QStringLiteral("ZFILE 16777216")); // ZF0 = binary
        h.transfer.feed(hexHeader(ZRPOS, position(0)));
        QCOMPARE(h.take(), firstBurst);
        if (!secondBurst.isEmpty()) {
            h.transfer.feed(hexHeader(ZACK, position(65536)));
            QCOMPARE(h.take(), secondBurst);
        }
        h.transfer.feed(hexHeader(ZRINIT, QByteArray(4, '\0')));
        QCOMPARE(h.take(), QStringList{QStringLiteral("ZFIN 0")});
        h.transfer.feed(hexHeader(ZFIN, QByteArray(4, '\0')));
        QCOMPARE(h.take(), QStringList{QStringLiteral("raw 4f4f")});
        QVERIFY(h.ok);
        QCOMPARE(h.statuses.last(), QStringLiteral("Zmodem 发送完成（共 1 个文件）"));
    }

    // Offers, repeats and skips on the sending side.
    void sendOffers()
    {
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("missing"));
        const QString a = writeFile(dir.filePath(QStringLiteral("a")), "A");
        const QString b = writeFile(dir.filePath(QStringLiteral("b")), "B");
        Harness h;
        h.transfer.startSend(h.fn(), QStringLiteral("s"), {missing, a, b});
        h.tick(5); // no answer yet: ZRQINIT again
        QCOMPARE(h.take(), (QStringList{QStringLiteral("ZRQINIT 0"), QStringLiteral("ZRQINIT 0")}));
        h.transfer.feed(hexHeader(ZRINIT, QByteArray(4, '\0')));
        QVERIFY(h.statuses.at(h.statuses.size() - 2).startsWith(QStringLiteral("无法打开 ")));
        const QStringList offerA = h.take();
        QCOMPARE(offerA.size(), 2);
        QCOMPARE(offerA.first(), QStringLiteral("ZFILE 16777216"));
        QVERIFY(offerA.last().endsWith(QLatin1String(" k"))); // file information, ZCRCW
        // The answers to our two ZRQINITs come late: no second offer.
        h.transfer.feed(hexHeader(ZRINIT, QByteArray(4, '\0')) + hexHeader(ZRINIT, QByteArray(4, '\0')));
        QVERIFY(h.sent.isEmpty());
        // A garbled offer is repeated whole, file information included.
        h.transfer.feed(hexHeader(ZNAK, QByteArray(4, '\0')));
        QCOMPARE(h.take(), offerA);
        h.tick(10);
        QCOMPARE(h.take(), offerA);
        h.transfer.feed(hexHeader(ZSKIP, QByteArray(4, '\0')));
        QCOMPARE(h.take().value(0), QStringLiteral("ZFILE 16777216"));
        QCOMPARE(h.statuses.last(), QStringLiteral("发送文件头：b（1 字节）"));
        h.transfer.feed(hexHeader(ZRPOS, position(0)));
        h.transfer.feed(hexHeader(ZRINIT, QByteArray(4, '\0')));
        h.sent.clear();
        h.tick(5); // the receiver never answers our ZFIN
        QVERIFY(h.ok);
        QCOMPARE(h.statuses.last(), QStringLiteral("Zmodem 发送完成（共 1 个文件）")); // a was skipped, b sent
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
        const QByteArray zrinit = hexHeader(ZRINIT, QByteArray(4, '\0'));
        const QByteArray dataOut = zrinit + hexHeader(ZRPOS, position(0));
        const QString early = QStringLiteral("对端结束了传输，文件 big 未发送完整");
        QTest::newRow("nothing opens") << false << zrinit << 0 << QStringLiteral("没有能打开的文件，未发送任何文件");
        QTest::newRow("ZFIN before the offer") << true << QByteArray() << 0 << early;
        QTest::newRow("ZFIN inside the data") << true << dataOut << 0 << early;
        QTest::newRow("ZFIN after ZEOF") << true << dataOut + hexHeader(ZACK, position(65536))
                                                + hexHeader(ZACK, position(131072)) + hexHeader(ZACK, position(196608))
                                         << 0 << early;
        QTest::newRow("no receiver") << true << QByteArray() << 65
                                     << QStringLiteral("对端 60 秒未响应 ZRINIT（rz 未运行？），放弃");
        QTest::newRow("offer unanswered") << true << zrinit << 110 << QStringLiteral("对端对 ZFILE 无响应，中止");
        QTest::newRow("data unacknowledged") << true << dataOut << 110 << QStringLiteral("对端持续未确认（ZACK），中止");
    }
    void senderEndings()
    {
        QFETCH(bool, openable);
        QFETCH(QByteArray, answers);
        QFETCH(int, ticks);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("big"));
        if (openable)
            writeFile(path, QByteArray(200000, 'b'));
        Harness h;
        h.transfer.startSend(h.fn(), QStringLiteral("s"), {path});
        h.transfer.feed(answers);
        h.sent.clear();
        if (ticks == 0) {
            h.transfer.feed(hexHeader(ZFIN, QByteArray(4, '\0')));
            QCOMPARE(h.take().constLast(), QStringLiteral("raw 4f4f")); // a polite answer, all the same
        } else {
            h.tick(ticks - 1);
            QVERIFY(h.finished == 0);
            h.tick();
            QVERIFY(h.wire().endsWith(QByteArray(5, 0x18)));
        }
        QCOMPARE(h.summary, summary);
    }
};

QTEST_GUILESS_MAIN(TestZmodem)
#include "tst_zmodem.moc"
