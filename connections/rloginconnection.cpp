#include "connections/rloginconnection.h"

#include "connections/tcpstreamworker.h"
#include "core/debuglog.h"
#include "core/languagemanager.h"

#include <QtEndian>

QByteArray RLoginConnection::startMessage(const QString &localUser, const QString &remoteUser, const QString &terminalType)
{
    QByteArray out;
    out.append('\0').append(localUser.toUtf8()).append('\0');
    out.append(remoteUser.toUtf8()).append('\0');
    out.append(terminalType.toUtf8()).append("/38400").append('\0');
    return out;
}

QByteArray RLoginConnection::windowRecord(int cols, int rows)
{
    QByteArray out("\xFF\xFFss", 4);
    for (const int value : {rows, cols, 0, 0}) {
        const quint16 v = qToBigEndian(quint16(qBound(0, value, 0xFFFF)));
        out.append(reinterpret_cast<const char *>(&v), 2);
    }
    return out;
}

QByteArray RLoginConnection::controlAnswer(quint8 control, bool *reportSizes, int cols, int rows)
{
    // Flush and flow-control requests concern a client that keeps its own
    // output buffer and ^S/^Q handling; the terminal has neither, so only
    // the window request matters.
    if (control & WindowRequest)
        *reportSizes = true;
    return control & WindowRequest ? windowRecord(cols, rows) : QByteArray();
}

class RLoginConnection::Worker : public TcpStreamWorker
{
public:
    Worker(std::shared_ptr<ConnectionLink> link, Target target, QByteArray start)
        : TcpStreamWorker(std::move(link), std::move(target))
        , m_start(std::move(start))
    {
    }

protected:
    QByteArray greeting() override { return m_start; }

    // The server asks for sizes once (0x80); until then a record would be
    // read as typed input, so sizes are only remembered.
    void sizeChanged() override
    {
        if (m_reportSizes)
            sendWindow();
    }

    bool wantsUrgent() const override { return true; }

    void urgentByte(quint8 byte) override
    {
        if (debugLogEnabled())
            debugLog(QStringLiteral("rlogin control byte 0x%1").arg(byte, 2, 16, QLatin1Char('0')));
        const QByteArray answer = controlAnswer(byte, &m_reportSizes, link().pendingCols.load(), link().pendingRows.load());
        if (!answer.isEmpty())
            sendNow(answer);
    }

    QString readErrorText(int err) const override
    {
        return LanguageManager::tr("RLogin 读取错误：%1").arg(err);
    }

    QString sendErrorText(int err) const override
    {
        return LanguageManager::tr("RLogin 发送错误：%1").arg(err);
    }

private:
    void sendWindow() { sendNow(windowRecord(link().pendingCols.load(), link().pendingRows.load())); }

    QByteArray m_start;
    bool m_reportSizes = false;
};

RLoginConnection::RLoginConnection(QObject *parent)
    : WorkerConnection(parent)
{
}

RLoginConnection::~RLoginConnection()
{
    close();
}

ConnectionWorker *RLoginConnection::createWorker(std::shared_ptr<ConnectionLink> link)
{
    TcpStreamWorker::Target target;
    target.host = host;
    target.port = port;
    target.bindPortLow = bindPortLow;
    target.bindPortHigh = bindPortHigh;
    return new Worker(std::move(link), target, startMessage(localUser, remoteUser, terminalType));
}
