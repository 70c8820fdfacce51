#pragma once

#include <QByteArray>
#include <QByteArrayView>

// ZMODEM frames: the bytes both directions put on the wire, and the scanner
// that reads them back out of a byte stream. Free functions so that the exact
// encodings can be checked on their own.
namespace Zmodem {

enum FrameType : quint8 {
    ZRQINIT = 0, ZRINIT = 1, ZSINIT = 2, ZACK = 3, ZFILE = 4, ZSKIP = 5, ZNAK = 6, ZABORT = 7,
    ZFIN = 8, ZRPOS = 9, ZDATA = 10, ZEOF = 11, ZFERR = 12, ZCRC = 13, ZCHALLENGE = 14,
    ZCOMPL = 15, ZCAN = 16, ZFREECNT = 17, ZCOMMAND = 18,
};

enum EndType : quint8 { ZCRCE = 0x68, ZCRCG = 0x69, ZCRCQ = 0x6A, ZCRCW = 0x6B };

constexpr char ZPAD = 0x2A;
constexpr char ZDLE = 0x18;

// The longest data subpacket taken: what senders use by default. Longer ones
// are refused like a bad CRC instead of being buffered without end.
constexpr int kMaxSubpacketData = 1024;

// The four header bytes of a position, least significant byte first.
QByteArray position(quint32 pos);
quint32 positionOf(const QByteArray &headerBytes);

// ZDLE escaping: every control character and its high-bit twin (ZDLE itself
// among them) as ZDLE and the byte XOR 0x40; 0x7F and 0xFF as ZDLE 'l' and
// ZDLE 'm', the only forms every receiver takes for them.
QByteArray escape(const QByteArray &data);
// "**" ZDLE "B", 14 lower-case hex digits of type, bytes and CRC, CR LF.
QByteArray hexHeader(quint8 type, const QByteArray &bytes);
// "*" ZDLE "A", then type, bytes and CRC escaped.
QByteArray binaryHeader(quint8 type, const QByteArray &bytes);
// Escaped data, ZDLE and the end byte, escaped CRC of data and end byte.
QByteArray dataSubpacket(const QByteArray &data, quint8 end);
// The same written to `out`, which has room for subpacketRoom(length) bytes;
// returns the end of what was written. For senders that gather many
// subpackets in one buffer.
constexpr int subpacketRoom(int length) { return 2 * length + 6; }
char *writeDataSubpacket(char *out, const char *data, int length, quint8 end);

// What stands after a header is the host's, but for the end of the
// header's own line (CR, LF, XON), which may come first.
QByteArray pastHeaderEnd(const QByteArray &bytes);
// `bytes` without a receiver's words: its hex headers with their line's
// end, and runs of CANs with the backspaces after them.
QByteArray withoutReceiverFrames(const QByteArray &bytes);

// Reads headers and data subpackets out of the bytes a peer sends, however
// they are cut into pieces. The caller says which of the two it expects next
// (a header is followed by subpackets only for some types); bytes that are
// no frame are passed over while looking for a header.
class FrameScanner
{
public:
    enum Result {
        NeedMore,      // nothing complete yet: feed more bytes
        Header,        // a header with a good CRC
        BadHeader,     // a header whose CRC does not match
        Bin32Header,   // a binary header with a 32-bit CRC, which is not taken
        Subpacket,     // a data subpacket with a good CRC
        BadSubpacket,  // a data subpacket with a bad CRC, or too long
    };

    // Appends bytes from the peer; true when they complete a run of five
    // CANs (the peer's cancel).
    bool append(const QByteArray &data);
    void clear();
    // The bytes not scanned yet, taken out; the scanner is then empty.
    QByteArray takeRest();
    // Received bytes held, decoded or not, of a frame not yet complete.
    int bufferedBytes() const { return int(m_buffer.size() - m_start) + m_scan.length; }

    // The next header: its type and its four bytes.
    Result nextHeader(quint8 &type, QByteArray &bytes);
    // The next data subpacket: its data and its end byte. The data stays
    // valid until the scanner is called again.
    Result nextSubpacket(QByteArrayView &data, int &end);
    // Gives up a subpacket that was cut off; scanning goes on after what of
    // it arrived.
    void dropSubpacket();

private:
    void consume(int count);

    QByteArray m_buffer;
    int m_start = 0;  // consumed bytes at the front of m_buffer
    int m_canRun = 0; // CANs at the end of what arrived so far

    // A data subpacket is decoded as its bytes arrive, and they are
    // consumed at once: a subpacket arriving in pieces is decoded once and
    // what is left in m_buffer after a feed is normally nothing, so that the
    // next feed's bytes are taken without a copy.
    struct SubpacketScan {
        int length = 0;      // data bytes decoded
        bool escape = false; // the last byte was a ZDLE
        int end = -1;        // the end byte, once seen
        int crcLength = 0;   // CRC bytes decoded after it
        quint8 crc[2] = {0, 0};
    } m_scan;
    char m_data[kMaxSubpacketData + 1];
};

// A bracketed paste's start and end, as a terminal marks one for the line
// editor it types into (DEC private mode 2004), each with an "S" after it
// (see kPasteOpen's use in the sender).
inline constexpr char kPasteOpen[] = "\x1b[200~S";
inline constexpr char kPasteClose[] = "\x1b[201~S";

} // namespace Zmodem
