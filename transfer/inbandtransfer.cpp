#include "transfer/inbandtransfer.h"

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
    const Outcome outcome = error.isEmpty() ? Succeeded : (m_cancelling ? Cancelled : Failed);
    if (outcome != Succeeded)
        beginEnding();
    // The transfer is over for whoever hears of its end: a cancel from a
    // listener is then a no-op, and a listener may start the next transfer
    // (the engine resets its own state only while no new one has begun).
    m_state = 0;
    m_cancelling = false;
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
    m_target = target;
    m_lastPercent = -1;
    m_peerStarted = false;
    m_hostLineOpen = false;
    m_resendAllowed = false;
    m_ending = false;
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

bool InbandTransfer::emitStatus(const QString &text)
{
    const quint64 generation = m_generation;
    emit statusMessage(m_sessionId, text);
    return sameRun(generation);
}

QByteArray InbandTransfer::pastCancel(const QByteArray &read)
{
    qsizetype at = read.lastIndexOf('\x18') + 1;
    while (at < read.size() && read.at(at) == '\b')
        ++at;
    return read.mid(at);
}

void InbandTransfer::heardPeer()
{
    m_resendAllowed = true;
    markPeerStarted();
}

void InbandTransfer::beginEnding()
{
    if (std::exchange(m_ending, true))
        return;
    if (m_discardFn)
        m_discardFn();
}

bool InbandTransfer::looksLikeHostWords(QByteArrayView read)
{
    // A line of the host's own: ended by a line end, made of printable text
    // (UTF-8 included, colour sequences and a tab allowed) with a letter in
    // it, and none of the control bytes that frames are made of. A ZMODEM
    // hex header is printable but for its ZDLE; escaped data holds no bare
    // line end at all.
    qsizetype lineStart = 0;
    for (qsizetype at = 0; at < read.size(); ++at) {
        const char c = read.at(at);
        if (c != '\r' && c != '\n')
            continue;
        const QByteArrayView line = read.sliced(lineStart, at - lineStart);
        lineStart = at + 1;
        bool letters = false, framing = false;
        for (const char b : line) {
            const uchar u = uchar(b);
            letters = letters || (u < 0x80 && QChar::isLetter(u));
            framing = framing || (u < 0x20 && b != '\t' && b != '\b' && b != '\a' && b != 0x1b) || u == 0x7f;
        }
        if (letters && !framing && line.size() >= 3)
            return true;
    }
    return false;
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
