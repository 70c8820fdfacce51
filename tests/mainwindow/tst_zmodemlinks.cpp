// ZMODEM send over links of every shape: a pty, a round trip, a rate with
// a deep hold (as an SSH channel has), a link that slows mid-run; the
// receiver stopped by Esc, killed, or the host speaking amid the run.
// The session's own path against lrzsz's rz in bash, as in
// tst_sessiontransfers.

#include "shellrig.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <csignal>

class TestZmodemLinks : public QObject, ShellRig
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString missing = prepare();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }
    void cleanup() { closeShell(); }

    // A ZMODEM send over links of every shape: a pty, 25 ms each way, and
    // 25 ms at 100 KB/s or 20 KB/s holding up to 2 MiB as an SSH channel
    // does, or 1 MB/s for 256 KiB and 20 KB/s after. Esc, or rz killed, a
    // second after the data flows (6 s after the drop, when what the window
    // let go at the fast rate has passed): what we put past the
    // receiver's last ZACK is what the link carries in a round trip or two,
    // so that our stop, or the shell's words after the kill, reach the far
    // end within seconds and the shell runs the next command. A line of the
    // host's amid the run leaves the file whole.
    void zmodemLinks_data()
    {
        QTest::addColumn<int>("delay");
        QTest::addColumn<qint64>("rate");
        QTest::addColumn<qint64>("slowAfter"); // bytes, then 20 KB/s
        QTest::addColumn<QString>("event");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("at"); // bytes sent when the event comes
        const struct {
            const char *name;
            int delay;
            qint64 rate, slowAfter;
            int size, at; // of a run that is stopped; a host line's run moves less
        } links[] = {
            {"pty", 0, 0, 0, 8 << 20, 1 << 20},
            {"25 ms", 25, 0, 0, 8 << 20, 1 << 20},
            {"25 ms at 100 KB/s", 25, 100'000, 0, 4 << 20, 64 << 10},
            {"25 ms at 20 KB/s", 25, 20'000, 0, 4 << 20, 16 << 10},
            {"25 ms, fast then 20 KB/s", 25, 1'000'000, 256 << 10, 4 << 20, 320 << 10},
        };
        for (const auto &l : links) {
            for (const char *event : {"Esc", "rz killed", "host line"}) {
                const bool line = QByteArrayView(event) == "host line";
                // Time for the line to come and go at the slow rate: about 2 s.
                const int lineAt = l.slowAfter ? l.slowAfter + (8 << 10) : l.rate ? l.at : 256 << 10;
                const int lineSize = l.slowAfter ? l.slowAfter + (48 << 10) : l.rate ? l.at * 3 : 1 << 20;
                QTest::addRow("%s, %s", l.name, event) << l.delay << l.rate << l.slowAfter << QString(event)
                                                       << (line ? lineSize : l.size) << (line ? lineAt : l.at);
            }
        }
    }
    void zmodemLinks()
    {
        QFETCH(int, delay);
        QFETCH(qint64, rate);
        QFETCH(qint64, slowAfter);
        QFETCH(QString, event);
        QFETCH(int, size);
        QFETCH(int, at);
        delayMs = delay;
        lineRate = rate;
        lineHold = rate ? 2 << 20 : 0;
        this->slowAfter = slowAfter;
        slowRate = slowAfter ? 20'000 : 0;
        const QByteArray data = content(size);
        // A killed rz leaves our data on its way in the shell's line: bytes
        // as bytes, so that the row times our stop, not a line editor's
        // work on a long line of UTF-8 (see peerLeaves).
        const QByteArray locale = qgetenv("LC_ALL");
        const bool hadLocale = qEnvironmentVariableIsSet("LC_ALL");
        qputenv("LC_ALL", "C");
        const QString failed = run(KindZ, true, 0, "bash -c 'echo $$ >peer.pid; exec rz -q -y'", data);
        if (hadLocale)
            qputenv("LC_ALL", locale);
        else
            qunsetenv("LC_ALL");
        delayMs = 0;
        lineRate = lineHold = this->slowAfter = slowRate = 0;
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        // A while after the data reached `at`: the window has had the time
        // to put on the line whatever it would.
        QElapsedTimer since;
        QObject scope;
        bool due = false;
        connect(engine.get(), &InbandTransfer::progressChanged, &scope, [&](qint64 done) {
            const int peer = done < at || due ? 0 : readFile(peerFolder() + "/peer.pid").trimmed().toInt();
            if (peer <= 0)
                return;
            due = true;
            QTimer::singleShot(event == "host line" ? 0 : slowAfter ? 6000 : 1000, &scope, [&, peer] {
                if (!ended->isEmpty())
                    return;
                since.start();
                if (event == "Esc")
                    session->type("\x1b");
                else if (event == "rz killed")
                    ::kill(peer, SIGKILL);
                else
                    hostSays(peer);
            });
        });
        QVERIFY2(QTest::qWaitFor([&] { return since.isValid() || !ended->isEmpty(); }, 60000), "the data did not flow");
        QVERIFY2(since.isValid(), "ended before the event: the file is too small");
        QVERIFY2(waitEnd(), qPrintable(QString("the transfer neither ended nor advanced for a minute (state %1)").arg(engine->state())));
        const auto outcome = ended->first().at(0).value<InbandTransfer::Outcome>();
        const QString said = ended->first().at(1).toString();
        const qint64 endedMs = since.elapsed();
        if (event == "host line") {
            QVERIFY2(outcome == InbandTransfer::Succeeded, qPrintable(said));
            QVERIFY2(readFile(peerFolder() + "/data.bin") == data, "the file is not whole");
            QVERIFY2(view.shown.contains("Broadcast message"), "the host's line is not shown");
            return;
        }
        QCOMPARE(outcome, event == "Esc" ? InbandTransfer::Cancelled : InbandTransfer::Failed);
        qsizetype endAt = view.shown.size();
        if (event == "Esc") {
            // rz's and the shell's words after our stop, then nothing of the protocol.
            QVERIFY2(waitShown("END=", endAt, 30000), qPrintable("the shell's words after the stop are not shown: "
                                                                  + printable(view.shown.mid(endAt).right(300))));
            if (const qsizetype words = view.shown.indexOf("END=", endAt); words >= 0)
                endAt += qMin<qsizetype>(8, words - endAt);
        } else {
            QTest::qWait(300); // what the shell still says about our data on its way
            endAt = view.shown.size();
        }
        const QString after = shellAfterwards(endAt);
        const qint64 answeredMs = since.elapsed();
        qInfo("%s: \"%s\" %lld ms after the event, the next command ran after %lld ms", QTest::currentDataTag(),
              qPrintable(said), endedMs, answeredMs);
        QVERIFY2(after.isEmpty(), qPrintable(after));
        // The shell answers soon: a run that put more on a slow link than it
        // carries in a round trip or two would hold our stop for minutes.
        const qint64 bound = event == "Esc" ? 5000 : 10000;
        QVERIFY2(answeredMs <= bound, qPrintable(QStringLiteral("the next command ran after %1 ms").arg(answeredMs)));
    }
};

QTEST_MAIN(TestZmodemLinks)
#include "tst_zmodemlinks.moc"
