#include "transfer/zmodemtransfer.h"

#include "core/languagemanager.h"

#include <QDir>
#include <QFileInfo>

using namespace Zmodem;

namespace {

constexpr char CAN = 0x18;

// What the receiver asks of a sender in ZRINIT: escape every control
// character (ESCCTL) and every byte with the high bit set (ESC8), so that the
// data survives links that eat or mangle such bytes.
const QByteArray kZrinitFlags = QByteArray("\x00\x00\x00\xC0", 4);
const QByteArray kZeroes(4, '\0');

constexpr int kRetryLimit = 10;
// A receiver says nothing but headers while a window flows; this much else
// is a shell echoing our data.
constexpr qint64 kEchoBytes = 256;
// How much a received file grows between two nudges to write it out.
constexpr quint32 kWritebackBytes = 4 << 20;
constexpr int kInitRetryLimit = 12;
// How long after our ZFIN the sender's "OO" is still its own: on a slow
// link it comes late, and then it must not be drawn.
constexpr int kOverAndOutTicks = 3;
// The host's last words are short; a chatty line is not kept whole.
constexpr int kHostWordsBytes = 4096;

// The size field of a file offer: plain decimal digits that fit 63 bits. Any
// other form ("0x7", "seven", "-1", too many digits) leaves the size unknown
// (-1), and the file is then taken up to the sender's ZEOF; so does no field.
qint64 announcedSize(const QByteArray &field)
{
    for (const char c : field) {
        if (c < '0' || c > '9')
            return -1;
    }
    bool ok = false;
    const qint64 size = field.toLongLong(&ok);
    return ok ? size : -1;
}

// Ctrl+G, Ctrl+E, Ctrl+U: see stopSequence().
const QByteArray kLineMend("\x07\x05\x15");

// The frame types each side sends: a header of the other side's kind is
// our own, echoed by a shell, and no sign of the peer.
bool sentByReceiver(int type)
{
    switch (type) {
    case ZRINIT: case ZACK: case ZSKIP: case ZNAK: case ZABORT: case ZFIN: case ZRPOS: case ZFERR: case ZCAN:
    case ZCOMPL: case ZFREECNT:
        return true;
    default:
        return false;
    }
}

bool sentBySender(int type)
{
    switch (type) {
    case ZRQINIT: case ZSINIT: case ZFILE: case ZABORT: case ZFIN: case ZDATA: case ZEOF: case ZFERR:
    case ZCHALLENGE: case ZCOMMAND: case ZFREECNT: case ZCAN:
        return true;
    default:
        return false;
    }
}


} // namespace

// ---------------------------------------------------------------------------
// Object, start, cancel, finish

ZmodemTransfer::ZmodemTransfer(QObject *parent)
    : InbandTransfer(parent)
    , m_pump([this] {
        const Step step(this);
        writeWindow();
    })
    , m_beat([this] { beat(); }, Qt::PreciseTimer)
{
    m_pump.setSingleShot(true);
}

void ZmodemTransfer::setLinkClock(LinkClock *clock)
{
    m_clock = clock;
    m_pump.setClock(clock);
    m_beat.setClock(clock);
}

const QByteArray &ZmodemTransfer::stopSequence()
{
    // Eight CANs: pairs of Ctrl+X Ctrl+X (exchange point and mark) leave the
    // cursor where it was, also after an odd CAN of our data; Ctrl+E then
    // goes to the end of the line, so that Ctrl+U takes all of it.
    static const QByteArray stop = QByteArray(8, CAN) + kLineMend;
    return stop;
}

void ZmodemTransfer::sendToShell(const QByteArray &bytes)
{
    // The paste ends first, or the editor would take the rest in it, the
    // user's Enter included. Should our data have ended outside a paste,
    // that end is an Esc, which leaves a vi-mode editor in command mode: "S"
    // empties the line there and goes back to inserting, and is a letter
    // elsewhere, which the Ctrl+U takes back.
    send(m_pasteFrames ? kPasteClose + bytes : bytes);
}

ZmodemTransfer::~ZmodemTransfer()
{
    cancelAtDestruction();
}

