#include "transfer/kermitpacket.h"

#include "core/languagemanager.h"

#include <array>

namespace kermit {

namespace {

using CrcTable = std::array<quint16, 256>;

CrcTable buildKermitTable()
{
    CrcTable table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1) ? (r >> 1) ^ 0x8408 : r >> 1;
        table[i] = quint16(r);
    }
    return table;
}

bool needsPrefix(quint8 b, char prefix)
{
    return b < 32 || b == 127 || b == quint8(prefix);
}

} // namespace

int checkLength(int checkType)
{
    return checkType == 3 ? 3 : checkType == 2 ? 2 : 1;
}

quint16 crc16Kermit(const char *bytes, int count)
{
    static const CrcTable table = buildKermitTable(); // thread-safe one-time init
    quint16 crc = 0;
    for (int i = 0; i < count; ++i)
        crc = quint16((crc >> 8) ^ table[(crc ^ quint8(bytes[i])) & 0xFF]);
    return crc;
}

QByteArray blockCheck(int checkType, const char *bytes, int count)
{
    QByteArray check;
    if (checkType == 3) {
        const quint16 crc = crc16Kermit(bytes, count);
        check.append(tochar((crc >> 12) & 0x0F));
        check.append(tochar((crc >> 6) & 0x3F));
        check.append(tochar(crc & 0x3F));
        return check;
    }
    unsigned sum = 0;
    for (int i = 0; i < count; ++i)
        sum += quint8(bytes[i]);
    if (checkType == 2) {
        check.append(tochar((sum >> 6) & 0x3F));
        check.append(tochar(sum & 0x3F));
    } else {
        check.append(tochar((sum + ((sum >> 6) & 3)) & 0x3F));
    }
    return check;
}

QByteArray buildPacket(char type, int seq, const QByteArray &data, int checkType, int eolChar)
{
    const int c = checkLength(checkType);
    QByteArray packet;
    packet.reserve(data.size() + c + 5);
    packet.append(kMark);
    packet.append(char(quint8(data.size() + c + 2 + 32)));
    packet.append(tochar(((seq % 64) + 64) % 64));
    packet.append(type);
    packet.append(data);
    packet.append(blockCheck(checkType, packet.constData() + 1, packet.size() - 1));
    if (eolChar > 0)
        packet.append(char(eolChar));
    return packet;
}

bool verifyBlockCheck(const char *packet, int available, int len, int checkType)
{
    const int c = checkLength(checkType);
    if (len < c + 2 || available < len + 2)
        return false;
    // LEN through the last data byte: 1 + len - c characters after the MARK.
    const QByteArray expected = blockCheck(checkType, packet + 1, len + 1 - c);
    return expected == QByteArray::fromRawData(packet + 2 + len - c, c);
}

QByteArray encodePrefixed(const QByteArray &bytes, char prefix)
{
    QByteArray out;
    encodeInto(bytes.constData(), bytes.size(), prefix, 2 * bytes.size(), &out);
    return out;
}

int encodeInto(const char *bytes, int count, char prefix, int room, QByteArray *out)
{
    out->reserve(out->size() + qMin(room, count + count / 8 + 1));
    int used = 0;
    int taken = 0;
    for (; taken < count; ++taken) {
        const quint8 b = quint8(bytes[taken]);
        if (needsPrefix(b, prefix)) {
            if (used + 2 > room)
                break;
            out->append(prefix);
            out->append(b == quint8(prefix) ? prefix : char(b ^ 64));
            used += 2;
        } else {
            if (used + 1 > room)
                break;
            out->append(char(b));
            ++used;
        }
    }
    return taken;
}

QByteArray decodePrefixed(const QByteArray &field, char prefix)
{
    QByteArray out;
    out.reserve(field.size());
    const int n = field.size();
    for (int i = 0; i < n; ++i) {
        const char b = field.at(i);
        if (b != prefix || i + 1 == n) {
            out.append(b);
            continue;
        }
        const quint8 next = quint8(field.at(++i));
        const int low = next & 0x7F;
        out.append(low >= 63 && low <= 95 ? char(next ^ 64) : char(next));
    }
    return out;
}

