#include "transfer/asciisender.h"

#include "core/languagemanager.h"

#include <QFileInfo>

namespace {
// The queue is looked at again this often while it is above the high water.
constexpr int kWaitMs = 2;
// At most this much is handed over per turn of the event loop.
constexpr qint64 kPerTurn = 4 * AsciiSender::kChunk;
// Files this large report their progress every tenth.
constexpr qint64 kProgressFrom = 1024 * 1024;
} // namespace

AsciiSender::AsciiSender(QObject *parent)
    : InbandTransfer(parent)
{
    m_pump.setSingleShot(true);
    connect(&m_pump, &QTimer::timeout, this, &AsciiSender::pump);
}

AsciiSender::~AsciiSender()
{
    if (isActive())
        cancelAtDestruction();
}

void AsciiSender::startSend(TransferSendFn sendFn, const QString &sessionId, const QStringList &files, int)
{
    const Step step(this);
    m_sendFn = std::move(sendFn);
    m_sessionId = sessionId;
    m_sent = 0;
    m_lastTenth = 0;
    m_state = 1;
    m_file.close();
    m_file.setFileName(files.value(0));
    m_name = QFileInfo(m_file.fileName()).fileName();
    if (!m_file.open(QIODevice::ReadOnly)) {
        finish(LanguageManager::tr("无法打开：%1").arg(m_file.fileName()), m_file.errorString());
        return;
    }
    m_size = m_file.size();
    m_pump.start(0);
}

void AsciiSender::startReceive(TransferSendFn, const QString &sessionId, const QString &, int)
{
    m_sessionId = sessionId;
    m_state = 1;
    finish(QStringLiteral("ASCII"), QStringLiteral("ASCII"));
}

void AsciiSender::pump()
{
    const Step step(this);
    if (!isActive())
        return;
    const auto broken = [this](const QString &why) {
        finish(LanguageManager::tr("ASCII 发送失败：%1（%2），已发送 %3 / %4 字节")
                   .arg(m_name, why, QString::number(m_sent), QString::number(m_size)),
               why);
    };
    qint64 queued = backlog();
    if (queued < 0) {
        broken(LanguageManager::tr("连接已断开"));
        return;
    }
    qint64 handed = 0;
    while (!m_file.atEnd() && queued + handed < kHighWater && handed < kPerTurn) {
        const QByteArray chunk = m_file.read(kChunk);
        if (chunk.isEmpty()) {
            broken(m_file.errorString());
            return;
        }
        m_sendFn(chunk);
        m_sent += chunk.size();
        handed += chunk.size();
    }
    if (handed > 0) {
        emit progressChanged(m_sent, m_size, m_name);
        const int tenth = m_size > 0 ? int(m_sent * 10 / m_size) : 10;
        if (m_size >= kProgressFrom && tenth > m_lastTenth && tenth < 10) {
            m_lastTenth = tenth;
            emit statusMessage(m_sessionId, LanguageManager::tr("ASCII 发送中 %1：%2%（%3 / %4 字节）")
                                                .arg(m_name, QString::number(tenth * 10), QString::number(m_sent),
                                                     QString::number(m_size)));
        }
    }
    // Sent means passed on by the connection, not merely queued in it.
    if (m_file.atEnd() && queued == 0 && handed == 0) {
        finish(LanguageManager::tr("ASCII 已发送 %1（%2 字节）").arg(m_name, QString::number(m_sent)), QString());
        return;
    }
    m_pump.start(handed > 0 && queued + handed < kHighWater ? 0 : kWaitMs);
}

void AsciiSender::cancelTransfer()
{
    finish(LanguageManager::tr("ASCII 发送已取消：%1，已发送 %2 / %3 字节")
               .arg(m_name, QString::number(m_sent), QString::number(m_size)),
           QStringLiteral("cancelled"));
}

void AsciiSender::finish(const QString &text, const QString &error)
{
    m_pump.stop();
    m_file.close();
    m_sendFn = nullptr;
    announceEnd(text, error);
}
