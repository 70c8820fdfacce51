// The sending half of the XMODEM/YMODEM engine: blocks, headers and the
// end of a file made and sent, the receiver nudged, progress reported.

#include "transfer/xmodemtransfer.h"

#include "core/languagemanager.h"
#include "transfer/xmodemwire.h"

#include <QFileInfo>

namespace {

using namespace xmodem;

// rb and rx answer a header, the batch end and a file's first block at
// once. One they lost (it came while they still set up their terminal, or
// while they emptied their input after an ACK; a busy machine lets us answer
// their poll first) is met with a byte that is no block, which they answer
// with a poll a second later instead of ten.
constexpr int kOfferNudgeMs = 1000;

QString fileNameOf(const QString &path)
{
    return QFileInfo(path).fileName();
}

} // namespace

void XmodemTransfer::sendBlock(quint8 number, const QByteArray &data)
{
    QByteArray block;
    block.reserve(data.size() + 5);
    block.append(data.size() <= 128 ? SOH : STX);
    block.append(char(number));
    block.append(char(255 - number));
    block.append(data);
    if (m_useCrc) {
        const quint16 crc = crc16(data.constData(), int(data.size()));
        block.append(char(crc >> 8));
        block.append(char(crc & 0xFF));
    } else {
        block.append(char(checksum(data.constData(), int(data.size()))));
    }
    m_lastPacket = block;
    transmit(block);
    armNudge();
}

void XmodemTransfer::sendEot()
{
    // rx takes a second to answer it: no nudge, which it would take for
    // noise behind the EOT.
    m_lastPacket = QByteArray(1, EOT);
    transmit(m_lastPacket);
}

void XmodemTransfer::armNudge()
{
    m_sentAt.start();
    // Only once the receiver's pace is known, and well past it: a nudge
    // that comes while its answer is on the way spoils our next block (it
    // reads the byte in front of it) and costs the second it meant to save.
    constexpr qint64 kFloorUs = 200000, kCeilingUs = 5000000;
    constexpr int kAnswersFirst = 4;
    if (m_state == SendingData && m_answersTimed >= kAnswersFirst)
        m_nudge.start(int(qBound(kFloorUs, 4 * m_slowestAnswerUs, kCeilingUs) / 1000));
}

void XmodemTransfer::armOfferNudge()
{
    const bool first = m_state == HeaderSent || m_state == BatchEndSent || (m_state == SendingData && m_blockNumber == 1);
    if (first && m_lastPacket.size() > 1)
        m_nudge.start(kOfferNudgeMs);
}

void XmodemTransfer::answered(char c)
{
    m_nudge.stop();
    m_nudgeOut = false;
    const bool timed = m_sentAt.isValid() && c == ACK && !std::exchange(m_nudged, false);
    // Only a block taken at the first go tells the receiver's pace: the
    // answer to a nudge or a resend holds the wait for it, and timed, each
    // lost block would stretch the next wait fourfold, up to the receiver's
    // own time-out.
    if (timed) {
        // A slow answer raises the bar at once; it sinks back over some blocks.
        m_slowestAnswerUs = qMax(m_sentAt.nsecsElapsed() / 1000, m_slowestAnswerUs - m_slowestAnswerUs / 32);
        ++m_answersTimed;
    }
    m_sentAt.invalidate();
}

// One byte that is no block: a receiver that lost ours answers it with NAK
// a second later, and one that did not throws it away as it answers.
// Nothing more goes out until the receiver speaks; what a shell that took
// its place would make of it is Ctrl+U, an emptied line.
void XmodemTransfer::nudgeReceiver()
{
    const Step step(this);
    if (isSending() && m_state != WaitReceiver && !settling() && !ending() && !m_withheld) {
        m_nudged = true;
        m_nudgeOut = true;
        send(QByteArray(1, NAK));
    }
}

// One more failure in a row: resend the last packet, or give up with
// `message` past the limit.
void XmodemTransfer::resendOrAbort(const QString &message)
{
    if (++m_retries > kRetryLimit) {
        abortTransfer(message);
        return;
    }
    transmit(m_lastPacket);
    // Blocks are timed, as they went first (and nudged amid the data); an
    // EOT rx answers only after a second.
    if (m_state != EotSent)
        armNudge();
    armOfferNudge();
    m_idleTicks = 0;
}

void XmodemTransfer::enterSendState(State state)
{
    m_state = state;
    m_awaitingHeaderRequest = false;
    m_retries = 0;
    m_idleTicks = 0;
    m_rxBuffer.clear();
}

