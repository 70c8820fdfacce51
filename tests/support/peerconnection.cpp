#include "tests/support/peerconnection.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

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

namespace {

void setFlags(int fd)
{
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

[[noreturn]] void execShell(const QByteArray &command, const QByteArray &dir, int errFd)
{
    if (errFd >= 0)
        ::dup2(errFd, 2);
    else {
        const int devNull = ::open("/dev/null", O_WRONLY);
        ::dup2(devNull, 2);
    }
    if (!dir.isEmpty() && ::chdir(dir.constData()) != 0)
        ::_exit(126);
    ::signal(SIGPIPE, SIG_DFL);
    ::execl("/bin/sh", "sh", "-c", command.constData(), static_cast<char *>(nullptr));
    ::_exit(127);
}

} // namespace

pid_t spawnPeer(const QString &command, const QString &workDir, PeerLink link, int *readFd, int *writeFd, int errFd,
                int *slaveFd)
{
    const QByteArray cmd = command.toLocal8Bit();
    const QByteArray dir = QFile::encodeName(workDir);
    if (link == PeerLink::Pty) {
        int master = -1;
        int slave = -1;
        termios raw{};
        ::cfmakeraw(&raw);
        if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0)
            return -1;
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setsid();
            ::ioctl(slave, TIOCSCTTY, 0);
            ::dup2(slave, 0);
            ::dup2(slave, 1);
            execShell(cmd, dir, errFd);
        }
        if (pid < 0) {
            ::close(slave);
            ::close(master);
            return -1;
        }
        // The slave stays open on our side until the caller closes it, as a
        // remote shell keeps its terminal after the peer program ends: when
        // the last slave descriptor closes the kernel may drop what the peer
        // wrote just before (its final ACK) instead of passing it on.
        if (slaveFd)
            *slaveFd = slave;
        else
            ::close(slave);
        setFlags(master);
        *readFd = *writeFd = master;
        return pid;
    }
    int toPeer[2];
    int fromPeer[2];
    if (::pipe2(toPeer, O_CLOEXEC) != 0)
        return -1;
    if (::pipe2(fromPeer, O_CLOEXEC) != 0) {
        ::close(toPeer[0]);
        ::close(toPeer[1]);
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid(); // a group of its own, which signals reach as a whole
        ::dup2(toPeer[0], 0);
        ::dup2(fromPeer[1], 1);
        execShell(cmd, dir, errFd);
    }
    ::close(toPeer[0]);
    ::close(fromPeer[1]);
    if (pid < 0) {
        ::close(toPeer[1]);
        ::close(fromPeer[0]);
        return -1;
    }
    setFlags(toPeer[1]);
    setFlags(fromPeer[0]);
    *writeFd = toPeer[1];
    *readFd = fromPeer[0];
    return pid;
}

bool groupEnded(pid_t group)
{
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(-group, &status, WNOHANG);
        if (r > 0)
            continue;
        return r < 0 && errno == ECHILD;
    }
}

int waitChild(pid_t pid, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno != EINTR)
            return -1;
        if (clock.elapsed() >= timeoutMs)
            return -1;
        ::usleep(500);
    }
}

