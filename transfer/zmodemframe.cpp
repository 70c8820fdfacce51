#include "transfer/zmodemframe.h"

#include "transfer/transfercommon.h"

#include <array>
#include <cstring>

namespace Zmodem {

namespace {

constexpr char CAN = 0x18;
constexpr char ZBIN = 'A';
constexpr char ZHEX = 'B';
constexpr char ZBIN32 = 'C';
constexpr char ZRUB0 = 'l'; // escaped 0x7F
constexpr char ZRUB1 = 'm'; // escaped 0xFF

const QByteArray kFiveCan(5, CAN);

constexpr int kCompactThreshold = 65536;

const std::array<bool, 256> &escapeTable()
{
    static const std::array<bool, 256> table = [] {
        std::array<bool, 256> t{};
        for (int b = 0; b < 256; ++b)
            t[size_t(b)] = (b & 0x7F) < 0x20 || (b & 0x7F) == 0x7F;
        return t;
    }();
    return table;
}

char unescape(char c)
{
    if (c == ZRUB0)
        return char(0x7F);
    if (c == ZRUB1)
        return char(0xFF);
    return char(c ^ 0x40);
}

bool isEndType(char c)
{
    return c >= char(ZCRCE) && c <= char(ZCRCW);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

QByteArray headerBytes(quint8 type, const QByteArray &bytes)
{
    QByteArray raw;
    raw.reserve(7);
    raw.append(char(type));
    raw.append(bytes.left(4));
    raw.append(QByteArray(4 - qMin<int>(4, int(bytes.size())), '\0'));
    const quint16 crc = crc16(raw.constData(), 5);
    raw.append(char(crc >> 8));
    raw.append(char(crc & 0xFF));
    return raw;
}

// Escapes `length` bytes into `out`, which has room for twice as many;
// returns the end of what was written. The hot path of every data frame.
char *escapeInto(const char *data, int length, char *out)
{
    const auto &table = escapeTable();
    for (int i = 0; i < length; ++i) {
        const quint8 b = quint8(data[i]);
        if (!table[b]) {
            *out++ = char(b);
            continue;
        }
        *out++ = ZDLE;
        *out++ = b == 0x7F ? ZRUB0 : b == 0xFF ? ZRUB1 : char(b ^ 0x40);
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// Encoding

QByteArray position(quint32 pos)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((pos >> (8 * i)) & 0xFF);
    return b;
}

quint32 positionOf(const QByteArray &headerBytes)
{
    quint32 pos = 0;
    for (int i = 3; i >= 0; --i)
        pos = (pos << 8) | quint8(headerBytes.at(i));
    return pos;
}

QByteArray escape(const QByteArray &data)
{
    QByteArray out(data.size() * 2, Qt::Uninitialized);
    char *end = escapeInto(data.constData(), int(data.size()), out.data());
    out.resize(end - out.constData());
    return out;
}

QByteArray hexHeader(quint8 type, const QByteArray &bytes)
{
    static const char digits[] = "0123456789abcdef";
    const QByteArray raw = headerBytes(type, bytes);
    QByteArray frame;
    frame.reserve(20);
    frame.append(ZPAD).append(ZPAD).append(ZDLE).append(ZHEX);
    for (const char c : raw) {
        frame.append(digits[(quint8(c) >> 4) & 0x0F]);
        frame.append(digits[quint8(c) & 0x0F]);
    }
    frame.append('\r').append('\n');
    return frame;
}

QByteArray binaryHeader(quint8 type, const QByteArray &bytes)
{
    QByteArray frame;
    frame.append(ZPAD).append(ZDLE).append(ZBIN);
    frame.append(escape(headerBytes(type, bytes)));
    return frame;
}

QByteArray dataSubpacket(const QByteArray &data, quint8 end)
{
    const char endByte = char(end);
    const quint16 crc = crc16(&endByte, 1, crc16(data.constData(), int(data.size())));
    const char crcBytes[2] = {char(crc >> 8), char(crc & 0xFF)};
    QByteArray frame(data.size() * 2 + 6, Qt::Uninitialized);
    char *w = escapeInto(data.constData(), int(data.size()), frame.data());
    *w++ = ZDLE;
    *w++ = endByte;
    w = escapeInto(crcBytes, 2, w);
    frame.resize(w - frame.constData());
    return frame;
}

// ---------------------------------------------------------------------------
// Scanning

bool FrameScanner::append(const QByteArray &data)
{
    // Only the new bytes (and the four before them) can complete a run of
    // five CANs: the rest was looked at already.
    const int from = qMax(m_start, int(m_buffer.size()) - 4);
    m_buffer.append(data);
    return m_buffer.indexOf(kFiveCan, from) >= 0;
}

void FrameScanner::clear()
{
    m_buffer.clear();
    m_start = 0;
    m_scan = SubpacketScan();
}

void FrameScanner::consume(int count)
{
    m_start += count;
    if (m_start >= m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    } else if (m_start > kCompactThreshold) {
        m_buffer.remove(0, m_start);
        m_start = 0;
    }
}

void FrameScanner::dropSubpacket()
{
    consume(m_scan.offset);
    m_scan = SubpacketScan();
}

FrameScanner::Result FrameScanner::nextHeader(quint8 &type, QByteArray &bytes)
{
    for (;;) {
        const char *buf = m_buffer.constData();
        const int size = int(m_buffer.size());
        const void *hit = std::memchr(buf + m_start, ZDLE, size_t(size - m_start));
        if (!hit) {
            consume(size - m_start);
            return NeedMore;
        }
        consume(int(static_cast<const char *>(hit) - buf) - m_start);
        buf = m_buffer.constData();
        const int start = m_start;
        const int avail = int(m_buffer.size()) - start;
        if (avail < 2)
            return NeedMore;

        QByteArray raw;
        const char kind = buf[start + 1];
        if (kind == ZBIN) {
            int i = start + 2;
            const int end = start + avail;
            while (raw.size() < 7) {
                if (i >= end)
                    return NeedMore;
                if (buf[i] != ZDLE) {
                    raw.append(buf[i++]);
                    continue;
                }
                if (i + 1 >= end)
                    return NeedMore;
                raw.append(unescape(buf[i + 1]));
                i += 2;
            }
            consume(i - start);
        } else if (kind == ZHEX) {
            if (avail < 16)
                return NeedMore;
            bool valid = true;
            for (int i = 0; i < 7 && valid; ++i) {
                const int hi = hexValue(buf[start + 2 + 2 * i]);
                const int lo = hexValue(buf[start + 3 + 2 * i]);
                valid = hi >= 0 && lo >= 0;
                raw.append(char(hi << 4 | lo));
            }
            if (!valid) {
                consume(1);
                continue;
            }
            consume(16);
        } else if (kind == ZBIN32) {
            return Bin32Header;
        } else {
            consume(1);
            continue;
        }

        const quint16 crc = crc16(raw.constData(), 5);
        if (quint8(raw[5]) != (crc >> 8) || quint8(raw[6]) != (crc & 0xFF))
            return BadHeader;
        type = quint8(raw[0]);
        bytes = raw.mid(1, 4);
        return Header;
    }
}

FrameScanner::Result FrameScanner::nextSubpacket(QByteArray &data, int &end)
{
    const char *buf = m_buffer.constData();
    const int size = int(m_buffer.size());
    int i = m_start + m_scan.offset;
    bool complete = false;
    bool tooLong = false;
    while (i < size && !complete) {
        if (m_scan.end < 0) {
            // Plain bytes up to the next ZDLE go in one piece.
            const void *hit = std::memchr(buf + i, ZDLE, size_t(size - i));
            const int runEnd = hit ? int(static_cast<const char *>(hit) - buf) : size;
            m_scan.data.append(buf + i, runEnd - i);
            i = runEnd;
            if (m_scan.data.size() > kMaxSubpacketData) {
                tooLong = true;
                break;
            }
            if (i >= size || i + 1 >= size)
                break; // wait: no ZDLE yet, or a lone ZDLE at the end
            const char next = buf[i + 1];
            if (isEndType(next))
                m_scan.end = quint8(next);
            else
                m_scan.data.append(unescape(next));
            i += 2;
            continue;
        }
        if (buf[i] != ZDLE) {
            m_scan.crc.append(buf[i++]);
        } else {
            if (i + 1 >= size)
                break;
            m_scan.crc.append(unescape(buf[i + 1]));
            i += 2;
        }
        complete = m_scan.crc.size() == 2;
    }
    m_scan.offset = i - m_start;
    if (tooLong) {
        dropSubpacket();
        return BadSubpacket;
    }
    if (!complete)
        return NeedMore;

    SubpacketScan scan = std::move(m_scan);
    m_scan = SubpacketScan();
    consume(scan.offset);
    scan.data.append(char(scan.end));
    const quint16 crc = crc16(scan.data.constData(), int(scan.data.size()));
    scan.data.chop(1);
    if (quint8(scan.crc[0]) != (crc >> 8) || quint8(scan.crc[1]) != (crc & 0xFF))
        return BadSubpacket;
    data = std::move(scan.data);
    end = scan.end;
    return Subpacket;
}

} // namespace Zmodem
