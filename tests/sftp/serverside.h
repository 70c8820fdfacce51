// What the SFTP tests see of the server's side while a transfer runs: a
// session reading one file over its lanes, and the server's own descriptor
// on a file, found through /proc, with where it stands.
#pragma once

#include "sftprig.h"

#include "sftp/sftplanes.h"

#include <QElapsedTimer>

#include <atomic>
#include <thread>

#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace sftprig {

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

} // namespace sftprig
