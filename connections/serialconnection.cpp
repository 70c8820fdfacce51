#include "connections/serialconnection.h"

#include "core/debuglog.h"
#include "core/languagemanager.h"

#include <QElapsedTimer>

#include <cerrno>
#include <unistd.h>

// The one thread that touches the port after open(): it owns the descriptor
// and closes it when it ends, so a thread that outlives its connection (a
// stop that timed out) still works on a port that is open, and the port is
// released exactly when nobody uses it any more.
class SerialConnection::ReaderThread : public ConnectionWorker
{
public:
    ReaderThread(std::shared_ptr<ConnectionLink> link, int fd, qint64 flushInterval)
        : ConnectionWorker(std::move(link)), m_fd(fd), m_interval(flushInterval)
    {
    }
    ~ReaderThread() override { platform::closeSerial(m_fd); }

protected:
    void run() override;

private:
    void flush();
    // Writes what the line takes now of the chunk in progress; false after a
    // write error, which has been reported.
    bool writeSome();
    // Reads once; 0 when the line is fine, otherwise the error that ended it.
    int readSome(bool errorSeen);

    int m_fd;
    const qint64 m_interval;
    QElapsedTimer m_clock;
    qint64 m_lastFlush = 0;
    QByteArray m_accumulator;
    QByteArray m_out;
    qsizetype m_sent = 0;
    char m_buffer[16384];
};

void SerialConnection::ReaderThread::run()
{
    ConnectionLink &l = link();
    if (l.stopRequested.load() || l.waker.fd() < 0) {
        platform::closeSerial(std::exchange(m_fd, -1));
        return;
    }
    l.running.store(true);
    m_clock.start();
    m_lastFlush = -m_interval; // the first bytes go out at once
    bool writing = true;
    int readError = 0;
    while (!readError && keepRunning()) {
        if (writing && m_sent >= m_out.size()) {
            m_out.clear();
            m_sent = 0;
            if (l.takeFront(&m_out) && debugLogEnabled())
                debugLog(QStringLiteral("  drainWrites: picked chunk bytes=%1 -> write").arg(m_out.size()));
        }
        // While bytes wait to be handed on, sleep no longer than the batch allows.
        int timeout = -1;
        if (m_interval > 0 && !m_accumulator.isEmpty())
            timeout = int(qMax<qint64>(0, m_lastFlush + m_interval - m_clock.elapsed()));
        // Unread input stays in the driver, where the line's own flow control
        // (when set up) holds back the device.
        const int seen = platform::waitSocket(m_fd, l.mayRead(), !m_out.isEmpty(), timeout, &l.waker);
        if (seen & platform::WaitWoken)
            l.waker.drain(); // the queue and the stop flag are looked at next pass
        if (seen & (platform::WaitReadable | platform::WaitError))
            readError = readSome(seen & platform::WaitError);
        if ((seen & platform::WaitWritable) && !writeSome())
            writing = false; // keep reading until closed, as the line may still talk
        if (!m_accumulator.isEmpty()
            && (m_interval <= 0 || m_accumulator.size() >= kFlushThreshold
                || m_clock.elapsed() - m_lastFlush >= m_interval))
            flush();
    }
    if (!m_accumulator.isEmpty())
        flush();
    if (readError && !l.stopRequested.load()) {
        l.connectedFlag.store(false);
        emit sigError(LanguageManager::tr("串口读取异常，连接已断开（系统错误 %1）")
                          .arg(platform::systemErrorText(readError)));
    }
    platform::closeSerial(std::exchange(m_fd, -1));
    l.running.store(false);
}

int SerialConnection::ReaderThread::readSome(bool errorSeen)
{
    const ssize_t n = ::read(m_fd, m_buffer, sizeof m_buffer);
    if (n > 0) {
        m_accumulator.append(m_buffer, int(n));
        return 0;
    }
    if (n < 0 && errno == EINTR)
        return 0;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return errorSeen ? EIO : 0; // an error state that reads nothing would spin
    // End of file on a terminal: the line hung up (a USB adapter pulled out,
    // the far end of a pty closed).
    return n == 0 ? EIO : errno;
}

bool SerialConnection::ReaderThread::writeSome()
{
    const ssize_t n = ::write(m_fd, m_out.constData() + m_sent, size_t(m_out.size() - m_sent));
    if (n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        m_sent += qMax<ssize_t>(n, 0);
        return true;
    }
    const int err = errno;
    m_out.clear();
    m_sent = 0;
    link().connectedFlag.store(false);
    emit sigError(LanguageManager::tr("写入失败（系统错误 %1）").arg(platform::systemErrorText(err)));
    return false;
}

void SerialConnection::ReaderThread::flush()
{
    const QByteArray batch = m_accumulator;
    m_accumulator.clear();
    m_lastFlush = m_clock.elapsed();
    emit sigData(batch);
}

SerialConnection::SerialConnection(QObject *parent)
    : WorkerConnection(parent)
{
    // Connected first, so that the text is stored before any other receiver
    // of the signal runs.
    connect(this, &Connection::connectionError, this, [this](const QString &msg) { m_lastError = msg; });
}

SerialConnection::~SerialConnection()
{
    close();
}

bool SerialConnection::fail(const QString &message)
{
    m_lastError = message;
    emit connectionError(message);
    return false;
}

bool SerialConnection::open()
{
    if (isOpen())
        return true;
    close();
    m_lastError.clear();
    const QString path = platform::serialDevicePath(m_portName);
    int err = 0;
    const int fd = platform::openSerial(path, &err);
    if (fd < 0)
        return fail(LanguageManager::tr("无法打开 %1（系统错误 %2）").arg(path, platform::systemErrorText(err)));
    if (!platform::checkSerial(fd, &err)) {
        platform::closeSerial(fd);
        return fail(LanguageManager::tr("读取 %1 配置失败（系统错误 %2）").arg(path, platform::systemErrorText(err)));
    }
    if (!platform::configureSerial(fd, m_settings, &err)) {
        platform::closeSerial(fd);
        return fail(LanguageManager::tr("配置 %1 失败（系统错误 %2）").arg(path, platform::systemErrorText(err)));
    }
    platform::purgeSerial(fd);
    m_openedFd = fd;
    WorkerConnection::open();
    if (m_link->waker.fd() < 0) {
        err = errno;
        close();
        return fail(LanguageManager::tr("创建串口事件失败（系统错误 %1）").arg(platform::systemErrorText(err)));
    }
    emit opened();
    return true;
}

ConnectionWorker *SerialConnection::createWorker(std::shared_ptr<ConnectionLink> link)
{
    // Open before the thread runs: bytes may be written the moment open() returns.
    link->connectedFlag.store(true);
    return new ReaderThread(std::move(link), std::exchange(m_openedFd, -1), m_flushInterval);
}

void SerialConnection::write(const QByteArray &data)
{
    // Lengths only: the bytes may be a password typed at a login prompt.
    if (debugLogEnabled())
        debugLog(QStringLiteral("SerialConnection::write: bytes=%1 open=%2 empty=%3")
                     .arg(data.size()).arg(int(isOpen())).arg(int(data.isEmpty())));
    if (!isOpen() || data.isEmpty())
        return;
    WorkerConnection::write(data);
}
