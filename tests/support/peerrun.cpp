#include "tests/support/peerrun.h"
#include "tests/support/delayline.h"

#include "connections/connection.h"
#include "transfer/kermittransfer.h"
#include "transfer/xmodemtransfer.h"
#include "transfer/zmodemtransfer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <chrono>
#include <optional>
#include <utility>

void closePair(int readFd, int writeFd) // once when they are the same
{
    for (const int fd : {readFd, writeFd == readFd ? -1 : writeFd})
        if (fd >= 0)
            ::close(fd);
}

// Starts "/bin/sh -c command" in workDir, leading a process group of its own, stdin and stdout on
// the link, stderr on errFd (-1: /dev/null). Our ends come back non-blocking (one descriptor for a
// pty), the pty's slave too if asked for.
pid_t spawnPeer(const QString &command, const QString &workDir, PeerLink link, int *readFd, int *writeFd,
                int errFd, int *slaveFd)
{
    const QByteArray cmd = command.toLocal8Bit(), dir = QFile::encodeName(workDir);
    int ours[2] = {-1, -1}, theirs[2] = {-1, -1}; // read and write ends
    if (link == PeerLink::Pty) {
        termios raw{};
        ::cfmakeraw(&raw);
        if (::openpty(&ours[0], &theirs[0], nullptr, &raw, nullptr) != 0)
            return -1;
        ours[1] = ours[0];
        theirs[1] = theirs[0];
    } else {
        int toPeer[2] = {-1, -1}, fromPeer[2];
        if (::pipe(toPeer) != 0 || ::pipe(fromPeer) != 0) {
            closePair(toPeer[0], toPeer[1]);
            return -1;
        }
        ours[0] = fromPeer[0], ours[1] = toPeer[1], theirs[0] = toPeer[0], theirs[1] = fromPeer[1];
    }
    for (const int fd : {ours[0], ours[1], theirs[0], theirs[1]})
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid(); // a group of its own, which signals reach as a whole
        if (link == PeerLink::Pty)
            ::ioctl(theirs[0], TIOCSCTTY, 0);
        ::dup2(theirs[0], 0);
        ::dup2(theirs[1], 1);
        ::dup2(errFd >= 0 ? errFd : ::open("/dev/null", O_WRONLY), 2);
        if (!dir.isEmpty() && ::chdir(dir.constData()) != 0)
            ::_exit(126);
        ::signal(SIGPIPE, SIG_DFL);
        ::execl("/bin/sh", "sh", "-c", cmd.constData(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    // The pty's slave stays open on our side, as a remote shell keeps its terminal after the program
    // ends: when the last slave closes, the kernel may drop what the peer wrote just before (its
    // final ACK) instead of passing it on.
    if (link == PeerLink::Pty && slaveFd && pid > 0)
        *slaveFd = theirs[0];
    else
        closePair(theirs[0], theirs[1]);
    if (pid < 0) {
        closePair(ours[0], ours[1]);
        return -1;
    }
    for (const int fd : ours)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    *readFd = ours[0], *writeFd = ours[1];
    return pid;
}

// Reaps what has ended of a peer's process group; true once none is left.
static bool groupEnded(pid_t group)
{
    pid_t r = 0;
    while ((r = ::waitpid(-group, nullptr, WNOHANG)) > 0)
        ;
    return r < 0 && errno == ECHILD;
}

// Waits up to timeoutMs for a child to end: its exit code, 128+signal when killed, -1 when running.
int waitChild(pid_t pid, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (int status = 0;; ::usleep(500)) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if ((r < 0 && errno != EINTR) || clock.elapsed() >= timeoutMs)
            return -1;
    }
}

namespace {

// Reads the peer's output and writes what the send queue holds until the peer's whole group has
// ended and its last bytes are read, or until a stop.
class PeerWorker : public ConnectionWorker
{
public:
    using ConnectionWorker::ConnectionWorker;
    pid_t m_pid = -1;
    int m_readFd = -1, m_writeFd = -1;
    int m_lingerMs = 0; // behind a delay the peer's last bytes come this long after its end
    std::shared_ptr<std::atomic<int>> m_exitCode;
    std::shared_ptr<std::atomic<qint64>> m_endedNs; // on the steady clock

protected:
    void run() override
    {
        if (!beginRun())
            return;
        markConnected();
        QByteArray pending;
        char buf[65536];
        bool ended = false;
        int shellCode = -1;
        // Readable once the shell ends, so that its end is seen at once.
        const int pidFd = int(::syscall(SYS_pidfd_open, m_pid, 0));
        const bool oneFd = m_writeFd == m_readFd;
        QElapsedTimer quiet;
        quiet.start();
        while (keepRunning()) {
            if (!ended && shellCode < 0)
                shellCode = waitChild(m_pid, 0);
            // The program may outlive its shell by the moment it takes to say goodbye.
            if (!ended && shellCode >= 0 && groupEnded(m_pid)) {
                m_endedNs->store(std::chrono::steady_clock::now().time_since_epoch().count());
                m_exitCode->store(shellCode);
                ended = true;
            }
            for (QByteArray chunk; pending.size() < 65536 && m_link->takeFront(&chunk);)
                pending.append(chunk);
            const short out = pending.isEmpty() ? 0 : POLLOUT;
            pollfd fds[4] = {{m_readFd, short(POLLIN | (oneFd ? out : 0)), 0},
                             {m_link->waker.fd(), POLLIN, 0},
                             {shellCode < 0 ? pidFd : -1, POLLIN, 0},
                             {oneFd ? -1 : m_writeFd, out, 0}};
            if (::poll(fds, 4, ended ? m_lingerMs : (pidFd < 0 || shellCode >= 0 ? 5 : 1000)) < 0 && errno != EINTR)
                break;
            if (fds[1].revents & POLLIN)
                m_link->waker.drain();
            bool gotData = false;
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::read(m_readFd, buf, sizeof buf);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                    break; // end of file, or EIO once the pty's slave end is closed
                if ((gotData = n > 0))
                    emit sigData(QByteArray(buf, int(n)));
            }
            if ((fds[0].revents | fds[3].revents) & POLLOUT) {
                const ssize_t n = ::write(m_writeFd, pending.constData(), size_t(pending.size()));
                if (n > 0)
                    pending.remove(0, int(n));
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    pending.clear(); // the peer is gone
            }
            if (gotData || !ended)
                quiet.restart();
            else if (quiet.elapsed() >= m_lingerMs)
                break; // its last bytes are read
        }
        closePair(pidFd, -1);
        emit sigDisconnected();
        finishRun();
    }
};

// A Connection to a peer program built like the real transports (a worker thread owning the
// descriptors, a bounded send queue, queued signals), so a transfer is wired and timed as the
// main window has it.
class PeerConnection : public WorkerConnection
{
public:
    PeerConnection(QString command, QString workDir, PeerLink link, int delayMs)
        : m_command(std::move(command)), m_workDir(std::move(workDir)), m_link(link), m_delayMs(delayMs) {}
    ~PeerConnection() override
    {
        stopWorker();
        m_line.reset();
        if (m_pid > 0 && m_exitCode->load() < 0) {
            ::kill(-m_pid, SIGKILL);
            m_exitCode->store(waitChild(m_pid, 5000));
            groupEnded(m_pid);
        }
        closePair(m_readFd, m_writeFd);
        closePair(m_slaveFd, m_errFd);
    }
    bool open() override
    {
        // Programs outliving the shell come to us, not to init: the worker sees the last end.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        m_errFd = ::memfd_create("peer-stderr", MFD_CLOEXEC);
        m_pid = spawnPeer(m_command, m_workDir, m_link, &m_readFd, &m_writeFd, m_errFd, &m_slaveFd);
        if (m_pid > 0 && m_delayMs > 0)
            m_line = std::make_unique<DelayLine>(m_readFd, m_writeFd, LineShape{m_delayMs, 0});
        return m_pid > 0 && (!m_line || m_line->ours() >= 0) && WorkerConnection::open();
    }
    pid_t pid() const { return m_pid; }
    qint64 endedNs() const { return m_endedNs->load(); } // on the steady clock; 0 while it runs
    // Waits for the peer to end while handling events; its exit code as waitChild gives it.
    int waitForExit(int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (m_exitCode->load() < 0 && clock.elapsed() < timeoutMs) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (!isOpen() && m_exitCode->load() < 0) // the worker has stopped reaping: do it here
                m_exitCode->store(waitChild(m_pid, 0));
            ::usleep(300);
        }
        return m_exitCode->load();
    }
    QString stderrText() const
    {
        QByteArray text(16384, '\0');
        const ssize_t n = m_errFd < 0 ? 0 : ::pread(m_errFd, text.data(), size_t(text.size()), 0);
        return QString::fromLocal8Bit(text.left(n > 0 ? int(n) : 0)).trimmed();
    }

protected:
    ConnectionWorker *createWorker(std::shared_ptr<ConnectionLink> link) override
    {
        auto *worker = new PeerWorker(std::move(link));
        worker->m_pid = m_pid, worker->m_exitCode = m_exitCode;
        worker->m_readFd = m_line ? m_line->ours() : m_readFd;
        worker->m_writeFd = m_line ? m_line->ours() : m_writeFd;
        worker->m_lingerMs = m_line ? m_delayMs + 50 : 0;
        worker->m_endedNs = m_endedNs;
        return worker;
    }

private:
    QString m_command, m_workDir;
    PeerLink m_link;
    int m_delayMs = 0;
    std::unique_ptr<DelayLine> m_line;
    pid_t m_pid = -1;
    int m_readFd = -1, m_writeFd = -1, m_slaveFd = -1, m_errFd = -1;
    std::shared_ptr<std::atomic<int>> m_exitCode = std::make_shared<std::atomic<int>>(-1);
    std::shared_ptr<std::atomic<qint64>> m_endedNs = std::make_shared<std::atomic<qint64>>(0);
};

} // namespace

