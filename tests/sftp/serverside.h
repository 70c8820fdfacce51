// What the SFTP tests see of the server's side while a transfer runs: a
// session reading one file over its lanes, the server's own descriptor on a
// file, found through /proc, with where it stands, and a slow link to it.
#pragma once

#include "sftprig.h"

#include "tests/support/linkrelay.h"

#include "core/languagemanager.h"
#include "sftp/sftplanes.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <QMutex>
#include <QRandomGenerator>

#include <atomic>
#include <list>
#include <thread>

#include <cstring>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sftprig {

// The library renames over an existing name (posix-rename came with 1.11).
inline constexpr bool kRenamesOver = LIBSSH2_VERSION_NUM >= 0x010b00;

inline constexpr qint64 kMiB = 1024 * 1024;

// The folder in the account's home that this test process works in. Tests
// on the same account run side by side, and each makes and removes its
// folders by names of its own counting: each process has a folder of its
// own, named after its executable and its number. The fixture removes the
// account's home with it.
inline QString processFolder(const Server &server)
{
    const QString folder = QStringLiteral("%1/%2-%3").arg(server.home(), QCoreApplication::applicationName())
                               .arg(QCoreApplication::applicationPid());
    if (!QFileInfo(folder).isDir() && QDir().mkpath(folder))
        own(folder, server);
    return folder;
}

// A fresh folder named `name` in this process's folder, owned by the
// account; empty when it cannot be made.
inline QString freshRemoteFolder(const Server &server, const QString &name)
{
    const QString base = processFolder(server) + QLatin1Char('/') + name;
    QDir(base).removeRecursively();
    if (!QDir().mkpath(base))
        return QString();
    own(base, server);
    return base;
}

inline QByteArray randomBytes(qint64 size)
{
    QByteArray data((size + 3) / 4 * 4, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
    return data.left(size);
}

// A session that reads one file over its lanes as a folder job does, told
// a size of `listed` by a listing made before the file grew.
struct LaneReader : SftpSession {
    LaneReader(const SshConnectParams &params, const QString &remote, qint64 listed)
        : SftpSession(params, "bye"), remote(remote), listed(listed) {}
    void ready() override {}
    void runJobs() override
    {
        bool given = false;
        SftpLanes *lanes = this->lanes();
        if (!lanes)
            error = QStringLiteral("no lanes");
        else
            lanes->download([&](SftpLanes::File *f) { return !std::exchange(given, true) && (*f = {remote, listed, {}, 0644, {}}, true); },
                            [&](SftpLanes::File &f, QString *) { return got = f.content, true; }, &error);
        done = true;
    }
    QString say(const char *source) const override { return QString::fromUtf8(source); }
    const QString remote;
    const qint64 listed;
    QByteArray got;
    QString error;
    std::atomic<bool> done{false};
};

// The server's descriptor on path, as its /proc fdinfo file: internal-sftp
// reads in the session's own sshd process. Looked for until it is open, for
// at most 30 s or until *given up; empty when it never was.
inline QString serverDescriptor(const QString &path, const std::atomic<bool> *givenUp = nullptr)
{
    const QByteArray want = QFile::encodeName(QFileInfo(path).canonicalFilePath());
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000 && !(givenUp && *givenUp)) {
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (!pid.front().isDigit() || readFile(QStringLiteral("/proc/%1/comm").arg(pid)) != "sshd\n")
                continue;
            const QByteArray fds = QFile::encodeName(QStringLiteral("/proc/%1/fd").arg(pid));
            DIR *dir = ::opendir(fds.constData());
            while (const dirent *e = dir ? ::readdir(dir) : nullptr) {
                char target[4096];
                const ssize_t n = ::readlink((fds + '/' + e->d_name).constData(), target, sizeof target);
                if (n == want.size() && want == QByteArray(target, n)) {
                    // The entry lives in the directory stream: read it before closing.
                    const QString found = QStringLiteral("/proc/%1/fdinfo/%2").arg(pid, QString::fromLatin1(e->d_name));
                    ::closedir(dir);
                    return found;
                }
            }
            if (dir)
                ::closedir(dir);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return QString();
}

// The sshd process (or the one of that command) that has a file open whose
// path starts with prefix; 0 when none has.
inline pid_t serverHolding(const QString &prefix, const QByteArray &command = "sshd")
{
    const QByteArray want = QFile::encodeName(prefix);
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!pid.front().isDigit() || readFile(QStringLiteral("/proc/%1/comm").arg(pid)) != command + '\n')
            continue;
        const QByteArray fds = QFile::encodeName(QStringLiteral("/proc/%1/fd").arg(pid));
        DIR *dir = ::opendir(fds.constData());
        bool found = false;
        while (const dirent *e = dir && !found ? ::readdir(dir) : nullptr) {
            char target[4096];
            const ssize_t n = ::readlink((fds + '/' + e->d_name).constData(), target, sizeof target);
            found = n > 0 && QByteArray(target, n).startsWith(want);
        }
        if (dir)
            ::closedir(dir);
        if (found)
            return pid_t(pid.toInt());
    }
    return 0;
}

