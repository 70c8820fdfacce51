#include "connections/sshsupport.h"

#include "core/appsettings.h"
#include "core/datadir.h"
#include "core/debuglog.h"
#include "core/languagemanager.h"
#include "platform/privatefiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <cstring>

#include <openssl/crypto.h>


void sshLog(const QString &text)
{
    if (debugLogEnabled())
        debugLog(QStringLiteral("[SSH] ") + text);
}

namespace {

QMutex &sshInitMutex()
{
    static QMutex mutex;
    return mutex;
}

int g_sshUsers = 0; // guarded by sshInitMutex()

} // namespace

bool sshGlobalAcquire()
{
    QMutexLocker lock(&sshInitMutex());
    if (g_sshUsers == 0 && libssh2_init(0) != 0)
        return false;
    ++g_sshUsers;
    return true;
}

void sshGlobalRelease()
{
    {
        QMutexLocker lock(&sshInitMutex());
        if (--g_sshUsers < 1) {
            g_sshUsers = 0;
            libssh2_exit();
        }
    }
    // The crypto library under libssh2 keeps state per thread (its random
    // generators), freed as the thread ends: after QThread::wait() has
    // already let the waiter go, so a process that exits then loses it.
    // Freed here, on the worker's own thread, before it reports finished.
    OPENSSL_thread_stop();
}

int sshLibraryUsers()
{
    QMutexLocker lock(&sshInitMutex());
    return g_sshUsers;
}

void waitSocket(LIBSSH2_SESSION *session, int sock, int timeoutMs, platform::Waker *waker)
{
    const int dir = session ? libssh2_session_block_directions(session) : 0;
    const bool forRead = dir & LIBSSH2_SESSION_BLOCK_INBOUND;
    const bool forWrite = dir & LIBSSH2_SESSION_BLOCK_OUTBOUND;
    int seen;
    if (sock < 0 || (!forRead && !forWrite)) {
        // Blocked on nothing the socket can announce: a plain nap that the
        // waker can still cut short.
        if (waker) {
            seen = platform::waitSocket(waker->fd(), true, false, timeoutMs, nullptr) ? platform::WaitWoken : 0;
        } else {
            QThread::msleep(ulong(qMax(0, timeoutMs)));
            seen = 0;
        }
    } else {
        seen = platform::waitSocket(sock, forRead, forWrite, timeoutMs, waker);
    }
    if (waker && (seen & platform::WaitWoken))
        waker->drain();
}

int retryWhileBusy(const char *label, const std::function<int()> &step, LIBSSH2_SESSION *session, int sock,
                   const SshStopFlags &flags, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    const QString name = QLatin1String(label);
    sshLog(QStringLiteral("%1 begin sock=%2 timeout=%3ms").arg(name).arg(sock).arg(timeoutMs));
    int attempts = 0;
    int rc;
    for (;;) {
        ++attempts;
        rc = step();
        if (rc != LIBSSH2_ERROR_EAGAIN)
            break;
        const bool stopped = !flags.running || flags.stopped();
        if (stopped || clock.elapsed() >= timeoutMs) {
            sshLog(QStringLiteral("%1 stopped/timeout attempts=%2 elapsed=%3ms stopped=%4")
                       .arg(name).arg(attempts).arg(clock.elapsed()).arg(stopped ? 1 : 0));
            rc = LIBSSH2_ERROR_TIMEOUT;
            break;
        }
        if (attempts == 1 || attempts % 50 == 0)
            sshLog(QStringLiteral("%1 EAGAIN attempts=%2 elapsed=%3ms").arg(name).arg(attempts).arg(clock.elapsed()));
        waitSocket(session, sock, int(qMin<qint64>(100, timeoutMs - clock.elapsed())), flags.waker);
        if (flags.stopped())
            break;
    }
    sshLog(QStringLiteral("%1 end rc=%2 attempts=%3 elapsed=%4ms").arg(name).arg(rc).arg(attempts).arg(clock.elapsed()));
    return rc;
}

namespace {

constexpr int kSshDisconnectByApplication = 11;

LIBSSH2_SEND_FUNC(sendNothing)
{
    Q_UNUSED(socket);
    Q_UNUSED(buffer);
    Q_UNUSED(flags);
    Q_UNUSED(abstract);
    return ssize_t(length);
}

} // namespace

void sshSetSendFunction(LIBSSH2_SESSION *session, LIBSSH2_SEND_FUNC((*send)))
{
#if LIBSSH2_VERSION_NUM >= 0x010b00
    libssh2_session_callback_set2(session, LIBSSH2_CALLBACK_SEND, reinterpret_cast<libssh2_cb_generic *>(send));
#else
    // Before 1.11 the only setter takes the callback as a data pointer.
    libssh2_session_callback_set(session, LIBSSH2_CALLBACK_SEND, reinterpret_cast<void *>(send));
#endif
}

