#include "platform/dataprotection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr size_t kKeyBytes = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;
constexpr size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
const char kKeyName[] = "secret.key";

bool fail(QString *errorText, const QString &text)
{
    if (errorText)
        *errorText = text;
    return false;
}

// For the functions that hand back a descriptor.
int failFd(QString *errorText, const QString &text)
{
    fail(errorText, text);
    return -1;
}

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

QString keyFolder()
{
    // The XDG rules: a relative XDG_CONFIG_HOME is ignored.
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return QDir::cleanPath(base) + QStringLiteral("/Halvorstead");
}

class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// The key in memory only as long as one call needs it.
class Key
{
public:
    Key() = default;
    ~Key() { sodium_memzero(bytes, sizeof bytes); }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    unsigned char bytes[kKeyBytes] = {};
};

// Repeats read() or write() until `size` bytes have moved; false on an
// error or an early end of file.
template <typename Io, typename Byte>
bool moveAll(Io io, int fd, Byte *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = io(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Opens the key folder without following a link. With `create` a missing
// folder is made 0700; a folder of ours that others can enter (the settings
// store may have made it first) is narrowed to 0700.
int openKeyFolder(bool create, QString *errorText)
{
    const QString folder = keyFolder();
    const QByteArray native = QFile::encodeName(folder);
    if (create) {
        QDir().mkpath(QFileInfo(folder).absolutePath());
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            return failFd(errorText, QStringLiteral("cannot create %1: %2").arg(folder, errnoText(errno)));
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT)
            return failFd(errorText, QStringLiteral("no key folder %1").arg(folder));
        if (err == ELOOP || err == ENOTDIR)
            return failFd(errorText, QStringLiteral("%1 is a link or not a folder; it is not used").arg(folder));
        return failFd(errorText, QStringLiteral("cannot open %1: %2").arg(folder, errnoText(err)));
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_uid != ::getuid()) {
        ::close(fd);
        return failFd(errorText, QStringLiteral("%1 does not belong to this user; it is not used").arg(folder));
    }
    if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
        const int err = errno;
        ::close(fd);
        return failFd(errorText, QStringLiteral("cannot restrict %1: %2").arg(folder, errnoText(err)));
    }
    return fd;
}

enum class KeyState { Read, Missing, Unusable };

