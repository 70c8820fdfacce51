#pragma once

#include "connections/connection.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <sys/types.h>

// How a peer program is attached: on the slave side of a pseudo-terminal (as
// a remote shell would run it) or on a pair of pipes.
enum class PeerLink { Pty, Pipe };

// A peer process started with "/bin/sh -c command" in a working folder,
// its standard input and output on the given link, its standard error on
// errFd (-1: /dev/null). Fills the descriptors that reach the peer (the same
// one twice for a pty), non-blocking and close-on-exec, and (when slaveFd is
// given) our copy of the pty's slave end, which the caller closes once the
// peer has ended. -1 on failure.
pid_t spawnPeer(const QString &command, const QString &workDir, PeerLink link,
                int *readFd, int *writeFd, int errFd = -1, int *slaveFd = nullptr);

// Reaps what has ended of a peer's process group; true once none is left.
bool groupEnded(pid_t group);

// Waits up to timeoutMs for a child to end; its exit code, 128+signal when it
// was killed, or -1 when it is still running.
int waitChild(pid_t pid, int timeoutMs);

// A Connection whose far end is a peer program: the stand-in for a session's
// connection, built like the real transports (a worker thread that owns the
// descriptors, a bounded send queue, queued signals), so that a transfer
// object is wired and timed exactly as the main window would have it
// (dataReceived -> feed, send function -> write).
class PeerConnection : public WorkerConnection
{
    Q_OBJECT
public:
    PeerConnection(QString command, QString workDir, PeerLink link, QObject *parent = nullptr);
    ~PeerConnection() override;

    bool open() override; // starts the peer, then the worker

    pid_t pid() const { return m_pid; }
    // Waits for the peer to end while still handling events; its exit code
    // as waitChild gives it, -1 when it is still running.
    int waitForExit(int timeoutMs);
    QString stderrText() const;

protected:
    ConnectionWorker *createWorker(std::shared_ptr<ConnectionLink> link) override;

private:
    QString m_command;
    QString m_workDir;
    PeerLink m_link;
    pid_t m_pid = -1;
    int m_readFd = -1;
    int m_writeFd = -1;
    int m_slaveFd = -1;
    int m_errFd = -1;
    std::shared_ptr<std::atomic<int>> m_exitCode;
};
