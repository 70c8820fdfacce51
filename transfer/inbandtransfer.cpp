#include "transfer/inbandtransfer.h"

#include "core/languagemanager.h"

#include <algorithm>

InbandTransfer::InbandTransfer(QObject *parent)
    : QObject(parent)
    , m_tickTimer(this)
{
}

InbandTransfer::Clock::Clock(InbandTransfer *owner)
{
    m_timer.setInterval(1000);
    QObject::connect(&m_timer, &QTimer::timeout, owner, &InbandTransfer::tick);
}

void InbandTransfer::Clock::start()
{
    if (!m_manual)
        m_timer.start();
}

void InbandTransfer::Clock::setManual(bool manual)
{
    m_manual = manual;
    if (manual)
        m_timer.stop();
}

void InbandTransfer::tick()
{
    if (!isActive() || m_hostWords.isEmpty()) {
        onTick();
        return;
    }
    // The words came at least a tick ago (the clock was restarted by them):
    // a live peer says something well within that, even a slow link's,
    // unless it waits on an answer of ours that the words held back.
    if (++m_settledTicks < settleTicks())
        return;
    const Step step(this);
    shellTookOver(std::exchange(m_hostWords, {}));
}

void InbandTransfer::hostWordsArrived(const QByteArray &words)
{
    if (!isActive() || words.isEmpty())
        return;
    // Bounded: a host that keeps talking cannot grow it. What goes past the
    // bound is drawn now, as it would be either way the words turn out (a
    // shell's "Killed" and prompt, ahead of its echo of what our dead
    // receiver left it): nothing of the host's is dropped.
    constexpr qsizetype kKept = 4096;
    if (m_hostWords.isEmpty()) {
        m_tickTimer.start(); // the settling time: a whole tick from the first line
        m_settledTicks = 0;
    }
    m_hostWords += words;
    if (m_hostWords.size() > kKept) {
        const QByteArray shown = m_hostWords.left(m_hostWords.size() - kKept);
        m_hostWords.remove(0, shown.size());
        emit hostTextShown(shown);
    }
}

void InbandTransfer::shellTookOver(const QByteArray &words)
{
    m_unconsumed = words;
    beginEnding();
    const QString error = settleFiles(peerGoneText(), -1, false);
    announceEnd(error, error);
}

void InbandTransfer::setManualClock(bool manual)
{
    m_tickTimer.setManual(manual);
}

void InbandTransfer::cancel()
{
    if (!isActive())
        return;
    if (m_stepDepth > 0) {
        m_cancelPending = true;
        return;
    }
    // Host words not yet followed by the peer: the shell is most likely
    // back, and would take the protocol's cancel for a command.
    if (!m_hostWords.isEmpty() && shellShown()) {
        const Step step(this);
        shellTookOver(std::exchange(m_hostWords, {}));
        return;
    }
    if (!m_hostWords.isEmpty()) {
        emit hostTextShown(std::exchange(m_hostWords, {}));
        if (!isActive())
            return;
    }
    m_cancelling = true;
    beginEnding();
    cancelTransfer();
    m_cancelling = false;
}

void InbandTransfer::setHostLineOpen(bool open)
{
    if (!isActive() || m_peerStarted || open == m_hostLineOpen)
        return;
    const Step step(this);
    if (open) {
        hostLineOpening();
        m_hostLineOpen = true;
        return;
    }
    m_hostLineOpen = false;
    askPeer();
}

void InbandTransfer::announceEnd(const QString &statusText, const QString &error)
{
    const Outcome outcome = error.isEmpty() ? Succeeded : (m_cancelling || m_cancelLater ? Cancelled : Failed);
    if (outcome != Succeeded)
        beginEnding();
    // Words still settling when the run ended otherwise are the host's all
    // the same.
    if (!m_hostWords.isEmpty())
        m_unconsumed.prepend(std::exchange(m_hostWords, {}));
    // The transfer is over for whoever hears of its end: a cancel from a
    // listener is then a no-op, and a listener may start the next transfer
    // (the engine resets its own state only while no new one has begun).
    m_state = 0;
    m_cancelling = false;
    m_cancelLater = false;
    m_cancelPending = false;
    emit statusMessage(m_sessionId, statusText);
    emit resultReady(outcome, statusText);
    emit transferFinished(m_sessionId, error.isEmpty(), error);
}

