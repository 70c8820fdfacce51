// Kermit packets as bytes: builds, checks, prefixing, Send-Init fields and the
// scanner, against byte strings worked out by hand.

#include "transfer/kermitpacket.h"

#include <QtTest>

using namespace kermit;

namespace {

QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

// The Send-Init fields read from data: MAXL, EOL, prefix and check type.
QByteArray sendInit(const QByteArray &data)
{
    SendInit p;
    readSendInit(data, &p);
    return QStringLiteral("%1 %2 %3 %4").arg(p.maxLen).arg(p.eol).arg(QLatin1Char(p.ctlPrefix)).arg(p.checkType).toLatin1();
}

} // namespace

class TestKermitPacket : public QObject
{
    Q_OBJECT
private slots:
    // Packets, prefixed fields and Send-Init fields against what they must be
    // (the check types and plain prefixing meet gkermit and C-Kermit in the peer tests). Fields that real peers send (C1 controls and 0xFF as the prefix
    // and the byte with bit 6 flipped) decode, but are not what we send.
    void golden_data()
    {
        QTest::addColumn<QByteArray>("built");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray ack0 = hex("012320593E0D");
        QTest::newRow("empty ACK 0, type 1") << buildPacket('Y', 0, {}, 1, 13) << ack0;
        QTest::newRow("NAK -1 goes out as 63") << buildPacket('N', -1, {}, 1, 13) << hex("01235F4E330D");
        QTest::newRow("sequence 64 wraps to 0") << buildPacket('Y', 64, {}, 1, 13) << ack0;
        QTest::newRow("no EOL when it is 0") << buildPacket('Y', 0, {}, 1, 0) << hex("012320593E");
        QTest::newRow("C1, 0xE9 and 0xFF go bare") << encodePrefixed(hex("809FE9FF"), '#') << hex("809FE9FF");
        QTest::newRow("0x80 as prefix + 0xC0") << decodePrefixed(hex("23C0"), '#') << hex("80");
        QTest::newRow("0xFF as prefix + 0xBF") << decodePrefixed(hex("23BF"), '#') << hex("FF");
        QTest::newRow("0xA3 as prefix + itself") << decodePrefixed(hex("23A3"), '#') << hex("A3");
        QTest::newRow("needless quote of a letter") << decodePrefixed("#a", '#') << QByteArray("a");
        QTest::newRow("lone prefix at the end") << decodePrefixed("ab#", '#') << QByteArray("ab#");
        QTest::newRow("our Send-Init") << sendInit(sendInitData(1)) << QByteArray("94 13 # 1");
        QTest::newRow("MAXL below 20, EOL LF, prefix &, digit 3") << sendInit("+* @*& 3") << QByteArray("20 10 & 3");
        QTest::newRow("MAXL above 94, EOL above 127, letter prefix, unknown check")
            << sendInit("\x7f* @\xff" "A X") << QByteArray("94 13 # 1");
        QTest::newRow("blank prefix, check type + 32") << sendInit("~* @-  #") << QByteArray("94 13 # 3");
        QTest::newRow("empty Send-Init") << sendInit({}) << QByteArray("94 13 # 1");
    }
    void golden()
    {
        QFETCH(QByteArray, built);
        QFETCH(QByteArray, expected);
        QCOMPARE(built.toHex(' '), expected.toHex(' '));
    }

    // Each check type verifies its packet, refuses a check one character too
    // short (not read past), and catches any single changed character.
    void verifiesEachCheckType()
    {
        const QByteArray data = encodePrefixed(QByteArray("hello\r\n\x7f world", 14), '#');
        for (const int check : {1, 2, 3}) {
            const QByteArray packet = buildPacket('D', 17, data, check, 13);
            const int len = unchar(packet.at(1));
            QCOMPARE(len, data.size() + 2 + checkLength(check));
            QVERIFY(verifyBlockCheck(packet.constData(), packet.size(), len, check));
            QVERIFY(!verifyBlockCheck(packet.constData(), len + 1, len, check));
            for (int i = 2; i < len + 2; ++i) {
                QByteArray bad = packet;
                bad[i] = char(bad[i] ^ 0x01);
                QVERIFY2(!verifyBlockCheck(bad.constData(), bad.size(), len, check), qPrintable(QString::number(i)));
            }
        }
    }

