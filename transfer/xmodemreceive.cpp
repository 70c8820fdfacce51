// The receiving half of the XMODEM/YMODEM engine: blocks judged, written
// and answered, YMODEM headers turned into files, and the end of each file.

#include "transfer/xmodemtransfer.h"

#include "core/languagemanager.h"
#include "transfer/xmodemwire.h"

#include <QDir>

namespace {

using namespace xmodem;

// The size field of a YMODEM header: its leading decimal digits (a sender may
// add the modification time and more behind a blank); -1 when there are none
// or they do not fit.
qint64 parseHeaderSize(const QByteArray &field)
{
    int digits = 0;
    while (digits < field.size() && field[digits] >= '0' && field[digits] <= '9')
        ++digits;
    if (digits == 0)
        return -1;
    bool ok = false;
    const qint64 size = field.left(digits).toLongLong(&ok);
    return ok ? size : -1;
}

} // namespace

void XmodemTransfer::processReceiver()
{
    if (m_state == Polling) {
        // An XMODEM sender whose file is empty answers the first poll with
        // EOT alone; without taking it here such a file could never arrive.
        int at = -1;
        for (int i = 0; i < m_rxBuffer.size(); ++i) {
            const char c = m_rxBuffer[i];
            if (c == SOH || c == STX || (c == EOT && !isYmodem())) {
                at = i;
                break;
            }
        }
        if (at < 0) {
            m_rxBuffer.clear(); // nothing here can start a block
            return;
        }
        wordsBeforePeer(m_rxBuffer.left(at));
        m_rxBuffer.remove(0, at);
        heard();
        m_state = Receiving;
        m_retries = 0;
        m_idleTicks = 0;
    }

    const quint64 generation = m_generation;
    while (m_state == Receiving && generation == m_generation && !m_rxBuffer.isEmpty()) {
        const char first = m_rxBuffer[0];
        if (first == EOT) {
            m_rxBuffer.remove(0, 1);
            handleEot();
            continue;
        }
        if (first == CAN) {
            peerCancelled();
            return;
        }
        if (first != SOH && first != STX) {
            m_rxBuffer.remove(0, 1);
            if (m_notBlocks.size() >= kMaxPendingBytes)
                m_notBlocks.remove(0, kMaxPendingBytes / 2);
            m_notBlocks += first;
            // A line of text between blocks is the host's; the line end that
            // follows at once goes with it.
            const bool lineEnd = first == '\n' || first == '\r';
            const bool more = !m_rxBuffer.isEmpty() && (m_rxBuffer[0] == '\n' || m_rxBuffer[0] == '\r');
            if (lineEnd && !more && looksLikeHostWords(m_notBlocks))
                hostWordsArrived(hostWordsIn(std::exchange(m_notBlocks, {})));
            continue;
        }
        const int length = first == SOH ? 128 : 1024;
        const int available = int(m_rxBuffer.size());
        if (available < 3 + length + 1)
            return;
        const quint8 number = quint8(m_rxBuffer[1]);
        const bool complementOk = quint8(m_rxBuffer[2]) == quint8(255 - number);
        const char *data = m_rxBuffer.constData() + 3;
        const bool sumOk = complementOk && quint8(m_rxBuffer[3 + length]) == checksum(data, length);

        int trailer = 0;
        if (!m_useCrc) {
            trailer = sumOk ? 1 : 0;
        } else if (available >= 3 + length + 2) {
            const quint16 crc = crc16(data, length);
            if (complementOk && quint8(m_rxBuffer[3 + length]) == (crc >> 8)
                && quint8(m_rxBuffer[4 + length]) == (crc & 0xFF))
                trailer = 2;
            else if (!m_checkSettled && sumOk)
                trailer = 1;
        } else {
            // One byte short of a CRC block, and that block would pass as a
            // checksum block: only a second of silence tells a checksum
            // sender (who waits for our answer) from a CRC byte still in
            // flight. Guessing on a split read would garble the transfer.
            if (!m_settleShortBlock || m_checkSettled || !sumOk)
                return;
            trailer = 1;
        }

        if (trailer == 0) {
            if (++m_retries > kRetryLimit) {
                abortTransfer(LanguageManager::tr("块校验连续失败超过 10 次"));
                return;
            }
            send(QByteArray(1, NAK));
            // Drop the whole bad block so that an EOT or CAN among its bytes
            // is not taken for the sender's.
            m_rxBuffer.remove(0, qMin(available, 3 + length + (m_useCrc ? 2 : 1)));
            continue;
        }
        if (trailer == 1)
            m_useCrc = false;
        m_checkSettled = true;
        const QByteArray payload = m_rxBuffer.mid(3, length);
        m_rxBuffer.remove(0, 3 + length + trailer);
        handleAcceptedBlock(number, payload);
    }
}

