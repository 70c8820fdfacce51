#include "sftp/sftpnames.h"

namespace sftpnames {

NameKind classify(const QByteArray &raw)
{
    if (raw.isEmpty() || raw.contains('/') || raw.contains('\0'))
        return NameKind::Unsafe;
    if (raw == ".")
        return NameKind::Dot;
    if (raw == "..")
        return NameKind::DotDot;
    return NameKind::Plain;
}

DirEntry decodeEntry(const char *buffer, int length, const LIBSSH2_SFTP_ATTRIBUTES &attrs)
{
    DirEntry entry;
    entry.raw = QByteArray(buffer, qMax(0, length));
    entry.name = QString::fromUtf8(entry.raw);
    entry.kind = classify(entry.raw);
    entry.attrs = attrs;
    return entry;
}

QVariantMap treeEntry(const DirEntry &entry)
{
    const unsigned long t = entry.type();
    const bool exec = entry.hasPermissions() && t != LIBSSH2_SFTP_S_IFDIR && (entry.attrs.permissions & 0111);
    return {{QStringLiteral("name"), entry.name},
            {QStringLiteral("dir"), t == LIBSSH2_SFTP_S_IFDIR},
            {QStringLiteral("link"), t == LIBSSH2_SFTP_S_IFLNK},
            {QStringLiteral("exec"), exec},
            {QStringLiteral("fifo"), t == LIBSSH2_SFTP_S_IFIFO},
            {QStringLiteral("sock"), t == LIBSSH2_SFTP_S_IFSOCK},
            {QStringLiteral("dev"), t == LIBSSH2_SFTP_S_IFCHR || t == LIBSSH2_SFTP_S_IFBLK}};
}

QVariantMap dialogEntry(const DirEntry &entry)
{
    const bool times = entry.attrs.flags & LIBSSH2_SFTP_ATTR_ACMODTIME;
    return {{QStringLiteral("name"), entry.name},
            {QStringLiteral("dir"), entry.isDir()},
            {QStringLiteral("size"), entry.size()},
            {QStringLiteral("mtime"), times ? qint64(entry.attrs.mtime) : qint64(0)}};
}

bool entryLessThan(const QVariant &a, const QVariant &b)
{
    const QVariantMap x = a.toMap();
    const QVariantMap y = b.toMap();
    const bool xd = x.value(QStringLiteral("dir")).toBool();
    const bool yd = y.value(QStringLiteral("dir")).toBool();
    if (xd != yd)
        return xd;
    return QString::compare(x.value(QStringLiteral("name")).toString(), y.value(QStringLiteral("name")).toString(),
                            Qt::CaseInsensitive) < 0;
}

unsigned long newFileMode(unsigned long sourceMode)
{
    return 0644 & sourceMode;
}

// Qt keeps owner, group and others in one hex digit each.
QFileDevice::Permissions localPermissions(unsigned long mode)
{
    return QFileDevice::Permissions::fromInt(int((mode & 0700) << 6 | (mode & 070) << 1 | (mode & 07)));
}

unsigned long modeOf(QFileDevice::Permissions permissions)
{
    const unsigned long p = permissions.toInt();
    return (p >> 6 & 0700) | (p >> 1 & 070) | (p & 07);
}

QString joinRemotePath(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

QString remoteParent(const QString &path)
{
    const qsizetype i = path.lastIndexOf(QLatin1Char('/'));
    if (i < 0)
        return QStringLiteral(".");
    return i > 0 ? path.left(i) : QStringLiteral("/");
}

QString remoteName(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString statusText(unsigned long status)
{
    static const char *const texts[] = {"Success", "End of file", "No such file", "Permission denied", "Failure",
                                        "Bad message", "No connection", "Connection lost", "Operation unsupported"};
    if (status < sizeof texts / sizeof *texts)
        return QLatin1String(texts[status]);
    return QStringLiteral("SFTP status %1").arg(status);
}

QByteArray shellQuote(const QByteArray &text)
{
    QByteArray out = "'";
    for (const char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + '\'';
}

QByteArray packCommand(const QString &path, const QString &archive)
{
    const QString name = remoteName(path);
    if (classify(name.toUtf8()) != NameKind::Plain || archive.isEmpty())
        return QByteArray();
    return "tar -czf " + shellQuote(archive.toUtf8()) + " -C " + shellQuote(remoteParent(path).toUtf8()) + ' '
           + shellQuote("./" + name.toUtf8());
}

bool Percent::advance(qint64 done)
{
    // A file that grew past its size stays at 100.
    const int percent = m_total > 0 ? int(qMin<qint64>(done * 100 / m_total, 100)) : 100;
    if (percent == m_last)
        return false;
    m_last = percent;
    return true;
}

} // namespace sftpnames
