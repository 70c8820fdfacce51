#include "transfer/kermittransfer.h"

#include "core/languagemanager.h"
#include "transfer/kermitpacket.h"

#include <QRegularExpression>

#include <algorithm>

using namespace kermit;

namespace {
// Past a packet's own end of line, left before what the host says after it.
int pastLineEnds(const QByteArray &bytes, int at)
{
    while (at < bytes.size() && (bytes[at] == '\r' || bytes[at] == '\n'))
        ++at;
    return at;
}

// Every byte of a packet after its mark is printable (controls in the data
// are prefixed): a control in what follows a mark shows that it was text.
bool controlAfter(const QByteArray &bytes, int at)
{
    return std::any_of(bytes.cbegin() + at, bytes.cend(), [](char c) { return uchar(c) < 32 || uchar(c) == 127; });
}

QByteArray withoutLeadingLineEnds(const QByteArray &bytes)
{
    return bytes.mid(pastLineEnds(bytes, 0));
}

// The shell's own words: how the job it ran ended ("Killed", "zsh: terminated
// gkermit", "[1]+  Stopped"), or its complaint about a line it could not run.
// A host's other lines (a `wall` message, a background job) say nothing of
// the peer.
bool shellSpeaks(const QByteArray &words)
{
    static const QRegularExpression said(
        QStringLiteral(R"((^|[\r\n])(\[\d+\][+-]?\s+|[^\s:]+:\s+(line )?(\d+:\s+)?|\S*[$#%>]\s+)?)"
                       R"((killed|terminated|hangup|quit|aborted|stopped|segmentation fault|bus error|illegal instruction)\b)"
                       R"(|command not found|: not found|no such file or directory|syntax error)"),
        QRegularExpression::CaseInsensitiveOption);
    return said.match(QString::fromUtf8(words)).hasMatch();
}

constexpr int kBadPacketLimit = 30;
constexpr int kClosingTicks = 2; // after our ACK of B
constexpr int kHostWordsKept = 1024; // of what came between packets

struct Timeout {
    int period;  // ticks of silence
    int limit;   // expiries in a row that are still answered
    QString (*endText)(); // in the language shown when the run ends
};

// AwaitSendInit: about two minutes for the user to start the peer.
constexpr Timeout kInitTimeout{5, 24, [] { return LanguageManager::tr("2 分钟内对端未开始发送，放弃"); }};
constexpr Timeout kReceiveTimeout{10, 12, [] { return LanguageManager::tr("接收超时，中止"); }};
constexpr Timeout kReplyTimeout{8, 10, [] { return LanguageManager::tr("对端持续无响应，中止"); }};

} // namespace

KermitTransfer::KermitTransfer(QObject *parent)
    : InbandTransfer(parent)
{
}

KermitTransfer::~KermitTransfer()
{
    cancelAtDestruction();
}

// ---------------------------------------------------------------------------
// Start, feed, cancel, finish

// What every transfer starts from, whatever the last one left behind: bytes
// of an earlier session and a peer's end-of-line must not leak into this one.
void KermitTransfer::resetLink()
{
    m_rxBuffer.clear();
    m_sendSeq = -1;
    m_lastSeq = -1;
    m_repeatHeld = false;
    m_answerWithheld = false;
    m_withheld.clear();
    m_quietTicks = 0;
    m_peerTimedOut = false;
    m_shellSpoke = false;
    m_peerMaxLen = kMaxPacketLength;
    m_eolChar = kDefaultEol;
    m_ctlPrefix = kDefaultPrefix;
    m_checkType = 1;
    m_retries = 0;
    m_naks = 0;
    m_outOfStep = 0;
    m_waitTicks = 0;
    m_lastPacket.clear();
    m_notPackets.clear();
}

void KermitTransfer::startSend(TransferSendFn sendFn, const QString &sessionId, const QStringList &files, int)
{
    const Step step(this);
    beginRun(std::move(sendFn), sessionId, AwaitReply, true, files);
    resetLink();
    m_filesSent = 0;
    if (files.isEmpty()) {
        finishTransfer(LanguageManager::tr("未选择要发送的文件"));
        return;
    }
    if (!emitStatus(LanguageManager::tr("Kermit 发送：请在对端运行 kermit 接收（kermit -r）...")))
        return;
    m_phase = SentInit;
    sendPacket('S', sendInitData(1));
}