static QString shellQuote(QString text) { return '\'' + text.replace('\'', "'\\''") + '\''; }

static QString quotedList(const QStringList &files, bool namesOnly = false)
{
    QStringList quoted;
    for (const QString &f : files)
        quoted << shellQuote(namesOnly ? QFileInfo(f).fileName() : f);
    return quoted.join(' ');
}

qint64 totalSize(const QStringList &files)
{
    qint64 sum = 0;
    for (const QString &f : files)
        sum += QFileInfo(f).size();
    return sum;
}

// XMODEM carries no name: both sides name the file after the first one sent.
static QString xmodemName(const QStringList &files)
{
    return files.isEmpty() ? QStringLiteral("xmodem_recv.bin") : QFileInfo(files.first()).fileName();
}

static std::unique_ptr<InbandTransfer> makeTransfer(const QString &protocol, bool send, int *variant)
{
    *variant = protocol == "ymodem" ? XmodemTransfer::Ymodem
             : protocol == "xmodem-1k" ? (send ? XmodemTransfer::Xmodem1k : XmodemTransfer::Xmodem)
             : protocol == "xmodem" ? (send ? XmodemTransfer::Xmodem : XmodemTransfer::XmodemChecksum) : 0;
    if (protocol == "kermit" || protocol == "zmodem")
        return protocol == "kermit" ? std::unique_ptr<InbandTransfer>(new KermitTransfer) : std::make_unique<ZmodemTransfer>();
    const bool xmodemFamily = QStringList{"xmodem", "xmodem-crc", "xmodem-1k", "ymodem"}.contains(protocol);
    return xmodemFamily ? std::make_unique<XmodemTransfer>() : nullptr;
}

