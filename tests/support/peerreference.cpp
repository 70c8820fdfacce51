// The peer programs against themselves through the same link and delay as
// our runs, for the paired figures of bench/xfer_peer and the loose ratio rows.
#include "tests/support/delayline.h"
#include "tests/support/peerrun.h"

#include <QElapsedTimer>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool hasEnded(pid_t pid)
{
    siginfo_t info{};
    // Looks without reaping: the caller collects the exit code.
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Copies bytes both ways between two programs until the receiver has ended (and what
// it wrote last is passed on), or the sender has ended and the receiver lingers on
// (for a sign-off that the sender's exit flushed from its terminal: socat's close
// time-out), or the time is up. Returns the time at which the transfer is done.
qint64 relayUntilDone(const int in[2], const int out[2], pid_t receiver, pid_t sender, int timeoutMs,
                      const QElapsedTimer &clock)
{
    QByteArray toSide[2];
    char buf[65536];
    const qint64 deadline = clock.elapsed() + timeoutMs;
    qint64 senderEndedNs = -1;
    bool ended = false;
    while (clock.elapsed() < deadline) {
        pollfd fds[4] = {{in[0], POLLIN, 0}, {in[1], POLLIN, 0}, {out[0], short(toSide[0].isEmpty() ? 0 : POLLOUT), 0},
                         {out[1], short(toSide[1].isEmpty() ? 0 : POLLOUT), 0}};
        if (::poll(fds, 4, ended ? 0 : 2) < 0 && errno != EINTR)
            break;
        bool moved = false;
        for (int from = 0, to = 1; from < 2; ++from, --to) {
            const ssize_t n = fds[from].revents & (POLLIN | POLLHUP) ? ::read(in[from], buf, sizeof buf) : 0;
            if (n > 0)
                toSide[to].append(buf, int(n)), moved = true;
            const ssize_t w = ::write(out[to], toSide[to].constData(), size_t(toSide[to].size()));
            if (w > 0)
                toSide[to].remove(0, int(w)), moved = true;
        }
        ended = ended || hasEnded(receiver);
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

PeerRunResult runReference(const PeerRunPlan &plan)
{
    PeerRunResult result;
    result.bytes = totalSize(plan.files);
    // Side 0 is the peer, side 1 the stand-in for our part, working in our
    // receive folder. Each gets a link of its own (lrzsz misbehaves when its
    // input is not a terminal), joined by a relay as socat joins them.
    const QString commands[2] = {peerCommand(plan), defaultPeerCommand(plan.protocol, !plan.send, plan.files)};
    const QString dirs[2] = {plan.peerDir, plan.send ? QString() : plan.receiveDir};
    QElapsedTimer clock;
    clock.start();
    int in[2] = {-1, -1}, out[2] = {-1, -1}, slave[2] = {-1, -1};
    pid_t pids[2];
    for (int side = 0; side < 2; ++side)
        pids[side] = spawnPeer(commands[side], dirs[side], plan.link, &in[side], &out[side], -1, &slave[side]);
    const bool started = pids[0] > 0 && pids[1] > 0;
    // The stand-in reaches the peer through the same delay as we do.
    std::unique_ptr<DelayLine> line;
    int relayEnds[2][2] = {{in[0], out[0]}, {in[1], out[1]}};
    if (started && plan.delayMs > 0) {
        line = std::make_unique<DelayLine>(in[1], out[1], LineShape{plan.delayMs, 0});
        relayEnds[1][0] = relayEnds[1][1] = line->ours();
    }
    const int relayIn[2] = {relayEnds[0][0], relayEnds[1][0]}, relayOut[2] = {relayEnds[0][1], relayEnds[1][1]};
    const pid_t receiver = pids[plan.send ? 0 : 1], sender = pids[plan.send ? 1 : 0];
    result.seconds = started ? relayUntilDone(relayIn, relayOut, receiver, sender, plan.timeoutMs, clock) / 1e9 : 0;
    const int receiverExit = started ? waitChild(receiver, 0) : -1;
    // The sender may still wait for a last answer that the receiver's exit flushed away.
    const int senderExit = started ? waitChild(sender, receiverExit < 0 ? 0 : 2000) : -1;
    for (int side = 0; side < 2; ++side)
        if (pids[side] > 0)
            ::kill(pids[side], SIGKILL), waitChild(pids[side], 1000);
    line.reset();
    for (int side = 0; side < 2; ++side) {
        closePair(in[side], out[side]);
        closePair(slave[side], -1);
    }
    result.peerExit = plan.send ? receiverExit : senderExit;
    // The receiver's verdict is the transfer's; one still waiting for a sign-off leaves the
    // word to the sender (a ZMODEM sender ends with 0 only when all was acknowledged).
    result.ok = result.transferOk = receiverExit == 0 || (receiverExit < 0 && senderExit == 0);
    if (!started)
        result.summary = QStringLiteral("cannot start lrzsz");
    else if (!result.ok)
        result.summary =
            QStringLiteral("lrzsz exited with %1 (receiver) and %2 (sender)").arg(receiverExit).arg(senderExit);
    return result;
}