void KermitTransfer::startReceive(TransferSendFn sendFn, const QString &sessionId, const QString &directory, int)
{
    const Step step(this);
    beginRun(std::move(sendFn), sessionId, AwaitSendInit, false, {}, directory);
    resetLink();
    m_phase = NoPhase;
    m_receivedBytes = 0;
    if (!emitStatus(LanguageManager::tr("Kermit 接收 -> 目录 %1，请在对端运行 kermit -s ...").arg(directory)))
        return;
    sendNak(0);
}

void KermitTransfer::feed(const QByteArray &data)
{
    const Step step(this);
    if (m_state == Idle)
        return;
    if (m_state == Leaving) { // the shell's, for the screen
        m_unconsumed += data;
        return;
    }
    m_rxBuffer.append(data);
    if (m_state == Closing)
        return feedClosing();
    scanPackets();
}

// A sender whose time-out ran out just before our ACK of its B came sends B
// again, reads our ACK and exits; that second B, once we have ended, would
// land on the screen. It is taken here and not answered: the sender has
// left by the time an answer came, which would then be typed into the
// shell. Everything else is the host's: its first word ends the run, and
// all of it goes to the screen. Only the start of a packet is held back,
// never more than one packet's length, and only until the closing time is
// up; what arrives never extends that time.
void KermitTransfer::feedClosing()
{
    QByteArray host;
    int from = pastLineEnds(m_rxBuffer, 0);
    while (from < m_rxBuffer.size()) {
        const int mark = int(m_rxBuffer.indexOf(kMark, from));
        if (mark < 0) {
            host += m_rxBuffer.mid(from);
            from = int(m_rxBuffer.size());
            break;
        }
        host += m_rxBuffer.mid(from, mark - from);
        from = mark;
        int pos = mark;
        Packet packet;
        // A length no packet has: the mark is text, not the start of a packet.
        const bool impossible = mark + 1 < m_rxBuffer.size() && unchar(m_rxBuffer[mark + 1]) < 3;
        const ScanResult r = impossible ? ScanResult::Bad : scanNext(m_rxBuffer, &pos, m_checkType, &packet);
        if (r == ScanResult::NeedMore && !controlAfter(m_rxBuffer, mark + 1))
            break;
        if (r != ScanResult::Packet) {
            host += kMark;
            ++from;
            continue;
        }
        from = pastLineEnds(m_rxBuffer, pos);
    }
    m_rxBuffer.remove(0, from);
    if (host.isEmpty())
        return;
    endClosing(host + std::exchange(m_rxBuffer, {}));
}

void KermitTransfer::endClosing(const QByteArray &hostWords)
{
    m_unconsumed = hostWords;
    finishTransfer(QString());
}

void KermitTransfer::cancelTransfer()
{
    if (m_state == Idle)
        return;
    // gkermit empties its input as it takes each packet: an error packet
    // that arrives before it has read our last one goes with it, and the
    // peer waits on for its whole patience. Ours answers the peer's next
    // packet instead, when the peer has just read and waits for us. A
    // second cancel shortens the waits, and the peer is still told.
    if (m_state == Cancelling || m_state == Leaving) {
        m_cancelUrgent = true;
        return;
    }
    if (peerStarted() && (m_state == AwaitReply || m_state == ReceivePackets)) {
        cancelLater();
        m_state = Cancelling;
        m_waitTicks = 0;
        m_cancelAnswer = -1;
        m_cancelUrgent = false;
        m_toldBlind = false;
        m_tickTimer.start(); // nothing of ours goes before a whole second has shown who is there
        return;
    }
    abortTransfer(LanguageManager::tr("Kermit 传输已被用户取消"), QStringLiteral("Cancelled by user"));
}

// The peer's packet, read while we wait to tell it that we cancelled.
void KermitTransfer::answerWithCancel(int seq, char type)
{
    if (type == 'E') { // it gave up too
        finishAfterPacket(LanguageManager::tr("Kermit 传输已被用户取消"));
        return;
    }
    // A receiver's ACK names the packet it has, its NAK the one it wants;
    // a sender waits for the answer to the packet it sent. Anything else is
    // our own packet, echoed by a shell.
    const bool peers = m_isSender ? (type == 'Y' || type == 'N') : (type != 'Y' && type != 'N');
    if (!peers)
        return;
    heard();
    // The answer waits a whole second: a peer killed as it spoke leaves its
    // shell to say so meanwhile, and our packet would be typed into it. A
    // live peer waits its own time-out for us, far longer.
    m_cancelAnswer = m_isSender && type == 'Y' ? (seq + 1) & 63 : seq;
    m_waitTicks = 0;
    m_tickTimer.start();
}

