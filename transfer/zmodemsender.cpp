#include "transfer/zmodemtransfer.h"

#include <QDateTime>
#include <QFileInfo>

// The sending side: the file offers and the data windows.

using namespace Zmodem;

namespace {

constexpr int kSubpacketSize = 1024;
// A window goes out a few subpackets at a time, each piece only while the
// connection holds less than kLowWater of ours: what is on its way when the
// receiver dies lands in its shell, and what the receiver says is read
// between the pieces.
constexpr int kPieceSubpackets = 4;
constexpr qint64 kLowWater = 8 * 1024;
constexpr int kBacklogWaitMs = 2;
// Inside a window the receiver confirms every kAckEvery bytes (ZCRCQ), and
// no more than kAhead bytes go out past its last confirmation: that much of
// the file at most lands in the shell of a receiver that died unheard. A
// shell's line editor takes seconds to work through 12 KiB of it (the cost
// grows with the square of the line), and the stop that follows must reach
// it soon. On a pty this keeps the speed of a whole window at a time; on a
// link with a long round trip it costs speed.
constexpr quint32 kAckEvery = 2 * 1024;
constexpr quint32 kAhead = 12 * 1024;

} // namespace

void ZmodemTransfer::offerNextFile()
{
    while (m_fileIndex < m_files.size()) {
        if (m_sendFile.isOpen())
            m_sendFile.close();
        m_sendFile.setFileName(m_files.at(m_fileIndex));
        if (m_sendFile.open(QIODevice::ReadOnly))
            break;
        emitStatus(QStringLiteral("无法打开 %1，跳过").arg(m_files.at(m_fileIndex)));
        ++m_filesUnopenable;
        ++m_fileIndex;
    }
    if (m_fileIndex >= m_files.size()) {
        sendHexHeader(ZFIN, position(0));
        m_finTail.clear();
        setState(TxFinSent);
        return;
    }
    m_resumePos = 0;
    m_lastPercent = -1;
    const QFileInfo info(m_sendFile.fileName());
    const qint64 size = m_sendFile.size();
    const quint64 mtime = quint64(info.lastModified().toSecsSinceEpoch());
    QByteArray fileInfo = info.fileName().toUtf8();
    fileInfo.append('\0');
    fileInfo.append(QByteArray::number(size));
    fileInfo.append(' ');
    fileInfo.append(QByteArray::number(mtime, 8));
    fileInfo.append(" 100644");
    sendBinaryHeader(ZFILE, QByteArray("\x00\x00\x00\x01", 4));
    const QByteArray subpacket = dataSubpacket(fileInfo, ZCRCW);
    send(subpacket);
    // A resend must carry the file information too, or the receiver waits
    // for it forever.
    m_lastHeader.append(subpacket);
    setState(TxFileOffered);
    emitStatus(QStringLiteral("发送文件头：%1（%2 字节）").arg(info.fileName()).arg(size));
}

void ZmodemTransfer::sendDataBurst()
{
    m_ackedPos = quint32(m_sendFile.pos());
    m_lastHeader = binaryHeader(ZDATA, position(m_ackedPos));
    send(m_lastHeader);
    setState(TxData);
    m_windowLeft = m_windowSize;
    writeWindow();
}

void ZmodemTransfer::writeWindow()
{
    m_pump.stop();
    if (m_state != TxData || m_windowLeft <= 0)
        return;
    if (backlog() > kLowWater) {
        m_pump.start(kBacklogWaitMs);
        return;
    }
    const qint64 size = m_sendFile.size();
    QByteArray piece(kPieceSubpackets * subpacketRoom(kSubpacketSize), Qt::Uninitialized);
    char *w = piece.data();
    const auto out = [&] {
        piece.resize(w - piece.constData());
        send(piece);
    };
    char data[kSubpacketSize];
    for (int n = 0; n < kPieceSubpackets && m_windowLeft > 0; ++n) {
        if (quint32(m_sendFile.pos()) - m_ackedPos >= kAhead)
            break; // the receiver's ZACK writes on
        const qint64 got = m_sendFile.read(data, qMin(kSubpacketSize, m_windowLeft));
        if (got > 0) {
            m_windowLeft -= int(got);
            const bool confirm = quint32(m_sendFile.pos()) % kAckEvery == 0;
            w = writeDataSubpacket(w, data, int(got), m_windowLeft <= 0 ? ZCRCW : confirm ? ZCRCQ : ZCRCG);
            continue;
        }
        m_windowLeft = 0;
        if (m_sendFile.error() != QFileDevice::NoError) {
            out();
            abortTransfer(QStringLiteral("读取文件失败：%1").arg(m_sendFile.errorString()));
            return;
        }
        w = writeDataSubpacket(w, nullptr, 0, ZCRCE);
        out();
        sendHexHeader(ZEOF, position(quint32(size)));
        setState(TxEofSent);
        emitStatus(QStringLiteral("数据发完，已发 ZEOF，等对端确认..."));
        return;
    }
    if (w == piece.constData())
        return;
    out();
    m_idleTicks = 0; // the peer is not silent while it is being written to
    const quint64 generation = m_generation;
    if (size > 0) {
        const qint64 at = m_sendFile.pos();
        const int percent = int(at * 100 / size);
        if (percent != m_lastPercent) {
            m_lastPercent = percent;
            emit progressChanged(at, size, QFileInfo(m_sendFile.fileName()).fileName());
            if (!sameRun(generation) || !emitStatus(QStringLiteral("发送进度：%1%").arg(percent)))
                return;
        }
    }
    if (m_windowLeft > 0 && quint32(m_sendFile.pos()) - m_ackedPos < kAhead)
        m_pump.start(0);
}

