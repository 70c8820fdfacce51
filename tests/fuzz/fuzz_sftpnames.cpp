// Fuzz target: the entries of a remote folder listing as a server may send
// them, names and attributes alike. Records of: a 2-byte name length, a flag
// byte (attribute flags, and 0x80: leave the current folder), permissions
// (4 bytes), size and modification time (8 and 4 bytes), then the name. A
// folder download walks them: every local path it would make stays inside
// the chosen folder, and every name it uses comes back out of the paths and
// commands built from it.
#include "sftp/sftpnames.h"

#include <QDir>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fuzzcheck.h" // last: its check() would clash with Qt's headers

using namespace sftpnames;

namespace {

template <typename T>
T take(const uint8_t *&data, size_t &size)
{
    T value{};
    const size_t n = std::min(size, sizeof value);
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString chosen = QStringLiteral("/home/u/down/folder");
    QStringList folders; // where the walk is, below chosen
    while (size > 0) {
        const size_t length = std::min<size_t>(take<uint16_t>(data, size), size);
        const uint8_t flags = take<uint8_t>(data, size);
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        attrs.flags = flags & 0x0f;
        attrs.permissions = take<uint32_t>(data, size);
        attrs.filesize = take<uint64_t>(data, size);
        attrs.mtime = take<uint32_t>(data, size);
        const size_t nameLength = std::min(length, size);
        const DirEntry e = decodeEntry(reinterpret_cast<const char *>(data), int(std::min<size_t>(nameLength, 4096)), attrs);
        data += nameLength;
        size -= nameLength;
        if ((flags & 0x80) && !folders.isEmpty())
            folders.removeLast();

        check(e.size() >= 0 && !(e.isDir() && e.isLink()));
        const QVariantMap tree = treeEntry(e);
        const QVariantMap dialog = dialogEntry(e);
        check(tree.value("dir").toBool() == e.isDir() && dialog.value("dir").toBool() == e.isDir());
        check(dialog.value("size").toLongLong() >= 0
              && (e.attrs.flags & LIBSSH2_SFTP_ATTR_ACMODTIME || dialog.value("mtime").toLongLong() == 0));
        if (e.kind != NameKind::Plain) {
            check(e.raw.isEmpty() || e.raw.contains('/') || e.raw.contains('\0') || e.raw == "." || e.raw == "..");
            continue;
        }
        check(!e.name.isEmpty() && !e.name.contains('/') && e.name != "." && e.name != "..");

        const QString remote = joinRemotePath(QStringLiteral("/srv/data"), e.name);
        check(remoteName(remote) == e.name && remoteParent(remote) == "/srv/data");
        const QByteArray quoted = shellQuote(e.raw);
        check(quoted.startsWith('\'') && quoted.endsWith('\'')
              && quoted.mid(1, quoted.size() - 2).replace("'\\''", "'") == e.raw);
        check(packCommand(remote, remote + ".tar.gz").endsWith(" " + shellQuote("./" + e.name.toUtf8())));

        const QString local = chosen + QLatin1Char('/') + (folders + QStringList{e.name}).join(QLatin1Char('/'));
        check(QDir::cleanPath(local) == local && local.startsWith(chosen + QLatin1Char('/')));
        if (e.isDir() && folders.size() < 64)
            folders.append(e.name);
    }
    return 0;
}