namespace {

// Reads the peer's output and writes what the send queue holds until the
// peer has ended and its last bytes are read, or until a stop.
class PeerWorker : public ConnectionWorker
{
public:
    PeerWorker(std::shared_ptr<ConnectionLink> link, pid_t pid, int readFd, int writeFd,
               std::shared_ptr<std::atomic<int>> exitCode)
        : ConnectionWorker(std::move(link))
        , m_pid(pid)
        , m_readFd(readFd)
        , m_writeFd(writeFd)
        , m_exitCode(std::move(exitCode))
    {
    }

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
        // A descriptor that turns readable when the peer ends, so that its
        // end is seen at once; without one, a short poll interval does.
        const int pidFd = int(::syscall(SYS_pidfd_open, m_pid, 0));
        while (keepRunning()) {
            if (!ended) {
                if (shellCode < 0)
                    shellCode = waitChild(m_pid, 0);
                // The program may outlive its shell by the moment it takes
                // to say goodbye (a signal reaches the whole group at once).
                if (shellCode >= 0 && groupEnded(m_pid)) {
                    m_exitCode->store(shellCode);
                    ended = true;
                }
            }
            QByteArray chunk;
            while (pending.size() < 65536 && m_link->takeFront(&chunk))
                pending.append(chunk);
            pollfd fds[2] = {{m_readFd, POLLIN, 0}, {m_link->waker.fd(), POLLIN, 0}};
            if (!pending.isEmpty() && m_writeFd == m_readFd)
                fds[0].events |= POLLOUT;
            const bool separateOut = !pending.isEmpty() && m_writeFd != m_readFd;
            pollfd all[4] = {fds[0], fds[1], {pidFd, POLLIN, 0}, {m_writeFd, POLLOUT, 0}};
            if (shellCode >= 0 || pidFd < 0)
                all[2].fd = -1;
            if (!separateOut)
                all[3].fd = -1;
            const int r = ::poll(all, 4, ended ? 0 : (pidFd < 0 || shellCode >= 0 ? 5 : 1000));
            if (r < 0 && errno != EINTR)
                break;
            if (all[1].revents & POLLIN)
                m_link->waker.drain();
            bool gotData = false;
            if (all[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::read(m_readFd, buf, sizeof buf);
                if (n > 0) {
                    emit sigData(QByteArray(buf, int(n)));
                    gotData = true;
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    break; // end of file, or EIO once the pty's slave end is closed
                }
            }
            if (!pending.isEmpty() && ((all[0].revents & POLLOUT) || (separateOut && (all[3].revents & POLLOUT)))) {
                const ssize_t n = ::write(m_writeFd, pending.constData(), size_t(pending.size()));
                if (n > 0)
                    pending.remove(0, int(n));
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    pending.clear(); // the peer is gone
            }
            if (ended && !gotData)
                break; // its last bytes are read
        }
        if (pidFd >= 0)
            ::close(pidFd);
        emit sigDisconnected();
        finishRun();
    }

private:
    pid_t m_pid;
    int m_readFd;
    int m_writeFd;
    std::shared_ptr<std::atomic<int>> m_exitCode;
};

} // namespace

PeerConnection::PeerConnection(QString command, QString workDir, PeerLink link, QObject *parent)
    : WorkerConnection(parent)
    , m_command(std::move(command))
    , m_workDir(std::move(workDir))
    , m_link(link)
    , m_exitCode(std::make_shared<std::atomic<int>>(-1))
{
}

PeerConnection::~PeerConnection()
{
    stopWorker();
    if (m_pid > 0 && m_exitCode->load() < 0) {
        ::kill(-m_pid, SIGKILL);
        m_exitCode->store(waitChild(m_pid, 5000));
        groupEnded(m_pid);
    }
    for (const int fd : {m_readFd, m_writeFd == m_readFd ? -1 : m_writeFd, m_slaveFd, m_errFd}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool PeerConnection::open()
{
    // Programs that outlive the shell come to us, not to init, so that the
    // worker can tell when the last of them has ended.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    m_errFd = ::memfd_create("peer-stderr", MFD_CLOEXEC);
    m_pid = spawnPeer(m_command, m_workDir, m_link, &m_readFd, &m_writeFd, m_errFd, &m_slaveFd);
    if (m_pid < 0)
        return false;
    return WorkerConnection::open();
}

ConnectionWorker *PeerConnection::createWorker(std::shared_ptr<ConnectionLink> link)
{
    return new PeerWorker(std::move(link), m_pid, m_readFd, m_writeFd, m_exitCode);
}

int PeerConnection::waitForExit(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (m_exitCode->load() < 0 && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!isOpen()) {
            // The worker has stopped reaping: do it here.
            const int code = waitChild(m_pid, 0);
            if (code >= 0)
                m_exitCode->store(code);
        }
        ::usleep(300);
    }
    return m_exitCode->load();
}

QString PeerConnection::stderrText() const
{
    if (m_errFd < 0)
        return QString();
    QByteArray text(16384, '\0');
    const ssize_t n = ::pread(m_errFd, text.data(), size_t(text.size()), 0);
    return QString::fromLocal8Bit(text.left(n > 0 ? int(n) : 0)).trimmed();
}
