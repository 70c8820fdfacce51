#include "terminal/linerenderer.h"

#include "core/debuglog.h"
#include "terminal/escapeparser.h"
#include "terminal/palette.h"
#include "terminal/wrappedlines.h"

#include <QDateTime>
#include <QTextDocument>

#include <algorithm>

namespace {

// True when every unit of the text is exactly one cell wide.
bool isNarrow(const QChar *s, int n)
{
    for (int i = 0; i < n; ++i) {
        const char16_t u = s[i].unicode();
        if (u >= 0x1100 && unitWidth(u, i + 1 < n ? s[i + 1].unicode() : 0) != 1)
            return false;
    }
    return true;
}

QString hexPrefix(const QString &text)
{
    const QByteArray utf8 = text.left(24).toUtf8();
    QStringList pairs;
    for (char c : utf8)
        pairs << QStringLiteral("%1").arg(uchar(c), 2, 16, QLatin1Char('0')).toUpper();
    return pairs.join(u' ');
}

} // namespace

LineRenderer::LineRenderer(QTextDocument *document, LineRendererHost *h)
    : clock(&QDateTime::currentMSecsSinceEpoch), doc(document), host(h), cursor(document)
{
    updateFormat();
    // Edits made by anyone else invalidate what is known about the rows.
    docWatch = QObject::connect(doc, &QTextDocument::contentsChange, [this](int, int, int) {
        if (!selfEdit)
            cache.valid = false;
    });
}

LineRenderer::~LineRenderer()
{
    QObject::disconnect(docWatch);
}

void LineRenderer::resetAttributes()
{
    ::resetAttributes(lineAttrs);
    updateFormat();
}

void LineRenderer::updateFormat()
{
    // Output switches between a handful of pens: each keeps one format,
    // which is cheaper to build, to compare and for the document to look up.
    for (const auto &[attributes, fmt] : formatCache) {
        if (cellAttributesEqual(attributes, lineAttrs)) {
            format = fmt;
            return;
        }
    }
    if (formatCache.size() >= 32)
        formatCache.erase(formatCache.begin());
    formatCache.emplace_back(lineAttrs, cellFormat(lineAttrs));
    format = formatCache.back().second;
}

QTextBlock LineRenderer::currentRowBlock()
{
    commitAppend();
    QTextBlock block = doc->lastBlock();
    for (int i = 0; i < rowBack && block.isValid(); ++i)
        block = block.previous();
    return block;
}

const LineRenderer::RowInfo &LineRenderer::rowInfo(const QTextBlock &block)
{
    const int number = block.blockNumber();
    const int length = block.length() - 1;
    if (cache.valid && cache.blockNumber == number && cache.length == length)
        return cache;
    const QString text = block.text();
    cache.blockNumber = number;
    cache.rowBack = rowBack;
    cache.length = int(text.size());
    cache.width = displayWidth(text);
    cache.narrow = isNarrow(text.constData(), int(text.size()));
    cache.valid = true;
    return cache;
}

int LineRenderer::indexOfColumn(const QTextBlock &block, int column, int *cellsBefore)
{
    const RowInfo &info = rowInfo(block);
    const int target = column - 1;
    if (target >= info.width) {
        if (cellsBefore)
            *cellsBefore = info.width;
        return info.length;
    }
    if (info.narrow) {
        const int idx = std::max(0, target);
        if (cellsBefore)
            *cellsBefore = idx;
        return idx;
    }
    // Wide rows: walk from the nearer end, reading single characters rather
    // than copying the row, so that backspaces and short moves near the end
    // of a long row cost what they move, not the length of the row.
    const int base = block.position();
    int sum = 0;
    int idx = 0;
    if (info.width - target < target) {
        sum = info.width;
        idx = info.length;
        while (idx > 0 && sum > target) {
            const char16_t next = idx < info.length ? doc->characterAt(base + idx).unicode() : 0;
            sum -= unitWidth(doc->characterAt(base + idx - 1).unicode(), next);
            --idx;
        }
    } else {
        for (; idx < info.length; ++idx) {
            const char16_t next = idx + 1 < info.length ? doc->characterAt(base + idx + 1).unicode() : 0;
            const int w = unitWidth(doc->characterAt(base + idx).unicode(), next);
            if (sum + w > target)
                break;
            sum += w;
        }
    }
    if (cellsBefore)
        *cellsBefore = sum;
    return idx;
}

