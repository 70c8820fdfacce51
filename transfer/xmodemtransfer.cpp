#include "transfer/xmodemtransfer.h"

#include "core/languagemanager.h"
#include "transfer/xmodemwire.h"

#include <QFileInfo>

#include <algorithm>

namespace {

using namespace xmodem;

constexpr int kHandshakeSeconds = 60;
constexpr int kHeaderResendSeconds = 10;
constexpr int kDataResendSeconds = 3;
constexpr int kPollLimit = 30;
// A poll that comes this long after a block 0 went out did not cross it on
// the line: the receiver has not got it.
constexpr int kPollCrossesMs = 1000;

QString fileNameOf(const QString &path)
{
    return QFileInfo(path).fileName();
}

} // namespace

XmodemTransfer::XmodemTransfer(QObject *parent)
    : InbandTransfer(parent)
{
    m_nudge.setSingleShot(true);
    m_nudge.setTimerType(Qt::PreciseTimer);
    connect(&m_nudge, &QTimer::timeout, this, &XmodemTransfer::nudgeReceiver);
}

XmodemTransfer::~XmodemTransfer()
{
    cancelAtDestruction();
}

// ---------------------------------------------------------------------------
// Start, feed, cancel, finish

void XmodemTransfer::startSend(TransferSendFn sendFn, const QString &sessionId, const QStringList &files, int mode)
{
    const Step step(this);
    m_mode = mode;
    beginRun(std::move(sendFn), sessionId, WaitReceiver, true, isYmodem() ? files : files.mid(0, 1));
    m_expectedSize = -1;
    if (files.isEmpty()) {
        finishTransfer(LanguageManager::tr("未选择要发送的文件"));
        return;
    }
    m_headerAcked = false;
    m_useCrc = true;
    m_blockNumber = 1;
    m_sentBytes = 0;
    m_lastPacket.clear();
    m_slowestAnswerUs = 0;
    m_answersTimed = 0;
    m_nudged = m_nudgeOut = m_cancelHeld = false;
    m_told = 0;
    m_withholding = m_withheld = m_promptBehind = false;
    m_sentAt.invalidate();

    m_sendFile.setFileName(m_files.first());
    if (!m_sendFile.open(QIODevice::ReadOnly)) {
        abortTransfer(LanguageManager::tr("无法打开文件：%1").arg(m_files.first()));
        return;
    }
    m_sendSize = m_sendFile.size();
    m_lastSeen = '\n';
    enterSendState(WaitReceiver);
    emitStatus(LanguageManager::tr("等待接收方就绪（NAK/C）... 文件：%1 (%2 字节)")
                   .arg(fileNameOf(m_files.first()), QString::number(m_sendSize)));
}

void XmodemTransfer::startReceive(TransferSendFn sendFn, const QString &sessionId, const QString &path, int mode)
{
    const Step step(this);
    m_mode = mode;
    beginRun(std::move(sendFn), sessionId, Polling, false, {}, path);
    m_retries = 0;
    m_idleTicks = 0;
    m_rxBuffer.clear();
    m_notBlocks.clear();
    m_receivedBytes = 0;
    m_expectedSize = -1;
    m_lastBlock = 0;
    m_fileDataSeen = false;
    m_checkSettled = false;
    m_eotSeen = false;
    m_promptBehind = false;
    // A receiver that asks for checksum blocks gets them from every sender.
    m_useCrc = (mode != XmodemChecksum);

    if (!isYmodem()) {
        if (!m_recvFile.start(path)) {
            abortTransfer(LanguageManager::tr("无法创建文件：%1").arg(path));
            return;
        }
        m_currentName = fileNameOf(path);
        emitStatus(LanguageManager::tr("Xmodem 接收 -> %1，轮询对端('C')...").arg(m_currentName));
    } else {
        emitStatus(LanguageManager::tr("Ymodem 接收 -> 目录 %1，轮询对端('C')...").arg(path));
    }
    // Ask at once: a sender that is already waiting need not sit out a
    // second of silence. The tick keeps polling from there on.
    poll(m_useCrc ? POLL_CRC : NAK);
}

void XmodemTransfer::poll(char byte)
{
    send(QByteArray(1, byte));
    if (!hostLineOpen())
        m_lastPoll = byte;
}

