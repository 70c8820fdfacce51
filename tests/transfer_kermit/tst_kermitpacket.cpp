// Kermit packets as bytes: builds, checks, prefixing, Send-Init fields and the
// scanner, against byte strings worked out by hand.

#include "transfer/kermitpacket.h"

#include <QtTest>

using namespace kermit;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

} // namespace

class TestKermitPacket : public QObject
{
    Q_OBJECT
private slots:
    void buildsPackets_data()
    {
        QTest::addColumn<char>("type");
        QTest::addColumn<int>("seq");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("check");
        QTest::addColumn<int>("eol");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("empty ACK 0, type 1") << 'Y' << 0 << QByteArray() << 1 << 13 << hex("012320593E0D");
        QTest::newRow("empty ACK 0, type 2") << 'Y' << 0 << QByteArray() << 2 << 13 << hex("01242059223D0D");
        QTest::newRow("Send-Init of a sender") << 'S' << 0 << sendInitData(1) << 1 << 13
                                               << hex("012C20537E2A20202D23203120290D");
        QTest::newRow("NAK -1 goes out as 63") << 'N' << -1 << QByteArray() << 1 << 13 << hex("01235F4E330D");
        QTest::newRow("sequence 64 wraps to 0") << 'Y' << 64 << QByteArray() << 1 << 13 << hex("012320593E0D");
        QTest::newRow("no EOL when it is 0") << 'Y' << 0 << QByteArray() << 1 << 0 << hex("012320593E");
        QTest::newRow("check type 0 means 1") << 'Y' << 0 << QByteArray() << 0 << 13 << hex("012320593E0D");
    }
    void buildsPackets()
    {
        QFETCH(char, type);
        QFETCH(int, seq);
        QFETCH(QByteArray, data);
        QFETCH(int, check);
        QFETCH(int, eol);
        QFETCH(QByteArray, wire);
        QCOMPARE(buildPacket(type, seq, data, check, eol).toHex(' '), wire.toHex(' '));
        QCOMPARE(crc16Kermit("123456789", 9), quint16(0x2189));
        QCOMPARE(blockCheck(3, "123456789", 9), QByteArray("\"&)"));
    }

    void verifiesEachCheckType_data()
    {
        QTest::addColumn<int>("check");
        QTest::newRow("type 1") << 1;
        QTest::newRow("type 2") << 2;
        QTest::newRow("type 3") << 3;
    }
    void verifiesEachCheckType()
    {
        QFETCH(int, check);
        const QByteArray data = encodePrefixed(QByteArray("hello\r\n\x7f world", 14), '#');
        const QByteArray packet = buildPacket('D', 17, data, check, 13);
        const int len = unchar(packet.at(1));
        QCOMPARE(len, data.size() + 2 + checkLength(check));
        QVERIFY(verifyBlockCheck(packet.constData(), packet.size(), len, check));
        // A check one character too short for its type is refused, not read past.
        QVERIFY(!verifyBlockCheck(packet.constData(), len + 1, len, check));
        // Any single changed character between LEN and the check is caught.
        for (int i = 2; i < len + 2; ++i) {
            QByteArray bad = packet;
            bad[i] = char(bad[i] ^ 0x01);
            QVERIFY2(!verifyBlockCheck(bad.constData(), bad.size(), len, check), qPrintable(QString::number(i)));
        }
    }

