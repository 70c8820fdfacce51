#pragma once

#include "connections/connection.h"
#include "platform/serialport.h"

// A serial port. The port is opened and configured inside open(), which gives
// the outcome at once; a reader thread then reads the line, performs the
// queued writes and hands received bytes on in batches. It reports only
// dataReceived and connectionError: the connection counts as connected as
// soon as open() returns true.
class SerialConnection : public WorkerConnection
{
    Q_OBJECT
public:
    static constexpr qint64 kFlushThreshold = 4096;

    explicit SerialConnection(QObject *parent = nullptr);
    ~SerialConnection() override;

    void setPortName(const QString &name) { m_portName = name; }
    void setBaudRate(int baud) { m_settings.baud = baud; }
    void setDataBits(int bits) { m_settings.dataBits = bits; }
    void setStopBits(int code) { m_settings.stopBits = code; }
    void setParity(int code) { m_settings.parity = code; }
    void setFlowControl(int code) { m_settings.flow = code; }
    // 0: every read is handed on by itself; otherwise bytes are gathered for
    // up to this many milliseconds (or kFlushThreshold bytes).
    void setFlushInterval(qint64 ms) { m_flushInterval = ms; }

    QString portName() const { return m_portName; }
    QString lastError() const { return m_lastError; }

    bool open() override;
    void write(const QByteArray &data) override;
    void resize(int, int) override {}

    class ReaderThread;

signals:
    void opened();

protected:
    ConnectionWorker *createWorker(std::shared_ptr<ConnectionLink> link) override;

private:
    bool fail(const QString &message);

    QString m_portName = QStringLiteral("COM1");
    platform::SerialSettings m_settings;
    qint64 m_flushInterval = 0;
    QString m_lastError;
    int m_openedFd = -1; // handed to the next reader thread
};
