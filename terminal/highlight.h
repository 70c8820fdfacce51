#pragma once

#include <QColor>
#include <QList>
#include <QRegularExpression>
#include <QString>

// One keyword rule of a session: a plain substring (compared with case) or,
// when the match kind is "正则", a regular expression compiled on first use.
struct HighlightRule
{
    QString keyword;
    QString matchKind;
    QString colourName;
    QRegularExpression expression;
};

struct HighlightRange
{
    int start = 0;
    int end = 0;
    QColor colour;
};

// The colour text of a rule's colour name ("#rrggbb" passes through).
QString highlightColor(const QString &name);

// Rules stored under prefix + "keywords" in the native settings store.
QList<HighlightRule> loadHighlightRules(const QString &prefix);

// The ranges of text to colour: sorted by start, free of overlaps (the match
// that starts first wins, a later overlapping one is dropped whole).
QList<HighlightRange> highlightRanges(QList<HighlightRule> &rules, bool highlightOn, const QString &text);
