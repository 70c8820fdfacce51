#pragma once

// Our in-band transfers against real peer programs, for the tests and bench/xfer_peer.
#include "transfer/inbandtransfer.h"

#include <QStringList>

#include <csignal>
#include <functional>

// A peer on the slave side of a pseudo-terminal (as a remote shell runs it) or on pipes.
enum class PeerLink { Pty, Pipe };

struct PeerRunPlan {
    QString protocol;      // xmodem, xmodem-crc, xmodem-1k, ymodem, zmodem or kermit
    bool send = true;      // true: we send `files`; false: the peer sends them
    QStringList files;     // absolute paths
    QString receiveDir;    // where we receive (XMODEM: the file is named after files[0])
    QString peerCommand;   // empty: lrzsz or gkermit, in the other direction
    QString peerDir;       // the peer's working folder (its receive folder)
    PeerLink link = PeerLink::Pty;
    int delayMs = 0;       // each way between us and the peer's link, as a remote peer has it
    int timeoutMs = 60000; // the whole run, then the transfer is cancelled
};

// What a test may do while a run is in progress.
struct PeerRunControl {
    std::function<void()> cancel; // our side's cancel()
    // From our next packet on, nothing we send reaches the peer and our clock stops;
    // `action` runs then, with the peer waiting for us, not inside a packet of its own.
    std::function<void(std::function<void()> action)> freeze;
    // Our side's clock, `seconds` ticks at once: a peer stopped meanwhile sees no time pass.
    std::function<void(int seconds)> tick;
    pid_t peerPid = -1; // leads the peer's process group: a signal reaches the shell and the program
    void signalPeer(int sig) const { if (peerPid > 0) ::kill(-peerPid, sig); }
    // A line on the peer's terminal that is not the peer's, as `wall` or a
    // background job writes it.
    void hostSays(const QByteArray &text) const;
};

struct PeerRunResult {
    bool ok = false;         // our side succeeded and the peer exited with 0
    bool transferOk = false; // our side's own verdict
    InbandTransfer::Outcome outcome = InbandTransfer::Failed;
    QString summary;         // our failure text, or why the run failed
    int peerExit = -1;
    int ticksAfterPeerEnded = 0; // what our time-outs took to end it once the peer was gone
    qint64 bytes = 0;
    qint64 progressBytes = -1; // bytes done in the last progress report
    double seconds = 0;
    QStringList statuses;    // every status text of our side, in order
    QString peerStderr;
};

// Runs one transfer. onStatus (optional) sees each status text as it is
// emitted and may act through the control. Our clock ticks once a real
// second while the peer runs. Once the peer has gone, the transfer is left to
// its own time-outs, which then tick at once: a peer that died is not a cancel.
PeerRunResult runAgainstPeer(const PeerRunPlan &plan,
                             const std::function<void(const QString &, PeerRunControl &)> &onStatus = {});

// The lrzsz or gkermit program of our side in our place, on the same kind of
// link and behind the same delay (peerreference.cpp).
PeerRunResult runReference(const PeerRunPlan &plan);

// For the reference runs of bench/xfer_peer: a peer started on a link of its own
// (see peerrun.cpp), a child waited for, and the program that answers our side.
void closePair(int readFd, int writeFd);
pid_t spawnPeer(const QString &command, const QString &workDir, PeerLink link, int *readFd, int *writeFd,
                int errFd = -1, int *slaveFd = nullptr);
int waitChild(pid_t pid, int timeoutMs);
qint64 totalSize(const QStringList &files);
QString defaultPeerCommand(const QString &protocol, bool weSend, const QStringList &files);
QString peerCommand(const PeerRunPlan &plan);
