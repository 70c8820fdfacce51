// A transfer whose peer leaves by itself: lrzsz or gkermit signalled while
// the data flows (from the run's own progress, so that the machine's speed
// does not decide whether the file is through first), never started, or
// started late, in bash, zsh and dash. What must hold: the run ends within
// the engine's one resend into silence and its giving up; what we write
// after the peer left is at most one resend's worth; nothing of ours runs as
// a command; and where none of the file's bytes reached the shell, the next
// command runs as typed.
// The clock is the test's: a tick is a second to the engine, and the ticks
// after the peer left are counted. HV_LEAVE_ONLY keeps one protocol's rows
// (or one direction's), so that CTest runs them side by side.

#include "shellrig.h"

#include <csignal>

namespace {
// HV_LEAVE_ONLY names a protocol ("kermit"), one of its directions
// ("kermit send"), or a direction's rows where the host talks or the others
// ("kermit send talks", "kermit send leaves"): a row of none is left out.
bool leaveRowWanted(const char *protocol, bool send, const QString &leave)
{
    const QString only = qEnvironmentVariable("HV_LEAVE_ONLY");
    const QString direction = QLatin1String(protocol) + (send ? QLatin1String(" send") : QLatin1String(" receive"));
    const bool talks = leave == QLatin1String("talks") || leave.startsWith(QLatin1String("chatters"));
    return only.isEmpty() || only == QLatin1String(protocol) || only == direction
           || only == direction + (talks ? QLatin1String(" talks") : QLatin1String(" leaves"));
}
} // namespace

namespace {

struct Protocol {
    const char *name;
    int kind;
    int sendMode, receiveMode;
    const char *toPeer, *fromPeer; // the peer's receive and send commands
    int size;                      // large enough to be flowing when the peer leaves
    int leaveAt;                   // bytes done when it is signalled (XMODEM: its first report)
    int silence;                   // ticks: the resend into silence, then giving up
    // Bytes of ours after the peer left, at most: what the step that saw the
    // last progress still writes, one resend, and the run's last words.
    int sendBound, receiveBound;
    int firstFrame; // what we may write before any peer answered (a sender's first frame, ZMODEM's ZRINIT)
    int sendWait, receiveWait; // ticks a run nobody answers may wait
};

// A ZMODEM window is 64 KiB; escaped random data grows by about 3 %, and
// subpacket framing adds a little: 80 KiB holds one with room to spare.
constexpr int kZmodemWindow = 80 << 10;
constexpr int kKermitPacket = 100; // at most 94 and its mark, length and line end
constexpr int kXmodemBlock = 1029; // STX, numbers, 1 KiB, CRC

// Between blocks an XMODEM/YMODEM peer may be silent for its own time-out
// (up to 13 s, and a second of quiet): the shell's words after a killed one
// settle that long and a tick.
constexpr int kXmodemSettle = 14 + 1;

const Protocol kProtocols[] = {
    {"xmodem", KindX, XmodemTransfer::Xmodem, XmodemTransfer::Xmodem, "rx -c -q data.bin", "sx -q data.bin",
     512 << 10, 1, kXmodemSettle, 2 * kXmodemBlock + 8, 2 + 8, 0, 61, 30},
    {"ymodem", KindY, XmodemTransfer::Ymodem, XmodemTransfer::Ymodem, "rb -q -y", "sb -k -q data.bin",
     512 << 10, 64 << 10, kXmodemSettle, 2 * kXmodemBlock + 8, 2 + 8, 0, 61, 30},
    {"zmodem", KindZ, 0, 0, "rz -q -y", "sz -q data.bin",
     16 << 20, 1 << 20, 2 * 10 + 2, 2 * kZmodemWindow, 2 * 21 + 32, 21, 66, 301},
    {"kermit", KindK, 0, 0, "gkermit -i -P -q -r", "gkermit -i -P -q -s data.bin",
     96 << 10, 16 << 10, 2 * 10 + 2, 3 * kKermitPacket, 3 * kKermitPacket, kKermitPacket, 90, 125},
};

constexpr int kTickMs = 100; // real time between two ticks: the shell's answers arrive meanwhile

int signalOf(const QString &leave)
{
    const QString name = leave.section(' ', 0, 0);
    return name == "SIGINT" ? SIGINT : name == "SIGTERM" ? SIGTERM : name == "SIGKILL" ? SIGKILL : 0;
}

// gkermit repeats itself at its time-out; a killed one is known once that
// has passed, and a tick.
constexpr int kKermitTimeout = 10;

} // namespace

