#include "connections/connection.h"

#include "core/debuglog.h"
#include "core/languagemanager.h"

#include <utility>

bool ConnectionLink::enqueue(const QByteArray &chunk)
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (queuedBytes + chunk.size() > kMaxQueuedBytes)
            return false;
        sendQueue.push_back(chunk);
        queuedBytes += chunk.size();
    }
    waker.wake();
    return true;
}

bool ConnectionLink::takeFront(QByteArray *chunk)
{
    std::lock_guard<std::mutex> lock(queueMutex);
    chunkInHand = !sendQueue.empty();
    if (!chunkInHand)
        return false;
    *chunk = std::move(sendQueue.front());
    sendQueue.pop_front();
    queuedBytes -= chunk->size();
    return true;
}

qint64 ConnectionLink::queued()
{
    std::lock_guard<std::mutex> lock(queueMutex);
    return queuedBytes;
}

void ConnectionLink::clearQueue()
{
    std::deque<QByteArray> dropped;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        dropped.swap(sendQueue);
        queuedBytes = 0;
    }
}

void ConnectionLink::setPendingSize(int cols, int rows)
{
    pendingCols.store(cols);
    pendingRows.store(rows);
    resizePending.store(true);
    waker.wake();
}

void ConnectionLink::requestStop()
{
    stopRequested.store(true);
    running.store(false);
    waker.wake();
}

ConnectionWorker::ConnectionWorker(std::shared_ptr<ConnectionLink> link)
    : m_link(std::move(link))
{
}

bool ConnectionWorker::beginRun()
{
    if (m_link->stopRequested.load())
        return false;
    m_link->running.store(true);
    // requestStop() sets stopRequested before it clears running: if the
    // store above came after that clear, this read sees the request.
    if (m_link->stopRequested.load()) {
        m_link->running.store(false);
        return false;
    }
    return true;
}

void ConnectionWorker::markConnected()
{
    if (!keepRunning())
        return;
    m_link->connectedFlag.store(true);
    emit sigConnected();
}

void ConnectionWorker::finishRun()
{
    m_link->connectedFlag.store(false);
    m_link->running.store(false);
}

namespace {

// The trace line of one step of a connect attempt.
QString connectStepLine(platform::ConnectStep step, int value, const platform::SocketAddress &address, qint64 elapsed)
{
    using platform::ConnectStep;
    const QString at = address.text();
    switch (step) {
    case ConnectStep::SocketFailed:
        return QStringLiteral("socket failed address=%1 wsa=%2").arg(at, QString::number(value));
    case ConnectStep::SocketCreated:
        return QStringLiteral("socket created address=%1 family=%2 type=%3 sock=%4")
            .arg(at, QString::number(address.family), QString::number(address.type), QString::number(value));
    case ConnectStep::Connected:
        return QStringLiteral("TCP connected immediately address=%1 elapsed=%2ms").arg(at, QString::number(elapsed));
    case ConnectStep::Pending:
        return QStringLiteral("TCP connect pending/failed address=%1 rc=-1 wsa=%2").arg(at, QString::number(value));
    case ConnectStep::DeadlineReached:
        return QStringLiteral("TCP connect deadline reached address=%1").arg(at);
    case ConnectStep::WaitReady:
        return QStringLiteral("TCP connect select ready address=%1 so_error=%2").arg(at, QString::number(value));
    case ConnectStep::WaitTimeout:
        return QStringLiteral("TCP connect select timeout address=%1").arg(at);
    case ConnectStep::WaitFailed:
        return QStringLiteral("TCP connect select failed address=%1 wsa=%2").arg(at, QString::number(value));
    }
    return QString();
}

} // namespace

