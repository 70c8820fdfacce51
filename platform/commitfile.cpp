#include "platform/commitfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

bool fail(QString *errorText, const char *what, int err)
{
    if (errorText)
        *errorText = QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
    return false;
}

} // namespace

bool syncDescriptor(int fd)
{
    while (::fsync(fd) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

void startWriteback(int fd)
{
    if (fd >= 0)
        ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

int maxFileNameBytes(const QString &folder)
{
    const long limit = ::pathconf(QFile::encodeName(folder).constData(), _PC_NAME_MAX);
    return limit > 0 ? int(qMin<long>(limit, 4096)) : NAME_MAX;
}

bool commitFile(const QString &tempPath, const QString &finalPath, QString *errorText)
{
    const QByteArray from = QFile::encodeName(tempPath);
    const QByteArray to = QFile::encodeName(finalPath);

    const int fd = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(errorText, "open", errno);
    const bool synced = syncDescriptor(fd);
    const int syncErr = errno;
    ::close(fd);
    if (!synced)
        return fail(errorText, "fsync", syncErr);

    if (::rename(from.constData(), to.constData()) != 0)
        return fail(errorText, "rename", errno);

    // The rename lives in the folder's entries: flush them too. A folder that
    // cannot be opened for syncing (some file systems) does not undo the commit.
    const QByteArray folder = QFile::encodeName(QFileInfo(finalPath).absolutePath());
    const int dfd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        syncDescriptor(dfd);
        ::close(dfd);
    }
    return true;
}

} // namespace platform
