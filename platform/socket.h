#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <sys/socket.h>

namespace platform {

// Wakes a thread that waits in waitReadable/waitSocket: the GUI thread calls
// wake() when it queues bytes, changes the size or asks the worker to stop, so
// the worker reacts at once instead of at its next time-out.
class Waker
{
public:
    Waker();
    ~Waker();
    Waker(const Waker &) = delete;
    Waker &operator=(const Waker &) = delete;

    void wake();         // any thread
    void drain();        // the waiting thread, after it was woken
    int fd() const { return m_fd; }

private:
    int m_fd;
};

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = 0;
    int type = SOCK_STREAM;
    QString text() const; // "127.0.0.1:23", "[::1]:23"
};

// Why a look-up gave no address: the resolver's own words and code (a
// getaddrinfo EAI_ value; 0 when the resolver gave none, as after a stop).
struct ResolveError {
    QString text;
    int code = 0;
};

// Stream/TCP addresses of host:port for any family, in resolver order. An
// empty list means failure; error (when given) then holds the reason.
QList<SocketAddress> resolveTcp(const QString &host, quint16 port, ResolveError *error = nullptr);

using TcpResolver = QList<SocketAddress> (*)(const QString &host, quint16 port, ResolveError *error);

// resolveTcp on a helper thread: the system resolver cannot be interrupted,
// and a slow name server would otherwise hold a stopping worker (and the
// GUI thread joining it) for as long as the resolver likes. A stop (running
// cleared, waker fired) returns at once with an empty list and *cancelled
// set; the helper finishes on its own and frees what it used. The resolver
// can be replaced for tests.
QList<SocketAddress> resolveTcpCancellable(const QString &host, quint16 port, const std::atomic<bool> *running,
                                           const Waker *waker, ResolveError *error = nullptr,
                                           bool *cancelled = nullptr, TcpResolver resolver = resolveTcp);

// Error numbers keep their POSIX meaning: would-block is EAGAIN/EWOULDBLOCK
// or EINPROGRESS, a reset is ECONNRESET.
bool isWouldBlock(int err);
QString errorString(int err);

// The steps of one connect attempt, for a caller that traces them, with the
// value each passes on.
enum class ConnectStep {
    SocketFailed,    // errno
    SocketCreated,   // the socket
    Connected,       // at once, without waiting; 0
    Pending,         // errno of the connect that did not finish at once
    DeadlineReached, // 0
    WaitReady,       // the socket's pending error, 0 when connected
    WaitTimeout,     // 0
    WaitFailed,      // errno of the wait
};

struct ConnectOptions {
    int timeoutMs = 10000;                        // for this one address
    const std::atomic<bool> *running = nullptr;   // cleared: give up at once
    const Waker *waker = nullptr;                 // interrupts the wait
    int bindPortLow = 0;                          // >0: bind the local port first,
    int bindPortHigh = 0;                         //   trying high down to low (ports
                                                  //   in use, TIME_WAIT too, are skipped;
                                                  //   without privilege: any port)
    std::function<void(ConnectStep, int)> trace;  // empty: none
};

// One non-blocking connect to one address, waiting for completion within the
// options' budget. Returns a connected non-blocking socket, or -1 with *err
// set (ETIMEDOUT at the deadline, ECANCELED when running was cleared).
int connectTcp(const SocketAddress &address, const ConnectOptions &options, int *err);

enum WaitFlag { WaitReadable = 1, WaitWritable = 2, WaitWoken = 4, WaitError = 8, WaitUrgent = 16 };

// Waits until fd is readable and/or writable (as asked), the waker fires or
// timeoutMs passes (-1: no limit). Returns the WaitFlag bits seen; 0 on time-out.
// With forUrgent, TCP urgent data waiting to be read reports WaitUrgent
// (read it with recvUrgent, or poll keeps reporting it).
int waitSocket(int fd, bool forRead, bool forWrite, int timeoutMs, const Waker *waker, bool forUrgent = false);

// Thin wrappers: no SIGPIPE, EINTR retried. Return -1 with errno on failure.
ssize_t sendSome(int fd, const char *data, size_t length);
ssize_t recvSome(int fd, char *buffer, size_t length);

// Reads the one TCP urgent byte (out of band, MSG_OOB). Returns 1 with *byte
// set, 0 when no urgent byte is waiting, -1 with errno on a real failure.
int recvUrgent(int fd, char *byte);

// Keeps TCP urgent data in the ordinary stream (SO_OOBINLINE). Without it
// the kernel takes the urgent byte out of what recv returns, and it is lost
// unless read with recvUrgent.
void keepUrgentInline(int fd);

// The pending error of a socket (SO_ERROR), cleared by reading it; 0: none.
int pendingError(int fd);

// Sends all of data, waiting for writability as needed, until done, an error
// (returns false, *err set) or running is cleared.
bool sendAll(int fd, const QByteArray &data, const std::atomic<bool> *running, const Waker *waker, int *err);

void shutdownSocket(int fd);
void closeSocket(int fd);

} // namespace platform
