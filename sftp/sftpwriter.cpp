#include "sftp/sftpwriter.h"

#include "connections/sshsupport.h"

#include <QElapsedTimer>

#include <cstring>

namespace {

// Read from the local file this much at a time.
constexpr qint64 kLocalBlock = 256 * 1024;
// Room worth a request of its own before the acknowledgements come.
constexpr qint64 kRefill = 4096;

} // namespace

LIBSSH2_SFTP *sftpOpenChannel(LIBSSH2_SESSION *session, const std::function<void()> &wait,
                              const std::function<bool()> &keepRunning)
{
    while (keepRunning()) {
        if (LIBSSH2_SFTP *sftp = libssh2_sftp_init(session))
            return sftp;
        if (libssh2_session_last_errno(session) != LIBSSH2_ERROR_EAGAIN) {
            sshLog(QStringLiteral("sftp: no more channels: %1").arg(sshLastError(session)));
            break;
        }
        wait();
    }
    return nullptr;
}

ssize_t SftpWriteCalls::write(LIBSSH2_SFTP_HANDLE *handle, const char *data, size_t count)
{
    return libssh2_sftp_write(handle, data, count);
}

void SftpWriteCalls::seek(LIBSSH2_SFTP_HANDLE *handle, qint64 at)
{
    libssh2_sftp_seek64(handle, libssh2_uint64_t(at));
}

qint64 SftpWriteCalls::window(LIBSSH2_SFTP *sftp)
{
    return sftpChannelGrant(sftp);
}

bool SftpWriteCalls::gone(LIBSSH2_SFTP *sftp)
{
    return sftpChannelGone(sftp);
}

int SftpWriteCalls::blockDirections(LIBSSH2_SESSION *session)
{
    return libssh2_session_block_directions(session);
}

qint64 SftpWriteCalls::nowUs()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer c;
        c.start();
        return c;
    }();
    return clock.nsecsElapsed() / 1000;
}

struct SftpWriter::Part {
    LIBSSH2_SFTP *sftp = nullptr;
    LIBSSH2_SFTP_HANDLE *handle = nullptr;
    qint64 next = 0; // where the local file is read next
    qint64 end = 0;
    // Read and not yet acknowledged from `from` on; libssh2 wants them handed
    // in again, with more behind them when there are. Moved to the front
    // only now and then, not per acknowledgement.
    QByteArray pending;
    qsizetype from = 0;
    qsizetype to = 0;
    qsizetype held = 0; // past `from`: handed to libssh2, sent or not, and not acknowledged
    bool read = false;  // all of its part is in pending
    bool failed = false;
    bool narrow = false; // the server grants its channel little room
};

SftpWriter::SftpWriter(LIBSSH2_SESSION *session, SftpLocalFile &local, std::function<void()> wait,
                       std::function<bool()> keepRunning, std::function<QString()> lastError,
                       SftpWriteCalls *calls)
    : m_calls(calls)
    , m_session(session)
    , m_local(local)
    , m_wait(std::move(wait))
    , m_keepRunning(std::move(keepRunning))
    , m_lastError(std::move(lastError))
    , m_window(1)
{
    static SftpWriteCalls libssh2Calls;
    if (!m_calls)
        m_calls = &libssh2Calls;
}

SftpWriter::~SftpWriter() = default;

qint64 SftpWriter::channelRoom(const Part &p) const
{
    return sftpWindowRoom(m_calls->window(p.sftp), p.held);
}

void SftpWriter::add(LIBSSH2_SFTP *sftp, LIBSSH2_SFTP_HANDLE *handle, qint64 at)
{
    if (!m_parts.empty())
        m_parts.back().end = at;
    Part part;
    part.sftp = sftp;
    part.handle = handle;
    part.next = at;
    part.end = m_local.size;
    part.narrow = m_calls->window(sftp) < kSftpNarrowChannel;
    m_calls->seek(handle, at);
    m_parts.push_back(std::move(part));
}

bool SftpWriter::cutShort() const
{
    for (const Part &p : m_parts) {
        if (p.failed && p.narrow)
            return true;
    }
    return false;
}

qint64 SftpWriter::held() const
{
    qint64 all = 0;
    for (const Part &p : m_parts)
        all += p.failed ? 0 : p.held;
    return all;
}

