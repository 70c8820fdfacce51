#pragma once

#include "sftp/sftplanes.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

#include <libssh2.h>
#include <libssh2_sftp.h>

// An SFTP channel more on the session, opened in the worker's own wait; null
// when the server allows no more, or the worker stops first.
LIBSSH2_SFTP *sftpOpenChannel(LIBSSH2_SESSION *session, const std::function<void()> &wait,
                              const std::function<bool()> &keepRunning);

// What a writer asks of libssh2 and of the clock. A test puts in a channel
// and a server of its own, on a clock it advances itself, to play timings
// that real servers show only now and then.
class SftpWriteCalls
{
public:
    virtual ~SftpWriteCalls() = default;
    virtual ssize_t write(LIBSSH2_SFTP_HANDLE *handle, const char *data, size_t count);
    virtual void seek(LIBSSH2_SFTP_HANDLE *handle, qint64 at);
    // The channel's write window: what libssh2 may send on it now.
    virtual qint64 window(LIBSSH2_SFTP *sftp);
    virtual bool gone(LIBSSH2_SFTP *sftp);
    virtual int blockDirections(LIBSSH2_SESSION *session);
    // Microseconds from any start, never going back.
    virtual qint64 nowUs();
};

// The bytes of one upload, each part of the file over a handle of its own.
// A channel has no more under way than the server lets it carry (2 MiB from
// OpenSSH's), and over a long round trip that is what bounds the rate: a
// large file goes in two halves over two channels. The parts share one
// window, which a stop drains side by side.
class SftpWriter
{
public:
    // Stalled: nothing acknowledged for a stretch, neither room nor an
    // answer from the server.
    enum Outcome { Written, LocalRead, RemoteWrite, Stalled, Stopped };
    using Progress = std::function<void(qint64 done)>;

    // calls: libssh2's own when null.
    SftpWriter(LIBSSH2_SESSION *session, SftpLocalFile &local, std::function<void()> wait,
               std::function<bool()> keepRunning, std::function<QString()> lastError,
               SftpWriteCalls *calls = nullptr);
    ~SftpWriter();
    SftpWriter(const SftpWriter &) = delete;
    SftpWriter &operator=(const SftpWriter &) = delete;
    // The file from `at` on, up to where the next part added begins, goes
    // through handle on sftp. Parts are added in the order of the file.
    void add(LIBSSH2_SFTP *sftp, LIBSSH2_SFTP_HANDLE *handle, qint64 at);
    // Until every byte is acknowledged, a part fails or keepRunning says no.
    Outcome run(const Progress &progress);
    // What libssh2 holds of each part that has not failed goes out before
    // any other request: a write cut short would swallow the start of the
    // next one. A part the server fails meanwhile has nothing more under
    // way. False when the grace ended first.
    bool drain(const std::function<bool()> &mayGoOn);
    // A part the server failed went over a narrow channel: libssh2 drops
    // what it held of the request that failed, which may have gone out in
    // part as room allowed, and the channel's next request would be read
    // as the rest of it. Nothing more goes over that channel.
    bool cutShort() const;
    qint64 acked() const { return m_acked; }
    qint64 size() const { return m_local.size; }
    QString error() const { return m_error; }

private:
    struct Part;
    enum class Turn { Moved, Done, Blocked, BlockedSending, Failed };
    Turn write(Part &part, bool more);
    // Each part's turn, from the one whose packet is half sent, if any:
    // libssh2 refuses any other send until that one has gone.
    bool round(bool more, bool *moved);
    qint64 held() const; // over all parts

    qint64 channelRoom(const Part &part) const;

    SftpWriteCalls *m_calls;
    LIBSSH2_SESSION *m_session;
    SftpLocalFile &m_local;
    std::function<void()> m_wait;
    std::function<bool()> m_keepRunning;
    std::function<QString()> m_lastError;
    std::vector<Part> m_parts;
    size_t m_first = 0;
    qint64 m_acked = 0;
    Outcome m_outcome = Written;
    QString m_error;
    Progress m_progress;
    SftpWriteWindow m_window;
};