void ZmodemTransfer::resetSession()
{
    m_scanner.clear();
    m_subpacketKind = None;
    m_retries = 0;
    m_idleTicks = 0;
    m_currentName.clear();
    m_receivedBytes = 0;
    m_expectedSize = -1;
    m_lastHeader.clear();
    m_filesSent = 0;
    m_skipped.clear();
    m_skipReason.clear();
    m_offerWords.clear();
    m_initEchoes = 0;
    m_windowLeft = 0;
    m_pump.stop();
    m_beat.stop();
    m_heldSinceUs = -1;
    m_readWaitUs = 0;
    m_ackPoints.clear();
    m_linkStartUs = -1;
    m_minRttUs = m_bareRttUs = 0;
    m_resending = false;
    m_rate = 0;
    m_peakNow = m_peakBefore = 0;
    m_markUs = -1;
    m_flatSamples = 0;
    m_growing = true;
    m_ahead = 0;
    m_heard = 0;
    m_unheard.clear();
    m_resyncing = false;
    m_resumeOwed = false;
    m_pasteFrames = false;
}

void ZmodemTransfer::startReceive(TransferSendFn sendFn, const QString &sessionId, const QString &directory, int)
{
    const Step step(this);
    beginRun(std::move(sendFn), sessionId, RxWaitFile, false, {}, directory);
    resetSession();
    if (emitStatus(LanguageManager::tr("Zmodem 接收 -> 目录 %1，请在对端运行 sz ...").arg(directory)))
        sendZrinit();
}

void ZmodemTransfer::startSend(TransferSendFn sendFn, const QString &sessionId, const QStringList &files, int)
{
    const Step step(this);
    beginRun(std::move(sendFn), sessionId, TxWaitInit, true, files);
    resetSession();
    m_pasteFrames = editorTakesPaste();
    m_resumePos = 0;
    if (emitStatus(LanguageManager::tr("Zmodem 发送：请在对端运行 rz ...")))
        sendZrqinit();
}

void ZmodemTransfer::cancelTransfer()
{
    if (m_state == Idle)
        return;
    // No ZABORT header: its hex digits and line end run as a command in the
    // shell of a peer that has gone, and the CANs stop lrzsz without it.
    // In one write, so that nothing of ours separates them.
    m_windowLeft = 0;
    if (peerToBeTold())
        sendToShell(stopSequence());
    finishTransfer(LanguageManager::tr("Zmodem 传输已被用户取消"));
}

void ZmodemTransfer::abortTransfer(const QString &message)
{
    beginEnding();
    m_windowLeft = 0;
    if (peerToBeTold())
        sendToShell(stopSequence());
    finishTransfer(message);
}

// How a send that got to its end went: one of which no file arrived, the
// receiver refusing each or none opening here, is no success.
QString ZmodemTransfer::sendOutcome() const
{
    if (m_filesSent > 0)
        return QString();
    if (!m_skipped.isEmpty())
        return LanguageManager::tr("对端未接收任何文件：跳过了 %1（%2）").arg(m_skipped.join(LanguageManager::tr("、")), m_skipReason);
    if (m_filesUnopenable > 0)
        return LanguageManager::tr("没有能打开的文件，未发送任何文件");
    return QString();
}

QString ZmodemTransfer::successText() const
{
    if (!m_isSender) {
        const int files = m_recvFile.committed();
        return LanguageManager::tr("Zmodem 接收完成（共 %1 个文件）", files).arg(files);
    }
    const int listed = int(m_files.size());
    if (m_filesSent < listed)
        return LanguageManager::tr("Zmodem 发送完成：%2 个文件中 %1 个送达", listed).arg(QString::number(m_filesSent), QString::number(listed));
    return LanguageManager::tr("Zmodem 发送完成（共 %1 个文件）", m_filesSent).arg(m_filesSent);
}

void ZmodemTransfer::finishTransfer(QString error)
{
    // Files are committed at their accepted ZEOF; one still pending here
    // either failed (and goes) or never got its end (and is kept, unsaved).
    m_windowLeft = 0;
    m_pump.stop();
    m_beat.stop();
    error = settleFiles(error, m_expectedSize, false);
    announceEnd(error.isEmpty() ? successText() : error, error);
}