// No turn came: the peer waits on the packet of ours that the stop dropped,
// or has stopped. Each number it may wait on gets an error packet, in one
// write: one under another number only makes it repeat itself, and once it
// leaves on the right one, it empties its input with the rest.
void KermitTransfer::tellBlind()
{
    m_toldBlind = true;
    const int last = m_isSender ? m_sendSeq & 63 : m_lastSeq;
    if (last < 0)
        return;
    const int next = (last + 1) & 63;
    // The likelier first: the one the stop dropped, else the one after ours.
    const bool dropped = droppedAtEnding();
    QByteArray both;
    for (const int seq : {dropped ? last : next, dropped ? next : last})
        both += buildPacket('E', seq, encodeTextWithin(QStringLiteral("Cancelled by user"), m_ctlPrefix, dataRoom()),
                            m_checkType, m_eolChar);
    send(both);
}

void KermitTransfer::abortTransfer(const QString &message, const QString &peerText)
{
    beginEnding(); // what is still queued goes: the error packet is the last word
    // Our last packet, or our answer to the sender's, may have been dropped
    // with it: the peer then still waits on that number, and takes no error
    // packet under another (it repeats its last packet until its retries run
    // out, into the shell we hand back).
    const int waitedOn = droppedAtEnding() ? (m_isSender ? m_sendSeq : m_lastSeq) : -1;
    if (peerToBeTold())
        sendError(peerText.isEmpty() ? message : peerText, waitedOn);
    finishTransfer(message);
}

void KermitTransfer::finishAfterPacket(const QString &error)
{
    if (m_packetEnd >= 0)
        m_unconsumed = withoutLeadingLineEnds(m_rxBuffer.mid(m_packetEnd));
    finishTransfer(error);
}

void KermitTransfer::finishTransfer(QString error)
{
    m_sendBuffer.clear();
    // Files are committed at their end-of-file packet; one still pending here
    // either failed (and goes) or never got its end (and is kept, unsaved).
    error = settleFiles(error, -1, false);
    QString text = error;
    if (error.isEmpty()) {
        const int files = m_isSender ? m_filesSent : m_recvFile.committed();
        text = (m_isSender ? LanguageManager::tr("Kermit 发送完成（%1 个文件）", files)
                           : LanguageManager::tr("Kermit 接收完成（%1 个文件）", files))
                   .arg(files);
    }
    announceEnd(text, error);
}

// ---------------------------------------------------------------------------
// Packets out

int KermitTransfer::dataRoom() const
{
    return m_peerMaxLen - checkLength(m_checkType) - 4;
}

void KermitTransfer::keepAndSend(const QByteArray &packet)
{
    m_lastPacket = packet;
    send(packet);
    m_state = AwaitReply;
    m_retries = 0;
    m_naks = 0;
    m_outOfStep = 0;
    m_waitTicks = 0;
}

void KermitTransfer::sendPacket(char type, const QByteArray &data)
{
    ++m_sendSeq;
    keepAndSend(buildPacket(type, m_sendSeq, data, m_checkType, m_eolChar));
}

void KermitTransfer::sendAck(int seq, const QByteArray &data)
{
    send(buildPacket('Y', seq, data, m_checkType, m_eolChar));
}

// A NAK names the packet this side wants next, as peers expect.
void KermitTransfer::sendNak(int seq)
{
    send(buildPacket('N', seq, QByteArray(), m_checkType, m_eolChar));
}

void KermitTransfer::sendError(const QString &text, int seq)
{
    if (seq < 0)
        seq = m_isSender ? m_sendSeq + 1 : expectedSeq();
    // The one-character length bounds every packet: a long text is cut.
    send(buildPacket('E', seq, encodeTextWithin(text, m_ctlPrefix, dataRoom()), m_checkType, m_eolChar));
}

// ---------------------------------------------------------------------------
// Packets in

