// Line mode's answers to the control sequences it acts on: the row edits a
// line editor sends (insert, delete, tab) and the CSI dispatcher. The table
// of what is supported is terminal/sequences.md.
#include "terminal/linerenderer.h"

#include "core/debuglog.h"
#include "terminal/escapeparser.h"
#include "terminal/palette.h"
#include "terminal/wrappedlines.h"

#include <QTextDocument>

#include <algorithm>

// Blanks up to the next multiple of 8 (or the last column), measured over
// the text not yet written; each unit is measured once however many tabs
// follow it.
void LineRenderer::tab()
{
    if (measuredUnits > pendingText.size())
        measuredUnits = measuredCells = 0;
    measuredCells += displayWidth(pendingText.constData() + measuredUnits, int(pendingText.size()) - measuredUnits);
    measuredUnits = int(pendingText.size());
    const int at = col + measuredCells;
    const int stop = std::min((at - 1) / 8 * 8 + 9, lastColumn());
    if (stop > at) {
        pendingText.resize(pendingText.size() + (stop - at), u' ');
        measuredCells += stop - at;
        measuredUnits = int(pendingText.size());
    }
}

// ICH and DCH on the cursor's row, as the grid does them: the cells right of
// the cursor move, the row keeps its wrap limit.
void LineRenderer::insertBlanks(int n)
{
    const QTextBlock block = currentRowBlock();
    if (!block.isValid())
        return;
    const int idx = indexOfColumn(block, col);
    if (idx >= cache.length)
        return; // blanks at the end of a row are not drawn
    TextAttributes blank;
    blank.background = lineAttrs.background;
    selfEdit = true;
    cursor.setPosition(block.position() + idx);
    cursor.insertText(QString(std::min(n, MaxColumn), u' '), cellFormat(blank));
    selfEdit = false;
    cache.valid = false;
    const int limit = rowLimit();
    if (limit > 0) {
        const int cut = indexOfColumn(block, limit + 1);
        if (cut < cache.length)
            removeText(block.position() + cut, block.position() + cache.length);
    }
    syncCursor();
}

