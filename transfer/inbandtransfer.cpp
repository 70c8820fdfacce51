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
    m_cancelling = true;
    cancelTransfer();
    m_cancelling = false;
}

void InbandTransfer::announceEnd(const QString &statusText, const QString &error)
{
    const Outcome outcome = error.isEmpty() ? Succeeded : (m_cancelling ? Cancelled : Failed);
    // A listener may cancel or start the next transfer from any of these.
    m_cancelling = false;
    emit statusMessage(m_sessionId, statusText);
    emit resultReady(outcome, statusText);
    emit transferFinished(m_sessionId, error.isEmpty(), error);
}