void LineRenderer::applyCursorRule()
{
    if (!host->selectingWithMouse())
        host->placeViewCursor(cursor);
}

void LineRenderer::commitAppend()
{
    if (!pendingAppend())
        return;
    if (keepLines > 0 && appendBreaks.size() >= size_t(keepLines))
        dropFlooded();
    selfEdit = true;
    if (replaceDocument) {
        cursor.select(QTextCursor::Document);
        cursor.removeSelectedText();
        wrappedlines::markContinues(doc->firstBlock(), firstRowContinues);
    } else {
        // setPosition, not movePosition: a move lays out the block it starts in.
        cursor.setPosition(doc->characterCount() - 1);
    }
    const QTextBlock first = cursor.block();
    const int size = int(appendBuffer.size());
    for (size_t k = 0; k < appendRuns.size(); ++k) {
        const int start = appendRuns[k].first;
        const int end = k + 1 < appendRuns.size() ? appendRuns[k + 1].first : size;
        if (end > start)
            cursor.insertText(end - start == size ? appendBuffer : appendBuffer.mid(start, end - start),
                              appendFormats[size_t(appendRuns[k].second)]);
    }
    selfEdit = false;
    // Each line end made a block; a row that a wrap began carries its mark.
    QTextBlock row = first;
    for (const char wrapped : appendWrapped) {
        row = row.next();
        wrappedlines::markContinues(row, wrapped);
    }
    appendBuffer.resize(0); // keeps the capacity for the next frame
    appendRuns.clear();
    appendFormats.clear();
    appendBreaks.clear();
    appendWrapped.clear();
    replaceDocument = false;
    cache.blockNumber = cursor.block().blockNumber();
    applyCursorRule();
}

void LineRenderer::bufferAppend(const QString &text, const QTextCharFormat &fmt)
{
    if (appendFormats.empty() || !(appendFormats.back() == fmt))
        appendFormats.push_back(fmt);
    const int index = int(appendFormats.size()) - 1;
    if (appendRuns.empty() || appendRuns.back().second != index)
        appendRuns.emplace_back(int(appendBuffer.size()), index);
    appendBuffer += text;
}

// Keeps only the last keepLines rows of what waits: the rows before them,
// and everything already in the document, would be trimmed from the
// scroll-back in the same frame.
void LineRenderer::dropFlooded()
{
    const size_t breaks = appendBreaks.size();
    const size_t keep = size_t(keepLines);
    if (keep == 0 || breaks < keep)
        return;
    const size_t firstKept = breaks - keep; // this line end and those before it go
    const int cut = appendBreaks[firstKept] + 1;
    auto run = std::upper_bound(appendRuns.begin(), appendRuns.end(), cut,
                                [](int at, const std::pair<int, int> &r) { return at < r.first; });
    --run; // the run that covers the cut (the first starts at 0)
    run->first = cut;
    appendRuns.erase(appendRuns.begin(), run);
    for (auto &r : appendRuns)
        r.first -= cut;
    appendBreaks.erase(appendBreaks.begin(), appendBreaks.begin() + qsizetype(firstKept + 1));
    firstRowContinues = appendWrapped[firstKept];
    appendWrapped.erase(appendWrapped.begin(), appendWrapped.begin() + qsizetype(firstKept + 1));
    for (int &b : appendBreaks)
        b -= cut;
    appendBuffer.remove(0, cut);
    replaceDocument = true;
    cache.blockNumber = int(appendBreaks.size());
}

void LineRenderer::holdAppends(bool hold)
{
    held = hold;
    if (!hold && !editing)
        commitAppend();
}

void LineRenderer::discardAppends()
{
    appendBuffer.clear();
    appendRuns.clear();
    appendFormats.clear();
    appendBreaks.clear();
    appendWrapped.clear();
    replaceDocument = false;
    cache.valid = false;
}

