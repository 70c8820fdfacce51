#include "bench/xfer_peer/peerrun.h"

#include "transfer/kermittransfer.h"
#include "transfer/xmodemtransfer.h"
#include "transfer/zmodemtransfer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QEventLoop>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

QString shellQuote(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString quotedList(const QStringList &files)
{
    QStringList quoted;
    for (const QString &f : files)
        quoted << shellQuote(f);
    return quoted.join(QLatin1Char(' '));
}

qint64 totalSize(const QStringList &files)
{
    qint64 total = 0;
    for (const QString &f : files)
        total += QFileInfo(f).size();
    return total;
}

// The transfer object of a protocol and how to start and cancel it, so that
// the runner stays the same for every protocol family.
struct Driver {
    QObject *object = nullptr;
    std::function<void(TransferSendFn, const QString &)> start; // send function, session id
    std::function<void()> cancel;
};

struct Sinks {
    std::function<void(const QString &)> status;
    std::function<void(bool, const QString &)> finished;
};

template <typename Transfer>
void wire(Transfer *t, Driver *driver, const Sinks &sinks)
{
    driver->object = t;
    driver->cancel = [t] { t->cancel(); };
    QObject::connect(t, &Transfer::statusMessage, t, [s = sinks.status](const QString &, const QString &text) { s(text); });
    QObject::connect(t, &Transfer::transferFinished, t,
                     [f = sinks.finished](const QString &, bool ok, const QString &summary) { f(ok, summary); });
}

int xmodemMode(const QString &protocol, bool send)
{
    if (protocol == QLatin1String("ymodem"))
        return XmodemTransfer::Ymodem;
    if (protocol == QLatin1String("xmodem-1k"))
        return send ? XmodemTransfer::Xmodem1k : XmodemTransfer::Xmodem;
    if (protocol == QLatin1String("xmodem"))
        return send ? XmodemTransfer::Xmodem : XmodemTransfer::XmodemChecksum;
    return XmodemTransfer::Xmodem;
}

bool makeDriver(const PeerRunPlan &plan, QObject *parent, const Sinks &sinks, Driver *driver)
{
    if (!peerProtocols().contains(plan.protocol))
        return false;
    if (plan.protocol == QLatin1String("kermit")) {
        auto *k = new KermitTransfer(parent);
        wire(k, driver, sinks);
        if (plan.send)
            driver->start = [k, files = plan.files](TransferSendFn fn, const QString &id) {
                k->startSend(std::move(fn), id, files);
            };
        else
            driver->start = [k, dir = plan.receiveDir](TransferSendFn fn, const QString &id) {
                k->startReceive(std::move(fn), id, dir);
            };
        return true;
    }
    if (plan.protocol == QLatin1String("zmodem")) {
        auto *z = new ZmodemTransfer(parent);
        wire(z, driver, sinks);
        if (plan.send)
            driver->start = [z, files = plan.files](TransferSendFn fn, const QString &id) {
                z->startSend(std::move(fn), id, files);
            };
        else
            driver->start = [z, dir = plan.receiveDir](TransferSendFn fn, const QString &id) {
                z->startReceive(std::move(fn), id, dir);
            };
        return true;
    }
    auto *x = new XmodemTransfer(parent);
    wire(x, driver, sinks);
    const int mode = xmodemMode(plan.protocol, plan.send);
    if (plan.send) {
        driver->start = [x, mode, files = plan.files](TransferSendFn fn, const QString &id) {
            x->startSend(std::move(fn), id, files, mode);
        };
        return true;
    }
    QString target = plan.receiveDir;
    if (mode != XmodemTransfer::Ymodem) {
        const QString name = plan.files.isEmpty() ? QStringLiteral("xmodem_recv.bin")
                                                  : QFileInfo(plan.files.first()).fileName();
        target = plan.receiveDir + QLatin1Char('/') + name;
    }
    driver->start = [x, mode, target](TransferSendFn fn, const QString &id) {
        x->startReceive(std::move(fn), id, target, mode);
    };
    return true;
}

bool hasEnded(pid_t pid)
{
    siginfo_t info{};
    // Looks without reaping: the caller collects the exit code.
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Copies bytes both ways between two programs' links until the receiver has
// ended (and what it wrote last is passed on), or the sender has ended and
// the receiver lingers on (waiting for a sign-off that the sender's exit
// flushed from its terminal, as with socat's close time-out), or the time is
// up. Returns the time at which the transfer counts as done.
qint64 relayUntilDone(int aIn, int aOut, int bIn, int bOut, pid_t receiver, pid_t sender, int timeoutMs,
                      const QElapsedTimer &clock)
{
    QByteArray toA, toB;
    char buf[65536];
    const qint64 deadline = clock.elapsed() + timeoutMs;
    qint64 senderEndedNs = -1;
    bool ended = false;
    while (clock.elapsed() < deadline) {
        pollfd fds[4] = {{aIn, POLLIN, 0}, {bIn, POLLIN, 0}, {aOut, short(toA.isEmpty() ? 0 : POLLOUT), 0},
                         {bOut, short(toB.isEmpty() ? 0 : POLLOUT), 0}};
        const int r = ::poll(fds, 4, ended ? 0 : 2);
        if (r < 0 && errno != EINTR)
            break;
        bool moved = false;
        for (int side = 0; side < 2; ++side) {
            if (!(fds[side].revents & (POLLIN | POLLHUP)))
                continue;
            const ssize_t n = ::read(fds[side].fd, buf, sizeof buf);
            if (n > 0) {
                (side == 0 ? toB : toA).append(buf, int(n));
                moved = true;
            }
        }
        for (int side = 0; side < 2; ++side) {
            QByteArray &out = side == 0 ? toA : toB;
            if (out.isEmpty())
                continue;
            const ssize_t n = ::write(side == 0 ? aOut : bOut, out.constData(), size_t(out.size()));
            if (n > 0) {
                out.remove(0, int(n));
                moved = true;
            }
        }
        if (!ended && hasEnded(receiver))
            ended = true;
        if (ended && !moved)
            return clock.nsecsElapsed();
        if (senderEndedNs < 0 && hasEnded(sender))
            senderEndedNs = clock.nsecsElapsed();
        if (!ended && senderEndedNs >= 0 && clock.nsecsElapsed() - senderEndedNs > 500000000)
            return senderEndedNs;
    }
    return clock.nsecsElapsed();
}

} // namespace

void PeerRunControl::signalPeer(int sig) const
{
    if (peerPid > 0)
        ::kill(-peerPid, sig);
}

QStringList peerProtocols()
{
    return {QStringLiteral("xmodem"), QStringLiteral("xmodem-crc"), QStringLiteral("xmodem-1k"),
            QStringLiteral("ymodem"), QStringLiteral("zmodem"), QStringLiteral("kermit")};
}

QString defaultPeerCommand(const QString &protocol, bool weSend, const QStringList &files)
{
    // gkermit with -P keeps names as given, so the sender names the files
    // from their folder (one folder for all of them).
    if (protocol == QLatin1String("kermit")) {
        if (weSend)
            return QStringLiteral("gkermit -i -P -q -r");
        QStringList names;
        for (const QString &f : files)
            names << QFileInfo(f).fileName();
        return QStringLiteral("cd %1 && gkermit -i -P -q -s %2")
            .arg(shellQuote(QFileInfo(files.value(0)).absolutePath()), quotedList(names));
    }
    const QString name = files.isEmpty() ? QStringLiteral("xmodem_recv.bin") : QFileInfo(files.first()).fileName();
    if (protocol == QLatin1String("zmodem"))
        return weSend ? QStringLiteral("rz -q -y") : QStringLiteral("sz -q %1").arg(quotedList(files));
    if (weSend) {
        if (protocol == QLatin1String("ymodem"))
            return QStringLiteral("rb -q -y");
        if (protocol == QLatin1String("xmodem"))
            return QStringLiteral("rx -q -y %1").arg(shellQuote(name));
        return QStringLiteral("rx -q -y -c %1").arg(shellQuote(name));
    }
    if (protocol == QLatin1String("ymodem"))
        return QStringLiteral("sb -q -k %1").arg(quotedList(files));
    if (protocol == QLatin1String("xmodem-1k"))
        return QStringLiteral("sx -q -k %1").arg(shellQuote(files.value(0)));
    return QStringLiteral("sx -q %1").arg(shellQuote(files.value(0)));
}

PeerRunResult runAgainstPeer(const PeerRunPlan &plan,
                             const std::function<void(const QString &, PeerRunControl &)> &onStatus)
{
    PeerRunResult result;
    result.bytes = totalSize(plan.files);
    PeerRunControl control;
    QEventLoop loop;
    bool finished = false;

    QObject owner;
    Sinks sinks;
    sinks.status = [&](const QString &text) {
        result.statuses << text;
        if (onStatus)
            onStatus(text, control);
    };
    sinks.finished = [&](bool ok, const QString &summary) {
        result.transferOk = ok;
        result.summary = summary;
        finished = true;
        loop.quit();
    };
    Driver driver;
    if (!makeDriver(plan, &owner, sinks, &driver)) {
        result.summary = QStringLiteral("unknown protocol %1").arg(plan.protocol);
        return result;
    }
    const QString command = plan.peerCommand.isEmpty() ? defaultPeerCommand(plan.protocol, plan.send, plan.files)
                                                       : plan.peerCommand;
    auto *peer = new PeerConnection(command, plan.peerDir, plan.link, &owner);

    QElapsedTimer clock;
    clock.start();
    if (!peer->open()) {
        result.summary = QStringLiteral("cannot start the peer: %1").arg(command);
        return result;
    }
    control.peerPid = peer->pid();
    control.cancel = driver.cancel;
    control.tick = [obj = driver.object] { QMetaObject::invokeMethod(obj, "onTick", Qt::DirectConnection); };

    // Wired as the main window wires a session: received bytes reach feed()
    // queued, and the send function holds the connection by guarded pointer.
    const QMetaObject::Connection feedLink =
        QObject::connect(peer, &Connection::dataReceived, driver.object,
                         [obj = driver.object](const QByteArray &data) {
                             QMetaObject::invokeMethod(obj, "feed", Qt::DirectConnection, Q_ARG(QByteArray, data));
                         },
                         Qt::QueuedConnection);
    QPointer<Connection> guarded(peer);
    TransferSendFn sendFn = [guarded](const QByteArray &bytes) {
        if (guarded)
            guarded->write(bytes);
    };

    // A peer that has gone away leaves our side to its own time-outs, which
    // take up to a minute; a run gives it a short grace and then cancels.
    QTimer graceTimer;
    graceTimer.setSingleShot(true);
    graceTimer.setInterval(5000);
    QObject::connect(&graceTimer, &QTimer::timeout, &loop, [&] {
        if (!finished)
            driver.cancel();
    });
    qint64 peerEndedNs = -1;
    qint64 finishedNs = -1;
    QObject::connect(peer, &Connection::disconnected, &loop, [&] {
        peerEndedNs = clock.nsecsElapsed();
        graceTimer.start();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        if (!finished)
            driver.cancel();
    });
    deadline.start(plan.timeoutMs);

    driver.start(sendFn, QStringLiteral("xfer-peer"));
    if (!finished)
        loop.exec();
    finishedNs = clock.nsecsElapsed();
    QObject::disconnect(feedLink);

    result.peerExit = peer->waitForExit(10000);
    if (result.peerExit < 0) {
        ::kill(peer->pid(), SIGKILL);
        result.peerExit = peer->waitForExit(5000);
    }
    if (peerEndedNs < 0)
        peerEndedNs = clock.nsecsElapsed();
    // The time until the file is complete on the receiving side, as for
    // the reference: a sender waiting on a last answer does not count.
    result.seconds = (plan.send ? peerEndedNs : finishedNs) / 1e9;
    result.peerStderr = peer->stderrText();
    result.ok = result.transferOk && result.peerExit == 0;
    if (result.transferOk && !result.ok)
        result.summary = QStringLiteral("peer exited with %1").arg(result.peerExit);
    else if (!result.transferOk && plan.send && result.peerExit == 0)
        result.summary += QStringLiteral(" (the receiver exited with 0 first: its last answer was lost)");
    return result;
}

PeerRunResult runReference(const PeerRunPlan &plan)
{
    PeerRunResult result;
    result.bytes = totalSize(plan.files);
    const QString peerCommand = plan.peerCommand.isEmpty()
                                    ? defaultPeerCommand(plan.protocol, plan.send, plan.files)
                                    : plan.peerCommand;
    // The stand-in plays our part: the sender when we would send, else the
    // receiver, working in our receive folder. Each program gets a link of
    // its own (lrzsz misbehaves when its input is not a terminal) and the
    // two are joined by a relay, as socat joins them.
    const QString standIn = defaultPeerCommand(plan.protocol, !plan.send, plan.files);
    const QString standInDir = plan.send ? QString() : plan.receiveDir;

    QElapsedTimer clock;
    clock.start();
    int peerIn = -1, peerOut = -1, peerSlave = -1;
    int oursIn = -1, oursOut = -1, oursSlave = -1;
    const pid_t peer = spawnPeer(peerCommand, plan.peerDir, plan.link, &peerIn, &peerOut, -1, &peerSlave);
    const pid_t ours = spawnPeer(standIn, standInDir, plan.link, &oursIn, &oursOut, -1, &oursSlave);
    if (peer < 0 || ours < 0) {
        result.summary = QStringLiteral("cannot start lrzsz");
        return result;
    }
    const pid_t receiver = plan.send ? peer : ours;
    const pid_t sender = plan.send ? ours : peer;
    const qint64 doneNs = relayUntilDone(peerIn, peerOut, oursIn, oursOut, receiver, sender, plan.timeoutMs, clock);
    result.seconds = doneNs / 1e9;
    const int receiverExit = waitChild(receiver, 0);
    // The sender may still wait for a last answer that the receiver's exit
    // flushed away.
    const int senderExit = waitChild(sender, receiverExit < 0 ? 0 : 2000);
    for (const pid_t pid : {ours, peer}) {
        ::kill(pid, SIGKILL);
        waitChild(pid, 1000);
    }
    for (const int fd : {peerIn, peerOut == peerIn ? -1 : peerOut, peerSlave, oursIn, oursOut == oursIn ? -1 : oursOut,
                         oursSlave}) {
        if (fd >= 0)
            ::close(fd);
    }
    result.peerExit = plan.send ? receiverExit : senderExit;
    // The receiver's verdict is the transfer's; a receiver still waiting
    // for a sign-off after its sender ended leaves the word to the sender
    // (a ZMODEM sender ends with 0 only when everything was acknowledged).
    result.transferOk = receiverExit == 0 || (receiverExit < 0 && senderExit == 0);
    result.ok = result.transferOk;
    if (!result.ok)
        result.summary = QStringLiteral("lrzsz exited with %1 (receiver) and %2 (sender)").arg(receiverExit).arg(senderExit);
    return result;
}

QString resultLine(const QString &protocol, bool send, const PeerRunResult &result)
{
    const double mbps = result.seconds > 0 ? result.bytes / 1048576.0 / result.seconds : 0;
    return QStringLiteral("protocol=%1 direction=%2 bytes=%3 seconds=%4 MBps=%5 result=%6")
        .arg(protocol, send ? QStringLiteral("send") : QStringLiteral("receive"))
        .arg(result.bytes)
        .arg(result.seconds, 0, 'f', 3)
        .arg(mbps, 0, 'f', 2)
        .arg(result.ok ? QStringLiteral("ok") : QStringLiteral("failed: ") + result.summary);
}
