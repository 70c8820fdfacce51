// zmodem_stop [--delay MS] [--hold BYTES] [--runs N] [--after MS] [--size MIB]
//             [--shell CMD --dir DIR] [RATE...]
//
// A ZMODEM send to `rz` in a far bash, over a line that holds every byte
// MS milliseconds each way (default 25), carries RATE bytes a second
// (default 20000 and 100000) and holds up to BYTES (default 2 MiB, as an
// SSH channel's window does). --after MS (default 2000) into the data the
// send is stopped: ours by its cancel (what Esc does), lrzsz's
// `sz -w 16384` by SIGTERM, on which it sends its own cancel (CANs) and
// exits; or rz is killed. SIGINT is no stop for sz amid a file: it waits
// for the receiver's ZACK of where it is, then sends a new ZDATA from there
// and goes on with the file, so the shell is back only once the file is
// done. Then a command is typed as soon as the sender has ended, and again
// every 250 ms until the shell answers (what a receiver still running reads
// is lost to it, as a user's keys would be). One line per case and sender:
// the seconds from the event to the answer, the median and every run, and
// for ours how far the data might run past the last ZACK at the event.
// --shell runs CMD (through sh -c) as the far end in place of a local bash,
// such as an ssh to a host that starts bash there in DIR, a folder we can
// read: the line then shapes what goes to the ssh client, as a relay in
// front of the host would.

#include "tests/support/delaypump.h"
#include "transfer/zmodemtransfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>