QByteArray encodeTextWithin(const QString &text, char prefix, int room)
{
    QByteArray out;
    int taken = 0;
    while (taken < text.size()) {
        // One whole character at a time: a surrogate pair stays together.
        const int step = (text.at(taken).isHighSurrogate() && taken + 1 < text.size()) ? 2 : 1;
        const QByteArray piece = encodePrefixed(text.mid(taken, step).toUtf8(), prefix);
        if (out.size() + piece.size() > room)
            break;
        out.append(piece);
        taken += step;
    }
    return out;
}

QByteArray sendInitData(int checkType)
{
    QByteArray data;
    data.append(tochar(kMaxPacketLength)); // MAXL
    data.append(tochar(kTimeAsked));       // TIME
    data.append(tochar(0));                // NPAD
    data.append(' ');                      // PADC: none sent
    data.append(tochar(kDefaultEol));      // EOL
    data.append(kDefaultPrefix);           // QCTL
    data.append(' ');                      // QBIN: none
    data.append(char('0' + checkLength(checkType)));
    data.append(' ');                      // REPT: none
    return data;
}

void readSendInit(const QByteArray &data, SendInit *params)
{
    if (data.size() >= 1)
        params->maxLen = qBound(kMinPacketLength, unchar(data.at(0)), kMaxPacketLength);
    if (data.size() >= 5) {
        const int eol = unchar(data.at(4));
        params->eol = (eol >= 0 && eol <= 127) ? eol : kDefaultEol;
    }
    if (data.size() >= 6) {
        // A prefix must be printable and outside the range it turns into
        // controls, or decoding would be ambiguous.
        const int q = quint8(data.at(5));
        if ((q > 32 && q < 63) || (q > 95 && q < 127))
            params->ctlPrefix = char(q);
    }
    if (data.size() >= 8) {
        const char chkt = data.at(7);
        if (chkt >= '1' && chkt <= '3')
            params->checkType = chkt - '0';
        else if (chkt >= '!' && chkt <= '#')
            params->checkType = chkt - 32;
    }
}

ScanResult scanNext(const QByteArray &buf, int *pos, int checkType, Packet *out)
{
    const char *base = buf.constData();
    const int size = buf.size();
    int p = *pos;
    for (;;) {
        const int mark = buf.indexOf(kMark, p);
        if (mark < 0) {
            *pos = size;
            return ScanResult::NeedMore;
        }
        p = mark;
        *pos = p;
        if (size - p < 2)
            return ScanResult::NeedMore;
        const int len = unchar(base[p + 1]);
        if (len < 3) {
            ++p; // an impossible LEN: skip this MARK alone
            continue;
        }
        if (size - p < len + 2)
            return ScanResult::NeedMore;
        const char *packet = base + p;
        const char type = packet[3];
        int passed = verifyBlockCheck(packet, size - p, len, checkType) ? checkType : 0;
        if (!passed && (type == 'S' || type == 'E')) {
            for (const int alt : {1, 3, 2}) {
                if (alt != checkType && verifyBlockCheck(packet, size - p, len, alt)) {
                    passed = alt;
                    break;
                }
            }
        }
        if (!passed) {
            *pos = p + 1;
            return ScanResult::Bad;
        }
        const int c = checkLength(passed);
        out->seq = unchar(packet[2]) & 63;
        out->type = type;
        out->data = QByteArray(packet + 4, len - 2 - c);
        out->checkType = passed;
        *pos = p + len + 2;
        return ScanResult::Packet;
    }
}

QString peerErrorText(const QByteArray &data, char prefix)
{
    return LanguageManager::tr("对端错误：%1").arg(QString::fromUtf8(decodePrefixed(data, prefix)));
}

} // namespace kermit
