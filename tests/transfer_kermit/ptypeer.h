#pragma once

#include "transfer/kermittransfer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <sys/types.h>

// A real Kermit program on the slave side of a pseudo-terminal, wired to a
// KermitTransfer as the main window wires a session: received bytes reach
// feed() queued, packets go out through the send function. The peer runs in
// a session of its own with the pty as its controlling terminal, which
// C-Kermit needs before it transfers anything.
class PtyPeer
{
public:
    PtyPeer() = default;
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    bool start(const QString &command, const QString &workDir);
    void write(const QByteArray &bytes);
    pid_t pid() const { return m_pid; }
    int fd() const { return m_master; }
    // Waits for the peer to end while draining what it writes; its exit code,
    // 128 + signal, or -1 when it is still running (it is then killed).
    int finish(int timeoutMs);

private:
    pid_t m_pid = -1;
    int m_master = -1;
    int m_slave = -1;
    int m_exit = -1;
};

struct KermitRun {
    bool ok = false;       // our verdict
    QString summary;
    int peerExit = -1;
    QStringList statuses;
    int finishedCount = 0; // transferFinished signals seen
};

// What a test may do while the run goes on, at each status text.
using KermitRunHook = std::function<void(const QString &status, KermitTransfer &transfer, PtyPeer &peer)>;

// Starts the peer, then our side through `start` (given the send function),
// runs the event loop until our side has finished (or `timeoutMs` passed, at
// which point our side is cancelled), and waits for the peer to end.
KermitRun runKermit(const QString &peerCommand, const QString &peerDir,
                    const std::function<void(KermitTransfer &, TransferSendFn)> &start,
                    const KermitRunHook &hook = {}, int timeoutMs = 60000);

QString shellQuote(const QString &text);
