#include "terminal/receivedecoder.h"

#include <QStringDecoder>

namespace {
bool isMark(char32_t c)
{
    if (c < 0x300)
        return false;
    const QChar::Category k = QChar::category(c);
    return k == QChar::Mark_NonSpacing || k == QChar::Mark_SpacingCombining || k == QChar::Mark_Enclosing;
}
} // namespace

QString ReceiveDecoder::limitMarks(QString text)
{
    const QChar *in = text.constData();
    const qsizetype n = text.size();
    QChar *out = nullptr; // set at the first dropped mark: most text keeps all
    qsizetype kept = 0;
    for (qsizetype i = 0; i < n;) {
        char32_t c = in[i].unicode();
        qsizetype length = 1;
        if (in[i].isHighSurrogate() && i + 1 < n && in[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(in[i], in[i + 1]);
            length = 2;
        }
        const bool drop = isMark(c) ? ++marksInRow > MaxMarksPerCharacter : (marksInRow = 0, false);
        if (drop && !out) {
            out = text.data(); // detaches: read from the same (now own) buffer
            in = out;
        }
        if (!drop && out) {
            for (qsizetype k = 0; k < length; ++k)
                out[kept + k] = in[i + k];
        }
        if (!drop)
            kept += length;
        i += length;
    }
    if (out)
        text.truncate(kept);
    return text;
}

QString ReceiveDecoder::decodeReceived(const QByteArray &bytes)
{
    return limitMarks(decode(bytes));
}

QString ReceiveDecoder::decode(const QByteArray &bytes)
{
    QByteArray in = decodeCarry + bytes;
    decodeCarry.clear();
    if (in.isEmpty())
        return QString();
    const auto *p = reinterpret_cast<const uchar *>(in.constData());
    const qsizetype n = in.size();
    if (encoding == QStringLiteral("GBK")) {
        qsizetype i = 0;
        while (i < n) {
            if (p[i] >= 0x81 && p[i] <= 0xFE) {
                if (i + 1 >= n) {
                    decodeCarry = in.mid(i);
                    in.truncate(i);
                    break;
                }
                i += 2;
            } else {
                ++i;
            }
        }
        if (in.isEmpty())
            return QString();
        QStringDecoder gbk("GBK");
        QString text = gbk.isValid() ? gbk.decode(in) : QString();
        if (text.isEmpty())
            text = QString::fromLocal8Bit(in);
        return text;
    }
    // Keep back a UTF-8 sequence cut by the slice boundary.
    for (qsizetype back = 1; back <= 3 && back <= n; ++back) {
        const uchar b = p[n - back];
        if ((b & 0xC0) == 0x80)
            continue;
        const int length = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        if (length > back) {
            decodeCarry = in.right(back);
            in.truncate(n - back);
        }
        break;
    }
    return QString::fromUtf8(in);
}

qsizetype ReceiveBuffer::append(const QByteArray &bytes)
{
    qsizetype dropped = 0;
    if (bytes.size() >= Capacity) {
        dropped = size() + bytes.size() - Capacity;
        data = bytes.right(Capacity);
        start = 0;
        return dropped;
    }
    data.append(bytes);
    if (size() > Capacity) {
        dropped = size() - Capacity;
        start += dropped;
    }
    compact();
    return dropped;
}

QByteArray ReceiveBuffer::takeSlice()
{
    const qsizetype n = std::min(size(), SliceSize);
    QByteArray slice = data.mid(start, n);
    start += n;
    compact();
    return slice;
}

void ReceiveBuffer::compact()
{
    // Drop the drained front only once it outweighs what is left: each byte
    // is moved a bounded number of times, so draining stays linear.
    if (start == data.size()) {
        data.clear();
        start = 0;
    } else if (start > 65536 && start > data.size() / 2) {
        data.remove(0, start);
        start = 0;
    }
}

void ReceiveBuffer::clear()
{
    data.clear();
    start = 0;
}

QString hexDumpHtml(const QString &direction, const QByteArray &bytes, qint64 offset)
{
    const QString colour = direction == QStringLiteral("TX") ? QStringLiteral("#569cd6") : QStringLiteral("#55ff7f");
    // The blanks pad the columns: HTML must not collapse them.
    QString html = QStringLiteral("<span style='white-space:pre'>");
    static const char digits[] = "0123456789ABCDEF";
    for (qsizetype line = 0; line < bytes.size(); line += 16) {
        if (line == 0)
            html += QStringLiteral("<span style='color:%1'>[%2]</span> ").arg(colour, direction.toHtmlEscaped());
        else
            html += QStringLiteral("<span style='color:%1'>      </span>").arg(colour);
        html += QStringLiteral("%1: ").arg(quint64(offset + line), 8, 16, QLatin1Char('0')).toUpper();
        const qsizetype count = std::min<qsizetype>(16, bytes.size() - line);
        QString hex;
        QString chars;
        for (qsizetype k = 0; k < count; ++k) {
            const uchar b = uchar(bytes.at(line + k));
            if (k)
                hex += u' ';
            hex += QLatin1Char(digits[b >> 4]);
            hex += QLatin1Char(digits[b & 15]);
            // The line is inserted as HTML: markup characters must stay text.
            if (b == '<')
                chars += QStringLiteral("&lt;");
            else if (b == '>')
                chars += QStringLiteral("&gt;");
            else if (b == '&')
                chars += QStringLiteral("&amp;");
            else
                chars += (b >= 0x20 && b <= 0x7E) ? QChar(b) : QChar(u'.');
        }
        hex += QString(int(3 * (16 - count)), u' ');
        html += hex + u' ' + chars + QStringLiteral("<br/>");
    }
    return html + QStringLiteral("</span>");
}
