#include "connections/localshellconnection.h"

#include "core/languagemanager.h"
#include "platform/pty.h"
#include "platform/serialport.h"

#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <unistd.h>
#include <utility>

namespace {

std::atomic<bool> g_ptyDisabled{false};

// How long a shell may take to act on SIGHUP before it is killed.
constexpr int kHangupGraceMs = 500;
constexpr int kReadBufferSize = 16384;
constexpr int kTtyBufferSize = 4096;
constexpr qsizetype kBatchBytes = 64 * 1024;
// Larger writes (pastes, transfers) go through the worker, which paces them.
constexpr qsizetype kDirectWriteMax = 4096;

} // namespace

// Runs the shell on a pseudo-terminal. One thread does all the pumping: it
// sleeps in poll on the terminal, the wake descriptor and the child's exit
// descriptor, so output, typed keys, resizes and the stop request are all
// handled the moment they happen.
class LocalShellConnection::Worker : public ConnectionWorker
{
public:
    Worker(std::shared_ptr<ConnectionLink> link, const QString &shell, const QByteArray &term)
        : ConnectionWorker(std::move(link)), m_shell(shell), m_term(term)
    {
    }

protected:
    void run() override;

private:
    bool startShell(platform::PtyProcess &pty);
    void pump(platform::PtyProcess &pty);
    // Reads what the terminal holds; false once the shell side has closed.
    bool readOutput(int fd, bool untilEmpty);
    void handOn(bool now);
    void finish();

    QString m_shell;
    QByteArray m_term;
    char m_buffer[kReadBufferSize];
    QByteArray m_batch; // read, not yet handed on
};

void LocalShellConnection::Worker::run()
{
    ConnectionLink &l = link();
    if (l.stopRequested.load())
        return;
    l.running.store(true);
    platform::PtyProcess pty;
    if (!startShell(pty))
        return finish();
    if (!keepRunning()) {
        pty.terminate(kHangupGraceMs);
        return finish();
    }
    l.connectedFlag.store(true);
    emit sigConnected();
    const auto publish = [&l](int fd) {
        std::lock_guard<std::mutex> lock(l.queueMutex);
        l.directFd = fd;
    };
    publish(pty.masterFd());
    pump(pty);
    publish(-1); // before the terminal closes
    pty.terminate(kHangupGraceMs);
    finish();
}

void LocalShellConnection::Worker::finish()
{
    link().connectedFlag.store(false);
    link().running.store(false);
    emit sigDisconnected();
}

bool LocalShellConnection::Worker::startShell(platform::PtyProcess &pty)
{
    ConnectionLink &l = link();
    if (l.waker.fd() < 0) {
        emit sigError(LanguageManager::tr("创建停止事件失败：%1").arg(QStringLiteral("eventfd")));
        return false;
    }
    QString unavailable;
    const QStringList command = shellCommandLine(m_shell, &unavailable);
    if (command.isEmpty()) {
        emit sigError(LanguageManager::tr("%1 在此系统上不可用").arg(unavailable));
        return false;
    }
    // A resize made while we were starting is already in the size we spawn with.
    l.resizePending.store(false);
    int err = 0;
    if (!pty.spawn(command.first(), command.mid(1), m_term, l.pendingCols.load(), l.pendingRows.load(), &err)) {
        emit sigError(LanguageManager::tr("启动 Shell 失败：%1").arg(platform::systemErrorText(err)));
        return false;
    }
    return true;
}

