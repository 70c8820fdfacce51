#pragma once

#include <QTimer>

#include <functional>

class ClockTimer;

// A clock of one's own for what a sender measures and paces against it:
// the time a ZACK took, how late the event loop ran, when the next piece
// goes. Without one, the machine's steady clock and Qt's timers serve. A
// test that simulates a link puts in a clock it advances itself, so that
// what the sender measures is the link, not how busy the machine is.
class LinkClock
{
public:
    virtual ~LinkClock() = default;
    // Microseconds, never going back.
    virtual qint64 nowUs() const = 0;

protected:
    friend class ClockTimer;
    // `timer` is due at `dueUs` now; -1: it is due no more (stopped or gone).
    virtual void schedule(ClockTimer *timer, qint64 dueUs) = 0;
    // For the clock, once a timer's time has come.
    static void fire(ClockTimer *timer);
};

// The time of the machine, as a LinkClock's: what the sender uses
// when no clock of its own has been put in.
qint64 machineUs();

// A timer on a LinkClock, or Qt's own timer while none is set; the few
// calls of QTimer that a sender needs, the same on either.
class ClockTimer
{
public:
    explicit ClockTimer(std::function<void()> timeout, Qt::TimerType type = Qt::CoarseTimer);
    ~ClockTimer();
    ClockTimer(const ClockTimer &) = delete;
    ClockTimer &operator=(const ClockTimer &) = delete;

    // Stops the timer; nullptr gives it back to Qt.
    void setClock(LinkClock *clock);
    void setSingleShot(bool single) { m_single = single; }
    void start(int ms);
    void stop();
    bool isActive() const;

private:
    friend class LinkClock;
    void due();

    QTimer m_timer;
    std::function<void()> m_timeout;
    LinkClock *m_clock = nullptr;
    qint64 m_dueUs = -1;
    int m_intervalMs = 0;
    bool m_single = false;
};