namespace {

const QByteArray kCommand = "\x15" "echo $((6*7))ZZ\r";
const QByteArray kAnswer = "42ZZ";

struct Options {
    int delayMs = 25;
    qint64 hold = 2 << 20;
    int runs = 3;
    int afterMs = 2000;
    int sizeMiB = 4;
    QByteArray shell;
    QString dir;
    std::vector<qint64> rates;
};

// A far bash on a pty of its own, behind the shaped line; `near` is the
// end our side (or sz) talks on.
class FarShell
{
public:
    FarShell(const LineShape &line, const QString &dir, const QByteArray &command)
    {
        int pair[2];
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        near = pair[0];
        const int far = pair[1];
        // Small socket buffers: what is on its way sits in the line, where it is shaped.
        const int small = 16 << 10;
        for (int fd : {near, far}) {
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        int stop[2];
        ::pipe(stop);
        stopRead = stop[0];
        stopWrite = stop[1];
        shell = ::forkpty(&master, nullptr, nullptr, nullptr);
        if (shell == 0) {
            ::close(near);
            ::close(far);
            QDir::setCurrent(dir);
            ::setenv("LC_ALL", "C", 1);
            ::setenv("PS1", "$ ", 1);
            if (!command.isEmpty())
                ::execl("/bin/sh", "sh", "-c", command.constData(), static_cast<char *>(nullptr));
            ::execl("/bin/bash", "bash", "--norc", "--noprofile", "-i", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        toFar = std::thread([=] { pumpDelayed(far, master, line, stopRead); });
        fromFar = std::thread([=] { pumpDelayed(master, far, line, stopRead); });
        farEnd = far;
    }
    ~FarShell()
    {
        // rz runs in a job of its own: it would go on writing into the
        // folder. Only while that pid is still an rz: it may have ended.
        QFile comm(QStringLiteral("/proc/%1/comm").arg(receiver));
        if (receiver > 0 && comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "rz")
            ::kill(receiver, SIGKILL);
        ::kill(shell, SIGKILL);
        ::write(stopWrite, "x", 1);
        toFar.join();
        fromFar.join();
        ::waitpid(shell, nullptr, 0);
        for (int fd : {near, farEnd, master, stopRead, stopWrite})
            ::close(fd);
    }
    // Reads what the far end says until `want` is in it or `ms` pass; what was read is kept.
    bool readUntil(const QByteArray &want, int ms, int retypeMs = 0)
    {
        QElapsedTimer clock;
        clock.start();
        qint64 typed = -retypeMs; // typed at once
        while (!heard.contains(want)) {
            if (clock.elapsed() >= ms)
                return false;
            if (retypeMs > 0 && clock.elapsed() - typed >= retypeMs) {
                type(kCommand);
                typed = clock.elapsed();
            }
            pollfd p{near, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char buf[65536];
                const ssize_t n = ::read(near, buf, sizeof buf);
                if (n > 0)
                    heard.append(buf, n);
            }
        }
        return true;
    }
    void type(const QByteArray &keys) { ::write(near, keys.constData(), size_t(keys.size())); }

    int near = -1;
    pid_t receiver = -1;
    QByteArray heard;

private:
    int farEnd = -1, master = -1, stopRead = -1, stopWrite = -1;
    pid_t shell = -1;
    std::thread toFar, fromFar;
};

struct Figure {
    double seconds = -1; // to the command's answer; -1: none within the bound
    quint32 ahead = 0;   // ours: how far the data might run past the last ZACK at the event
};

// Starts rz in the far shell, waits for its first header; the pid of rz, or 0.
pid_t startReceiver(FarShell &far, const QString &dir)
{
    far.type("bash -c 'echo $$ >peer.pid; exec rz -q -y'\r");
    if (!far.readUntil("**\x18" "B01", 10000))
        return 0;
    QFile f(dir + QStringLiteral("/peer.pid"));
    far.receiver = f.open(QIODevice::ReadOnly) ? pid_t(f.readAll().trimmed().toInt()) : 0;
    return far.receiver;
}

// sz's data, read by the shell of a killed rz, runs as commands there, and
// their redirections leave files whose names are no text: removed by their
// bytes, which QTemporaryDir cannot do.
struct ScratchDir {
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(QFile::encodeName(dir.path()).toStdString(), ignored);
    }
    QString path() const { return dir.path(); }
    QTemporaryDir dir;
};

// One run's far shell, in its folder, with rz started in it (rz <= 0: it did not start).
struct Trial {
    Trial(const Options &o, qint64 rate)
        : dir(o.dir.isEmpty() ? scratch.path() : o.dir), far({o.delayMs, rate, o.hold}, dir, o.shell),
          rz(startReceiver(far, dir))
    {
    }
    ScratchDir scratch;
    QString dir;
    FarShell far;
    pid_t rz;
};

Figure answered(FarShell &far, const QElapsedTimer &since)
{
    far.heard.clear();
    Figure f;
    if (far.readUntil(kAnswer, 180000, 250))
        f.seconds = since.nsecsElapsed() / 1e9;
    return f;
}

Figure runOurs(const Options &o, qint64 rate, bool kill, const QString &file)
{
    Trial trial(o, rate);
    FarShell &far = trial.far;
    const pid_t rz = trial.rz;
    if (rz <= 0)
        return {};
    ::fcntl(far.near, F_SETFL, ::fcntl(far.near, F_GETFL) | O_NONBLOCK);
    ZmodemTransfer t;
    QByteArray queued;
    QSocketNotifier readable(far.near, QSocketNotifier::Read), writable(far.near, QSocketNotifier::Write);
    const auto flush = [&] {
        while (!queued.isEmpty()) {
            const ssize_t k = ::write(far.near, queued.constData(), size_t(queued.size()));
            if (k <= 0)
                break;
            queued.remove(0, k);
        }
        writable.setEnabled(!queued.isEmpty());
    };
    QObject::connect(&writable, &QSocketNotifier::activated, flush);
    QObject::connect(&readable, &QSocketNotifier::activated, [&] {
        char buf[65536];
        const ssize_t n = ::read(far.near, buf, sizeof buf);
        if (n > 0 && t.isActive())
            t.feed(QByteArray(buf, n));
    });
    t.setBacklog([&] { return qint64(queued.size()); });
    t.setDiscardFn([&] { queued.clear(); });
    bool ended = false;
    QObject::connect(&t, &InbandTransfer::transferFinished, [&] { ended = true; });
    t.startSend([&](const QByteArray &b) { queued += b; flush(); }, QStringLiteral("bench"), {file});
    t.feed(far.heard.mid(far.heard.indexOf("**\x18" "B01")));
    QEventLoop loop;
    QTimer::singleShot(o.afterMs, &loop, &QEventLoop::quit);
    loop.exec();
    const quint32 ahead = t.aheadBound();
    QElapsedTimer since;
    since.start();
    if (kill)
        ::kill(rz, SIGKILL);
    else
        t.cancel();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (ended)
            loop.quit();
    });
    poll.start(10);
    QTimer::singleShot(180000, &loop, &QEventLoop::quit);
    loop.exec();
    readable.setEnabled(false);
    writable.setEnabled(false);
    ::fcntl(far.near, F_SETFL, ::fcntl(far.near, F_GETFL) & ~O_NONBLOCK);
    if (!ended)
        return {};
    Figure f = answered(far, since);
    f.ahead = ahead;
    return f;
}

Figure runReference(const Options &o, qint64 rate, bool kill, const QString &file)
{
    Trial trial(o, rate);
    FarShell &far = trial.far;
    const pid_t rz = trial.rz;
    if (rz <= 0)
        return {};
    const pid_t sz = ::fork();
    if (sz == 0) {
        ::dup2(far.near, 0);
        ::dup2(far.near, 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::execlp("sz", "sz", "-q", "-w", "16384", file.toLocal8Bit().constData(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    QThread::msleep(o.afterMs);
    QElapsedTimer since;
    since.start();
    ::kill(kill ? rz : sz, kill ? SIGKILL : SIGTERM);
    int status = 0;
    // sz gives up on its own when the receiver is gone, after its time-outs.
    for (int waited = 0; ::waitpid(sz, &status, WNOHANG) == 0; waited += 10) {
        if (waited > 180000) {
            ::kill(sz, SIGKILL);
            ::waitpid(sz, &status, 0);
            return {};
        }
        QThread::msleep(10);
    }
    return answered(far, since);
}

QString pseudoRandomFile(const QString &dir, int mib)
{
    QByteArray out(qsizetype(mib) << 20, Qt::Uninitialized);
    quint64 x = 0x9E3779B97F4A7C15ull;
    for (char &c : out) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = char(x >> 24);
    }
    const QString path = dir + QStringLiteral("/data.bin");
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(out) == out.size() ? path : QString();
}

QString median(std::vector<Figure> figures)
{
    std::vector<double> s;
    for (const Figure &f : figures)
        s.push_back(f.seconds < 0 ? 1e9 : f.seconds);
    std::sort(s.begin(), s.end());
    QStringList all;
    for (double v : s)
        all << (v >= 1e9 ? QStringLiteral("none") : QString::number(v, 'f', 2));
    QStringList ahead;
    for (const Figure &f : figures)
        ahead << QString::number(f.ahead);
    const double m = s[s.size() / 2];
    return QStringLiteral("median=%1 runs=%2%3")
        .arg(m >= 1e9 ? QStringLiteral("none") : QString::number(m, 'f', 2), all.join(','),
             figures.front().ahead ? QStringLiteral(" window=") + ahead.join(',') : QString());
}

} // namespace

int main(int argc, char **argv)
{
    ::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    Options o;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const auto value = [&] { return i + 1 < args.size() ? args.at(++i).toLongLong() : 0; };
        if (args[i] == QLatin1String("--delay"))
            o.delayMs = int(value());
        else if (args[i] == QLatin1String("--hold"))
            o.hold = value();
        else if (args[i] == QLatin1String("--runs"))
            o.runs = qMax<int>(1, int(value()));
        else if (args[i] == QLatin1String("--after"))
            o.afterMs = int(value());
        else if (args[i] == QLatin1String("--size"))
            o.sizeMiB = qMax<int>(1, int(value()));
        else if (args[i] == QLatin1String("--shell") && i + 1 < args.size())
            o.shell = args.at(++i).toLocal8Bit();
        else if (args[i] == QLatin1String("--dir") && i + 1 < args.size())
            o.dir = args.at(++i);
        else
            o.rates.push_back(args[i].toLongLong());
    }
    if (o.rates.empty())
        o.rates = {20000, 100000};
    QTemporaryDir dir;
    const QString file = pseudoRandomFile(dir.path(), o.sizeMiB);
    if (file.isEmpty())
        return 1;
    for (qint64 rate : o.rates) {
        for (bool kill : {false, true}) {
            std::vector<Figure> ours, reference;
            for (int r = 0; r < o.runs; ++r) {
                ours.push_back(runOurs(o, rate, kill, file));
                reference.push_back(runReference(o, rate, kill, file));
            }
            const char *event = kill ? "rz-killed" : "stop";
            const char *far = o.shell.isEmpty() ? "bash" : "shell-cmd";
            std::printf("zmodem_stop far=%s delay=%dms rate=%lld hold=%lld event=%s ours: %s\n", far, o.delayMs,
                        rate, o.hold, event, qPrintable(median(ours)));
            std::printf("zmodem_stop far=%s delay=%dms rate=%lld hold=%lld event=%s sz -w 16384: %s\n", far,
                        o.delayMs, rate, o.hold, event, qPrintable(median(reference)));
            std::fflush(stdout);
        }
    }
    return 0;
}
