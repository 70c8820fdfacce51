// conn_bench: echo latency and echo throughput of our connections against
// real peers on loopback, one summary line per case.
//
//   conn_bench [--round-trips N] [--megabytes M] [--only NAME]
//
// Each transport is one row of transports() below: a peer to start and a
// connection to make. "reference" rows talk to the same peer through a plain
// socket or terminal descriptor, without threads or queues, to show what
// loopback, the pty and the peer themselves cost.

#include "connections/localshellconnection.h"
#include "connections/serialconnection.h"
#include "connections/telnetconnection.h"
#include "platform/pty.h"
#include "platform/socket.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <functional>
#include <memory>

namespace {

const QString kFixtures = QStringLiteral(HV_SOURCE_DIR "/tests/fixtures");
const QString kState = QStringLiteral(HV_BINARY_DIR "/bench/conn_bench-state");
const QString kSerialLine = kState + QStringLiteral("/ptyecho/line");
// Moved like the tests' ports, so that benches in several trees can run at once.
const quint16 kPortOffset = quint16(qEnvironmentVariableIntValue("HV_TEST_PORT_OFFSET"));
const quint16 kTelnetPort = 23180 + kPortOffset;
const quint16 kEchoPort = 23181 + kPortOffset;
constexpr int kTimeoutMs = 20000;

// A peer started by one of the test fixture scripts, stopped at exit.
struct Peer {
    QString script;
    QStringList args; // after "start|stop STATE"
    QString state;
    bool started = false;

    bool start()
    {
        if (started)
            return true;
        started = QProcess::execute(script, QStringList{QStringLiteral("start"), state} + args) == 0;
        if (!started)
            std::fprintf(stderr, "conn_bench: could not start %s\n", qPrintable(script));
        return started;
    }
    ~Peer()
    {
        if (started && !script.isEmpty())
            QProcess::execute(script, QStringList{QStringLiteral("stop"), state} + args);
    }
};

// busybox telnetd whose "login" puts the pty in raw mode and runs cat, so
// every byte comes back once, through telnetd's own Telnet handling.
Peer *telnetPeer()
{
    static Peer peer;
    if (peer.script.isEmpty()) {
        QDir().mkpath(kState);
        const QString login = kState + QStringLiteral("/rawcat.sh");
        QFile f(login);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write("#!/bin/sh\nstty raw -echo\nprintf hv-ready\nexec cat\n");
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        peer.script = kFixtures + QStringLiteral("/telnetd.sh");
        peer.state = kState + QStringLiteral("/telnetd");
        peer.args = QStringList{QString::number(kTelnetPort), login};
    }
    return &peer;
}

Peer *echoPeer()
{
    static Peer peer{kFixtures + QStringLiteral("/socat.sh"), QStringList{QString::number(kEchoPort), QStringLiteral("cat")},
                     kState + QStringLiteral("/echo")};
    return &peer;
}

// socat echoing a pty: the far end of a serial line that loops back.
Peer *serialPeer()
{
    static Peer peer{QStringLiteral(HV_SOURCE_DIR "/bench/conn_bench/ptyecho.sh"), QStringList(),
                     kState + QStringLiteral("/ptyecho")};
    return &peer;
}

// Nothing to start: the stream starts its own shell.
Peer *noPeer()
{
    static Peer peer{QString(), QStringList(), QString(), true};
    return &peer;
}

// In the shell: a raw terminal whose every byte cat sends back once.
const QByteArray kShellCat("stty raw -echo; printf hv-rea''dy; exec cat\r");

// The byte stream a case drives: our Connection, or the plain reference.
class Stream
{
public:
    virtual ~Stream() = default;
    virtual bool open() = 0;
    virtual void write(const QByteArray &bytes) = 0;
    // Waits until at least `want` more bytes have arrived; false on time-out.
    virtual bool receive(qint64 want) = 0;
    // Echoes total bytes (block after block), sending while receiving, with
    // at most window bytes in flight.
    virtual bool pump(qint64 total, const QByteArray &block, qint64 window) = 0;
};

class ConnectionStream : public Stream
{
public:
    // ready: what the peer prints once it echoes plainly (empty: nothing);
    // start: typed right after open, to get the peer there.
    ConnectionStream(std::unique_ptr<Connection> c, QByteArray ready, QByteArray start = QByteArray())
        : m_c(std::move(c))
        , m_ready(std::move(ready))
        , m_start(std::move(start))
    {
        QObject::connect(m_c.get(), &Connection::dataReceived, [this](const QByteArray &d) {
            if (!m_ready.isEmpty())
                m_banner += d;
            m_got += d.size();
            if (m_got >= m_want)
                m_loop.quit();
        });
        QObject::connect(m_c.get(), &Connection::connected, [this] { m_loop.quit(); });
        const auto fail = [this] {
            m_failed = true;
            m_loop.quit();
        };
        QObject::connect(m_c.get(), &Connection::connectionError, fail);
        QObject::connect(m_c.get(), &Connection::disconnected, fail);
    }
    bool open() override
    {
        m_c->open();
        m_c->write(m_start);
        run([this] { return m_c->isOpen(); });
        run([this] { return m_banner.contains(m_ready); });
        m_ready.clear();
        // Let the negotiation settle before measuring.
        QTimer::singleShot(300, &m_loop, &QEventLoop::quit);
        m_loop.exec();
        m_got = 0;
        return m_c->isOpen() && !m_failed;
    }
    void write(const QByteArray &bytes) override { m_c->write(bytes); }
    bool receive(qint64 want) override
    {
        m_want = want;
        const bool ok = run([&] { return m_got >= m_want; });
        m_got -= want;
        m_want = 0;
        return ok;
    }
    // Keeps the queue fed while bytes come back.
    bool pump(qint64 total, const QByteArray &block, qint64 window) override
    {
        qint64 sent = 0, got = 0;
        m_got = 0;
        m_want = 0;
        QElapsedTimer clock;
        clock.start();
        // Sleeps until something arrives, as a window would: the timed
        // processEvents() overload never waits, and a thread spinning in it
        // takes a core from the worker and the peer.
        QTimer tick;
        tick.start(50);
        while (got < total && !m_failed && clock.elapsed() < kTimeoutMs * 5) {
            while (sent < total && sent - got < window) {
                m_c->write(block);
                sent += block.size();
            }
            m_loop.processEvents(QEventLoop::WaitForMoreEvents);
            got = m_got;
        }
        m_got = 0;
        return got >= total;
    }

private:
    template <typename Done>
    bool run(Done done)
    {
        if (done())
            return !m_failed;
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &m_loop, &QEventLoop::quit);
        guard.start(kTimeoutMs);
        while (!done() && !m_failed && guard.isActive())
            m_loop.exec();
        return done() && !m_failed;
    }

