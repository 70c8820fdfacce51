#pragma once

#include <QByteArray>
#include <QString>

// The packet layer of basic Kermit: one-character lengths, sequence numbers
// modulo 64, block checks 1, 2 and 3 and control prefixing. No long packets,
// no sliding windows, no eighth-bit prefixing and no repeat counts: the
// Send-Init this side offers turns all of them off, so peers do not use them.
//
// Packet on the wire:
//   MARK(0x01) LEN SEQ TYPE DATA... CHECK(1-3) [EOL]
// LEN counts SEQ, TYPE, DATA and CHECK; the check covers LEN through DATA.
namespace kermit {

constexpr char kMark = 0x01;
constexpr char kDefaultPrefix = '#';
constexpr int kDefaultEol = 13;
constexpr int kMaxPacketLength = 94; // the longest packet a one-character LEN can state
constexpr int kMinPacketLength = 20; // below this a peer's MAXL is not taken literally
constexpr int kTimeAsked = 10;       // seconds the peer waits for us before it repeats itself

inline char tochar(int x) { return char(x + 32); }
inline int unchar(char c) { return int(quint8(c)) - 32; }

// Characters of the block check of a type; any type but 2 and 3 is type 1.
int checkLength(int checkType);

// CRC-16/KERMIT: the CCITT polynomial reflected (0x8408), initial value 0,
// no final XOR; "123456789" gives 0x2189. Table-driven, built once.
quint16 crc16Kermit(const char *bytes, int count);

// The block check of a type over `count` bytes (LEN through the last data
// character), as the characters that go on the wire.
QByteArray blockCheck(int checkType, const char *bytes, int count);

// A whole packet: MARK, LEN, SEQ (seq modulo 64), TYPE, the already encoded
// data, the block check and, when eolChar is above 0, that byte.
QByteArray buildPacket(char type, int seq, const QByteArray &data, int checkType, int eolChar);

// True when the packet (starting at its MARK, with LEN value `len`) carries a
// good check of the given type.
bool verifyBlockCheck(const char *packet, int available, int len, int checkType);

// Control prefixing: bytes 0-31 become prefix + (b XOR 64), 127 becomes
// prefix + '?', the prefix itself is doubled; everything else, 128-255
// included, goes as it is (the link is taken to be eight-bit clean).
QByteArray encodePrefixed(const QByteArray &bytes, char prefix);

// Encodes bytes from `bytes` into `out` as long as the encoded field stays
// within `room` characters; returns how many input bytes were taken. A byte
// is never split from its prefix.
int encodeInto(const char *bytes, int count, char prefix, int room, QByteArray *out);

// The reverse of prefixing as peers send it: prefix + c is c XOR 64 when the
// low seven bits of c lie in 63..95 (so C1 controls and 0xFF, sent as the
// prefix and the byte with bit 6 flipped, come back too) and c itself
// otherwise (prefix + prefix, or prefix + a byte the peer quoted needlessly).
// A lone prefix at the end is kept.
QByteArray decodePrefixed(const QByteArray &field, char prefix);
// What the user reads of the peer's error packet.
QString peerErrorText(const QByteArray &data, char prefix);

// The longest prefix of `text` whose encoded UTF-8 form fits in `room`
// characters, cut between whole characters.
QByteArray encodeTextWithin(const QString &text, char prefix, int room);

// Send-Init parameters. This side sends nine fields and reads the first
// eight; the block-check type travels as the digit '1', '2' or '3'.
struct SendInit {
    int maxLen = kMaxPacketLength;
    int eol = kDefaultEol;
    char ctlPrefix = kDefaultPrefix;
    int checkType = 1;
};

// The nine parameter characters: MAXL 94, time-out 10 s, no padding, EOL CR,
// prefix '#', no eighth-bit prefixing, the given check type, no repeat counts.
QByteArray sendInitData(int checkType);

// Reads what `data` holds into `params`, leaving absent or unusable fields as
// they are. MAXL is held to 20..94, an EOL outside 0..127 gives CR, a prefix
// that is blank or not a valid prefix character is ignored, CHKT is accepted as a digit '1'-'3' or as '!'-'#'.
void readSendInit(const QByteArray &data, SendInit *params);

struct Packet {
    int seq = 0;
    char type = 0;
    QByteArray data;
    int checkType = 1; // the check type it passed under
};

enum class ScanResult {
    NeedMore, // no complete packet yet; nothing past `pos` was consumed
    Packet,   // a good packet; `pos` is past it
    Bad,      // a packet that fails every check it may pass; `pos` is past its MARK only
};

// Finds the next packet in buf from *pos on. Bytes before a MARK are skipped;
// a MARK with an impossible LEN is skipped alone, so that a MARK inside it is
// still found. A packet is checked under `checkType`; only Send-Init and
// error packets may pass under another type, because a peer sends those
// before (or without) agreeing on one, while a data packet that fits another
// type only by chance must not be taken.
ScanResult scanNext(const QByteArray &buf, int *pos, int checkType, Packet *out);

} // namespace kermit
