#include "terminal/charsets.h"

namespace {

constexpr char16_t SO = 0x0E;
constexpr char16_t SI = 0x0F;

// 0x5F..0x7E in the DEC special graphics set: a no-break blank, the diamond,
// the checkerboard, the pictures of HT FF CR LF, degree, plus-minus, the
// pictures of NL and VT, the corners and the crossing, scan lines 1 and 3,
// the horizontal line (scan line 5), scan lines 7 and 9, the tees, the
// vertical line, less-equal, greater-equal, pi, not-equal, pound and the
// centred dot.
constexpr char16_t kLineDrawing[32] = {
    0x00A0, 0x25C6, 0x2592, 0x2409, 0x240C, 0x240D, 0x240A, 0x00B0,
    0x00B1, 0x2424, 0x240B, 0x2518, 0x2510, 0x250C, 0x2514, 0x253C,
    0x23BA, 0x23BB, 0x2500, 0x23BC, 0x23BD, 0x251C, 0x2524, 0x2534,
    0x252C, 0x2502, 0x2264, 0x2265, 0x03C0, 0x2260, 0x00A3, 0x00B7,
};

} // namespace

bool CharacterSets::designate(const EscSequence &seq)
{
    if (seq.intermediate != u'(' && seq.intermediate != u')')
        return false;
    // A set named by more than one intermediate (ESC ( % 5) is none we know.
    const bool drawingSet = seq.intermediateCount == 1 && seq.final == u'0';
    (seq.intermediate == u'(' ? g0Drawing : g1Drawing) = drawingSet;
    lineDrawing = g1InUse ? g1Drawing : g0Drawing;
    return true;
}

bool CharacterSets::shift(char16_t control)
{
    if (control != SO && control != SI)
        return false;
    g1InUse = control == SO;
    lineDrawing = g1InUse ? g1Drawing : g0Drawing;
    return true;
}

char16_t CharacterSets::lineDrawingUnit(char16_t u)
{
    return u >= 0x5F && u <= 0x7E ? kLineDrawing[u - 0x5F] : u;
}

void CharacterSets::appendLineDrawing(QString &out, const QChar *text, int size)
{
    const qsizetype at = out.size();
    out.append(text, size);
    for (QChar *c = out.data() + at, *end = c + size; c != end; ++c)
        *c = QChar(lineDrawingUnit(c->unicode()));
}
