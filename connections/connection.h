#pragma once

#include "platform/socket.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// A byte stream to a host or device. The main window creates one per open
// session, calls open(), writes typed bytes into it and closes it; success,
// data and failure arrive through the four signals.
class Connection : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    virtual bool open() = 0;
    virtual void close() = 0;
    virtual void write(const QByteArray &data) = 0;
    virtual bool isOpen() const = 0;
    virtual void resize(int cols, int rows) = 0;
    // Asks the transport to stop reading from the peer until called with
    // false (the terminal cannot keep up); transports without flow control
    // ignore it.
    virtual void setReadPaused(bool) {}
    // Bytes written but not yet taken by the transport: a long send paces
    // itself by it instead of overrunning the bounded queue.
    virtual qint64 pendingBytes() const { return 0; }
    // Drops what was written and not yet taken by the transport: a transfer
    // whose peer has left takes back what of its data still waits. A piece
    // the transport is already writing goes out whole.
    virtual void discardQueued() {}
    // While on, written bytes reach the peer exactly as they are (no line-end
    // conversion): a file transfer runs in the stream.
    virtual void setTransparent(bool) {}
    // Tells the transport to stop without waiting for it, so that many
    // connections can stop at once; the close() that follows waits for it no
    // longer than `deadline`.
    virtual void requestStop(QDeadlineTimer deadline) { Q_UNUSED(deadline) }

signals:
    void dataReceived(const QByteArray &data);
    void connectionError(const QString &msg); // already translated
    void connected();
    void disconnected();
    // A write did not fit into the send queue and was dropped; the link
    // itself is fine.
    void sendQueueFull();
};

// What a connection and its worker thread share. Both hold it by shared
// pointer, so a worker that outlives its connection (a join that timed out)
// still touches valid memory, and the GUI thread never needs the worker's
// socket: stop and new bytes are announced through the waker, and only the
// worker closes what it opened.
struct ConnectionLink {
    static constexpr qint64 kMaxQueuedBytes = 8 * 1024 * 1024;

    std::mutex queueMutex;
    std::deque<QByteArray> sendQueue;  // guarded by queueMutex
    qint64 queuedBytes = 0;            // guarded by queueMutex
    // A worker whose descriptor may take typed bytes straight from the GUI
    // thread publishes it here while it is open; it may, when nothing waits
    // before them: the queue is empty and no chunk taken from it is still
    // being written.
    int directFd = -1;                 // guarded by queueMutex
    bool chunkInHand = false;          // guarded by queueMutex; set by takeFront

    std::atomic<bool> connectedFlag{false};
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<int> pendingCols{80};
    std::atomic<int> pendingRows{24};
    std::atomic<bool> resizePending{false};
    std::atomic<bool> transparent{false}; // see Connection::setTransparent
    platform::Waker waker;
    platform::TcpResolver resolver = platform::resolveTcp; // tests answer for the name server

    // Flow control of received bytes: those emitted by the worker but not yet
    // handed on by the connection, and the consumer's pause. A worker that
    // honours mayRead() leaves its input unread meanwhile, so the kernel (the
    // pty, the socket) holds back the peer instead of memory filling up.
    static constexpr qint64 kMaxInFlight = 256 * 1024;
    std::atomic<qint64> inFlight{0};
    std::atomic<bool> readPaused{false};
    // The worker keeps read bytes back while the consumer still has some:
    // they go as one larger block once it has caught up (it wakes us then).
    std::atomic<bool> holdingData{false};
    bool mayRead() const { return !readPaused.load() && inFlight.load() < kMaxInFlight; }
    void handedOn(qint64 bytes); // wakes the worker when reading may go on

    // Appends a chunk unless that would pass kMaxQueuedBytes; wakes the worker.
    bool enqueue(const QByteArray &chunk);
    // Takes the oldest chunk; false when the queue is empty (then the
    // chunk taken before is done).
    bool takeFront(QByteArray *chunk);
    qint64 queued();
    void clearQueue();
    void setPendingSize(int cols, int rows); // stores, flags and wakes
    void requestStop();                       // flags and wakes
};

// How ConnectionWorker::connectToHost goes about it.
struct ConnectPlan {
    int bindPortLow = 0;  // > 0: the local port is chosen from this
    int bindPortHigh = 0; //   range, highest first
    // One 10 s budget for all of the host's addresses instead of 10 s
    // for each: a host with many silent addresses keeps its user
    // waiting no longer than one.
    bool sharedBudget = false;
    // Gets a line per step of each attempt; set only while tracing.
    std::function<void(const QString &)> trace;
    const QElapsedTimer *clock = nullptr; // what "elapsed" counts from in trace lines
};

