// The sending side of a Kermit transfer: the packets in flight, their
// answers, and the files read ahead.
#include "transfer/kermittransfer.h"

#include "core/languagemanager.h"
#include "transfer/kermitpacket.h"

#include <QFileInfo>

using namespace kermit;

namespace {

constexpr int kReplyLimit = 10; // NAKs, or replies out of step, for one packet in flight
constexpr int kSendBufferSize = 64 * 1024;

} // namespace

void KermitTransfer::handleSenderPacket(int seq, char type, const QByteArray &data)
{
    const int inFlight = m_sendSeq & 63;
    if (type == 'E') {
        // An error ends the transfer whatever number the peer gave it: it
        // will not answer anything else, nor read our own error.
        finishAfterPacket(peerErrorText(data, m_ctlPrefix));
        return;
    }
    // Only a receiver sends these; a shell echoes our own packets.
    if (type != 'Y' && type != 'N')
        return;
    const bool answerOwed = m_answerWithheld;
    heard();
    if (seq == inFlight && type == 'Y') {
        if (m_phase == SentInit) {
            SendInit params;
            readSendInit(data, &params);
            m_peerMaxLen = params.maxLen;
            m_eolChar = params.eol;
            m_ctlPrefix = params.ctlPrefix;
            m_checkType = params.checkType;
        }
        advanceSender();
        return;
    }
    // A receiver that times out waiting for the next packet NAKs that one:
    // it has the packet in flight, so this counts as its ACK.
    if (type == 'N' && seq == ((inFlight + 1) & 63) && m_phase != SentInit) {
        advanceSender();
        return;
    }
    if (type == 'N' && seq == inFlight) {
        if (++m_naks > kReplyLimit) {
            abortTransfer(LanguageManager::tr("对端持续 NAK，中止"));
            return;
        }
        send(m_lastPacket);
        return;
    }
    // A reply about another packet. A late ACK of an earlier packet is
    // dropped rather than answered with a resend, which would double every
    // packet from then on; a NAK of another one asks for what is in flight.
    // So does the receiver's repeat of its last ACK when the packet in
    // flight never went (the host's words held it back).
    if (++m_outOfStep > kReplyLimit) {
        abortTransfer(LanguageManager::tr("序号失步，中止"));
        return;
    }
    if (type == 'N' || answerOwed)
        send(m_lastPacket);
}

void KermitTransfer::advanceSender()
{
    switch (m_phase) {
    case SentInit:
    case SentEof:
        openNextFile();
        break;
    case SentFileHeader:
        m_phase = SentData;
        sendDataPacket();
        break;
    case SentData:
        sendDataPacket();
        break;
    case SentBreak:
        finishAfterPacket(QString());
        break;
    default:
        break;
    }
}

void KermitTransfer::openNextFile()
{
    if (!openNextSendFile())
        return;
    if (m_fileIndex >= m_files.size()) {
        if (m_filesSent == 0) {
            abortTransfer(LanguageManager::tr("没有可发送的文件（全部无法打开）"));
            return;
        }
        m_phase = SentBreak;
        sendPacket('B', QByteArray());
        return;
    }
    const QString name = QFileInfo(m_sendFile.fileName()).fileName();
    const QByteArray field = encodePrefixed(name.toUtf8(), m_ctlPrefix);
    if (field.size() > dataRoom()) {
        abortTransfer(LanguageManager::tr("文件名过长，无法发送：%1").arg(name));
        return;
    }
    m_sendSize = m_sendFile.size();
    m_sendPos = 0;
    m_sendBuffer.clear();
    m_sendBufferPos = 0;
    m_phase = SentFileHeader;
    m_lastPercent = -1;
    m_reportedPos = -1;
    if (!emitStatus(LanguageManager::tr("发送文件：%1（%2 字节）").arg(name, QString::number(m_sendSize))))
        return;
    sendPacket('F', field);
}

// Keeps at least one packet's worth of file bytes ahead; false on a read error.
bool KermitTransfer::fillSendBuffer()
{
    if (m_sendBuffer.size() - m_sendBufferPos >= kMaxPacketLength)
        return true;
    m_sendBuffer.remove(0, m_sendBufferPos);
    m_sendBufferPos = 0;
    const int have = m_sendBuffer.size();
    m_sendBuffer.resize(have + kSendBufferSize);
    const qint64 got = m_sendFile.read(m_sendBuffer.data() + have, kSendBufferSize);
    m_sendBuffer.resize(have + int(qMax<qint64>(got, 0)));
    return got >= 0;
}

void KermitTransfer::sendDataPacket()
{
    if (!fillSendBuffer()) {
        abortTransfer(LanguageManager::tr("读取文件失败：%1").arg(m_sendFile.errorString()));
        return;
    }
    const int available = m_sendBuffer.size() - m_sendBufferPos;
    if (available == 0) {
        // The last report names the whole file: an empty one, or one that
        // grew while it was read, had none that did.
        if (m_reportedPos != m_sendPos)
            emit progressChanged(m_sendPos, qMax(m_sendSize, m_sendPos), QFileInfo(m_sendFile.fileName()).fileName());
        m_sendFile.close();
        ++m_fileIndex;
        ++m_filesSent;
        m_phase = SentEof;
        sendPacket('Z', QByteArray());
        return;
    }
    // The packet is built in place: the data field is encoded straight
    // behind the header, and as many bytes go as the peer's length allows.
    QByteArray packet;
    packet.reserve(kMaxPacketLength + 8);
    packet.append(kMark);
    packet.append(' ');
    packet.append(tochar((m_sendSeq + 1) & 63));
    packet.append('D');
    const int taken = encodeInto(m_sendBuffer.constData() + m_sendBufferPos, available, m_ctlPrefix, dataRoom(),
                                 &packet);
    if (m_sendSize > 0) {
        const int percent = int((m_sendPos + taken) * 100 / m_sendSize);
        if (percent != m_lastPercent) {
            m_lastPercent = percent;
            m_reportedPos = m_sendPos + taken;
            emit progressChanged(m_sendPos + taken, m_sendSize, QFileInfo(m_sendFile.fileName()).fileName());
            if (!emitStatus(LanguageManager::tr("发送进度：%1%").arg(percent)))
                return;
        }
    }
    m_sendBufferPos += taken;
    m_sendPos += taken;
    ++m_sendSeq;
    packet[1] = tochar(packet.size() - 2 + checkLength(m_checkType));
    packet.append(blockCheck(m_checkType, packet.constData() + 1, packet.size() - 1));
    if (m_eolChar > 0)
        packet.append(char(m_eolChar));
    keepAndSend(packet);
}