class TestPeerLeaves : public QObject, ShellRig
{
    Q_OBJECT

    // The run's end, once there is one (a message is built before its check).
    InbandTransfer::Outcome outcome() const
    {
        return ended->isEmpty() ? InbandTransfer::Failed : ended->first().at(0).value<InbandTransfer::Outcome>();
    }
    QString said() const { return ended->isEmpty() ? QStringLiteral("(running)") : ended->first().at(1).toString(); }
    QString screen(qsizetype from) const { return QString::fromLatin1(view.shown.mid(from).toHex(' ')); }

    // Signals the peer (its pid in peer.pid) once `at` bytes are done; true
    // when it was signalled before the run ended. `behind`: our reads wait
    // while the peer answers our next packet and is signalled, so that its
    // answer and the shell's words come in one read.
    bool signalPeer(int signal, qint64 at, qint64 *writtenThen, qsizetype *shownThen, bool behind = false)
    {
        bool signalled = false;
        bool armed = false;
        QObject scope;
        connect(engine.get(), &InbandTransfer::progressChanged, &scope, [&](qint64 done) {
            if (signalled || done < at)
                return;
            const int pid = readFile(peerFolder() + "/peer.pid").trimmed().toInt();
            if (behind && pid > 0 && !std::exchange(armed, true)) {
                // Paused with a wake, so that a read the worker waits on now is held too.
                shell->setReadPaused(false);
                shell->setReadPaused(true);
                QTimer::singleShot(2 * delayMs + 60, &scope, [&, pid] {
                    signalled = ::kill(pid, signal) == 0;
                    *writtenThen = written;
                    *shownThen = view.shown.size();
                    QTimer::singleShot(delayMs + 150, shell.data(), [this] { shell->setReadPaused(false); });
                });
                return;
            }
            if (behind)
                return;
            if (pid > 0 && (signal ? ::kill(pid, signal) == 0 : hostSays(pid, chatterMs))) {
                signalled = true;
                *writtenThen = written;
                *shownThen = view.shown.size();
            }
        });
        (void)QTest::qWaitFor([&] { return signalled || !ended->isEmpty(); }, 60000);
        return signalled;
    }
    // Each host line shown whole, from `from` on: no byte of the protocol in
    // front of it, nor the prompt the peer was typed at (the words between,
    // the command's and the peer's, shown).
    static QString strayBeforeLines(const QByteArray &shown, qsizetype from)
    {
        for (qsizetype at = shown.indexOf("Broadcast", from); at >= 0; at = shown.indexOf("Broadcast", at + 1))
            if (at == 0 || shown.at(at - 1) != '\n')
                return "a byte before a host line: " + printable(shown.mid(qMax<qsizetype>(0, at - 300), 360));
        return {};
    }
    int chatterMs = 0; // the "chatters" rows' host line comes this often
    // Ticks until the run ends, at most `cap`; the ticks it took. Past
    // `limit` the row has failed already: the rest, faster, only finds out
    // how long the run would have gone on, for the failure's message.
    QElapsedTimer hostLineSeen; // when the "talks" rows' line last reached us
    int tickToEnd(int limit, int cap, int paceMs = kTickMs)
    {
        int ticks = 0;
        while (ended->isEmpty() && ticks < cap) {
            QTest::qWait(ticks < limit ? paceMs : 20);
            // The engine's own clock starts a whole second again at the
            // host's line: a tick sooner would leave a live peer, on a busy
            // machine, less time to follow it than the window gives.
            if (hostLineSeen.isValid() && hostLineSeen.elapsed() < 1000)
                QTest::qWait(int(1000 - hostLineSeen.elapsed()));
            if (!ended->isEmpty())
                break;
            engine->tick();
            ++ticks;
        }
        return ticks;
    }
private slots:
    void initTestCase()
    {
        const QString missing = prepare();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }
    void cleanup() { closeShell(); }