// Where an open fdinfo file's descriptor stands; -1 when it is closed.
inline qint64 serverPosition(int fdinfo)
{
    char text[512];
    const ssize_t n = ::pread(fdinfo, text, sizeof text - 1, 0);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    return std::strncmp(text, "pos:", 4) == 0 ? std::strtoll(text + 4, nullptr, 10) : -1;
}

// Where the descriptor of serverDescriptor() stands once it has moved from
// the start (at most 30 s); -1 when it is closed, 0 when it never moved.
inline qint64 serverOffsetOnceReading(const QString &fdinfo)
{
    const int info = ::open(QFile::encodeName(fdinfo).constData(), O_RDONLY);
    QElapsedTimer clock;
    clock.start();
    qint64 at = 0;
    while (at == 0 && clock.elapsed() < 30000) {
        at = serverPosition(info);
        if (at == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (info >= 0)
        ::close(info);
    return at;
}

// A slow line to a fixture server: about `rate` bytes a second each way.
class SlowLink : public LinkRelay
{
public:
    SlowLink(int target, qint64 rate)
        : LinkRelay(target, {0, rate})
    {
    }
};

// Relative path -> sha256 of every file below root (links as what they are).
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> out;
    for (QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        const QFileInfo info(it.next());
        out[QDir(root).relativeFilePath(info.filePath())] = info.isSymLink() ? "-> " + info.symLinkTarget().toUtf8()
                                                                             : sha(info.filePath());
    }
    return out;
}


// What the SFTP test classes share: a local scratch folder, the plain
// server with its known hosts, a tree session on it, and fresh names.
class SftpCase : public QObject
{
protected:
    QTemporaryDir m_local;
    Server m_server;
    QString m_knownHosts;
    std::unique_ptr<Tree> m_tree;
    int m_rows = 0;

    // A fresh folder in the account's home for one test row.
    QString remoteFolder() { return remoteFolder(m_server); }
    QString remoteFolder(const Server &server) { return freshRemoteFolder(server, QStringLiteral("t%1").arg(++m_rows)); }
    QString localPath(const QString &name) { return m_local.filePath(QStringLiteral("%1-%2").arg(++m_rows).arg(name)); }

    // For initTestCase, after SFTP_RIG_NEEDS_ROOT(): empty, or why the case cannot run.
    QString startCase()
    {
        LanguageManager::setLanguage(QStringLiteral("zh"));
        m_server = plainServer();
        if (m_server.user().isEmpty() || m_server.home().isEmpty())
            return QStringLiteral("fixture sshd not running");
        m_knownHosts = m_local.filePath(QStringLiteral("known_hosts"));
        m_tree = std::make_unique<Tree>(m_server.params(m_knownHosts));
        return m_tree->waitReady() ? QString() : m_tree->errors.join(QLatin1Char('|'));
    }
};

} // namespace sftprig
