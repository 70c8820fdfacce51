#include "platform/pty.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace platform {

bool pseudoTerminalsAvailable()
{
    static const bool available = [] {
        const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }();
    return available;
}

QString findExecutable(const QString &program)
{
    return QStandardPaths::findExecutable(program);
}

QStringList listedShells()
{
    QStringList shells;
    QFile file(QStringLiteral("/etc/shells"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return shells;
    while (!file.atEnd()) {
        const QString line = QString::fromLocal8Bit(file.readLine()).trimmed();
        const QFileInfo info(line);
        if (line.startsWith(QLatin1Char('/')) && info.isFile() && info.isExecutable() && !shells.contains(line))
            shells << line;
    }
    return shells;
}

QString loginShell()
{
    const QString shell = qEnvironmentVariable("SHELL");
    return listedShells().contains(shell) ? shell : QStringLiteral("/bin/sh");
}

namespace {

// NULL-terminated pointer arrays over byte arrays that outlive the fork.
std::vector<char *> pointersTo(std::vector<QByteArray> &strings)
{
    std::vector<char *> out;
    out.reserve(strings.size() + 1);
    for (QByteArray &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::vector<QByteArray> environmentWithTerm(const QByteArray &term)
{
    std::vector<QByteArray> env;
    for (char **e = environ; e && *e; ++e) {
        // The size comes from the terminal itself; stale values would win
        // over it in some programs.
        const QByteArray entry(*e);
        if (!entry.startsWith("TERM=") && !entry.startsWith("COLUMNS=") && !entry.startsWith("LINES="))
            env.push_back(entry);
    }
    env.push_back("TERM=" + (term.isEmpty() ? QByteArray("xterm-256color") : term));
    return env;
}

// Runs in the forked child: only async-signal-safe calls from here on.
[[noreturn]] void execChild(const char *path, char *const argv[], char *const envp[], int reportFd)
{
    // Qt and the caller may have changed these; a shell expects the defaults.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGCHLD, SIGTSTP, SIGTTIN, SIGTTOU, SIGWINCH})
        ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Descriptors of other connections must not keep their peers alive
    // through our shell; the report pipe closes itself on exec.
    if (reportFd > 3)
        ::close_range(3, unsigned(reportFd - 1), 0);
    ::close_range(unsigned(reportFd + 1), ~0U, 0);
    ::execve(path, argv, envp);
    const int e = errno;
    ssize_t ignored = ::write(reportFd, &e, sizeof e);
    (void)ignored;
    ::_exit(127);
}

} // namespace

PtyProcess::~PtyProcess()
{
    terminate(500);
}

bool PtyProcess::spawn(const QString &program, const QStringList &arguments, const QByteArray &term,
                       int cols, int rows, int *err)
{
    if (m_pid > 0) {
        *err = EBUSY;
        return false;
    }
    const QByteArray path = program.toLocal8Bit();
    std::vector<QByteArray> argStrings{path};
    for (const QString &a : arguments)
        argStrings.push_back(a.toLocal8Bit());
    std::vector<QByteArray> envStrings = environmentWithTerm(term);
    std::vector<char *> argv = pointersTo(argStrings);
    std::vector<char *> envp = pointersTo(envStrings);

    // The child writes its exec error here; a pipe that closes without data
    // means the program is running.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        *err = errno;
        return false;
    }
    winsize ws{};
    ws.ws_col = (unsigned short)qBound(1, cols, 0xffff);
    ws.ws_row = (unsigned short)qBound(1, rows, 0xffff);
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0) {
        *err = errno;
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (pid == 0)
        execChild(path.constData(), argv.data(), envp.data(), report[1]);

    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::close(report[1]);
    int childErr = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &childErr, sizeof childErr);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);

    m_master = master;
    m_pid = pid;
    m_reaped = false;
    m_pidFd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (n == sizeof childErr) {
        terminate(0);
        *err = childErr;
        return false;
    }
    return true;
}

bool PtyProcess::setWindowSize(int cols, int rows)
{
    winsize ws{};
    ws.ws_col = (unsigned short)qBound(1, cols, 0xffff);
    ws.ws_row = (unsigned short)qBound(1, rows, 0xffff);
    return m_master >= 0 && ::ioctl(m_master, TIOCSWINSZ, &ws) == 0;
}

bool terminalInputIsCooked(int masterFd)
{
    termios t{};
    if (masterFd < 0 || ::tcgetattr(masterFd, &t) != 0)
        return true;
    return (t.c_lflag & ISIG) != 0;
}

bool PtyProcess::inputIsCooked() const
{
    return terminalInputIsCooked(m_master);
}

bool PtyProcess::hasExited()
{
    if (m_reaped)
        return true;
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid || (r < 0 && errno == ECHILD))
        m_reaped = true;
    return m_reaped;
}

bool PtyProcess::waitExit(int timeoutMs)
{
    // Bounded steps: a pidfd wakes us at once, otherwise look every few ms.
    for (int waited = 0;; waited += 5) {
        if (hasExited())
            return true;
        if (waited >= timeoutMs)
            return false;
        if (m_pidFd >= 0) {
            pollfd p{m_pidFd, POLLIN, 0};
            ::poll(&p, 1, qMin(5, timeoutMs - waited));
        } else {
            ::usleep(5000);
        }
    }
}

void PtyProcess::terminate(int graceMs)
{
    if (m_pid > 0 && !hasExited()) {
        // The shell leads its own process group: its jobs hear it too. SIGCONT
        // lets a stopped shell act on the hang-up.
        ::kill(-m_pid, SIGHUP);
        ::kill(m_pid, SIGHUP);
        ::kill(m_pid, SIGCONT);
        if (!waitExit(graceMs)) {
            ::kill(-m_pid, SIGKILL);
            ::kill(m_pid, SIGKILL);
            waitExit(2000);
        }
    }
    closeDescriptors();
}

void PtyProcess::closeDescriptors()
{
    if (m_master >= 0)
        ::close(m_master);
    if (m_pidFd >= 0)
        ::close(m_pidFd);
    m_master = m_pidFd = -1;
    if (m_reaped)
        m_pid = -1;
}

} // namespace platform
