#include "terminal/screengrid.h"

#include "terminal/escapeparser.h"
#include "terminal/palette.h"

#include <algorithm>
#include <cstdlib>

namespace {

bool isLowSurrogate(char16_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

} // namespace

ScreenGrid::ScreenGrid(int cols, int rows, InputModes *shared) : modes(shared ? shared : &ownModes)
{
    resize(cols, rows);
}

void ScreenGrid::resize(int newCols, int newRows)
{
    newCols = std::clamp(newCols, 2, 1024);
    newRows = std::clamp(newRows, 2, 256);
    if (newCols == cols && newRows == rows && !cells.empty())
        return;
    std::vector<ScreenCell> fresh(size_t(newCols) * size_t(newRows));
    if (!cells.empty()) {
        const int keepRows = std::min(rows, newRows);
        const int keepCols = std::min(cols, newCols);
        for (int r = 0; r < keepRows; ++r)
            std::copy_n(cells.data() + rowStart(r), keepCols, fresh.data() + size_t(r) * size_t(newCols));
        // A wide character cut in half by the new right edge would leave a
        // left half without its right half.
        if (keepCols < cols) {
            for (int r = 0; r < keepRows; ++r) {
                ScreenCell &last = fresh[size_t(r) * size_t(newCols) + size_t(keepCols - 1)];
                if (last.width == 2) {
                    last.width = 1;
                    last.ch = u' ';
                }
            }
        }
    }
    cells.swap(fresh);
    cols = newCols;
    rows = newRows;
    rowStarts.resize(size_t(rows));
    for (int r = 0; r < rows; ++r)
        rowStarts[size_t(r)] = r * cols;
    // Rows cut or widened no longer break where the margin was.
    continued.assign(size_t(rows), 0);
    markAllChanged();
    clampCursor();
    // The saved position must fit the new screen too, or a later restore
    // would address cells that no longer exist.
    savedRow = std::clamp(savedRow, 0, rows - 1);
    savedCol = std::clamp(savedCol, 0, cols - 1);
    scrollTop = 0;
    scrollBottom = rows - 1;
    wrapPending = false;
    dirty = true;
}

void ScreenGrid::clampCursor()
{
    cursorRow = std::clamp(cursorRow, 0, rows - 1);
    cursorCol = std::clamp(cursorCol, 0, cols - 1);
}

ScreenCell ScreenGrid::eraseBlank() const
{
    ScreenCell blank;
    blank.attributes.background = attrs.background;
    return blank;
}

void ScreenGrid::blankRow(int row, const ScreenCell &blank)
{
    std::fill_n(rowCells(row), cols, blank);
    setContinues(row, false);
}

void ScreenGrid::wrapToNextRow()
{
    cursorCol = 0;
    const int from = cursorRow;
    lineFeed();
    // On the last row below the scroll region the text goes on over the
    // start of its own row, not in a row of its own.
    if (cursorRow != from || from == scrollBottom)
        setContinues(cursorRow, true);
}

void ScreenGrid::shiftRows(int top, int bottom, int n)
{
    const int height = bottom - top + 1;
    const int count = std::clamp(std::abs(n), 1, height);
    if (count < height) {
        // Only the map of row starts turns; the cells stay where they are.
        auto first = rowStarts.begin() + top;
        auto last = rowStarts.begin() + bottom + 1;
        std::rotate(first, n > 0 ? first + count : last - count, last);
        std::fill(changedRows.begin() + top, changedRows.begin() + bottom + 1, quint8(1));
    }
    const ScreenCell blank = eraseBlank();
    const int firstBlank = n > 0 ? bottom - count + 1 : top;
    for (int r = firstBlank; r < firstBlank + count; ++r)
        blankRow(r, blank);
    // A row goes on from the row that stood above it when it was written;
    // where the move gave a row another neighbour above, that is over. At
    // the top of the screen the row it went on from has only left the
    // screen, and nothing above could be joined to it.
    if (n > 0 && top > 0)
        setContinues(top, false);
    if (n < 0 && count < height)
        setContinues(top + count, false);
    if (bottom + 1 < rows)
        setContinues(bottom + 1, false);
    dirty = true;
}

void ScreenGrid::lineFeed()
{
    wrapPending = false;
    if (cursorRow == scrollBottom)
        scrollUp(1);
    else if (cursorRow < rows - 1)
        ++cursorRow;
}

void ScreenGrid::reverseIndex()
{
    wrapPending = false;
    if (cursorRow == scrollTop)
        scrollDown(1);
    else if (cursorRow > 0)
        --cursorRow;
}

void ScreenGrid::scrollUp(int n)
{
    shiftRows(scrollTop, scrollBottom, n);
}

void ScreenGrid::scrollDown(int n)
{
    shiftRows(scrollTop, scrollBottom, -n);
}

void ScreenGrid::eraseCells(int row, int from, int to)
{
    if (row < 0 || row >= rows)
        return;
    from = std::clamp(from, 0, cols);
    to = std::clamp(to, 0, cols);
    if (from < to) {
        ScreenCell *cells = rowCells(row);
        std::fill(cells + from, cells + to, eraseBlank());
        repairEdges(cells, from, to);
    }
    // A row erased whole no longer holds the text that reached it, nor the
    // text that the row below went on from.
    if (from == 0 && to == cols) {
        setContinues(row, false);
        if (row + 1 < rows)
            setContinues(row + 1, false);
    }
    dirty = true;
}

void ScreenGrid::repairEdges(ScreenCell *row, int from, int to)
{
    // A wide character cut by the edge of a changed range keeps one half
    // only; a lone half would shift the rendered row, so it becomes a blank.
    if (from > 0 && row[from - 1].width == 2 && row[from].width != 0) {
        row[from - 1].ch = u' ';
        row[from - 1].width = 1;
    }
    if (to < cols && row[to].width == 0 && (to == 0 || row[to - 1].width != 2)) {
        row[to].ch = u' ';
        row[to].width = 1;
    }
}

void ScreenGrid::saveCursor()
{
    savedRow = cursorRow;
    savedCol = cursorCol;
    savedAttrs = attrs;
    savedWrapPending = wrapPending;
    savedCharsets = charsets;
}

void ScreenGrid::restoreCursor()
{
    cursorRow = std::clamp(savedRow, 0, rows - 1);
    cursorCol = std::clamp(savedCol, 0, cols - 1);
    attrs = savedAttrs;
    wrapPending = savedWrapPending;
    charsets = savedCharsets;
}

void ScreenGrid::clearWideNeighbours(ScreenCell *row, int col)
{
    // Overwriting one half of a wide character leaves the other half
    // meaningless: it becomes a blank that keeps its pen.
    if (row[col].width == 0 && col > 0 && row[col - 1].width == 2) {
        row[col - 1].ch = u' ';
        row[col - 1].width = 1;
    }
    if (row[col].width == 2 && col + 1 < cols && row[col + 1].width == 0) {
        row[col + 1].ch = u' ';
        row[col + 1].width = 1;
    }
}

inline void ScreenGrid::putNarrow(char16_t u)
{
    if (wrapPending && autoWrap)
        wrapToNextRow();
    wrapPending = false;
    ScreenCell *row = rowCells(cursorRow);
    ScreenCell &cell = row[cursorCol];
    if (cell.width != 1)
        clearWideNeighbours(row, cursorCol);
    cell.attributes = attrs;
    cell.ch = u;
    cell.width = 1;
    if (++cursorCol >= cols) {
        cursorCol = cols - 1;
        wrapPending = autoWrap;
    }
    dirty = true;
}

int ScreenGrid::putChar(const QChar *text, int size)
{
    const char16_t u = text[0].unicode();
    const char16_t next = size > 1 ? text[1].unicode() : 0;
    const int w = unitWidth(u, next);
    if (w == 0)
        return 1;
    if (w == 1) {
        putNarrow(u);
        return 1;
    }
    const bool pair = isLowSurrogate(next);
    const int used = pair ? 2 : 1;
    if (wrapPending && autoWrap)
        wrapToNextRow();
    wrapPending = false;
    if (cursorCol >= cols - 1) {
        if (!autoWrap) {
            eraseCells(cursorRow, cursorCol, cursorCol + 1);
            return used;
        }
        wrapToNextRow();
    }
    ScreenCell *row = rowCells(cursorRow);
    clearWideNeighbours(row, cursorCol);
    clearWideNeighbours(row, cursorCol + 1);
    row[cursorCol] = ScreenCell{attrs, u, 2};
    row[cursorCol + 1] = ScreenCell{attrs, pair ? next : char16_t(0), 0};
    cursorCol += 2;
    if (cursorCol >= cols) {
        cursorCol = cols - 1;
        wrapPending = autoWrap;
    }
    dirty = true;
    return used;
}

void ScreenGrid::fullReset()
{
    std::fill(cells.begin(), cells.end(), ScreenCell());
    std::fill(continued.begin(), continued.end(), quint8(0));
    markAllChanged();
    cursorRow = cursorCol = 0;
    scrollTop = 0;
    scrollBottom = rows - 1;
    resetAttributes(attrs);
    wrapPending = false;
    autoWrap = true;
    cursorVisible = true;
    modes->reset();
    savedRow = savedCol = 0;
    resetAttributes(savedAttrs);
    savedWrapPending = false;
    charsets = savedCharsets = CharacterSets();
    dirty = true;
}

QString ScreenGrid::feed(const QString &text)
{
    leftAltScreen = false;
    const int used = escapes.feed(text.constData(), int(text.size()), *this);
    return leftAltScreen ? text.mid(used) : QString();
}

int ScreenGrid::print(const QChar *text, int size)
{
    if (charsets.drawing())
        return printLineDrawing(text, size);
    int i = 0;
    while (i < size) {
        const char16_t u = text[i].unicode();
        if (u < 0x7F) {
            if (u < 0x20)
                break;
            putNarrow(u);
            ++i;
        } else if (u == 0x7F) {
            break;
        } else {
            i += putChar(text + i, size - i);
        }
    }
    return i;
}

// print() with the line-drawing set in use: kept apart so that plain text
// pays nothing for it.
int ScreenGrid::printLineDrawing(const QChar *text, int size)
{
    int i = 0;
    while (i < size) {
        const char16_t u = text[i].unicode();
        if (u < 0x20 || u == 0x7F)
            break;
        if (u < 0x7F) {
            putNarrow(CharacterSets::lineDrawingUnit(u));
            ++i;
        } else {
            i += putChar(text + i, size - i);
        }
    }
    return i;
}

void ScreenGrid::execute(char16_t control)
{
    switch (control) {
    case 0x08:
        cursorCol = std::max(0, cursorCol - 1);
        wrapPending = false;
        break;
    case 0x09:
        cursorCol = std::min(cols - 1, (cursorCol / 8) * 8 + 8);
        wrapPending = false;
        break;
    case 0x0A:
    case 0x0B:
    case 0x0C:
        lineFeed();
        break;
    case 0x0D:
        cursorCol = 0;
        wrapPending = false;
        break;
    case 0x0E: // SO
    case 0x0F: // SI
        charsets.shift(control);
        break;
    default: // BEL and the other C0 controls
        break;
    }
}

void ScreenGrid::escDispatch(const EscSequence &seq)
{
    // Of the designations (ESC ( B and the like, with an intermediate) only
    // G0 and G1 mean something here; the others are dropped.
    if (seq.intermediateCount > 0) {
        charsets.designate(seq);
        return;
    }
    switch (seq.final) {
    case '7': saveCursor(); break;
    case '8': restoreCursor(); break;
    // DECKPAM / DECKPNM choose what the numeric keypad sends; the cursor
    // keys are DECCKM's alone (mc sends ESC > after every title and still
    // expects ESC O B from Down).
    case '=': modes->appKeypad = true; break;
    case '>': modes->appKeypad = false; break;
    case 'D': lineFeed(); break;
    case 'E':
        cursorCol = 0;
        lineFeed();
        break;
    case 'M': reverseIndex(); break;
    case 'c': fullReset(); break;
    default: break;
    }
}

void ScreenGrid::sendReply(const QByteArray &bytes)
{
    if (reply)
        reply(bytes);
}

bool ScreenGrid::setModes(const CsiSequence &seq, bool set)
{
    bool altMode = false;
    bool has1049 = false;
    for (int k = 0; k < seq.count; ++k) {
        if (modes->setMode(seq.params[k], set))
            continue;
        switch (seq.params[k]) {
        case 7: autoWrap = set; break;
        case 25: cursorVisible = set; break;
        case 1048:
            if (set)
                saveCursor();
            else
                restoreCursor();
            break;
        case 47:
        case 1047:
        case 1049:
            altMode = true;
            has1049 = has1049 || seq.params[k] == 1049;
            if (set) {
                saveCursor();
                std::fill(cells.begin(), cells.end(), ScreenCell());
                markAllChanged();
                dirty = true;
            }
            break;
        default: break;
        }
    }
    if (set || !altMode)
        return false;
    if (has1049)
        restoreCursor();
    return true;
}

// Private and other prefixed sequences mean something else than their plain
// forms (CSI > 4;2 m sets key modifiers, it is not SGR), except these:
// DECSED and DECSEL (CSI ? J, CSI ? K) spare protected cells, and no cell is
// ever protected here, so they erase as ED and EL do; CSI = c asks for the
// device attributes and gets the answer of CSI c.
bool ScreenGrid::actsAsPlain(const CsiSequence &seq)
{
    return (seq.prefix == '?' && (seq.final == 'J' || seq.final == 'K')) || (seq.prefix == '=' && seq.final == 'c');
}

// True when the program left the alternate screen: the scan stops there.
bool ScreenGrid::csiDispatch(const CsiSequence &seq)
{
    if (seq.prefix == '?' && (seq.final == 'h' || seq.final == 'l')) {
        leftAltScreen = setModes(seq, seq.final == 'h');
        return leftAltScreen;
    }
    if (seq.prefix == '>' && seq.final == 'c') {
        sendReply(QByteArray("\x1b[>0;95;0c"));
        return false;
    }
    if (seq.intermediateCount > 0 || (seq.prefix != 0 && !actsAsPlain(seq))) {
        ++unhandled;
        return false;
    }

    const int p1 = seq.params[0];
    const int n = p1 > 0 ? p1 : 1;
    switch (seq.final) {
    case '@': { // ICH, ECMA-48 8.3.64
        const int m = std::min(n, cols - cursorCol);
        ScreenCell *row = rowCells(cursorRow);
        std::copy_backward(row + cursorCol, row + cols - m, row + cols);
        std::fill_n(row + cursorCol, m, eraseBlank());
        repairEdges(row, cursorCol, cursorCol + m);
        if (row[cols - 1].width == 2) { // pushed half over the edge
            row[cols - 1].ch = u' ';
            row[cols - 1].width = 1;
        }
        dirty = true;
        break;
    }
    case 'A': // CUU
    case 'F': { // CPL
        const int top = cursorRow >= scrollTop ? scrollTop : 0;
        cursorRow = std::max(top, cursorRow - n);
        wrapPending = false;
        if (seq.final == 'F')
            cursorCol = 0;
        break;
    }
    case 'B': // CUD
    case 'E': { // CNL
        const int bottom = cursorRow <= scrollBottom ? scrollBottom : rows - 1;
        cursorRow = std::min(bottom, cursorRow + n);
        wrapPending = false;
        if (seq.final == 'E')
            cursorCol = 0;
        break;
    }
    case 'C': // CUF
        cursorCol = std::min(cols - 1, cursorCol + n);
        wrapPending = false;
        break;
    case 'D': // CUB
        cursorCol = std::max(0, cursorCol - n);
        wrapPending = false;
        break;
    case 'G': // CHA
    case '`': // HPA
        cursorCol = std::min(n, cols) - 1;
        wrapPending = false;
        break;
    case 'H': // CUP
    case 'f': { // HVP
        const int p2 = seq.param(1);
        cursorRow = std::max(0, std::min(p1 > 0 ? p1 : 1, rows) - 1);
        cursorCol = std::max(0, std::min(seq.count >= 2 && p2 > 0 ? p2 : 1, cols) - 1);
        wrapPending = false;
        break;
    }
    case 'd': // VPA
        cursorRow = std::min(n, rows) - 1;
        wrapPending = false;
        break;
    case 'J': // ED
        if (p1 == 0) {
            eraseCells(cursorRow, cursorCol, cols);
            for (int r = cursorRow + 1; r < rows; ++r)
                eraseCells(r, 0, cols);
        } else if (p1 == 1) {
            for (int r = 0; r < cursorRow; ++r)
                eraseCells(r, 0, cols);
            eraseCells(cursorRow, 0, cursorCol + 1);
        } else if (p1 == 2 || p1 == 3) {
            for (int r = 0; r < rows; ++r)
                eraseCells(r, 0, cols);
        }
        break;
    case 'K': // EL
        if (p1 == 0)
            eraseCells(cursorRow, cursorCol, cols);
        else if (p1 == 1)
            eraseCells(cursorRow, 0, cursorCol + 1);
        else if (p1 == 2)
            eraseCells(cursorRow, 0, cols);
        break;
    case 'L': // IL
    case 'M': { // DL
        if (cursorRow < scrollTop || cursorRow > scrollBottom)
            break;
        shiftRows(cursorRow, scrollBottom, seq.final == 'L' ? -n : n);
        cursorCol = 0;
        wrapPending = false;
        break;
    }
    case 'P': { // DCH, ECMA-48 8.3.26
        const int m = std::min(n, cols - cursorCol);
        ScreenCell *row = rowCells(cursorRow);
        std::copy(row + cursorCol + m, row + cols, row + cursorCol);
        std::fill_n(row + cols - m, m, eraseBlank());
        repairEdges(row, cursorCol, cursorCol);
        dirty = true;
        break;
    }
    case 'S': scrollUp(n); break; // SU
    case 'T': scrollDown(n); break; // SD
    case 'X': // ECH
        eraseCells(cursorRow, cursorCol, cursorCol + std::min(n, cols - cursorCol));
        break;
    case 'c': // DA
        if (p1 == 0)
            sendReply(QByteArray("\x1b[?1;2c"));
        break;
    case 'm': applySgr(attrs, seq.params, seq.count); break; // SGR
    case 'n': // DSR
        if (p1 == 5)
            sendReply(QByteArray("\x1b[0n"));
        else if (p1 == 6)
            sendReply(QStringLiteral("\x1b[%1;%2R").arg(cursorRow + 1).arg(cursorCol + 1).toUtf8());
        break;
    case 'r': { // DECSTBM
        const int p2 = seq.param(1);
        const int top = p1 > 0 ? p1 : 1;
        const int bottom = seq.count >= 2 && p2 > 0 ? p2 : rows;
        if (bottom > rows || top >= bottom)
            break;
        scrollTop = top - 1;
        scrollBottom = bottom - 1;
        cursorRow = cursorCol = 0;
        wrapPending = false;
        break;
    }
    case 's': saveCursor(); break; // SCOSC
    case 'u': restoreCursor(); break; // SCORC
    default: ++unhandled; break;
    }
    return false;
}

QString ScreenGrid::rowText(int row, std::vector<CellRun> *runs) const
{
    QString text;
    std::vector<CellRun> local;
    std::vector<CellRun> &out = runs ? *runs : local;
    out.clear();
    if (row < 0 || row >= rows)
        return text;
    text.reserve(cols);
    const ScreenCell *cell = cells.data() + rowStart(row);
    for (int c = 0; c < cols; ++c, ++cell) {
        if (cell->width == 0) {
            if (isLowSurrogate(cell->ch) && !text.isEmpty()) {
                text.append(QChar(cell->ch));
                out.back().end = int(text.size());
            }
            continue;
        }
        if (out.empty() || !cellAttributesEqual(out.back().attributes, cell->attributes))
            out.push_back(CellRun{int(text.size()), int(text.size()), cell->attributes});
        text.append(QChar(cell->ch));
        out.back().end = int(text.size());
    }
    const bool wrapsOn = row + 1 < rows && rowContinues(row + 1);
    while (!wrapsOn && !text.isEmpty() && text.back() == u' ' && !out.empty() && out.back().attributes.isDefault()) {
        text.chop(1);
        if (text.size() <= out.back().start)
            out.pop_back();
    }
    for (CellRun &run : out)
        run.end = std::min(run.end, int(text.size()));
    return text;
}

int ScreenGrid::textOffset(int row, int column) const
{
    if (row < 0 || row >= rows || column < 1)
        return 0;
    const ScreenCell *cell = cells.data() + rowStart(row);
    const int limit = std::min(column, cols);
    int offset = 0;
    for (int c = 0; c < limit; ++c)
        if (cell[c].width != 0 || isLowSurrogate(cell[c].ch))
            ++offset;
    return offset;
}
