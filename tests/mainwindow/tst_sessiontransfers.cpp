// In-band transfers through an open session's own path: a real bash (zsh or
// dash where a row says) on a pseudo-terminal running lrzsz or gkermit, the
// session owner handing the stream over, the engine's bytes written as the
// window writes them. What must hold at the end: the file whole, success
// said, and the shell left with nothing of the protocol, neither typed into
// it nor drawn on screen.
// HV_XFER_ROUNDS repeats the whole table (scripts/xfer-stress runs it under
// load); HV_XFER_ONLY keeps one protocol's rows, and HV_XFER_SHELL one
// shell's, so that CTest runs them side by side.

#include "core/commandsending.h"
#include "mainwindow/sendingactions.h"
#include "mainwindow/sessionhub.h"
#include "shellrig.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

class TestSessionTransfers : public QObject, ShellRig
{
    Q_OBJECT

    // HV_XFER_SHELL: see the top.
    static bool shellWanted(const char *shell)
    {
        const QString only = qEnvironmentVariable("HV_XFER_SHELL");
        return only.isEmpty() || only == QLatin1String(shell);
    }

    // Sends the peer (its pid in peer.pid) the signal once the data flows,
    // from the run's own progress: a wait that looks only when the events
    // run dry can see the whole file arrive first. True when the run ended
    // after that; `writtenSince` and `tookMs` say how much we wrote after
    // the signal and how long the run went on.
    bool signalPeer(int signal)
    {
        bool interrupted = false;
        QObject scope;
        connect(engine.get(), &InbandTransfer::progressChanged, &scope, [&](qint64 done) {
            // Stop-and-wait protocols are slower to get there.
            const qint64 flowing = engine->inherits("ZmodemTransfer") ? 1 << 20 : 1 << 16;
            const int peer = done < flowing || interrupted ? 0 : readFile(peerFolder() + "/peer.pid").trimmed().toInt();
            if (peer > 0 && ::kill(peer, signal) == 0) {
                interrupted = true;
                signalledAt = view.shown.size();
                writtenSince = -written;
                took.start();
            }
        });
        if (!waitEnd(30000)) {
            QTest::qFail(qPrintable(QStringLiteral("the transfer did not end (signalled: %1, state %2, %3 bytes written): ")
                                                      .arg(interrupted).arg(engine->state()).arg(written)
                                    + QString::fromLatin1(view.shown.right(300).toHex(' '))), __FILE__, __LINE__);
            return false;
        }
        if (!interrupted)
            QTest::qFail("ended before the peer was signalled", __FILE__, __LINE__);
        writtenSince += written;
        tookMs = took.elapsed();
        return interrupted;
    }
    qint64 writtenSince = 0;
    QElapsedTimer took;
    qint64 tookMs = 0;
    qsizetype signalledAt = 0; // in view.shown

private slots:
    void initTestCase()
    {
        const QString missing = prepare();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }
    void cleanup() { closeShell(); }

