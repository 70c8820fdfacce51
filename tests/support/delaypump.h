// One direction of a line with a round trip: every byte read from one
// descriptor is handed to the other a fixed time later, and, when a rate is
// given, no faster than that rate. Nothing is lost or reordered. Works on
// sockets, pipes and pty masters, blocking or not.
// A line may hold a bounded amount, as an SSH channel's window does, and may
// slow down mid-run: what enters it from then on moves at the slower rate.
#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

struct LineShape {
    int delayMs = 0; // each way
    qint64 rate = 0; // bytes a second each way; 0: as fast as the ends go
    qint64 hold = 0; // bytes on their way at most; 0: what it carries in its delay and a little, else 8 MiB
    // From this many bytes or milliseconds on (0: never), `slowRate` instead of `rate`.
    qint64 slowAfterBytes = 0;
    qint64 slowAfterMs = 0;
    qint64 slowRate = 0;

    bool paced() const { return rate > 0 || slowRate > 0; }
    bool slowedAt(qint64 bytes, qint64 ms) const
    {
        return (slowAfterBytes > 0 && bytes >= slowAfterBytes) || (slowAfterMs > 0 && ms >= slowAfterMs);
    }
};

namespace delaypump {

// Waits until fd is ready for `events` or stopFd (-1: none) is readable; false on the stop.
inline bool await(int fd, short events, int stopFd)
{
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[1].revents)
            return false;
        if (fds[0].revents)
            return true;
    }
}

// A socket whose far end has gone must fail the write, not raise SIGPIPE
// in the test process; pipes and pty masters take a plain write.
inline ssize_t put(int fd, const char *data, size_t size)
{
    const ssize_t k = ::send(fd, data, size, MSG_NOSIGNAL);
    return k < 0 && errno == ENOTSOCK ? ::write(fd, data, size) : k;
}

} // namespace delaypump

// Moves bytes from `from` to `to` until `from` ends, `to` fails or stopFd
// becomes readable. A reader stamps each chunk with the time it is due on the
// far side, a writer hands it on then. What is held stays bounded (the
// line's hold, else what it carries at its rate, else a few MiB), so the
// sender still meets back-pressure as on a real line. A socket at `to` is shut for writing at the end.
// reads, when given, counts the reads taken from `from`.
inline void pumpDelayed(int from, int to, LineShape line, int stopFd = -1, std::atomic<int> *reads = nullptr)
{
    struct Chunk {
        qint64 dueUs;
        std::vector<char> bytes;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Chunk> held;
    qint64 heldBytes = 0;
    bool ended = false;
    const qint64 bound = line.hold > 0   ? line.hold
                         : line.rate > 0 ? qMax<qint64>(65536, line.rate * (line.delayMs + 100) / 1000)
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
                const ssize_t k = delaypump::put(to, chunk.bytes.data() + sent, chunk.bytes.size() - sent);
                if (k < 0 && (errno == EAGAIN || errno == EINTR))
                    ok = delaypump::await(to, POLLOUT, stopFd);
                else if ((ok = k > 0))
                    sent += size_t(k);
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
    qint64 passed = 0;
    // Paced lines move small chunks, so a rate is a steady stream, not bursts.
    std::vector<char> buffer(line.paced() ? 4096 : 65536);
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [&] { return ended || heldBytes < bound; });
            if (ended)
                break;
        }
        if (!delaypump::await(from, POLLIN, stopFd))
            break;
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            break;
        if (reads)
            ++*reads;
        const qint64 arrived = nowUs();
        qint64 due = arrived + qint64(line.delayMs) * 1000;
        const qint64 rate = line.slowedAt(passed, arrived / 1000) ? line.slowRate : line.rate;
        passed += n;
        if (rate > 0) {
            lineFreeUs = qMax(lineFreeUs, arrived) + n * 1000000 / rate;
            due = qMax(due, lineFreeUs + qint64(line.delayMs) * 1000);
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
