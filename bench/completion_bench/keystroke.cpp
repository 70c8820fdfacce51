// From a key pressed in the command window to the popup drawn with its
// ranked rows. The pause's timer fires when the event loop gets to it, a
// little early or late, so the time from its firing to the drawn popup is
// measured as well, and the same key driving only a bare timer is the
// reference for the loop's own delay.
#include "keystroke.h"

#include "commands/commandcompleterpopup.h"
#include "commands/commandwindow.h"
#include "commands/commandwindowcompletion.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>

#include <algorithm>
#include <cstdio>

namespace {

QElapsedTimer sinceStart;

// Notes when the watched object first gets an event of the type.
struct Watch : QObject {
    QEvent::Type type;
    qint64 at = -1; // ns since start
    explicit Watch(QEvent::Type t) : type(t) {}
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == type && at < 0)
            at = sinceStart.nsecsElapsed();
        return false;
    }
};

struct Sample {
    double total = -1; // key to `end`, ms
    double tail = -1;  // `fired` to `end`, ms
};

// Types the last character of text after the rest; waits (at most a
// second) until `end` sees its event.
Sample keyTo(QPlainTextEdit *input, const QString &text, Watch &fired, Watch &end)
{
    input->setPlainText(text.chopped(1));
    input->moveCursor(QTextCursor::End);
    QCoreApplication::processEvents();
    fired.at = end.at = -1;
    QTimer giveUp; // wakes the loop when nothing else comes
    giveUp.setSingleShot(true);
    giveUp.start(1000);
    const qint64 key = sinceStart.nsecsElapsed();
    QTest::keyClick(input, text.back().toLatin1());
    while (end.at < 0 && giveUp.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (end.at < 0)
        return {};
    return {(end.at - key) / 1e6, fired.at < 0 ? -1 : (end.at - fired.at) / 1e6};
}

struct Stats {
    double p50 = 0, p99 = 0, max = 0;
    int misses = 0;
};

Stats stats(const std::vector<Sample> &samples, double Sample::*field)
{
    std::vector<double> v;
    Stats s;
    for (const Sample &x : samples)
        (x.*field < 0 ? void(++s.misses) : v.push_back(x.*field));
    std::sort(v.begin(), v.end());
    if (v.empty())
        return s;
    const auto at = [&v](double q) { return v[std::min(v.size() - 1, std::size_t(q * double(v.size())))]; };
    s.p50 = at(0.5);
    s.p99 = at(0.99);
    s.max = v.back();
    return s;
}

} // namespace

void measureKeystroke(const QVector<CompletionCandidate> &candidates, const QStringList &queries, int samples)
{
    sinceStart.start();
    CommandWindow window;
    auto *completion = new CommandWindowCompletion(&window);
    completion->gatherer().setCandidates(candidates);
    window.resize(900, 160);
    window.show();
    QPlainTextEdit *input = window.inputEditor();
    input->setFocus();
    (void)QTest::qWaitForWindowExposed(&window);
    QListWidget *list = completion->popup()->findChild<QListWidget *>();
    Watch pauseEnd(QEvent::Timer), painted(QEvent::Paint);
    completion->gatherer().pause().installEventFilter(&pauseEnd);
    list->viewport()->installEventFilter(&painted);

    // The reference: an input whose changes only restart a timer as long.
    QPlainTextEdit bare;
    bare.show();
    QTimer pause;
    pause.setSingleShot(true);
    pause.setInterval(CompletionGatherer::PauseMs);
    Watch bareEnd(QEvent::Timer), unused(QEvent::None);
    pause.installEventFilter(&bareEnd);
    QObject::connect(&bare, &QPlainTextEdit::textChanged, &pause, qOverload<>(&QTimer::start));

    // Each query with the popup closed before the key (it opens), then the
    // next one with it open (its rows are replaced).
    std::vector<Sample> opening, open, reference;
    for (int i = 0; i < samples; ++i) {
        const QString &q = queries.at(i % queries.size());
        // Closed as the HEX box closes it, which also forgets the last query.
        completion->gatherer().setHex(true);
        completion->gatherer().setHex(false);
        opening.push_back(keyTo(input, q, pauseEnd, painted));
        open.push_back(keyTo(input, queries.at((i + 1) % queries.size()), pauseEnd, painted));
        reference.push_back(keyTo(&bare, q, unused, bareEnd));
    }
    const double pauseMs = CompletionGatherer::PauseMs;
    std::printf("key to popup drawn (%lld candidates, %d samples each):\n",
                static_cast<long long>(completion->gatherer().engine().candidates().size()), samples);
    for (const auto &[name, runs] : {std::pair{"opening", &opening}, std::pair{"open   ", &open}}) {
        const Stats total = stats(*runs, &Sample::total), tail = stats(*runs, &Sample::tail);
        std::printf("  %s pause's end to drawn  p50 %6.2f ms  p99 %6.2f ms  max %6.2f ms  (aim p99 < 5 ms)\n", name,
                    tail.p50, tail.p99, tail.max);
        std::printf("  %s key to drawn - %d ms  p50 %6.2f ms  p99 %6.2f ms  max %6.2f ms  (%d without a popup)\n",
                    name, CompletionGatherer::PauseMs, total.p50 - pauseMs, total.p99 - pauseMs, total.max - pauseMs,
                    total.misses);
    }
    const Stats ref = stats(reference, &Sample::total);
    std::printf("  reference: key to bare timer - %d ms  p50 %6.2f ms  p99 %6.2f ms  max %6.2f ms (the loop's own delay)\n",
                CompletionGatherer::PauseMs,
                ref.p50 - pauseMs, ref.p99 - pauseMs, ref.max - pauseMs);
}
