#include "platform/safefile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

static_assert(S_IFREG == 0100000 && S_IFDIR == 040000 && S_IFLNK == 0120000 && S_IFIFO == 010000
                  && S_IFCHR == 020000 && S_IFBLK == 060000 && S_IFSOCK == 0140000,
              "file types are handed on in their traditional values");

// O_NONBLOCK only matters while opening (a FIFO without writer would hang
// the caller); once the descriptor is known to be a regular file it is
// switched back, unless the caller keeps it, so that reads and writes behave
// as usual. What the path names may have changed since anybody looked: the
// descriptor is what counts.
int openChecked(const QString &path, int flags, mode_t mode, int follow = O_NOFOLLOW, unsigned long *type = nullptr,
                bool staysNonBlocking = false)
{
    const QByteArray name = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(name.constData(), flags | follow | O_NONBLOCK | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st;
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (type)
        *type = st.st_mode & S_IFMT;
    if (err == 0 && !S_ISREG(st.st_mode))
        err = EINVAL;
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    const int fl = staysNonBlocking ? -1 : ::fcntl(fd, F_GETFL);
    if (fl >= 0)
        ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

} // namespace

int openRegularForReading(const QString &path)
{
    return openChecked(path, O_RDONLY, 0);
}

int openChosenForReading(const QString &path, unsigned long *type)
{
    struct stat st;
    *type = 0;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    *type = st.st_mode & S_IFMT;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return openChecked(path, O_RDONLY, 0, 0, type, true);
}

int createExclusive(const QString &path)
{
    return openChecked(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
}

bool isReplaceableTarget(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::lstat(name.constData(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISREG(st.st_mode))
        return false;
    if (!(st.st_mode & S_IWUSR))
        return false;
    return ::access(name.constData(), W_OK) == 0;
}

} // namespace platform
