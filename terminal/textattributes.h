#pragma once

#include <QColor>
#include <QTextCharFormat>

// The pen shared by both renderers: two optional colours and six flags.
// Colours are packed 0xAARRGGBB values; a set colour always has alpha 255,
// so 0 stands for "unset" and a cell stays small and cheap to compare.
struct TextAttributes
{
    enum Flag : quint8 {
        Bold = 0x01,
        Dim = 0x02,
        Italic = 0x04,
        Underline = 0x08,
        Inverse = 0x10,
        Strike = 0x20,
    };

    QRgb foreground = 0;
    QRgb background = 0;
    quint8 flags = 0;

    bool has(Flag f) const { return flags & f; }
    void set(Flag f, bool on) { flags = on ? quint8(flags | f) : quint8(flags & ~f); }
    QColor foregroundColor() const { return foreground ? QColor::fromRgb(foreground) : QColor(); }
    QColor backgroundColor() const { return background ? QColor::fromRgb(background) : QColor(); }
    bool isDefault() const { return !foreground && !background && !flags; }
};

inline bool cellAttributesEqual(const TextAttributes &a, const TextAttributes &b)
{
    return a.foreground == b.foreground && a.background == b.background && a.flags == b.flags;
}

inline void resetAttributes(TextAttributes &a)
{
    a = TextAttributes();
}

// Default colours of the terminal document.
constexpr QRgb kDefaultForeground = 0xffffffff;
constexpr QRgb kDefaultBackground = 0xff1e1e1e;

// The character format of a pen: default colours filled in, inverse swaps
// them, the background brush only when it differs from the document's own,
// and dim wins over bold.
QTextCharFormat cellFormat(const TextAttributes &attributes);

// ECMA-48 SGR (8.3.117) with the 256-colour and direct-colour forms,
// applied in order. The one table of the terminal: both renderers call it.
void applySgr(TextAttributes &attributes, const int *params, int count);