void sshShutLink(LIBSSH2_SESSION *session, int sock)
{
    platform::shutdownSocket(sock);
    if (session)
        sshSetSendFunction(session, &sendNothing);
}

int sshLastWords(LIBSSH2_SESSION *session, LIBSSH2_CHANNEL *channel, const char *goodbye, bool shut)
{
    if (channel) {
        // Finish a window adjustment or a data packet cut short. Adjusting by
        // nothing never begins one; writing nothing would, before the shut.
        if (shut) {
            unsigned int window = 0;
            libssh2_channel_receive_window_adjust2(channel, 0, 0, &window);
            libssh2_channel_write(channel, "", 0);
        }
        libssh2_channel_send_eof(channel);
        libssh2_channel_close(channel);
    }
    return goodbye ? libssh2_session_disconnect_ex(session, kSshDisconnectByApplication, goodbye, "") : 0;
}

void sshFreeSession(LIBSSH2_SESSION *session, int sock)
{
    if (!session)
        return;
    sshShutLink(session, sock);
    // With nothing left to send and a read that ends at once, freeing ends
    // in one or two calls; the bound only keeps a library fault from hanging us.
    for (int i = 0; i < 8; ++i) {
        const int rc = libssh2_session_free(session);
        if (rc != LIBSSH2_ERROR_EAGAIN)
            return;
    }
    sshLog(QStringLiteral("session free still would block: left to the process's end"));
}

QString sshLastError(LIBSSH2_SESSION *session)
{
    if (!session)
        return QString();
    char *msg = nullptr;
    int len = 0;
    libssh2_session_last_error(session, &msg, &len, 0);
    return msg && len > 0 ? QString::fromUtf8(msg, len) : QString();
}

QString sshKnownHostName(const QString &host, int port)
{
    if (port == 22)
        return host;
    return QStringLiteral("[%1]:%2").arg(host, QString::number(port));
}

QString defaultKnownHostsPath()
{
    return QDir::homePath() + QStringLiteral("/.ssh/known_hosts");
}

QString configuredKnownHostsPath()
{
    QString path = AppSettings::instance().get(keys::knownHosts).trimmed();
    path = expandPathVariables(path);
    // Settings written on Windows separate folders with backslashes, which
    // would be part of a file name here.
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return path.isEmpty() ? defaultKnownHostsPath() : QDir::cleanPath(path);
}

namespace {

int knownHostKeyType(int hostKeyType)
{
    switch (hostKeyType) {
    case LIBSSH2_HOSTKEY_TYPE_RSA: return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS: return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256: return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384: return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521: return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519: return LIBSSH2_KNOWNHOST_KEY_ED25519;
    default: return 0;
    }
}

// The algorithm names under which a server shows a key of a filed type.
QStringList hostKeyMethodsFor(int knownHostKeyType)
{
    switch (knownHostKeyType) {
    case LIBSSH2_KNOWNHOST_KEY_SSHRSA:
        return {QStringLiteral("rsa-sha2-512"), QStringLiteral("rsa-sha2-256"), QStringLiteral("ssh-rsa")};
    case LIBSSH2_KNOWNHOST_KEY_SSHDSS: return {QStringLiteral("ssh-dss")};
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_256: return {QStringLiteral("ecdsa-sha2-nistp256")};
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_384: return {QStringLiteral("ecdsa-sha2-nistp384")};
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_521: return {QStringLiteral("ecdsa-sha2-nistp521")};
    case LIBSSH2_KNOWNHOST_KEY_ED25519: return {QStringLiteral("ssh-ed25519")};
    default: return {};
    }
}

// Where the lines libssh2 took came from, in the order it keeps them (one
// entry per line read), and the line of a revocation of the key.
struct FiledLines {
    QList<int> entryLines;
    int revokedLine = 0;
};

// Loads every line libssh2 understands, one at a time: its own file reader
// stops at the first line it cannot parse (a certificate authority, a newer
// key type), which would hide the entries after it. A revoked key is noted
// however it is filed. False when an existing file cannot be read.
bool loadKnownHosts(LIBSSH2_KNOWNHOSTS *hosts, const QString &path, const QByteArray &hostKey, FiledLines *filed)
{
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    int skipped = 0;
    int number = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        ++number;
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('@')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() >= 4 && fields[0] == "@revoked" && QByteArray::fromBase64(fields[3]) == hostKey
                && filed->revokedLine == 0)
                filed->revokedLine = number;
            continue;
        }
        if (libssh2_knownhost_readline(hosts, line.constData(), size_t(line.size()), LIBSSH2_KNOWNHOST_FILE_OPENSSH) != 0)
            ++skipped;
        else
            filed->entryLines.append(number);
    }
    if (skipped > 0)
        sshLog(QStringLiteral("known_hosts: %1 line(s) not understood, left as they are").arg(skipped));
    return true;
}