void XmodemTransfer::hostLineOpening()
{
    // A 'C' the shell took into its line is still there: the other poll,
    // NAK, is Ctrl+U, which clears the line before the user's first key.
    if (m_state == Polling && m_lastPoll == POLL_CRC)
        poll(NAK);
}

void XmodemTransfer::feed(const QByteArray &data)
{
    const Step step(this);
    if (m_state == Idle)
        return;
    m_rxBuffer.append(data);
    // Before the peer's first frame, what arrives is the shell's (our own
    // polls echoed among it): it must not keep a wait for a peer that never
    // starts alive.
    if (peerStarted())
        m_idleTicks = 0;
    processInput();
    if (m_state != Idle && m_rxBuffer.size() > kMaxPendingBytes)
        m_rxBuffer.remove(0, m_rxBuffer.size() - kMaxPendingBytes);
}

void XmodemTransfer::cancelTransfer()
{
    if (m_state == Idle)
        return;
    // rx and rb empty their input right after each word they send (an
    // answer, or asking again), and read away what comes with a block cut
    // short, with a byte that is no block (a nudge of ours) or right behind
    // an EOT, until the line has been quiet a second. CANs that come
    // meanwhile are lost, and the receiver then waits up to 13 s before it
    // asks again, for minutes in all. So the receiver is told until it has
    // gone: a second after each word of its own, when it is waiting for us,
    // and after each two quiet seconds, which end its reading away; until
    // it gives up (its own CANs) or the shell speaks. Where it would take
    // CANs now for noise behind what it reads (a nudge, an end), the first
    // telling waits too. A second cancel does not wait.
    if (isSending() && m_state != WaitReceiver && !std::exchange(m_cancelHeld, true)) {
        cancelLater();
        if (m_nudgeOut || m_state == EotSent || m_state == BatchEndSent)
            quietFrom(0);
        else
            tellReceiver();
        return;
    }
    abortTransfer(LanguageManager::tr("传输已被用户取消"));
}

void XmodemTransfer::quietFrom(int ticks)
{
    m_idleTicks = ticks;
    m_tickTimer.start(); // a whole second to the next tick
}

void XmodemTransfer::tellReceiver()
{
    if (m_told >= kTellings) {
        finishTransfer(LanguageManager::tr("传输已被用户取消"));
        return;
    }
    ++m_told;
    send(QByteArray(2, CAN));
    quietFrom(0);
}

bool XmodemTransfer::heldCancelGoes()
{
    if (!m_cancelHeld)
        return false;
    const QString text = LanguageManager::tr("传输已被用户取消");
    if (m_rxBuffer.contains(CAN)) {
        // It gave up: the shell is back behind its CANs.
        m_unconsumed = pastCancel(std::exchange(m_rxBuffer, {}));
        finishTransfer(text);
        return true;
    }
    // A receiver that took the end (XMODEM's EOT, YMODEM's batch end) before
    // it heard of the cancel has every file whole, and has gone.
    if (lastStep() && m_told == 0 && m_rxBuffer.contains(ACK)) {
        m_rxBuffer.remove(0, m_rxBuffer.indexOf(ACK) + 1);
        finishTransfer(QString());
        return true;
    }
    // Its answers and asks: it waits for us now, told a second on.
    qsizetype words = 0;
    for (qsizetype i = 0; i < m_rxBuffer.size(); ++i)
        words += endAnswerAt(i) ? 0 : 1;
    if (words == 0) {
        if (!m_rxBuffer.isEmpty())
            quietFrom(kTellAgainTicks - 1);
        m_rxBuffer.clear();
        return true;
    }
    // Anything else is the host's: the receiver has gone and the shell has
    // its line, which no CAN may reach.
    m_unconsumed = std::exchange(m_rxBuffer, {});
    m_unconsumed.removeIf([](char c) { return c == ACK || c == NAK; });
    finishTransfer(text);
    return true;
}

void XmodemTransfer::abortTransfer(const QString &message)
{
    beginEnding(); // what is still queued goes first: the CANs are the last word
    if (peerToBeTold()) {
        // Unanswered, the CANs reach either the shell that was to start the
        // sender or a sender that waits for its first poll. YMODEM's sb
        // stops there only on four CANs (two just make it wait on, and the
        // NAK below would then start it). To bash and zsh four are Ctrl+X
        // Ctrl+X twice, which leaves the cursor where it was; a shell without
        // line editing keeps them as characters: the line is emptied before
        // them (of a 'C' poll) and after them.
        const bool intoShell = !peerStarted();
        if (intoShell)
            hostLineOpening();
        send(QByteArray(intoShell ? 4 : 2, CAN));
        if (intoShell)
            send(QByteArray(1, NAK));
    }
    finishTransfer(message);
}