int ConnectionWorker::connectToHost(const QString &host, int port, const ConnectPlan &plan)
{
    m_resolveFailed = false;
    m_resolveCode = 0;
    if (port < 1 || port > 65535) {
        emit sigError(LanguageManager::tr("无法连接到 %1:%2").arg(host, QString::number(port)));
        return -1;
    }
    platform::ResolveError reason;
    bool cancelled = false;
    const QList<platform::SocketAddress> addresses = platform::resolveTcpCancellable(
        host, quint16(port), &m_link->running, &m_link->waker, &reason, &cancelled, m_link->resolver);
    if (cancelled)
        return -1;
    m_resolveFailed = addresses.isEmpty();
    if (addresses.isEmpty()) {
        m_resolveCode = reason.code;
        if (debugLogEnabled() && !plan.trace)
            debugLog(QStringLiteral("resolve %1 failed: %2").arg(host, reason.text));
        if (keepRunning())
            emit sigError(LanguageManager::tr("无法解析主机：%1（%2）").arg(host, reason.text));
        return -1;
    }
    QElapsedTimer started;
    started.start();
    const QElapsedTimer &clock = plan.clock ? *plan.clock : started;
    const QDeadlineTimer budget(kConnectBudgetMs);
    platform::ConnectOptions options;
    options.running = &m_link->running;
    options.waker = &m_link->waker;
    options.bindPortLow = plan.bindPortLow;
    options.bindPortHigh = plan.bindPortHigh;
    int err = 0;
    for (const platform::SocketAddress &address : addresses) {
        const qint64 left = plan.sharedBudget ? budget.remainingTime() : kConnectBudgetMs;
        if (!keepRunning() || left < 1) {
            if (plan.trace)
                plan.trace(QStringLiteral("connect stop before address=%1 running=%2 abort=%3")
                               .arg(address.text(), QString::number(m_link->running.load() ? 1 : 0),
                                    QString::number(m_link->stopRequested.load() ? 1 : 0)));
            break;
        }
        options.timeoutMs = int(left);
        if (plan.trace) {
            options.trace = [&plan, &address, &clock](platform::ConnectStep step, int value) {
                plan.trace(connectStepLine(step, value, address, clock.elapsed()));
            };
        }
        const int fd = platform::connectTcp(address, options, &err);
        if (fd >= 0) {
            if (keepRunning())
                return fd;
            platform::closeSocket(fd);
            return -1;
        }
        if (debugLogEnabled() && !plan.trace)
            debugLog(QStringLiteral("connect %1 failed: %2").arg(address.text(), platform::errorString(err)));
    }
    // The last address's reason: with several, it is the one most like the
    // user's own attempt (IPv4 after IPv6).
    if (keepRunning())
        emit sigError(LanguageManager::tr("无法连接到 %1:%2：%3").arg(host, QString::number(port), platform::errorString(err)));
    return -1;
}

WorkerConnection::WorkerConnection(QObject *parent)
    : Connection(parent)
    , m_link(std::make_shared<ConnectionLink>())
{
}

WorkerConnection::~WorkerConnection()
{
    // Subclasses call close() in their own destructors while their
    // createWorker is still reachable; this covers the rest.
    stopWorker();
}

void WorkerConnection::renewLink()
{
    auto link = std::make_shared<ConnectionLink>();
    link->pendingCols.store(m_cols);
    link->pendingRows.store(m_rows);
    link->readPaused.store(m_link->readPaused.load());
    link->transparent.store(m_link->transparent.load());
    link->resolver = m_link->resolver;
    {
        std::lock_guard<std::mutex> lock(m_link->queueMutex);
        std::lock_guard<std::mutex> lock2(link->queueMutex);
        link->sendQueue.swap(m_link->sendQueue); // bytes written before open go out first
        link->queuedBytes = m_link->queuedBytes;
        m_link->queuedBytes = 0;
    }
    m_link = std::move(link);
}