// The file line of an entry that libssh2 handed back, 0 when unknown.
int lineOf(LIBSSH2_KNOWNHOSTS *hosts, const struct libssh2_knownhost *wanted, const FiledLines &filed)
{
    struct libssh2_knownhost *entry = nullptr;
    struct libssh2_knownhost *previous = nullptr;
    for (int i = 0; libssh2_knownhost_get(hosts, &entry, previous) == 0; ++i) {
        if (entry == wanted)
            return i < filed.entryLines.size() ? filed.entryLines[i] : 0;
        previous = entry;
    }
    return 0;
}

// Appends one line, creating the folder and the file when missing. The
// terminal's session and the file sessions beside it meet a new host at the
// same moment: the line goes in only when it is not there yet, checked and
// written under one lock (a lock file for other copies of the program).
bool appendKnownHostLine(const QString &path, const QByteArray &line)
{
    static QMutex mutex;
    const QMutexLocker guard(&mutex);
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    // A known-hosts file kept as a link (dotfile managers do that) is
    // followed here; the writer itself refuses links.
    const QString target = info.exists() ? info.canonicalFilePath() : path;
    QLockFile lock(target + QStringLiteral(".lock"));
    lock.tryLock(2000); // a lock that cannot be had must not cost the key
    QByteArray out = line;
    QFile existing(target);
    if (existing.size() > 0 && existing.open(QIODevice::ReadOnly)) {
        QByteArray filed = existing.readAll();
        if (filed.replace('\r', QByteArray()).split('\n').contains(line.trimmed()))
            return true;
        if (!filed.endsWith('\n'))
            out.prepend('\n'); // a last line without its line feed would merge with ours
    }
    return platform::appendPrivateFile(target, out);
}

} // namespace

void preferFiledHostKeyTypes(LIBSSH2_SESSION *session, const QString &host, int port, const QString &knownHostsPath)
{
    QString path = knownHostsPath.trimmed();
    if (path.isEmpty())
        path = defaultKnownHostsPath();
    if (!session || host.isEmpty() || !QFileInfo::exists(path))
        return;
    LIBSSH2_KNOWNHOSTS *hosts = libssh2_knownhost_init(session);
    if (!hosts)
        return;
    FiledLines lines;
    QStringList filed;
    if (loadKnownHosts(hosts, path, QByteArray(), &lines)) {
        const QByteArray name = sshKnownHostName(host, port).toUtf8();
        struct libssh2_knownhost *entry = nullptr;
        struct libssh2_knownhost *previous = nullptr;
        // An entry is this host's when checking its own key under our name
        // matches; that also finds hashed names.
        while (libssh2_knownhost_get(hosts, &entry, previous) == 0) {
            previous = entry;
            if (!entry->key)
                continue;
            const int typeMask = LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_BASE64;
            if (libssh2_knownhost_check(hosts, name.constData(), entry->key, std::strlen(entry->key), typeMask, nullptr)
                != LIBSSH2_KNOWNHOST_CHECK_MATCH)
                continue;
            for (const QString &method : hostKeyMethodsFor(entry->typemask & LIBSSH2_KNOWNHOST_KEY_MASK)) {
                if (!filed.contains(method))
                    filed.append(method);
            }
        }
    }
    libssh2_knownhost_free(hosts);
    if (filed.isEmpty())
        return;
    QStringList order = filed;
    const char **supported = nullptr;
    const int count = libssh2_session_supported_algs(session, LIBSSH2_METHOD_HOSTKEY, &supported);
    for (int i = 0; i < count; ++i) {
        const QString method = QLatin1String(supported[i]);
        if (!order.contains(method))
            order.append(method);
    }
    if (supported)
        libssh2_free(session, supported);
    const QByteArray prefs = order.join(QLatin1Char(',')).toLatin1();
    const int rc = libssh2_session_method_pref(session, LIBSSH2_METHOD_HOSTKEY, prefs.constData());
    sshLog(QStringLiteral("hostkey types asked for rc=%1: %2").arg(rc).arg(QString::fromLatin1(prefs)));
}

