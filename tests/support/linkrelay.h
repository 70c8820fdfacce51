// A line to a loopback server that behaves like a remote one: a relay that
// holds every byte a fixed time each way (a round trip of twice `delayMs`),
// and moves at most `rate` bytes a second each way when a rate is given.
// Nothing is lost or reordered. cut() drops every connection through it as a
// line that fails does (a reset, nothing said); it goes on taking new ones.
#pragma once

#include "tests/support/delaypump.h"

#include <QList>
#include <QMutex>

#include <atomic>
#include <list>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

class LinkRelay
{
public:
    using Line = LineShape;

    LinkRelay(int target, Line line)
        : m_target(target)
        , m_line(line)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(0);
        socklen_t length = sizeof a;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
            || ::listen(m_listener, 8) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            return;
        m_port = ntohs(a.sin_port);
        m_acceptor = std::thread([this] { accept(); });
    }
    LinkRelay(const LinkRelay &) = delete;
    LinkRelay &operator=(const LinkRelay &) = delete;
    ~LinkRelay()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        if (m_acceptor.joinable())
            m_acceptor.join();
        cut();
        for (std::thread &t : m_pumps)
            t.join();
        for (const int fd : std::as_const(m_open))
            ::close(fd);
        ::close(m_listener);
    }
    int port() const { return m_port; } // 0 when the relay could not listen
    // Reads taken from the clients so far. A client that waits for each
    // answer before it asks again sends each request in a read of its own:
    // the count says which request is on its way.
    int fromClients() const { return m_fromClients.load(); }
    void cut()
    {
        QMutexLocker lock(&m_mutex);
        for (const int fd : std::as_const(m_open)) {
            const linger reset{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::shutdown(fd, SHUT_RDWR);
        }
    }

private:
    static sockaddr_in loopback(int port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    void accept()
    {
        for (;;) {
            const int client = ::accept(m_listener, nullptr, nullptr);
            if (client < 0)
                return;
            const int server = ::socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in a = loopback(m_target);
            if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
                ::close(client);
                if (server >= 0)
                    ::close(server);
                continue;
            }
            const int on = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            QMutexLocker lock(&m_mutex);
            m_open << client << server;
            m_pumps.emplace_back([this, client, server] { pump(client, server, &m_fromClients); });
            m_pumps.emplace_back([this, client, server] { pump(server, client, nullptr); });
        }
    }

    void pump(int from, int to, std::atomic<int> *reads) { pumpDelayed(from, to, m_line, -1, reads); }

    const int m_target;
    const Line m_line;
    int m_listener = -1;
    int m_port = 0;
    std::thread m_acceptor;
    QMutex m_mutex;
    QList<int> m_open;               // closed with the link
    std::list<std::thread> m_pumps;  // guarded by m_mutex while the acceptor runs
    std::atomic<int> m_fromClients{0};
};