void ZmodemTransfer::setState(State state)
{
    m_state = state;
    m_retries = 0;
    m_idleTicks = 0;
}

// ---------------------------------------------------------------------------
// Output

void ZmodemTransfer::sendHexHeader(quint8 type, const QByteArray &bytes)
{
    const QByteArray frame = hexHeader(type, bytes);
    // A ZNAK answers a garbled header; keeping it would make the next
    // resend repeat the ZNAK instead of our own last header.
    if (type != ZNAK)
        m_lastHeader = frame;
    send(frame);
}

void ZmodemTransfer::sendBinaryHeader(quint8 type, const QByteArray &bytes)
{
    m_lastHeader = binaryHeader(type, bytes);
    send(m_lastHeader);
}

void ZmodemTransfer::sendZrqinit()
{
    if (!hostLineOpen()) // one held back draws no answer
        ++m_initEchoes;
    sendHexHeader(ZRQINIT, kZeroes);
}

void ZmodemTransfer::sendZrinit()
{
    sendHexHeader(ZRINIT, kZrinitFlags);
}

// ZFIN answered: ZFIN, "OO", done. A file still being received is kept as
// incomplete by finishTransfer; one not yet confirmed, when sending, is not
// passed off as sent.
void ZmodemTransfer::answerFin()
{
    sendHexHeader(ZFIN, kZeroes);
    if (!m_isSender) {
        // "OO" is the sender's last word. Sent by us it lands in the shell
        // once the sender has exited; the sender's, arriving after our end,
        // would be drawn on the screen. So the run ends when it has come.
        setState(RxFinAnswered);
        m_finTail.clear();
        m_tickTimer.start(); // the wait counts from this answer, not from the run's start
        return;
    }
    send(QByteArrayLiteral("OO"));
    m_unconsumed = pastHeaderEnd(m_scanner.takeRest());
    // A sender's list is through only once the receiver confirmed its last
    // file; an earlier ZFIN leaves files unsent.
    if (m_isSender && m_fileIndex < m_files.size()) {
        finishTransfer(LanguageManager::tr("对端结束了传输，文件 %1 未发送完整").arg(QFileInfo(m_files.at(m_fileIndex)).fileName()));
        return;
    }
    finishTransfer(QString());
}

// ---------------------------------------------------------------------------
// Input

void ZmodemTransfer::feed(const QByteArray &data)
{
    const Step step(this);
    if (m_state == Idle)
        return;
    if (m_state == RxFinAnswered)
        return takeOverAndOut(data);
    if (m_state == TxFinSent) // see onTick
        m_finTail = (m_finTail + data).right(kHostWordsBytes);
    // Before the peer's first frame, what arrives is the shell's: it must not
    // keep a wait for a peer that never starts alive. Their ends read the
    // host's words themselves.
    const bool started = peerStarted();
    if (m_isSender && m_linkStartUs >= 0)
        m_readWaitUs = heldUpFor(linkUs());
    if (!started || m_state == TxFinSent) {
        take(data, started);
        return;
    }
    // lrzsz says nothing on the line while a transfer runs, but with -v, and
    // the host may (a `wall` message, a background job): a line of words is
    // taken out of the stream, and whether the peer speaks after it tells
    // the shell's words from a line amid a live run.
    const quint64 generation = m_generation;
    QByteArray rest = data;
    for (qsizetype at; sameRun(generation) && (at = hostWordsAt(rest)) >= 0;) {
        // The line ends before them are the host's too: escaped data holds
        // none, and they may land inside a subpacket.
        while (at > 0 && (rest.at(at - 1) == '\r' || rest.at(at - 1) == '\n'))
            --at;
        take(rest.left(at), true, rest.mid(at));
        rest.remove(0, at);
        if (!sameRun(generation))
            return;
        // A live receiver that owes no ZACK is as silent while the words
        // settle as a dead one: an empty subpacket asks it for one. A few
        // bytes without a line end, which the stop clears from a shell's line.
        if (m_isSender && m_state == TxData && !settling() && m_ackPoints.empty())
            askForAck();
        const QByteArray line = takeLine(&rest);
        notePeerWords(line);
        hostWordsArrived(line);
        // Until the peer answers, what follows them (a prompt) is the host's.
        if (!rest.contains(ZPAD) && !rest.contains(char(ZDLE)))
            return hostWordsArrived(std::exchange(rest, {}));
        // A frame's end after them is the peer's, alive, even where the
        // line cut its subpacket and the scanner has to find its place again.
        if (framesIn(rest))
            heardPeer();
    }
    if (sameRun(generation))
        take(rest, true);
}