KeyState readKey(int dirFd, Key *key, QString *errorText)
{
    const Descriptor fd(::openat(dirFd, kKeyName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        const int err = errno;
        if (err == ENOENT) {
            fail(errorText, QStringLiteral("no key file %1").arg(secretKeyPath()));
            return KeyState::Missing;
        }
        fail(errorText, QStringLiteral("cannot open key file %1: %2").arg(secretKeyPath(), errnoText(err)));
        return KeyState::Unusable;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
        fail(errorText, QStringLiteral("key file %1 is not a file of this user").arg(secretKeyPath()));
        return KeyState::Unusable;
    }
    // A damaged key file is left alone: replacing it would make every value
    // sealed with the old key unreadable for good.
    if (st.st_size != off_t(kKeyBytes) || !moveAll(::read, fd.get(), key->bytes, kKeyBytes)) {
        fail(errorText, QStringLiteral("key file %1 is damaged").arg(secretKeyPath()));
        return KeyState::Unusable;
    }
    if ((st.st_mode & 077) != 0)
        ::fchmod(fd.get(), 0600);
    return KeyState::Read;
}

// Publishes a new key with link(), which never replaces an existing name: when
// two processes race, exactly one key file appears, whole, and the loser
// reads the winner's key instead of its own.
bool createKey(int dirFd, Key *key, QString *errorText)
{
    randombytes_buf(key->bytes, kKeyBytes);
    char suffix[17];
    unsigned char random[8];
    randombytes_buf(random, sizeof random);
    sodium_bin2hex(suffix, sizeof suffix, random, sizeof random);
    const QByteArray temp = QByteArray(kKeyName) + ".new-" + QByteArray::number(::getpid()) + '-' + suffix;

    {
        const Descriptor fd(::openat(dirFd, temp.constData(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.get() < 0)
            return fail(errorText, QStringLiteral("cannot create key file: %1").arg(errnoText(errno)));
        const unsigned char *bytes = key->bytes;
        if (!moveAll(::write, fd.get(), bytes, kKeyBytes) || ::fsync(fd.get()) != 0) {
            const int err = errno;
            ::unlinkat(dirFd, temp.constData(), 0);
            return fail(errorText, QStringLiteral("cannot write key file: %1").arg(errnoText(err)));
        }
    }
    const int linked = ::linkat(dirFd, temp.constData(), dirFd, kKeyName, 0);
    const int linkErr = errno;
    ::unlinkat(dirFd, temp.constData(), 0);
    if (linked == 0) {
        ::fsync(dirFd);
        return true;
    }
    if (linkErr != EEXIST)
        return fail(errorText, QStringLiteral("cannot create key file %1: %2").arg(secretKeyPath(), errnoText(linkErr)));
    return readKey(dirFd, key, errorText) == KeyState::Read;
}

bool loadKey(bool create, Key *key, QString *errorText)
{
    if (sodium_init() < 0)
        return fail(errorText, QStringLiteral("the cipher library could not start"));
    const Descriptor dir(openKeyFolder(create, errorText));
    if (dir.get() < 0)
        return false;
    switch (readKey(dir.get(), key, errorText)) {
    case KeyState::Read:
        return true;
    case KeyState::Missing:
        return create && createKey(dir.get(), key, errorText);
    case KeyState::Unusable:
        break;
    }
    return false;
}

} // namespace

QString secretKeyPath()
{
    return keyFolder() + QLatin1Char('/') + QLatin1String(kKeyName);
}

bool protectBlob(const QByteArray &plain, const QByteArray &context, QByteArray *sealed, QString *errorText)
{
    Key key;
    if (!loadKey(true, &key, errorText))
        return false;
    QByteArray out(qsizetype(kNonceBytes + size_t(plain.size()) + kTagBytes), Qt::Uninitialized);
    auto *nonce = reinterpret_cast<unsigned char *>(out.data());
    randombytes_buf(nonce, kNonceBytes);
    unsigned long long cipherLen = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        nonce + kNonceBytes, &cipherLen, reinterpret_cast<const unsigned char *>(plain.constData()),
        size_t(plain.size()), reinterpret_cast<const unsigned char *>(context.constData()), size_t(context.size()),
        nullptr, nonce, key.bytes);
    out.truncate(qsizetype(kNonceBytes + cipherLen));
    *sealed = out;
    return true;
}

bool unprotectBlob(const QByteArray &sealed, const QByteArray &context, QByteArray *plain, QString *errorText)
{
    if (size_t(sealed.size()) < kNonceBytes + kTagBytes)
        return fail(errorText, QStringLiteral("sealed value is too short"));
    Key key;
    if (!loadKey(false, &key, errorText))
        return false;
    const auto *nonce = reinterpret_cast<const unsigned char *>(sealed.constData());
    const size_t cipherLen = size_t(sealed.size()) - kNonceBytes;
    QByteArray out(qsizetype(cipherLen - kTagBytes), Qt::Uninitialized);
    unsigned long long plainLen = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            reinterpret_cast<unsigned char *>(out.data()), &plainLen, nullptr, nonce + kNonceBytes, cipherLen,
            reinterpret_cast<const unsigned char *>(context.constData()), size_t(context.size()), nonce,
            key.bytes) != 0)
        return fail(errorText, QStringLiteral("sealed value does not open with this user's key "
                                              "(made elsewhere, with another key, or changed)"));
    out.truncate(qsizetype(plainLen));
    *plain = out;
    return true;
}

} // namespace platform
