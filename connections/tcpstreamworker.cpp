#include "connections/tcpstreamworker.h"

#include "core/debuglog.h"

#include <cerrno>

namespace {
// As much as loopback or a fast link holds at once: a smaller read means more
// passes of the loop, each with its poll and its signal to the window.
constexpr int kReadChunk = 64 * 1024;
constexpr int kPassTimeoutMs = 100;
// Queued chunks are taken while less than this waits for the socket...
constexpr qsizetype kRefillBelow = 256 * 1024;
// ...and reading pauses above this: only answers to what the peer sends
// (Telnet negotiation) grow it while the peer does not read.
constexpr qsizetype kReadPauseAbove = 4 * 1024 * 1024;

bool isPeerGone(int err)
{
    return err == ECONNRESET || err == EPIPE;
}
} // namespace

TcpStreamWorker::TcpStreamWorker(std::shared_ptr<ConnectionLink> link, Target target)
    : ConnectionWorker(std::move(link))
    , m_target(std::move(target))
{
}

bool TcpStreamWorker::sendNow(const QByteArray &bytes)
{
    if (m_sendError)
        return false;
    if (m_outAt > 0 && m_outAt == m_out.size()) {
        m_out.clear();
        m_outAt = 0;
    } else if (m_outAt > kRefillBelow) {
        m_out.remove(0, m_outAt);
        m_outAt = 0;
    }
    m_out += bytes;
    return flush();
}

bool TcpStreamWorker::flush()
{
    while (unsent() > 0) {
        const ssize_t n = platform::sendSome(m_fd, m_out.constData() + m_outAt, size_t(unsent()));
        if (n > 0) {
            m_outAt += n;
            continue;
        }
        if (n < 0 && platform::isWouldBlock(errno))
            return true;
        m_sendError = n < 0 ? errno : EPIPE;
        return false;
    }
    m_out.clear();
    m_outAt = 0;
    return true;
}

void TcpStreamWorker::reportSendError()
{
    if (m_sendError == ECANCELED || !keepRunning())
        return; // a stop, not a failure
    if (isPeerGone(m_sendError))
        emit sigDisconnected();
    else
        emit sigError(sendErrorText(m_sendError));
}

void TcpStreamWorker::run()
{
    if (!beginRun())
        return;
    ConnectPlan plan;
    plan.bindPortLow = m_target.bindPortLow;
    plan.bindPortHigh = m_target.bindPortHigh;
    m_fd = connectToHost(m_target.host, m_target.port, plan);
    if (m_fd < 0) {
        finishRun();
        return;
    }
    // A transport that does not read urgent data itself gets it in order
    // with the rest: a Telnet Synch's DM, a raw peer's urgent byte.
    if (!wantsUrgent())
        platform::keepUrgentInline(m_fd);
    ConnectionLink &shared = link();
    if (sendNow(greeting()))
        markConnected();

    QByteArray buffer(kReadChunk, Qt::Uninitialized);
    QByteArray chunk;
    while (keepRunning() && !linkFailed()) {
        // Drain the waker before looking at the flags and the queue: a wake
        // that comes after this point leaves it readable for the wait below.
        shared.waker.drain();
        if (shared.resizePending.exchange(false))
            sizeChanged();
        eachPass();
        while (unsent() < kRefillBelow && !linkFailed() && keepRunning() && shared.takeFront(&chunk))
            sendNow(encodeOutgoing(chunk));
        if (linkFailed() || !keepRunning())
            break;

        // Unread input makes the kernel close the peer's TCP window.
        const bool reading = unsent() < kReadPauseAbove && shared.mayRead();
        const int seen = platform::waitSocket(m_fd, reading, unsent() > 0, kPassTimeoutMs, &shared.waker, wantsUrgent());
        if ((seen & platform::WaitWritable) && !flush())
            break;
        if (seen & platform::WaitUrgent) {
            char byte = 0;
            if (platform::recvUrgent(m_fd, &byte) == 1)
                urgentByte(quint8(byte));
        }
        if (!(seen & (platform::WaitReadable | platform::WaitError)))
            continue;
        const ssize_t n = platform::recvSome(m_fd, buffer.data(), size_t(buffer.size()));
        if (n > 0) {
            const QByteArray data = decodeIncoming(QByteArray(buffer.constData(), int(n)));
            if (!data.isEmpty())
                emit sigData(data);
            continue;
        }
        const int err = n == 0 ? 0 : errno;
        if (n < 0 && platform::isWouldBlock(err))
            continue;
        if (!keepRunning())
            break;
        if (n == 0 || err == ECONNRESET)
            emit sigDisconnected();
        else
            emit sigError(readErrorText(err));
        break;
    }
    if (linkFailed())
        reportSendError();
    if (debugLogEnabled())
        debugLog(QStringLiteral("tcp worker %1:%2 ends").arg(m_target.host, QString::number(m_target.port)));
    platform::closeSocket(m_fd);
    m_fd = -1;
    finishRun();
}
