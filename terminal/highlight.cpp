#include "terminal/highlight.h"

#include "core/languagemanager.h"
#include "core/settingkeys.h"

#include <QElapsedTimer>
#include <QSettings>

#include <algorithm>

QString highlightColor(const QString &name)
{
    if (name.startsWith(u'#'))
        return name;
    static const struct
    {
        const char16_t *full;
        const char16_t *shortName;
        const char *colour;
    } kColours[] = {
        {u"红色", u"红", "#ff5555"}, {u"绿色", u"绿", "#55ff7f"}, {u"蓝色", u"蓝", "#569cd6"},
        {u"黄色", u"黄", "#dcdcaa"}, {u"橙色", u"橙", "#ff9d3b"}, {u"紫色", u"紫", "#c586c0"},
    };
    for (const auto &c : kColours) {
        if (name == QStringView(c.full) || name == QStringView(c.shortName))
            return QString::fromLatin1(c.colour);
    }
    return QStringLiteral("#ffffff");
}

namespace {

// A cell typed by hand may carry blanks a user cannot see (" #ff0000").
QString sourceWord(const QString &cell, const QStringList &words)
{
    const QString word = LanguageManager::sourceOfTypedWord(cell, words);
    return word.isEmpty() ? cell.trimmed() : word;
}

} // namespace

QList<HighlightRule> loadHighlightRules(const QString &prefix)
{
    // Always the platform's own store, whatever data folder the program uses.
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Halvorstead"),
                    QStringLiteral("Halvorstead"));
    QList<HighlightRule> rules;
    const int count = store.beginReadArray(prefix + QStringLiteral("keywords"));
    for (int i = 0; i < count; ++i) {
        store.setArrayIndex(i);
        const QStringList row = store.value(QStringLiteral("row")).toStringList();
        if (row.size() < 2 || row.at(0).isEmpty())
            continue;
        HighlightRule rule;
        rule.keyword = row.at(0);
        // Rows stored before the table kept its words as source texts, or
        // written by hand, may hold them in any language and case ("regex").
        rule.matchKind = sourceWord(row.at(1), keys::keywordMatchKinds());
        rule.colourName = row.size() >= 3 ? sourceWord(row.at(2), keys::keywordColours()) : QStringLiteral("红色");
        rules.append(rule);
    }
    store.endArray();
    return rules;
}

QList<HighlightRange> highlightRanges(QList<HighlightRule> &rules, bool highlightOn, const QString &text)
{
    QList<HighlightRange> found;
    if (!highlightOn || rules.isEmpty())
        return found;
    static const QString kStepLimit = QStringLiteral("(*LIMIT_MATCH=100000)");
    constexpr qint64 kLineBudgetMs = 20;
    QElapsedTimer clock;
    clock.start();
    for (HighlightRule &rule : rules) {
        if (rule.keyword.isEmpty())
            continue;
        const QColor colour(highlightColor(rule.colourName));
        if (rule.matchKind == QStringLiteral("正则")) {
            // Rules come from settings and run over every received line: a
            // pattern that backtracks without end would stall the terminal.
            // Each search is held to a step limit the pattern cannot raise,
            // and the line's searches to a time budget.
            const QString pattern = kStepLimit + rule.keyword;
            if (rule.expression.pattern() != pattern)
                rule.expression.setPattern(pattern);
            if (!rule.expression.isValid() || rule.keyword.contains(QLatin1String("(*LIMIT_"))
                || clock.hasExpired(kLineBudgetMs))
                continue;
            auto it = rule.expression.globalMatch(text);
            while (it.hasNext() && !clock.hasExpired(kLineBudgetMs)) {
                const QRegularExpressionMatch m = it.next();
                found.append({int(m.capturedStart()), int(m.capturedEnd()), colour});
            }
        } else {
            qsizetype pos = 0;
            while ((pos = text.indexOf(rule.keyword, pos)) >= 0) {
                found.append({int(pos), int(pos + rule.keyword.size()), colour});
                pos += rule.keyword.size();
            }
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const HighlightRange &a, const HighlightRange &b) { return a.start < b.start; });
    QList<HighlightRange> taken;
    int lastEnd = 0;
    for (const HighlightRange &r : found) {
        if (r.end <= r.start || r.start < lastEnd)
            continue;
        taken.append(r);
        lastEnd = r.end;
    }
    return taken;
}
