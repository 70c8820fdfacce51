#pragma once

// What the ZMODEM engine tests share: frames built and read back as text,
// and an engine harness that lets a window go out.

#include "tests/transfer/enginetest.h"
#include "transfer/zmodemtransfer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

using namespace Zmodem;

namespace {


const char *const kTypeNames[] = {"ZRQINIT", "ZRINIT", "ZSINIT", "ZACK",  "ZFILE", "ZSKIP", "ZNAK",
                                  "ZABORT",  "ZFIN",   "ZRPOS",  "ZDATA", "ZEOF"};
// kStop: our stop, CANs for the peer, then Ctrl+G, Ctrl+E and Ctrl+U for a shell.
constexpr quint32 kMost = ~0u;
const QString kZrinit = "ZRINIT 3221225472", kStop = "raw 1818181818181818070515", kOO = "raw 4f4f", kRunning = "<running>";

inline char takeByte(const QByteArray &wire, int &i)
{
    if (wire[i] != ZDLE)
        return wire[i++];
    const char c = wire[(i += 2) - 1];
    return c == 'l' ? char(0x7F) : c == 'm' ? char(0xFF) : char(c ^ 0x40);
}

// Reads our output back as a list of frame descriptions, such as
// "ZDATA 0", "data 1024 i", "ZEOF 1024", "raw 4f4f", so that whole exchanges
// can be compared at a glance. Headers are checked for a good CRC.
inline QStringList describe(const QByteArray &wire)
{
    QStringList out;
    bool subpackets = false;
    for (int i = 0; i < wire.size();) {
        if (subpackets) {
            QByteArray data;
            char end = 0;
            while (i < wire.size() && !end) {
                if (wire[i] == ZDLE && wire[i + 1] >= 'h' && wire[i + 1] <= 'k')
                    end = wire[(i += 2) - 1];
                else
                    data.append(takeByte(wire, i));
            }
            takeByte(wire, i), takeByte(wire, i); // its CRC
            out << QStringLiteral("data %1 %2").arg(data.size()).arg(QLatin1Char(end));
            subpackets = end == 'i' || end == 'j';
            continue;
        }
        QByteArray raw;
        if (wire[i] == '\x15') { // the line kill between frames
            out << "^U";
            ++i;
            continue;
        }
        // A bracketed paste's marks around frames, each with its "S".
        if (wire.mid(i, 7) == "\x1b[200~S" || wire.mid(i, 7) == "\x1b[201~S") {
            out << (wire[i + 4] == '0' ? "<paste" : "paste>");
            i += 7;
            continue;
        }
        if (wire.mid(i, 4) == "**\x18" "B") {
            raw = QByteArray::fromHex(wire.mid(i + 4, 14));
            i += 20;
        } else if (wire.mid(i, 3) == "*\x18" "A") {
            for (i += 3; raw.size() < 7;)
                raw.append(takeByte(wire, i));
        } else {
            out << "raw " + QString::fromLatin1(wire.mid(i).toHex());
            break;
        }
        const quint16 crc = crc16(raw.constData(), 5);
        const bool crcOk = quint8(raw[5]) == (crc >> 8) && quint8(raw[6]) == (crc & 0xFF);
        const int type = quint8(raw[0]);
        out << QStringLiteral("%1 %2%3")
                   .arg(type < 12 ? QString::fromLatin1(kTypeNames[type]) : QString::number(type))
                   .arg(positionOf(raw.mid(1, 4)))
                   .arg(crcOk ? "" : " BADCRC");
        subpackets = type == ZFILE || type == ZDATA;
    }
    return out;
}

inline QByteArray hex(int type, quint32 pos = 0) { return hexHeader(quint8(type), position(pos)); }
inline QByteArray bin(int type, quint32 pos = 0) { return binaryHeader(quint8(type), position(pos)); }
inline QByteArray fileInfo(const QByteArray &name, const QByteArray &rest) { return name + '\0' + rest; }
inline QByteArray offer(const QByteArray &info) { return bin(ZFILE, 0x01000000) + dataSubpacket(info, ZCRCW); }

// A whole file's data in one subpacket, and its ZEOF.
inline QByteArray wholeFile(const QByteArray &d) { return bin(ZDATA) + dataSubpacket(d, ZCRCE) + hex(ZEOF, quint32(d.size())); }

const QByteArray all = [] { QByteArray a; for (int i = 0; i < 256; ++i) a.append(char(i)); return a; }();
struct Harness : EngineHarness<ZmodemTransfer> {
    // A window goes out in pieces between turns of the event loop.
    void settle()
    {
        // The window goes out piece by piece on a timer: on a busy machine
        // a count of event-loop turns can end before the timer fires, so
        // the wait ends only once nothing more has gone out for a while.
        QElapsedTimer quiet;
        quiet.start();
        qsizetype seen = sent.size();
        while (transfer.writingWindow() && quiet.elapsed() < 500) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (sent.size() != seen) {
                seen = sent.size();
                quiet.restart();
            }
        }
    }
    QStringList take() { return describe(takeWire()); }
};

// Bytes that escape into ZDLE 'A', 'B', 'C', and ZPAD before one of them.
inline QByteArray awkward(int size)
{
    QByteArray d;
    for (int i = 0; d.size() < size; ++i)
        d.append(QByteArray("\x01*\x02x\x03*\x01\x18").at(i % 8));
    return d;
}

} // namespace