void InbandTransfer::beginRun(TransferSendFn sendFn, const QString &sessionId, int state, bool sending,
                              const QStringList &files, const QString &target)
{
    ++m_generation;
    m_sendFn = std::move(sendFn);
    m_sessionId = sessionId;
    m_state = state;
    m_isSender = sending;
    m_files = files;
    m_fileIndex = 0;
    m_filesUnopenable = 0;
    m_target = target;
    m_lastPercent = -1;
    m_peerStarted = false;
    m_hostLineOpen = false;
    m_resendAllowed = false;
    m_hostWords.clear();
    m_ending = false;
    m_droppedAtEnding = false;
    m_cancelLater = false;
    m_unconsumed.clear();
    if (m_sendFile.isOpen())
        m_sendFile.close();
    m_recvFile.reset();
    m_tickTimer.start();
}

QString InbandTransfer::settleFiles(QString error, qint64 expectedSize, bool commitPending)
{
    m_tickTimer.stop();
    if (m_sendFile.isOpen())
        m_sendFile.close();
    return m_recvFile.finish(std::move(error), expectedSize, commitPending);
}

bool InbandTransfer::openNextSendFile()
{
    while (m_fileIndex < m_files.size()) {
        if (m_sendFile.isOpen())
            m_sendFile.close();
        m_sendFile.setFileName(m_files.at(m_fileIndex));
        if (m_sendFile.open(QIODevice::ReadOnly))
            return true;
        ++m_filesUnopenable;
        if (!emitStatus(LanguageManager::tr("无法打开 %1，跳过").arg(m_files.at(m_fileIndex++))))
            return false;
    }
    return true;
}

bool InbandTransfer::amountToTell(qint64 done)
{
    const qint64 kib = done / 1024, last = qMax(m_lastPercent, 0);
    const qint64 step = last < 64 ? 4 : last < 1024 ? 64 : 1024;
    if (kib < (last / step + 1) * step)
        return false;
    m_lastPercent = int(kib - kib % step);
    return true;
}

bool InbandTransfer::emitStatus(const QString &text)
{
    const quint64 generation = m_generation;
    emit statusMessage(m_sessionId, text);
    return sameRun(generation);
}

QByteArray InbandTransfer::hostPartAtEnd(const QByteArray &read)
{
    // The peers end a cancel with CANs and backspaces and go straight on
    // with their farewell, so a backspace counts as the protocol's too. A
    // whole UTF-8 character is the host's text (a prompt may hold one).
    for (qsizetype i = read.size() - 1; i >= 0; --i) {
        const uchar u = uchar(read.at(i));
        if (u >= 0x80 && u < 0xc0) {
            qsizetype lead = i;
            while (lead > 0 && i - lead < 3 && (uchar(read.at(lead)) & 0xc0) == 0x80)
                --lead;
            // Shaped as one is not enough: a surrogate or a code point past
            // Unicode's would be drawn as "�".
            if (QByteArrayView(read).sliced(lead, i - lead + 1).isValidUtf8()) {
                i = lead;
                continue;
            }
        }
        if ((u < 0x20 && !QByteArrayView("\r\n\a\x1b").contains(char(u))) || u >= 0x7f)
            return read.mid(i + 1);
    }
    return read;
}

QByteArray InbandTransfer::pastCancel(const QByteArray &read)
{
    // The CANs and backspaces are no text themselves.
    return hostPartAtEnd(read);
}

void InbandTransfer::heardPeer()
{
    m_resendAllowed = true;
    markPeerStarted();
    if (!m_hostWords.isEmpty())
        emit hostTextShown(std::exchange(m_hostWords, {}));
}

void InbandTransfer::beginEnding()
{
    if (std::exchange(m_ending, true))
        return;
    m_droppedAtEnding = backlog() > 0;
    if (m_discardFn)
        m_discardFn();
}

