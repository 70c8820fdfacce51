// The receiving side of a Kermit transfer: the peer's packets judged and
// answered, its files named and written.
#include "transfer/kermittransfer.h"

#include "core/languagemanager.h"
#include "transfer/kermitpacket.h"

#include <QDir>

#include <algorithm>

using namespace kermit;

namespace {

// Kermit's common form of a name is upper case: a sender that does not keep
// names as they are (gkermit without -P) turns "y100k.bin" into "Y100K.BIN".
// A name without a lower-case letter is taken back to lower case; one that
// has both cases was sent as it is and is kept so.
QString fromCommonForm(const QString &name)
{
    const bool anyLower = std::any_of(name.cbegin(), name.cend(), [](QChar c) { return c.isLower(); });
    return anyLower ? name : name.toLower();
}

} // namespace

void KermitTransfer::handleReceiverPacket(int seq, char type, const QByteArray &data)
{
    if (type == 'E') {
        finishAfterPacket(peerErrorText(data, m_ctlPrefix)); // not answered: the peer has left
        return;
    }
    // A sender never sends ACKs or NAKs: these are ours, echoed by a shell
    // (dash repeats a command it cannot find), and an answer would be
    // echoed again.
    if (type == 'Y' || type == 'N')
        return;
    if (m_state == AwaitSendInit) {
        // Only the sender's S starts a receive; anything else is the shell's.
        if (type == 'S' && seq == expectedSeq())
            acceptSendInit(seq, data);
        return;
    }
    const bool answerOwed = m_answerWithheld;
    heard();
    if (seq != expectedSeq()) {
        if (m_lastSeq >= 0 && seq == m_lastSeq) {
            // The peer missed our ACK. A repeated S must get the parameters
            // again, on the check type the Send-Init exchange always uses.
            if (type == 'S') {
                const int agreed = m_checkType;
                m_checkType = 1;
                sendAck(seq, sendInitData(agreed));
                m_checkType = agreed;
            } else if (std::exchange(m_repeatHeld, true) || answerOwed) {
                sendAck(seq);
            }
            // The first repeat of a packet already answered goes unanswered.
            // Our answer is on its way already unless the link lost it, which
            // a pty or a TCP stream does not do, and a peer dying repeats its
            // last packet as the signal breaks off its wait: an answer to
            // that lands in its shell, and a second ACK there closes the
            // quote the first one's check opened, running both as a command.
            // A live peer whose answer was lost repeats again, and our
            // time-out's NAK of the next packet answers it too. One whose
            // answer we held back is answered at once.
        } else {
            sendNak(expectedSeq());
        }
        return;
    }
    m_waitTicks = 0; // the peer is alive and in step: the silence count starts over
    m_repeatHeld = false;
    switch (type) {
    case 'A':
        sendAck(seq);
        m_lastSeq = seq;
        break;
    case 'F':
        receiveFileHeader(seq, data);
        break;
    case 'D':
        receiveData(seq, data);
        break;
    case 'Z':
        receiveEof(seq, data);
        break;
    case 'B':
        sendAck(seq);
        m_lastSeq = seq;
        m_state = Closing;
        m_waitTicks = 0;
        m_tickTimer.start(); // the closing time counts from this ACK
        break;
    default:
        sendNak(expectedSeq());
        break;
    }
}

void KermitTransfer::acceptSendInit(int seq, const QByteArray &data)
{
    heard();
    SendInit params;
    readSendInit(data, &params);
    m_ctlPrefix = params.ctlPrefix;
    m_peerMaxLen = params.maxLen;
    sendAck(seq, sendInitData(params.checkType)); // still on a type-1 check
    m_checkType = params.checkType;
    m_lastSeq = seq;
    m_state = ReceivePackets;
    m_waitTicks = 0;
}

void KermitTransfer::receiveFileHeader(int seq, const QByteArray &data)
{
    const QString name = fromCommonForm(safeReceivedName(QString::fromUtf8(decodePrefixed(data, m_ctlPrefix))));
    if (name.isEmpty()) {
        abortTransfer(LanguageManager::tr("Kermit 文件名非法"));
        return;
    }
    // A file still open here never got its end-of-file packet: start() keeps
    // it as incomplete.
    const QString path = QDir(m_target).filePath(name);
    if (!m_recvFile.start(path)) {
        abortTransfer(LanguageManager::tr("无法创建文件：%1").arg(path), QStringLiteral("cannot create %1").arg(path));
        return;
    }
    m_currentName = name;
    m_receivedBytes = 0;
    m_lastPercent = -1;
    sendAck(seq);
    m_lastSeq = seq;
    emitStatus(LanguageManager::tr("开始接收：%1").arg(name));
}

void KermitTransfer::receiveData(int seq, const QByteArray &data)
{
    const QByteArray bytes = decodePrefixed(data, m_ctlPrefix);
    QFile &file = m_recvFile.file();
    if (!file.isOpen() || file.write(bytes) != bytes.size()) {
        const QString why = file.errorString();
        m_recvFile.keepIncomplete(); // a full disk keeps what arrived, and the end says where
        abortTransfer(LanguageManager::tr("写入文件失败：%1").arg(why));
        return;
    }
    m_receivedBytes += bytes.size();
    if (amountToTell(m_receivedBytes)) {
        emit progressChanged(m_receivedBytes, -1, m_currentName);
        if (!emitStatus(LanguageManager::tr("接收 %1：%2 KB").arg(m_currentName, QString::number(m_receivedBytes / 1024))))
            return;
    }
    sendAck(seq);
    m_lastSeq = seq;
}

void KermitTransfer::receiveEof(int seq, const QByteArray &data)
{
    // "D" in the end-of-file packet: the sender gave the file up.
    const bool discard = decodePrefixed(data, m_ctlPrefix).startsWith('D');
    if (m_recvFile.pending() && discard) {
        m_recvFile.discard();
    } else if (m_recvFile.pending()) {
        QFile &file = m_recvFile.file();
        if (!file.flush()) {
            abortTransfer(LanguageManager::tr("刷新文件失败：%1").arg(file.errorString()));
            return;
        }
        file.close();
        if (file.error() != QFileDevice::NoError) {
            abortTransfer(LanguageManager::tr("关闭文件失败：%1").arg(file.errorString()));
            return;
        }
        const QString error = m_recvFile.commit(-1);
        if (!error.isEmpty()) {
            abortTransfer(error);
            return;
        }
    }
    sendAck(seq);
    m_lastSeq = seq;
    if (discard)
        emitStatus(LanguageManager::tr("文件 %1 已被对端放弃，未保存").arg(m_currentName));
    else
        emitStatus(LanguageManager::tr("文件 %1 接收完成（%2 字节）").arg(m_currentName, QString::number(m_receivedBytes)));
}