void LineRenderer::removeText(int from, int to)
{
    selfEdit = true;
    cursor.setPosition(from);
    cursor.setPosition(to, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    selfEdit = false;
    cache.valid = false;
}

void LineRenderer::deleteCells(int n)
{
    const QTextBlock block = currentRowBlock();
    if (!block.isValid())
        return;
    const int from = indexOfColumn(block, col);
    const int to = indexOfColumn(block, col + std::min(n, MaxColumn));
    if (to <= from)
        return;
    removeText(block.position() + from, block.position() + to);
    syncCursor();
}

void LineRenderer::answerQuery(char final, int p1)
{
    if (final == 'c' && p1 == 0) {
        host->sendReply(QByteArray("\x1b[?1;2c"));
    } else if (final == 'n' && p1 == 5) {
        host->sendReply(QByteArray("\x1b[0n"));
    } else if (final == 'n' && p1 == 6 && host->screenRows() > 0) {
        // The screen is the last screenRows lines of the document.
        const int lines = std::min(host->screenRows(), doc->blockCount());
        const int row = std::max(1, lines - rowBack);
        host->sendReply(QStringLiteral("\x1b[%1;%2R").arg(row).arg(col).toUtf8());
    }
}

// DECSET and DECRST: the terminal's input modes, and the switch to the
// alternate screen. Returns true when the sequence switched.
bool LineRenderer::setModes(const CsiSequence &seq)
{
    InputModes *modes = host->inputModes();
    const bool set = seq.final == 'h';
    bool acted = false;
    for (int k = 0; k < seq.count; ++k) {
        const int mode = seq.params[k];
        if (modes && modes->setMode(mode, set))
            acted = true;
        else if (set && (mode == 47 || mode == 1047 || mode == 1049))
            enterGrid = true;
    }
    if (!acted && !enterGrid)
        ++unhandled;
    return enterGrid;
}

// Returns true when the sequence switched to the alternate screen.
bool LineRenderer::csiDispatch(const CsiSequence &seq)
{
    if (seq.prefix == '?') {
        carriageReturn();
        if (seq.final != 'h' && seq.final != 'l') {
            ++unhandled;
            return false;
        }
        return setModes(seq);
    }
    // Programs wait for the answers to their device queries (vttest starts
    // with one), whichever screen is on: line mode answers like the grid.
    if (seq.prefix == '>' && seq.final == 'c') { // secondary DA
        carriageReturn();
        host->sendReply(QByteArray("\x1b[>0;95;0c"));
        return false;
    }
    // Other prefixes and intermediates select sequences this renderer does
    // not implement (key modifier settings, DECSCUSR, ...): they are dropped.
    if (seq.prefix != 0 || seq.intermediateCount > 0) {
        carriageReturn();
        ++unhandled;
        return false;
    }
    if (seq.final == 'm') { // SGR: a CR before it still waits for what follows
        applySgr(lineAttrs, seq.params, seq.count);
        updateFormat();
        const int at = int(pendingText.size());
        if (formatRuns.back().first == at)
            formatRuns.back().second = format;
        else
            formatRuns.emplace_back(at, format);
        return false;
    }
    // The actions below read the document as it stands. A CR before them
    // only moves to column 1: line editors put the cursor back with CR and
    // CUF over text that they keep.
    flush();
    commitAppend();
    if (pendingCr) {
        pendingCr = false;
        col = 1;
    }
    const int p1 = seq.params[0];
    const int n = std::max(1, p1);
    switch (seq.final) {
    case 'H': // CUP: the row is not followed, only the column
    case 'f': // HVP
        moveToColumn(seq.count >= 2 ? std::clamp(seq.params[1], 1, lastColumn()) : 1);
        break;
    case 'G': { // CHA
        const int from = col;
        moveToColumn(p1 > 0 ? std::min(p1, lastColumn()) : 1);
        if (debugLogEnabled())
            debugLog(QStringLiteral("  RX CUP: col %1 -> %2").arg(from).arg(col));
        break;
    }
    case 'A': // CUU
        rowBack = std::min(rowBack + n, std::min(MaxRowsBack, std::max(0, doc->blockCount() - 1)));
        if (debugLogEnabled())
            debugLog(QStringLiteral("  RX CUU: +%1 -> rowBack=%2 col=%3").arg(n).arg(rowBack).arg(col));
        syncCursor();
        break;
    case 'B': // CUD
        rowBack = std::max(0, rowBack - n);
        syncCursor();
        break;
    case 'C': { // CUF
        const int step = std::min(n, std::max(0, lastColumn() - col));
        padToCol(col + step);
        col += step;
        syncCursor();
        break;
    }
    case 'D': // CUB
        col = std::max(1, col - n);
        syncCursor();
        break;
    case '@': // ICH
        insertBlanks(n);
        break;
    case 'P': // DCH
        deleteCells(n);
        break;
    case 'J': // ED
        if (p1 == 2)
            clearDocument();
        else if (p1 == 0)
            eraseToEnd();
        break;
    case 'c': // DA
    case 'n': // DSR
        answerQuery(char(seq.final), p1);
        break;
    case 'K': // EL
        if (debugLogEnabled())
            debugLog(QStringLiteral("  RX EL(K): col=%1 width=%2 rowBack=%3").arg(col).arg(p1).arg(rowBack));
        if (p1 == 0)
            delFromCol(col);
        else if (p1 == 2)
            delFromCol(1);
        break;
    case 'X': { // ECH: the cursor stays, the blanks end at the last column
        const int count = std::clamp(p1, 1, std::max(1, lastColumn() - col + 1));
        if (debugLogEnabled())
            debugLog(QStringLiteral("  RX ECH: erased %1 chars").arg(count));
        const int at = col;
        write(QString(count, u' '), format);
        commitAppend();
        col = at;
        syncCursor();
        break;
    }
    default:
        ++unhandled;
        break;
    }
    return false;
}

// A full reset and keypad mode; the rest (designations, cursor saves)
// means nothing to line mode.
void LineRenderer::escDispatch(const EscSequence &seq)
{
    // A designation changes no cell, as SGR: a CR before it still waits.
    if (charsets.designate(seq))
        return;
    carriageReturn();
    InputModes *modes = host->inputModes();
    if (seq.final == 'c' && seq.intermediateCount == 0) // RIS
        fullReset();
    else if (modes && seq.intermediateCount == 0 && (seq.final == '=' || seq.final == '>'))
        modes->appKeypad = seq.final == '=';
    else
        ++unhandled;
}

// `reset` and the like: the view starts empty, with the default pen. What
// was received before it in the same text is never drawn.
void LineRenderer::fullReset()
{
    pendingText.clear();
    measuredUnits = measuredCells = 0;
    discardAppends();
    clearDocument();
    resetAttributes();
    charsets = CharacterSets();
    formatRuns.clear();
    formatRuns.emplace_back(0, format);
    if (InputModes *modes = host->inputModes())
        modes->reset();
}

void LineRenderer::reflow()
{
    if (columns <= 0 || columns == flowedColumns)
        return;
    flowedColumns = columns;
    // The line the cursor is on, and what follows it, belong to the program
    // still writing there: a shell redraws its command line after a resize
    // by moving up over the rows it left. Only the lines above are laid out
    // again; the cursor keeps its row and column.
    QTextBlock line = currentRowBlock();
    while (line.isValid() && wrappedlines::continuesAbove(line) && line.previous().isValid())
        line = line.previous();
    const int keep = line.isValid() ? doc->blockCount() - line.blockNumber() : rowBack + 1;
    selfEdit = true;
    wrappedlines::reflow(doc, columns, keep);
    selfEdit = false;
    cache.valid = false;
    if (!host->selectingWithMouse())
        syncCursor();
}