void LineRenderer::write(const QString &text, const QTextCharFormat &fmt)
{
    if (text.isEmpty())
        return;
    // A line goes on in a new row at the terminal's width, as a terminal
    // wraps at its last column; before the width is known, after maxRowCells
    // cells: one block of megabytes would be laid out whole on every change
    // and stall a view for seconds.
    const int limit = rowLimit();
    const int textW = displayWidth(text);
    if (limit <= 0 || col - 1 + textW <= limit) {
        writeInRow(text, textW, fmt);
        return;
    }
    for (qsizetype from = 0; from < text.size();) {
        qsizetype cut = from;
        int cells = col - 1;
        while (cut < text.size()) {
            const int w = charWidthAt(text, cut);
            // A character wider than the whole row goes on a row of its own.
            if (cells + w > limit && !(cut == from && col == 1))
                break;
            cells += w;
            cut += text.at(cut).isHighSurrogate() && cut + 1 < text.size() ? 2 : 1;
        }
        if (cut > from) {
            const QString piece = text.mid(from, cut - from);
            writeInRow(piece, displayWidth(piece), fmt);
        }
        if (cut < text.size())
            newline(true);
        from = cut;
    }
}

void LineRenderer::writeInRow(QString text, int textW, const QTextCharFormat &fmt)
{
    // Appending at the end of the last row: keep it back (see appendBuffer).
    if (pendingAppend() && rowBack == 0 && col - 1 >= cache.width) {
        if (col - 1 > cache.width) {
            static const QTextCharFormat blank = cellFormat(TextAttributes());
            bufferAppend(QString(col - 1 - cache.width, u' '), blank);
            cache.length += col - 1 - cache.width;
            cache.width = col - 1;
        }
        bufferAppend(text, fmt);
        cache.length += int(text.size());
        cache.width += textW;
        cache.narrow = cache.narrow && isNarrow(text.constData(), int(text.size()));
        col += textW;
        return;
    }
    const QTextBlock block = currentRowBlock();
    if (!block.isValid())
        return;
    if (col - 1 > rowInfo(block).width)
        padToCol(col);
    int before = 0;
    const int idx = indexOfColumn(block, col, &before);
    if (idx < cache.length && before < col - 1) {
        // The cursor stands on the right half of a wide character: as on a
        // terminal, writing there blanks its left half.
        text.prepend(QString(col - 1 - before, u' '));
        textW += col - 1 - before;
        col = before + 1;
    }
    const RowInfo info = cache;
    const int goal = col - 1 + textW;
    int endIdx = idx;
    int removedWidth = 0;
    int over = 0;
    if (idx < info.length) {
        if (info.narrow) {
            endIdx = std::min(info.length, idx + std::max(0, goal - before));
            removedWidth = endIdx - idx;
        } else {
            const int base = block.position();
            int sum = before;
            while (endIdx < info.length && sum < goal) {
                const char16_t next = endIdx + 1 < info.length ? doc->characterAt(base + endIdx + 1).unicode() : 0;
                const int w = unitWidth(doc->characterAt(base + endIdx).unicode(), next);
                sum += w;
                removedWidth += w;
                ++endIdx;
            }
            // Writing over the left half of a wide character blanks the other.
            over = std::max(0, sum - goal);
            text.append(QString(over, u' '));
        }
    }
    if (debugLogEnabled())
        debugLog(QStringLiteral("    write: col=%1 lineW=%2 idx=%3 endIdx=%4 textW=%5 txt=\"%6\" ins=\"%7\"")
                     .arg(col).arg(info.width).arg(idx).arg(endIdx).arg(textW)
                     .arg(text.left(40), idx >= info.length ? QStringLiteral("append") : QStringLiteral("overwrite")));
    if (rowBack == 0 && idx >= info.length && editing) {
        bufferAppend(text, fmt);
        cache = info;
        cache.length += int(text.size());
        cache.width = std::max(info.width, before) + textW;
        cache.narrow = info.narrow && isNarrow(text.constData(), int(text.size()));
        col += textW;
        return;
    }
    selfEdit = true;
    const int base = block.position();
    cursor.setPosition(base + idx);
    if (endIdx > idx)
        cursor.setPosition(base + endIdx, QTextCursor::KeepAnchor);
    cursor.insertText(text, fmt);
    selfEdit = false;
    cache = info;
    cache.length += int(text.size()) - (endIdx - idx);
    cache.width += textW + over - removedWidth;
    cache.narrow = info.narrow && isNarrow(text.constData(), int(text.size()));
    cache.blockNumber = cursor.block().blockNumber();
    applyCursorRule();
    col += textW;
}

