#include "platform/socket.h"

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {

Waker::Waker()
    : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

Waker::~Waker()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void Waker::wake()
{
    const uint64_t one = 1;
    // A full counter still reads as "woken": nothing to do on EAGAIN.
    while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Waker::drain()
{
    uint64_t value;
    while (::read(m_fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

QString SocketAddress::text() const
{
    char host[INET6_ADDRSTRLEN] = {0};
    quint16 port = 0;
    if (family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&storage);
        ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        port = ntohs(a->sin_port);
        return QStringLiteral("%1:%2").arg(QLatin1String(host), QString::number(port));
    }
    if (family == AF_INET6) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(&storage);
        ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        port = ntohs(a->sin6_port);
        return QStringLiteral("[%1]:%2").arg(QLatin1String(host), QString::number(port));
    }
    return QString();
}

QList<SocketAddress> resolveTcp(const QString &host, quint16 port, ResolveError *error)
{
    QList<SocketAddress> out;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *list = nullptr;
    const QByteArray service = QByteArray::number(port);
    const int rc = ::getaddrinfo(host.toUtf8().constData(), service.constData(), &hints, &list);
    if (rc != 0) {
        if (error)
            *error = {QString::fromLocal8Bit(::gai_strerror(rc)), rc};
        return out;
    }
    for (addrinfo *ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        SocketAddress a;
        std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
        a.length = ai->ai_addrlen;
        a.family = ai->ai_family;
        a.type = ai->ai_socktype;
        out.append(a);
    }
    ::freeaddrinfo(list);
    if (out.isEmpty() && error)
        *error = {QStringLiteral("no address"), 0};
    return out;
}

QList<SocketAddress> resolveTcpCancellable(const QString &host, quint16 port, const std::atomic<bool> *running,
                                           const Waker *waker, ResolveError *error, bool *cancelled,
                                           TcpResolver resolver)
{
    struct Lookup {
        std::mutex mutex;
        bool done = false;               // guarded by mutex
        QList<SocketAddress> addresses;  // guarded by mutex
        ResolveError error;              // guarded by mutex
        Waker finished;
    };
    if (cancelled)
        *cancelled = false;
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host, port, resolver] {
            ResolveError error;
            QList<SocketAddress> addresses = resolver(host, port, &error);
            {
                std::lock_guard<std::mutex> lock(lookup->mutex);
                lookup->addresses = std::move(addresses);
                lookup->error = error;
                lookup->done = true;
            }
            lookup->finished.wake();
        }).detach();
    } catch (const std::system_error &) {
        // No thread to spare: resolve here, uninterruptible but correct.
        return resolver(host, port, error);
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(lookup->mutex);
            if (lookup->done) {
                if (error)
                    *error = lookup->error;
                return lookup->addresses;
            }
        }
        if (running && !running->load()) {
            if (cancelled)
                *cancelled = true;
            if (error)
                *error = {QStringLiteral("cancelled"), 0};
            return {};
        }
        const int seen = waitSocket(lookup->finished.fd(), true, false, 100, waker);
        // A wake for queued bytes leaves the waker readable; nap on the
        // lookup alone so that the loop does not spin until it is drained.
        if ((seen & WaitWoken) && !(seen & WaitReadable) && !(running && !running->load()))
            waitSocket(lookup->finished.fd(), true, false, 50, nullptr);
    }
}

bool isWouldBlock(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS;
}

QString errorString(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

namespace {

bool stopped(const std::atomic<bool> *running)
{
    return running && !running->load();
}

bool bindLocalPort(int fd, const SocketAddress &address, int low, int high)
{
    for (int port = high; port >= low; --port) {
        sockaddr_storage local{};
        socklen_t len = 0;
        if (address.family == AF_INET) {
            auto *a = reinterpret_cast<sockaddr_in *>(&local);
            a->sin_family = AF_INET;
            a->sin_port = htons(quint16(port));
            len = sizeof *a;
        } else {
            auto *a = reinterpret_cast<sockaddr_in6 *>(&local);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(quint16(port));
            len = sizeof *a;
        }
        if (::bind(fd, reinterpret_cast<sockaddr *>(&local), len) == 0)
            return true;
        if (errno != EADDRINUSE)
            return false;
    }
    errno = EADDRINUSE;
    return false;
}

} // namespace

int connectTcp(const SocketAddress &address, const ConnectOptions &options, int *err)
{
    int dummy;
    int &error = err ? *err : dummy;
    const auto trace = [&options](ConnectStep step, int value) {
        if (options.trace)
            options.trace(step, value);
    };
    const int fd = ::socket(address.family, address.type | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        error = errno;
        trace(ConnectStep::SocketFailed, error);
        return -1;
    }
    trace(ConnectStep::SocketCreated, fd);
    // Without the privilege to bind a low port the connect goes ahead from
    // any port: whether that is good enough is the server's decision.
    if (options.bindPortLow > 0 && !bindLocalPort(fd, address, options.bindPortLow, options.bindPortHigh)
        && errno != EACCES && errno != EPERM) {
        error = errno;
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address.storage), address.length) == 0) {
        trace(ConnectStep::Connected, 0);
        return fd;
    }
    const int connectErrno = errno;
    trace(ConnectStep::Pending, connectErrno);
    if (connectErrno != EINPROGRESS && connectErrno != EINTR) {
        error = connectErrno;
        ::close(fd);
        return -1;
    }
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (stopped(options.running)) {
            error = ECANCELED;
            break;
        }
        const qint64 left = options.timeoutMs - clock.elapsed();
        if (left <= 0) {
            trace(ConnectStep::DeadlineReached, 0);
            error = ETIMEDOUT;
            break;
        }
        errno = 0;
        const int seen = waitSocket(fd, false, true, int(left), options.waker);
        const int waitErrno = errno;
        if (seen & (WaitWritable | WaitError)) {
            const int soError = pendingError(fd);
            // Not writable and no error of the socket's own: the wait itself
            // failed, which says nothing about the connect.
            if (!(seen & WaitWritable) && soError == 0) {
                error = waitErrno ? waitErrno : EIO;
                trace(ConnectStep::WaitFailed, error);
                break;
            }
            trace(ConnectStep::WaitReady, soError);
            if (soError == 0)
                return fd;
            error = soError;
            break;
        }
        if (seen == 0)
            trace(ConnectStep::WaitTimeout, 0);
        // Woken: loop to look at the running flag; the waker stays readable
        // until its owner drains it, so do not spin on it.
        if (seen & WaitWoken) {
            if (stopped(options.running)) {
                error = ECANCELED;
                break;
            }
            waitSocket(fd, false, true, int(qMin<qint64>(left, 50)), nullptr);
        }
    }
    ::close(fd);
    return -1;
}