void KermitTransfer::scanPackets()
{
    const quint64 generation = m_generation;
    int pos = 0;
    Packet packet;
    // A bad packet is answered only once the whole read is seen: when the
    // shell's words follow it, the peer has gone, and our answer would be
    // typed into the shell.
    bool answerOwed = false;
    // A busy machine reads the peer's last packet and the words of the
    // shell that took its place at once: the packets are still taken, but
    // go unanswered.
    const bool wordsBehind = wordsBehindPackets();
    while (sameRun(generation)) {
        const int from = pos;
        const ScanResult r = scanNext(m_rxBuffer, &pos, m_checkType, &packet);
        const int packetSize = r == ScanResult::Packet ? 4 + int(packet.data.size()) + checkLength(packet.checkType) : 0;
        m_notPackets += m_rxBuffer.mid(from, pos - packetSize - from);
        if (r == ScanResult::NeedMore)
            break;
        if (r == ScanResult::Bad) {
            // Waiting for S, the line is a shell's: its complaint about our
            // NAK (dash: "\x01#: not found") holds a mark and a length, and
            // a NAK of it would be another complaint, and so on. Our packet
            // typed into a shell once the peer has left comes back so too.
            if (m_state == AwaitSendInit)
                continue;
            if (++m_retries > kBadPacketLimit) {
                abortTransfer(LanguageManager::tr("坏包重试过多，中止"));
                break;
            }
            answerOwed = answerOwed || (peerStarted() && mayResend());
            continue;
        }
        if (std::exchange(answerOwed, false))
            answerBadPacket();
        noticeHostWords(false); // before the packet that may show the peer alive after them
        m_retries = 0;
        m_packetEnd = pos;
        m_answersHeld = wordsBehind;
        handlePacket(packet.seq, packet.type, packet.data);
        m_answersHeld = false;
        m_packetEnd = -1;
        if (m_state == Closing && sameRun(generation)) {
            m_rxBuffer.remove(0, pos);
            return feedClosing();
        }
        if (m_state == Idle && generation == m_generation) {
            m_rxBuffer.clear();
            return;
        }
    }
    if (generation != m_generation)
        return;
    m_rxBuffer.remove(0, pos);
    noticeHostWords(true);
    if (answerOwed && sameRun(generation))
        answerBadPacket();
}

bool KermitTransfer::wordsBehindPackets() const
{
    if (!peerStarted() || (m_state != AwaitReply && m_state != ReceivePackets))
        return false;
    QByteArray between = m_notPackets;
    int pos = 0;
    Packet packet;
    for (;;) {
        const int from = pos;
        const ScanResult r = scanNext(m_rxBuffer, &pos, m_checkType, &packet);
        if (r == ScanResult::Packet)
            between.clear();
        else
            between += m_rxBuffer.mid(from, pos - from);
        if (r == ScanResult::NeedMore)
            break;
    }
    const QByteArray rest = m_rxBuffer.mid(pos);
    return looksLikeHostWords(between + (rest.size() > 1 && controlAfter(rest, 1) ? rest : QByteArray()));
}

void KermitTransfer::answerBadPacket()
{
    if (m_state == Cancelling) // only the peer's next good packet is answered
        return;
    if (m_isSender)
        send(m_lastPacket);
    else
        sendNak(expectedSeq());
}

// Once the peer is there, nothing but its packets comes between them (the
// peer's words come before its first packet and after its last). A line of
// text there is the host's: the shell back after the peer was killed
// ("Terminated", a prompt behind a command's output, a complaint about what
// of ours it read), or a line amid a live run (a `wall` message); the frame
// tells which by what follows. A packet begun is text too once a line end
// follows its mark: a packet holds none before its own end.
void KermitTransfer::noticeHostWords(bool readEnded)
{
    if (m_state != AwaitReply && m_state != ReceivePackets && m_state != Cancelling)
        return;
    if (!peerStarted()) {
        m_notPackets.clear();
        return;
    }
    const bool pending = readEnded && m_rxBuffer.size() > 1 && controlAfter(m_rxBuffer, 1);
    if (!looksLikeHostWords(m_notPackets + (pending ? m_rxBuffer : QByteArray()))) {
        m_notPackets = m_notPackets.right(kHostWordsKept);
        return;
    }
    // Nothing more of ours follows into what may be a shell; a live peer
    // resends what we dropped.
    if (!settling()) {
        if (backlog() > 0)
            m_answerWithheld = true;
        dropQueued();
    }
    if (!settling())
        m_wordsTicked = false;
    QByteArray words = hostWordsIn(std::exchange(m_notPackets, {}) + (pending ? std::exchange(m_rxBuffer, {}) : QByteArray()));
    // Behind a line, up to a lone carriage return: the rest of the packet
    // it cut into, which ends so (also in a read of its own).
    if (const qsizetype lineEnd = words.lastIndexOf('\n'); (lineEnd >= 0 || settling()) && words.endsWith('\r')
                                                          && lineEnd < words.size() - 1)
        words.truncate(lineEnd + 1);
    if (!words.isEmpty())
        m_wordsLineEnded = words.endsWith('\n') || words.endsWith('\r');
    m_shellSpoke = m_shellSpoke || shellSpeaks(words);
    hostWordsArrived(words);
}