    // Every protocol each way with the sizes around its block edges.
    void peers_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("send");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("size");
        const struct {
            const char *name;
            int kind;
            int sendMode, receiveMode;
            const char *toPeer, *fromPeer; // the peer's receive and send commands
        } protocols[] = {
            {"xmodem-checksum", KindX, XmodemTransfer::Xmodem, XmodemTransfer::XmodemChecksum, "rx -q data.bin", "sx -q data.bin"},
            {"xmodem-crc", KindX, XmodemTransfer::Xmodem, XmodemTransfer::Xmodem, "rx -c -q data.bin", "sx -q data.bin"},
            {"xmodem-1k", KindX, XmodemTransfer::Xmodem1k, XmodemTransfer::Xmodem, "rx -c -q data.bin", "sx -k -q data.bin"},
            {"ymodem", KindY, XmodemTransfer::Ymodem, XmodemTransfer::Ymodem, "rb -q -y", "sb -k -q data.bin"},
            {"zmodem", KindZ, 0, 0, "rz -q -y", "sz -q data.bin"},
            {"kermit", KindK, 0, 0, "gkermit -i -P -q -r", "gkermit -i -P -q -s data.bin"},
        };
        const int rounds = qMax(1, qEnvironmentVariableIntValue("HV_XFER_ROUNDS"));
        const QString only = qEnvironmentVariable("HV_XFER_ONLY"); // one protocol's rows
        for (int round = 1; round <= rounds; ++round)
            for (const auto &p : protocols)
                for (bool send : {true, false})
                    if (only.isEmpty() || only == QLatin1String(p.name))
                    for (int size : {0, 1, 127, 128, 1024, 1025, 1 << 20}) {
                        // XMODEM carries no length: an empty file cannot be told from none.
                        if (size == 0 && p.kind == KindX)
                            continue;
                        QTest::addRow("%s %s %d #%d", p.name, send ? "send" : "receive", size, round)
                            << p.kind << send << (send ? p.sendMode : p.receiveMode)
                            << QString::fromLatin1(send ? p.toPeer : p.fromPeer) << size;
                    }
    }
    void peers()
    {
        QFETCH(int, kind);
        QFETCH(bool, send);
        QFETCH(int, mode);
        QFETCH(QString, command);
        QFETCH(int, size);
        const QByteArray data = content(size);
        const qsizetype startAt = view.shown.size();
        const QString failed = run(kind, send, mode, command, data);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QSignalSpy &result = *ended;
        QVERIFY2(waitEnd(), qPrintable(QString("the transfer neither ended nor advanced for a minute (state %1): ").arg(engine->state())
                                        + printable(view.shown.mid(startAt).right(300))));
        const qsizetype endAt = view.shown.size();
        QVERIFY2(result.first().at(0).value<InbandTransfer::Outcome>() == InbandTransfer::Succeeded,
                 qPrintable(result.first().at(1).toString() + " | " + printable(view.shown.mid(startAt).right(400))));
        const QByteArray got = readFile((send ? peerFolder() : ourFolder()) + "/data.bin");
        if (kind == KindX)
            QVERIFY2(samePadded(got, data), qPrintable(QString("got %1 bytes of %2").arg(got.size()).arg(size)));
        else
            QVERIFY2(got == data, qPrintable(QString("got %1 bytes of %2").arg(got.size()).arg(size)));
        QVERIFY2(waitShown("END=0", startAt), qPrintable("the peer did not end well: " + QString::fromLatin1(view.shown.right(200))));
        const QString after = shellAfterwards(endAt);
        QVERIFY2(after.isEmpty(), qPrintable(after));

        // The log has the user's and the host's words, not the file's bytes.
        const QString logPath = session->logger()->currentPath();
        session->stopLogger();
        const QByteArray log = readFile(logPath);
        QVERIFY2(log.contains("echo RE''ADY"), "the typed command is not in the log");
        if (size >= 64)
            QVERIFY2(!log.contains(data.left(32).toHex()) && !log.contains(data.left(32)), "the file's bytes are in the log");
    }

    // A receive started first: the command that starts the sender is typed
    // while the transfer waits, and reaches the shell as typed, none of our
    // polls inside it. Typed a few bytes at a time, or by hand: two keys a
    // tick (the polls come as often as they can), with a typo mended by
    // Backspace. Or in one piece, a poll already in the shell's line: from
    // the command window, or pasted where no bracketed paste marks it. No
    // command: Esc or Ctrl+C while waiting; the shell's line is as the user
    // left it, whichever poll came last.
    void typedWhileWaiting_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("byHand");
        QTest::addColumn<QString>("shell");
        // "window", "paste", or typed when empty; "esc": typed, then Esc
        // before any poll; "send": we send, and the receiver is typed a
        // second after our start. Without a command: the ticks (an odd count
        // leaves 'C' the last poll, an even one NAK), then the keys typed,
        // the last one cancelling.
        QTest::addColumn<QString>("via");
        const int x = XmodemTransfer::Xmodem;
        const int y = XmodemTransfer::Ymodem;
        QTest::newRow("zmodem") << int(KindZ) << 0 << "sz -q data.bin" << false << "bash" << "";
        QTest::newRow("kermit") << int(KindK) << 0 << "gkermit -i -P -q -s data.bin" << false << "bash" << "";
        QTest::newRow("xmodem by hand") << int(KindX) << x << "sx -q data.bin" << true << "bash" << "";
        QTest::newRow("ymodem by hand") << int(KindY) << int(XmodemTransfer::Ymodem) << "sb -q data.bin" << true << "bash" << "";
        QTest::newRow("zmodem by hand") << int(KindZ) << 0 << "sz -q data.bin" << true << "bash" << "";
        QTest::newRow("kermit by hand") << int(KindK) << 0 << "gkermit -i -P -q -s data.bin" << true << "bash" << "";
        QTest::newRow("xmodem cancelled") << int(KindX) << x << QString() << true << "bash" << "6 \x1b";
        QTest::newRow("zmodem cancelled") << int(KindZ) << 0 << QString() << true << "bash" << "6 \x1b";
        QTest::newRow("kermit cancelled") << int(KindK) << 0 << QString() << true << "bash" << "6 \x1b";
        QTest::newRow("xmodem from the command window") << int(KindX) << x << "sx -q data.bin" << false << "bash" << "window";
        QTest::newRow("ymodem pasted into dash") << int(KindY) << y << "sb -q data.bin" << false << "dash" << "paste";
        QTest::newRow("xmodem cancelled after C, zsh") << int(KindX) << x << QString() << true << "zsh" << "5 \x1b";
        QTest::newRow("xmodem cancelled after NAK, zsh") << int(KindX) << x << QString() << true << "zsh" << "6 \x03";
        QTest::newRow("xmodem cancelled after NAK, dash") << int(KindX) << x << QString() << true << "dash" << "6 \x1b";
        QTest::newRow("ymodem cancelled after C") << int(KindY) << y << QString() << true << "bash" << "5 \x03";
        QTest::newRow("xmodem cancelled in a typed line") << int(KindX) << x << QString() << true << "bash" << "5 true; \x1b";
        // A sender that waits for our first poll stops at our cancel, and
        // nothing of it starts the sender.
        for (const char *shell : {"bash", "zsh", "dash"})
            QTest::addRow("ymodem, sb waiting, Esc, %s", shell) << int(KindY) << y << "sb -q data.bin" << true << shell << "esc";
        QTest::newRow("xmodem, sx waiting, Esc") << int(KindX) << x << "sx -q data.bin" << true << "bash" << "esc";
        // The shells' complaints about our first NAK are no packets.
        QTest::newRow("kermit into dash") << int(KindK) << 0 << "gkermit -i -P -q -s data.bin" << false << "dash" << "";
        QTest::newRow("kermit by hand, dash") << int(KindK) << 0 << "gkermit -i -P -q -s data.bin" << true << "dash" << "";
        QTest::newRow("kermit by hand, zsh") << int(KindK) << 0 << "gkermit -i -P -q -s data.bin" << true << "zsh" << "";
        // Without -P gkermit sends the name in Kermit's common form, DATA.BIN;
        // without -q it greets the user first.
        QTest::newRow("kermit, name upper-cased") << int(KindK) << 0 << "gkermit -i -s data.bin" << false << "bash" << "";
        // Our S went into the shell; the receiver asks for it itself.
        QTest::newRow("kermit send, receiver late") << int(KindK) << 0 << "gkermit -i -P -r" << false << "bash" << "send";
        QTest::newRow("kermit send, receiver late, dash") << int(KindK) << 0 << "gkermit -i -P -q -r" << false << "dash" << "send";
    }
    void typedWhileWaiting()
    {
        QFETCH(int, kind);
        QFETCH(int, mode);
        QFETCH(QString, command);
        QFETCH(bool, byHand);
        QFETCH(QString, shell);
        QFETCH(QString, via);
        const bool send = via == "send";
        const QString from = send ? ourFolder() : peerFolder(), to = send ? peerFolder() : ourFolder();
        QDir(to).removeRecursively();
        QDir().mkpath(to);
        QDir().mkpath(from);
        const QByteArray data = content(5000);
        QVERIFY(writeFile(from + "/data.bin", data));
        QVERIFY2(openShell(shell), qPrintable(shell + " did not start"));
        InbandTransfer *transfer = make(kind);
        transfer->setManualClock(byHand);
        QSignalSpy result(transfer, &InbandTransfer::resultReady);
        const QString target = send ? from + "/data.bin" : kind == KindX ? to + "/data.bin" : to;
        start(send, target, mode);
        QTest::qWait(send ? 1000 : 300);
        QByteArray line = command.toUtf8() + "; echo EN''D=$?\r";
        const bool cancels = command.isEmpty() || via == "esc";
        if (via == "esc") {
            session->type(line);
            QTest::qWait(500); // the sender waits for a poll, which does not come
            session->type("\x1b");
        } else if (command.isEmpty()) {
            for (int tick = via.section(' ', 0, 0).toInt(); tick > 0; --tick)
                transfer->tick(); // its polls reach the shell meanwhile
            QTest::qWait(500);
            const QByteArray keys = via.section(' ', 1).toUtf8();
            if (keys.size() > 1)
                session->type(keys.chopped(1));
            session->type(keys.right(1));
        } else if (via == "window") {
            SessionHub hub(nullptr, nullptr, nullptr, nullptr);
            SendingActions(&hub).sendCommandText(session.get(), currentSessionText(QString::fromUtf8(line)));
        } else if (via == "paste") {
            session->type(line);
        } else if (!byHand) {
            for (qsizetype at = 0; at < line.size(); at += 3)
                session->type(line.mid(at, 3));
        } else {
            line.insert(line.indexOf(' '), "q\x7f"); // a typo, taken back
            for (qsizetype at = 0; at < line.size(); ++at) {
                session->type(line.mid(at, 1));
                if (at % 2)
                    transfer->tick();
                QTest::qWait(50);
            }
        }
        for (int second = 0; second < 60 && result.isEmpty(); ++second) {
            if (byHand)
                transfer->tick();
            result.wait(1000);
        }
        QVERIFY2(!result.isEmpty(), qPrintable("the transfer did not end: " + QString::fromLatin1(view.shown.right(300))));
        const auto expected = cancels ? InbandTransfer::Cancelled : InbandTransfer::Succeeded;
        QVERIFY2(result.first().at(0).value<InbandTransfer::Outcome>() == expected,
                 qPrintable(result.first().at(1).toString() + ": " + QString::fromUtf8(view.shown.right(300))));
        const QByteArray got = readFile(to + "/data.bin");
        if (via == "esc") // at once, not at the end of its own wait, and without a block sent
            QVERIFY2(waitShown("END=", 0, 5000) && !view.shown.contains(QByteArrayView("\x01\x00\xff", 3)),
                     qPrintable("the sender did not stop: " + QString::fromLatin1(view.shown.toHex(' '))));
        else if (!command.isEmpty()) {
            QVERIFY2(kind == KindX ? samePadded(got, data) : got == data, qPrintable(QString("got %1 bytes").arg(got.size())));
            QVERIFY2(waitShown("END=0", 0), qPrintable("not run as typed: " + QString::fromLatin1(view.shown)));
        }
        const QString after = shellAfterwards(view.shown.size());
        QVERIFY2(after.isEmpty(), qPrintable(after));
    }

    // Esc in the middle of a run, each protocol each way: the transfer ends
    // cancelled, and once the line is quiet the peer's farewell and what the
    // shell says next are drawn (not lost with the protocol's tail), free of
    // the protocol's bytes, and the shell answers. Or the peer is signalled
    // and gives up or dies: the run fails soon after, having written little
    // more, and the shell still gets the next key.
    void cancelled_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("send");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("signal"); // sent to the peer; 0: Esc
        QTest::addColumn<QString>("shell");
        if (shellWanted("bash")) {
            QTest::newRow("xmodem send") << int(KindX) << true << int(XmodemTransfer::Xmodem) << "rx -c -q data.bin" << 0 << "bash";
            QTest::newRow("xmodem receive") << int(KindX) << false << int(XmodemTransfer::Xmodem) << "sx -q data.bin" << 0 << "bash";
            QTest::newRow("ymodem send") << int(KindY) << true << int(XmodemTransfer::Ymodem) << "rb -q -y" << 0 << "bash";
            QTest::newRow("ymodem receive") << int(KindY) << false << int(XmodemTransfer::Ymodem) << "sb -q data.bin" << 0 << "bash";
            QTest::newRow("zmodem send") << int(KindZ) << true << 0 << "rz -q -y" << 0 << "bash";
            QTest::newRow("zmodem receive") << int(KindZ) << false << 0 << "sz -q data.bin" << 0 << "bash";
            QTest::newRow("kermit send") << int(KindK) << true << 0 << "gkermit -i -P -q -r" << 0 << "bash";
            QTest::newRow("kermit receive") << int(KindK) << false << 0 << "gkermit -i -P -q -s data.bin" << 0 << "bash";
        }
        // Signalled once the data flows, whatever the machine's speed.
        const QString peer = QStringLiteral("bash -c 'echo $$ >peer.pid; exec %1'");
        // (sz interrupted, which pauses and is resumed: tst_peerleaves.)
        for (const char *shell : {"bash", "zsh", "dash"}) {
            if (!shellWanted(shell))
                continue;
            for (const int signal : {SIGTERM, SIGKILL}) {
                const char *how = signal == SIGKILL ? "killed" : "terminated";
                QTest::addRow("kermit send, gkermit %s, %s", how, shell)
                    << int(KindK) << true << 0 << peer.arg("gkermit -i -P -q -r") << signal << shell;
                QTest::addRow("kermit receive, gkermit %s, %s", how, shell)
                    << int(KindK) << false << 0 << peer.arg("gkermit -i -P -q -s data.bin") << signal << shell;
                QTest::addRow("ymodem receive, sb %s, %s", how, shell)
                    << int(KindY) << false << int(XmodemTransfer::Ymodem) << peer.arg("sb -q data.bin") << signal << shell;
                QTest::addRow("xmodem send, rx %s, %s", how, shell)
                    << int(KindX) << true << int(XmodemTransfer::Xmodem1k) << peer.arg("rx -c -q data.bin") << signal << shell;
            }
        }
        // Our cancel where a shell's line editor (or a cooked line) would
        // take what of it the peer leaves unread.
        for (const char *shell : {"zsh", "dash"}) {
            if (!shellWanted(shell))
                continue;
            QTest::addRow("zmodem send, %s", shell) << int(KindZ) << true << 0 << "rz -q -y" << 0 << shell;
            QTest::addRow("zmodem receive, %s", shell) << int(KindZ) << false << 0 << "sz -q data.bin" << 0 << shell;
        }
    }
    void cancelled()
    {
        QFETCH(int, kind);
        QFETCH(bool, send);
        QFETCH(int, mode);
        QFETCH(QString, command);
        QFETCH(int, signal);
        QFETCH(QString, shell);
        const bool byPeer = signal != 0; // the peer gives up itself
        const QByteArray data = content(32 << 20); // still running when Esc comes
        const QString failed = run(kind, send, mode, command, data, shell);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        if (byPeer)
            signalPeer(signal);
        if (byPeer && !QTest::currentTestFailed()) {
            qInfo("after the signal: %lld bytes written, %lld ms to the end: %s", writtenSince, tookMs,
                  qPrintable(ended->first().at(1).toString()));
            // A block or packet on its way, and one resend.
            QVERIFY2(writtenSince <= 4096, qPrintable(QString::number(writtenSince)));
        }
        if (QTest::currentTestFailed())
            return;
        InbandTransfer *transfer = engine.get();
        QSignalSpy &result = *ended;
        qsizetype keyAt = 0;
        if (!byPeer) {
            QVERIFY2(QTest::qWaitFor([&] { return transfer->peerStarted() || !result.isEmpty(); }, 30000), "the peer did not start");
            QTest::qWait(200);
            QVERIFY2(result.isEmpty(), "ended before Esc: the file is too small to cancel");
            keyAt = view.shown.size();
            session->type("\x1b");
            QVERIFY2(QTest::qWaitFor([&] { return !result.isEmpty(); }, 30000), "the transfer did not end");
        }
        const auto outcome = result.first().at(0).value<InbandTransfer::Outcome>();
        if (byPeer && signal == SIGINT && outcome == InbandTransfer::Succeeded) {
            // lrzsz's sz takes SIGINT as a pause and waits for our header:
            // our ZRPOS resumes it, and the file is whole.
            QVERIFY2(readFile(ourFolder() + "/data.bin") == data, "resumed, but the file is not whole");
        } else {
            QCOMPARE(outcome, byPeer ? InbandTransfer::Failed : InbandTransfer::Cancelled);
        }
        if (byPeer && signal != SIGINT) {
            // A killed peer leaves its terminal as it set it (raw, no echo),
            // and what we had on its way when it died lands in the shell
            // (zsh then drops the rest of the command line): what the shell
            // does next is not ours to judge. Its words are drawn; where we
            // sent no more than short answers, none of the protocol's bytes.
            // A block of ours on its way to a receiver that died can hold a
            // Ctrl+C, which stops the shell's command line before its words:
            // there they are looked for, not required.
            static const QRegularExpression words(QStringLiteral("END=|illed|erminated|caught signal"));
            const bool shown = QTest::qWaitFor([&] { return words.match(QString::fromLatin1(view.shown.mid(signalledAt))).hasMatch(); }, 10000);
            QVERIFY2(shown || send, qPrintable("the shell's words are not shown: " + QString::fromLatin1(view.shown.mid(signalledAt).toHex(' '))));
            QTest::qWait(300);
            const QString junk = send ? QString() : junkIn(view.shown.mid(signalledAt));
            QVERIFY2(junk.isEmpty(), qPrintable(junk));
            return;
        }
        // The words of a shell back after its peer left can be what ended the
        // run, also behind the peer's farewell to our cancel.
        qsizetype endAt = byPeer ? signalledAt : keyAt;
        QVERIFY2(waitShown("END=", endAt, 30000), qPrintable("the shell's words after the cancel are not shown: "
                                                              + QString::fromLatin1(view.shown.mid(endAt).toHex(' '))));
        // The last bytes of the peer's tail can pass for text (printable
        // bytes, a valid UTF-8 pair) and be drawn just before what the host
        // says next: no receiver can tell them apart. A few such bytes may
        // stand there; more would be the tail itself.
        if (const qsizetype words = view.shown.indexOf("END=", endAt); words >= 0)
            endAt += qMin<qsizetype>(8, words - endAt);
        const QString after = shellAfterwards(endAt);
        QVERIFY2(after.isEmpty(), qPrintable(after));
    }

    // Kermit stops against gkermit in bash, each way: Esc twice; Esc, then
    // gkermit killed or stopped by job control during the stop's wait (at a
    // moment that varies with the round, before, at and after our answer);
    // gkermit stopped, then Esc while the run still stands. The run ends
    // cancelled; a live gkermit is told and gone within 5 s of the last
    // Esc; nothing of ours is left in the shell, which runs the next command
    // as typed. HV_XFER_ROUNDS repeats the rows.
    void kermitStops_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("afterMs"); // from the first Esc to the second, or to the signal
        const int rounds = qMax(1, qEnvironmentVariableIntValue("HV_XFER_ROUNDS"));
        for (int round = 1; round <= rounds; ++round) {
            for (const bool send : {true, false}) {
                const char *dir = send ? "send" : "receive";
                QTest::addRow("%s, Esc twice #%d", dir, round) << send << "twice" << 150 + 250 * (round % 4);
                QTest::addRow("%s, Esc, then gkermit killed #%d", dir, round) << send << "killed" << 300 * (round % 5);
                QTest::addRow("%s, Esc, then gkermit stopped #%d", dir, round) << send << "stopped" << 300 * (round % 5);
                QTest::addRow("%s, gkermit stopped, then Esc #%d", dir, round) << send << "stopped first" << round % 7;
            }
        }
    }
    void kermitStops()
    {
        QFETCH(bool, send);
        QFETCH(QString, how);
        QFETCH(int, afterMs);
        const QString command = QStringLiteral("bash -c 'echo $$ >peer.pid; exec %1'")
                                    .arg(send ? "gkermit -i -P -q -r" : "gkermit -i -P -q -s data.bin");
        const QString failed = run(KindK, send, 0, command, content(32 << 20));
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QVERIFY2(QTest::qWaitFor([&] { return engine->peerStarted() || !ended->isEmpty(); }, 30000), "the peer did not start");
        QTest::qWait(300);
        QVERIFY2(ended->isEmpty(), "ended before the stop");
        const int peer = readFile(peerFolder() + "/peer.pid").trimmed().toInt();
        QVERIFY2(peer > 0, "no pid of the peer");
        // A stopped gkermit is the row's to end; a killed one is gone already.
        const auto reap = qScopeGuard([peer] { ::kill(peer, SIGKILL); });
        const qsizetype stopAt = view.shown.size();
        QElapsedTimer sinceEsc;
        qint64 writtenAtWords = -1; // what we had written when the shell said the peer stopped
        QObject scope;
        connect(shell.data(), &Connection::dataReceived, &scope, [&](const QByteArray &b) {
            if (writtenAtWords < 0 && b.contains("Stopped"))
                writtenAtWords = written;
        });
        if (how == "stopped first") {
            QTest::qWait(37 * afterMs); // a packet that varies with the round
            ::kill(peer, SIGSTOP);
            QVERIFY2(waitShown("Stopped", stopAt), qPrintable("the shell did not take the terminal back: " + printable(view.shown.mid(stopAt).right(300))));
        } else {
            session->type("\x1b");
        }
        sinceEsc.start();
        QTest::qWait(how == "stopped first" ? 0 : afterMs);
        if (how == "twice" || how == "stopped first") {
            if (ended->isEmpty()) { // a run that already ended takes the key no more
                session->type("\x1b");
                sinceEsc.start();
            }
        } else if (ended->isEmpty()) {
            ::kill(peer, how == "killed" ? SIGKILL : SIGSTOP);
        }
        QVERIFY2(QTest::qWaitFor([&] { return !ended->isEmpty(); }, 30000), "the transfer did not end");
        const qsizetype endAt = view.shown.size();
        const auto outcome = ended->first().at(0).value<InbandTransfer::Outcome>();
        QVERIFY2(outcome == InbandTransfer::Cancelled || how == "stopped first",
                 qPrintable(ended->first().at(1).toString()));
        // gkermit told and gone (or stopped or killed: the shell says so).
        QVERIFY2(waitShown("END=", stopAt, 5000) || how == "stopped first",
                 qPrintable(QStringLiteral("the shell was not back within 5 s of Esc: ") + printable(view.shown.mid(stopAt).right(300))));
        const qint64 backMs = sinceEsc.elapsed();
        qInfo("%s: \"%s\", the shell back %lld ms after the last Esc", QTest::currentDataTag(),
              qPrintable(ended->first().at(1).toString()), backMs);
        if (how == "twice")
            QVERIFY2(backMs < 5000, qPrintable(QString::number(backMs)));
        QTest::qWait(300);
        // Nothing of ours after the shell said so but the Ctrl+C that clears
        // its line. The answer on its way when the peer stopped is in the
        // shell's input: what bash makes of it is not ours to judge (a
        // line "%>..." of our check characters brings the job back).
        if (writtenAtWords >= 0)
            QVERIFY2(written - writtenAtWords <= 1, qPrintable(QStringLiteral("%1 bytes of ours after the shell was back")
                                                                  .arg(written - writtenAtWords)));
        if (how == "stopped first" && view.shown.indexOf("exec gkermit", view.shown.indexOf("END=", stopAt)) >= 0) {
            qInfo("our answer on its way when the peer stopped resumed it: %s", qPrintable(printable(view.shown.mid(stopAt).right(300))));
            return;
        }
        const QString after = shellAfterwards(endAt);
        QVERIFY2(after.isEmpty(), qPrintable(after));
    }

    // The ZMODEM peer is signalled while the data flows, in each shell: the
    // run ends by itself soon (the peer's cancel, the shell's words, our
    // own data echoed, one resend into the silence), or by Esc where it
    // still waits. Little of ours follows the peer's end, and the shell
    // runs the next command as typed: our stop closes any Ctrl+X prefix and
    // takes back what of our data its line holds. sz takes SIGINT as a
    // pause, and our ZRPOS resumes it.
    void peerLeaves_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("shell");
        for (const bool send : {true, false}) {
            const char *dir = send ? "send" : "receive";
            for (const int sig : {SIGKILL, SIGTERM, SIGINT})
                QTest::addRow("%s, SIG%s, bash", dir, sigabbrev_np(sig)) << send << sig << "bash";
            // A peer killed outright leaves the terminal raw, which zsh and
            // dash do not mend: they are given a peer that goes as it should.
            for (const char *shell : {"zsh", "dash"})
                QTest::addRow("%s, SIGTERM, %s", dir, shell) << send << SIGTERM << shell;
        }
    }
    void peerLeaves()
    {
        QFETCH(bool, send);
        QFETCH(int, signal);
        QFETCH(QString, shell);
        const QByteArray data = content(8 << 20);
        const QString command = QStringLiteral("bash -c 'echo $$ >peer.pid; exec %1'").arg(send ? "rz -q -y" : "sz -q data.bin");
        // The file data that was on its way to a killed rz is read by the
        // shell as one line of keys, no control among them. bash's line
        // editor in a UTF-8 locale takes seconds for 12 KiB of such a line
        // and minutes for 32 KiB (with any sender's data): here it reads
        // bytes as bytes, so that the row times our stop and not that.
        const bool hadLocale = qEnvironmentVariableIsSet("LC_ALL");
        const QByteArray locale = qgetenv("LC_ALL");
        qputenv("LC_ALL", "C");
        const QString failed = run(KindZ, send, 0, command, data, shell);
        if (hadLocale)
            qputenv("LC_ALL", locale);
        else
            qunsetenv("LC_ALL");
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        qint64 outAtSignal = -1;
        QElapsedTimer since;
        QObject scope;
        connect(engine.get(), &InbandTransfer::progressChanged, &scope, [&](qint64 done) {
            const int peer = done < (1 << 20) || outAtSignal >= 0 ? 0 : readFile(peerFolder() + "/peer.pid").trimmed().toInt();
            if (peer > 0 && ::kill(peer, signal) == 0) {
                outAtSignal = written;
                since.start();
            }
        });
        QVERIFY2(QTest::qWaitFor([&] { return outAtSignal >= 0 || !ended->isEmpty(); }, 60000), "the data did not flow");
        QVERIFY2(outAtSignal >= 0, "ended before the peer was signalled");
        const bool waited = !ended->wait(30000); // one resend into the silence takes 20 s
        if (waited)
            session->type("\x1b");
        QVERIFY2(!ended->isEmpty() || ended->wait(5000), "the transfer did not end");
        const qint64 after = written - outAtSignal;
        const auto outcome = ended->first().at(0).value<InbandTransfer::Outcome>();
        qInfo("%s: %s after %lld ms, %lld bytes of ours after the signal%s", QTest::currentDataTag(),
              qPrintable(ended->first().at(1).toString()), since.elapsed(), after, waited ? " (Esc)" : "");
        if (outcome == InbandTransfer::Succeeded)
            QVERIFY2(!send && signal == SIGINT && readFile(ourFolder() + "/data.bin") == data, "succeeded, but how?");
        QVERIFY2(outcome == InbandTransfer::Succeeded || after < 256 * 1024, qPrintable(QString::number(after)));
        // lrzsz flushes its terminal's input as it exits, also on a signal:
        // a command typed before that is lost, and the shell, whose prompt
        // follows, never sees it. The peer may still be on its way out when
        // the run has ended, longer so on a busy machine.
        QElapsedTimer going;
        going.start();
        const int peer = readFile(peerFolder() + "/peer.pid").trimmed().toInt();
        QVERIFY2(QTest::qWaitFor([peer] { return ::kill(peer, 0) != 0; }, kShellWaitMs), "the peer did not exit");
        if (going.elapsed() > 100)
            qInfo("the peer went %lld ms after the end", going.elapsed());
        QTest::qWait(1000); // what the shell still says
        const QString shellNow = shellAfterwards(view.shown.size());
        QVERIFY2(shellNow.isEmpty(), qPrintable(shellNow));
    }

    // What our ZMODEM stop does where no peer reads it any more: the shell's
    // line is empty, or holds the file data that was on its way when the
    // receiver died, cut after a ZDLE (an open Ctrl+X prefix). The next
    // command runs as typed.
    void stopInShells_data()
    {
        QTest::addColumn<QString>("shell");
        QTest::addColumn<bool>("ourData");
        for (const char *shell : {"bash", "zsh", "dash"}) {
            QTest::addRow("%s, empty line", shell) << shell << false;
            QTest::addRow("%s, our data in the line", shell) << shell << true;
        }
    }
    void stopInShells()
    {
        QFETCH(QString, shell);
        QFETCH(bool, ourData);
        QVERIFY2(openShell(shell), qPrintable(shell + " did not start"));
        if (ourData) {
            const QByteArray data = Zmodem::dataSubpacket(content(3000), Zmodem::ZCRCG);
            const QByteArray cut = data.left(data.lastIndexOf(Zmodem::ZDLE) + 1);
            for (qsizetype at = 0; at < cut.size(); at += 1024)
                session->type(cut.mid(at, 1024));
        }
        session->type(ZmodemTransfer::stopSequence());
        QTest::qWait(1500); // the line editor works through it
        const QString after = shellAfterwards(view.shown.size());
        QVERIFY2(after.isEmpty(), qPrintable(after));
    }

    // The receiver typed before the send was chosen, as users do: its first
    // poll is on screen already, and the send starts from it, not from its
    // next poll ten seconds later. rb says its greeting a second before its
    // first poll, which then comes in a read of its own: the send chosen
    // in between starts from that poll; so does one chosen before rb was
    // typed at all.
    void receiverFirst_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("sendAt"); // on screen when the send is chosen: "poll", "greeting", or "nothing"
        QTest::newRow("xmodem, rx") << int(KindX) << int(XmodemTransfer::Xmodem) << "rx -c -q data.bin" << "poll";
        QTest::newRow("ymodem, rb") << int(KindY) << int(XmodemTransfer::Ymodem) << "rb -y" << "poll";
        QTest::newRow("xmodem, rx with checksums") << int(KindX) << int(XmodemTransfer::Xmodem) << "rx data.bin" << "poll";
        QTest::newRow("ymodem, rb, at its greeting") << int(KindY) << int(XmodemTransfer::Ymodem) << "rb -y" << "greeting";
        QTest::newRow("ymodem, rb typed after") << int(KindY) << int(XmodemTransfer::Ymodem) << "rb -y" << "nothing";
        QTest::newRow("xmodem, rx typed after") << int(KindX) << int(XmodemTransfer::Xmodem) << "rx -c data.bin" << "nothing";
    }
    void receiverFirst()
    {
        QFETCH(int, kind);
        QFETCH(int, mode);
        QFETCH(QString, command);
        QFETCH(QString, sendAt);
        const QByteArray data = content(5000);
        QDir().mkpath(ourFolder());
        QDir().mkpath(peerFolder());
        QVERIFY(writeFile(ourFolder() + "/data.bin", data));
        QVERIFY2(openShell(), "bash did not start");
        const qsizetype from = view.shown.size();
        ended = std::make_unique<QSignalSpy>(make(kind), &InbandTransfer::resultReady);
        QElapsedTimer clock;
        // Ms from the choice (or the typing) to our first block. rb and rx
        // clear their input just after each poll: on a busy machine the
        // block may come before that and be lost, and the next goes out a
        // few seconds on. The block went out at the first poll all the same.
        qint64 started = -1;
        onTheWay = [&](const QByteArray &b) {
            if (started < 0 && (b.startsWith('\x01') || b.startsWith('\x02')))
                started = clock.elapsed();
            return b;
        };
        const auto forget = qScopeGuard([this] { onTheWay = nullptr; });
        const QByteArray typed = command.toUtf8() + "; echo EN''D=$?\r";
        if (sendAt == "nothing") {
            start(true, ourFolder() + "/data.bin", mode);
            clock.start();
            session->type(typed);
        } else {
            session->type(typed);
            const auto polled = [&] {
                if (sendAt == "greeting")
                    return view.shown.indexOf("receive.", from) >= 0;
                return view.shown.indexOf(kind == KindX ? "\nC" : "receive.C", from) >= 0 || view.shown.indexOf('\x15', from) >= 0;
            };
            QVERIFY2(QTest::qWaitFor(polled, kShellWaitMs), qPrintable("no poll: " + printable(view.shown.mid(from))));
            if (sendAt == "poll")
                QTest::qWait(300); // the user finds the menu
            clock.start();
            start(true, ourFolder() + "/data.bin", mode);
            session->offerLastWords();
        }
        QVERIFY2(waitEnd(), "the transfer did not end");
        QCOMPARE(ended->first().at(0).value<InbandTransfer::Outcome>(), InbandTransfer::Succeeded);
        QVERIFY2(started >= 0 && started < 5000, qPrintable(QStringLiteral("%1 ms: the send waited for the next poll").arg(started)));
        const QByteArray got = readFile(peerFolder() + "/data.bin");
        QVERIFY2(kind == KindX ? samePadded(got, data) : got == data, qPrintable(QString("got %1 bytes").arg(got.size())));
    }

    // No peer ever starts: the transfer ends by itself at its limit, says
    // that the peer did not answer, and the shell works afterwards. The
    // shell's complaints about our polls must not keep the wait alive.
    void noPeer_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("send");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("limit"); // ticks the engine may wait at most
        QTest::addColumn<QString>("said");
        QTest::newRow("xmodem receive") << int(KindX) << false << int(XmodemTransfer::Xmodem) << 30 << "对端未开始发送";
        QTest::newRow("ymodem send") << int(KindY) << true << int(XmodemTransfer::Ymodem) << 61 << "未收到对端握手";
        QTest::newRow("zmodem receive") << int(KindZ) << false << 0 << 301 << "对端未开始发送";
        QTest::newRow("zmodem send") << int(KindZ) << true << 0 << 66 << "未响应";
        QTest::newRow("kermit receive") << int(KindK) << false << 0 << 125 << "对端未开始发送";
        QTest::newRow("kermit send") << int(KindK) << true << 0 << 90 << "无响应";
    }
    void noPeer()
    {
        QFETCH(int, kind);
        QFETCH(bool, send);
        QFETCH(int, mode);
        QFETCH(int, limit);
        QFETCH(QString, said);
        QDir().mkpath(ourFolder());
        QVERIFY(writeFile(ourFolder() + "/out.bin", "x"));
        QVERIFY2(openShell(), "bash did not start");
        InbandTransfer *transfer = make(kind);
        transfer->setManualClock(true);
        QSignalSpy result(transfer, &InbandTransfer::resultReady);
        start(send, ourFolder() + (send || kind == KindX ? "/out.bin" : ""), mode);
        for (int tick = 0; tick < limit && result.isEmpty(); ++tick) {
            transfer->tick();
            QTest::qWait(4); // the shell answers our polls meanwhile
        }
        QVERIFY2(!result.isEmpty(), "still waiting after its limit");
        QCOMPARE(result.first().at(0).value<InbandTransfer::Outcome>(), InbandTransfer::Failed);
        QVERIFY2(result.first().at(1).toString().contains(said), qPrintable(result.first().at(1).toString()));
        QTest::qWait(300);
        const qsizetype from = view.shown.size();
        // Ctrl+C: a fresh line after the polls typed into the last one.
        session->type("\x03");
        QTest::qWait(300);
        session->type("echo AL''IVE\r");
        QVERIFY2(waitShown("ALIVE", from), qPrintable("the shell did not answer: " + QString::fromLatin1(view.shown.right(300).toHex(' '))));
    }
};

QTEST_MAIN(TestSessionTransfers)
#include "tst_sessiontransfers.moc"
