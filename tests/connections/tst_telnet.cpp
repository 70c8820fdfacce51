// Telnet and raw TCP: the negotiation engine on tables, the connection
// against a scripted peer (exact bytes) and busybox telnetd.

#include "connectiontestsupport.h"

#include "connections/telnetconnection.h"

#include <QTest>

using namespace testsupport;
using P = TelnetProtocol;

namespace {
const QByteArray kGreeting = bytes({0xFF, 0xFD, 0x01, 0xFF, 0xFC, 0x01, 0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03,
                                    0xFF, 0xFB, 0x18, 0xFF, 0xFB, 0x1F, 0xFF, 0xFC, 0x22});
const QByteArray kNaws80x24 = bytes({0xFF, 0xFA, 0x1F, 0x00, 0x50, 0x00, 0x18, 0xFF, 0xF0});
using Script = QList<std::pair<char, QByteArray>>;
} // namespace

Q_DECLARE_METATYPE(Script)

class TestTelnet : public QObject
{
    Q_OBJECT

private slots:
    // Answers after our opening requests (fresh = before them, as a peer that
    // speaks first sees it). Only a change of an option's state is answered.
    void answers_data()
    {
        QTest::addColumn<bool>("started");
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("replies");
        QTest::newRow("DO ECHO refused") << true << bytes({0xFF, 0xFD, 1}) << bytes({0xFF, 0xFC, 1});
        QTest::newRow("WILL ECHO acknowledges our DO") << true << bytes({0xFF, 0xFB, 1}) << QByteArray();
        QTest::newRow("WILL ECHO unasked") << false << bytes({0xFF, 0xFB, 1}) << bytes({0xFF, 0xFD, 1});
        QTest::newRow("DO 5 twice refused twice") << true << bytes({0xFF, 0xFD, 5, 0xFF, 0xFD, 5})
                                                 << bytes({0xFF, 0xFC, 5, 0xFF, 0xFC, 5});
        QTest::newRow("WILL 200 refused") << true << bytes({0xFF, 0xFB, 200}) << bytes({0xFF, 0xFE, 200});
        QTest::newRow("DO NAWS repeated is not answered") << true << bytes({0xFF, 0xFD, 31, 0xFF, 0xFD, 31}) << QByteArray();
        QTest::newRow("DO NAWS unasked agrees and reports")
            << false << bytes({0xFF, 0xFD, 31}) << bytes({0xFF, 0xFB, 31}) + kNaws80x24;
        QTest::newRow("DO LINEMODE refused") << true << bytes({0xFF, 0xFD, 34}) << bytes({0xFF, 0xFC, 34});
        QTest::newRow("WONT SGA after agreement answered DONT")
            << true << bytes({0xFF, 0xFB, 3, 0xFF, 0xFC, 3}) << bytes({0xFF, 0xFE, 3});
        QTest::newRow("terminal type asked")
            << true << bytes({0xFF, 0xFA, 24, 1, 0xFF, 0xF0}) << bytes({0xFF, 0xFA, 24, 0}) + "xterm" + bytes({0xFF, 0xF0});
        QTest::newRow("other sub-negotiation ignored") << true << bytes({0xFF, 0xFA, 32, 1, 0xFF, 0xF0}) << QByteArray();
    }

    void answers()
    {
        QFETCH(bool, started);
        QFETCH(QByteArray, in);
        QFETCH(QByteArray, replies);
        P p;
        QByteArray answered;
        QVERIFY(!started || p.start() == kGreeting + kNaws80x24);
        p.receive(in, &answered);
        QCOMPARE(answered, replies);
    }

