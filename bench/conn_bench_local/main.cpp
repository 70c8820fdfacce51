// conn_bench_local: prints one line per case:
//   <case> p50=<us> p99=<us> n=<round trips>   or   <case> <MB/s> bytes=<n>
// "direct" cases drive the same peer through a bare descriptor: the
// distance between them and the connection is what the connection costs.
#include "connections/localshellconnection.h"
#include "connections/serialconnection.h"
#include "platform/pty.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRoundTrips = 2000;

void printLatency(const char *name, std::vector<qint64> ns)
{
    if (ns.empty()) {
        std::printf("%-28s FAILED\n", name);
        return;
    }
    std::sort(ns.begin(), ns.end());
    const auto pct = [&](double p) { return double(ns[size_t(p * double(ns.size() - 1))]) / 1000.0; };
    std::printf("%-28s p50=%.1fus p99=%.1fus n=%zu\n", name, pct(0.50), pct(0.99), ns.size());
}

void printThroughput(const char *name, qint64 bytes, qint64 ns)
{
    std::printf("%-28s %.1f MB/s bytes=%lld\n", name, ns > 0 ? double(bytes) * 1000.0 / double(ns) : 0.0,
                (long long)bytes);
}

// Waits in the event loop until done() holds, 20 s at most.
template <typename Pred>
bool spin(Pred done)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > 20000)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// One key after another, round and round; answers[k] is how many bytes
// come back for keys[k].
struct Keys {
    QByteArray keys;
    std::vector<qsizetype> answers;
    QByteArray key(int i) const { return keys.mid(i % keys.size(), 1); }
    qsizetype answer(int i) const { return answers[size_t(i % keys.size())]; }
};

// Round trips of one byte through the connection: the time from write() to
// the dataReceived that brings the answer, as the main window would see it.
std::vector<qint64> connectionLatency(Connection &c, QByteArray &got, const Keys &keys)
{
    std::vector<qint64> out;
    QElapsedTimer t;
    for (int i = 0; i < kRoundTrips; ++i) {
        got.clear();
        t.start();
        c.write(keys.key(i));
        if (!spin([&] { return got.size() >= keys.answer(i); }))
            return {};
        out.push_back(t.nsecsElapsed());
    }
    return out;
}

std::vector<qint64> directLatency(int fd, const Keys &keys)
{
    std::vector<qint64> out;
    char buf[4096];
    QElapsedTimer t;
    for (int i = 0; i < kRoundTrips; ++i) {
        t.start();
        if (::write(fd, keys.key(i).constData(), 1) != 1)
            return {};
        qsizetype seen = 0;
        while (seen < keys.answer(i)) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return {};
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                seen += n;
        }
        out.push_back(t.nsecsElapsed());
    }
    return out;
}

struct EchoLine {
    QTemporaryDir dir;
    QProcess socat;
    QString path;
    bool start()
    {
        path = dir.filePath(QStringLiteral("line"));
        // PIPE without a name is socat's echo: every byte comes straight back.
        socat.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=") + path, QStringLiteral("PIPE")});
        for (int i = 0; i < 500 && !QFileInfo::exists(path); ++i)
            QThread::msleep(10);
        return QFileInfo::exists(path);
    }
    ~EchoLine()
    {
        socat.terminate();
        socat.waitForFinished(3000);
    }
};

const Keys kEcho{"a", {1}};
// socat's echo relays with blocking writes into a pipe that only it reads:
// more than the pipe holds in flight and it deadlocks by itself.
constexpr qint64 kWindow = 32 * 1024;
constexpr int kBlock = 4096;
constexpr qint64 kSerialTotal = 32LL * 1024 * 1024;

qint64 directThroughput(int fd)
{
    const QByteArray block(kBlock, 'x');
    char buf[16384];
    qint64 sent = 0, received = 0;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    while (received < kSerialTotal) {
        const bool more = sent < kSerialTotal && sent - received < kWindow;
        pollfd p{fd, short(POLLIN | (more ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, 5000) <= 0)
            break;
        if ((p.revents & POLLOUT) && more) {
            const ssize_t n = ::write(fd, block.constData(), size_t(qMin<qint64>(kBlock, kSerialTotal - sent)));
            sent += qMax<ssize_t>(n, 0);
        }
        if (p.revents & POLLIN) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            received += qMax<ssize_t>(n, 0);
        }
    }
    return received;
}