// The peer has gone: nothing more goes out, not even CANs, which would only
// be typed into the shell that took its place.
void XmodemTransfer::peerLeft(const QString &text)
{
    beginEnding();
    finishTransfer(text);
}

// The host's words were not followed by the peer: it was killed, and the
// shell says so ("Killed", a prompt behind a command's output, a complaint
// about what of ours it read). What came after the words is the shell's
// too, less what is left of the peer's last frames.
void XmodemTransfer::shellTookOver(const QByteArray &words)
{
    const QByteArray said = words + wordsAfter(std::exchange(m_notBlocks, {}) + std::exchange(m_rxBuffer, {}));
    // The receiver has every file whole, whatever became of it since: only
    // the batch's end went unsaid.
    if (allFilesAcknowledged()) {
        m_rxBuffer = said; // left for the screen by a good end
        finishTransfer(QString());
        return;
    }
    m_unconsumed = said;
    // A block of ours on its way when the receiver died is in the shell's
    // line now, where the next command would run behind it: Ctrl+C drops
    // it where the shell edits its own line.
    const bool blockOut = isSending() && m_state != WaitReceiver && !m_withheld;
    beginEnding();
    if (blockOut)
        send(QByteArrayLiteral("\x03"));
    peerLeft(peerGoneText());
}

int XmodemTransfer::settleTicks() const
{
    // Whole lines alone may be a job's amid a live run, also at the end: a
    // receiver that lost our end (it came as it emptied its input) asks
    // for it again only at its time-out.
    return m_promptBehind ? 2 : kPeerTimeoutSeconds + 1;
}

void XmodemTransfer::heard()
{
    heardPeer();
    m_promptBehind = false;
    m_notBlocks.clear();
}

void XmodemTransfer::wordsArrived(const QByteArray &words)
{
    if (holdsPrompt(words))
        m_promptBehind = true;
    hostWordsArrived(words);
}

void XmodemTransfer::transmit(const QByteArray &packet)
{
    if (m_withholding)
        m_withheld = true;
    else
        send(packet);
}

// A prompt ends its line, or stands before the sequence with which the
// shell leaves its line editor for the command typed there.
bool XmodemTransfer::holdsPrompt(QByteArrayView words)
{
    for (const char *end : {"$ ", "# ", "% ", "> "}) {
        for (qsizetype at = words.indexOf(end); at >= 0; at = words.indexOf(end, at + 1)) {
            const qsizetype after = at + 2;
            if (after == words.size() || QByteArrayView("\r\n\x1b").contains(words.at(after)))
                return true;
        }
    }
    return false;
}

qsizetype XmodemTransfer::promptTailAt(QByteArrayView read)
{
    // The read's last run of text (the sequences a shell sets its line up
    // with included), from its last line end or control byte on.
    qsizetype start = read.size();
    while (start > 0 && (uchar(read.at(start - 1)) >= 0x20 || read.at(start - 1) == '\x1b'))
        --start;
    if (start == read.size() || !holdsPrompt(read.sliced(start)))
        return -1;
    qsizetype from = start - 1;
    while (from >= 0 && read.at(from) != ACK && read.at(from) != NAK && read.at(from) != CAN)
        --from;
    return from + 1;
}

void XmodemTransfer::peerCancelled()
{
    m_unconsumed = pastCancel(std::exchange(m_rxBuffer, {}));
    finishTransfer(LanguageManager::tr("对端取消传输 (CAN)"));
}

void XmodemTransfer::finishTransfer(QString error)
{
    m_nudge.stop();
    // After a good end the line is the host's again.
    if (error.isEmpty())
        m_unconsumed = std::exchange(m_rxBuffer, {});
    // The single XMODEM file ends with the transfer; a YMODEM file still
    // pending at the end never got its own end.
    error = settleFiles(error, m_expectedSize, !isYmodem());
    announceEnd(error.isEmpty() ? LanguageManager::tr("传输完成") : error, error);
}

// ---------------------------------------------------------------------------
// Engine