void KermitTransfer::shellTookOver(const QByteArray &words)
{
    // Whole lines, and neither a prompt nor the shell's own words behind
    // them: a host that talks (a background job, a `wall` message). The
    // peer lives, and waits on us: for the answer the lines held back, or
    // for one to the packet they cut into, which never reached us. gkermit
    // repeats itself at its time-out once a run only, and after that would
    // wait for ever.
    if (!shellShown() && (m_state == AwaitReply || m_state == ReceivePackets || m_state == Cancelling)) {
        emit hostTextShown(words);
        m_notPackets.clear(); // the rest of the packet they cut into
        askAgain();
        return;
    }
    // The peer has gone and its shell is back: in a send whose every file
    // the receiver took, only the batch's end went unanswered.
    if (m_isSender && m_phase == SentBreak && m_state == AwaitReply) {
        m_unconsumed = words + wordsAfter(std::exchange(m_notPackets, {}) + std::exchange(m_rxBuffer, {}));
        beginEnding();
        finishTransfer(QString());
        return;
    }
    m_unconsumed = words + wordsAfter(std::exchange(m_notPackets, {}) + std::exchange(m_rxBuffer, {}));
    beginEnding();
    // The packet of ours that was on its way when the peer died stands in
    // the shell's input, unfinished or run as a command: an answer's check
    // characters can open a quote that swallows the user's next command.
    // Ctrl+C drops it, as the user would, and at a bare prompt only draws a
    // fresh one. It goes now, a tick after the shell's words, when the shell
    // has read what of ours there was: the signal it raises does not wait
    // its turn in the input, and bash, caught between a line and its
    // continuation prompt, would let it pass. A peer that left on our error
    // packet read it all, and its shell is clean.
    const bool cancelling = m_state == Cancelling;
    const QString text = cancelling ? LanguageManager::tr("Kermit 传输已被用户取消") : peerGoneText();
    // Nor is a Ctrl+C owed where our answer to the peer's last packet never
    // went: the peer had read all of ours, and the shell's line is clean.
    const bool lineClean = m_answerWithheld && !m_withheld.isEmpty();
    if ((cancelling && m_toldBlind) || lineClean) {
        finishTransfer(text);
        return;
    }
    // A cancel within the tick after the words would send it before the
    // shell has read our bytes (it may still be drawing the prompt): the
    // next tick does.
    if (!m_wordsTicked) {
        m_state = Leaving;
        m_leavingText = text;
        m_tickTimer.start();
        return;
    }
    send(QByteArrayLiteral("\x03"));
    finishTransfer(text);
}

void KermitTransfer::askAgain()
{
    m_answerWithheld = false;
    const QByteArray answer = std::exchange(m_withheld, {});
    if (!answer.isEmpty()) {
        send(answer);
    } else if (m_state == Cancelling) {
        return; // its own ticks tell the peer
    } else if (m_isSender) {
        (void)mayResend(); // this is the one resend into what may be silence
        send(m_lastPacket);
    } else {
        sendNak(expectedSeq()); // the next packet, which takes the last one as acknowledged
    }
}

// The peer has gone: nothing more goes out, not even an error packet, which
// would only be typed into the shell that took its place.
void KermitTransfer::peerLeft(const QString &text)
{
    beginEnding();
    finishTransfer(text);
}