void LineRenderer::writeHighlighted(const QString &text, const QTextCharFormat &fmt)
{
    if (text.isEmpty())
        return;
    const QList<HighlightRange> ranges = host->highlightRanges(text);
    if (ranges.isEmpty()) {
        write(text, fmt);
        return;
    }
    int last = 0;
    for (const HighlightRange &r : ranges) {
        if (r.start > last)
            write(text.mid(last, r.start - last), fmt);
        QTextCharFormat coloured = fmt;
        coloured.setForeground(QBrush(r.colour));
        write(text.mid(r.start, r.end - r.start), coloured);
        last = r.end;
    }
    if (last < text.size())
        write(text.mid(last), fmt);
}

int LineRenderer::rowLimit() const
{
    if (columns > 0)
        return maxRowCells > 0 ? std::min(columns, maxRowCells) : columns;
    return maxRowCells;
}

// The rightmost column the cursor moves to.
int LineRenderer::lastColumn() const
{
    return columns > 0 ? std::min(columns, int(MaxColumn)) : MaxColumn;
}

void LineRenderer::flush()
{
    measuredUnits = measuredCells = 0;
    if (pendingText.isEmpty())
        return;
    // Swap the working state out first: writing may not re-enter it.
    QString text;
    text.swap(pendingText);
    std::vector<std::pair<int, QTextCharFormat>> runs;
    runs.swap(formatRuns);
    formatRuns.emplace_back(0, format);
    for (size_t k = 0; k < runs.size(); ++k) {
        const int start = runs[k].first;
        const int end = k + 1 < runs.size() ? runs[k + 1].first : int(text.size());
        if (end > start)
            writeHighlighted(start == 0 && end == text.size() ? text : text.mid(start, end - start), runs[k].second);
    }
    text.clear();
    pendingText.swap(text); // keeps the capacity for the next run of text
}