void XmodemTransfer::processInput()
{
    if (isSending())
        processSender();
    else
        processReceiver();
}

void XmodemTransfer::processSender()
{
    if (heldCancelGoes())
        return;
    if (m_state == WaitReceiver) {
        int at = -1;
        for (int i = 0; i < m_rxBuffer.size(); ++i) {
            if (isPoll(i)) {
                at = i;
                break;
            }
        }
        if (!m_rxBuffer.isEmpty())
            m_lastSeen = m_rxBuffer.back();
        if (at < 0) {
            // Nothing here can start the transfer; keeping it would only let
            // a chatty line grow the buffer.
            m_rxBuffer.clear();
            return;
        }
        m_useCrc = (m_rxBuffer[at] == POLL_CRC);
        wordsBeforePeer(m_rxBuffer.left(at));
        m_rxBuffer.remove(0, at + 1);
        heardPeer();
        if (isYmodem()) {
            m_sendFile.close();
            m_sendFile.setFileName(QString());
            sendNextHeader();
            return;
        }
        m_blockNumber = 1;
        startDataPhase();
        if (m_state != Idle)
            emitStatus(LanguageManager::tr("已握手（%1），开始发送数据")
                           .arg(m_useCrc ? QStringLiteral("CRC16") : LanguageManager::tr("校验和")));
        return;
    }
    // A receiver's answer never holds a line of text: one is the host's, and
    // what the receiver says after it (not before) shows the receiver alive.
    // The peer's own cancel, words behind it or not, is read as such below.
    // At the last step too: rx answers XMODEM's end only after a second, and
    // a job's line that comes meanwhile is no sign of rx gone; the answer
    // that follows it ends the run (see settleTicks()).
    const bool wordsHere = !m_rxBuffer.contains(CAN);
    // A prompt behind the receiver's last answer in one read: the receiver
    // answered and left (killed, or done with a batch). What its answer
    // asks for would go into the shell: it is held back. The prompt stays
    // in the buffer, for the screen of a run its answer ends.
    const qsizetype promptAt = wordsHere ? promptTailAt(m_rxBuffer) : -1;
    const QByteArray prompt = promptAt >= 0 ? m_rxBuffer.mid(promptAt) : QByteArray();
    // A step that clears the buffer (the next state) clears the prompt too.
    const auto headSize = [&] { return qMax<qsizetype>(0, m_rxBuffer.size() - prompt.size()); };
    m_withholding = promptAt >= 0;
    const quint64 generation = m_generation;
    qsizetype before = wordsHere ? hostWordsAt(m_rxBuffer.left(headSize())) : -1; // bytes before the next line of words
    char previous = 0;
    while (headSize() > 0 && isSending() && generation == m_generation) {
        if (before == 0) {
            // The receiver's 'C' with a host line right behind it (a busy
            // window reads the two at once): at the line's start, when a 'C'
            // is what the receiver owes next, it is the receiver's. Taken
            // for the host's, it would leave the receiver waiting on us.
            if (m_rxBuffer.at(0) == POLL_CRC && pollOwed()) {
                m_rxBuffer.remove(0, 1);
                handleSenderByte(POLL_CRC, std::exchange(previous, POLL_CRC));
                before = hostWordsAt(m_rxBuffer.left(headSize()));
                continue;
            }
            QByteArray head = m_rxBuffer.left(headSize());
            const QByteArray line = takeLine(&head);
            m_rxBuffer.remove(0, line.size());
            wordsArrived(line);
            // Until the peer answers, what follows them (a prompt) is the host's.
            const auto answer = [](char c) { return c == ACK || c == NAK || c == POLL_CRC; };
            if (std::none_of(head.cbegin(), head.cend(), answer)) {
                m_rxBuffer.remove(0, head.size());
                wordsArrived(head);
            }
            before = hostWordsAt(m_rxBuffer.left(headSize()));
            continue;
        }
        // At the last step whatever is no answer is the host's, up to the
        // next answer (a `wall` message's line end whose words come in the
        // next read, a job's line cut by the read): it waits with them.
        if (lastStep() && !endAnswerAt(0)) {
            qsizetype end = 1;
            while (end < headSize() && end != before && !endAnswerAt(end))
                ++end;
            wordsArrived(m_rxBuffer.left(end));
            m_rxBuffer.remove(0, end);
            before = before > 0 ? before - end : before;
            previous = 0;
            continue;
        }
        const char c = m_rxBuffer[0];
        m_rxBuffer.remove(0, 1);
        if (before > 0)
            --before;
        handleSenderByte(c, std::exchange(previous, c));
    }
    m_withholding = false;
    if (promptAt < 0 || !isSending() || generation != m_generation)
        return;
    m_rxBuffer.clear();
    // On a terminal, rx and rb drop their own last ACK now and then as they
    // exit (they flush the terminal when they put it back). Every block was
    // acknowledged by then; a prompt behind the end (after the receiver's
    // own last words, or a job's) is the sign that the receiver took it and
    // left. Sending the end again would type it into the shell, where EOT
    // is Ctrl+D.
    if (lastStep()) {
        m_rxBuffer = prompt;
        finishTransfer(QString());
        return;
    }
    wordsArrived(prompt);
}