    std::unique_ptr<Connection> m_c;
    QByteArray m_ready;
    QByteArray m_start;
    QByteArray m_banner;
    QEventLoop m_loop;
    qint64 m_got = 0;
    qint64 m_want = 0;
    bool m_failed = false;
};

// One thread, blocking socket calls: the floor that loopback and the peer set.
class PlainSocketStream : public Stream
{
public:
    explicit PlainSocketStream(quint16 port)
        : m_port(port)
    {
    }
    ~PlainSocketStream() override { platform::closeSocket(m_fd); }
    bool open() override
    {
        const auto addresses = platform::resolveTcp(QStringLiteral("127.0.0.1"), m_port);
        int err = 0;
        m_fd = addresses.isEmpty() ? -1 : platform::connectTcp(addresses.first(), {}, &err);
        return m_fd >= 0;
    }
    void write(const QByteArray &bytes) override
    {
        int err = 0;
        platform::sendAll(m_fd, bytes, nullptr, nullptr, &err);
    }
    bool receive(qint64 want) override
    {
        char buf[65536];
        while (want > 0) {
            if (!(platform::waitSocket(m_fd, true, false, kTimeoutMs, nullptr) & platform::WaitReadable))
                return false;
            const ssize_t n = platform::recvSome(m_fd, buf, size_t(qMin<qint64>(want, qint64(sizeof buf))));
            if (n <= 0 && !(n < 0 && platform::isWouldBlock(errno)))
                return false;
            want -= qMax<ssize_t>(n, 0);
        }
        return true;
    }
    // Sends and receives at once, as far as the socket takes them, keeping
    // at most a window in flight (as the connection's queue does).
    bool pump(qint64 total, const QByteArray &block, qint64 window) override
    {
        qint64 sent = 0, got = 0;
        qsizetype at = 0;
        char buf[65536];
        while (got < total) {
            const bool sending = sent < total && sent - got < window;
            const int seen = platform::waitSocket(m_fd, true, sending, kTimeoutMs, nullptr);
            if (seen == 0 || (seen & platform::WaitError))
                return false;
            if (seen & platform::WaitWritable) {
                const ssize_t n = platform::sendSome(m_fd, block.constData() + at, size_t(block.size() - at));
                if (n > 0) {
                    sent += n;
                    at = (at + n) % block.size();
                }
            }
            if (seen & platform::WaitReadable) {
                const ssize_t n = platform::recvSome(m_fd, buf, sizeof buf);
                if (n == 0)
                    return false;
                got += qMax<ssize_t>(n, 0);
            }
        }
        return true;
    }

private:
    quint16 m_port;
    int m_fd = -1;
};

