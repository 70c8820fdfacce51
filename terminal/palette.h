#pragma once

#include <QColor>
#include <QString>

// The 256-colour table that SGR 30-37, 90-97, 38;5;n (and their background
// forms) index: sixteen fixed colours, the 6x6x6 colour cube and the grey
// ramp. Any index outside 0..255 gives an invalid colour.
QColor paletteColor(int index);
// The same as a packed 0xAARRGGBB value, or 0 for an index outside 0..255.
QRgb paletteRgb(int index);

// Display width of one UTF-16 unit in terminal cells: 0, 1 or 2.
// A surrogate pair carries its width on the high unit (2) and counts 0 on
// the low unit, so summing over units gives the width of the text.
inline int unitWidth(char16_t u, char16_t next)
{
    if (u < 0x1100)
        return 1;
    if (u >= 0xD800 && u <= 0xDBFF)
        return (next >= 0xDC00 && next <= 0xDFFF) ? 2 : 1;
    if (u >= 0xDC00 && u <= 0xDFFF)
        return 0;
    if ((u <= 0x115F) || (u >= 0x2E80 && u <= 0x303E) || (u >= 0x3041 && u <= 0x4DBF)
        || (u >= 0x4E00 && u <= 0xA4CF) || (u >= 0xAC00 && u <= 0xD7A3)
        || (u >= 0xF900 && u <= 0xFAFF) || (u >= 0xFE30 && u <= 0xFE4F)
        || (u >= 0xFF00 && u <= 0xFF60) || (u >= 0xFFE0 && u <= 0xFFE6))
        return 2;
    return 1;
}

int charWidthAt(const QString &text, int i);
int displayWidth(const QString &text);
int displayWidth(const QChar *units, int count);