void ZmodemTransfer::take(const QByteArray &data, bool started, const QByteArray &after)
{
    const bool cancelled = m_scanner.append(data);
    if (started)
        m_idleTicks = 0;
    if (cancelled) {
        m_unconsumed = pastCancel(data + after);
        // Nothing goes back to a peer that gave up; but the file data still
        // on its way lands in the shell it leaves, to be taken back.
        if (m_state == TxData || m_state == TxEofSent) {
            beginEnding();
            sendToShell(kLineMend);
        }
        finishTransfer(LanguageManager::tr("对端取消传输 (CAN)"));
        return;
    }
    const quint64 generation = m_generation;
    const int heard = m_heard;
    processInput();
    if (started && sameRun(generation) && echoedIn(data, m_heard != heard)) {
        // Our own data coming back: a shell has taken the receiver's place.
        m_unconsumed = withoutReceiverFrames(std::exchange(m_unheard, {}) + after);
        abortTransfer(peerGoneText());
        return;
    }
    if (sameRun(generation) && std::exchange(m_resumeOwed, false))
        sendHexHeader(ZRPOS, position(m_receivedBytes));
}

bool ZmodemTransfer::framesIn(QByteArrayView read)
{
    for (qsizetype at = read.indexOf(ZDLE); at >= 0 && at + 1 < read.size(); at = read.indexOf(ZDLE, at + 1)) {
        const char next = read.at(at + 1);
        if ((next >= char(ZCRCE) && next <= char(ZCRCW)) || (at > 0 && read.at(at - 1) == ZPAD))
            return true;
    }
    return false;
}

bool ZmodemTransfer::echoedIn(const QByteArray &read, bool heard)
{
    if (!m_isSender || m_state == TxFinSent)
        return false;
    // Kept until the peer is heard again: should they be a shell's echo,
    // they are the shell's to draw, its prompt among them.
    m_unheard = heard ? QByteArray() : m_unheard + read;
    return m_unheard.size() > kEchoBytes;
}

void ZmodemTransfer::shellTookOver(const QByteArray &words)
{
    // Our stop all the same: clean in a shell's line, and heard by a peer
    // that is still there after all.
    m_unconsumed = words;
    abortTransfer(peerGoneText());
}

void ZmodemTransfer::takeOverAndOut(const QByteArray &data)
{
    m_finTail = pastHeaderEnd(m_finTail + data);
    if (!m_finTail.isEmpty() && (m_finTail.size() >= 2 || m_finTail != "O"))
        endAfterFin();
}

void ZmodemTransfer::endAfterFin()
{
    // Whatever follows the "OO" (or stands in its place) is the host's.
    m_unconsumed = m_finTail.startsWith("OO") ? m_finTail.mid(2) : m_finTail.startsWith('O') ? m_finTail.mid(1) : m_finTail;
    m_finTail.clear();
    finishTransfer(QString());
}

