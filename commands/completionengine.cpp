#include "commands/completionengine.h"

#include "commands/knowledge/commandknowledgebase.h"

#include <QHash>

#include <algorithm>

namespace {

// The separators of the word test: the characters of a regular expression's
// \s without Unicode properties (tab, line feed, vertical tab, form feed,
// carriage return, blank). A no-break or ideographic space stays inside a word.
bool isWordSeparator(QChar c)
{
    const char16_t u = c.unicode();
    return u == u' ' || (u >= u'\t' && u <= u'\r');
}

bool containsWordSeparator(const QString &s)
{
    return std::any_of(s.cbegin(), s.cend(), isWordSeparator);
}

// q occurs in t first at `first` > 0; true when one of its occurrences starts
// a word. q holds no separator, so the word that starts there begins with q.
bool startsLaterWord(const QString &t, const QString &q, qsizetype first)
{
    for (qsizetype at = first; at > 0; at = t.indexOf(q, at + 1)) {
        if (isWordSeparator(t.at(at - 1)))
            return true;
    }
    return false;
}

int matchBase(const QString &t, const QString &q, bool qHasSeparator)
{
    const qsizetype at = t.indexOf(q);
    if (at < 0)
        return 0;
    if (at == 0)
        return t.size() == q.size() ? 100 : 90;
    if (!qHasSeparator && startsLaterWord(t, q, at))
        return 75;
    return 50;
}

double weightFactor(double weight)
{
    const double factor = weight / 10.0;
    if (!(factor >= 0.4)) // also catches NaN, which would break the sort
        return 0.4;
    return factor > 1.0 ? 1.0 : factor;
}

} // namespace

void CompletionEngine::setCandidates(const QVector<CompletionCandidate> &input)
{
    m_candidates.clear();
    m_lowerTexts.clear();
    m_candidates.reserve(input.size());
    m_lowerTexts.reserve(input.size());

    QHash<QString, qsizetype> positionOf;
    positionOf.reserve(input.size());
    for (const CompletionCandidate &in : input) {
        const QString key = in.text.trimmed();
        if (key.isEmpty())
            continue;
        const auto found = positionOf.constFind(key);
        if (found == positionOf.cend()) {
            positionOf.insert(key, m_candidates.size());
            m_candidates.append({key, in.description, in.source, in.weight});
            m_lowerTexts.append(key.toLower());
            continue;
        }
        CompletionCandidate &kept = m_candidates[*found];
        if (in.weight > kept.weight)
            kept.weight = in.weight;
        if (kept.description.isEmpty())
            kept.description = in.description;
        if (kept.source != in.source)
            kept.source.clear();
    }
}

QVector<CompletionCandidate> CompletionEngine::rank(const QString &query) const
{
    const QString q = query.trimmed().toLower();
    if (q.isEmpty() || maxResults <= 0)
        return {};
    const bool qHasSeparator = containsWordSeparator(q);

    struct Hit
    {
        double score;
        qsizetype index;
    };
    std::vector<Hit> hits;
    for (qsizetype i = 0; i < m_candidates.size(); ++i) {
        const int base = matchBase(m_lowerTexts.at(i), q, qHasSeparator);
        if (base > 0)
            hits.push_back({base * weightFactor(m_candidates.at(i).weight), i});
    }

    // Only the shown few are ordered and copied.
    const auto better = [this](const Hit &a, const Hit &b) {
        if (a.score != b.score)
            return a.score > b.score;
        return m_candidates.at(a.index).text < m_candidates.at(b.index).text;
    };
    const std::size_t keep = std::min(hits.size(), std::size_t(maxResults));
    std::partial_sort(hits.begin(), hits.begin() + keep, hits.end(), better);

    QVector<CompletionCandidate> results;
    results.reserve(qsizetype(keep));
    for (std::size_t i = 0; i < keep; ++i) {
        CompletionCandidate c = m_candidates.at(hits[i].index);
        c.weight = hits[i].score;
        results.append(c);
    }
    return results;
}

QString builtinDescription(const QString &name)
{
    const CommandKnowledgeBase &table = commandKnowledgeBase();
    const auto exact = table.constFind(name);
    if (exact != table.cend())
        return exact.value();

    // Lower-cased keys, each mapped to the first key in table order that
    // lower-cases to it ("tail -F" before "tail -f"), made once instead of
    // walking and lower-casing the whole table for every name.
    static const QHash<QString, QString> byLowerName = [&table] {
        QHash<QString, QString> index;
        index.reserve(table.size());
        for (auto it = table.cbegin(); it != table.cend(); ++it) {
            const QString lower = it.key().toLower();
            if (!index.contains(lower))
                index.insert(lower, it.value());
        }
        return index;
    }();
    return byLowerName.value(name.toLower());
}
