#include "transfer/transfercommon.h"

#include "core/languagemanager.h"
#include "platform/commitfile.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
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

QByteArray sizeTimeMode(const QString &path, qint64 size)
{
    const qint64 mtime = qMax<qint64>(0, QFileInfo(path).lastModified().toSecsSinceEpoch());
    return QByteArray::number(size) + ' ' + QByteArray::number(mtime, 8) + " 100644";
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

QList<bool> brokenUtf8(QByteArrayView bytes)
{
    QList<bool> broken(bytes.size(), false);
    for (qsizetype i = 0; i < bytes.size();) {
        const uchar u = uchar(bytes.at(i));
        const int length = u < 0x80 ? 1 : u >= 0xc2 && u < 0xe0 ? 2 : u >= 0xe0 && u < 0xf0 ? 3 : u >= 0xf0 && u < 0xf5 ? 4 : 0;
        bool whole = length > 0 && i + length <= bytes.size();
        for (int k = 1; whole && k < length; ++k)
            whole = (uchar(bytes.at(i + k)) & 0xc0) == 0x80;
        if (!whole)
            broken[i] = true;
        i += whole ? length : 1;
    }
    return broken;
}

QByteArray hostWordsIn(const QByteArray &bytes)
{
    const QList<bool> broken = brokenUtf8(bytes);
    const auto framingAt = [&](qsizetype i) {
        const char c = bytes.at(i);
        const uchar u = uchar(c);
        return (u < 0x20 && !QByteArrayView("\r\n\t\b\a\x1b").contains(c)) || u == 0x7f || broken.at(i);
    };
    // From the first whole line of text: before it lie the remains of the
    // peer's last frames; after it the shell may echo what of ours it read,
    // whose control bytes are left out.
    qsizetype from = -1;
    for (qsizetype start = 0, at = 0; at < bytes.size() && from < 0; ++at) {
        if (bytes.at(at) != '\r' && bytes.at(at) != '\n')
            continue;
        const QByteArrayView line = QByteArrayView(bytes).sliced(start, at - start);
        bool clean = true;
        for (qsizetype i = start; i < at && clean; ++i)
            clean = !framingAt(i);
        if (clean && std::any_of(line.begin(), line.end(), [](char c) { return QChar::isLetter(uchar(c)) && uchar(c) < 0x80; }))
            from = start;
        start = at + 1;
    }
    if (from < 0) {
        from = bytes.size();
        while (from > 0 && !framingAt(from - 1))
            --from;
    }
    QByteArray words;
    for (qsizetype i = from; i < bytes.size(); ++i)
        if (!framingAt(i))
            words += bytes.at(i);
    while (words.startsWith('\r') || words.startsWith('\n'))
        words.remove(0, 1);
    return words;
}

namespace {

// A name already taken this many times over is not worth more tries.
constexpr int kPartNameTries = 100;

// `bytes` cut to at most `limit` bytes without splitting a UTF-8 character.
QByteArray cutUtf8(const QByteArray &bytes, int limit)
{
    if (bytes.size() <= limit)
        return bytes;
    int end = qMax(limit, 0);
    while (end > 0 && (quint8(bytes[end]) & 0xC0) == 0x80)
        --end;
    return bytes.left(end);
}

} // namespace

void ReceivedFile::reset()
{
    if (m_file.isOpen())
        m_file.close();
    m_file.setFileName(QString());
    m_finalPath.clear();
    m_kept.clear();
    m_committed = 0;
}

bool ReceivedFile::start(const QString &finalPath)
{
    if (pending()) {
        if (finalPath == m_finalPath)
            discard();
        else
            keepIncomplete();
    }
    const QFileInfo target(finalPath);
    const QDir folder = target.absoluteDir();
    const QByteArray name = QFile::encodeName(target.fileName());
    const int limit = platform::maxFileNameBytes(folder.path());
    if (name.size() <= limit) {
        for (int n = 0; n < kPartNameTries; ++n) {
            const QByteArray suffix = n == 0 ? QByteArray(".part") : '.' + QByteArray::number(n) + ".part";
            const QByteArray base = cutUtf8(name, limit - int(suffix.size()));
            const QString candidate = folder.filePath(QFile::decodeName(base + suffix));
            m_file.setFileName(candidate);
            if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
                m_finalPath = finalPath;
                return true;
            }
            const QFileInfo clash(candidate);
            if (!clash.exists() && !clash.isSymLink())
                break; // not a name that is taken: another try will not help
        }
    }
    m_file.setFileName(QString());
    return false;
}

QString ReceivedFile::commit(qint64 expectedSize)
{
    if (m_file.isOpen()) {
        if (expectedSize >= 0 && m_file.size() > expectedSize)
            m_file.resize(expectedSize);
        m_file.close();
    }
    QString why;
    QString error;
    if (platform::commitFile(m_file.fileName(), m_finalPath, &why))
        ++m_committed;
    else
        error = LanguageManager::tr("提交接收文件失败（%1），已收到的数据保留在 %2")
                    .arg(why, m_file.fileName());
    m_file.setFileName(QString());
    m_finalPath.clear();
    return error;
}

void ReceivedFile::startWriteback()
{
    if (m_file.isOpen() && m_file.flush())
        platform::startWriteback(m_file.handle());
}

void ReceivedFile::keepIncomplete()
{
    if (m_file.isOpen())
        m_file.close();
    if (pending())
        m_kept << m_file.fileName();
    m_file.setFileName(QString());
    m_finalPath.clear();
}

void ReceivedFile::discard()
{
    if (m_file.isOpen())
        m_file.close();
    if (pending())
        QFile::remove(m_file.fileName());
    m_file.setFileName(QString());
    m_finalPath.clear();
}

QString ReceivedFile::finish(QString error, qint64 expectedSize, bool commitPending)
{
    if (pending()) {
        if (!error.isEmpty())
            discard();
        else if (commitPending)
            error = commit(expectedSize);
        else
            keepIncomplete();
    }
    if (m_file.isOpen())
        m_file.close();
    if (m_kept.isEmpty())
        return error;
    const QString kept = m_kept.join(LanguageManager::tr("、"));
    if (!error.isEmpty())
        return LanguageManager::tr("%1（未收完整的文件保留为 %2）").arg(error, kept);
    return LanguageManager::tr("接收未完成：%1 个文件收完，%2 个未收完整，保留为 %3", m_committed)
        .arg(QString::number(m_committed), QString::number(m_kept.size()), kept);
}