bool LocalShellConnection::Worker::readOutput(int fd, bool untilEmpty)
{
    // The line discipline hands over at most its buffer (4 KiB) a read. A
    // read that comes back short has taken all there was: asking again only
    // earns EAGAIN, and reading less often lets the writer fill the buffer.
    bool open = true;
    while (untilEmpty || m_batch.size() < kBatchBytes) {
        const ssize_t n = ::read(fd, m_buffer, sizeof m_buffer);
        if (n > 0) {
            m_batch.append(m_buffer, int(n));
            if (!untilEmpty && n < kTtyBufferSize)
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // EAGAIN: drained. EIO or end of file: every holder of the far side
        // has closed it.
        open = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        break;
    }
    handOn(untilEmpty || !open);
    return open;
}

// An echo goes at once: the window has nothing else. A stream goes in blocks
// of up to kBatchBytes, each when the window has taken the one before, not a
// signal and a wake-up of the window for every read.
void LocalShellConnection::Worker::handOn(bool now)
{
    ConnectionLink &l = link();
    if (m_batch.isEmpty())
        return;
    if (!now && m_batch.size() < kBatchBytes) {
        l.holdingData = true;
        // Set before looking: the window either sees it when it catches up,
        // or has caught up already.
        if (l.inFlight.load() > 0)
            return;
    }
    l.holdingData = false;
    emit sigData(std::exchange(m_batch, QByteArray()));
}

void LocalShellConnection::Worker::pump(platform::PtyProcess &pty)
{
    ConnectionLink &l = link();
    const int master = pty.masterFd();
    QByteArray out; // the chunk being written, from offset sent on
    qsizetype sent = 0;
    while (keepRunning()) {
        if (l.resizePending.exchange(false))
            pty.setWindowSize(l.pendingCols.load(), l.pendingRows.load());
        // Programs that set the terminal raw (file transfers) get the bytes
        // unchanged, and so does a transfer that runs before its peer has
        // gone raw; the shell's line editor gets one CR per line.
        const auto next = [&] {
            out.clear();
            sent = 0;
            QByteArray chunk;
            if (l.takeFront(&chunk))
                out = pty.inputIsCooked() && !l.transparent ? toTerminalLineEnds(chunk) : chunk;
            return !out.isEmpty();
        };
        if (sent >= out.size())
            next();
        pollfd fds[3] = {
            {master, short((l.mayRead() ? POLLIN : 0) | (out.isEmpty() ? 0 : POLLOUT)), 0},
            {l.waker.fd(), POLLIN, 0},
            {pty.exitFd(), POLLIN, 0}, // a negative descriptor is skipped
        };
        const int rc = ::poll(fds, 3, pty.exitFd() < 0 ? 100 : -1);
        if (rc < 0 && errno != EINTR)
            break;
        if (rc <= 0) {
            if (pty.hasExited())
                break;
            continue;
        }
        if (fds[1].revents & POLLIN) {
            l.waker.drain(); // whatever woke us is looked at on the next pass
            handOn(false);
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !readOutput(master, false))
            return;
        // Written until the terminal takes no more, chunk after chunk.
        while ((fds[0].revents & POLLOUT) && (sent < out.size() || next())) {
            const ssize_t want = out.size() - sent;
            const ssize_t n = ::write(master, out.constData() + sent, size_t(want));
            if (n > 0) {
                sent += n;
                if (n < want)
                    break; // the terminal is full; the next POLLOUT says when it has room
            } else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && errno != EAGAIN)
                sent = out.size(); // the terminal refused it: drop the rest of the chunk
            else
                break;
        }
        if (fds[2].revents & POLLIN)
            break;
    }
    // The shell has exited: what it wrote last is still in the terminal.
    if (!l.stopRequested.load())
        readOutput(master, true);
    handOn(true);
}

LocalShellConnection::LocalShellConnection(QObject *parent)
    : WorkerConnection(parent)
{
    m_rows = 25;
}

LocalShellConnection::~LocalShellConnection()
{
    close();
}

bool LocalShellConnection::isConPtySupported()
{
    return !g_ptyDisabled.load() && platform::pseudoTerminalsAvailable();
}

void LocalShellConnection::setPseudoTerminalDisabled(bool disabled)
{
    g_ptyDisabled.store(disabled);
}

QStringList LocalShellConnection::shellCommandLine(const QString &name, QString *unavailable)
{
    const QString trimmed = name.trimmed();
    // A path names the program itself; whether it runs is for the start to say.
    if (trimmed.startsWith(QLatin1Char('/')))
        return {trimmed};
    const QString n = trimmed.toLower();
    QString missing;
    if (n.contains(QLatin1String("powershell")) || n.contains(QLatin1String("pwsh"))) {
        // PowerShell exists beyond Windows only as "pwsh".
        const QString pwsh = platform::findExecutable(QStringLiteral("pwsh"));
        if (!pwsh.isEmpty())
            return {pwsh, QStringLiteral("-NoLogo"), QStringLiteral("-NoProfile"), QStringLiteral("-NoExit")};
        missing = QStringLiteral("powershell.exe");
    } else if (n.contains(QLatin1String("wsl"))) {
        missing = QStringLiteral("wsl.exe");
    }
    if (!missing.isEmpty()) {
        if (unavailable)
            *unavailable = missing;
        return {};
    }
    for (const QString &shell : platform::listedShells()) {
        if (QFileInfo(shell).fileName().toLower() == n)
            return {shell};
    }
    if (n.contains(QLatin1String("bash")))
        return {QStringLiteral("/bin/bash")};
    // "cmd", an empty name and anything unknown: the user's own shell.
    return {platform::loginShell()};
}

QByteArray LocalShellConnection::toTerminalLineEnds(const QByteArray &data)
{
    QByteArray out = data;
    out.replace("\r\n", "\r");
    out.replace('\n', '\r');
    return out;
}

