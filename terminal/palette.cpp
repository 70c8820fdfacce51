#include "terminal/palette.h"

namespace {

const QRgb kFixedColours[16] = {
    0xff0c0c0c, 0xffc50f1f, 0xff13a10e, 0xffc19c00, 0xff0037da, 0xff881798, 0xff3a96dd, 0xffcccccc,
    0xff767676, 0xffe74856, 0xff16c60c, 0xfff9f1a5, 0xff3b78ff, 0xffb4009e, 0xff61d6d6, 0xfff2f2f2,
};

int cubeLevel(int c)
{
    return c == 0 ? 0 : 55 + 40 * c;
}

} // namespace

QRgb paletteRgb(int index)
{
    if (index < 0 || index > 255)
        return 0;
    if (index < 16)
        return kFixedColours[index];
    if (index < 232) {
        const int v = index - 16;
        return qRgb(cubeLevel(v / 36), cubeLevel((v / 6) % 6), cubeLevel(v % 6));
    }
    const int grey = 8 + 10 * (index - 232);
    return qRgb(grey, grey, grey);
}

QColor paletteColor(int index)
{
    const QRgb rgb = paletteRgb(index);
    return rgb ? QColor::fromRgb(rgb) : QColor();
}

int charWidthAt(const QString &text, int i)
{
    if (i < 0 || i >= text.size())
        return 0;
    const char16_t next = i + 1 < text.size() ? text.at(i + 1).unicode() : 0;
    return unitWidth(text.at(i).unicode(), next);
}

int displayWidth(const QChar *units, int count)
{
    int width = 0;
    for (int i = 0; i < count; ++i) {
        const char16_t u = units[i].unicode();
        if (u < 0x1100) {
            ++width;
            continue;
        }
        width += unitWidth(u, i + 1 < count ? units[i + 1].unicode() : 0);
    }
    return width;
}

int displayWidth(const QString &text)
{
    return displayWidth(text.constData(), int(text.size()));
}