void ZmodemTransfer::processInput()
{
    const quint64 generation = m_generation;
    while (sameRun(generation)) {
        if (m_subpacketKind == None) {
            quint8 type = 0;
            QByteArray bytes;
            const FrameScanner::Result r = m_scanner.nextHeader(type, bytes);
            if (r == FrameScanner::NeedMore)
                return;
            if (r == FrameScanner::Bin32Header) {
                markPeerStarted(); // a ZMODEM peer all the same, to be told
                abortTransfer(LanguageManager::tr("对端使用了 ZBIN32（32位CRC），本实现仅支持 CRC16"));
                return;
            }
            // The rest of a frame we gave up on is no header gone bad.
            if (r == FrameScanner::BadHeader && !m_resyncing)
                sendHexHeader(ZNAK, kZeroes);
            else if (r == FrameScanner::Header)
                handleHeader(type, bytes);
            if (m_state == RxFinAnswered && sameRun(generation))
                return takeOverAndOut(m_scanner.takeRest());
            continue;
        }
        QByteArrayView data;
        int end = 0;
        const FrameScanner::Result r = m_scanner.nextSubpacket(data, end);
        if (r == FrameScanner::NeedMore)
            return;
        if (r == FrameScanner::Subpacket) {
            handleSubpacket(data, end);
            continue;
        }
        if (++m_retries > kRetryLimit) {
            abortTransfer(LanguageManager::tr("数据子帧校验连续失败，中止"));
            return;
        }
        m_subpacketKind = None;
        m_resyncing = true;
        // Asked for once the whole read is seen: a subpacket cut short by
        // the sender's death is followed by the shell's words, and a ZRPOS
        // then would be run as a command.
        m_resumeOwed = true;
    }
}

// ---------------------------------------------------------------------------
// Engine

void ZmodemTransfer::handleHeader(int type, const QByteArray &bytes)
{
    m_resyncing = false;
    m_resumeOwed = false;
    // A header of our own side's kind is our own, echoed by a shell that
    // did not start the peer (or took its place). A sender starts with the
    // receiver's ZRINIT.
    if (m_isSender ? sentByReceiver(type) && (peerStarted() || type == ZRINIT) : sentBySender(type)) {
        ++m_heard;
        heardPeer();
    }
    if (m_isSender)
        handleSenderHeader(type, bytes);
    else
        handleReceiverHeader(type, bytes);
}

void ZmodemTransfer::handleReceiverHeader(int type, const QByteArray &bytes)
{
    const quint32 pos = positionOf(bytes);
    if (type == ZFIN) {
        answerFin();
        return;
    }
    switch (m_state) {
    case RxWaitFile:
        if (type == ZRQINIT || type == ZCHALLENGE)
            sendZrinit();
        else if (type == ZSINIT)
            m_subpacketKind = Attention;
        else if (type == ZFILE)
            m_subpacketKind = FileInfo;
        else if (type == ZCOMMAND)
            sendHexHeader(ZCOMPL, kZeroes); // commands from the peer are never run
        return;
    case RxData:
        if (type == ZDATA) {
            if (pos == m_receivedBytes)
                m_subpacketKind = FileData;
            else
                sendHexHeader(ZRPOS, position(m_receivedBytes));
        } else if (type == ZEOF) {
            acceptEof(pos);
        } else if (type == ZFILE) {
            m_subpacketKind = FileInfo;
        }
        return;
    case RxFrameEnd:
        if (type == ZFILE) {
            m_subpacketKind = FileInfo; // the sender gave this file up
        } else if (type == ZDATA) {
            if (pos > m_receivedBytes)
                return;
            m_recvFile.file().seek(pos);
            m_receivedBytes = pos;
            m_subpacketKind = FileData;
            setState(RxData);
        } else if (type == ZEOF) {
            acceptEof(pos);
        }
        return;
    default:
        return;
    }
}

void ZmodemTransfer::acceptEof(quint32 pos)
{
    if (pos != m_receivedBytes) {
        sendHexHeader(ZRPOS, position(m_receivedBytes));
        if (m_state == RxFrameEnd)
            setState(RxData);
        return;
    }
    // The sender's file ends where ours does. Short of the announced size,
    // the sender has nothing more to give (asking again would only bring
    // the same ZEOF back): the file is kept as incomplete, not saved.
    const qint64 written = m_recvFile.file().pos();
    if (m_expectedSize >= 0 && written < m_expectedSize) {
        m_recvFile.keepIncomplete();
        emitStatus(LanguageManager::tr("文件 %1 未接收完整（%2 / %3 字节），未保存")
                       .arg(m_currentName, QString::number(written), QString::number(m_expectedSize)));
    } else {
        const QString error = m_recvFile.commit(m_expectedSize);
        if (!error.isEmpty()) {
            abortTransfer(error);
            return;
        }
        emitStatus(LanguageManager::tr("文件 %1 接收完成（%2 字节）").arg(m_currentName, QString::number(m_receivedBytes)));
    }
    sendZrinit();
    setState(RxWaitFile);
}