// A terminal descriptor driven directly: the serial line opened by hand, or
// the shell's pty through the platform layer without the connection.
class PlainTerminalStream : public Stream
{
public:
    // line: a device to open; empty: start bash running kShellCat instead.
    explicit PlainTerminalStream(QString line)
        : m_line(std::move(line))
    {
    }
    ~PlainTerminalStream() override
    {
        if (m_line.isEmpty())
            m_pty.terminate(500);
        else if (m_fd >= 0)
            ::close(m_fd);
    }
    bool open() override
    {
        if (!m_line.isEmpty()) {
            m_fd = ::open(QFile::encodeName(m_line).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            termios t{};
            if (m_fd < 0 || ::tcgetattr(m_fd, &t) != 0)
                return false;
            ::cfmakeraw(&t);
            return ::tcsetattr(m_fd, TCSANOW, &t) == 0;
        }
        int err = 0;
        if (!m_pty.spawn(QStringLiteral("/bin/bash"), {}, "xterm-256color", 80, 25, &err))
            return false;
        m_fd = m_pty.masterFd();
        write(kShellCat);
        QByteArray seen;
        char buf[4096];
        while (!seen.contains("hv-ready")) {
            if (!(platform::waitSocket(m_fd, true, false, kTimeoutMs, nullptr) & platform::WaitReadable))
                return false;
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0)
                seen.append(buf, int(n));
        }
        return true;
    }
    void write(const QByteArray &bytes) override
    {
        for (qsizetype at = 0; at < bytes.size();) {
            const ssize_t n = ::write(m_fd, bytes.constData() + at, size_t(bytes.size() - at));
            if (n > 0)
                at += n;
            else if (!(platform::waitSocket(m_fd, false, true, kTimeoutMs, nullptr) & platform::WaitWritable))
                return;
        }
    }
    bool receive(qint64 want) override
    {
        return pump(0, QByteArray(), 0, want);
    }
    bool pump(qint64 total, const QByteArray &block, qint64 window) override
    {
        return pump(total, block, window, total);
    }

private:
    bool pump(qint64 total, const QByteArray &block, qint64 window, qint64 want)
    {
        qint64 sent = 0, got = 0;
        qsizetype at = 0;
        char buf[65536];
        while (got < want) {
            const bool sending = sent < total && sent - got < window;
            const int seen = platform::waitSocket(m_fd, true, sending, kTimeoutMs, nullptr);
            if (seen == 0 || (seen & platform::WaitError))
                return false;
            if (seen & platform::WaitWritable) {
                const ssize_t n = ::write(m_fd, block.constData() + at, size_t(qMin<qint64>(block.size() - at, total - sent)));
                if (n > 0) {
                    sent += n;
                    at = (at + n) % block.size();
                }
            }
            if (seen & platform::WaitReadable) {
                const ssize_t n = ::read(m_fd, buf, size_t(qMin<qint64>(want - got, qint64(sizeof buf))));
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                    return false;
                got += qMax<ssize_t>(n, 0);
            }
        }
        return true;
    }

    QString m_line;
    platform::PtyProcess m_pty;
    int m_fd = -1;
};

struct Transport {
    QString name;
    std::function<Peer *()> peer;
    std::function<std::unique_ptr<Stream>()> make;
    QByteArray block; // throughput payload: bytes the path returns unchanged, one for one
    qint64 window = 4 * 1024 * 1024; // most bytes in flight while echoing
};

// socat's pty echo relays through a pipe that only it reads, with blocking
// writes: more in flight than the pipe holds and it deadlocks by itself. The
// window is checked before each block, so blocks stay small too.
constexpr qint64 kSerialWindow = 32 * 1024;


std::unique_ptr<Stream> serialStream(qint64 flushInterval)
{
    auto c = std::make_unique<SerialConnection>();
    c->setPortName(kSerialLine);
    c->setFlushInterval(flushInterval);
    return std::make_unique<ConnectionStream>(std::move(c), QByteArray());
}

std::unique_ptr<Stream> shellStream()
{
    auto c = std::make_unique<LocalShellConnection>();
    c->setShell(QStringLiteral("bash"));
    return std::make_unique<ConnectionStream>(std::move(c), "hv-ready", kShellCat);
}

