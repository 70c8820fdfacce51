#include "transfer/transfercommon.h"

#include "platform/commitfile.h"

#include <array>

namespace {

using CrcTable = std::array<quint16, 256>;

CrcTable buildCrcTable()
{
    CrcTable table{};
    for (int i = 0; i < 256; ++i) {
        quint16 r = quint16(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 0x8000) ? quint16((r << 1) ^ 0x1021) : quint16(r << 1);
        table[size_t(i)] = r;
    }
    return table;
}

} // namespace

quint16 crc16(const char *data, int length, quint16 crc)
{
    static const CrcTable table = buildCrcTable(); // thread-safe one-time init
    quint16 r = crc;
    for (int i = 0; i < length; ++i)
        r = quint16((r << 8) ^ table[((r >> 8) ^ quint8(data[i])) & 0xFF]);
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
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || (u >= 0x202A && u <= 0x202E)
            || (u >= 0x2066 && u <= 0x2069))
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