void ZmodemTransfer::skipOffer()
{
    sendHexHeader(ZSKIP, kZeroes);
    setState(RxWaitFile);
}

void ZmodemTransfer::acceptFileInfo(const QByteArray &info)
{
    m_subpacketKind = None;
    const int nul = info.indexOf('\0');
    if (nul <= 0) {
        skipOffer();
        return;
    }
    const QString peerName = QString::fromUtf8(info.left(nul));
    const qint64 size = announcedSize(info.mid(nul + 1).split(' ').value(0));
    const QString name = safeReceivedName(peerName);
    if (name.isEmpty()) {
        skipOffer();
        return;
    }
    // A file still open here was given up by the sender: start() keeps it
    // as incomplete (or starts it afresh when it is offered again).
    const QString target = QDir(m_target).filePath(name);
    if (!m_recvFile.start(target)) {
        emitStatus(LanguageManager::tr("无法创建 %1，跳过该文件").arg(target));
        skipOffer();
        return;
    }
    m_currentName = name;
    m_expectedSize = size;
    m_receivedBytes = 0;
    m_lastPercent = -1;
    emitStatus(LanguageManager::tr("开始接收：%1 (%2 字节)")
                   .arg(m_currentName, size >= 0 ? QString::number(size) : QStringLiteral("?")));
    sendHexHeader(ZRPOS, position(0));
    setState(RxData);
}

void ZmodemTransfer::handleSubpacket(QByteArrayView data, int endType)
{
    ++m_heard;
    heardPeer();
    switch (m_subpacketKind) {
    case FileInfo:
        acceptFileInfo(data.toByteArray());
        return;
    case Attention:
        m_subpacketKind = None;
        sendHexHeader(ZACK, kZeroes);
        return;
    case FileData:
        writeFileData(data, endType);
        return;
    default:
        return;
    }
}

void ZmodemTransfer::writeFileData(QByteArrayView data, int endType)
{
    if (!data.isEmpty() && m_recvFile.file().write(data.data(), data.size()) != data.size()) {
        const QString why = m_recvFile.file().errorString();
        m_recvFile.keepIncomplete(); // a full disk keeps what arrived, and the end says where
        abortTransfer(LanguageManager::tr("写入文件失败：%1").arg(why));
        return;
    }
    const quint32 before = m_receivedBytes;
    m_receivedBytes += quint32(data.size());
    if (before / kWritebackBytes != m_receivedBytes / kWritebackBytes)
        m_recvFile.startWriteback();
    if (m_expectedSize > 0) {
        const int percent = int(qMin<qint64>(m_receivedBytes, m_expectedSize) * 100 / m_expectedSize);
        if (percent != m_lastPercent) {
            m_lastPercent = percent;
            emit progressChanged(m_receivedBytes, m_expectedSize, m_currentName);
            if (!emitStatus(LanguageManager::tr("接收 %1：%2%").arg(m_currentName, QString::number(percent))))
                return;
        }
    }
    if (endType == ZCRCW || endType == ZCRCQ)
        sendHexHeader(ZACK, position(m_receivedBytes));
    if (endType == ZCRCE || endType == ZCRCW) {
        setState(RxFrameEnd);
        m_subpacketKind = None;
    }
}

