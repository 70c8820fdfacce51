#include "sftp/sftplanes.h"

#include "connections/sshsupport.h"
#include "sftp/sftpnames.h"

namespace {

enum class Step { Idle, Open, Move, Close, Drop, Remove };
enum class Turn { Busy, Moved, Failed };

} // namespace

qint64 sftpReadRoom(qint64 listed, qint64 done, qint64 most)
{
    constexpr qint64 kOneRequest = 7500;  // four times it is 30000
    constexpr qint64 kTwoRequests = 8192; // four times it is past 30000
    if (listed <= 0)
        return kOneRequest;
    if (listed < done)
        return most;
    return qBound(kTwoRequests, listed - done + 1, qMax(most, kTwoRequests));
}

bool sftpRestartRead(LIBSSH2_SFTP *sftp, LIBSSH2_SFTP_HANDLE *h, ssize_t rc, qint64 received, int *inARow,
                     unsigned long statusBefore)
{
    // The short-reply case leaves the SFTP status as it was (a failed
    // request before it may have left one); a refusal by the server sets
    // its own.
    constexpr int kMostInARow = 8;
    if (rc != LIBSSH2_ERROR_SFTP_PROTOCOL || libssh2_sftp_last_error(sftp) != statusBefore || ++*inARow > kMostInARow)
        return false;
    sshLog(QStringLiteral("sftp read restarted at %1").arg(received));
    libssh2_sftp_seek64(h, libssh2_uint64_t(received));
    return true;
}

struct SftpLanes::Lane {
    LIBSSH2_SFTP *sftp = nullptr;
    LIBSSH2_SFTP_HANDLE *handle = nullptr;
    Step step = Step::Idle;
    File file;
    QByteArray path;
    qint64 offset = 0;
    bool refused = false;
    bool made = false; // an upload's file this lane created and has not finished
    int restarts = 0;
};

SftpLanes::SftpLanes(LIBSSH2_SESSION *session, std::function<void()> wait, std::function<bool()> keepRunning)
    : m_session(session)
    , m_wait(std::move(wait))
    , m_keepRunning(std::move(keepRunning))
{
}

SftpLanes::~SftpLanes()
{
    // Bounded: after a stop the socket is shut and each fails at once.
    for (LIBSSH2_SFTP *sftp : std::as_const(m_channels)) {
        for (int i = 0; i < 20 && libssh2_sftp_shutdown(sftp) == LIBSSH2_ERROR_EAGAIN; ++i)
            m_wait();
    }
}

int SftpLanes::open(int count)
{
    while (m_channels.size() < count && m_keepRunning()) {
        LIBSSH2_SFTP *sftp = libssh2_sftp_init(m_session);
        if (sftp) {
            m_channels.append(sftp);
        } else if (libssh2_session_last_errno(m_session) == LIBSSH2_ERROR_EAGAIN) {
            m_wait();
        } else {
            // The server allows no more sessions: what is open will do.
            sshLog(QStringLiteral("sftp lanes: %1 open, no more: %2").arg(m_channels.size()).arg(lastError(nullptr)));
            break;
        }
    }
    return int(m_channels.size());
}

QString SftpLanes::lastError(LIBSSH2_SFTP *sftp) const
{
    QString text = sshLastError(m_session);
    if (text.isEmpty())
        text = QStringLiteral("SFTP error %1").arg(libssh2_session_last_errno(m_session));
    if (sftp && libssh2_session_last_errno(m_session) == LIBSSH2_ERROR_SFTP_PROTOCOL)
        text += QStringLiteral(" (%1)").arg(sftpnames::statusText(libssh2_sftp_last_error(sftp)));
    return text;
}

bool SftpLanes::upload(const Next &next, const Done &done, const Done &refused, QString *error)
{
    return run(true, next, done, refused, error);
}

bool SftpLanes::download(const Next &next, const Done &done, QString *error)
{
    return run(false, next, done, done, error);
}

