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
    cancelTransfer();
    m_cancelling = false;
}

void InbandTransfer::announceEnd(const QString &statusText, const QString &error)
{
    const Outcome outcome = error.isEmpty() ? Succeeded : (m_cancelling ? Cancelled : Failed);
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

void InbandTransfer::markPeerStarted()
{
    if (m_peerStarted)
        return;
    m_peerStarted = true;
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
