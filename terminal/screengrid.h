#pragma once

#include "terminal/charsets.h"
#include "terminal/escapeparser.h"
#include "terminal/inputmodes.h"
#include "terminal/textattributes.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <functional>
#include <vector>

// One cell: a UTF-16 unit (the high unit of a pair; for the right half of a
// wide character the low surrogate or 0), its width 1, 2 (left half) or 0
// (right half), and the pen it was written with.
struct ScreenCell
{
    TextAttributes attributes;
    char16_t ch = u' ';
    quint8 width = 1;
};

// A run of one rendered row: character indexes [start, end) of the row's
// text, all with the same pen.
struct CellRun
{
    int start = 0;
    int end = 0;
    TextAttributes attributes;
};

// The fixed screen of cells that full-screen programs draw on while the
// alternate screen is active: a DEC VT subset with a scroll region,
// current and saved pens and a few modes. Text in through feed(), answers to
// device queries out through `reply`. No scroll-back, no widgets.
class ScreenGrid : private EscapeHandler
{
public:
    // modes: the terminal's input modes, which outlive the grid; without
    // them the grid keeps its own.
    ScreenGrid(int cols, int rows, InputModes *modes = nullptr);

    // Parses decoded text. Returns the text that followed a sequence leaving
    // the alternate screen (leftAltScreen is then on), else an empty text.
    QString feed(const QString &text);
    void resize(int cols, int rows);

    int columnCount() const { return cols; }
    int rowCount() const { return rows; }
    const ScreenCell &cellAt(int row, int col) const { return cells[rowStart(row) + col]; }
    // The row's text without trailing blanks, but for a row that the next
    // one continues: there every cell is part of the line.
    QString rowText(int row, std::vector<CellRun> *runs = nullptr) const;
    int textOffset(int row, int column) const;
    // True when the row goes on with the line above: the text reached it by
    // automatic wrap at the right margin, no erase of the whole row or of
    // the row above has replaced either since, and no scroll or inserted or
    // deleted line has put another row above it.
    bool rowContinues(int row) const { return continued[size_t(physicalRow(row))] != 0; }
    bool isDirty() const { return dirty; }
    // True when the row's cells changed since clearDirty.
    bool rowChanged(int row) const { return changedRows[size_t(row)] != 0; }
    void clearDirty()
    {
        dirty = false;
        std::fill(changedRows.begin(), changedRows.end(), quint8(0));
    }

    int cursorRow = 0;
    int cursorCol = 0;
    int scrollTop = 0;
    int scrollBottom = 23;
    TextAttributes attrs;
    int savedRow = 0;
    int savedCol = 0;
    TextAttributes savedAttrs;
    bool savedWrapPending = false;
    CharacterSets charsets;
    CharacterSets savedCharsets;
    bool wrapPending = false;
    bool autoWrap = true;
    bool cursorVisible = true;
    bool dirty = true;
    bool leftAltScreen = false;
    const EscapeScanner &scanner() const { return escapes; }
    // Sequences read and dropped since the grid was made, for the debug log.
    qint64 unhandledSequences() const { return unhandled; }
    std::function<void(const QByteArray &)> reply;
    InputModes &inputModes() { return *modes; }
    const InputModes &inputModes() const { return *modes; }

    // Cell operations (also used by the CSI dispatch).
    void lineFeed();
    void reverseIndex();
    void scrollUp(int n);
    void scrollDown(int n);
    void eraseCells(int row, int from, int to);
    // Writes the character at text[0] and returns the units it used.
    int putChar(const QChar *text, int size);
    void saveCursor();
    void restoreCursor();

private:
    int cols = 80;
    int rows = 24;
    // Rows are addressed through a map of row starts, so scrolling the
    // region rotates the map instead of moving whole rows of cells.
    std::vector<ScreenCell> cells;
    std::vector<int> rowStarts;
    std::vector<quint8> changedRows;
    // Per row of `cells` (not per screen row), so that it moves with the map.
    std::vector<quint8> continued;
    qint64 unhandled = 0;
    EscapeScanner escapes;
    InputModes ownModes;
    InputModes *modes;

    int rowStart(int row) const { return rowStarts[size_t(row)]; }
    int physicalRow(int row) const { return rowStarts[size_t(row)] / cols; }
    // The row above is drawn anew too: its trailing blanks belong to the
    // line exactly while this row goes on with it.
    void setContinues(int row, bool on)
    {
        quint8 &mark = continued[size_t(physicalRow(row))];
        if (mark != quint8(on) && row > 0)
            changedRows[size_t(row - 1)] = 1;
        mark = on;
    }
    // The automatic wrap: the cursor goes to the start of the next row, which
    // continues the line.
    void wrapToNextRow();
    // Every write to a row's cells goes through here.
    ScreenCell *rowCells(int row)
    {
        changedRows[size_t(row)] = 1;
        return cells.data() + rowStarts[size_t(row)];
    }
    void markAllChanged() { changedRows.assign(size_t(rows), 1); }
    ScreenCell eraseBlank() const;
    void blankRow(int row, const ScreenCell &blank);
    // Moves the rows top..bottom up by n (down for a negative n) among
    // themselves; the rows left behind become erase blanks.
    void shiftRows(int top, int bottom, int n);
    void putNarrow(char16_t u);
    int printLineDrawing(const QChar *text, int size);
    void clearWideNeighbours(ScreenCell *row, int col);
    void repairEdges(ScreenCell *row, int from, int to);
    void fullReset();
    void clampCursor();
    bool setModes(const CsiSequence &seq, bool set);
    static bool actsAsPlain(const CsiSequence &seq);
    void sendReply(const QByteArray &bytes);

    int print(const QChar *text, int size) override;
    void execute(char16_t control) override;
    bool csiDispatch(const CsiSequence &seq) override;
    void escDispatch(const EscSequence &seq) override;
};
