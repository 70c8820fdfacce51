#include "terminal/wrappedlines.h"

#include "terminal/palette.h"

#include <QTextDocument>

#include <algorithm>
#include <vector>

namespace wrappedlines {

int rowWidth(const QTextBlock &block)
{
    return displayWidth(block.text());
}

QString joinedText(const QTextDocument *doc, int from, int to)
{
    QString out;
    if (to <= from)
        return out;
    for (QTextBlock b = doc->findBlock(from); b.isValid() && b.position() <= to; b = b.next()) {
        const int start = std::max(from, b.position()) - b.position();
        const int end = std::min(to, b.position() + b.length() - 1) - b.position();
        if (end > start)
            out += b.text().mid(start, end - start);
        const QTextBlock next = b.next();
        // The row's own end lies inside the range when the next row starts in it.
        if (next.isValid() && next.position() <= to && !continuesAbove(next))
            out += u'\n';
    }
    return out;
}

QString joinedText(const QTextDocument *doc)
{
    return joinedText(doc, 0, doc->characterCount() - 1);
}

QTextCursor findInLines(QTextDocument *doc, const QString &text, int from)
{
    if (text.isEmpty())
        return QTextCursor();
    // The lines as one text, and where in it a row break was left out: the
    // k-th left out sat at document position joins[k] + k.
    QString lines;
    std::vector<int> joins;
    lines.reserve(doc->characterCount());
    for (QTextBlock b = doc->firstBlock(); b.isValid(); b = b.next()) {
        lines += b.text();
        const QTextBlock next = b.next();
        if (!next.isValid())
            break;
        if (continuesAbove(next))
            joins.push_back(int(lines.size()));
        else
            lines += u'\n';
    }
    int start = from;
    for (size_t k = 0; k < joins.size() && joins[k] + int(k) < from; ++k)
        --start;
    const int at = int(lines.indexOf(text, std::max(0, start), Qt::CaseInsensitive));
    if (at < 0)
        return QTextCursor();
    // A character of the lines stands after every break left out at or before it.
    const auto position = [&joins](int index) {
        return index + int(std::upper_bound(joins.begin(), joins.end(), index) - joins.begin());
    };
    QTextCursor hit(doc);
    hit.setPosition(position(at));
    hit.setPosition(position(at + int(text.size()) - 1) + 1, QTextCursor::KeepAnchor);
    return hit;
}

namespace {

// Where a line of this text breaks into rows of `columns` cells: the unit
// indexes at which each further row starts. A character wider than a whole
// row stands on a row of its own.
std::vector<int> rowStarts(const QString &text, int columns)
{
    std::vector<int> cuts;
    int cells = 0;
    int rowStart = 0;
    for (int i = 0; i < text.size();) {
        const int w = charWidthAt(text, i);
        if (cells + w > columns && i > rowStart) {
            cuts.push_back(i);
            rowStart = i;
            cells = 0;
        }
        cells += w;
        i += text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    }
    return cuts;
}

} // namespace

void reflow(QTextDocument *doc, int columns, int keepRows)
{
    if (columns <= 0)
        return;
    QTextCursor c(doc);
    c.beginEditBlock();
    // The rows kept come after every edit: their count from the end holds.
    for (QTextBlock b = doc->firstBlock(); b.isValid() && b.blockNumber() < doc->blockCount() - keepRows;) {
        const QTextBlock next = b.next();
        const int units = b.length() - 1;
        // A line on one row that fits (no unit is wider than two cells) stays.
        if (!(next.isValid() && continuesAbove(next)) && (units * 2 <= columns || rowWidth(b) <= columns)) {
            b = next;
            continue;
        }
        const int start = b.position();
        const bool startsAbove = continuesAbove(b);
        // Joining two rows keeps the lower one's user state: the line's own
        // mark is set again below. Handles of merged blocks do not survive
        // the edit, so each row is looked up again by its position.
        for (QTextBlock row = b; row.next().isValid() && continuesAbove(row.next()); row = doc->findBlock(start)) {
            c.setPosition(row.position() + row.length() - 1);
            c.deleteChar();
        }
        QTextBlock line = doc->findBlock(start);
        markContinues(line, startsAbove);
        const QString text = line.text();
        const std::vector<int> cuts = rowStarts(text, columns);
        // From the last break to the first, so that the positions before
        // each one stay where they were.
        for (auto cut = cuts.rbegin(); cut != cuts.rend(); ++cut) {
            c.setPosition(start + *cut);
            c.insertBlock();
            markContinues(c.block(), true);
        }
        b = doc->findBlock(start + int(text.size()) + int(cuts.size())).next();
    }
    c.endEditBlock();
}

} // namespace wrappedlines
