#include "terminal/textattributes.h"

#include "terminal/palette.h"

#include <QBrush>
#include <QFont>

QTextCharFormat cellFormat(const TextAttributes &a)
{
    QRgb fg = a.foreground ? a.foreground : kDefaultForeground;
    QRgb bg = a.background ? a.background : kDefaultBackground;
    if (a.has(TextAttributes::Inverse))
        std::swap(fg, bg);
    QTextCharFormat format;
    format.setForeground(QBrush(QColor::fromRgb(fg)));
    if (bg != kDefaultBackground)
        format.setBackground(QBrush(QColor::fromRgb(bg)));
    if (a.has(TextAttributes::Dim))
        format.setFontWeight(300);
    else if (a.has(TextAttributes::Bold))
        format.setFontWeight(700);
    if (a.has(TextAttributes::Italic))
        format.setFontItalic(true);
    if (a.has(TextAttributes::Underline))
        format.setUnderlineStyle(QTextCharFormat::SingleUnderline);
    if (a.has(TextAttributes::Strike))
        format.setFontStrikeOut(true);
    return format;
}

namespace {

// Reads the colour of an extended SGR 38/48 at params[i]; returns how many
// parameters after i it consumed (0 when the form is incomplete).
int extendedColour(const int *params, int count, int i, QRgb *colour)
{
    if (i + 2 < count && params[i + 1] == 5) {
        *colour = paletteRgb(params[i + 2]);
        return 2;
    }
    if (i + 4 < count && params[i + 1] == 2) {
        const int r = params[i + 2], g = params[i + 3], b = params[i + 4];
        const bool valid = r >= 0 && r <= 255 && g >= 0 && g <= 255 && b >= 0 && b <= 255;
        *colour = valid ? qRgb(r, g, b) : 0;
        return 4;
    }
    return 0;
}

} // namespace

void applySgr(TextAttributes &a, const int *params, int count)
{
    if (count <= 0) {
        resetAttributes(a);
        return;
    }
    for (int i = 0; i < count; ++i) {
        const int code = params[i];
        switch (code) {
        case 0: resetAttributes(a); break;
        case 1: a.set(TextAttributes::Bold, true); break;
        case 2: a.set(TextAttributes::Dim, true); break;
        case 3: a.set(TextAttributes::Italic, true); break;
        case 4:
        case 21: a.set(TextAttributes::Underline, true); break;
        case 7: a.set(TextAttributes::Inverse, true); break;
        case 9: a.set(TextAttributes::Strike, true); break;
        case 22:
            a.set(TextAttributes::Bold, false);
            a.set(TextAttributes::Dim, false);
            break;
        case 23: a.set(TextAttributes::Italic, false); break;
        case 24: a.set(TextAttributes::Underline, false); break;
        case 27: a.set(TextAttributes::Inverse, false); break;
        case 29: a.set(TextAttributes::Strike, false); break;
        case 39: a.foreground = 0; break;
        case 49: a.background = 0; break;
        case 38:
        case 48: {
            QRgb colour = 0;
            const int used = extendedColour(params, count, i, &colour);
            if (used && colour)
                (code == 38 ? a.foreground : a.background) = colour;
            i += used;
            break;
        }
        default:
            if (code >= 30 && code <= 37)
                a.foreground = paletteRgb(code - 30);
            else if (code >= 90 && code <= 97)
                a.foreground = paletteRgb(code - 82);
            else if (code >= 40 && code <= 47)
                a.background = paletteRgb(code - 40);
            else if (code >= 100 && code <= 107)
                a.background = paletteRgb(code - 92);
            break;
        }
    }
}