void benchSerial()
{
    {
        EchoLine line;
        if (!line.start()) {
            std::printf("serial: socat did not start\n");
            return;
        }
        // Once without batching, then as the main window opens serial ports:
        // a reply within 10 ms of the last batch waits for the next one.
        SerialConnection plain;
        plain.setPortName(line.path);
        QByteArray got;
        QObject::connect(&plain, &Connection::dataReceived, [&](const QByteArray &d) { got += d; });
        if (!plain.open()) {
            std::printf("serial: %s\n", qPrintable(plain.lastError()));
            return;
        }
        printLatency("serial echo interval 0", connectionLatency(plain, got, kEcho));
        plain.close();
        SerialConnection c;
        c.setPortName(line.path);
        c.setFlushInterval(10);
        QObject::connect(&c, &Connection::dataReceived, [&](const QByteArray &d) { got += d; });
        if (!c.open())
            return;
        printLatency("serial echo interval 10", connectionLatency(c, got, kEcho));

        const QByteArray block(kBlock, 'x');
        qint64 received = 0, queued = 0;
        QObject::disconnect(&c, &Connection::dataReceived, nullptr, nullptr);
        QObject::connect(&c, &Connection::dataReceived, [&](const QByteArray &d) { received += d.size(); });
        QElapsedTimer t;
        t.start();
        spin([&] {
            while (queued < kSerialTotal && queued - received < kWindow) {
                c.write(block);
                queued += block.size();
            }
            return received >= kSerialTotal;
        });
        printThroughput("serial echo throughput", received, t.nsecsElapsed());
    }
    EchoLine line;
    if (!line.start())
        return;
    const int fd = ::open(QFile::encodeName(line.path).constData(), O_RDWR | O_NOCTTY);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    printLatency("serial echo direct", directLatency(fd, kEcho));
    QElapsedTimer t;
    t.start();
    const qint64 received = directThroughput(fd);
    printThroughput("serial echo throughput direct", received, t.nsecsElapsed());
    ::close(fd);
}

const QByteArray kQuietPrompt("PS1='$ '; echo RE\"\"ADY\r");
constexpr qint64 kShellTotal = 64LL * 1024 * 1024;
const QByteArray kFlood = QStringLiteral("head -c %1 /dev/zero; echo DO\"\"NE\r").arg(kShellTotal).toLatin1();

bool promptShown(const QByteArray &out)
{
    return out.contains("READY\r\n") && out.endsWith("$ ");
}

// Reads the bare terminal until done(all read so far) holds; bytes counted.
template <typename Pred>
qint64 readUntil(int fd, Pred done)
{
    QByteArray tail;
    qint64 count = 0;
    char buf[16384];
    while (!done(tail)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            break;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            count += n;
            tail = (tail + QByteArray(buf, int(n))).right(64);
        }
    }
    return count;
}

// Keys for bash's line editor: a letter, then DEL to take it back, so the
// line never grows. The answer is the editor's echo (1 byte, then "\b \b").
const Keys kTyping{"x\x7f", {1, 3}};

void benchShell()
{
    {
        LocalShellConnection c;
        c.setShell(QStringLiteral("bash"));
        QByteArray got;
        bool up = false;
        QObject::connect(&c, &Connection::connected, [&] { up = true; });
        QObject::connect(&c, &Connection::dataReceived, [&](const QByteArray &d) { got += d; });
        c.open();
        if (!spin([&] { return up; })) {
            std::printf("local shell: did not start\n");
            return;
        }
        // A quiet prompt, then wait for it so that start-up output is not counted.
        c.write(kQuietPrompt);
        spin([&] { return promptShown(got); });
        printLatency("local shell key echo", connectionLatency(c, got, kTyping));
        QElapsedTimer t;

        got.clear();
        qint64 received = 0;
        QObject::disconnect(&c, &Connection::dataReceived, nullptr, nullptr);
        QByteArray tail;
        QObject::connect(&c, &Connection::dataReceived, [&](const QByteArray &d) {
            received += d.size();
            tail = (tail + d).right(16);
        });
        t.start();
        c.write(kFlood);
        spin([&] { return tail.contains("DONE\r\n"); });
        printThroughput("local shell output", received, t.nsecsElapsed());
    }
    // The same shell through a bare pty descriptor, from the same layer.
    platform::PtyProcess pty;
    int err = 0;
    if (!pty.spawn(QStringLiteral("/bin/bash"), {}, "xterm-256color", 80, 25, &err))
        return;
    const int fd = pty.masterFd();
    ::write(fd, kQuietPrompt.constData(), size_t(kQuietPrompt.size()));
    readUntil(fd, promptShown);
    printLatency("local shell key echo direct", directLatency(fd, kTyping));
    QElapsedTimer t;
    t.start();
    ::write(fd, kFlood.constData(), size_t(kFlood.size()));
    const qint64 received = readUntil(fd, [](const QByteArray &tail) { return tail.contains("DONE\r\n"); });
    printThroughput("local shell output direct", received, t.nsecsElapsed());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchSerial();
    benchShell();
    return 0;
}
