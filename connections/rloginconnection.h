#pragma once

#include "connections/connection.h"

// RLogin (RFC 1282) over one worker thread. Received bytes pass to the
// terminal unchanged; the server's control bytes come as TCP urgent data.
class RLoginConnection : public WorkerConnection
{
    Q_OBJECT
public:
    explicit RLoginConnection(QObject *parent = nullptr);
    ~RLoginConnection() override;

    QString host;
    int port = 513;
    QString localUser;
    QString remoteUser;
    QString terminalType = QStringLiteral("xterm");
    // Local ports tried, highest first: rlogind trusts only a client port
    // below 1024 (binding one needs privilege). 0: any port.
    int bindPortLow = 512;
    int bindPortHigh = 1023;

    // 00 local 00 remote 00 terminal/38400 00
    static QByteArray startMessage(const QString &localUser, const QString &remoteUser, const QString &terminalType);
    // FF FF 73 73, rows, cols, x pixels, y pixels (16 bits each, network order).
    static QByteArray windowRecord(int cols, int rows);

    // Control bytes of the server (urgent data).
    enum : quint8 { FlushOutput = 0x02, NoFlowControl = 0x10, FlowControl = 0x20, WindowRequest = 0x80 };
    // The answer to the server's urgent byte: a window record for the size
    // once sizes are asked for (*reportSizes then stays on), else nothing.
    static QByteArray controlAnswer(quint8 control, bool *reportSizes, int cols, int rows);

    class Worker;

protected:
    ConnectionWorker *createWorker(std::shared_ptr<ConnectionLink> link) override;
};