    // Prefixing both ways; what real peers send (C1 controls and 0xFF as the
    // prefix and the byte with bit 6 flipped) decodes but is not what we send.
    void prefixing_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<bool>("ours"); // encodePrefixed gives this field
        QTest::newRow("carriage return") << hex("0D") << QByteArray("#M") << true;
        QTest::newRow("DEL") << hex("7F") << QByteArray("#?") << true;
        QTest::newRow("the prefix") << QByteArray("#") << QByteArray("##") << true;
        QTest::newRow("NUL and US") << hex("001F") << QByteArray("#@#_") << true;
        QTest::newRow("C1, 0xE9 and 0xFF go bare") << hex("809FE9FF") << hex("809FE9FF") << true;
        QTest::newRow("0x80 as prefix + 0xC0") << hex("80") << hex("23C0") << false;
        QTest::newRow("0xFF as prefix + 0xBF") << hex("FF") << hex("23BF") << false;
        QTest::newRow("0xA3 as prefix + itself") << hex("A3") << hex("23A3") << false;
        QTest::newRow("needless quote of a letter") << QByteArray("a") << QByteArray("#a") << false;
        QTest::newRow("lone prefix at the end") << QByteArray("ab#") << QByteArray("ab#") << false;
    }
    void prefixing()
    {
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, field);
        QFETCH(bool, ours);
        QCOMPARE(decodePrefixed(field, '#').toHex(' '), plain.toHex(' '));
        if (ours)
            QCOMPARE(encodePrefixed(plain, '#').toHex(' '), field.toHex(' '));
    }

    void encodesEveryByteBack()
    {
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        for (const char prefix : {'#', '&', '~'}) {
            const QByteArray field = encodePrefixed(all, prefix);
            for (const char ch : field)
                QVERIFY(quint8(ch) >= 32 && quint8(ch) != 127);
            QCOMPARE(decodePrefixed(field, prefix), all);
        }
    }

    // Fields are cut to the room a packet has, never inside a pair or a
    // UTF-8 character.
    void encodingRespectsRoom()
    {
        const QByteArray input = QByteArray("ab\r\ncd");
        QByteArray out;
        QCOMPARE(encodeInto(input.constData(), input.size(), '#', 5, &out), 3); // "#J" would not fit
        QCOMPARE(out, QByteArray("ab#M"));
        const QString text = QString(200, QChar(0x4E2D)); // three UTF-8 bytes each
        QCOMPARE(QString::fromUtf8(encodeTextWithin(text, '#', 89)), QString(29, QChar(0x4E2D)));
        QCOMPARE(encodeTextWithin(QStringLiteral("a\rb"), '#', 3), QByteArray("a#M"));
    }

    void readsSendInit_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("maxLen");
        QTest::addColumn<int>("eol");
        QTest::addColumn<char>("prefix");
        QTest::addColumn<int>("check");
        QTest::newRow("ours") << sendInitData(1) << 94 << 13 << '#' << 1;
        QTest::newRow("digit 3") << QByteArray("~* @-# 3 ") << 94 << 13 << '#' << 3;
        QTest::newRow("type + 32") << QByteArray("~* @-# #") << 94 << 13 << '#' << 3;
        QTest::newRow("unknown check stays") << QByteArray("~* @-# X") << 94 << 13 << '#' << 1;
        QTest::newRow("MAXL below 20") << QByteArray("+") << 20 << 13 << '#' << 1;
        QTest::newRow("MAXL above 94") << hex("7F") << 94 << 13 << '#' << 1;
        QTest::newRow("EOL above 127") << QByteArray("~* @\xff", 5) << 94 << 13 << '#' << 1;
        QTest::newRow("EOL LF") << QByteArray("~* @*") << 94 << 10 << '#' << 1;
        QTest::newRow("prefix &") << QByteArray("~* @-&") << 94 << 13 << '&' << 1;
        QTest::newRow("letter prefix refused") << QByteArray("~* @-A") << 94 << 13 << '#' << 1;
        QTest::newRow("blank prefix keeps #") << QByteArray("~* @- ") << 94 << 13 << '#' << 1;
        QTest::newRow("empty") << QByteArray() << 94 << 13 << '#' << 1;
    }
    void readsSendInit()
    {
        QFETCH(QByteArray, data);
        SendInit p;
        readSendInit(data, &p);
        QTEST(p.maxLen, "maxLen");
        QTEST(p.eol, "eol");
        QTEST(p.ctlPrefix, "prefix");
        QTEST(p.checkType, "check");
    }

    void scans_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<int>("current");
        QTest::addColumn<int>("result"); // ScanResult
        QTest::addColumn<int>("endPos");
        QTest::addColumn<char>("type");
        const QByteArray ack = buildPacket('Y', 5, QByteArray(), 1, 13);
        const QByteArray ack3 = buildPacket('Y', 5, QByteArray(), 3, 13);
        const QByteArray init = buildPacket('S', 0, sendInitData(3), 1, 13);
        const QByteArray data2 = buildPacket('D', 5, QByteArray("abc"), 2, 13);
        const int nm = int(ScanResult::NeedMore), pk = int(ScanResult::Packet), bad = int(ScanResult::Bad);
        QTest::newRow("noise before the MARK") << QByteArray("xyz\r\n") + ack << 1 << pk << ack.size() + 4 << 'Y';
        QTest::newRow("no MARK at all") << QByteArray("hello") << 1 << nm << 5 << '\0';
        QTest::newRow("MARK alone waits") << QByteArray("ab\x01") << 1 << nm << 2 << '\0';
        QTest::newRow("incomplete waits at MARK") << ack.left(4) << 1 << nm << 0 << '\0';
        QTest::newRow("LEN below '#' skips the MARK") << QByteArray("\x01\x22") + ack << 1 << pk << ack.size() + 1 << 'Y';
        QTest::newRow("LEN below 32 skips the MARK") << QByteArray("\x01\x05") + ack << 1 << pk << ack.size() + 1 << 'Y';
        QTest::newRow("type-3 ACK when 3 is agreed") << ack3 << 3 << pk << ack3.size() - 1 << 'Y';
        QTest::newRow("bad check drops the MARK only") << QByteArray(ack).replace(4, 1, "?") << 1 << bad << 1 << '\0';
        QTest::newRow("Send-Init passes on type 1 after 3") << init << 3 << pk << init.size() - 1 << 'S';
        QTest::newRow("data on another type is bad") << data2 << 1 << bad << 1 << '\0';
    }
    void scans()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(int, current);
        QFETCH(int, result);
        QFETCH(int, endPos);
        int pos = 0;
        Packet p;
        QCOMPARE(int(scanNext(buffer, &pos, current, &p)), result);
        QCOMPARE(pos, endPos);
        if (result == int(ScanResult::Packet))
            QTEST(p.type, "type");
    }

    void scansSplitAndBackToBack()
    {
        const QByteArray d1 = buildPacket('D', 63, encodePrefixed(QByteArray("one\r"), '#'), 3, 13);
        const QByteArray d2 = buildPacket('D', 0, encodePrefixed(QByteArray("two\x01"), '#'), 3, 13);
        const QByteArray all = d1 + d2;
        for (int split = 1; split < all.size(); ++split) {
            QByteArray buf = all.left(split);
            int pos = 0;
            Packet p;
            QList<QByteArray> got;
            QList<int> seqs;
            for (int round = 0; round < 2; ++round, buf = all) {
                while (scanNext(buf, &pos, 3, &p) == ScanResult::Packet) {
                    got << decodePrefixed(p.data, '#');
                    seqs << p.seq;
                }
            }
            QCOMPARE(got, (QList<QByteArray>{"one\r", "two\x01"}));
            QCOMPARE(seqs, (QList<int>{63, 0}));
        }
    }
};

QTEST_GUILESS_MAIN(TestKermitPacket)
#include "tst_kermitpacket.moc"
