// What the SFTP tests see of the server's side while a transfer runs: a
// session reading one file over its lanes, the server's own descriptor on a
// file, found through /proc, with where it stands, and a slow link to it.
#pragma once

#include "sftprig.h"

#include "sftp/sftplanes.h"

#include <QElapsedTimer>

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

// A fresh folder named `name` in the account's home, owned by the account;
// empty when it cannot be made.
inline QString freshRemoteFolder(const Server &server, const QString &name)
{
    const QString base = server.home() + QLatin1Char('/') + name;
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

// The sshd process that has a file open whose path starts with prefix; 0
// when none has.
inline pid_t serverHolding(const QString &prefix)
{
    const QByteArray want = QFile::encodeName(prefix);
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!pid.front().isDigit() || readFile(QStringLiteral("/proc/%1/comm").arg(pid)) != "sshd\n")
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

// A slow line to a fixture server: a relay on loopback that moves about
// `rate` bytes a second each way, in both directions at once. cut() drops
// every connection through it as a line that fails does (a reset, nothing
// said); it goes on taking new ones.
class SlowLink
{
public:
    SlowLink(int target, qint64 rate)
        : m_target(target)
        , m_rate(rate)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(0);
        socklen_t length = sizeof a;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
            || ::listen(m_listener, 8) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            return;
        m_port = ntohs(a.sin_port);
        m_acceptor = std::thread([this] { accept(); });
    }
    ~SlowLink()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        if (m_acceptor.joinable())
            m_acceptor.join();
        cut();
        for (std::thread &t : m_pumps)
            t.join();
        for (const int fd : std::as_const(m_open))
            ::close(fd);
        ::close(m_listener);
    }
    int port() const { return m_port; } // 0 when the relay could not listen
    void cut()
    {
        QMutexLocker lock(&m_mutex);
        for (const int fd : m_open) {
            const linger reset{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::shutdown(fd, SHUT_RDWR);
        }
    }

private:
    static sockaddr_in loopback(int port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    void accept()
    {
        for (;;) {
            const int client = ::accept(m_listener, nullptr, nullptr);
            if (client < 0)
                return;
            const int server = ::socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in a = loopback(m_target);
            if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
                ::close(client);
                if (server >= 0)
                    ::close(server);
                continue;
            }
            QMutexLocker lock(&m_mutex);
            m_open << client << server;
            m_pumps.emplace_back([this, client, server] { pump(client, server); });
            m_pumps.emplace_back([this, client, server] { pump(server, client); });
        }
    }
    // One direction, paced: each chunk is due a rate's worth of time after
    // the one before it, or after it arrived when the line was idle.
    void pump(int from, int to)
    {
        char buffer[4096];
        QElapsedTimer clock;
        clock.start();
        qint64 dueUs = 0;
        for (;;) {
            const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            for (ssize_t sent = 0, k; sent < n; sent += k) {
                if ((k = ::send(to, buffer + sent, size_t(n - sent), MSG_NOSIGNAL)) <= 0)
                    return;
            }
            dueUs = qMax(dueUs, clock.nsecsElapsed() / 1000) + n * 1000000 / m_rate;
            const qint64 waitUs = dueUs - clock.nsecsElapsed() / 1000;
            if (waitUs > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(waitUs));
        }
        ::shutdown(to, SHUT_WR);
    }

    const int m_target;
    const qint64 m_rate;
    int m_listener = -1;
    int m_port = 0;
    std::thread m_acceptor;
    QMutex m_mutex;
    QList<int> m_open;               // closed with the link
    std::list<std::thread> m_pumps;  // guarded by m_mutex while the acceptor runs
};

} // namespace sftprig
