#include "ptypeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::~PtyPeer()
{
    if (m_pid > 0 && m_exit < 0)
        finish(0);
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool PtyPeer::start(const QString &command, const QString &workDir)
{
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&m_master, &m_slave, nullptr, &raw, nullptr) != 0)
        return false;
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    const QByteArray cmd = command.toLocal8Bit();
    const QByteArray dir = QFile::encodeName(workDir);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::setsid();
        ::ioctl(m_slave, TIOCSCTTY, 0);
        ::dup2(m_slave, 0);
        ::dup2(m_slave, 1);
        const int devNull = ::open("/dev/null", O_WRONLY);
        ::dup2(devNull, 2);
        if (::chdir(dir.constData()) != 0)
            ::_exit(126);
        ::signal(SIGPIPE, SIG_DFL);
        ::execl("/bin/sh", "sh", "-c", cmd.constData(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    // Our copy of the slave stays open until the peer has ended: closing the
    // last one could drop what the peer wrote just before it exited.
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    return m_pid > 0;
}

void PtyPeer::write(const QByteArray &bytes)
{
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += int(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{m_master, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0)
                return; // the peer stopped reading: what is left is lost, as on a stuck line
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

int PtyPeer::finish(int timeoutMs)
{
    if (m_exit >= 0 || m_pid <= 0)
        return m_exit;
    QElapsedTimer clock;
    clock.start();
    char sink[4096];
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_exit;
        }
        if (clock.elapsed() >= timeoutMs) {
            ::kill(m_pid, SIGKILL);
            ::kill(m_pid, SIGCONT);
            ::waitpid(m_pid, &status, 0);
            m_exit = -1;
            m_pid = -1;
            return -1;
        }
        while (::read(m_master, sink, sizeof sink) > 0) {
        }
        ::usleep(2000);
    }
}

KermitRun runKermit(const QString &peerCommand, const QString &peerDir,
                    const std::function<void(KermitTransfer &, TransferSendFn)> &start, const KermitRunHook &hook,
                    int timeoutMs)
{
    KermitRun run;
    PtyPeer peer;
    if (!peer.start(peerCommand, peerDir)) {
        run.summary = QStringLiteral("cannot start %1").arg(peerCommand);
        return run;
    }
    KermitTransfer transfer;
    QEventLoop loop;
    QObject::connect(&transfer, &KermitTransfer::statusMessage, &loop, [&](const QString &, const QString &text) {
        run.statuses << text;
        if (hook)
            hook(text, transfer, peer);
    });
    QObject::connect(&transfer, &KermitTransfer::transferFinished, &loop,
                     [&](const QString &, bool ok, const QString &summary) {
                         run.ok = ok;
                         run.summary = summary;
                         ++run.finishedCount;
                         QTimer::singleShot(0, &loop, &QEventLoop::quit);
                     });
    QSocketNotifier notifier(peer.fd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
        char buf[16384];
        const ssize_t n = ::read(peer.fd(), buf, sizeof buf);
        if (n > 0) {
            QMetaObject::invokeMethod(&transfer, "feed", Qt::QueuedConnection,
                                      Q_ARG(QByteArray, QByteArray(buf, int(n))));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            notifier.setEnabled(false);
        }
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] { transfer.cancel(); });
    deadline.start(timeoutMs);
    start(transfer, [&peer](const QByteArray &bytes) { peer.write(bytes); });
    if (run.finishedCount == 0)
        loop.exec();
    notifier.setEnabled(false);
    run.peerExit = peer.finish(10000);
    return run;
}

QString shellQuote(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}
