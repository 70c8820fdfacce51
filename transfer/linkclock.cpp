#include "transfer/linkclock.h"

#include <QElapsedTimer>

qint64 machineUs()
{
    static const QElapsedTimer since = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return since.nsecsElapsed() / 1000;
}

void LinkClock::fire(ClockTimer *timer)
{
    timer->due();
}

ClockTimer::ClockTimer(std::function<void()> timeout, Qt::TimerType type)
    : m_timeout(std::move(timeout))
{
    m_timer.setTimerType(type);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { m_timeout(); });
}

ClockTimer::~ClockTimer()
{
    stop();
}

void ClockTimer::setClock(LinkClock *clock)
{
    stop();
    m_clock = clock;
}

void ClockTimer::start(int ms)
{
    if (!m_clock) {
        m_timer.setSingleShot(m_single);
        m_timer.start(ms);
        return;
    }
    m_intervalMs = ms;
    m_dueUs = m_clock->nowUs() + qint64(ms) * 1000;
    m_clock->schedule(this, m_dueUs);
}

void ClockTimer::stop()
{
    m_timer.stop();
    if (m_clock && m_dueUs >= 0)
        m_clock->schedule(this, -1);
    m_dueUs = -1;
}

bool ClockTimer::isActive() const
{
    return m_clock ? m_dueUs >= 0 : m_timer.isActive();
}

void ClockTimer::due()
{
    if (m_single) {
        m_dueUs = -1;
    } else {
        // As Qt's timers: the next time follows the last one's, and one
        // that fell behind does not come again at once to catch up.
        const qint64 now = m_clock->nowUs(), interval = qint64(m_intervalMs) * 1000;
        m_dueUs = m_dueUs + interval < now ? now + interval : m_dueUs + interval;
        m_clock->schedule(this, m_dueUs);
    }
    m_timeout();
}