void XmodemTransfer::handleAcceptedBlock(quint8 number, const QByteArray &data)
{
    heard();
    // Block 0 is a header before a file's data, and again when the sender
    // gives the file up and goes on with the next one; after block 255 (or
    // as a repeat of that block 256) it is data.
    if (isYmodem() && number == 0 && (!m_fileDataSeen || (m_lastBlock != 255 && m_lastBlock != 0))) {
        handleHeader(data);
        return;
    }
    // A repeat (our ACK was lost). Block 256 is numbered 0 like the header,
    // so "repeat" is judged by whether this file has had data yet.
    if (number == m_lastBlock && m_fileDataSeen) {
        send(QByteArray(1, ACK));
        return;
    }
    const quint8 expected = quint8(m_lastBlock + 1);
    if (number != expected) {
        abortTransfer(LanguageManager::tr("块序号错位（期望 %1 收到 %2），中止").arg(QString::number(expected), QString::number(number)));
        return;
    }
    m_retries = 0;
    m_lastBlock = number;
    m_fileDataSeen = true;
    if (!m_recvFile.file().isOpen()) {
        abortTransfer(LanguageManager::tr("未收到文件头（块 0）"));
        return;
    }
    if (!writeReceived(data))
        return;
    m_receivedBytes += data.size();
    send(QByteArray(1, ACK));
    reportProgress();
}

// Writes a block's data. A YMODEM file with an announced size gets no more
// than that size: the rest is the last block's padding.
bool XmodemTransfer::writeReceived(const QByteArray &data)
{
    qint64 keep = data.size();
    if (m_expectedSize >= 0)
        keep = qBound<qint64>(0, m_expectedSize - m_receivedBytes, keep);
    if (keep > 0 && m_recvFile.file().write(data.constData(), keep) != keep) {
        const QString why = m_recvFile.file().errorString();
        m_recvFile.keepIncomplete(); // a full disk keeps what arrived, and the end says where
        abortTransfer(LanguageManager::tr("写入文件失败：%1").arg(why));
        return false;
    }
    return true;
}

void XmodemTransfer::handleHeader(const QByteArray &data)
{
    const int firstNul = data.indexOf('\0');
    if (firstNul <= 0) {
        // An empty name ends the batch.
        send(QByteArray(1, ACK));
        finishTransfer(QString());
        return;
    }
    const QByteArray rawName = data.left(firstNul);
    const int secondNul = data.indexOf('\0', firstNul + 1);
    const qint64 size = secondNul < 0 ? -1 : parseHeaderSize(data.mid(firstNul + 1, secondNul - firstNul - 1));
    if (!openReceiveFile(QString::fromUtf8(rawName), size))
        return;
    m_lastBlock = 0;
    m_fileDataSeen = false;
    m_eotSeen = false;
    send(QByteArrayLiteral("\x06" "C"));
    // That 'C' asks for CRC blocks: a sender that began on a NAK poll
    // (checksum) switches to them now, or keeps to checksum; its first data
    // block tells which.
    m_useCrc = true;
    m_checkSettled = false;
    emitStatus(LanguageManager::tr("开始接收：%1 (%2 字节)").arg(m_currentName, QString::number(size)));
}

bool XmodemTransfer::openReceiveFile(const QString &peerName, qint64 size)
{
    const QString name = safeReceivedName(peerName);
    if (name.isEmpty()) {
        abortTransfer(LanguageManager::tr("Ymodem 文件名非法"));
        return false;
    }
    const QString target = QDir(m_target).filePath(name);
    if (!m_recvFile.start(target)) {
        abortTransfer(LanguageManager::tr("无法创建文件：%1").arg(target));
        return false;
    }
    m_currentName = name;
    m_expectedSize = size;
    m_receivedBytes = 0;
    m_lastPercent = -1;
    return true;
}

void XmodemTransfer::handleEot()
{
    heard();
    if (!isYmodem()) {
        send(QByteArray(1, ACK));
        finishTransfer(QString());
        return;
    }
    // YMODEM: the first EOT is answered with NAK; only a second one, after
    // it, ends the file (a stray EOT in noise cannot end it early).
    if (!m_eotSeen) {
        m_eotSeen = true;
        send(QByteArray(1, NAK));
        return;
    }
    if (m_expectedSize >= 0 && m_receivedBytes < m_expectedSize) {
        abortTransfer(LanguageManager::tr("Ymodem 文件长度不足"));
        return;
    }
    m_eotSeen = false;
    if (m_recvFile.pending()) {
        const QString error = m_recvFile.commit(m_expectedSize);
        if (!error.isEmpty()) {
            abortTransfer(error);
            return;
        }
    }
    // What was stored: the announced size cuts the padding of the last block.
    const qint64 stored = m_expectedSize >= 0 ? qMin(m_expectedSize, m_receivedBytes) : m_receivedBytes;
    emitStatus(LanguageManager::tr("文件 %1 接收完成（%2 字节）").arg(m_currentName, QString::number(stored)));
    m_expectedSize = -1;
    m_receivedBytes = 0;
    m_lastBlock = 0;
    m_fileDataSeen = false;
    m_lastPercent = -1;
    send(QByteArrayLiteral("\x06" "C"));
    m_retries = 0;
    m_idleTicks = 0;
    m_rxBuffer.clear();
}
