#pragma once

#include "transfer/inbandtransfer.h"

#include <QFile>
#include <QTimer>

#include <functional>

// Sends one file into a session as it stands (an "ASCII send"), in chunks
// paced by what the connection has not yet passed on, so that a file of any
// size goes through the connection's bounded queue without overrunning it.
// It is an in-band transfer like the others: one at a time per program, ESC
// cancels it, and it ends sent (once the connection has passed every byte
// on), cancelled or failed, with the count of bytes handed over.
class AsciiSender : public InbandTransfer
{
    Q_OBJECT
public:
    // Bytes handed over are kept below this in the connection's queue.
    static constexpr qint64 kHighWater = 1024 * 1024;
    static constexpr qint64 kChunk = 64 * 1024;

    explicit AsciiSender(QObject *parent = nullptr);
    ~AsciiSender() override;

    // Sends files.first(). The texts it reports are translated.
    void startSend(TransferSendFn sendFn, const QString &sessionId, const QStringList &files,
                   int variant = 0) override;
    // Nothing to receive: ends at once as failed.
    void startReceive(TransferSendFn sendFn, const QString &sessionId, const QString &target,
                      int variant = 0) override;

    qint64 bytesSent() const { return m_sent; }

public slots:
    void feed(const QByteArray &) override {}

protected:
    void onTick() override {}
    void cancelTransfer() override;

private:
    void pump();
    void finish(const QString &text, const QString &error);

    QFile m_file;
    QString m_name;
    qint64 m_size = 0;
    qint64 m_sent = 0;
    int m_lastTenth = 0;
    QTimer m_pump;
};
