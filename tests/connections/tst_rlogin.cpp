// RLogin: the start message and window record, the control bytes that come
// as urgent data (scripted peer), and a login through in.rlogind.

#include "connectiontestsupport.h"

#include "connections/rloginconnection.h"
#include "tests/support/testfiles.h"

#include <QTest>

#include <unistd.h>

using namespace testsupport;

class TestRLogin : public QObject
{
    Q_OBJECT

private slots:
    // The start message, and the window record (RFC 1282).
    void wireFormats_data()
    {
        QTest::addColumn<QStringList>("start"); // local user, remote user, terminal; empty: the window record
        QTest::addColumn<QList<int>>("size");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("alice bob vt100") << QStringList{"alice", "bob", "vt100"} << QList<int>()
            << bytes({0x00, 0x61, 0x6C, 0x69, 0x63, 0x65, 0x00, 0x62, 0x6F, 0x62, 0x00, 0x76, 0x74, 0x31, 0x30, 0x30, 0x2F, 0x33, 0x38, 0x34, 0x30, 0x30, 0x00});
        QTest::newRow("UTF-8 user") << QStringList{"jörg", "j", "xterm"} << QList<int>() << QByteArray("\0j\xC3\xB6rg\0j\0xterm/38400\0", 21);
        QTest::newRow("300x256") << QStringList() << QList<int>{300, 256} << bytes({0xFF, 0xFF, 0x73, 0x73, 0x01, 0x00, 0x01, 0x2C, 0, 0, 0, 0});
    }
    void wireFormats()
    {
        QFETCH(QStringList, start);
        QFETCH(QList<int>, size);
        QFETCH(QByteArray, wire);
        QCOMPARE(start.isEmpty() ? RLoginConnection::windowRecord(size[0], size[1]) : RLoginConnection::startMessage(start[0], start[1], start[2]), wire);
    }

    // Sizes go out only after the server's window request, as the RFC 1282
    // record; the flush and flow-control bytes (urgent data) change nothing;
    // in-band bytes, 0x02 and 0x10 included, pass both ways unchanged.
    void scriptedControlBytesAndData()
    {
        ScriptedPeer peer;
        RLoginConnection c;
        c.localUser = "alice";
        c.remoteUser = "bob";
        c.terminalType = "vt100";
        Recorder rec(&c);
        QVERIFY(openAgainst(peer, c));
        if (::geteuid() == 0)
            QVERIFY2(peer.clientPort() < 1024 && peer.clientPort() >= 512, qPrintable(QString::number(peer.clientPort())));
        QCOMPARE(peer.read(23), RLoginConnection::startMessage("alice", "bob", "vt100"));
        QVERIFY(rec.waitConnected());

        c.resize(120, 40);
        const QByteArray inband = bytes({0x00, 0x41, 0x10, 0x42, 0x02, 0x00, 0x18, 0xFF, 0x0D});
        QVERIFY(peer.send(inband) && rec.waitSize(inband.size()));
        QCOMPARE(rec.data, inband);

        // One at a time: a second urgent byte sent before the first is read
        // turns the first into in-band data (TCP has one urgent pointer); the
        // in-band "." after each shows that the client has read past it. A size
        // sent too early (before 0x80) would arrive ahead of the one checked
        // last, which then would not match.
        for (const char urgent : {char(0x02), char(0x10)})
            QVERIFY(peer.sendUrgent(urgent) && peer.send(".") && rec.waitSize(rec.data.size() + 1));
        QVERIFY(peer.sendUrgent(char(0x80)));
        QCOMPARE(peer.read(12), RLoginConnection::windowRecord(120, 40));
        c.resize(132, 43);
        QCOMPARE(peer.read(12), RLoginConnection::windowRecord(132, 43));

        c.write(bytes({'l', 's', 0x0D, 0x0A, 0xFF, 0x02}));
        QCOMPARE(peer.read(6), bytes({'l', 's', 0x0D, 0x0A, 0xFF, 0x02}));
        QVERIFY(peer.send("tail") && rec.waitData("tail"));
        QCOMPARE(rec.data, inband + ".." + "tail"); // the urgent bytes are not data
        peer.resetClient();
        QVERIFY(rec.endedCleanly());
    }

    // in.rlogind wants a client port below 1024, answers the start message with
    // PAM's password prompt and asks for the window size with urgent 0x80.
    void rlogindSession()
    {
        if (::geteuid() != 0)
            QSKIP("not run: in.rlogind takes only client ports below 1024, which need root");
        const FixtureAccount account(QStringLiteral("conn_rlogind"));
        const QByteArray user = account.user.toUtf8(), password = account.password.toUtf8();
        QVERIFY2(!user.isEmpty() && !password.isEmpty(), "the rlogind fixture made no account");
        RLoginConnection c;
        c.host = "127.0.0.1";
        c.port = kRlogindPort;
        c.localUser = c.remoteUser = QString::fromLatin1(user);
        c.resize(91, 33);
        Recorder rec(&c);
        QVERIFY(c.open() && rec.waitConnected());
        QVERIFY2(rec.waitData("assword:"), rec.data.constData());
        // The first command may be typed before the shell starts: the pty keeps it.
        QVERIFY2(rec.run(password, "") && rec.run("echo hv-$((6*7))", "hv-42"), rec.data.constData());
        QVERIFY(rec.run("stty size; echo size-$((0+1))", "size-1"));
        QVERIFY2(rec.data.contains("33 91"), rec.data.constData());
        c.resize(100, 30);
        QVERIFY(rec.run("stty size; echo size-$((1+1))", "size-2"));
        QVERIFY2(rec.data.contains("30 100"), rec.data.constData());
        c.write("exit\r");
        QVERIFY(rec.endedCleanly());
    }
};

QTEST_GUILESS_MAIN(TestRLogin)
#include "tst_rlogin.moc"
