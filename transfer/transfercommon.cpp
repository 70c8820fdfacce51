#include "transfer/transfercommon.h"

#include "platform/commitfile.h"

#include <array>

namespace {

// Eight tables: entry b of table k is the CRC of byte b followed by k zero
// bytes, so that eight bytes fold into the CRC with eight independent
// look-ups instead of a chain of eight dependent ones.
using CrcTables = std::array<std::array<quint16, 256>, 8>;

CrcTables buildCrcTables()
{
    CrcTables t{};
    for (int i = 0; i < 256; ++i) {
        quint16 r = quint16(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 0x8000) ? quint16((r << 1) ^ 0x1021) : quint16(r << 1);
        t[0][size_t(i)] = r;
    }
    for (size_t k = 1; k < t.size(); ++k) {
        for (size_t i = 0; i < 256; ++i) {
            const quint16 prev = t[k - 1][i];
            t[k][i] = quint16((prev << 8) ^ t[0][prev >> 8]);
        }
    }
    return t;
}

} // namespace

quint16 crc16(const char *data, int length, quint16 crc)
{
    static const CrcTables t = buildCrcTables(); // thread-safe one-time init
    const auto *p = reinterpret_cast<const quint8 *>(data);
    quint16 r = crc;
    for (; length >= 8; length -= 8, p += 8) {
        r = quint16(t[7][p[0] ^ (r >> 8)] ^ t[6][p[1] ^ (r & 0xFF)] ^ t[5][p[2]] ^ t[4][p[3]]
                    ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
    }
    for (; length > 0; --length, ++p)
        r = quint16((r << 8) ^ t[0][((r >> 8) ^ *p) & 0xFF]);
    return r;
}

QString safeReceivedName(const QString &peerName)
{
    const int cut = qMax(peerName.lastIndexOf(QLatin1Char('/')), peerName.lastIndexOf(QLatin1Char('\\')));
    const QString name = peerName.mid(cut + 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    for (const QChar ch : name) {
        const ushort u = ch.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
            return QString();
    }
    return name;
}

bool commitReceivedFile(const QString &tmpPath, const QString &finalPath)
{
    return platform::commitFile(tmpPath, finalPath);
}

void closeReceivedFile(QFile &file, qint64 expectedSize)
{
    if (!file.isOpen())
        return;
    if (expectedSize >= 0 && file.size() > expectedSize)
        file.resize(expectedSize);
    file.close();
}

QString settleReceivedFile(QFile &file, QString &finalPath, qint64 expectedSize, QString error, bool refuseShort)
{
    closeReceivedFile(file, expectedSize);
    if (error.isEmpty() && !finalPath.isEmpty()) {
        const bool shortFile = refuseShort && expectedSize >= 0 && file.size() < expectedSize;
        if (shortFile || !commitReceivedFile(file.fileName(), finalPath))
            error = QStringLiteral("提交接收文件失败");
        else
            finalPath.clear();
    }
    if (!error.isEmpty() && !finalPath.isEmpty() && !file.fileName().isEmpty())
        QFile::remove(file.fileName());
    finalPath.clear();
    return error;
}