void preferFastCiphers(LIBSSH2_SESSION *session)
{
    static const char *const fastest[] = {"aes128-gcm@openssh.com", "aes256-gcm@openssh.com"};
    const char **supported = nullptr;
    const int count = libssh2_session_supported_algs(session, LIBSSH2_METHOD_CRYPT_CS, &supported);
    if (count <= 0)
        return;
    QList<QByteArray> order;
    for (const char *name : fastest) {
        for (int i = 0; i < count; ++i) {
            if (std::strcmp(supported[i], name) == 0)
                order.append(name);
        }
    }
    for (int i = 0; i < count; ++i) {
        if (!order.contains(supported[i]))
            order.append(supported[i]);
    }
    libssh2_free(session, supported);
    const QByteArray prefs = order.join(',');
    libssh2_session_method_pref(session, LIBSSH2_METHOD_CRYPT_CS, prefs.constData());
    libssh2_session_method_pref(session, LIBSSH2_METHOD_CRYPT_SC, prefs.constData());
}

QString sshMethod(LIBSSH2_SESSION *session, int methodType)
{
    const char *name = session ? libssh2_session_methods(session, methodType) : nullptr;
    return name ? QString::fromLatin1(name) : QStringLiteral("-");
}

KnownHostCheck checkKnownHost(LIBSSH2_SESSION *session, const QString &host, int port, const QString &knownHostsPath)
{
    KnownHostCheck out;
    QString path = knownHostsPath.trimmed();
    if (path.isEmpty())
        path = defaultKnownHostsPath();
    if (host.isEmpty()) {
        out.message = LanguageManager::tr("主机密钥无法校验");
        return out;
    }

    size_t keyLength = 0;
    int hostKeyType = LIBSSH2_HOSTKEY_TYPE_UNKNOWN;
    const char *key = libssh2_session_hostkey(session, &keyLength, &hostKeyType);
    if (!key || keyLength == 0) {
        out.message = LanguageManager::tr("无法获取主机公钥");
        return out;
    }
    const QByteArray hostKey(key, qsizetype(keyLength));

    LIBSSH2_KNOWNHOSTS *hosts = libssh2_knownhost_init(session);
    if (!hosts) {
        out.message = LanguageManager::tr("known_hosts 初始化失败");
        return out;
    }

    FiledLines filed;
    const QByteArray name = sshKnownHostName(host, port).toUtf8();
    const int plainRaw = LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW;
    const auto refuse = [&](const QString &why, int line) {
        out.result = KnownHostMismatch;
        out.file = path;
        out.line = line;
        out.message = LanguageManager::tr("%1，冲突的记录在 %2:%3").arg(why, path, QString::number(line));
    };
    if (!loadKnownHosts(hosts, path, hostKey, &filed)) {
        out.message = LanguageManager::tr("known_hosts 无法读取：%1").arg(path);
    } else if (filed.revokedLine > 0) {
        refuse(LanguageManager::tr("主机密钥已被吊销"), filed.revokedLine);
    } else {
        struct libssh2_knownhost *found = nullptr;
        const int check = libssh2_knownhost_check(hosts, name.constData(), key, keyLength, plainRaw, &found);
        switch (check) {
        case LIBSSH2_KNOWNHOST_CHECK_MATCH:
            out.result = KnownHostOk;
            break;
        case LIBSSH2_KNOWNHOST_CHECK_MISMATCH:
            refuse(LanguageManager::tr("主机密钥与 known_hosts 记录不匹配（可能存在中间人攻击）"), lineOf(hosts, found, filed));
            break;
        case LIBSSH2_KNOWNHOST_CHECK_NOTFOUND: {
            const int keyType = knownHostKeyType(hostKeyType);
            struct libssh2_knownhost *added = nullptr;
            char line[16384];
            size_t lineLength = 0;
            if (keyType == 0
                || libssh2_knownhost_addc(hosts, name.constData(), nullptr, key, keyLength, nullptr, 0,
                                          plainRaw | keyType, &added) != 0
                || libssh2_knownhost_writeline(hosts, added, line, sizeof line, &lineLength,
                                               LIBSSH2_KNOWNHOST_FILE_OPENSSH) != 0) {
                out.message = LanguageManager::tr("主机密钥无法校验");
            } else if (!appendKnownHostLine(path, QByteArray(line, qsizetype(lineLength)))) {
                // Taken without being filed, any key would do again next
                // time: nothing would ever be checked.
                out.message = LanguageManager::tr("known_hosts 无法写入：%1").arg(path);
            } else {
                out.message = QStringLiteral("首次连接，主机密钥已写入 known_hosts");
                out.result = KnownHostOk;
            }
            break;
        }
        default:
            out.message = LanguageManager::tr("主机密钥无法校验");
            break;
        }
    }
    libssh2_knownhost_free(hosts);
    return out;
}
