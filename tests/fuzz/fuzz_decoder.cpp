// Fuzz target: received bytes through the receive decoding (UTF-8 and GBK)
// and the HEX monitor, cut into slices anywhere. Nothing may be lost or
// doubled at a cut: the slices decode to what the whole decodes to, and the
// HEX lines show every byte once, in order, at its offset.
#include "terminal/receivedecoder.h"

#include <QRegularExpression>
#include <QStringDecoder>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Names the broken promise before stopping, so a finding says what it is.
#define check(ok) ((ok) ? void() : (std::fprintf(stderr, "broken: %s\n", #ok), std::abort()))

QString wholeDecoded(const QByteArray &bytes, bool gbk)
{
    QStringDecoder decoder(gbk ? "GBK" : "UTF-8", QStringDecoder::Flag::Stateless);
    return decoder.decode(bytes);
}

// The bytes and printable characters that a block of HEX lines shows.
void checkHexDump(const QString &html, const QByteArray &bytes, qint64 offset)
{
    static const QRegularExpression line(QStringLiteral("</span> ?([0-9A-F]{8}): ([0-9A-F ]{47}) (.*?)<br/>"));
    QByteArray shown;
    for (auto it = line.globalMatch(html); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        check(m.captured(1).toLongLong(nullptr, 16) == offset + shown.size());
        const QByteArray hex = QByteArray::fromHex(m.captured(2).toLatin1());
        QString chars = m.captured(3);
        chars.replace(QLatin1String("&lt;"), QLatin1String("<")).replace(QLatin1String("&gt;"), QLatin1String(">"));
        chars.replace(QLatin1String("&amp;"), QLatin1String("&"));
        check(hex.size() == chars.size() && hex.size() <= 16);
        for (qsizetype k = 0; k < hex.size(); ++k) {
            const uchar b = uchar(hex[k]);
            check(chars[k] == ((b >= 0x20 && b <= 0x7E) ? QChar(b) : QChar(u'.')));
        }
        shown += hex;
    }
    check(shown == bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int mode = data[0] % 3; // UTF-8, GBK, HEX
    quint32 seed = data[0];
    const QByteArray input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    ReceiveDecoder decoder;
    decoder.encoding = mode == 1 ? QStringLiteral("GBK") : QStringLiteral("默认");
    QString text;
    qint64 offset = 0;
    for (qsizetype at = 0; at < input.size();) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype n = std::min<qsizetype>(input.size() - at, 1 + (seed >> 16) % 9);
        const QByteArray slice = input.mid(at, n);
        if (mode == 2) {
            checkHexDump(hexDumpHtml(QStringLiteral("RX"), slice, offset), slice, offset);
            offset += n;
        } else {
            text += decoder.decodeReceived(slice);
        }
        at += n;
    }
    if (mode != 2) {
        // What waits for the rest of a character is at most one character.
        check(decoder.decodeCarry.size() <= (mode == 1 ? 1 : 3));
        text += wholeDecoded(decoder.decodeCarry, mode == 1);
        check(text == wholeDecoded(input, mode == 1));
    }
    return 0;
}
