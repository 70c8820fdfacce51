// ZMODEM through our own SSH connection, the host's login shell running
// lrzsz: OpenSSH's sshd, and Dropbear, whose channel window (24 KiB) is far
// smaller than OpenSSH's (2 MiB), so that what the run hands the connection
// waits in it for the server's window, not on the link. On loopback and
// through a relay 25 ms each way, at 100 KB/s or fast and then 20 KB/s
// (holding up to 2 MiB, as a deep network buffer would). A file sent or received
// whole; Esc, or rz killed, a second after the data flows: the shell runs
// the next command within seconds and nothing of ours runs in it. While the
// data flows the event loop runs unhindered, as the window's does, so that a
// send goes as fast as a user's would.

#include "shellrig.h"

#include "connections/sshconnection.h"
#include "tests/support/linkrelay.h"
#include "tests/support/sshfixture.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <unistd.h>

namespace {
// Dropbear's fixture follows the SFTP server's three variants.
constexpr int kDropbearPort = kSftpPort + 3;

// The peer runs as the fixture's account: a test that is not root signals
// it through sudo, as the fixtures make the account.
bool killPeer(int pid)
{
    if (::geteuid() == 0)
        return ::kill(pid, SIGKILL) == 0;
    return QProcess::execute(QStringLiteral("sudo"), {"-n", "kill", "-KILL", QString::number(pid)}) == 0;
}
} // namespace

class TestSshTransfers : public QObject, ShellRig
{
    Q_OBJECT

    std::unique_ptr<LinkRelay> relay;

    // The shells opened from now on: a password login as the fixture's account.
    void logInTo(const QString &fixture, int port)
    {
        remoteHost = [fixture, port, knownHosts = dir.filePath("known_hosts")] {
            auto *ssh = new SshConnection;
            ssh->setParams(fixtureSshParams(port, knownHosts, fixture));
            return ssh;
        };
    }