    // A command cut by the end of a read shows only the data before it; the
    // rest joins the next read.
    void splitCommands_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<QByteArrayList>("data");
        QTest::addColumn<QByteArray>("replies");
        QTest::newRow("lone IAC at the end")
            << QByteArrayList{"a" + bytes({0xFF}), bytes({0xFF}) + "b"} << QByteArrayList{"a", bytes({0xFF}) + "b"} << QByteArray();
        QTest::newRow("DO without its option")
            << QByteArrayList{"a" + bytes({0xFF, 0xFD}), bytes({5}) + "b"} << QByteArrayList{"a", "b"} << bytes({0xFF, 0xFC, 5});
        QTest::newRow("unfinished sub-negotiation")
            << QByteArrayList{"x" + bytes({0xFF, 0xFA, 24}), bytes({1, 0xFF}), bytes({0xF0}) + "y"}
            << QByteArrayList{"x", "", "y"} << bytes({0xFF, 0xFA, 24, 0}) + "xterm" + bytes({0xFF, 0xF0});
        QTest::newRow("IAC IAC inside a sub-negotiation is not its end")
            << QByteArrayList{bytes({0xFF, 0xFA, 32, 0xFF, 0xFF, 0xF0, 0xFF, 0xF0}) + "z"} << QByteArrayList{"z"} << QByteArray();
        QTest::newRow("NOP, GA and a stray SE are dropped")
            << QByteArrayList{bytes({'a', 0xFF, 0xF1, 'b', 0xFF, 0xF9, 'c', 0xFF, 0xF0, 'd'})} << QByteArrayList{"abcd"} << QByteArray();
        // One that never ends hides only its own data; the engine keeps no
        // more than a small bound of it.
        QTest::newRow("endless sub-negotiation")
            << QByteArrayList{bytes({0xFF, 0xFA, 24, 1}) + QByteArray(1 << 20, 'q'), bytes({0xFF, 0xF0}) + "after"}
            << QByteArrayList{"", "after"} << bytes({0xFF, 0xFA, 24, 0}) + "xterm" + bytes({0xFF, 0xF0});
    }

    void splitCommands()
    {
        QFETCH(QByteArrayList, reads);
        QFETCH(QByteArrayList, data);
        QFETCH(QByteArray, replies);
        P p;
        p.start();
        QByteArray answered;
        QByteArrayList got;
        for (const QByteArray &r : reads)
            got << p.receive(r, &answered);
        QCOMPARE(got, data);
        QCOMPARE(answered, replies);
    }

    // Against a scripted peer, in order: 'r' the peer reads exactly these
    // bytes, 'q' all it reads within 300 ms, 's' it sends them, 'u' it sends
    // one byte as TCP urgent data, 'w' the connection writes them, 'z' it
    // resizes to COLSxROWS, 't' it turns transparent writing on or off, 'd'
    // all it has shown by now. Line ends go as CR LF, IAC doubled, also in a
    // size report (sizes clamped). Answers go out before
    // the data of the same read is shown; raw mode negotiates nothing. A byte
    // sent urgent is still part of the stream: a Telnet server marks its IAC
    // DM (Synch) that way; reading past it must neither lose it nor let the
    // IAC before it swallow the next data byte.
    void scripted_data()
    {
        QTest::addColumn<bool>("telnet");
        QTest::addColumn<Script>("script");
        QTest::newRow("telnet") << true << Script{
            {'r', kGreeting + kNaws80x24}, {'z', "132x43"}, {'r', bytes({0xFF, 0xFA, 0x1F, 0x00, 0x84, 0x00, 0x2B, 0xFF, 0xF0})},
            {'z', "255x70000"}, {'r', bytes({0xFF, 0xFA, 0x1F, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0})},
            {'w', "a\nb\xff\rc\r\n\n\r"}, {'r', "a\r\nb\xff\xff\r\nc\r\n\r\n\r\n"},
            {'s', bytes({'x', 0xFF, 0xFD, 5, 0xFF, 0xFF, 'y', 0xFF})}, {'r', bytes({0xFF, 0xFC, 5})}, {'d', bytes({'x', 0xFF, 'y'})},
            {'s', bytes({0xFF, 'z'})}, {'d', bytes({'x', 0xFF, 'y', 0xFF, 'z'})}};
        QTest::newRow("raw") << false << Script{
            {'z', "132x43"}, {'w', bytes({'a', 0x0A, 0x0D, 0xFF})}, {'q', bytes({'a', 0x0A, 0x0D, 0xFF})},
            {'s', bytes({0xFF, 0xFD, 0x01, 0xFF, 0xFF, 0x00})}, {'d', bytes({0xFF, 0xFD, 0x01, 0xFF, 0xFF, 0x00})}, {'q', {}}};
        QTest::newRow("raw urgent") << false << Script{{'s', "ab"}, {'u', "c"}, {'s', "de!end"}, {'d', "abcde!end"}};
        QTest::newRow("telnet synch") << true << Script{{'s', bytes({'a', 0xFF})}, {'u', bytes({0xF2})}, {'s', "xy!end"}, {'d', "axy!end"}};
        // 't' turns transparent writing on ("1") or off: binary mode is asked
        // for both ways; until the peer agrees a CR goes as CR NUL.
        const QByteArray askBinary = bytes({0xFF, 0xFB, 0, 0xFF, 0xFD, 0});
        QTest::newRow("binary agreed") << true << Script{
            {'r', kGreeting + kNaws80x24}, {'t', "1"}, {'r', askBinary}, {'w', "a\r\n\xff"}, {'r', bytes({'a', 13, 0, 10, 0xFF, 0xFF})},
            {'s', bytes({0xFF, 0xFD, 0, 0xFF, 0xFB, 0, 'k'})}, {'d', "k"}, {'w', "\r\n\xff"}, {'r', bytes({13, 10, 0xFF, 0xFF})},
            {'t', "0"}, {'r', bytes({0xFF, 0xFC, 0, 0xFF, 0xFE, 0})}, {'w', "\n"}, {'r', "\r\n"}};
        QTest::newRow("binary refused") << true << Script{
            {'r', kGreeting + kNaws80x24}, {'t', "1"}, {'r', askBinary}, {'s', bytes({0xFF, 0xFE, 0, 0xFF, 0xFC, 0, 'k'})},
            {'d', "k"}, {'w', "\r\n\xff"}, {'r', bytes({13, 0, 10, 0xFF, 0xFF})}, {'q', {}}};
    }
    void scripted()
    {
        QFETCH(bool, telnet);
        QFETCH(Script, script);
        ScriptedPeer peer;
        TelnetConnection c;
        c.telnetMode = telnet;
        Recorder rec(&c);
        QVERIFY(openAgainst(peer, c) && rec.waitConnected() && c.isOpen());
        for (const auto &[step, bytes] : script) {
            switch (step) {
            case 'r': QCOMPARE(peer.read(bytes.size()), bytes); break;
            case 'q': QCOMPARE(peer.readFor(300), bytes); break;
            case 's': QVERIFY(peer.send(bytes)); break;
            case 'u': QVERIFY(peer.sendUrgent(bytes[0])); break;
            case 'w': c.write(bytes); break;
            case 'z': c.resize(bytes.split('x')[0].toInt(), bytes.split('x')[1].toInt()); break;
            case 't': c.setTransparent(bytes == "1"); break;
            default: QVERIFY(rec.waitSize(bytes.size())); QCOMPARE(rec.data, bytes);
            }
        }
        peer.closeClient();
        QVERIFY(rec.endedCleanly());
    }

    // busybox telnetd runs /bin/sh in a pty: it asks DO ECHO, DO NAWS, WILL ECHO,
    // WILL SGA and applies the reported size to the pty. (No size with a 0xFF
    // byte here: busybox reads the four size bytes without undoubling, against
    // RFC 1073; the scripted tests cover it.)
    void busyboxSession()
    {
        TelnetConnection c;
        c.host = "127.0.0.1";
        c.port = kTelnetdPort;
        Recorder rec(&c);
        QVERIFY(c.open() && rec.waitConnected());
        QVERIFY(rec.run("echo hv-$((6*7))", "hv-42"));
        c.resize(100, 30);
        QVERIFY(rec.run("stty size; echo size-$((1+1))", "size-2"));
        QVERIFY2(rec.data.contains("30 100"), rec.data.constData());
        c.write("exit\r");
        QVERIFY(rec.endedCleanly());
    }
};

QTEST_GUILESS_MAIN(TestTelnet)
#include "tst_telnet.moc"