SftpWriter::Turn SftpWriter::write(Part &p, bool more)
{
    // A part that failed to read may still drain; one the server failed
    // has nothing more under way.
    const auto fail = [&](Outcome outcome, const QString &error) {
        p.failed = outcome == RemoteWrite;
        m_outcome = outcome;
        m_error = error;
        return Turn::Failed;
    };
    if (more) {
        // The parts share one window: a stop drains them all at once.
        const qsizetype room = qMax<qint64>(0, m_window.size() - held()) + p.held;
        const qsizetype ahead = m_window.size() + kLocalBlock;
        if (p.pending.size() < 2 * ahead)
            p.pending.resize(2 * ahead);
        if (p.from >= p.pending.size() / 2) {
            std::memmove(p.pending.data(), p.pending.constData() + p.from, size_t(p.to - p.from));
            p.to -= p.from;
            p.from = 0;
        }
        // The last part reads on to the end of the file, which tells
        // whether it still ends where its size said.
        while (!p.read && p.to - p.from < ahead && p.to + kLocalBlock <= p.pending.size()) {
            const qint64 n = m_local.readAt(p.pending.data() + p.to, qMin(kLocalBlock, qMax<qint64>(1, p.end - p.next)), p.next);
            if (n < 0)
                return fail(LocalRead, m_local.error());
            p.to += n;
            p.next += n;
            p.read = n == 0 || (p.next >= p.end && p.end < m_local.size);
        }
        const qsizetype was = p.held;
        p.held = qMax<qsizetype>(p.held, qMin<qsizetype>(qMin<qsizetype>(p.to - p.from, room),
                                                         p.held + channelRoom(p)));
        m_window.handedAt(p.held - was, m_calls->nowUs());
    }
    if (p.held == 0)
        return Turn::Done;
    const ssize_t rc = m_calls->write(p.handle, p.pending.constData() + p.from, size_t(p.held));
    // Part of a request went out, as far as the room let it, and nothing
    // was answered yet: more goes when the server makes room.
    if (rc == 0)
        return channelRoom(p) > 0 ? Turn::Moved : Turn::Blocked;
    if (rc > 0) {
        p.from += rc;
        p.held = qMax<qsizetype>(0, p.held - rc);
        m_acked += rc;
        m_window.ackedAt(rc, m_calls->nowUs());
        if (m_progress)
            m_progress(m_acked);
        return Turn::Moved;
    }
    if (rc != LIBSSH2_ERROR_EAGAIN)
        return fail(RemoteWrite, m_lastError());
    if (m_calls->gone(p.sftp))
        return fail(RemoteWrite, QString::fromLatin1(kSftpGone));
    const int blocked = m_calls->blockDirections(m_session);
    if (blocked & LIBSSH2_SESSION_BLOCK_OUTBOUND)
        return Turn::BlockedSending;
    // The call read what room the server made since it was counted above:
    // a small window (Dropbear's) is filled again at once rather than after
    // the next answer. A wide one has room to spare.
    if (more && p.narrow && p.held < qMin<qsizetype>(p.to - p.from, qMax<qint64>(0, m_window.size() - held()) + p.held)
        && channelRoom(p) >= kRefill)
        return Turn::Moved;
    return Turn::Blocked;
}

bool SftpWriter::round(bool more, bool *moved)
{
    bool working = false;
    *moved = false;
    const size_t count = m_parts.size();
    for (size_t k = 0; k < count; ++k) {
        const size_t i = (m_first + k) % count;
        Part &p = m_parts[i];
        if (p.failed)
            continue;
        const Turn t = write(p, more);
        // Draining, a part the server fails has nothing more under way,
        // and the others drain on.
        if (t == Turn::Failed && more)
            return false;
        if (t == Turn::Failed)
            continue;
        *moved = *moved || t == Turn::Moved;
        working = working || t != Turn::Done;
        if (t == Turn::BlockedSending) {
            m_first = i;
            return true;
        }
    }
    m_first = 0;
    return working;
}

SftpWriter::Outcome SftpWriter::run(const Progress &progress)
{
    m_progress = progress;
    qint64 quietFromUs = m_calls->nowUs();
    qint64 ackedThen = m_acked;
    while (m_keepRunning()) {
        bool moved = false;
        if (!round(true, &moved))
            return m_outcome;
        if (m_acked != ackedThen) {
            ackedThen = m_acked;
            quietFromUs = m_calls->nowUs();
        } else if (m_calls->nowUs() - quietFromUs >= kSftpStallMs * qint64(1000)) {
            // Neither room nor an answer: what is under way is dropped
            // with the part, which a stop would otherwise wait on.
            for (Part &p : m_parts)
                p.failed = true;
            m_outcome = Stalled;
            return m_outcome;
        }
        if (!moved)
            m_wait();
    }
    return Stopped;
}

bool SftpWriter::drain(const std::function<bool()> &mayGoOn)
{
    m_progress = nullptr;
    bool moved = false;
    while (round(false, &moved)) {
        if (!moved && !mayGoOn())
            return false;
        if (!moved)
            m_wait();
    }
    return true;
}
