#pragma once

#include "bench/xfer_peer/peerconnection.h"

#include <QString>
#include <QStringList>

#include <functional>

// One transfer of ours against a real peer program, as xfer_peer runs it and
// the transfer tests reuse it.
struct PeerRunPlan {
    QString protocol;      // xmodem, xmodem-crc, xmodem-1k, ymodem, zmodem
    bool send = true;      // true: we send `files`; false: the peer sends them
    QStringList files;     // absolute paths
    QString receiveDir;    // where we receive (XMODEM: the file is named after files[0])
    QString peerCommand;   // empty: the lrzsz program of the other direction
    QString peerDir;       // the peer's working folder (its receive folder)
    PeerLink link = PeerLink::Pty;
    int timeoutMs = 60000; // the whole run, then the transfer is cancelled
};

// What a test may do while a run is in progress.
struct PeerRunControl {
    std::function<void()> cancel; // our side's cancel()
    std::function<void()> tick;   // one tick of our transfer's clock, at once
    pid_t peerPid = -1;           // leads the peer's process group
    // Signals the peer's whole process group (the shell and the program).
    void signalPeer(int sig) const;
};

struct PeerRunResult {
    bool ok = false;         // our side succeeded and the peer exited with 0
    bool transferOk = false; // our side's own verdict
    QString summary;         // our failure text, or why the run failed
    int peerExit = -1;
    qint64 bytes = 0;
    double seconds = 0;
    QStringList statuses;    // every status text of our side, in order
    QString peerStderr;
};

// Known protocol names, in the order xfer_peer lists them.
QStringList peerProtocols();

// The lrzsz command that answers us: the receiver when we send, the sender of
// `files` when we receive.
QString defaultPeerCommand(const QString &protocol, bool weSend, const QStringList &files);

// Runs one transfer. onStatus (optional) sees each status text as it is
// emitted and may act through the control (cancel, stop the peer, ...).
PeerRunResult runAgainstPeer(const PeerRunPlan &plan,
                             const std::function<void(const QString &, PeerRunControl &)> &onStatus = {});

// lrzsz against itself on the same kind of link: the program standing in for
// our side sits where we would (on the master end of the pty).
PeerRunResult runReference(const PeerRunPlan &plan);

// The one-line summary xfer_peer prints.
QString resultLine(const QString &protocol, bool send, const PeerRunResult &result);