bool XmodemTransfer::endAnswerAt(qsizetype at) const
{
    const char c = m_rxBuffer.at(at);
    if (c == ACK || c == NAK || c == CAN)
        return true;
    // A poll stands alone on its line, in front of the receiver's next one.
    const auto apart = [](char b) { return b == '\r' || b == '\n' || b == ACK || b == NAK || b == POLL_CRC; };
    return c == POLL_CRC && (at == 0 || apart(m_rxBuffer.at(at - 1)))
           && (at + 1 == m_rxBuffer.size() || apart(m_rxBuffer.at(at + 1)));
}

// Keys typed while we wait are echoed by the shell, and a 'C' among them
// ("rx Cat.bin") is no receiver's poll: that one comes at the start of a
// line, after an earlier poll or after the full stop of the receiver's
// greeting (plain rb: "rb waiting to receive.C"), and nothing but polls
// follows it until it is answered. NAK is never typed text.
bool XmodemTransfer::isPoll(int i) const
{
    const char c = m_rxBuffer[i];
    if (c == NAK)
        return true;
    if (c != POLL_CRC)
        return false;
    const char before = i > 0 ? m_rxBuffer[i - 1] : m_lastSeen;
    const char after = i + 1 < m_rxBuffer.size() ? m_rxBuffer[i + 1] : POLL_CRC;
    return (before == '\n' || before == '\r' || before == '.' || before == POLL_CRC || before == NAK)
           && (after == POLL_CRC || after == NAK);
}

void XmodemTransfer::handleSenderByte(char c, char before)
{
    // Amid a file's data a 'C' is no receiver's: the shell's that took its
    // place draws one at the end of a cursor movement (ESC [ 7 C). Before
    // the first block (an empty file's EOT) is answered, a 'C' of its own is
    // the receiver polling again: it did not get it whole (one held up
    // half-way on a busy machine times out in rx and rb, which then ask for
    // the start again) and waits.
    const bool cursorMove = (before >= '0' && before <= '9') || before == '[' || before == ';';
    const bool firstUnanswered = (m_state == SendingData && m_blockNumber == 1)
                                 || (m_state == EotSent && !m_awaitingHeaderRequest && m_sentBytes == 0);
    const bool pollAgain = c == POLL_CRC && firstUnanswered && !cursorMove;
    // Whether what went last has been out a while: a receiver polling
    // only now never took it (it answers a block 0 at once).
    const bool outAWhile = m_sentAt.isValid() && m_sentAt.elapsed() > kPollCrossesMs;
    if (c == ACK || c == NAK || (c == POLL_CRC && m_state != SendingData) || pollAgain) {
        heard();
        answered(c);
    }
    if (pollAgain)
        c = NAK;
    switch (c) {
    case CAN:
        peerCancelled();
        return;
    case ACK:
        switch (m_state) {
        case HeaderSent:
            m_headerAcked = true;
            return;
        case SendingData:
            // Count failures in a row, not over the whole file: a long file
            // on a line that loses a block now and then must still get
            // through, as it does when receiving.
            m_retries = 0;
            sendNextDataBlock();
            return;
        case EotSent:
            if (!isYmodem()) {
                finishTransfer(QString());
                return;
            }
            if (m_awaitingHeaderRequest)
                return;
            ++m_fileIndex;
            m_sendFile.close();
            emitStatus(LanguageManager::tr("文件发送完成"));
            // The receiver asks for the next header with 'C' once it is
            // ready; a header sent before that is thrown away by some
            // receivers, costing a 10-second resend per file. The 'C' often
            // comes in the same read as this ACK: it stays in the buffer.
            m_awaitingHeaderRequest = true;
            m_idleTicks = 0;
            return;
        case BatchEndSent:
            finishTransfer(QString());
            return;
        default:
            return;
        }
    case NAK:
        resendOrAbort(LanguageManager::tr("重试超过 10 次，对端无响应"));
        return;
    case POLL_CRC:
        if (m_state == HeaderSent && m_headerAcked)
            startDataPhase();
        else if (m_state == EotSent && m_awaitingHeaderRequest)
            sendNextHeader();
        else if ((m_state == HeaderSent || m_state == BatchEndSent) && outAWhile)
            // Asked for again: the receiver did not take the block 0 that
            // went out (it came before the receiver was ready for it).
            resendOrAbort(m_state == HeaderSent ? LanguageManager::tr("文件头无响应") : LanguageManager::tr("对端持续无响应，中止"));
        return;
    default:
        return;
    }
}