QString InbandTransfer::peerGoneText()
{
    return LanguageManager::tr("对端已退出，中止");
}

bool InbandTransfer::looksLikeHostWords(QByteArrayView read)
{
    return hostWordsAt(read) >= 0;
}

qsizetype InbandTransfer::hostWordsAt(QByteArrayView read)
{
    // A line of the host's own: ended by a line end, made of printable text
    // (UTF-8 included, colour sequences and a tab allowed) with a letter in
    // it. A peer killed in the middle of a frame leaves the frame's start in
    // front of the words on their line: what follows the line's last
    // control byte counts. Escaped data holds no bare line end, so the only
    // lines of a protocol are a ZMODEM hex header's ("**" ZDLE, its kind and
    // 14 hex digits) and a packet after its SOH mark, both passed over (a
    // packet cut before its mark can still pass for words: an engine with
    // printable packets looks for their mark in the read itself).
    // A byte above ASCII that is no part of a whole UTF-8 character is the
    // frame's too: the words begin after it.
    const QList<bool> broken = brokenUtf8(read);
    qsizetype lineStart = 0;
    for (qsizetype at = 0; at < read.size(); ++at) {
        const char c = read.at(at);
        if (c != '\r' && c != '\n')
            continue;
        qsizetype from = lineStart;
        char framing = 0;
        for (qsizetype i = lineStart; i < at; ++i) {
            const uchar u = uchar(read.at(i));
            if ((u < 0x20 && !QByteArrayView("\t\b\a\x1b").contains(char(u))) || u == 0x7f) {
                framing = char(u);
                from = i + 1;
            } else if (broken.at(i)) {
                from = i + 1;
            }
        }
        lineStart = at + 1;
        const QByteArrayView words = read.sliced(from, at - from);
        const auto isHex = [](char h) { return QByteArrayView("0123456789abcdefABCDEF").contains(h); };
        // Also a hex header's digits alone, its start in the read before.
        const qsizetype kind = !words.isEmpty() && words.at(0) >= 'A' && words.at(0) <= 'C' ? 1 : 0;
        const bool hexHeader = words.size() <= 15 && std::all_of(words.begin() + kind, words.end(), isHex);
        const bool letters = std::any_of(words.begin(), words.end(), [](char w) { return uchar(w) < 0x80 && QChar::isLetter(uchar(w)); });
        // A ZMODEM subpacket's end (ZDLE, its kind letter, a CRC-32 that may
        // carry escapes of its own) leaves at most five bytes behind an
        // escape: a host line that comes right after one (a `wall` message
        // begins with a line end) would otherwise take them along.
        const bool subpacketEnd = framing == 0x18 && words.size() <= 5;
        if (words.size() >= 3 && letters && !hexHeader && !subpacketEnd && framing != 0x01)
            return from;
    }
    return -1;
}

QByteArray InbandTransfer::wordsAfter(const QByteArray &rest)
{
    qsizetype ends = 0;
    while (ends < rest.size() && (rest.at(ends) == '\r' || rest.at(ends) == '\n'))
        ++ends;
    return rest.left(ends) + hostWordsIn(rest);
}

QByteArray InbandTransfer::takeLine(QByteArray *read)
{
    qsizetype end = 0;
    while (end < read->size() && read->at(end) != '\r' && read->at(end) != '\n')
        ++end;
    while (end < read->size() && (read->at(end) == '\r' || read->at(end) == '\n'))
        ++end;
    const QByteArray line = read->left(end);
    read->remove(0, end);
    return line;
}

void InbandTransfer::markPeerStarted()
{
    if (m_peerStarted)
        return;
    m_peerStarted = true;
    m_hostLineOpen = false;
    emit peerStartedChanged();
}

InbandTransfer::Step::Step(InbandTransfer *owner)
    : m_owner(owner)
{
    ++owner->m_stepDepth;
}

InbandTransfer::Step::~Step()
{
    if (!m_owner || --m_owner->m_stepDepth > 0 || !m_owner->m_cancelPending)
        return;
    m_owner->m_cancelPending = false;
    m_owner->cancel();
}
