#include "connections/connection.h"

#include "core/debuglog.h"
#include "core/languagemanager.h"

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
    if (sendQueue.empty())
        return false;
    *chunk = std::move(sendQueue.front());
    sendQueue.pop_front();
    queuedBytes -= chunk->size();
    return true;
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

bool WorkerConnection::open()
{
    stopWorker();
    // A fresh link per worker: an abandoned worker keeps its own and cannot
    // take bytes meant for the new one.
    auto link = std::make_shared<ConnectionLink>();
    link->pendingCols.store(m_cols);
    link->pendingRows.store(m_rows);
    {
        std::lock_guard<std::mutex> lock(m_link->queueMutex);
        std::lock_guard<std::mutex> lock2(link->queueMutex);
        link->sendQueue.swap(m_link->sendQueue); // bytes written before open go out first
        link->queuedBytes = m_link->queuedBytes;
        m_link->queuedBytes = 0;
    }
    m_link = link;
    m_worker = createWorker(link);
    connect(m_worker, &ConnectionWorker::sigData, this, &Connection::dataReceived);
    connect(m_worker, &ConnectionWorker::sigError, this, &Connection::connectionError);
    connect(m_worker, &ConnectionWorker::sigConnected, this, &Connection::connected);
    connect(m_worker, &ConnectionWorker::sigDisconnected, this, &Connection::disconnected);
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
                         .arg(tag, QLatin1String(what))
                         .arg(quintptr(this), 0, 16)
                         .arg(quintptr(worker), 0, 16));
    };
    trace("begin");
    disconnect(worker, nullptr, this, nullptr);
    m_link->requestStop();
    if (worker->wait(kJoinTimeoutMs)) {
        trace("joined");
        delete worker;
    } else {
        trace("TIMEOUT");
        // The worker holds its own reference to the link; it frees itself
        // when its run() returns.
        connect(worker, &QThread::finished, worker, &QObject::deleteLater);
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
        emit connectionError(LanguageManager::tr("发送队列已满，数据未发送"));
}

bool WorkerConnection::isOpen() const
{
    return m_link->connectedFlag.load();
}

void WorkerConnection::resize(int cols, int rows)
{
    m_cols = cols;
    m_rows = rows;
    if (m_worker)
        m_link->setPendingSize(cols, rows);
}
