#pragma once

// Shared by the fuzz targets.

#include <QByteArrayList>

#include <cstdio>
#include <cstdlib>

// Names the broken promise before stopping, so a finding says what it is.
#define check(ok) ((ok) ? void() : (std::fprintf(stderr, "broken: %s\n", #ok), std::abort()))

// The input cut into reads at places the seed picks, each 1 to most bytes.
inline QByteArrayList slices(const QByteArray &input, quint32 seed, int most)
{
    QByteArrayList out;
    for (qsizetype at = 0; at < input.size(); at += out.last().size()) {
        seed = seed * 1103515245u + 12345u;
        out << input.mid(at, 1 + (seed >> 16) % most);
    }
    return out;
}
