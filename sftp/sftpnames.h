#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>
#include <QVariant>

#include <cstdint>

#include <libssh2.h>
#include <libssh2_sftp.h>

// What the SFTP workers make of the names and attributes a server sends, and
// of the paths and commands they build from them. Names are hostile input:
// each one is classified before anything uses it as a path component.
namespace sftpnames {

enum class NameKind {
    Plain,  // usable as one path component
    Dot,    // "."
    DotDot, // ".."
    Unsafe, // empty, or holds "/" or NUL: never a path component
};

struct DirEntry {
    QByteArray raw; // as the server sent it
    QString name;   // raw decoded from UTF-8
    NameKind kind = NameKind::Unsafe;
    LIBSSH2_SFTP_ATTRIBUTES attrs{};

    bool hasPermissions() const { return attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS; }
    unsigned long type() const { return hasPermissions() ? attrs.permissions & LIBSSH2_SFTP_S_IFMT : 0; }
    bool isDir() const { return type() == LIBSSH2_SFTP_S_IFDIR; }
    bool isLink() const { return type() == LIBSSH2_SFTP_S_IFLNK; }
    // A size past what a signed count holds is a server's nonsense, not a
    // negative number for the sums and buffers made from it.
    qint64 size() const
    {
        return attrs.flags & LIBSSH2_SFTP_ATTR_SIZE ? qint64(qMin<quint64>(attrs.filesize, quint64(INT64_MAX))) : 0;
    }
};

NameKind classify(const QByteArray &raw);

// One entry of a directory read: length is what libssh2_sftp_readdir_ex
// returned (the name may hold NUL bytes before it).
DirEntry decodeEntry(const char *buffer, int length, const LIBSSH2_SFTP_ATTRIBUTES &attrs);

// The listing maps: the tree's name and six type flags, the dialog's name,
// dir, size and modification time.
QVariantMap treeEntry(const DirEntry &entry);
QVariantMap dialogEntry(const DirEntry &entry);

// Folders first, then names without regard to case; stable.
bool entryLessThan(const QVariant &a, const QVariant &b);

QString joinRemotePath(const QString &folder, const QString &name);

// The folder part and the last component of a remote path: "/a/b" gives
// "/a" and "b", "/a" gives "/" and "a", "a" gives "." and "a".
QString remoteParent(const QString &path);
QString remoteName(const QString &path);

// The permission bits of a file that a transfer makes: those any new file
// gets, narrowed by the source's own, so that a private file stays private
// at the other end. A file it replaces keeps its own.
unsigned long newFileMode(unsigned long sourceMode);
// POSIX permission bits and Qt's for a local file, both ways.
QFileDevice::Permissions localPermissions(unsigned long mode);
unsigned long modeOf(QFileDevice::Permissions permissions);

// OpenSSH's wording of an SFTP status code: the server's own reason.
QString statusText(unsigned long status);

// Wraps text in single quotes for a POSIX shell; a quote inside becomes '\''.
QByteArray shellQuote(const QByteArray &text);

// The remote command that packs path into archive: tar changes into the
// parent and packs "./name", so no name is ever read as an option. Empty
// when there is nothing to pack (the root, an empty name, "." or "..").
QByteArray packCommand(const QString &path, const QString &archive);

// Progress as whole percents: emits only when the percentage changes.
class Percent
{
public:
    explicit Percent(qint64 total) : m_total(total) {}
    // True when done makes a new percentage (with a total of 0 or less,
    // only the first call does, as 100).
    bool advance(qint64 done);

private:
    qint64 m_total;
    int m_last = -1;
};

} // namespace sftpnames
