#pragma once

// Shared by the fuzz targets; included last, as its check() would clash with Qt's headers.

#include <QByteArrayList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Names the broken promise before stopping, so a finding says what it is.
#define check(ok) ((ok) ? void() : (std::fprintf(stderr, "broken: %s\n", #ok), std::abort()))

// The target's body over the whole input; the seeded form takes the first byte
// as a seed and hands over the rest (an empty input is skipped).
#define FUZZ_TARGET(input)                                                                                   \
    static void fuzzOne(const QByteArray &input);                                                            \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)                                  \
    { return fuzzOne(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size))), 0; }                \
    static void fuzzOne(const QByteArray &input)
#define FUZZ_SEEDED_TARGET(seed, input)                                                                      \
    static void fuzzSeeded(quint8, const QByteArray &);                                                      \
    FUZZ_TARGET(all) { if (!all.isEmpty()) fuzzSeeded(quint8(all[0]), all.mid(1)); }                         \
    static void fuzzSeeded(quint8 seed, const QByteArray &input)

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
