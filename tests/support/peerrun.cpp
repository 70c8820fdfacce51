#include "tests/support/peerrun.h"

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
#include <utility>
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

std::unique_ptr<InbandTransfer> makeTransfer(const QString &protocol, bool send, int *variant)
{
    *variant = 0;
    if (protocol == QLatin1String("kermit"))
        return std::make_unique<KermitTransfer>();
    if (protocol == QLatin1String("zmodem"))
        return std::make_unique<ZmodemTransfer>();
    if (protocol == QLatin1String("ymodem"))
        *variant = XmodemTransfer::Ymodem;
    else if (protocol == QLatin1String("xmodem-1k"))
        *variant = send ? XmodemTransfer::Xmodem1k : XmodemTransfer::Xmodem;
    else if (protocol == QLatin1String("xmodem"))
        *variant = send ? XmodemTransfer::Xmodem : XmodemTransfer::XmodemChecksum;
    else if (protocol != QLatin1String("xmodem-crc"))
        return nullptr;
    return std::make_unique<XmodemTransfer>();
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
    int variant = 0;
    const std::unique_ptr<InbandTransfer> transfer = makeTransfer(plan.protocol, plan.send, &variant);
    if (!transfer) {
        result.summary = QStringLiteral("unknown protocol %1").arg(plan.protocol);
        return result;
    }
    InbandTransfer *t = transfer.get();
    t->setManualClock(true);
    PeerRunControl control;
    control.cancel = [t] { t->cancel(); };
    control.tick = [t] { t->tick(); };
    QEventLoop loop;
    bool finished = false;
    QObject::connect(t, &InbandTransfer::statusMessage, t, [&](const QString &, const QString &text) {
        result.statuses << text;
        if (onStatus)
            onStatus(text, control);
    });
    QObject::connect(t, &InbandTransfer::progressChanged, t,
                     [&](qint64 done, qint64, const QString &) { result.progressBytes = done; });
    QObject::connect(t, &InbandTransfer::resultReady, t, [&](InbandTransfer::Outcome outcome, const QString &) {
        result.outcome = outcome;
    });
    QObject::connect(t, &InbandTransfer::transferFinished, t, [&](const QString &, bool ok, const QString &summary) {
        result.transferOk = ok;
        result.summary = summary;
        finished = true;
        loop.quit();
    });

    const QString command = plan.peerCommand.isEmpty() ? defaultPeerCommand(plan.protocol, plan.send, plan.files)
                                                       : plan.peerCommand;
    QObject owner;
    auto *peer = new PeerConnection(command, plan.peerDir, plan.link, &owner);
    QElapsedTimer clock;
    clock.start();
    if (!peer->open()) {
        t->disconnect();
        result.summary = QStringLiteral("cannot start the peer: %1").arg(command);
        return result;
    }
    control.peerPid = peer->pid();

    // Wired as the main window wires a session: received bytes reach feed()
    // queued, and the send function holds the connection by guarded pointer.
    const QMetaObject::Connection feedLink =
        QObject::connect(peer, &Connection::dataReceived, t, &InbandTransfer::feed, Qt::QueuedConnection);
    QTimer seconds;
    struct Hold {
        bool on = false;
        std::function<void()> action;
    };
    const auto hold = std::make_shared<Hold>();
    control.freeze = [hold, &seconds](std::function<void()> action) {
        hold->on = true;
        hold->action = std::move(action);
        seconds.stop();
    };
    QPointer<Connection> guarded(peer);
    TransferSendFn sendFn = [guarded, hold](const QByteArray &bytes) {
        if (hold->on) {
            if (const std::function<void()> action = std::exchange(hold->action, nullptr))
                action();
        } else if (guarded) {
            guarded->write(bytes);
        }
    };

    seconds.setInterval(1000);
    QObject::connect(&seconds, &QTimer::timeout, t, [t] { t->tick(); });
    seconds.start();
    // Once the peer is gone (and what it wrote last has been fed: this runs
    // behind those queued feeds), nothing more will come: our side's
    // time-outs decide how the transfer ends, without real waiting.
    qint64 peerEndedNs = -1;
    QObject::connect(peer, &Connection::disconnected, &loop, [&] {
        peerEndedNs = clock.nsecsElapsed();
        QMetaObject::invokeMethod(&loop, [&] {
            seconds.stop();
            if (finished)
                return;
            result.peerEndedFirst = true;
            for (; result.ticksAfterPeerEnded < 1000 && !finished; ++result.ticksAfterPeerEnded)
                t->tick();
            if (!finished)
                t->cancel();
        }, Qt::QueuedConnection);
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        if (!finished)
            t->cancel();
    });
    deadline.start(plan.timeoutMs);

    if (plan.send) {
        t->startSend(sendFn, QStringLiteral("xfer-peer"), plan.files, variant);
    } else {
        QString target = plan.receiveDir;
        if (plan.protocol.startsWith(QLatin1String("xmodem"))) { // no name on the wire
            const QString name = plan.files.isEmpty() ? QStringLiteral("xmodem_recv.bin")
                                                      : QFileInfo(plan.files.first()).fileName();
            target = plan.receiveDir + QLatin1Char('/') + name;
        }
        t->startReceive(sendFn, QStringLiteral("xfer-peer"), target, variant);
    }
    if (!finished)
        loop.exec();
    const qint64 finishedNs = clock.nsecsElapsed();
    seconds.stop();
    QObject::disconnect(feedLink);

    // Nothing of this run may hear from the object any more, not even the
    // cancel of its destructor.
    t->disconnect();
    result.peerExit = peer->waitForExit(10000);
    if (result.peerExit < 0) {
        ::kill(-peer->pid(), SIGKILL);
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
