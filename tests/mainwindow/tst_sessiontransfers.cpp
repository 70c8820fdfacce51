// In-band transfers through an open session's own path: a real bash (zsh or
// dash where a row says) on a pseudo-terminal running lrzsz or gkermit, the
// session owner handing the stream over, the engine's bytes written as the
// window writes them. What must hold at the end: the file whole, success
// said, and the shell left with nothing of the protocol, neither typed into
// it nor drawn on screen.
// HV_XFER_ROUNDS repeats the whole table (scripts/xfer-stress runs it under
// load); HV_XFER_ONLY keeps one protocol's rows, so that CTest runs the
// protocols side by side.

#include "core/commandsending.h"
#include "mainwindow/sendingactions.h"
#include "mainwindow/sessionhub.h"
#include "shellrig.h"

class TestSessionTransfers : public QObject, ShellRig
{
    Q_OBJECT

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
        QVERIFY2(result.wait(180000), "the transfer did not end");
        const qsizetype endAt = view.shown.size();
        QCOMPARE(result.first().at(0).value<InbandTransfer::Outcome>(), InbandTransfer::Succeeded);
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
        // "window", "paste", or typed when empty. Without a command: the
        // ticks (an odd count leaves 'C' the last poll, an even one NAK),
        // then the keys typed, the last one cancelling.
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
    }
    void typedWhileWaiting()
    {
        QFETCH(int, kind);
        QFETCH(int, mode);
        QFETCH(QString, command);
        QFETCH(bool, byHand);
        QFETCH(QString, shell);
        QFETCH(QString, via);
        QDir(ourFolder()).removeRecursively();
        QDir().mkpath(ourFolder());
        const QByteArray data = content(5000);
        QVERIFY(writeFile(peerFolder() + "/data.bin", data));
        QVERIFY2(openShell(shell), qPrintable(shell + " did not start"));
        InbandTransfer *transfer = make(kind);
        transfer->setManualClock(byHand);
        QSignalSpy result(transfer, &InbandTransfer::resultReady);
        const QString target = kind == KindX ? ourFolder() + "/data.bin" : ourFolder();
        start(false, target, mode);
        QTest::qWait(300);
        QByteArray line = command.toUtf8() + "; echo EN''D=$?\r";
        if (command.isEmpty()) {
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
        const auto expected = command.isEmpty() ? InbandTransfer::Cancelled : InbandTransfer::Succeeded;
        QVERIFY2(result.first().at(0).value<InbandTransfer::Outcome>() == expected,
                 qPrintable(result.first().at(1).toString() + ": " + QString::fromUtf8(view.shown.right(300))));
        const QByteArray got = readFile(ourFolder() + "/data.bin");
        if (!command.isEmpty()) {
            QVERIFY2(kind == KindX ? samePadded(got, data) : got == data, qPrintable(QString("got %1 bytes").arg(got.size())));
            QVERIFY2(waitShown("END=0", 0), qPrintable("not run as typed: " + QString::fromLatin1(view.shown)));
        }
        const QString after = shellAfterwards(view.shown.size());
        QVERIFY2(after.isEmpty(), qPrintable(after));
    }

    // Esc in the middle of a run, each protocol each way: the transfer ends
    // cancelled, and once the line is quiet the peer's farewell and what the
    // shell says next are drawn (not lost with the protocol's tail), free of
    // the protocol's bytes, and the shell answers. (A peer that leaves by
    // itself is tst_peerleaves' table.)
    void cancelled_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("send");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("command");
        QTest::newRow("xmodem send") << int(KindX) << true << int(XmodemTransfer::Xmodem) << "rx -c -q data.bin";
        QTest::newRow("xmodem receive") << int(KindX) << false << int(XmodemTransfer::Xmodem) << "sx -q data.bin";
        QTest::newRow("ymodem send") << int(KindY) << true << int(XmodemTransfer::Ymodem) << "rb -q -y";
        QTest::newRow("ymodem receive") << int(KindY) << false << int(XmodemTransfer::Ymodem) << "sb -q data.bin";
        QTest::newRow("zmodem send") << int(KindZ) << true << 0 << "rz -q -y";
        QTest::newRow("zmodem receive") << int(KindZ) << false << 0 << "sz -q data.bin";
        QTest::newRow("kermit send") << int(KindK) << true << 0 << "gkermit -i -P -q -r";
        QTest::newRow("kermit receive") << int(KindK) << false << 0 << "gkermit -i -P -q -s data.bin";
    }
    void cancelled()
    {
        QFETCH(int, kind);
        QFETCH(bool, send);
        QFETCH(int, mode);
        QFETCH(QString, command);
        const QByteArray data = content(32 << 20); // still running when Esc comes
        const QString failed = run(kind, send, mode, command, data);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        InbandTransfer *transfer = engine.get();
        QSignalSpy &result = *ended;
        QVERIFY2(QTest::qWaitFor([&] { return transfer->peerStarted() || !result.isEmpty(); }, 30000), "the peer did not start");
        QTest::qWait(200);
        QVERIFY2(result.isEmpty(), "ended before Esc: the file is too small to cancel");
        session->type("\x1b");
        QVERIFY2(QTest::qWaitFor([&] { return !result.isEmpty(); }, 30000), "the transfer did not end");
        QCOMPARE(result.first().at(0).value<InbandTransfer::Outcome>(), InbandTransfer::Cancelled);
        qsizetype endAt = view.shown.size();
        QVERIFY2(waitShown("END=", endAt, 30000), qPrintable("the shell's words after the cancel are not shown: "
                                                              + QString::fromLatin1(view.shown.mid(endAt).toHex(' '))));
        // The last bytes of the peer's tail can pass for text (printable
        // bytes, a valid UTF-8 pair) and be drawn just before what the host
        // says next: no receiver can tell them apart. A few such bytes may
        // stand there; more would be the tail itself.
        endAt += qMin<qsizetype>(8, view.shown.indexOf("END=", endAt) - endAt);
        const QString after = shellAfterwards(endAt);
        QVERIFY2(after.isEmpty(), qPrintable(after));
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
        QVERIFY2(waitShown("ALIVE", from, 15000), qPrintable("the shell did not answer: " + QString::fromLatin1(view.shown.right(300).toHex(' '))));
    }
};

QTEST_MAIN(TestSessionTransfers)
#include "tst_sessiontransfers.moc"