std::unique_ptr<Stream> telnetStream(quint16 port, bool telnetMode, const QByteArray &ready = QByteArray())
{
    auto c = std::make_unique<TelnetConnection>();
    c->host = QStringLiteral("127.0.0.1");
    c->port = port;
    c->telnetMode = telnetMode;
    return std::make_unique<ConnectionStream>(std::move(c), ready);
}

QByteArray allBytesBlock()
{
    QByteArray b(65536, Qt::Uninitialized);
    for (int i = 0; i < b.size(); ++i)
        b[i] = char(i & 0xFF);
    return b;
}

QByteArray serialBlock()
{
    return allBytesBlock().left(4096);
}

// Telnet turns CR and LF into CR LF and the far side's tty may eat NUL; 0xFF
// stays in (doubled on the wire both ways).
QByteArray telnetBlock()
{
    QByteArray b = allBytesBlock();
    for (char &c : b)
        if (c == '\r' || c == '\n' || c == '\0')
            c = 'x';
    return b;
}

QList<Transport> transports()
{
    return {
        {QStringLiteral("telnet"), telnetPeer, [] { return telnetStream(kTelnetPort, true, "hv-ready"); }, telnetBlock()},
        // Our Telnet engine without busybox: cat mirrors the Telnet stream.
        {QStringLiteral("telnet-mirror"), echoPeer, [] { return telnetStream(kEchoPort, true); }, telnetBlock()},
        {QStringLiteral("raw"), echoPeer, [] { return telnetStream(kEchoPort, false); }, allBytesBlock()},
        {QStringLiteral("raw-reference"), echoPeer, [] { return std::make_unique<PlainSocketStream>(kEchoPort); },
         allBytesBlock()},
        // As the main window opens serial ports: bytes are gathered for up to
        // 10 ms, so an answer within 10 ms of the last batch waits for the next.
        {QStringLiteral("serial"), serialPeer, [] { return serialStream(10); }, serialBlock(), kSerialWindow},
        {QStringLiteral("serial-unbatched"), serialPeer, [] { return serialStream(0); }, serialBlock(), kSerialWindow},
        {QStringLiteral("serial-reference"), serialPeer, [] { return std::make_unique<PlainTerminalStream>(kSerialLine); },
         serialBlock(), kSerialWindow},
        {QStringLiteral("shell"), noPeer, shellStream, allBytesBlock()},
        {QStringLiteral("shell-reference"), noPeer, [] { return std::make_unique<PlainTerminalStream>(QString()); },
         allBytesBlock()},
    };
}

double percentile(QList<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[qMin(v.size() - 1, int(p * v.size()))];
}

void measure(const Transport &t, int roundTrips, int megabytes)
{
    if (!t.peer()->start())
        return;
    std::unique_ptr<Stream> s = t.make();
    if (!s->open()) {
        std::printf("%-14s could not connect\n", qPrintable(t.name));
        return;
    }
    QList<double> micros;
    QElapsedTimer clock;
    for (int i = 0; i < roundTrips; ++i) {
        clock.start();
        s->write(QByteArray(1, char('a' + i % 26)));
        if (!s->receive(1)) {
            std::printf("%-14s echo lost after %d round trips\n", qPrintable(t.name), i);
            return;
        }
        micros << clock.nsecsElapsed() / 1000.0;
    }
    const qint64 total = qint64(megabytes) * 1024 * 1024;
    bool ok = true;
    clock.start();
    ok = s->pump(total, t.block, t.window);
    const double seconds = clock.nsecsElapsed() / 1e9;
    std::printf("%-14s echo latency p50=%7.1f us p99=%7.1f us (%d round trips)  echo throughput=%s\n",
                qPrintable(t.name), percentile(micros, 0.50), percentile(micros, 0.99), roundTrips,
                ok ? qPrintable(QStringLiteral("%1 MB/s (%2 MiB each way)").arg(total / 1e6 / seconds, 0, 'f', 1).arg(megabytes))
                   : "failed");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    QCommandLineOption trips(QStringLiteral("round-trips"), QStringLiteral("echo round trips per case"), QStringLiteral("N"),
                             QStringLiteral("1000"));
    QCommandLineOption megabytes(QStringLiteral("megabytes"), QStringLiteral("MiB echoed for throughput"),
                                 QStringLiteral("M"), QStringLiteral("256"));
    QCommandLineOption only(QStringLiteral("only"), QStringLiteral("run only this transport"), QStringLiteral("NAME"));
    parser.addOptions({trips, megabytes, only});
    parser.process(app);
    for (const Transport &t : transports()) {
        if (parser.isSet(only) && parser.value(only) != t.name)
            continue;
        measure(t, parser.value(trips).toInt(), parser.value(megabytes).toInt());
    }
    return 0;
}