int waitSocket(int fd, bool forRead, bool forWrite, int timeoutMs, const Waker *waker, bool forUrgent)
{
    pollfd fds[2];
    int n = 0;
    fds[n].fd = fd;
    fds[n].events = short((forRead ? POLLIN : 0) | (forWrite ? POLLOUT : 0) | (forUrgent ? POLLPRI : 0));
    fds[n].revents = 0;
    ++n;
    if (waker && waker->fd() >= 0) {
        fds[n].fd = waker->fd();
        fds[n].events = POLLIN;
        fds[n].revents = 0;
        ++n;
    }
    QElapsedTimer clock;
    clock.start();
    int rc;
    for (;;) {
        const int wait = timeoutMs < 0 ? -1 : int(qMax<qint64>(0, timeoutMs - clock.elapsed()));
        rc = ::poll(fds, nfds_t(n), wait);
        if (rc >= 0 || errno != EINTR)
            break;
    }
    if (rc <= 0)
        return rc < 0 ? WaitError : 0;
    int out = 0;
    if (fds[0].revents & (POLLIN | POLLHUP))
        out |= forRead ? WaitReadable : 0;
    if (fds[0].revents & POLLOUT)
        out |= WaitWritable;
    if (fds[0].revents & (POLLERR | POLLNVAL))
        out |= WaitError;
    if (forUrgent && (fds[0].revents & POLLPRI))
        out |= WaitUrgent;
    if ((fds[0].revents & POLLHUP) && !forRead)
        out |= WaitError;
    if (n > 1 && (fds[1].revents & POLLIN))
        out |= WaitWoken;
    return out;
}

ssize_t sendSome(int fd, const char *data, size_t length)
{
    for (;;) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

ssize_t recvSome(int fd, char *buffer, size_t length)
{
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, length, 0);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

int recvUrgent(int fd, char *byte)
{
    for (;;) {
        const ssize_t n = ::recv(fd, byte, 1, MSG_OOB);
        if (n == 1)
            return 1;
        if (n < 0 && errno == EINTR)
            continue;
        // EINVAL: no urgent byte (or it was read already); would-block: its
        // mark is announced but the byte itself has not arrived yet.
        if (n == 0 || errno == EINVAL || isWouldBlock(errno))
            return 0;
        return -1;
    }
}

void keepUrgentInline(int fd)
{
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one);
}

int pendingError(int fd)
{
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
        return errno;
    return soError;
}

bool sendAll(int fd, const QByteArray &data, const std::atomic<bool> *running, const Waker *waker, int *err)
{
    int dummy;
    int &error = err ? *err : dummy;
    const char *p = data.constData();
    size_t left = size_t(data.size());
    while (left > 0) {
        if (stopped(running)) {
            error = ECANCELED;
            return false;
        }
        const ssize_t n = sendSome(fd, p, left);
        if (n > 0) {
            p += n;
            left -= size_t(n);
            continue;
        }
        if (n < 0 && isWouldBlock(errno)) {
            const int seen = waitSocket(fd, false, true, 100, waker);
            if (seen & WaitError) {
                const int pending = pendingError(fd);
                error = pending ? pending : EPIPE;
                return false;
            }
            if ((seen & WaitWoken) && !(seen & WaitWritable))
                waitSocket(fd, false, true, 20, nullptr); // let the owner see the wake later
            continue;
        }
        error = n == 0 ? EPIPE : errno;
        return false;
    }
    return true;
}

void shutdownSocket(int fd)
{
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

void closeSocket(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

} // namespace platform
