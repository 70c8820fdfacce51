// A line to a loopback server that behaves like a remote one: a relay that
// holds every byte a fixed time each way (a round trip of twice `delayMs`),
// and moves at most `rate` bytes a second each way when a rate is given.
// Nothing is lost or reordered. cut() drops every connection through it as a
// line that fails does (a reset, nothing said); it goes on taking new ones.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMutex>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

class LinkRelay
{
public:
    struct Line {
        int delayMs = 0; // each way
        qint64 rate = 0; // bytes a second each way; 0: as fast as loopback goes
    };

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

    // One direction: a reader stamps each chunk with the time it is due on
    // the far side, a writer hands it on then. What is held stays bounded
    // (what the line itself holds at its rate, else a few MiB), so the
    // sender still meets back-pressure as on a real line.
    struct Chunk {
        qint64 dueUs;
        std::vector<char> bytes;
    };
    void pump(int from, int to, std::atomic<int> *reads)
    {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<Chunk> held;
        qint64 heldBytes = 0;
        bool ended = false;
        const qint64 bound = m_line.rate > 0 ? qMax<qint64>(65536, m_line.rate * (m_line.delayMs + 100) / 1000)
                                             : qint64(8) << 20;
        QElapsedTimer clock;
        clock.start();
        const auto nowUs = [&clock] { return clock.nsecsElapsed() / 1000; };

        std::thread writer([&] {
            std::unique_lock<std::mutex> guard(lock);
            for (;;) {
                changed.wait(guard, [&] { return ended || !held.empty(); });
                if (held.empty())
                    break;
                const qint64 waitUs = held.front().dueUs - nowUs();
                if (waitUs > 0) {
                    changed.wait_for(guard, std::chrono::microseconds(waitUs));
                    continue;
                }
                Chunk chunk = std::move(held.front());
                held.pop_front();
                guard.unlock();
                bool ok = true;
                for (size_t sent = 0; ok && sent < chunk.bytes.size();) {
                    const ssize_t k = ::send(to, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
                    ok = k > 0;
                    sent += ok ? size_t(k) : 0;
                }
                guard.lock();
                heldBytes -= qint64(chunk.bytes.size());
                changed.notify_all();
                if (!ok) {
                    ended = true;
                    held.clear();
                    break;
                }
            }
            guard.unlock();
            ::shutdown(to, SHUT_WR);
        });

        qint64 lineFreeUs = 0; // when the line has carried everything before
        // Paced lines move small chunks, so a rate is a steady stream, not bursts.
        std::vector<char> buffer(m_line.rate > 0 ? 4096 : 65536);
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(lock);
                changed.wait(guard, [&] { return ended || heldBytes < bound; });
                if (ended)
                    break;
            }
            const ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            if (reads)
                ++*reads;
            const qint64 arrived = nowUs();
            qint64 due = arrived + qint64(m_line.delayMs) * 1000;
            if (m_line.rate > 0) {
                lineFreeUs = qMax(lineFreeUs, arrived) + n * 1000000 / m_line.rate;
                due = qMax(due, lineFreeUs + qint64(m_line.delayMs) * 1000);
            }
            std::lock_guard<std::mutex> guard(lock);
            held.push_back({due, std::vector<char>(buffer.begin(), buffer.begin() + n)});
            heldBytes += n;
            changed.notify_all();
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            ended = true;
            changed.notify_all();
        }
        writer.join();
    }

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
