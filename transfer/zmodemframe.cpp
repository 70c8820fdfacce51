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

constexpr int kCompactThreshold = 65536;

// How each byte goes out: one byte or two, written as two in any case so
// that the loop has no branch on the data (random data escapes a quarter of
// its bytes, in no order a branch predictor could follow).
struct EscapedByte {
    char bytes[2];
    quint8 length;
};

const std::array<EscapedByte, 256> &escapeTable()
{
    static const std::array<EscapedByte, 256> table = [] {
        std::array<EscapedByte, 256> t{};
        for (int b = 0; b < 256; ++b) {
            const bool escaped = (b & 0x7F) < 0x20 || (b & 0x7F) == 0x7F;
            if (!escaped)
                t[size_t(b)] = {{char(b), 0}, 1};
            else
                t[size_t(b)] = {{ZDLE, b == 0x7F ? ZRUB0 : b == 0xFF ? ZRUB1 : char(b ^ 0x40)}, 2};
        }
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

// The first 256 entries: a byte as it stands; the next 256: the byte after
// a ZDLE.
const std::array<char, 512> &decodeTable()
{
    static const std::array<char, 512> table = [] {
        std::array<char, 512> t{};
        for (int b = 0; b < 256; ++b) {
            t[size_t(b)] = char(b);
            t[size_t(256 + b)] = unescape(char(b));
        }
        return t;
    }();
    return table;
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

// Whether nine bytes are a header with a good 32-bit CRC (the one of
// Ethernet and zip, sent least significant byte first).
bool crc32Header(const QByteArray &raw)
{
    quint32 crc = 0xFFFFFFFFu;
    for (int i = 0; i < 5; ++i) {
        crc ^= quint8(raw[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    crc = ~crc;
    for (int i = 0; i < 4; ++i) {
        if (quint8(raw[5 + i]) != ((crc >> (8 * i)) & 0xFF))
            return false;
    }
    return true;
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
    const auto *p = reinterpret_cast<const quint8 *>(data);
    for (int i = 0; i < length; ++i) {
        const EscapedByte &e = table[p[i]];
        std::memcpy(out, e.bytes, 2);
        out += e.length;
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
    QByteArray frame(subpacketRoom(int(data.size())), Qt::Uninitialized);
    char *w = writeDataSubpacket(frame.data(), data.constData(), int(data.size()), end);
    frame.resize(w - frame.constData());
    return frame;
}

char *writeDataSubpacket(char *out, const char *data, int length, quint8 end)
{
    const char endByte = char(end);
    const quint16 crc = crc16(&endByte, 1, crc16(data, length));
    const char crcBytes[2] = {char(crc >> 8), char(crc & 0xFF)};
    char *w = escapeInto(data, length, out);
    *w++ = ZDLE;
    *w++ = endByte;
    return escapeInto(crcBytes, 2, w);
}

// What stands after a header is the host's, but for the end of the header's
// own line (CR, LF, XON), which may come first.
QByteArray pastHeaderEnd(const QByteArray &bytes)
{
    qsizetype at = 0;
    while (at < bytes.size() && QByteArrayView("\r\n\x8a\x11").contains(bytes.at(at)))
        ++at;
    return bytes.mid(at);
}

QByteArray withoutReceiverFrames(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    const auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    for (qsizetype at = 0; at < bytes.size();) {
        const char c = bytes.at(at);
        if (c == CAN) {
            while (at < bytes.size() && (bytes.at(at) == CAN || bytes.at(at) == '\b'))
                ++at;
            continue;
        }
        // "**", ZDLE, 'B' and 14 hex digits (the first '*' may be lost).
        qsizetype end = at;
        while (end < bytes.size() && end - at < 2 && bytes.at(end) == ZPAD)
            ++end;
        if (end > at && end + 1 < bytes.size() && bytes.at(end) == ZDLE && bytes.at(end + 1) == 'B') {
            end += 2;
            for (const qsizetype digits = end; end < bytes.size() && end - digits < 14 && isHex(bytes.at(end));)
                ++end;
            for (const char tail : {'\r', '\n', '\x11'}) {
                if (end < bytes.size() && (bytes.at(end) == tail || (tail == '\n' && bytes.at(end) == '\x8a')))
                    ++end;
            }
            at = end;
            continue;
        }
        out.append(c);
        ++at;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Scanning

bool FrameScanner::append(const QByteArray &data)
{
    // Counted over everything that arrived, so that a cancel split over two
    // pieces is seen whatever was consumed in between.
    const char *p = data.constData();
    const qsizetype n = data.size();
    qsizetype lead = 0;
    while (lead < n && p[lead] == CAN)
        ++lead;
    bool cancelled = m_canRun + lead >= 5;
    if (lead == n) {
        m_canRun += int(qMin<qsizetype>(n, 5));
    } else {
        static const char fiveCan[5] = {CAN, CAN, CAN, CAN, CAN};
        cancelled = cancelled || ::memmem(p + lead, size_t(n - lead), fiveCan, 5) != nullptr;
        int tail = 0;
        while (tail < 5 && p[n - 1 - tail] == CAN)
            ++tail;
        m_canRun = tail;
    }
    m_buffer.append(data); // takes `data` without a copy when nothing is held
    return cancelled;
}

void FrameScanner::clear()
{
    m_buffer.clear();
    m_start = 0;
    m_canRun = 0;
    m_scan = SubpacketScan();
}

QByteArray FrameScanner::takeRest()
{
    const QByteArray rest = m_buffer.mid(m_start);
    clear();
    return rest;
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
    m_scan = SubpacketScan();
}

FrameScanner::Result FrameScanner::nextHeader(quint8 &type, QByteArray &bytes)
{
    for (;;) {
        // A header begins at its ZPAD. A ZDLE without one is data: the rest
        // of a subpacket we gave up on (after our ZRPOS) still arrives, and
        // its escaped bytes (ZDLE 'A', 'B', 'C') are no header kinds.
        const char *buf = m_buffer.constData();
        const int size = int(m_buffer.size());
        const char *hit = nullptr;
        for (const char *p = buf + m_start; !hit;) {
            p = static_cast<const char *>(std::memchr(p, ZDLE, size_t(buf + size - p)));
            if (!p)
                break;
            if (p > buf + m_start && p[-1] == ZPAD)
                hit = p - 1;
            ++p;
        }
        if (!hit) {
            // A ZPAD at the very end may be the start of a header.
            const bool padLast = size > m_start && buf[size - 1] == ZPAD;
            consume(size - m_start - (padLast ? 1 : 0));
            return NeedMore;
        }
        consume(int(hit - buf) - m_start);
        buf = m_buffer.constData();
        const int start = m_start + 1; // the ZDLE
        const int avail = int(m_buffer.size()) - start;
        if (avail < 2)
            return NeedMore;

        // The header's bytes after its kind, unescaped: `count` of them, or
        // -1 when more must arrive first.
        const auto decode = [&](int count, QByteArray &raw) {
            int i = start + 2;
            const int end = start + avail;
            while (raw.size() < count) {
                if (i >= end)
                    return -1;
                if (buf[i] != ZDLE) {
                    raw.append(buf[i++]);
                    continue;
                }
                if (i + 1 >= end)
                    return -1;
                raw.append(unescape(buf[i + 1]));
                i += 2;
            }
            return i;
        };
        QByteArray raw;
        const char kind = buf[start + 1];
        if (kind == ZBIN) {
            const int used = decode(7, raw);
            if (used < 0)
                return NeedMore;
            consume(used - m_start);
        } else if (kind == ZHEX) {
            if (avail < 16)
                return NeedMore;
            bool valid = true;
            for (int i = 0; i < 7 && valid; ++i) {
                const int hi = hexValue(buf[start + 2 + 2 * i]);
                const int lo = hexValue(buf[start + 3 + 2 * i]);
                valid = hi >= 0 && lo >= 0;
                if (valid)
                    raw.append(char(hi << 4 | lo));
            }
            if (!valid) {
                consume(1);
                continue;
            }
            consume(start + 16 - m_start);
        } else if (kind == ZBIN32) {
            // Only a whole one is refused: "*" and an escaped 0x03 can stand
            // in a file's data too.
            if (decode(9, raw) < 0)
                return NeedMore;
            if (crc32Header(raw))
                return Bin32Header;
            consume(1);
            continue;
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

FrameScanner::Result FrameScanner::nextSubpacket(QByteArrayView &data, int &end)
{
    const auto *p = reinterpret_cast<const quint8 *>(m_buffer.constData()) + m_start;
    const auto *const stop = reinterpret_cast<const quint8 *>(m_buffer.constData()) + m_buffer.size();
    const auto *const first = p;
    bool tooLong = false;
    if (m_scan.end < 0) {
        const auto &decode = decodeTable();
        char *out = m_data + m_scan.length;
        char *const full = m_data + kMaxSubpacketData + 1;
        // Branch-free but for the rare exits: escapes come at random in
        // random data, and a branch on them would be mispredicted often.
        unsigned escape = m_scan.escape;
        while (p < stop) {
            const unsigned c = *p++;
            if (Q_UNLIKELY(escape & (c - unsigned(ZCRCE) <= unsigned(ZCRCW - ZCRCE)))) {
                m_scan.end = int(c);
                escape = 0;
                break;
            }
            // A ZDLE writes a byte that the next one overwrites.
            *out = decode[escape * 256 + c];
            const unsigned zdle = (escape ^ 1u) & unsigned(c == quint8(ZDLE));
            out += zdle ^ 1u;
            escape = zdle;
            if (Q_UNLIKELY(out == full)) {
                tooLong = true;
                break;
            }
        }
        m_scan.length = int(out - m_data);
        m_scan.escape = escape != 0;
    }
    if (m_scan.end >= 0) {
        while (p < stop && m_scan.crcLength < 2) {
            const quint8 c = *p++;
            if (m_scan.escape) {
                m_scan.crc[m_scan.crcLength++] = quint8(unescape(char(c)));
                m_scan.escape = false;
            } else if (c == quint8(ZDLE)) {
                m_scan.escape = true;
            } else {
                m_scan.crc[m_scan.crcLength++] = c;
            }
        }
    }
    consume(int(p - first));
    if (tooLong) {
        dropSubpacket();
        return BadSubpacket;
    }
    if (m_scan.crcLength < 2)
        return NeedMore;

    const SubpacketScan scan = m_scan;
    m_scan = SubpacketScan();
    const char endByte = char(scan.end);
    const quint16 crc = crc16(&endByte, 1, crc16(m_data, scan.length));
    if (scan.crc[0] != (crc >> 8) || scan.crc[1] != (crc & 0xFF))
        return BadSubpacket;
    data = QByteArrayView(m_data, scan.length);
    end = scan.end;
    return Subpacket;
}

} // namespace Zmodem