// Nothing of ours goes into what may be a shell by now: the peer's answer
// is told after a quiet second, a peer silent since the stop is told once
// the line was quiet as long, and the run ends a little after.
void KermitTransfer::onCancellingTick()
{
    ++m_waitTicks;
    const QString cancelled = LanguageManager::tr("Kermit 传输已被用户取消");
    if (m_cancelAnswer >= 0) {
        sendError(QStringLiteral("Cancelled by user"), m_cancelAnswer);
        finishTransfer(cancelled);
        return;
    }
    const int patience = m_cancelUrgent ? 1 : 2;
    if (!m_toldBlind && m_waitTicks >= patience) {
        tellBlind();
        m_waitTicks = 0;
        return;
    }
    // A packet of ours the stop cut short takes our error packet in as its
    // rest: the peer then repeats itself at its own time-out, and is
    // answered, unless the user asked twice.
    if (m_waitTicks < (droppedAtEnding() && !m_cancelUrgent ? kTimeAsked : patience))
        return;
    // What came meanwhile (the prompt of a shell whose peer left on our
    // word) is the screen's.
    m_unconsumed = wordsAfter(std::exchange(m_notPackets, {}) + std::exchange(m_rxBuffer, {}));
    finishTransfer(cancelled);
}

// A peer that owes us an answer gives it well within a tick. One whose
// answer the words held back repeats itself at its own time-out, if it has
// one left: until then its silence proves nothing, unless a prompt stands
// behind the words.
int KermitTransfer::settleTicks() const
{
    m_wordsTicked = true;
    ++m_quietTicks;
    // The shell's own words or its prompt: a peer that waits on us for an
    // answer they held back would still have spoken by the second tick.
    // Lines alone may also have cut into the peer's packet, which never
    // came: the peer then waits on us until its time-out as well.
    if (shellShown() || (m_state == Cancelling && !m_answerWithheld))
        return m_answerWithheld ? 2 : 1;
    return m_peerTimedOut ? 2 : kTimeAsked + 1;
}

// The host's last bytes since its words end without a line end. What is
// left of a packet that the words cut into ends with the packet's own; a
// packet begun is none of the host's.
bool KermitTransfer::promptBehindWords() const
{
    const QByteArray after = m_notPackets + (m_rxBuffer.startsWith(kMark) ? QByteArray() : m_rxBuffer);
    if (after.isEmpty())
        return !m_wordsLineEnded;
    return !after.endsWith('\r') && !after.endsWith('\n');
}

void KermitTransfer::heard()
{
    // Only its time-out makes a peer speak while our answer is held, or
    // after it was left alone that long.
    if (m_answerWithheld || m_quietTicks >= kTimeAsked - 2)
        m_peerTimedOut = true;
    m_quietTicks = 0;
    m_answerWithheld = false;
    m_withheld.clear();
    m_shellSpoke = false;
    heardPeer();
    m_notPackets.clear();
}

void KermitTransfer::handlePacket(int seq, char type, const QByteArray &data)
{
    if (m_state == Cancelling)
        answerWithCancel(seq, type);
    else if (m_state == AwaitReply)
        handleSenderPacket(seq, type, data);
    else
        handleReceiverPacket(seq, type, data);
}

void KermitTransfer::onTick()
{
    const Step step(this);
    ++m_quietTicks;
    const Timeout *t = nullptr;
    switch (m_state) {
    case Closing:
        // A packet begun and never finished in that time was the host's.
        if (++m_waitTicks >= kClosingTicks)
            endClosing(std::exchange(m_rxBuffer, {}));
        return;
    case Cancelling:
        onCancellingTick();
        return;
    case Leaving:
        send(QByteArrayLiteral("\x03"));
        finishTransfer(m_leavingText);
        return;
    case AwaitSendInit: t = &kInitTimeout; break;
    case ReceivePackets: t = &kReceiveTimeout; break;
    case AwaitReply: t = &kReplyTimeout; break;
    default: return;
    }
    if (++m_waitTicks < t->period)
        return;
    if (++m_retries > t->limit) {
        abortTransfer(t->endText());
        return;
    }
    m_waitTicks = 0;
    // Until the peer has spoken the line is a shell's, which would run each
    // packet as a command and keep it in its history. A sender sends S by
    // itself, and one already waiting got the NAK of our start; a receiver
    // started late NAKs by itself, and its NAK is answered at once.
    if (!peerStarted())
        return;
    // A peer alive and in step answers a resend. One stopped for a while
    // reads it when it goes on: it is waited for up to the limit, a receiver
    // with a NAK now and then, a sender sending nothing more of the file.
    const bool resend = mayResend();
    if (m_state == ReceivePackets)
        sendNak(expectedSeq());
    else if (m_state == AwaitReply && resend)
        send(m_lastPacket);
}
