#pragma once

// In-band transfers through an open session's own path against real peers:
// a shell (bash unless named) on a pseudo-terminal running lrzsz or gkermit,
// the session owner handing the stream over, the engine's bytes written as
// the window writes them, and what the screen shows afterwards.

#include "connections/localshellconnection.h"
#include "core/sessionlogger.h"
#include "mainwindow/opensession.h"
#include "transfer/kermittransfer.h"
#include "transfer/xmodemtransfer.h"
#include "transfer/zmodemtransfer.h"
#include "tests/support/testfiles.h"
#include "sessionrig.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <utility>

enum Kind { KindX, KindY, KindZ, KindK };

inline QByteArray content(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(quint32(size) + 17);
    for (char &c : bytes)
        c = char(gen.bounded(256));
    return bytes;
}

// XMODEM pads its last block with SUB.
inline bool samePadded(const QByteArray &got, const QByteArray &sent)
{
    const qsizetype pad = got.size() - sent.size();
    return got.startsWith(sent) && got.size() % 128 == 0 && pad >= 0 && pad < 1024
           && got.mid(sent.size()).count(char(0x1A)) == pad;
}

// A byte of a protocol on screen after the end: controls other than the
// shell's own (CR, LF, BS, BEL, ESC of its sequences), bytes above ASCII, or
// ZMODEM's "OO".
inline QString junkIn(const QByteArray &screen)
{
    for (char c : screen) {
        const uchar u = uchar(c);
        if ((u < 0x20 && !QByteArrayView("\r\n\b\a\x1b").contains(c)) || u >= 0x7f)
            return QStringLiteral("byte 0x%1 in %2").arg(u, 2, 16, QLatin1Char('0')).arg(QString::fromLatin1(screen.toHex(' ')));
    }
    return screen.contains("OO") ? QStringLiteral("OO in ") + QString::fromLatin1(screen) : QString();
}

