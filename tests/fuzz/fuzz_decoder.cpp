// Received bytes through the UTF-8/GBK decoding and the HEX monitor, cut anywhere: nothing is lost
// or doubled at a cut, and the HEX lines show every byte once, in order, at its offset.
#include "terminal/receivedecoder.h"

#include <QRegularExpression>
#include <QStringDecoder>

#include "fuzzcheck.h"

namespace {

QString wholeDecoded(const QByteArray &bytes, bool gbk)
{
    QStringDecoder decoder(gbk ? "GBK" : "UTF-8", QStringDecoder::Flag::Stateless);
    return decoder.decode(bytes);
}

// The bytes and printable characters that a block of HEX lines shows.
void checkHexDump(const QString &html, const QByteArray &bytes, qint64 offset)
{
    static const QRegularExpression line("</span> ?([0-9A-F]{8}): ([0-9A-F ]{47}) (.*?)<br/>");
    QByteArray shown;
    for (auto it = line.globalMatch(html); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        check(m.captured(1).toLongLong(nullptr, 16) == offset + shown.size());
        const QByteArray hex = QByteArray::fromHex(m.captured(2).toLatin1());
        const QString chars = m.captured(3).replace("&lt;", "<").replace("&gt;", ">").replace("&amp;", "&");
        check(hex.size() == chars.size() && hex.size() <= 16);
        for (qsizetype k = 0; k < hex.size(); ++k)
            check(chars[k] == (hex[k] >= 0x20 && hex[k] <= 0x7E ? QChar(hex[k]) : QChar('.')));
        shown += hex;
    }
    check(shown == bytes);
}

} // namespace

FUZZ_SEEDED_TARGET(seed, input)
{
    const int mode = seed % 3; // UTF-8, GBK, HEX
    ReceiveDecoder decoder;
    decoder.encoding = mode == 1 ? "GBK" : "默认";
    QString text;
    qint64 offset = 0;
    for (const QByteArray &slice : slices(input, seed, 9)) {
        if (mode == 2)
            checkHexDump(hexDumpHtml("RX", slice, offset), slice, offset);
        else
            text += decoder.decodeReceived(slice);
        offset += slice.size();
    }
    if (mode != 2) {
        // What waits for the rest of a character is at most one character.
        check(decoder.decodeCarry.size() <= (mode == 1 ? 1 : 3));
        text += wholeDecoded(decoder.decodeCarry, mode == 1);
        check(text == ReceiveDecoder().limitMarks(wholeDecoded(input, mode == 1)));
    }
}