// The thread body of a worker-based connection. Subclasses implement run()
// and report only through the four signals, which the owning connection
// relays (queued) to its own.
class ConnectionWorker : public QThread
{
    Q_OBJECT
public:
    explicit ConnectionWorker(std::shared_ptr<ConnectionLink> link);

    ConnectionLink &link() const { return *m_link; }
    bool keepRunning() const { return m_link->running.load() && !m_link->stopRequested.load(); }

    // First call of run(): sets running unless a stop came first (then run()
    // returns at once, with no signal). A stop that races with the start is
    // never lost: running ends up cleared either way.
    bool beginRun();
    // Sets connectedFlag, then emits sigConnected (skipped after a stop).
    void markConnected();
    // Last call of run(): clears connectedFlag and running.
    void finishRun();

    static constexpr int kConnectBudgetMs = 10000;

    // Resolves host and tries each address in turn, giving up at once on
    // stop. Returns a connected non-blocking socket, or -1 after emitting
    // sigError "无法解析主机：%1（%2）" / "无法连接到 %1:%2：%3" (with the
    // system's reason; nothing is emitted when the failure is a stop).
    int connectToHost(const QString &host, int port, const ConnectPlan &plan = {});
    // After connectToHost failed: whether the name did not resolve, and the
    // resolver's code then.
    bool resolveFailed() const { return m_resolveFailed; }
    int resolveCode() const { return m_resolveCode; }

    // Sends every queued chunk through send(); stops early when send()
    // returns false (a link error the caller reports) or on stop.
    template <typename SendFn>
    bool drainSendQueue(SendFn &&send)
    {
        QByteArray chunk;
        while (keepRunning() && m_link->takeFront(&chunk)) {
            if (!send(chunk))
                return false;
        }
        return true;
    }

signals:
    void sigData(const QByteArray &data);
    void sigError(const QString &msg);
    void sigConnected();
    void sigDisconnected();

protected:
    std::shared_ptr<ConnectionLink> m_link;

private:
    bool m_resolveFailed = false;
    int m_resolveCode = 0;
};

// The open/write/close/stop logic shared by the worker-based transports
// (Telnet and raw TCP, RLogin, SSH, local shell).
class WorkerConnection : public Connection
{
    Q_OBJECT
public:
    explicit WorkerConnection(QObject *parent = nullptr);
    ~WorkerConnection() override;

    bool open() override;
    void close() override;
    void write(const QByteArray &data) override;
    bool isOpen() const override;
    void resize(int cols, int rows) override;
    void setReadPaused(bool paused) override;
    qint64 pendingBytes() const override { return m_link->queued(); }
    void discardQueued() override { m_link->clearQueue(); }
    void setTransparent(bool on) override;
    void requestStop(QDeadlineTimer deadline) override;
    // Looks names up with resolver from the next open on (tests: a host
    // with addresses of their choosing).
    void setResolver(platform::TcpResolver resolver) { m_link->resolver = resolver; }

    int cols() const { return m_cols; }
    int rows() const { return m_rows; }

    static constexpr int kJoinTimeoutMs = 15000;

protected:
    // Makes a worker over the given link with a copy of the parameters.
    virtual ConnectionWorker *createWorker(std::shared_ptr<ConnectionLink> link) = 0;
    // Wires worker signals beyond the four common ones (e.g. SSH's remote environment).
    virtual void connectExtraSignals(ConnectionWorker *) {}
    // For debug lines of a transport ("[SSH] stopWorker ..."); empty: none.
    virtual QString debugTag() const { return QString(); }
    void stopWorker();

    // Counts workers started and stopped. A worker's emissions already
    // queued when it is stopped are still delivered after the disconnect;
    // relays made in open() drop those whose generation is no longer
    // current. connectExtraSignals may use it the same way:
    //   connect(w, &W::sigX, this, [this, g = generation()](..) { if (g == generation()) emit x(..); });
    quint64 generation() const { return m_generation; }

    // The connection's current link; a worker's link stays with the worker.
    std::shared_ptr<ConnectionLink> m_link;
    ConnectionWorker *m_worker = nullptr;
    int m_cols = 80;
    int m_rows = 24;

private:
    quint64 m_generation = 0;
    QDeadlineTimer m_stopDeadline{QDeadlineTimer::Forever}; // set by requestStop

    // A fresh link that takes over the queued bytes, so that a worker left
    // behind by a timed-out join can neither take them nor flip the flags.
    void renewLink();
};