void ZmodemTransfer::onTick()
{
    const Step step(this);
    if (m_state == Idle)
        return;
    ++m_idleTicks;
    // What is still on its way to the receiver it cannot have answered yet.
    if (m_isSender && m_state != TxFinSent && backlog() > 0)
        m_idleTicks = 0;
    const QString rxTimeout = LanguageManager::tr("接收超时，中止");
    switch (m_state) {
    case RxFinAnswered:
        if (m_idleTicks >= kOverAndOutTicks)
            endAfterFin(); // a sender that never says "OO"
        return;
    case RxWaitFile:
        if (m_idleTicks > 300) {
            abortTransfer(LanguageManager::tr("5 分钟内对端未开始发送（sz），放弃"));
            return;
        }
        // Until a sender has shown itself the line is a shell's, which would
        // run each ZRINIT as a command; sz announces itself and is answered
        // at once, and one already waiting got the ZRINIT of our start.
        if (peerStarted() && m_idleTicks % 3 == 0) {
            if (++m_retries > kRetryLimit)
                abortTransfer(rxTimeout);
            else
                sendZrinit();
        }
        return;
    case RxData:
    case RxFrameEnd:
        if (m_idleTicks < 10)
            return;
        // A silent sender may be stopped, not gone: only the ZRPOS goes,
        // a header, until the protocol's patience is spent.
        if (++m_retries > kRetryLimit) {
            abortTransfer(rxTimeout);
            return;
        }
        // What arrived of a subpacket before the silence is abandoned: the
        // sender starts again from our position with a header (lrzsz's sz
        // waits for one after a SIGINT).
        if (m_subpacketKind == FileData) {
            m_scanner.dropSubpacket();
            m_subpacketKind = None;
        }
        m_resyncing = true;
        sendHexHeader(ZRPOS, position(m_receivedBytes));
        m_idleTicks = 0;
        return;
    case TxWaitInit:
        if (m_idleTicks < 5)
            return;
        if (++m_retries > kInitRetryLimit) {
            abortTransfer(LanguageManager::tr("对端 60 秒未响应 ZRINIT（rz 未运行？），放弃"));
            return;
        }
        // rz announces itself with a ZRINIT as it starts, and one already
        // running answered the ZRQINIT of our start: until then the line is
        // a shell's, which would run each repeat as a command. The silence
        // still counts towards giving up.
        if (peerStarted())
            sendZrqinit();
        m_idleTicks = 0;
        return;
    case TxFileOffered:
        if (m_idleTicks < 10)
            return;
        if (++m_retries > kRetryLimit) {
            abortTransfer(LanguageManager::tr("对端对 ZFILE 无响应，中止"));
            return;
        }
        send(m_lastHeader);
        markOffered();
        m_idleTicks = 0;
        return;
    case TxData: {
        if (m_idleTicks < 10)
            return;
        const int retries = m_retries + 1;
        if (retries > kRetryLimit) {
            abortTransfer(LanguageManager::tr("对端持续未确认（ZACK），中止"));
            return;
        }
        // No data again into the silence, where it would be typed into a
        // shell a second time: an empty ZCRCW subpacket at our position draws
        // a living receiver's ZACK (the next window goes from there) or its
        // ZRPOS. While the data frame is open it goes on that frame: a header
        // inside it would cost a receiver that was only stopped a subpacket
        // with a bad CRC, and the resync after it; once it is closed, behind
        // a ZDATA header.
        const bool frameOpen = m_windowLeft > 0;
        m_windowLeft = 0;
        m_pump.stop();
        m_lastHeader = binaryHeader(ZDATA, position(quint32(m_sendFile.pos())));
        send(frameOpen ? dataSubpacket({}, ZCRCW) : m_lastHeader + dataSubpacket({}, ZCRCW));
        m_retries = retries;
        m_idleTicks = 0;
        return;
    }
    case TxEofSent:
        if (m_idleTicks < 15)
            return;
        if (++m_retries > kRetryLimit) {
            abortTransfer(LanguageManager::tr("对端对 ZEOF 无响应，中止"));
            return;
        }
        sendHexHeader(ZEOF, position(quint32(m_sendFile.size())));
        m_idleTicks = 0;
        return;
    case TxFinSent:
        if (m_idleTicks >= 5) {
            // A receiver gone without its ZFIN: what the host said since
            // ours, after the receiver's last header, is the screen's.
            // A hex header runs on from its ZDLE for 'B' and 14 hex digits.
            constexpr qsizetype kHexHeaderFromZdle = 16;
            const qsizetype header = m_finTail.lastIndexOf(ZDLE);
            m_unconsumed = header < 0 ? m_finTail : pastHeaderEnd(m_finTail.mid(header + kHexHeaderFromZdle));
            finishTransfer(sendOutcome());
        }
        return;
    default:
        return;
    }
}