// Reads the next block of the file being sent, filled up with SUB. False when
// the transfer has ended: a read error, or a file that became shorter than the
// size it had (and announced) when it was opened, must not pass as a file
// sent whole.
bool XmodemTransfer::readNextBlock(QByteArray *data)
{
    const qint64 want = qMin<qint64>(dataBlockSize(), m_sendSize - m_sentBytes);
    data->clear();
    if (want <= 0)
        return true;
    *data = m_sendFile.read(want);
    if (data->size() != want) {
        const QString why = m_sendFile.error() != QFileDevice::NoError ? m_sendFile.errorString()
                                                                      : LanguageManager::tr("文件在发送中变短");
        abortTransfer(LanguageManager::tr("读取文件失败：%1").arg(why));
        return false;
    }
    m_sentBytes += want;
    data->append(QByteArray(dataBlockSize() - int(want), SUB));
    return true;
}

void XmodemTransfer::startDataPhase()
{
    enterSendState(SendingData);
    QByteArray data;
    if (!readNextBlock(&data))
        return;
    if (data.isEmpty()) {
        sendEot();
        enterSendState(EotSent);
    } else {
        sendBlock(m_blockNumber, data);
        armOfferNudge();
    }
    // A file of one block (or none) is through with it: its last report
    // names the whole file as the longer ones' do.
    if (m_sentBytes == m_sendSize)
        reportProgress();
}

void XmodemTransfer::sendNextDataBlock()
{
    QByteArray data;
    if (!readNextBlock(&data))
        return;
    if (data.isEmpty()) {
        emitStatus(LanguageManager::tr("已发完全部数据，发送 EOT..."));
        sendEot();
        enterSendState(EotSent);
        return;
    }
    ++m_blockNumber;
    sendBlock(m_blockNumber, data);
    reportProgress();
}

void XmodemTransfer::sendNextHeader()
{
    if (m_fileIndex >= m_files.size()) {
        sendBlock(0, QByteArray(128, '\0'));
        enterSendState(BatchEndSent);
        armOfferNudge();
        return;
    }
    const QString path = m_files.at(m_fileIndex);
    if (!m_sendFile.isOpen()) {
        m_sendFile.setFileName(path);
        if (!m_sendFile.open(QIODevice::ReadOnly)) {
            abortTransfer(LanguageManager::tr("无法打开文件：%1").arg(path));
            return;
        }
    }
    m_sendSize = m_sendFile.size();
    const QString name = fileNameOf(path);
    QByteArray header = name.toUtf8();
    header.append('\0');
    header.append(sizeTimeMode(path, m_sendSize));
    header.append('\0');
    // A long name does not fit the 128 bytes of an ordinary block 0: it goes
    // in a 1024-byte block, which receivers take as block 0 all the same.
    // File names are far shorter than that on every file system we run on.
    const int blockSize = header.size() <= 128 ? 128 : 1024;
    header = header.left(blockSize);
    header.append(QByteArray(blockSize - header.size(), '\0'));
    sendBlock(0, header);

    m_blockNumber = 1;
    m_sentBytes = 0;
    m_lastPercent = -1;
    m_headerAcked = false;
    enterSendState(HeaderSent);
    armOfferNudge();
    emitStatus(LanguageManager::tr("发送文件头：%1 (%2 字节)").arg(name, QString::number(m_sendSize)));
}

void XmodemTransfer::reportProgress()
{
    qint64 total = -1;
    if (m_recvFile.pending() || m_sendFile.isOpen())
        total = isSending() ? m_sendSize : m_expectedSize;
    const qint64 done = isSending() ? m_sentBytes : m_receivedBytes;
    if (total < 0) {
        // No length to measure against (plain XMODEM, a header without a
        // size): a percentage would read 100 from the first block on. The
        // amount received is told instead.
        if (!amountToTell(done))
            return;
        emit progressChanged(done, -1, m_currentName);
        emitStatus(LanguageManager::tr("接收 %1：%2 KB").arg(m_currentName, QString::number(done / 1024)));
        return;
    }
    const int percent = total >= 1 ? int(qMin(done, total) * 100 / total) : 100;
    if (percent == m_lastPercent)
        return;
    m_lastPercent = percent;
    emit progressChanged(total >= 0 ? qMin(done, total) : done, total,
                         isSending() ? fileNameOf(m_files.value(m_fileIndex)) : m_currentName);
    emitStatus(LanguageManager::tr("进度：%1%").arg(percent));
}