QByteArray LocalShellConnection::toProcessLineEnds(const QByteArray &data)
{
    // A program on a pipe reads lines ending in LF; a CR left in front of it
    // would become part of the last word of every command.
    QByteArray out = data;
    out.replace("\r\n", "\n");
    out.replace('\r', '\n');
    return out;
}

ConnectionWorker *LocalShellConnection::createWorker(std::shared_ptr<ConnectionLink> link)
{
    return new Worker(std::move(link), m_shell, m_term.toLocal8Bit());
}

bool LocalShellConnection::open()
{
    endProcess();
    if (isConPtySupported())
        return WorkerConnection::open();
    stopWorker();
    startProcess();
    return true;
}

void LocalShellConnection::close()
{
    WorkerConnection::close();
    endProcess();
}

void LocalShellConnection::endProcess()
{
    QProcess *p = m_process;
    if (!p)
        return;
    releaseProcess();
    p->terminate();
    if (!p->waitForFinished(500)) {
        p->kill();
        p->waitForFinished(2000);
    }
}

void LocalShellConnection::write(const QByteArray &data)
{
    if (data.isEmpty())
        return;
    if (m_worker) {
        if (!writeDirect(data))
            WorkerConnection::write(data);
    } else if (m_process && m_process->state() == QProcess::Running) {
        m_process->write(m_link->transparent ? data : toProcessLineEnds(data));
    }
    // Neither: the shell is gone; typed bytes have nowhere to go.
}

// A typed key goes into the terminal from this thread when nothing waits
// before it: through the worker it would wait for that thread to be woken and
// scheduled, which a loaded machine makes the longest part of an echo.
bool LocalShellConnection::writeDirect(const QByteArray &data)
{
    if (data.size() > kDirectWriteMax)
        return false;
    ConnectionLink &l = *m_link;
    std::lock_guard<std::mutex> lock(l.queueMutex);
    // A size change waiting for the worker goes in first, as it would have.
    if (l.directFd < 0 || l.chunkInHand || !l.sendQueue.empty() || l.resizePending)
        return false;
    const QByteArray bytes = platform::terminalInputIsCooked(l.directFd) && !l.transparent ? toTerminalLineEnds(data) : data;
    ssize_t n;
    do {
        n = ::write(l.directFd, bytes.constData(), size_t(bytes.size()));
    } while (n < 0 && errno == EINTR);
    if (n == bytes.size())
        return true;
    // The terminal is full: the worker writes the rest as it makes room.
    const QByteArray rest = bytes.mid(qMax<ssize_t>(n, 0));
    l.sendQueue.push_back(rest);
    l.queuedBytes += rest.size();
    l.waker.wake();
    return true;
}

qint64 LocalShellConnection::pendingBytes() const
{
    return m_process ? m_process->bytesToWrite() : WorkerConnection::pendingBytes();
}

void LocalShellConnection::startProcess()
{
    QString unavailable;
    const QStringList command = shellCommandLine(m_shell, &unavailable);
    if (command.isEmpty()) {
        // Reported after open() returns, as a failing start would be.
        QMetaObject::invokeMethod(this, [this, unavailable] {
            emit connectionError(LanguageManager::tr("%1 在此系统上不可用").arg(unavailable));
            emit disconnected();
        }, Qt::QueuedConnection);
        return;
    }
    auto *p = new QProcess(this);
    m_process = p;
    p->setProcessChannelMode(QProcess::MergedChannels);
    p->setProgram(command.first());
    p->setArguments(command.mid(1));
    connect(p, &QProcess::started, this, [this] {
        m_link->connectedFlag.store(true);
        emit connected();
    });
    connect(p, &QProcess::readyReadStandardOutput, this, [this, p] {
        const QByteArray data = p->readAllStandardOutput();
        if (!data.isEmpty())
            emit dataReceived(data);
    });
    connect(p, &QProcess::finished, this, [this, p] {
        if (m_process != p)
            return;
        releaseProcess();
        emit disconnected();
    });
    connect(p, &QProcess::errorOccurred, this, [this, p](QProcess::ProcessError error) {
        if (m_process != p)
            return;
        emit connectionError(error == QProcess::FailedToStart
                                 ? LanguageManager::tr("无法启动本地 Shell：%1（请确认该程序已在 PATH 中）").arg(m_shell)
                                 : LanguageManager::tr("本地 Shell 进程错误：%1").arg(int(error)));
        releaseProcess();
        emit disconnected();
    });
    p->start(QIODevice::ReadWrite);
}

void LocalShellConnection::releaseProcess()
{
    QProcess *p = m_process;
    m_process = nullptr;
    if (!p)
        return;
    disconnect(p, nullptr, this, nullptr);
    p->deleteLater();
    m_link->connectedFlag.store(false);
}