bool SftpLanes::run(bool upload, const Next &next, const Done &done, const Done &refused, QString *error)
{
    QList<Lane> lanes(m_channels.size());
    for (qsizetype i = 0; i < lanes.size(); ++i)
        lanes[i].sftp = m_channels[i];
    bool more = true;
    QString why;
    const auto blocked = [this] { return libssh2_session_last_errno(m_session) == LIBSSH2_ERROR_EAGAIN; };
    const auto fail = [&](const QString &text) {
        why = text;
        return Turn::Failed;
    };
    // One call of one lane's current step.
    const auto turn = [&](Lane &lane) -> Turn {
        switch (lane.step) {
        case Step::Idle:
            if (!more || !(more = next(&lane.file)))
                return Turn::Busy;
            lane.path = lane.file.remote.toUtf8();
            lane.offset = 0;
            lane.refused = false;
            lane.restarts = 0;
            if (!upload)
                lane.file.content.resize(sftpReadRoom(lane.file.size, 0));
            lane.step = Step::Open;
            return Turn::Moved;
        case Step::Open: {
            const unsigned long flags = upload ? LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_EXCL : LIBSSH2_FXF_READ;
            lane.handle = libssh2_sftp_open_ex(lane.sftp, lane.path.constData(), unsigned(lane.path.size()), flags,
                                               upload ? long(lane.file.mode) : 0, LIBSSH2_SFTP_OPENFILE);
            if (lane.handle) {
                lane.made = upload;
                lane.step = Step::Move;
                return Turn::Moved;
            }
            if (blocked())
                return Turn::Busy;
            if (!upload)
                return fail(lastError(lane.sftp));
            // Left to the caller, which knows what to do with a name taken.
            lane.refused = true;
            lane.step = Step::Idle;
            why = lastError(lane.sftp);
            return refused(lane.file, &why) ? Turn::Moved : Turn::Failed;
        }
        case Step::Move: {
            if (upload && lane.offset == lane.file.size) {
                lane.step = Step::Close;
                return Turn::Moved;
            }
            if (!upload && lane.offset == lane.file.content.size()) // it grew since it was listed
                lane.file.content.resize(qMax<qsizetype>(64 * 1024, 2 * lane.file.content.size()));
            char *at = lane.file.content.data() + lane.offset;
            const size_t left = upload ? size_t(lane.file.size - lane.offset)
                                       : size_t(qMin<qint64>(lane.file.content.size() - lane.offset,
                                                             sftpReadRoom(lane.file.size, lane.offset)));
            const unsigned long status = libssh2_sftp_last_error(lane.sftp);
            const ssize_t n = upload ? libssh2_sftp_write(lane.handle, at, left) : libssh2_sftp_read(lane.handle, at, left);
            if (n == LIBSSH2_ERROR_EAGAIN)
                return Turn::Busy;
            if (n < 0 && !upload && sftpRestartRead(lane.sftp, lane.handle, n, lane.offset, &lane.restarts, status))
                return Turn::Moved;
            if (n < 0)
                return fail(lastError(lane.sftp));
            if (n > 0)
                lane.restarts = 0;
            if (n == 0 && upload)
                return fail(QStringLiteral("%1: %2 of %3 bytes").arg(lane.file.remote).arg(lane.offset).arg(lane.file.size));
            if (n == 0) {
                lane.file.content.resize(lane.offset);
                lane.file.size = lane.offset;
                lane.step = Step::Close;
            }
            lane.offset += n;
            return Turn::Moved;
        }
        case Step::Close: {
            const int rc = libssh2_sftp_close_handle(lane.handle);
            if (rc == LIBSSH2_ERROR_EAGAIN)
                return Turn::Busy;
            lane.handle = nullptr;
            if (rc != 0)
                return fail(lastError(lane.sftp));
            lane.made = false;
            lane.step = Step::Idle;
            return done(lane.file, &why) ? Turn::Moved : Turn::Failed;
        }
        case Step::Drop: {
            if (lane.handle) {
                if (libssh2_sftp_close_handle(lane.handle) == LIBSSH2_ERROR_EAGAIN)
                    return Turn::Busy;
                lane.handle = nullptr;
            }
            lane.step = lane.made ? Step::Remove : Step::Idle;
            return Turn::Moved;
        }
        case Step::Remove: {
            // A file cut short under its final name would pass for the whole.
            const int rc = libssh2_sftp_unlink_ex(lane.sftp, lane.path.constData(), unsigned(lane.path.size()));
            if (rc == LIBSSH2_ERROR_EAGAIN)
                return Turn::Busy;
            if (rc != 0)
                sshLog(QStringLiteral("sftp lanes: %1 not taken back: %2").arg(lane.file.remote, lastError(lane.sftp)));
            lane.made = false;
            lane.step = Step::Idle;
            return Turn::Moved;
        }
        }
        return Turn::Busy;
    };
    // After a failure no file is begun, and those under way are seen
    // through: a handle closed under a request half sent would garble its
    // channel for the next job. What arrives whole stays; the rest goes.
    bool ok = true;
    while (m_keepRunning()) {
        bool moved = false;
        bool working = false;
        for (Lane &lane : lanes) {
            const Turn t = turn(lane);
            if (t == Turn::Failed) {
                if (ok)
                    *error = why;
                ok = false;
                more = false;
                lane.step = Step::Drop;
            }
            moved = moved || t != Turn::Busy;
            working = working || lane.step != Step::Idle;
        }
        if (!working && !more)
            break;
        if (!moved)
            m_wait();
    }
    return ok && m_keepRunning();
}
