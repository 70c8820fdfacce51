#pragma once

#include "terminal/escapeparser.h"

#include <QString>

// The two character sets of a DEC VT terminal that programs use: G0 and G1,
// designated by ESC ( F and ESC ) F, and the one in use, chosen by SI (G0)
// and SO (G1). Two sets are known: ASCII (final "B") and the DEC special
// graphics set (final "0"), in which curses draws boxes ("lqqk" is the top
// of one); any other final designates ASCII. A plain value: the screen
// grid copies it when it saves the cursor, the terminal hands it between
// line mode and the grid.
class CharacterSets
{
public:
    // True while printable text goes through the line-drawing table. The
    // renderers ask once per run of text, so plain output pays nothing more.
    bool drawing() const { return lineDrawing; }
    // Takes ESC ( F and ESC ) F; false for any other escape sequence.
    bool designate(const EscSequence &seq);
    // Takes SO and SI; false for any other control.
    bool shift(char16_t control);
    // The unit the line-drawing set shows for u: 0x5F..0x7E change, every
    // other unit stays as it is.
    static char16_t lineDrawingUnit(char16_t u);
    // Appends size units, each through the table.
    static void appendLineDrawing(QString &out, const QChar *text, int size);

private:
    bool g0Drawing = false;
    bool g1Drawing = false;
    bool g1InUse = false;
    bool lineDrawing = false;
};
