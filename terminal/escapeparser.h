#pragma once

#include <QChar>

// One control sequence as ECMA-48 5.4 frames it: CSI, an optional private
// prefix ("?", ">", "<", "="), parameters, intermediates (0x20-0x2F) and a
// final byte. Both renderers read sequences with this one parser.
struct CsiSequence
{
    // The wire decides how many parameters arrive; only this many are kept
    // (the rest are read and dropped), so no count can outgrow the array.
    static constexpr int MaxParams = 32;
    static constexpr int MaxValue = 1000000;

    char16_t prefix = 0;
    int params[MaxParams];
    int count = 0;
    int intermediateCount = 0;
    char16_t final = 0;

    int param(int i, int fallback = 0) const { return i < count ? params[i] : fallback; }
};

enum class CsiParse {
    Complete,   // a final from 0x40 to 0x7E was read
    Incomplete, // the text ended inside the sequence
    Invalid,    // a unit outside 0x20-0x7E stood where the final belongs
};

// Parses from index j, the first unit after ESC "[". On Complete and Invalid,
// *end is the index after the final (or the offending unit).
CsiParse parseCsi(const QChar *text, int size, int j, CsiSequence &seq, int *end);

inline bool isEscIntermediate(char16_t u)
{
    return u >= 0x20 && u <= 0x2F;
}