    // Every byte value goes out printable under any prefix and comes back.
    // Fields are cut to the room a packet has, never inside a pair or a UTF-8
    // character.
    void encodesWithinRoom()
    {
        QByteArray all, out;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        for (const char prefix : {'#', '&', '~'}) {
            const QByteArray field = encodePrefixed(all, prefix);
            QVERIFY(std::all_of(field.begin(), field.end(), [](char ch) { return quint8(ch) >= 32 && ch != 127; }));
            QCOMPARE(decodePrefixed(field, prefix), all);
        }
        QCOMPARE(encodeInto("ab\r\ncd", 6, '#', 5, &out), 3); // "#J" would not fit
        QCOMPARE(out, QByteArray("ab#M"));
        const QString text = QString(200, QChar(0x4E2D)); // three UTF-8 bytes each
        QCOMPARE(QString::fromUtf8(encodeTextWithin(text, '#', 89)), QString(29, QChar(0x4E2D)));
        QCOMPARE(encodeTextWithin(QStringLiteral("a\rb"), '#', 3), QByteArray("a#M"));
    }

    void scans_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<int>("current");
        QTest::addColumn<QString>("result"); // what was found, where the scan stopped
        const QByteArray ack = buildPacket('Y', 5, QByteArray(), 1, 13), ack3 = buildPacket('Y', 5, QByteArray(), 3, 13);
        const QByteArray init = buildPacket('S', 0, sendInitData(3), 1, 13);
        const QString found = QStringLiteral("%1 at %2");
        QTest::newRow("noise before the MARK") << "xyz\r\n" + ack << 1 << found.arg("Y").arg(ack.size() + 4);
        QTest::newRow("no MARK at all") << QByteArray("hello") << 1 << "more at 5";
        QTest::newRow("MARK alone waits") << QByteArray("ab\x01") << 1 << "more at 2";
        QTest::newRow("incomplete waits at MARK") << ack.left(4) << 1 << "more at 0";
        QTest::newRow("LEN below '#' skips the MARK") << "\x01\x22" + ack << 1 << found.arg("Y").arg(ack.size() + 1);
        QTest::newRow("LEN below 32 skips the MARK") << "\x01\x05" + ack << 1 << found.arg("Y").arg(ack.size() + 1);
        QTest::newRow("type-3 ACK when 3 is agreed") << ack3 << 3 << found.arg("Y").arg(ack3.size() - 1);
        QTest::newRow("bad check drops the MARK only") << QByteArray(ack).replace(4, 1, "?") << 1 << "bad at 1";
        QTest::newRow("Send-Init passes on type 1 after 3") << init << 3 << found.arg("S").arg(init.size() - 1);
        QTest::newRow("data on another type is bad") << buildPacket('D', 5, "abc", 2, 13) << 1 << "bad at 1";
    }
    void scans()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(int, current);
        int pos = 0;
        Packet p;
        const ScanResult r = scanNext(buffer, &pos, current, &p);
        const QString what = r == ScanResult::Packet ? QString(QLatin1Char(p.type)) : r == ScanResult::Bad ? "bad" : "more";
        QTEST(QStringLiteral("%1 at %2").arg(what).arg(pos), "result");
    }

    // Two packets back to back, split anywhere, come out whole and in order.
    void scansSplitAndBackToBack()
    {
        const QByteArray d1 = buildPacket('D', 63, encodePrefixed(QByteArray("one\r"), '#'), 3, 13);
        const QByteArray all = d1 + buildPacket('D', 0, encodePrefixed(QByteArray("two\x01"), '#'), 3, 13);
        for (int split = 1; split < all.size(); ++split) {
            QByteArray buf = all.left(split);
            int pos = 0;
            Packet p;
            QStringList got;
            for (int round = 0; round < 2; ++round, buf = all) {
                while (scanNext(buf, &pos, 3, &p) == ScanResult::Packet)
                    got << QString::number(p.seq) + ':' + QString::fromLatin1(decodePrefixed(p.data, '#').toHex());
            }
            QCOMPARE(got, (QStringList{"63:6f6e650d", "0:74776f01"}));
        }
    }
};

QTEST_GUILESS_MAIN(TestKermitPacket)
#include "tst_kermitpacket.moc"