// The program that answers us: the receiver when we send, the sender of `files` else.
QString defaultPeerCommand(const QString &protocol, bool weSend, const QStringList &files)
{
    // gkermit with -P keeps names as given, so the sender names the files from their one folder.
    if (protocol == "kermit")
        return weSend ? QString("gkermit -i -P -q -r") : QString("cd %1 && gkermit -i -P -q -s %2")
            .arg(shellQuote(QFileInfo(files.value(0)).absolutePath()), quotedList(files, true));
    if (protocol == "zmodem")
        return weSend ? QString("rz -q -y") : "sz -q " + quotedList(files);
    if (protocol == "ymodem")
        return weSend ? QString("rb -q -y") : "sb -q -k " + quotedList(files);
    if (weSend)
        return QString("rx -q -y %1%2").arg(protocol == "xmodem" ? "" : "-c ", shellQuote(xmodemName(files)));
    return QString("sx -q %1%2").arg(protocol == "xmodem-1k" ? "-k " : "", shellQuote(files.value(0)));
}

QString peerCommand(const PeerRunPlan &plan)
{
    return plan.peerCommand.isEmpty() ? defaultPeerCommand(plan.protocol, plan.send, plan.files) : plan.peerCommand;
}

void PeerRunControl::hostSays(const QByteArray &text) const
{
    // The peer's own output: its terminal, or the pipe to us.
    QFile out(QStringLiteral("/proc/%1/fd/1").arg(peerPid));
    if (peerPid > 0 && out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        out.write(text);
}

PeerRunResult runAgainstPeer(const PeerRunPlan &plan,
                             const std::function<void(const QString &, PeerRunControl &)> &onStatus)
{
    PeerRunResult result;
    result.bytes = totalSize(plan.files);
    int variant = 0;
    const std::unique_ptr<InbandTransfer> transfer = makeTransfer(plan.protocol, plan.send, &variant);
    if (!transfer) {
        result.summary = QStringLiteral("unknown protocol %1").arg(plan.protocol);
        return result;
    }
    InbandTransfer *t = transfer.get();
    t->setManualClock(true);
    QString command = peerCommand(plan);
    // rx and rb empty their terminal as they exit, and with it, now and then, their last answer
    // before we read it. On a host a shell's prompt follows them, which tells our sender that the
    // receiver has left with every block taken; here the peer's shell says one.
    if (plan.send && plan.link == PeerLink::Pty && plan.peerCommand.isEmpty() && qobject_cast<XmodemTransfer *>(t))
        command = QStringLiteral("%1; s=$?; printf '$ '; exit $s").arg(command);
    const auto owned = std::make_unique<PeerConnection>(command, plan.peerDir, plan.link, plan.delayMs);
    PeerConnection *peer = owned.get();
    QElapsedTimer clock;
    clock.start();
    const qint64 startNs = std::chrono::steady_clock::now().time_since_epoch().count();
    if (!peer->open()) {
        result.summary = QStringLiteral("cannot start the peer: %1").arg(command);
        return result;
    }
    QEventLoop loop;
    QTimer seconds;
    bool finished = false;
    // Set once frozen, with what to do then; shared with the send function, which the transfer
    // (the last to go) may still call as it goes.
    const auto hold = std::make_shared<std::optional<std::function<void()>>>();
    PeerRunControl control;
    control.peerPid = peer->pid();
    control.cancel = [t] { t->cancel(); };
    control.tick = [t](int seconds) {
        for (int i = 0; i < seconds && t->isActive(); ++i)
            t->tick();
    };
    control.freeze = [hold, &seconds](std::function<void()> action) { *hold = std::move(action), seconds.stop(); };
    QObject::connect(t, &InbandTransfer::statusMessage, t, [&](const QString &, const QString &text) {
        result.statuses << text;
        if (onStatus)
            onStatus(text, control);
    });
    QObject::connect(t, &InbandTransfer::progressChanged, t,
                     [&](qint64 done, qint64, const QString &) { result.progressBytes = done; });
    QObject::connect(t, &InbandTransfer::resultReady, t,
                     [&](InbandTransfer::Outcome outcome, const QString &) { result.outcome = outcome; });
    QObject::connect(t, &InbandTransfer::transferFinished, t, [&](const QString &, bool ok, const QString &summary) {
        result.transferOk = ok;
        result.summary = summary;
        finished = true;
        loop.quit();
    });
    // Wired as the main window wires a session: received bytes reach feed() queued, and the send
    // function holds the connection by guarded pointer.
    const QMetaObject::Connection feedLink =
        QObject::connect(peer, &Connection::dataReceived, t, &InbandTransfer::feed, Qt::QueuedConnection);
    const TransferSendFn sendFn = [guarded = QPointer<Connection>(peer), hold](const QByteArray &bytes) {
        if (!*hold && guarded)
            guarded->write(bytes);
        else if (const std::function<void()> action = *hold ? std::exchange(**hold, nullptr) : nullptr)
            action();
    };
    // Paced by what the connection still holds, as in a session: without it
    // a window larger than the send queue would find part of itself dropped.
    // A closed connection holds nothing on its way, as a session's says.
    t->setBacklog([guarded = QPointer<Connection>(peer)]() -> qint64 {
        return guarded && guarded->isOpen() ? guarded->pendingBytes() : -1;
    });
    QObject::connect(&seconds, &QTimer::timeout, t, [t] { t->tick(); });
    seconds.start(1000);
    // Once the peer is gone and what it wrote last is fed (this runs behind those queued feeds),
    // our side's time-outs decide how the transfer ends, without real waiting.
    qint64 peerEndedNs = -1;
    QObject::connect(peer, &Connection::disconnected, &loop, [&] {
        peerEndedNs = peer->endedNs() > 0 ? peer->endedNs() - startNs : clock.nsecsElapsed();
        QMetaObject::invokeMethod(&loop, [&] {
            seconds.stop();
            for (; !finished && result.ticksAfterPeerEnded < 1000; ++result.ticksAfterPeerEnded)
                t->tick();
            if (!finished)
                t->cancel();
        }, Qt::QueuedConnection);
    });
    QTimer::singleShot(plan.timeoutMs, t, [t] { t->cancel(); }); // idle by then: nothing to cancel
    const bool nameless = plan.protocol.startsWith("xmodem"); // no name on the wire
    if (plan.send)
        t->startSend(sendFn, "xfer-peer", plan.files, variant);
    else
        t->startReceive(sendFn, "xfer-peer", nameless ? plan.receiveDir + '/' + xmodemName(plan.files) : plan.receiveDir, variant);
    if (!finished)
        loop.exec();
    const qint64 finishedNs = clock.nsecsElapsed();
    seconds.stop();
    QObject::disconnect(feedLink);
    t->disconnect(); // nothing here may hear from it any more, not even the cancel of its destructor
    result.peerExit = peer->waitForExit(10000);
    if (result.peerExit < 0) {
        ::kill(-peer->pid(), SIGKILL);
        result.peerExit = peer->waitForExit(5000);
    }
    // The time until the file is complete on the receiving side, as for the reference: a sender
    // waiting on a last answer does not count.
    result.seconds = (plan.send ? (peerEndedNs < 0 ? clock.nsecsElapsed() : peerEndedNs) : finishedNs) / 1e9;
    result.peerStderr = peer->stderrText();
    result.ok = result.transferOk && result.peerExit == 0;
    if (result.transferOk && !result.ok)
        result.summary = QStringLiteral("peer exited with %1").arg(result.peerExit);
    else if (!result.transferOk && plan.send && result.peerExit == 0)
        result.summary += QStringLiteral(" (the receiver exited with 0 first: its last answer was lost)");
    return result;
}