bool ZmodemTransfer::seekSendFile(quint32 pos, const QString &failure)
{
    if (!m_sendFile.seek(pos)) {
        abortTransfer(failure);
        return false;
    }
    return true;
}

void ZmodemTransfer::nextFileAfter(bool announceSkip)
{
    m_sendFile.close();
    ++m_fileIndex;
    if (announceSkip)
        emitStatus(QStringLiteral("对端跳过了该文件"));
    offerNextFile();
}

void ZmodemTransfer::handleSenderHeader(int type, const QByteArray &bytes)
{
    const quint32 pos = positionOf(bytes);
    if (type == ZFIN) {
        if (m_state == TxFinSent) {
            send(QByteArrayLiteral("OO"));
            m_unconsumed = pastHeaderEnd(m_scanner.takeRest());
            finishTransfer(sendOutcome());
        } else {
            answerFin();
        }
        return;
    }
    switch (m_state) {
    case TxWaitInit:
        if (type == ZRINIT)
            offerNextFile();
        else if (type == ZNAK && !m_lastHeader.isEmpty())
            send(m_lastHeader);
        return;
    case TxFileOffered:
        if (type == ZRPOS) {
            if (!seekSendFile(pos, QStringLiteral("对端 ZRPOS 定位失败")))
                return;
            m_resumePos = pos;
            setState(TxData);
            sendDataBurst();
        } else if (type == ZSKIP) {
            nextFileAfter(true);
        } else if (type == ZRINIT) {
            // A receiver answers each of our ZRQINITs with a ZRINIT on top of
            // the one it sends when it starts: those late answers are not a
            // request to offer the file again (which would start two data
            // streams). A real repeat beyond them still gets the offer.
            if (m_initEchoes > 0)
                --m_initEchoes;
            else
                offerNextFile();
        } else if (type == ZNAK && !m_lastHeader.isEmpty()) {
            send(m_lastHeader);
        }
        return;
    case TxData:
        if (type == ZACK) {
            if (writingWindow()) {
                // A confirmation inside the window lets more of it go.
                if (pos - m_ackedPos <= quint32(m_sendFile.pos()) - m_ackedPos) {
                    m_ackedPos = pos;
                    if (!m_pump.isActive())
                        writeWindow();
                }
                return;
            }
            m_resumePos = pos;
            setState(TxData);
            sendDataBurst();
        } else if (type == ZRPOS || type == ZNAK) {
            // A ZNAK here answers a garbled ZDATA header: the data behind it
            // was thrown away, so the burst goes again from the last point
            // the receiver confirmed.
            const quint32 target = type == ZRPOS ? pos : m_resumePos;
            if (!seekSendFile(target, QStringLiteral("对端 ZRPOS 定位失败")))
                return;
            m_resumePos = target;
            m_retries = 0;
            sendDataBurst();
        } else if (type == ZSKIP) {
            nextFileAfter(true);
        } else if (type == ZABORT || type == ZCAN) {
            abortTransfer(QStringLiteral("对端中止传输"));
        }
        return;
    case TxEofSent:
        if (type == ZRINIT) {
            ++m_filesSent;
            nextFileAfter(false);
        } else if (type == ZSKIP) {
            nextFileAfter(false);
        } else if (type == ZRPOS) {
            if (!seekSendFile(pos, QStringLiteral("对端 ZRPOS 定位失败")))
                return;
            m_resumePos = pos;
            sendDataBurst();
        }
        return;
    default:
        return;
    }
}