    // How the peer leaves: "SIGINT", "SIGTERM", "SIGKILL" while the data
    // flows, "never" started, started "late" (typed 3 s into the run), or
    // "done": typed first, it goes when the run is through, and the shell
    // is left as it was; or it stays, and the host "talks" on its terminal
    // while the data flows. `delay`: each way to the shell, as to a remote host.
    // `stays`: the peer lives through the signal (gkermit ignores SIGINT;
    // lrzsz's sz takes it as a pause and waits for our header), and the file
    // must arrive whole, unless the peer cancels.
    void peerLeaves_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("send");
        QTest::addColumn<QString>("leave");
        QTest::addColumn<QString>("program"); // the shell
        QTest::addColumn<bool>("stays");
        QTest::addColumn<int>("delay");
        for (int p = 0; p < int(std::size(kProtocols)); ++p) {
            const Protocol &protocol = kProtocols[p];
            const auto row = [&](bool send, const char *leave, const char *shell, bool stays = false) {
                if (leaveRowWanted(protocol.name, send, leave))
                    QTest::addRow("%s %s, %s, %s", protocol.name, send ? "send" : "receive", leave, shell)
                        << p << send << QString(leave) << QString(shell) << stays << 0;
            };
            for (bool send : {true, false}) {
                const bool staysAtInt = protocol.kind == KindK || (protocol.kind == KindZ && !send);
                row(send, "SIGINT", "bash", staysAtInt);
                row(send, "SIGTERM", "bash");
                row(send, "SIGKILL", "bash");
            }
            // The other shells take what is left in the line otherwise.
            row(true, "SIGKILL", "zsh");
            row(false, "SIGTERM", "zsh");
            row(true, "SIGTERM", "dash");
            row(false, "SIGKILL", "dash");
        }
        // A sender nobody answers, and a peer typed late; a ZMODEM receive
        // waits silently for its sender, so it may wait for one at all.
        const auto row = [&](int p, bool send, const char *leave, const char *shell, int delay = 0) {
            if (leaveRowWanted(kProtocols[p].name, send, leave))
                QTest::addRow("%s %s, %s, %s%s", kProtocols[p].name, send ? "send" : "receive", leave, shell,
                              delay ? qPrintable(QStringLiteral(", %1 ms each way").arg(delay)) : "")
                    << p << send << QString(leave) << QString(shell) << false << delay;
        };
        row(0, true, "never", "bash");
        row(2, true, "never", "zsh");
        row(2, false, "never", "dash");
        row(3, true, "never", "dash");
        row(3, true, "late", "bash");
        row(1, true, "late", "dash");
        row(2, false, "late", "dash");
        // Over a round trip: a ZMODEM window that follows the link is still
        // bounded when the receiver dies, and a receive that went well leaves
        // nothing of ours for the shell, whichever came first.
        for (const char *leave : {"SIGINT", "SIGTERM", "SIGKILL"})
            row(2, true, leave, "bash", 25);
        for (int p = 0; p < int(std::size(kProtocols)); ++p) {
            for (const bool send : {true, false}) {
                for (const int delay : {0, 25}) {
                    if (leaveRowWanted(kProtocols[p].name, send, "talks") && (p == 2 || !delay))
                        QTest::addRow("%s %s, talks, bash%s", kProtocols[p].name, send ? "send" : "receive",
                                      delay ? ", 25 ms each way" : "")
                            << p << send << QString("talks") << QString("bash") << true << delay;
                }
            }
        }
        row(2, false, "SIGKILL", "bash", 25);
        // gkermit killed as it answered our packet, read with the shell's
        // words behind it, and the prompt seconds late (a slow prompt
        // command): our answer is held, and goes nowhere.
        for (const bool send : {true, false})
            row(3, send, "SIGKILL behind a packet", "bash", 25);
        row(3, false, "SIGTERM behind a packet", "bash");
        // rx and rb killed between blocks, their last ACK and the shell's
        // prompt read at once: the block it asked for goes nowhere.
        for (int p = 0; p < 2; ++p)
            row(p, true, "SIGKILL behind a block", "bash");
        row(2, false, "done", "bash", 25);
        row(2, false, "late", "bash", 25);
        // Kermit with a host line mid-run over a round trip, and a host that
        // talks every 200 ms ("chatters"): the peer lives, and so does the run.
        // "into packets": the peer's writes reach the terminal in pieces now
        // and then, and the host's line lands inside its packet.
        for (const bool send : {true, false}) {
            const char *dir = send ? "send" : "receive";
            if (leaveRowWanted(kProtocols[3].name, send, "talks")) {
                QTest::addRow("kermit %s, talks, bash, 25 ms each way", dir) << 3 << send << QString("talks") << QString("bash") << true << 25;
                for (const char *chatter : {"chatters", "chatters into packets"})
                    for (const int delay : {0, 25})
                        QTest::addRow("kermit %s, %s, bash%s", dir, chatter, delay ? ", 25 ms each way" : "")
                            << 3 << send << QString(chatter) << QString("bash") << true << delay;
            }
        }
    }
    // The host speaks amid an XMODEM/YMODEM run (a line, or a line every
    // 200 ms), on a pty and over a round trip: between blocks the peer owes
    // us nothing and may be silent for its own time-out; the run is no
    // shell's until that has passed, and each file arrives whole.
    void hostTalks_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("send");
        QTest::addColumn<QString>("leave");
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("stays");
        QTest::addColumn<int>("delay");
        for (int p = 0; p < 2; ++p)
            for (const bool send : {true, false})
                for (const char *talk : {"talks", "chatters"})
                    for (const int delay : {0, 25})
                        if (leaveRowWanted(kProtocols[p].name, send, talk) && (delay || talk != QLatin1String("talks")))
                            QTest::addRow("%s %s, %s, bash%s", kProtocols[p].name, send ? "send" : "receive", talk,
                                          delay ? ", 25 ms each way" : "")
                                << p << send << QString(talk) << QString("bash") << true << delay;
    }
    void hostTalks()
    {
        if (QTest::currentDataTag()) // none while another protocol's rows are kept
            peerLeaves();
    }

    void peerLeaves()
    {
        QFETCH(int, protocol);
        QFETCH(bool, send);
        QFETCH(QString, leave);
        QFETCH(QString, program);
        QFETCH(bool, stays);
        QFETCH(int, delay);
        delayMs = delay;
        const Protocol &p = kProtocols[protocol];
        const int signal = signalOf(leave);
        // The peer's last answer and the shell's words in one read; a
        // packet's peer (gkermit) with the prompt seconds late.
        const bool behind = leave.contains(" behind a ");
        const bool slowPrompt = leave.endsWith("behind a packet");
        const bool talks = leave == "talks" || leave.startsWith("chatters");
        chatterMs = leave.startsWith("chatters") ? 200 : 0;
        const int mode = send ? p.sendMode : p.receiveMode;
        QString peer = QString::fromLatin1(send ? p.toPeer : p.fromPeer);
        if (leave.endsWith("into packets"))
            peer = "python3 " HV_SOURCE_DIR "/tests/mainwindow/splitpeer.py 10 50 " + peer;
        // Without a peer, and with a late one, the file is small: it is not
        // the flow that matters there.
        // One block a round trip: over a line with one, XMODEM's 128-byte
        // blocks take a smaller file to last as long as YMODEM's. A host
        // that talks all along does so from the start of a longer run.
        const int talkSize = chatterMs && p.kind == KindK ? (leave.endsWith("into packets") ? 16 << 10 : 64 << 10)
                             : delay && p.kind == KindX ? 16 << 10 : p.size / 4;
        const QByteArray data = content(signal ? p.size : talks ? talkSize : 64 << 10);
        // A late peer's own timers are real, and so are those of one that
        // runs to its end.
        manualClock = leave != "late" && leave != "done";
        // A host that talks all along: the engine's own clock, which restarts
        // as the words begin, not at each line.
        const bool ownClock = leave.startsWith("chatters");
        if (ownClock)
            manualClock = false;
        const bool done = leave == "done";

        QString command;
        if (signal || talks)
            command = "sh -c 'echo $$ >peer.pid; exec " + peer + "'";
        else if (done)
            command = peer;
        // A prompt that comes 3 s after the words, from bash's own environment.
        if (slowPrompt)
            qputenv("PROMPT_COMMAND", "sleep 3");
        const QString failed = run(p.kind, send, mode, command, data, program);
        qunsetenv("PROMPT_COMMAND");
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        const qsizetype startAt = view.shown.size();
        // What the host sent since the peer left, for a failure's message:
        // once the stream is the transfer's, the screen does not show it.
        QByteArray heard;
        bool left = !signal;
        connect(shell.data(), &Connection::dataReceived, engine.get(), [&](const QByteArray &b) {
            if (left)
                heard = (heard + b).right(400);
        });
        hostLineSeen.invalidate();
        if (talks) {
            connect(shell.data(), &Connection::dataReceived, engine.get(), [&, tail = QByteArray()](const QByteArray &b) mutable {
                tail = (tail + b).right(64);
                if (tail.contains("back soon")) {
                    hostLineSeen.start();
                    tail.clear();
                }
            });
        }

        // The ZMODEM window follows the link, and may have been wider while
        // the receiver left than it is at the end.
        qint64 widest = 0;
        if (const auto *z = qobject_cast<ZmodemTransfer *>(engine.get()))
            connect(shell.data(), &Connection::dataReceived, engine.get(), [&widest, z] { widest = qMax<qint64>(widest, z->aheadBound()); });

        QElapsedTimer sinceEnd; // from the run's end, where the peer was signalled
        qint64 writtenThen = 0; // what we had written when the peer left
        qsizetype shownThen = startAt;
        int ticks = 0;
        int limit = 0;
        if (signal || talks) {
            const qint64 at = chatterMs && p.kind == KindK ? 4096 : talks ? qMin<qint64>(p.leaveAt, data.size() / 4) : p.leaveAt; // while it flows
            QVERIFY2(signalPeer(signal, at, &writtenThen, &shownThen, behind),
                     qPrintable("ended before the peer was signalled: " + said()));
            left = signal;
            limit = stays ? 600 : slowPrompt ? kKermitTimeout + 1 + 3 : p.silence; // and the ticks our reads wait
            // A peer that stays alive runs on real time: its own time-outs
            // are real, so ours tick as in the program, once a second; fast
            // ticks would give up on a peer that a busy machine holds back
            // for a few seconds.
            if (ownClock)
                (void)QTest::qWaitFor([&] { return !ended->isEmpty(); }, 300000);
            else
                ticks = tickToEnd(limit, stays ? limit : 130, talks ? 1000 : kTickMs);
            sinceEnd.start();
        } else if (done) {
            (void)QTest::qWaitFor([&] { return !ended->isEmpty(); }, 60000);
        } else if (leave == "never") {
            limit = send ? p.sendWait : p.receiveWait;
            ticks = tickToEnd(limit, limit + 1, 30);
        } else {
            QTest::qWait(3000);
            writtenThen = written;
            QVERIFY2(ended->isEmpty(), qPrintable("ended before the peer came: " + said()));
            session->type(ShellRig::typedLine(peer));
            (void)QTest::qWaitFor([&] { return !ended->isEmpty(); }, 60000);
        }
        const qint64 after = written - writtenThen;
        const QString result = QStringLiteral("%1 \"%2\" after %3 ticks (limit %4), %5 bytes of ours after the peer left; "
                                              "the host said since: %6")
                                   .arg(ended->isEmpty() ? QStringLiteral("still running") : QVariant::fromValue(outcome()).toString(),
                                        said()).arg(ticks).arg(limit).arg(after)
                                   .arg(printable(heard));
        qInfo("%s", qPrintable(result.left(200)));
        QVERIFY2(!ended->isEmpty() && ticks <= limit, qPrintable(result));
        const qsizetype endAt = view.shown.size();

        if (talks)
            QVERIFY2(view.shown.mid(startAt).contains("Broadcast message"), qPrintable(result));
        if (chatterMs)
            QVERIFY2(strayBeforeLines(view.shown, startAt).isEmpty(), qPrintable(strayBeforeLines(view.shown, startAt)));
        if (stays || leave == "late" || done) {
            // The peer is there to the end: the file whole, or its own cancel.
            const bool peerCancelled = outcome() == InbandTransfer::Failed && stays && said().contains("对端取消");
            if (!peerCancelled) {
                QVERIFY2(outcome() == InbandTransfer::Succeeded, qPrintable(result));
                // Our run ends at the peer's last frame or answer; the peer
                // exits a moment later: a receiver writes out what it
                // buffered, and either flushes its terminal's input, which
                // would take a command typed meanwhile (a user types at the
                // prompt).
                if (const int pid = readFile(peerFolder() + "/peer.pid").trimmed().toInt(); pid > 0)
                    (void)QTest::qWaitFor([pid] { return ::kill(pid, 0) != 0; }, 10000);
                const QByteArray got = readFile((send ? peerFolder() : ourFolder()) + "/data.bin");
                QVERIFY2(p.kind == KindX ? samePadded(got, data) : got == data,
                         qPrintable(QString("got %1 bytes of %2").arg(got.size()).arg(data.size())));
            }
            if (leave == "late")
                QVERIFY2(writtenThen <= p.firstFrame,
                         qPrintable(QStringLiteral("%1 bytes of ours before the peer came").arg(writtenThen)));
        } else {
            QVERIFY2(outcome() != InbandTransfer::Succeeded, qPrintable("the peer left, yet: " + result));
            // The peer had read all of ours when it died: nothing may follow.
            // rx and rb may be nudged while our reads are held (one NAK).
            qint64 bound = behind ? (p.kind <= KindY ? 1 : 0) : leave == "never" ? p.firstFrame : send ? p.sendBound : p.receiveBound;
            // A ZMODEM window that grew with the link may be on its way as a
            // whole, past the receiver's last ZACK: no more.
            if (const auto *z = qobject_cast<ZmodemTransfer *>(engine.get()); z && send && signal)
                bound += qMax<qint64>(widest, z->aheadBound());
            QVERIFY2(after <= bound, qPrintable(QStringLiteral("at most %1 bytes: ").arg(bound) + result));
        }

        // Where the file's bytes reached the shell (those on their way when
        // the receiver died, which nobody can call back) the shell may run
        // any of them, or take them for its editing keys: what it does then
        // is no measure of ours.
        if (send && signal && !stays && !behind) {
            if (const QString complaint = complaintIn(view.shown.mid(shownThen)); !complaint.isEmpty())
                qInfo("on its way when the receiver left: %s", qPrintable(complaint.left(300)));
            return;
        }
        // Nothing of ours ran as a command: but the first frame of a run
        // typed into a shell where no peer listens yet (ZMODEM's ZRQINIT or
        // ZRINIT, Kermit's S) is a line the shell runs; nothing can take it
        // back.
        const int firstFrameLines = !signal && !done && p.firstFrame > 0 ? 1 : 0;
        const QByteArray words = view.shown.mid(startAt);
        QVERIFY2(complaintsIn(words) <= firstFrameLines, qPrintable(complaintIn(words)));
        // The peer's farewell and the shell's prompt come after the end; and
        // anything of ours sent after the end would come back with them.
        if (signal || done) {
            (void)waitShown("END=", shownThen, 10000);
            QTest::qWait(4 * delay);
            QVERIFY2(complaintsIn(view.shown.mid(startAt)) == 0, qPrintable(complaintIn(view.shown.mid(startAt))));
        }
        // A peer killed outright leaves the terminal raw, and dash, which
        // does not set it up for itself, takes only a line feed for a line
        // end (and writes one back), and no control byte for an editing key.
        // What was on its way when the peer died (the answer to the frame
        // that brought the last progress) stays in the line: an Enter first
        // runs it, as a user would find out (its complaint shows without the
        // shell's prefix, which the screen drops with our byte as the
        // protocol's tail). After that nothing of ours may come, and the
        // next command runs as typed.
        // A Kermit sender killed while it waited for our answer leaves that
        // answer in the shell's input, where its check characters can open a
        // quote. The Ctrl+C that follows our end drops it where the shell
        // edits its own line (bash); zsh reads the answer only after the
        // Ctrl+C has gone by, and dash on a terminal left raw takes the
        // Ctrl+C as a character. Like the file's bytes on their way to a
        // receiver that died, nobody can call it back.
        if (!send && signal && p.kind == KindK && program != "bash") {
            if (const QString complaint = complaintIn(view.shown.mid(shownThen)); !complaint.isEmpty())
                qInfo("our answer on its way when the sender left: %s", qPrintable(complaint.left(300)));
            return;
        }
        if (signal == SIGKILL && program == "dash") {
            session->type("\n");
            // What comes while the line settles after a failed run is held
            // back until it is quiet: its answer is wholly drawn after that.
            QTest::qWait(OpenSession::kQuietAfterCancelMs + 600);
            const qsizetype from = view.shown.size();
            session->type("echo AL''IVE\n");
            const bool ran = waitShown("ALIVE\n", from);
            const QByteArray line = view.shown.mid(from);
            const QString context = printable(view.shown.mid(shownThen));
            QVERIFY2(ran, qPrintable("the shell did not answer: " + context));
            QVERIFY2(complaintIn(line).isEmpty(), qPrintable("our bytes were in the shell's line: " + context));
            return;
        }
        const QString afterwards = shellAfterwards(firstFrameLines ? view.shown.size() : endAt);
        QVERIFY2(afterwards.isEmpty(), qPrintable(afterwards));
        // A receiver that took the end leaves at once: the shell is the
        // user's a moment after the end line, not at the receiver's time-out.
        if (chatterMs && send && p.kind <= KindY)
            QVERIFY2(sinceEnd.elapsed() < 5000, qPrintable(QStringLiteral("the shell answered %1 ms after the end").arg(sinceEnd.elapsed())));
    }
};

QTEST_MAIN(TestPeerLeaves)
#include "tst_peerleaves.moc"
