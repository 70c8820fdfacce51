#pragma once

#include <QString>
#include <QVector>

// One completion suggestion. Before ranking, weight is the weight of the
// source it came from; in a ranked result it is the score.
struct CompletionCandidate
{
    QString text;        // what completion inserts; trimmed and non-empty inside an engine
    QString description; // one line shown after the text; may be empty
    QString source;      // translated source tag, empty once two sources were merged
    double weight = 0.0;
};

// The candidates of one owner (the command window, a terminal's inline
// completion), merged by exact text and ranked against what the user typed.
class CompletionEngine
{
public:
    int maxResults = 10;

    // Replaces every candidate. Texts are trimmed; blank ones are dropped.
    // A text seen again keeps its first place and takes the larger weight,
    // fills an empty description, and loses its tag when the sources differ.
    void setCandidates(const QVector<CompletionCandidate> &input);

    // At most maxResults matches for the query, best first, each with its
    // score in weight: exact 100, prefix 90, prefix of a later word 75,
    // substring 50, times the weight / 10 held within 0.4 and 1.0. Equal
    // scores sort by text in UTF-16 code-unit order. Case is ignored when
    // matching; a blank query matches nothing.
    QVector<CompletionCandidate> rank(const QString &query) const;

    // The merged candidates, in the order each text was first seen.
    const QVector<CompletionCandidate> &candidates() const { return m_candidates; }

private:
    QVector<CompletionCandidate> m_candidates;
    // Lower-cased texts, parallel to m_candidates: made once per rebuild
    // rather than for every candidate on every key stroke.
    QVector<QString> m_lowerTexts;
};

// The knowledge base's description of a command name: the exact key first,
// else the first key in key order that equals the name without regard to
// case; empty when there is none.
QString builtinDescription(const QString &name);