    // A ZMODEM row of the current data: a file sent or received whole, or
    // a send stopped at the row's event.
    void zmodemRow()
    {
        QFETCH(QString, fixture);
        QFETCH(int, port);
        QFETCH(qint64, rate);
        QFETCH(qint64, slowAfter);
        QFETCH(QString, event);
        QFETCH(int, eventMs);
        QFETCH(int, size);
        int target = port;
        if (rate) {
            relay = std::make_unique<LinkRelay>(port, rate < 0 ? LineShape{25} : LineShape{25, rate, 2 << 20, slowAfter, 0, slowAfter ? 20'000 : 0});
            QVERIFY2(relay->port(), "the relay could not listen");
            target = relay->port();
        }
        logInTo(fixture, target);
        const bool receive = event == "receive whole";
        const bool whole = event.endsWith("whole");
        const QByteArray data = content(whole ? (rate ? 256 << 10 : 4 << 20) : size);
        const QString failed = receive ? run(KindZ, false, 0, "sz -q data.bin", data)
                                       : run(KindZ, true, 0, "bash -c 'echo $$ >peer.pid; exec rz -q -y'", data);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        // bash asks for bracketed paste at its prompt: a send's frames go in pastes.
        const auto pasted = [&] {
            const auto *zmodem = qobject_cast<ZmodemTransfer *>(engine.get());
            return receive || (zmodem && zmodem->pastesFrames());
        };
        if (whole) {
            QVERIFY2(waitEnd(), "the transfer neither ended nor advanced for a minute");
            QVERIFY2(pasted(), "the frames went bare");
            const auto outcome = ended->first().at(0).value<InbandTransfer::Outcome>();
            QVERIFY2(outcome == InbandTransfer::Succeeded, qPrintable(ended->first().at(1).toString()));
            QVERIFY2(readFile((receive ? ourFolder() : peerFolder()) + "/data.bin") == data, "the file is not whole");
            QVERIFY2(waitShown("END=0", 0), "the peer's own end is not shown");
            // Nothing of rz's frames is drawn, the byte that ends a header
            // included. (sz, typed before the run, is drawn until it starts.)
            QVERIFY2(receive || (!view.shown.contains('\x8a') && !view.shown.contains("B01000000")),
                     qPrintable(printable(view.shown)));
            const QString after = shellAfterwards(view.shown.size());
            QVERIFY2(after.isEmpty(), qPrintable(after));
            return;
        }
        // A second after the data flows; on a link that slows, 6 s after
        // the drop, when what went at the fast rate has passed.
        QElapsedTimer since, flowing;
        QObject scope;
        bool due = false;
        // Where the run stood at the kill: what went past the last ZACK, and
        // of that what our connection still held (taken back at the end).
        qint64 pastAtKill = 0, heldAtKill = 0, sentAtKill = 0, intoMs = 0, overAt = -1;
        const auto *z = qobject_cast<ZmodemTransfer *>(engine.get());
        const qint64 at = slowAfter ? slowAfter + (64 << 10) : eventMs ? 1 : 32 << 10;
        connect(engine.get(), &InbandTransfer::resultReady, &scope, [&] { overAt = flowing.isValid() ? flowing.elapsed() : -1; });
        connect(engine.get(), &InbandTransfer::progressChanged, &scope, [&](qint64 done) {
            const int peer = due || done < at ? 0 : readFile(peerFolder() + "/peer.pid").trimmed().toInt();
            if (peer <= 0)
                return;
            due = true;
            flowing.start();
            QTimer::singleShot(slowAfter ? 6000 : eventMs ? eventMs : 1000, Qt::PreciseTimer, &scope, [&, peer] {
                if (!ended->isEmpty())
                    return;
                since.start();
                pastAtKill = z ? z->pastConfirmed() : 0;
                heldAtKill = shell ? shell->pendingBytes() : 0;
                sentAtKill = written;
                intoMs = flowing.elapsed();
                if (event == "Esc")
                    session->type("\x1b");
                else
                    QVERIFY(killPeer(peer));
            });
        });
        QVERIFY2(waitLive([&] { return since.isValid() || !ended->isEmpty(); }, 60000), "the data did not flow");
        QVERIFY2(pasted(), "the frames went bare");
        // On a fast link a small send may be over before its kill, or as it
        // comes: then it arrived whole, and the shell is as it was.
        const auto endedWhole = [&] {
            return eventMs && !ended->isEmpty() && ended->first().at(0).value<InbandTransfer::Outcome>() == InbandTransfer::Succeeded;
        };
        if (!since.isValid() && endedWhole())
            return wholeBeforeKill(data, overAt, "before the kill");
        QVERIFY2(since.isValid(), "ended before the event: the file is too small");
        // How far our data ran past the receiver's last ZACK once it was gone.
        qint64 past = pastAtKill, endedMs = -1;
        QTimer watch;
        connect(&watch, &QTimer::timeout, &scope, [&] {
            past = qMax(past, z ? z->pastConfirmed() : 0);
            if (endedMs < 0 && !ended->isEmpty())
                endedMs = since.elapsed();
        });
        watch.start(5);
        QVERIFY2(waitEnd(), qPrintable(QString("the transfer neither ended nor advanced for a minute (state %1)").arg(engine->state())));
        watch.stop();
        if (endedMs < 0)
            endedMs = since.elapsed();
        if (endedWhole())
            return wholeBeforeKill(data, overAt, "as rz was killed");
        QCOMPARE(ended->first().at(0).value<InbandTransfer::Outcome>(), event == "Esc" ? InbandTransfer::Cancelled : InbandTransfer::Failed);
        qsizetype endAt = view.shown.size();
        if (event == "Esc") {
            QVERIFY2(waitShown("END=", endAt, 30000), qPrintable("the shell's words after the stop are not shown: "
                                                                  + printable(view.shown.mid(endAt).right(300))));
            endAt = view.shown.indexOf("END=", endAt);
        } else {
            QTest::qWait(300); // what the shell still says about our data on its way
            endAt = view.shown.size();
        }
        const QString after = shellAfterwards(endAt);
        const qint64 answeredMs = since.elapsed();
        qInfo("%s: at the event, %lld ms into the data: %.2f MiB/s on the wire, %lld bytes past the last ZACK, %lld of them "
              "still ours; %lld past at most. The run ended after %lld ms, the next command ran %lld ms after the event",
              QTest::currentDataTag(), intoMs, sentAtKill / 1048576.0 * 1000 / qMax<qint64>(1, intoMs), pastAtKill,
              heldAtKill, past, endedMs, answeredMs);
        QVERIFY2(after.isEmpty(), qPrintable(after));
        QVERIFY2(!eventMs || (endedMs >= 0 && endedMs <= 2000), qPrintable(QStringLiteral("the run ended %1 ms after the kill").arg(endedMs)));
        const qint64 bound = event == "Esc" ? 5000 : 10000;
        QVERIFY2(answeredMs <= bound, qPrintable(QStringLiteral("the next command ran after %1 ms").arg(answeredMs)));
    }

    void wholeBeforeKill(const QByteArray &data, qint64 overAt, const char *when)
    {
        QVERIFY2(readFile(peerFolder() + "/data.bin") == data, "the send ended at its kill, and the file is not whole");
        // rz reads the terminal until its own end: a command typed before
        // that would be its.
        QVERIFY2(waitShown("END=", 0), "the peer's own end is not shown");
        const QString after = shellAfterwards(view.shown.size());
        QVERIFY2(after.isEmpty(), qPrintable(after));
        qInfo("%s: the send was over %lld ms into the data, %s", QTest::currentDataTag(), overAt, when);
    }
    static void zmodemColumns()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<int>("port");
        QTest::addColumn<qint64>("rate"); // 25 ms each way at this rate (-1: none); 0: loopback as it is
        QTest::addColumn<qint64>("slowAfter"); // bytes, then 20 KB/s
        QTest::addColumn<QString>("event");
        QTest::addColumn<int>("eventMs"); // into the data; 0: a second after it flows
        QTest::addColumn<int>("size");    // of a run that is stopped: a second of loopback carries tens of MiB
    }

private slots:
    void initTestCase()
    {
        const QString missing = prepare();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }
    void cleanup()
    {
        closeShell();
        relay.reset();
        remoteHost = nullptr;
    }

    void zmodemOverSsh_data()
    {
        zmodemColumns();
        const struct {
            const char *name;
            qint64 rate, slowAfter;
        } links[] = {{"loopback", 0, 0}, {"25 ms at 100 KB/s", 100'000, 0}, {"25 ms, fast then 20 KB/s", 1'000'000, 256 << 10}};
        for (const auto &server : {std::pair{"sshd", kSshdPort}, std::pair{"dropbear", kDropbearPort}}) {
            const QString fixture = server.second == kSshdPort ? "ssh_sshd" : "sftp_dropbear";
            for (const auto &l : links) {
                for (const char *event : {"send whole", "receive whole", "Esc", "rz killed"}) {
                    if (!l.slowAfter || !QByteArrayView(event).endsWith("whole"))
                        QTest::addRow("%s, %s, %s", server.first, l.name, event)
                            << fixture << server.second << l.rate << l.slowAfter << QString(event) << 0 << (l.rate ? 4 << 20 : 64 << 20);
                }
            }
        }
    }
    void zmodemOverSsh() { zmodemRow(); }

    void rzKilledInto_data()
    {
        zmodemColumns();
        // rz killed 0.1 to 3 s into a small send and a big one, over 25 ms
        // with no rate of its own (-1: as fast as the connection goes) and at
        // 100 KB/s: the run ends within 2 s whatever the window had grown to,
        // and the shell answers within 10 s. A send over before its kill has
        // arrived whole. A big send's later kills on the fast link come
        // after its window has opened to its widest.
        for (const qint64 rate : {qint64(-1), qint64(100'000)}) {
            for (const int size : {1 << 20, 16 << 20}) {
                for (const int ms : {100, 500, 1000, 3000}) {
                    QTest::addRow("sshd, 25 ms%s, %d MiB, rz killed at %d ms", rate > 0 ? " at 100 KB/s" : "", size >> 20, ms)
                        << QString("ssh_sshd") << kSshdPort << rate << qint64(0) << QString("rz killed") << ms << size;
                }
            }
        }
    }
    void rzKilledInto() { zmodemRow(); }

    // The other protocols each way over both servers: their blocks and
    // packets carry every byte value raw (XMODEM) or the line ends as
    // they are, which the connection must pass untouched both ways.
    void othersOverSsh_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("send");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("command");
        const struct {
            const char *name;
            int kind, mode;
            const char *toPeer, *fromPeer;
        } protocols[] = {
            // rx makes its file for its owner alone: the test reads it as another account.
            {"xmodem-1k", KindX, XmodemTransfer::Xmodem1k, "rx -c -q data.bin && chmod a+r data.bin", "sx -k -q data.bin"},
            {"ymodem", KindY, XmodemTransfer::Ymodem, "rb -q -y", "sb -k -q data.bin"},
            {"kermit", KindK, 0, "gkermit -i -P -q -r", "gkermit -i -P -q -s data.bin"},
        };
        for (const auto &server : {std::pair{"sshd", kSshdPort}, std::pair{"dropbear", kDropbearPort}}) {
            for (const auto &p : protocols) {
                for (const bool send : {true, false}) {
                    // Plain XMODEM receives by the CRC it asks for.
                    const int mode = !send && p.kind == KindX ? int(XmodemTransfer::Xmodem) : p.mode;
                    QTest::addRow("%s, %s %s", server.first, p.name, send ? "send" : "receive")
                        << QString(server.second == kSshdPort ? "ssh_sshd" : "sftp_dropbear") << server.second << p.kind
                        << send << mode << QString(send ? p.toPeer : p.fromPeer);
                }
            }
        }
    }
    void othersOverSsh()
    {
        QFETCH(QString, fixture);
        QFETCH(int, port);
        QFETCH(int, kind);
        QFETCH(bool, send);
        QFETCH(int, mode);
        QFETCH(QString, command);
        logInTo(fixture, port);
        const QByteArray data = content(48 << 10);
        const QString failed = run(kind, send, mode, command, data);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QVERIFY2(waitEnd(), "the transfer neither ended nor advanced for a minute");
        QVERIFY2(ended->first().at(0).value<InbandTransfer::Outcome>() == InbandTransfer::Succeeded,
                 qPrintable(ended->first().at(1).toString() + " | " + printable(view.shown.right(300))));
        // The peer's command ends after our run (the chmod behind rx).
        QVERIFY2(waitShown("END=0", 0), "the peer did not end well");
        const QByteArray got = readFile((send ? peerFolder() : ourFolder()) + "/data.bin");
        QVERIFY2(kind == KindX ? samePadded(got, data) : got == data, qPrintable(QString("got %1 bytes").arg(got.size())));
        const QString after = shellAfterwards(view.shown.size());
        QVERIFY2(after.isEmpty(), qPrintable(after));
    }
};

QTEST_MAIN(TestSshTransfers)
#include "tst_sshtransfers.moc"
