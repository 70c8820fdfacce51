#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

#include <functional>
#include <optional>

// A folder job reports progress at least once per file, which for thousands
// of small files is far more often than anyone can read. This keeps at most
// one report per interval for showing: the first of a run at once, later
// ones when the interval has passed; what it held back stays pending, for
// the owner to show when its timer fires or the run ends, so the last
// figure is never lost.
class ProgressThrottle
{
public:
    static constexpr qint64 Interval = 50; // milliseconds

    struct Report {
        qint64 done = 0;
        qint64 total = 0;
    };
    // Milliseconds from any fixed point; a test passes its own.
    using Clock = std::function<qint64()>;

    explicit ProgressThrottle(Clock clock = {}) : m_clock(std::move(clock))
    {
        if (!m_clock) {
            m_elapsed.start();
            m_clock = [this] { return m_elapsed.elapsed(); };
        }
    }

    ProgressThrottle(const ProgressThrottle &) = delete;
    ProgressThrottle &operator=(const ProgressThrottle &) = delete;

    // True: show it now. False: it is pending, due in dueIn() ms.
    bool offer(qint64 done, qint64 total)
    {
        const qint64 now = m_clock();
        if (m_shownAt && now - *m_shownAt < Interval) {
            m_pending = Report{done, total};
            return false;
        }
        m_shownAt = now;
        m_pending.reset();
        return true;
    }
    qint64 dueIn() const { return m_shownAt ? qMax<qint64>(0, *m_shownAt + Interval - m_clock()) : 0; }
    // The report held back, if any; counts as shown now.
    std::optional<Report> takePending()
    {
        std::optional<Report> out = m_pending;
        m_pending.reset();
        if (out)
            m_shownAt = m_clock();
        return out;
    }
    // A new run: its first report shows at once.
    void reset()
    {
        m_shownAt.reset();
        m_pending.reset();
    }

private:
    Clock m_clock;
    QElapsedTimer m_elapsed;
    std::optional<qint64> m_shownAt;
    std::optional<Report> m_pending;
};
