#include "terminal/escapeparser.h"

CsiParse parseCsi(const QChar *text, int size, int j, CsiSequence &seq, int *end)
{
    seq.prefix = 0;
    seq.count = 0;
    seq.intermediateCount = 0;
    seq.final = 0;
    if (j >= size)
        return CsiParse::Incomplete;
    const char16_t first = text[j].unicode();
    if (first == '?' || first == '>' || first == '<' || first == '=') {
        seq.prefix = first;
        ++j;
    }
    int value = 0;
    bool hasDigits = false;
    auto endParam = [&] {
        if (seq.count < CsiSequence::MaxParams)
            seq.params[seq.count++] = hasDigits ? value : 0;
        value = 0;
        hasDigits = false;
    };
    for (; j < size; ++j) {
        const char16_t u = text[j].unicode();
        if (u >= '0' && u <= '9') {
            value = value * 10 + (u - '0');
            if (value > CsiSequence::MaxValue)
                value = CsiSequence::MaxValue;
            hasDigits = true;
        } else if (u == ';' || u == ':') {
            endParam();
        } else {
            break;
        }
    }
    if (j >= size)
        return CsiParse::Incomplete;
    endParam();
    while (j < size && isEscIntermediate(text[j].unicode())) {
        ++seq.intermediateCount;
        ++j;
    }
    if (j >= size)
        return CsiParse::Incomplete;
    const char16_t final = text[j].unicode();
    *end = j + 1;
    if (final < 0x40 || final > 0x7E)
        return CsiParse::Invalid;
    seq.final = final;
    return CsiParse::Complete;
}
