// zmodem_bench [MIB] [RUNS]
//
// Drives the ZMODEM engine in process with no link in between, so that what
// the engine itself costs per byte shows apart from the pty and the peer:
//   send:    a file of MIB mebibytes of pseudo-random bytes, every
//            acknowledgement asked for given at once;
//   receive: the frames a sender makes of the same bytes, fed in 4 KiB
//            pieces as a pty delivers them.
// Prints one line per case: the best and the median of RUNS runs in MB/s,
// and a fingerprint of the bytes the engine sent, which stays the same as
// long as the engine puts the same bytes on the wire.

#include "transfer/zmodemtransfer.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Zmodem;

namespace {

QByteArray pseudoRandom(qint64 size)
{
    QByteArray out(size, Qt::Uninitialized);
    quint64 x = 0x9E3779B97F4A7C15ull;
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = char(x >> 24);
    }
    return out;
}

struct Outcome {
    double seconds = 0;
    QByteArray wire;
    bool ok = false;
};

Outcome runSend(const QString &path)
{
    Outcome o;
    ZmodemTransfer t;
    QObject::connect(&t, &ZmodemTransfer::transferFinished, [&](const QString &, bool ok, const QString &) { o.ok = ok; });
    o.wire.reserve(32 << 20);
    QElapsedTimer clock;
    clock.start();
    t.startSend([&](const QByteArray &b) { o.wire += b; }, QStringLiteral("b"), {path});
    t.feed(hexHeader(ZRINIT, QByteArray("\0\0\0\xC0", 4)));
    t.feed(hexHeader(ZRPOS, position(0)));
    // Answered as a receiver does: a ZACK for each subpacket that asks for
    // one, with the position of its end. An escaped byte is never 'h' to
    // 'k', so ZDLE 'h' to 'k' are the ends, each followed by its CRC.
    const QByteArray zdata = binaryHeader(ZDATA, position(0));
    qsizetype scanned = o.wire.indexOf(zdata);
    while (scanned < 0 && t.state() == ZmodemTransfer::TxData) {
        QCoreApplication::processEvents();
        scanned = o.wire.indexOf(zdata);
    }
    scanned += zdata.size();
    quint32 pos = 0;
    int crcLeft = 0;
    while (t.state() == ZmodemTransfer::TxData) {
        bool answered = false;
        while (scanned < o.wire.size()) {
            const char c = o.wire.at(scanned);
            if (c == ZDLE && scanned + 1 >= o.wire.size())
                break; // its escaped byte is still to come
            scanned += c == ZDLE ? 2 : 1;
            const char e = c == ZDLE ? o.wire.at(scanned - 1) : 0;
            if (crcLeft > 0) {
                --crcLeft;
            } else if (e >= 'h' && e <= 'k') {
                crcLeft = 2;
                if (e == 'j' || e == 'k') {
                    t.feed(hexHeader(ZACK, position(pos)));
                    answered = true;
                }
            } else {
                ++pos;
            }
        }
        if (!answered)
            QCoreApplication::processEvents(); // the window's next piece
    }
    t.feed(hexHeader(ZRINIT, QByteArray("\0\0\0\xC0", 4)));
    t.feed(hexHeader(ZFIN, QByteArray(4, '\0')));
    o.seconds = clock.nsecsElapsed() / 1e9;
    return o;
}

QByteArray senderStream(const QByteArray &content)
{
    QByteArray s = hexHeader(ZRQINIT, QByteArray(4, '\0'));
    s += binaryHeader(ZFILE, QByteArray("\0\0\0\1", 4));
    s += dataSubpacket("bench.bin" + QByteArray(1, '\0') + QByteArray::number(content.size()) + " 0 100644", ZCRCW);
    s += binaryHeader(ZDATA, position(0));
    for (qint64 at = 0; at < content.size(); at += 1024)
        s += dataSubpacket(content.mid(at, 1024), ZCRCG);
    s += dataSubpacket(QByteArray(), ZCRCE);
    s += hexHeader(ZEOF, position(quint32(content.size())));
    s += hexHeader(ZFIN, QByteArray(4, '\0'));
    s += "OO"; // a receiver ends at the sender's last word
    return s;
}

Outcome runReceive(const QString &dir, const QByteArray &stream)
{
    Outcome o;
    ZmodemTransfer t;
    QObject::connect(&t, &ZmodemTransfer::transferFinished, [&](const QString &, bool ok, const QString &) { o.ok = ok; });
    QElapsedTimer clock;
    clock.start();
    t.startReceive([&](const QByteArray &b) { o.wire += b; }, QStringLiteral("b"), dir);
    for (qint64 at = 0; at < stream.size() && t.isActive(); at += 4096)
        t.feed(stream.mid(at, 4096));
    o.seconds = clock.nsecsElapsed() / 1e9;
    return o;
}

void report(const char *name, qint64 bytes, std::vector<double> seconds, const QByteArray &wire, bool ok)
{
    std::sort(seconds.begin(), seconds.end());
    const double mb = bytes / 1e6;
    std::printf("zmodem %-7s bytes=%lld best=%.1fMB/s median=%.1fMB/s wire=%s result=%s\n", name, bytes,
                mb / seconds.front(), mb / seconds[seconds.size() / 2],
                QCryptographicHash::hash(wire, QCryptographicHash::Sha1).toHex().left(16).constData(),
                ok ? "ok" : "failed");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 16;
    const int runs = argc > 2 ? QByteArray(argv[2]).toInt() : 5;
    QTemporaryDir dir;
    const QByteArray content = pseudoRandom(mib << 20);
    const QString path = dir.filePath(QStringLiteral("send.bin"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        return 1;
    // The time goes into the file offer: a fixed one keeps the fingerprint.
    f.setFileTime(QDateTime::fromSecsSinceEpoch(1700000000), QFileDevice::FileModificationTime);
    f.close();

    std::vector<double> times;
    Outcome last;
    bool ok = true;
    for (int i = 0; i < runs; ++i) {
        last = runSend(path);
        times.push_back(last.seconds);
        ok = ok && last.ok;
    }
    report("send", content.size(), times, last.wire, ok);
    if (qEnvironmentVariableIsSet("ZMODEM_BENCH_WIRE")) {
        QFile wire(qEnvironmentVariable("ZMODEM_BENCH_WIRE"));
        if (wire.open(QIODevice::WriteOnly))
            wire.write(last.wire);
    }

    const QByteArray stream = senderStream(content);
    if (qEnvironmentVariableIsSet("ZMODEM_BENCH_STREAM")) {
        QFile out(qEnvironmentVariable("ZMODEM_BENCH_STREAM"));
        if (out.open(QIODevice::WriteOnly))
            out.write(stream);
    }
    const QString rxDir = dir.filePath(QStringLiteral("rx"));
    QDir().mkpath(rxDir);
    times.clear();
    for (int i = 0; i < runs; ++i) {
        last = runReceive(rxDir, stream);
        times.push_back(last.seconds);
        QFile got(rxDir + QStringLiteral("/bench.bin"));
        ok = ok && last.ok && got.open(QIODevice::ReadOnly) && got.readAll() == content;
    }
    report("receive", content.size(), times, last.wire, ok);
    return ok ? 0 : 1;
}
