#pragma once

// Helpers for the connection tests: a scripted loopback peer on plain
// sockets (it can send urgent data and read exactly what the client wrote)
// and a recorder of a connection's signals. Every wait is bounded.

#include "connections/connection.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <arpa/inet.h>
#include <climits>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

// A bound against hanging, not a speed check: wide enough for a machine
// that runs the sanitizer build beside other suites.
constexpr int kWaitMs = 30000;

// Ports of the servers the fixtures start (tests/connections/CMakeLists.txt).
constexpr quint16 kTelnetdPort = 23101 + HV_TEST_PORT_OFFSET;
constexpr quint16 kEchoPort = 23102 + HV_TEST_PORT_OFFSET;
constexpr quint16 kRlogindPort = 23103 + HV_TEST_PORT_OFFSET;
constexpr quint16 kRefusedPort = 23199 + HV_TEST_PORT_OFFSET; // nothing listens here
constexpr quint16 kScriptedPortFirst = 23110 + HV_TEST_PORT_OFFSET;
constexpr quint16 kScriptedPortLast = 23149 + HV_TEST_PORT_OFFSET;

inline sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A socket listening on 127.0.0.1:port, or -1.
inline int listenOn(quint16 port, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = loopback(port);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 && ::listen(fd, backlog) == 0)
        return fd;
    ::close(fd);
    return -1;
}

class ScriptedPeer
{
public:
    ~ScriptedPeer()
    {
        closeClient();
        if (m_listener >= 0)
            ::close(m_listener);
    }

    // Listens on the first free port of the scripted range.
    bool listen()
    {
        for (m_port = kScriptedPortFirst; m_port <= kScriptedPortLast; ++m_port)
            if ((m_listener = listenOn(m_port, 4)) >= 0)
                return true;
        return false;
    }
    quint16 port() const { return m_listener >= 0 ? m_port : 0; }

    // Accepts the next client while the GUI thread keeps serving events
    // (unless serveEvents is false: then queued signals stay queued).
    bool accept(bool serveEvents = true)
    {
        closeClient();
        if (!waitFd(m_listener, kWaitMs, serveEvents))
            return false;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        m_client = ::accept4(m_listener, reinterpret_cast<sockaddr *>(&from), &len, SOCK_CLOEXEC);
        m_clientPort = ntohs(from.sin_port);
        return m_client >= 0;
    }
    quint16 clientPort() const { return m_clientPort; }

    bool send(const QByteArray &bytes) { return ::send(m_client, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size(); }
    bool sendUrgent(char byte) { return ::send(m_client, &byte, 1, MSG_OOB | MSG_NOSIGNAL) == 1; }

    // Reads until n bytes arrived (or the wait ends); returns what came.
    QByteArray read(int n) { return collect(n, kWaitMs); }
    // Whatever arrives within ms (for "nothing more was sent").
    QByteArray readFor(int ms) { return collect(INT_MAX, ms); }
    // Closes with a reset (RST) instead of an orderly close.
    void resetClient()
    {
        const linger l{1, 0};
        ::setsockopt(m_client, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        closeClient();
    }
    void closeClient()
    {
        if (m_client >= 0)
            ::close(m_client);
        m_client = -1;
    }

private:
    QByteArray collect(int n, int ms)
    {
        QByteArray out;
        QElapsedTimer clock;
        clock.start();
        while (out.size() < n && clock.elapsed() < ms) {
            if (!waitFd(m_client, 10))
                continue;
            char buf[65536];
            const ssize_t got = ::recv(m_client, buf, qMin<size_t>(sizeof buf, size_t(n - out.size())), 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                break;
            out.append(buf, int(qMax<ssize_t>(got, 0)));
        }
        return out;
    }

    // Polls fd for input while letting the connection's queued signals through.
    static bool waitFd(int fd, int ms, bool serveEvents = true)
    {
        pollfd p{fd, POLLIN, 0};
        return serveEvents ? QTest::qWaitFor([&] { return ::poll(&p, 1, 0) > 0; }, ms) : ::poll(&p, 1, ms) > 0;
    }

    int m_listener = -1;
    int m_client = -1;
    quint16 m_port = 0;
    quint16 m_clientPort = 0;
};

// A listener whose accept queue is full: the kernel drops further SYNs, so a
// connect to it stays in progress (an address that never answers, on loopback).
class SilentListener
{
public:
    SilentListener()
    {
        // The peer owns a port of the scripted range; the full queue sits
        // outside the range's users.
        if (!m_peer.listen() || (m_fd = listenOn(m_peer.port() + 40, 0)) < 0)
            return;
        const sockaddr_in a = loopback(port());
        for (int i = 0; i < 4; ++i) {
            m_fillers << ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(m_fillers.last(), reinterpret_cast<const sockaddr *>(&a), sizeof a);
        }
    }
    ~SilentListener()
    {
        for (int f : m_fillers + QList<int>{m_fd})
            ::close(f);
    }
    quint16 port() const { return m_fd >= 0 ? quint16(m_peer.port() + 40) : 0; }

private:
    ScriptedPeer m_peer;
    int m_fd = -1;
    QList<int> m_fillers;
};

// Records what a connection reports.
class Recorder : public QObject
{
public:
    explicit Recorder(Connection *c)
        : m_c(c)
    {
        connect(c, &Connection::dataReceived, this, [this](const QByteArray &d) { data += d; });
        connect(c, &Connection::connectionError, this, [this](const QString &m) { errors << m; });
        connect(c, &Connection::connected, this, [this] { ++connects; });
        connect(c, &Connection::disconnected, this, [this] { ++disconnects; });
    }

    bool waitConnected() { return QTest::qWaitFor([this] { return connects > 0 || !errors.isEmpty(); }, kWaitMs) && connects > 0; }
    bool waitData(const QByteArray &needle) { return QTest::qWaitFor([&] { return data.contains(needle); }, kWaitMs); }
    bool waitSize(int n) { return QTest::qWaitFor([&] { return data.size() >= n; }, kWaitMs); }
    bool waitEnd() { return QTest::qWaitFor([this] { return disconnects > 0 || !errors.isEmpty(); }, kWaitMs); }
    // Types a shell command line and waits for a marker in what it shows
    // (built by the shell, so that the echoed command cannot match).
    bool run(const QByteArray &command, const QByteArray &marker)
    {
        data.clear();
        m_c->write(command + "\r");
        return waitData(marker);
    }
    // The orderly end of a session: one disconnect, no error.
    bool endedCleanly() { return waitEnd() && disconnects == 1 && errors.isEmpty(); }

    QByteArray data;
    QStringList errors;
    int connects = 0;
    int disconnects = 0;

private:
    Connection *m_c;
};

// Points a TCP connection at the peer, opens it and accepts its client.
template <typename TcpConnection>
bool openAgainst(ScriptedPeer &peer, TcpConnection &c)
{
    if (!peer.port() && !peer.listen())
        return false;
    c.host = "127.0.0.1";
    c.port = peer.port();
    return c.open() && peer.accept();
}

inline QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

} // namespace testsupport