// Bytes as text a failure's message can show: controls and bytes above
// ASCII as \xNN.
inline QString printable(const QByteArray &bytes)
{
    QString out;
    for (const char c : bytes) {
        const uchar u = uchar(c);
        out += u >= 0x20 && u < 0x7f && c != '\\' ? QString(QLatin1Char(c))
                                                   : QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return out;
}

// A shell's complaints about lines it ran (bash, zsh and dash words): bytes
// of ours taken for commands.
inline int complaintsIn(const QByteArray &screen)
{
    const QByteArray lower = screen.toLower();
    int count = 0;
    for (const char *said : {"not found", "no matches found", "syntax error", "parse error", "no such job",
                             "no such file or directory"})
        count += int(lower.count(said));
    return count;
}
inline QString complaintIn(const QByteArray &screen)
{
    return complaintsIn(screen) ? "the shell ran our bytes: " + printable(screen.right(600)) : QString();
}

class ShellRig
{
public:
    QTemporaryDir dir;
    FakeView view;
    std::unique_ptr<OpenSession> session;
    QPointer<Connection> shell;
    // The host other than a local shell (a login over SSH as another
    // account), made for each shell opened while set; the shell named to
    // openShell() is started there, and the peer's folder is opened to it.
    std::function<Connection *()> remoteHost;
    std::unique_ptr<InbandTransfer> engine;
    std::unique_ptr<QSignalSpy> ended; // the engine's resultReady
    bool manualClock = false;          // for the engines made from now on
    int delayMs = 0;                   // each way between us and the shells opened from now on
    // The rest of that line's shape (see hv_delayshell): bytes a second, what
    // it holds, and a rate that drops after so many bytes; 0: none.
    qint64 lineRate = 0, lineHold = 0, slowAfter = 0, slowRate = 0;
    qint64 written = 0;                // what the engine handed its send function in this run
    // The engine's Ctrl+C of its own this run (it sends one to a shell seen
    // back), and what the host said since.
    bool ctrlCSent = false;
    QString shellProgram; // the shell openShell() started
    QByteArray saidSinceCtrlC;
    // What becomes of each packet of ours on its way (a row's lost or cut
    // one); unset: it goes as it is. More files for a send after the first.
    std::function<QByteArray(const QByteArray &)> onTheWay;
    QStringList alsoSend;

    // The peers there, and zsh quiet. Empty when all is well.
    QString prepare()
    {
        QStringList missing;
        for (const char *tool : {"sx", "rx", "sb", "rb", "sz", "rz", "gkermit", "bash", "zsh", "dash"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                missing << tool;
        if (!missing.isEmpty())
            return "peer programs missing (see scripts/packages): " + missing.join(' ');
        if (!dir.isValid())
            return QStringLiteral("no temporary folder");
        // zsh without a startup file of its own asks the new user questions.
        if (!QDir().mkpath(dir.filePath("zsh")) || !writeFile(dir.filePath("zsh/.zshrc"), ""))
            return QStringLiteral("cannot write zsh's startup file");
        qputenv("ZDOTDIR", dir.filePath("zsh").toUtf8());
        return {};
    }

    // The bounds on a shell's or a peer's words are against hanging: a
    // machine running the sanitizer build beside other suites is slow to
    // start a shell.
    static constexpr int kShellWaitMs = 30000;
    bool waitShown(const QByteArray &marker, qsizetype from, int ms = kShellWaitMs)
    {
        return QTest::qWaitFor([&] { return view.shown.indexOf(marker, from) >= 0; }, ms);
    }
    // The run's end, waited for as long as the run moves: a stop-and-wait
    // protocol makes a round trip per block, which a busy machine can make
    // slow, but a run that neither ends nor writes for `stallMs` hangs.
    bool waitEnd(int stallMs = 60000)
    {
        QElapsedTimer quiet;
        quiet.start();
        qint64 seen = written;
        // An event loop, not qWaitFor, whose naps between its rounds would
        // hold every packet of a stop-and-wait protocol for 10 ms.
        while (ended->isEmpty() && quiet.elapsed() < stallMs) {
            ended->wait(qMax<int>(1, int(qMin<qint64>(1000, stallMs - quiet.elapsed()))));
            if (std::exchange(seen, written) != written)
                quiet.start();
        }
        return !ended->isEmpty();
    }
    // Until `done`, the event loop running all the while: qWaitFor naps
    // 10 ms between its rounds, in which nothing is written and what the
    // peer says waits, which holds a fast link to a fraction of its pace.
    static bool waitLive(const std::function<bool()> &done, int ms)
    {
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
        poll.start(5);
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        if (!done())
            loop.exec();
        return done();
    }
    QString peerFolder() const { return dir.filePath("peer"); }
    QString ourFolder() const { return dir.filePath("ours"); }

    // A shell in the peer's folder, its prompt plain, a log of the session.
    bool openShell(const QString &program = QStringLiteral("bash"))
    {
        session = std::make_unique<OpenSession>(TabSessionInfo{"t", "t", remoteHost ? "ssh" : "local"}, &view);
        auto *local = remoteHost ? nullptr : new LocalShellConnection;
        shell = local ? local : remoteHost();
        shellProgram = program;
        if (local)
            local->setShell("/bin/" + program);
        if (local && delayMs > 0) {
            // The shell as a remote host runs it: its own terminal, behind a round trip.
            qputenv("HV_DELAY_SHELL", QByteArray("/bin/") + program.toUtf8());
            qputenv("HV_DELAY_MS", QByteArray::number(delayMs));
            qputenv("HV_DELAY_RATE", QByteArray::number(lineRate));
            qputenv("HV_DELAY_HOLD", QByteArray::number(lineHold));
            qputenv("HV_DELAY_SLOW_AFTER", QByteArray::number(slowAfter));
            qputenv("HV_DELAY_SLOW_RATE", QByteArray::number(slowRate));
            local->setShell(HV_BINARY_DIR "/tests/support/hv_delayshell");
        }
        // Ahead of the session, so that a read that brings the engine to its
        // Ctrl+C is not counted as said after it.
        QObject::connect(shell, &Connection::dataReceived, shell, [this](const QByteArray &b) {
            if (ctrlCSent)
                saidSinceCtrlC += b;
        });
        session->adopt(shell, {});
        shell->open();
        if (!QTest::qWaitFor([&] { return shell && shell->isOpen(); }, kShellWaitMs)) {
            qWarning("the shell's connection did not open: %s", qPrintable(printable(view.shown.right(300))));
            return false;
        }
        SessionLogOptions options;
        options.dir = dir.filePath("log");
        QDir().mkpath(options.dir);
        auto *logger = new SessionLogger("t", "local", options);
        logger->start();
        session->setLogger(logger);
        const qsizetype from = view.shown.size();
        // The account's login shell may be dash, which leaves a terminal
        // that a killed peer left raw as it is. The C locale: see
        // tst_zmodemlinks.
        if (remoteHost)
            session->type("exec env LC_ALL=C /bin/" + program.toUtf8() + (program == "bash" ? " --norc" : "") + "\r");
        // Its output, not its echo: the folder's random name may hold "OK"
        // too, and the echo comes before the shell has run the line.
        session->type("PS1='$ '; stty -echo; cd " + peerFolder().toUtf8() + "; echo O''K\r");
        if (waitShown("OK\r\n", from))
            return true;
        qWarning("the shell did not take its first line: %s", qPrintable(printable(view.shown.mid(from).right(300))));
        return false;
    }
    // The end of a row: the next one starts afresh, and a failure shows its
    // own row's screen.
    void closeShell()
    {
        ended.reset();
        session.reset();
        engine.reset();
        view.shown.clear();
    }
    InbandTransfer *make(int kind)
    {
        if (kind == KindZ)
            engine = std::make_unique<ZmodemTransfer>();
        else if (kind == KindK)
            engine = std::make_unique<KermitTransfer>();
        else
            engine = std::make_unique<XmodemTransfer>();
        engine->setManualClock(manualClock);
        return engine.get();
    }
    void start(bool send, const QString &path, int mode)
    {
        session->handOver(engine.get(), true);
        written = 0;
        ctrlCSent = false;
        const TransferSendFn out = [this, s = session.get()](const QByteArray &b) {
            written += b.size();
            if (b == "\x03") {
                ctrlCSent = true;
                saidSinceCtrlC.clear();
            }
            s->sendUnlogged(onTheWay ? onTheWay(b) : b);
        };
        if (send)
            engine->startSend(out, "t", QStringList{path} + alsoSend, mode);
        else
            engine->startReceive(out, "t", path, mode);
    }

    // After the end: the shell answers a plain command at once (no byte
    // of ours left in its line, still alive) and nothing of the protocol
    // reached the screen. Empty when all is well.
    QString shellAfterwards(qsizetype endAt)
    {
        // bash drops the first key it reads while it handles the SIGINT of a
        // Ctrl+C: the command is typed once the shell has answered ours with
        // a fresh prompt, as a user would see it before typing.
        // bash draws "^C" as it takes the signal: a prompt before that was on
        // its way before our Ctrl+C reached it (on a busy machine the shell's
        // words come in two reads, and the Ctrl+C went at the first).
        if (ctrlCSent) {
            (void)QTest::qWaitFor([&] {
                const qsizetype taken = shellProgram == QLatin1String("bash") ? saidSinceCtrlC.indexOf("^C") : 0;
                const qsizetype lineEnd = taken < 0 ? -1 : saidSinceCtrlC.indexOf('\n', taken);
                return lineEnd >= 0 && saidSinceCtrlC.indexOf("$ ", lineEnd) >= 0;
            }, 10000);
        }
        const qsizetype from = view.shown.size();
        session->type("echo AL''IVE\r");
        // Its whole line: a poll of ours behind the cursor makes it "ALIVEC".
        const auto lineEnd = [&] {
            const qsizetype at = view.shown.indexOf("ALIVE", from);
            return at < 0 ? at : view.shown.indexOf('\n', at);
        };
        if (!QTest::qWaitFor([&] { return lineEnd() >= 0; }, kShellWaitMs)) // the command itself is not echoed
            return "the shell did not answer: " + QString::fromLatin1(view.shown.mid(endAt).toHex(' '))
                   + "\nbefore that: " + printable(view.shown.mid(qMax<qsizetype>(0, endAt - 600), qMin<qsizetype>(endAt, 600)));
        const qsizetype alive = view.shown.indexOf("ALIVE", from);
        if (view.shown.mid(from, alive - from).contains("not found") || view.shown.mid(alive, lineEnd() + 1 - alive) != "ALIVE\r\n")
            return "our bytes were in the shell's line: " + QString::fromLatin1(view.shown.mid(from).toHex(' '));
        return junkIn(view.shown.mid(endAt));
    }

    // A line of the host's on the peer's terminal, as `wall` writes it: from
    // a process of its own, since the terminal may be full until we read it;
    // through its error output, which gkermit leaves on the terminal.
    // Every `everyMs` while the peer lives (a busy background job), when set.
    // The peer is known by its number and its start time: on a busy machine
    // the numbers wrap within minutes, and one taken by another test's
    // process would carry the line into that test's terminal.
    static bool hostSays(int pid, int everyMs = 0)
    {
        const QString line = QStringLiteral("printf '\\r\\nBroadcast message from root@host: back soon\\r\\n' >/proc/%1/fd/2").arg(pid);
        const QString started = QStringLiteral("$(cut -d' ' -f22 /proc/%1/stat 2>/dev/null)").arg(pid);
        const QString script = everyMs ? QStringLiteral("s=%1; [ -n \"$s\" ] || exit; for i in $(seq 3000); do [ \"%1\" = \"$s\" ] || exit; %2; sleep %3; done")
                                             .arg(started, line).arg(everyMs / 1000.0)
                                       : line;
        return QProcess::startDetached(QStringLiteral("sh"), {QStringLiteral("-c"), script});
    }

    // Fresh folders with the file on its side, the shell, and the transfer
    // started with the peer's command typed (none: no peer); `ended` watches
    // its end. Empty when all went well so far.
    QString run(int kind, bool send, int mode, const QString &command, const QByteArray &data,
                const QString &program = QStringLiteral("bash"))
    {
        QDir(peerFolder()).removeRecursively();
        QDir(ourFolder()).removeRecursively();
        QDir().mkpath(peerFolder());
        QDir().mkpath(ourFolder());
        const QString source = (send ? ourFolder() : peerFolder()) + "/data.bin";
        if (!writeFile(source, data))
            return "cannot write " + source;
        if (remoteHost && !openToOthers(source))
            return "cannot open the peer's folder to the host's account: " + peerFolder();
        if (!openShell(program))
            return program + " did not start";
        // An XMODEM/YMODEM send is started first and the receiver typed while
        // it waits, so that its first poll is not missed. The others wait for
        // a peer typed first: our polls, or Kermit's first packet, would land
        // in the shell's line.
        const bool typeFirst = !send || kind == KindK;
        const QByteArray typed = typedLine(command);
        const qsizetype startAt = view.shown.size();
        if (typeFirst && !command.isEmpty()) {
            session->type(typed);
            if (!waitShown("READY", startAt))
                return program + " did not take the command";
        }
        ended = std::make_unique<QSignalSpy>(make(kind), &InbandTransfer::resultReady);
        start(send, send ? source : target(kind, send), mode);
        if (!typeFirst && !command.isEmpty())
            session->type(typed);
        return {};
    }
    // The peer's folder writable by another account, the folders above it
    // that are ours passable, and the file to send readable (its mode goes
    // with it).
    bool openToOthers(const QString &source) const
    {
        bool ok = QFile::setPermissions(source, QFile::permissions(source) | QFile::ReadGroup | QFile::ReadOther)
                  && QFile::setPermissions(peerFolder(), QFile::Permissions(0x7777));
        // No further up than the test's own box.
        const QString box = qEnvironmentVariable("HV_TEST_BOX", QDir::tempPath());
        for (QString up = dir.path(); ok && (up == box || up.startsWith(box + '/')); up = QFileInfo(up).path()) {
            if (!(QFile::permissions(up) & QFile::ExeOther))
                ok = QFile::setPermissions(up, QFile::permissions(up) | QFile::ExeOther);
        }
        return ok;
    }
    // Where a receive puts the file: plain XMODEM names it.
    QString target(int kind, bool send) const
    {
        return !send && kind == KindX ? ourFolder() + "/data.bin" : ourFolder();
    }
    // The line that starts the peer as `run` types it.
    static QByteArray typedLine(const QString &command) { return "echo RE''ADY; " + command.toUtf8() + "; echo EN''D=$?\r"; }
};