bool WorkerConnection::open()
{
    stopWorker();
    // A fresh link per worker: an abandoned worker keeps its own and cannot
    // take bytes meant for the new one.
    renewLink();
    m_worker = createWorker(m_link);
    const quint64 gen = ++m_generation;
    // Counted as it is emitted (on the worker's thread), uncounted as it is
    // handed on here.
    std::shared_ptr<ConnectionLink> link = m_link;
    connect(m_worker, &ConnectionWorker::sigData, m_worker,
            [link](const QByteArray &data) { link->inFlight += data.size(); }, Qt::DirectConnection);
    connect(m_worker, &ConnectionWorker::sigData, this, [this, gen, link](const QByteArray &data) {
        link->handedOn(data.size());
        if (gen == m_generation)
            emit dataReceived(data);
    });
    connect(m_worker, &ConnectionWorker::sigError, this, [this, gen](const QString &msg) {
        if (gen == m_generation)
            emit connectionError(msg);
    });
    connect(m_worker, &ConnectionWorker::sigConnected, this, [this, gen]() {
        if (gen == m_generation)
            emit connected();
    });
    connect(m_worker, &ConnectionWorker::sigDisconnected, this, [this, gen]() {
        if (gen == m_generation)
            emit disconnected();
    });
    connectExtraSignals(m_worker);
    m_worker->start(QThread::InheritPriority);
    return true;
}

void WorkerConnection::stopWorker()
{
    ConnectionWorker *worker = m_worker;
    m_worker = nullptr;
    if (!worker)
        return;
    const QString tag = debugTag();
    const auto trace = [&](const char *what) {
        if (!tag.isEmpty() && debugLogEnabled())
            debugLog(QStringLiteral("%1 stopWorker %2 this=%3 worker=%4")
                         .arg(tag, QLatin1String(what), QString::number(quintptr(this), 16),
                              QString::number(quintptr(worker), 16)));
    };
    trace("begin");
    ++m_generation;
    disconnect(worker, nullptr, this, nullptr);
    m_link->requestStop();
    QDeadlineTimer deadline = std::exchange(m_stopDeadline, QDeadlineTimer(QDeadlineTimer::Forever));
    if (deadline.isForever())
        deadline = QDeadlineTimer(kJoinTimeoutMs);
    if (worker->wait(deadline)) {
        trace("joined");
        delete worker;
    } else {
        trace("TIMEOUT");
        // The worker holds its own reference to the link; it frees itself
        // when its run() returns. It may have finished in between, after
        // its finished() went out unheard.
        connect(worker, &QThread::finished, worker, &QObject::deleteLater);
        if (worker->isFinished())
            worker->deleteLater();
        renewLink();
        return;
    }
    trace("end");
}

void WorkerConnection::close()
{
    stopWorker();
    m_link->clearQueue();
    m_link->connectedFlag.store(false);
}

void WorkerConnection::write(const QByteArray &data)
{
    if (data.isEmpty())
        return;
    if (!m_link->enqueue(data))
        emit sendQueueFull();
}

void WorkerConnection::requestStop(QDeadlineTimer deadline)
{
    m_stopDeadline = deadline;
    if (m_worker)
        m_link->requestStop();
}

bool WorkerConnection::isOpen() const
{
    return m_link->connectedFlag.load();
}

void WorkerConnection::setReadPaused(bool paused)
{
    m_link->readPaused = paused;
    if (!paused)
        m_link->waker.wake();
}

void WorkerConnection::setTransparent(bool on)
{
    m_link->transparent = on;
    m_link->waker.wake(); // a transport that negotiates it does so at once
}

void ConnectionLink::handedOn(qint64 bytes)
{
    const qint64 before = inFlight.fetch_sub(bytes);
    if ((before >= kMaxInFlight && before - bytes < kMaxInFlight) || (before == bytes && holdingData.load()))
        waker.wake();
}

void WorkerConnection::resize(int cols, int rows)
{
    m_cols = cols;
    m_rows = rows;
    if (m_worker)
        m_link->setPendingSize(cols, rows);
}