void LineRenderer::delFromCol(int c)
{
    flush();
    const QTextBlock block = currentRowBlock();
    if (!block.isValid())
        return;
    int before = 0;
    const int keep = indexOfColumn(block, c, &before);
    const int length = cache.length;
    if (debugLogEnabled())
        debugLog(QStringLiteral("  delFromCol(%1): lineLen=%2 keep=%3 -> %4")
                     .arg(c).arg(length).arg(keep).arg(length > keep ? QStringLiteral("delete") : QStringLiteral("noop")));
    if (length <= keep)
        return;
    selfEdit = true;
    cursor.setPosition(block.position() + keep);
    cursor.setPosition(block.position() + length, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    selfEdit = false;
    cache.length = keep;
    cache.width = before;
    // The row no longer reaches the margin: the row below starts a line.
    wrappedlines::markContinues(block.next(), false);
    applyCursorRule();
    if (debugLogEnabled())
        debugLog(QStringLiteral("  CUP-back redraw: deleted %1 chars from col %2 (keptWidth=%3)")
                     .arg(length - keep).arg(c).arg(before));
}

void LineRenderer::padToCol(int c)
{
    flush();
    const QTextBlock block = currentRowBlock();
    if (!block.isValid())
        return;
    const RowInfo &info = rowInfo(block);
    const int pad = c - info.width - 1;
    if (pad <= 0)
        return;
    if (debugLogEnabled())
        debugLog(QStringLiteral("  cursor-fwd: padded %1 spaces to col %2 (rowBack=%3)").arg(pad).arg(c).arg(rowBack));
    selfEdit = true;
    cursor.setPosition(block.position() + info.length);
    cursor.insertText(QString(pad, u' '));
    selfEdit = false;
    cache.length += pad;
    cache.width += pad;
    applyCursorRule();
}

void LineRenderer::moveToColumn(int c)
{
    if (c < col)
        delFromCol(c);
    else if (c > col)
        padToCol(c);
    col = c;
    syncCursor();
}

void LineRenderer::syncCursor()
{
    const QTextBlock block = currentRowBlock();
    if (!block.isValid())
        return;
    const int idx = std::min(indexOfColumn(block, col), cache.length);
    cursor.setPosition(block.position() + idx);
    host->placeViewCursor(cursor);
}

void LineRenderer::newline(bool wrap)
{
    if (rowBack == 0) {
        const int number = pendingAppend() ? cache.blockNumber : doc->blockCount() - 1;
        appendBreaks.push_back(int(appendBuffer.size()));
        appendWrapped.push_back(wrap);
        static const QString lineEnd(QChar::ParagraphSeparator);
        bufferAppend(lineEnd, format);
        cache = RowInfo();
        cache.blockNumber = number + 1;
        cache.valid = true;
        if (!editing && !held)
            commitAppend();
        else if (keepLines > 0 && appendBreaks.size() >= size_t(keepLines + std::max(256, keepLines / 8)))
            dropFlooded(); // now and then: each drop moves what is kept
    } else {
        --rowBack;
        if (wrap)
            wrappedlines::markContinues(currentRowBlock(), true);
    }
    col = 1;
}

void LineRenderer::expectErasedEcho(int extraBs)
{
    skipBs += extraBs;
    ++eraseEchoCount;
    eraseEchoTime = clock();
}

int LineRenderer::bytesBeforeCursor()
{
    const QTextBlock block = currentRowBlock();
    if (!block.isValid())
        return 1;
    const int idx = indexOfColumn(block, col);
    if (idx <= 0)
        return 1;
    const QString row = block.text();
    const int units = idx >= 2 && row.at(idx - 1).isLowSurrogate() && row.at(idx - 2).isHighSurrogate() ? 2 : 1;
    return int(row.mid(idx - units, units).toUtf8().size());
}

void LineRenderer::receivedBackspace()
{
    // An echo that never came (a bell at the start of the line) must not
    // swallow or turn into erases the BS of later cursor moves.
    if ((skipBs > 0 || eraseEchoCount > 0) && clock() - eraseEchoTime > 500)
        skipBs = eraseEchoCount = 0;
    if (skipBs > 0) {
        --skipBs;
        if (debugLogEnabled())
            debugLog(QStringLiteral("  RX \\x08 (BS): skipped (skipBs -> %1)").arg(skipBs));
        return;
    }
    flush();
    const QTextBlock block = currentRowBlock();
    // Only at the end of the row is a lone BS the whole echo of an erase;
    // inside the row the editor redraws what follows (or deletes with DCH)
    // after moving back.
    const bool atEnd = block.isValid() && col - 1 >= rowInfo(block).width;
    if (bs08 && eraseEchoCount > 0 && atEnd) {
        --eraseEchoCount;
        int w = 1;
        if (block.length() > 1) {
            const QString row = block.text();
            int units = 1;
            if (row.size() >= 2 && row.back().isLowSurrogate() && row.at(row.size() - 2).isHighSurrogate())
                units = 2;
            w = displayWidth(row.right(units));
            removeText(block.position() + int(row.size()) - units, block.position() + int(row.size()));
        }
        col = std::max(1, col - w);
        if (debugLogEnabled())
            debugLog(QStringLiteral("  RX \\x08 (BS): deleted last char as erase echo (moved=%1 w=%2 col->%3 rowBack=%4)")
                         .arg(w).arg(w).arg(col).arg(rowBack));
    } else {
        if (eraseEchoCount > 0)
            --eraseEchoCount;
        const int from = col;
        col = std::max(1, col - 1);
        if (debugLogEnabled())
            debugLog(QStringLiteral("  RX \\x08 (BS): col %1 -> %2").arg(from).arg(col));
    }
    syncCursor();
}

void LineRenderer::eraseToEnd()
{
    const QTextBlock block = currentRowBlock();
    rowBack = 0;
    if (!block.isValid())
        return;
    // Removing the rows below joins the last of them into this one, whose
    // mark it would take.
    const bool continues = wrappedlines::continuesAbove(block);
    const int start = block.position();
    removeText(start + indexOfColumn(block, col), doc->characterCount() - 1);
    wrappedlines::markContinues(doc->findBlock(start), continues);
    applyCursorRule();
}

void LineRenderer::clearDocument()
{
    commitAppend();
    selfEdit = true;
    cursor.select(QTextCursor::Document);
    cursor.removeSelectedText();
    selfEdit = false;
    wrappedlines::markContinues(doc->firstBlock(), false);
    cache.valid = false;
    col = 1;
    rowBack = 0;
}

void LineRenderer::keepCursorLine()
{
    QTextBlock line = currentRowBlock();
    if (!line.isValid()) {
        clearDocument();
        return;
    }
    while (wrappedlines::continuesAbove(line) && line.previous().isValid())
        line = line.previous();
    // The rows below stay too: a line editor that drew there (a completion
    // list) moves down into them and back by counting rows.
    if (line.position() > 0)
        removeText(0, line.position());
    wrappedlines::markContinues(doc->firstBlock(), false);
    syncCursor();
}

void LineRenderer::appendText(const QString &text)
{
    // Leaving the alternate screen hands back the rest of the text; going
    // on in a loop (not by recursion) keeps the stack flat whatever arrives.
    QString next = appendOnce(text);
    while (!next.isNull())
        next = appendOnce(next);
}

void LineRenderer::beginEdit()
{
    // One edit block per call: the document announces its changes once, and
    // cursor moves inside the block skip the layout of the line (which would
    // otherwise cost more than the edit itself).
    if (!editing) {
        cursor.beginEditBlock();
        editing = true;
    }
}

void LineRenderer::endEdit()
{
    if (!editing)
        return;
    if (!held)
        commitAppend();
    editing = false;
    // The document trims its scroll-back here: rows may renumber.
    const bool wasSelf = selfEdit;
    selfEdit = true;
    cursor.endEditBlock();
    selfEdit = wasSelf;
    if (pendingAppend())
        return; // the cache describes the rows still waiting
    // Blocks trimmed from the top renumber the rest; the cursor row is still
    // the same number of blocks from the end.
    if (cache.valid && cache.rowBack == rowBack)
        cache.blockNumber = doc->blockCount() - 1 - rowBack;
    else
        cache.valid = false;
}

void LineRenderer::resetParser()
{
    escapes.reset();
    charsets = CharacterSets();
}

void LineRenderer::carriageReturn()
{
    if (!pendingCr)
        return;
    pendingCr = false;
    delFromCol(1);
    col = 1;
}

int LineRenderer::print(const QChar *text, int size)
{
    carriageReturn();
    const int n = printableRun(text, size);
    if (charsets.drawing())
        CharacterSets::appendLineDrawing(pendingText, text, n);
    else
        pendingText.append(text, n);
    return n;
}

void LineRenderer::execute(char16_t control)
{
    switch (control) {
    case '\n':
        pendingCr = false; // CR LF and CR CR LF are one line end
        flush();
        newline();
        return;
    case '\r':
        pendingCr = true;
        return;
    case 0x0E: // SO and SI change no cell: a CR before them still waits
    case 0x0F:
        charsets.shift(control);
        return;
    default:
        break;
    }
    carriageReturn();
    if (control == 0x08)
        receivedBackspace();
    else if (control == '\t')
        tab();
    // Every other control (BEL, VT, FF, ...) is dropped.
}

QString LineRenderer::appendOnce(const QString &t)
{
    // The cursor may stand beyond the text of its row (a line editor moved
    // up from a longer one): it stays there, as on a terminal, whatever the
    // pieces the text arrives in; a write there pads the gap.
    if (debugLogEnabled() && !(pendingAppend() && rowBack == 0)) {
        const QTextBlock block = currentRowBlock();
        if (block.isValid() && block.length() - 1 <= 4096)
            debugLog(QStringLiteral("  appendText IN: col=%1 rowBack=%2 lineW=%3 blocks=%4 text=%5")
                         .arg(col).arg(rowBack).arg(rowInfo(block).width).arg(doc->blockCount()).arg(hexPrefix(t)));
    }
    pendingText.clear();
    measuredUnits = measuredCells = 0;
    formatRuns.clear();
    formatRuns.emplace_back(0, format);
    enterGrid = false;
    beginEdit();
    const int used = escapes.feed(t.constData(), int(t.size()), *this);
    flush();
    endEdit();
    if (!enterGrid)
        return QString();
    commitAppend(); // the grid takes the document as it stands
    return host->enterGridWith(t.mid(used));
}
