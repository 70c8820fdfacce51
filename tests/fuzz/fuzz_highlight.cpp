// A highlight pattern as the settings hold it, over received lines: each line is done in bounded
// time, its ranges inside it, in order, without overlap.
#include "terminal/highlight.h"

#include <QElapsedTimer>

#include "fuzzcheck.h"

FUZZ_TARGET(input) // the pattern up to the first line feed; the lines after it
{
    const qsizetype cut = input.indexOf('\n');
    if (cut < 0)
        return;
    const QString pattern = QString::fromUtf8(input.left(cut));
    QList<HighlightRule> rules{{pattern, QStringLiteral("正则"), QStringLiteral("红"), {}},
                               {pattern.left(2), QStringLiteral("子串"), QStringLiteral("#00ff00"), {}}};
    for (const QByteArray &line : input.mid(cut + 1).split('\n')) {
        const QString text = QString::fromUtf8(line);
        QElapsedTimer clock;
        clock.start();
        const QList<HighlightRange> ranges = highlightRanges(rules, true, text);
        check(clock.elapsed() < 500);
        int end = 0;
        for (const HighlightRange &r : ranges) {
            check(r.start >= end && r.end > r.start && r.end <= text.size());
            end = r.end;
        }
    }
}
