#pragma once

#include "tests/support/peerconnection.h"
#include "transfer/inbandtransfer.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// One transfer of ours against a real peer program, as xfer_peer runs it and
// the transfer tests reuse it.
struct PeerRunPlan {
    QString protocol;      // one of peerProtocols()
    bool send = true;      // true: we send `files`; false: the peer sends them
    QStringList files;     // absolute paths
    QString receiveDir;    // where we receive (XMODEM: the file is named after files[0])
    QString peerCommand;   // empty: defaultPeerCommand()
    QString peerDir;       // the peer's working folder (its receive folder)
    PeerLink link = PeerLink::Pty;
    int timeoutMs = 60000; // the whole run, then the transfer is cancelled
};

// What a test may do while a run is in progress.
struct PeerRunControl {
    std::function<void()> cancel; // our side's cancel()
    std::function<void()> tick;   // one second of our transfer's clock, at once
    // From our next packet on, nothing we send reaches the peer and our
    // clock stops; `action` runs when that packet is held back. The peer
    // is then waiting for us, not halfway through a packet of its own.
    std::function<void(std::function<void()> action)> freeze;
    pid_t peerPid = -1;           // leads the peer's process group
    // Signals the peer's whole process group (the shell and the program).
    void signalPeer(int sig) const;
};

struct PeerRunResult {
    bool ok = false;         // our side succeeded and the peer exited with 0
    bool transferOk = false; // our side's own verdict
    InbandTransfer::Outcome outcome = InbandTransfer::Failed;
    QString summary;         // our failure text, or why the run failed
    int peerExit = -1;
    bool peerEndedFirst = false; // the peer was gone before our side finished
    int ticksAfterPeerEnded = 0; // what our time-outs took to end it then
    qint64 bytes = 0;
    qint64 progressBytes = -1; // bytes done in the last progress report
    double seconds = 0;
    QStringList statuses;    // every status text of our side, in order
    QString peerStderr;
};

// Known protocol names, in the order xfer_peer lists them.
QStringList peerProtocols();

// Our transfer object for a protocol name, and the variant its start takes
// in the given direction. Null for an unknown name.
std::unique_ptr<InbandTransfer> makeTransfer(const QString &protocol, bool send, int *variant);

// The program that answers us: the receiver when we send, the sender of
// `files` when we receive.
QString defaultPeerCommand(const QString &protocol, bool weSend, const QStringList &files);

// Runs one transfer. onStatus (optional) sees each status text as it is
// emitted and may act through the control (cancel, stop the peer, ...).
//
// Our clock ticks once a real second while the peer runs. Once the peer has
// gone, the transfer is left to its own time-outs, which then tick at once:
// a peer that died is not a cancel.
PeerRunResult runAgainstPeer(const PeerRunPlan &plan,
                             const std::function<void(const QString &, PeerRunControl &)> &onStatus = {});

// The peer programs against themselves on the same kind of link: the
// program standing in for our side sits where we would (on the master end
// of the pty).
PeerRunResult runReference(const PeerRunPlan &plan);

// The one-line summary xfer_peer prints.
QString resultLine(const QString &protocol, bool send, const PeerRunResult &result);