void XmodemTransfer::onTick()
{
    const Step step(this);
    if (m_state == Idle)
        return;
    ++m_idleTicks;
    if (m_cancelHeld) {
        // The session closed meanwhile: no receiver is there to tell.
        if (backlog() < 0)
            finishTransfer(LanguageManager::tr("传输已被用户取消"));
        else if (m_idleTicks >= kTellAgainTicks)
            tellReceiver();
        return;
    }
    switch (m_state) {
    case WaitReceiver:
        if (m_idleTicks > kHandshakeSeconds)
            abortTransfer(LanguageManager::tr("60 秒内未收到对端握手（NAK/C），放弃"));
        return;
    case HeaderSent:
    case SendingData:
    case EotSent:
    case BatchEndSent: {
        const bool header = m_state == HeaderSent;
        const QString text = header ? LanguageManager::tr("文件头无响应") : LanguageManager::tr("对端持续无响应，中止");
        if (m_idleTicks < (header ? kHeaderResendSeconds : kDataResendSeconds))
            return;
        m_idleTicks = 0;
        // Silence is waited out up to the limit. A receiver that lost what
        // we sent NAKs by itself; one that was stopped reads it when it goes
        // on, and a copy of a data block would reach it as a duplicate,
        // after which rx drops what follows and loses step. Only a header or
        // the batch's end goes once more, a receiver alive and in step
        // answers it.
        const bool offer = header || m_state == BatchEndSent || (m_state == EotSent && m_awaitingHeaderRequest);
        if (!offer || !mayResend()) {
            if (++m_retries > kRetryLimit)
                abortTransfer(text);
            return;
        }
        if (m_state == EotSent && m_awaitingHeaderRequest)
            sendNextHeader(); // no request came: offer the next header anyway
        else
            resendOrAbort(text);
        return;
    }
    case Polling: {
        const bool crcPoll = m_useCrc && (m_idleTicks % 2 == 1);
        poll(crcPoll ? POLL_CRC : NAK);
        if (m_idleTicks >= kPollLimit)
            abortTransfer(LanguageManager::tr("30 次轮询无响应，对端未开始发送"));
        return;
    }
    case Receiving:
        // A sender interrupted in the middle of a block sends its CANs
        // behind the part already out, where they look like block data;
        // a line that has gone quiet on them is that sender giving up.
        if (m_idleTicks >= 2 && m_rxBuffer.contains(QByteArray(2, CAN))) {
            peerCancelled();
            return;
        }
        if (m_idleTicks >= 2 && !m_checkSettled && !m_rxBuffer.isEmpty()) {
            m_settleShortBlock = true;
            processReceiver();
            m_settleShortBlock = false;
            if (m_state != Receiving || m_rxBuffer.isEmpty())
                return;
        }
        if (m_idleTicks < kDataResendSeconds)
            return;
        // Silence is waited out up to the limit, with no NAK: a sender
        // stopped for a while would read it when it goes on and send its
        // block again, and then take the ACK of that copy for the next
        // block's, a step ahead of us to its end. A sender whose block was
        // lost sends it again at its own time-out, having cleared its line.
        m_idleTicks = 0;
        if (++m_retries > kRetryLimit)
            abortTransfer(LanguageManager::tr("接收超时，中止"));
        return;
    default:
        return;
    }
}
