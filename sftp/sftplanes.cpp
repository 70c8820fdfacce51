#include "sftp/sftplanes.h"

#include "connections/sshsupport.h"
#include "sftp/sftpnames.h"

#include <cerrno>

#include <unistd.h>

namespace {

enum class Step { Idle, Probe, Open, Move, Close, Rename, Taken, Drop, Remove };
enum class Turn { Busy, Moved, Failed };

} // namespace

qint64 SftpLocalFile::read(char *to, qint64 most)
{
    if (m_taken < size) {
        const qint64 n = file.read(to, qMin(most, size - m_taken));
        m_taken += qMax<qint64>(0, n);
        return n;
    }
    // A byte past the size it had tells that it changed: a file that never
    // ends is read no further, and that byte goes nowhere.
    char past;
    const qint64 n = file.read(&past, 1);
    m_overran = m_overran || n > 0;
    return n < 0 ? -1 : 0;
}

qint64 SftpLocalFile::readAt(char *to, qint64 most, qint64 at)
{
    // Past the size, a few bytes: /proc/self/pagemap takes no fewer.
    char past[8];
    const bool beyond = at >= size;
    ssize_t n;
    do
        n = ::pread(file.handle(), beyond ? past : to, beyond ? sizeof past : size_t(qMin(most, size - at)), at);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        m_error = qt_error_string(errno);
        return -1;
    }
    if (beyond) {
        m_overran = m_overran || n > 0;
        return 0;
    }
    m_taken += n;
    return n;
}

bool SftpLocalFile::readAll(QByteArray *content, QString *error)
{
    content->resize(size);
    qint64 got = 0;
    qint64 n;
    while ((n = read(content->data() + got, size - got)) > 0)
        got += n;
    if (n < 0)
        *error = file.errorString();
    return n == 0 && exact();
}

SftpWriteWindow::SftpWriteWindow(int stopTrips, qint64 graceMs)
    : m_graceUs(graceMs * 1000)
    , m_stopTrips(stopTrips)
{
    m_clock.start();
}

void SftpWriteWindow::handedAt(qint64 bytes, qint64 us)
{
    if (bytes <= 0)
        return;
    // The first round ends with the first bytes handed over: all of them
    // answered in one round trip tells the rate the window began with.
    if (m_roundFromUs < 0)
        m_roundFromUs = us;
    m_handed += bytes;
    m_marks.push_back({m_handed, us, m_acked});
}

void SftpWriteWindow::ackedAt(qint64 bytes, qint64 now)
{
    // However short a round trip, the link is given what it moves in this
    // long, up to a MiB: the server and the machine both pause now and then.
    // More than that only slows a near link down.
    constexpr qint64 kAheadUs = 300000;
    constexpr qint64 kNear = 1024 * 1024;
    constexpr qint64 kMost = 8 * 1024 * 1024;
    if (bytes <= 0)
        return;
    m_acked += bytes;
    bool roundEnds = false;
    while (!m_marks.empty() && m_marks.front().upTo <= m_acked) {
        const Mark mark = m_marks.front();
        m_marks.pop_front();
        const qint64 took = qMax<qint64>(1, now - mark.atUs);
        m_roundTripUs = m_roundTripUs > 0 ? qMin(m_roundTripUs, took) : took;
        // What came back during that one round trip: all the link carried.
        m_roundRate = qMax(m_roundRate, (m_acked - mark.ackedThen) * 1000000 / took);
        // All that was under way when the mark was handed was answered
        // within that time, which a stop would have waited: at that pace,
        // what is under way is answered within what the grace leaves for
        // it. Acknowledgements read late, the machine busy, only make the
        // pace slower.
        m_roundCarried = qMax(m_roundCarried, (mark.upTo - mark.ackedThen) * 1000000 / took);
        roundEnds = roundEnds || mark.atUs >= m_roundFromUs;
    }
    if (!roundEnds)
        return;
    // A few round trips' worth lets the window grow as many times over each
    // round trip while the link keeps up; once it does not, the rate stops
    // rising and the window with it. What is under way is kept to what the
    // grace leaves after the stop's own round trips, at the pace it was
    // answered. The round trip counted is the least seen, which on a slow
    // line still holds some of our own queue, so the bound errs short; one
    // that leaves less than itself leaves the window at its least.
    const qint64 rtt = m_roundTripUs;
    qint64 drains = m_graceUs - m_stopTrips * rtt - kSpareUs;
    drains = drains >= rtt ? drains : 0;
    const qint64 near = qMin(m_roundRate * kAheadUs / 1000000, kNear);
    const qint64 grows = qMax(near, m_roundRate * 4 * rtt / 1000000);
    m_size = qBound(kLeast, qMin(grows, m_roundCarried * drains / 1000000), kMost);
    m_roundRate = 0;
    m_roundCarried = 0;
    m_roundFromUs = now;
}

qint64 sftpChannelRoom(LIBSSH2_SFTP *sftp, qint64 held)
{
    return sftpWindowRoom(sftpChannelGrant(sftp), held);
}

qint64 sftpWindowRoom(qint64 window, qint64 held)
{
    // Each request of up to 30000 bytes costs its header out of the room,
    // however small it is. Counted short, a request handed as the room
    // allows goes out but for its last bytes, and they wait for the next
    // room: from a server that makes room only as it answers, a round trip
    // later, with every request behind them.
    constexpr qint64 kRequest = 30000;
    constexpr qint64 kHeader = 64;
    constexpr qint64 kIdleRequest = 16 * 1024;
    if (window == std::numeric_limits<qint64>::max())
        return window;
    const qint64 room = qMax<qint64>(0, window - kHeader * ((window + kRequest + kHeader - 1) / (kRequest + kHeader)));
    return held > 0 ? room : qMax(room, kIdleRequest);
}

qint64 sftpChannelGrant(LIBSSH2_SFTP *sftp)
{
    // libssh2 keeps no note of the first grant: an idle channel's room is
    // what the server grants, less what it has not yet given back (which a
    // server does by half its grant at most).
    LIBSSH2_CHANNEL *channel = sftp ? libssh2_sftp_get_channel(sftp) : nullptr;
    return channel ? qint64(libssh2_channel_window_write_ex(channel, nullptr)) : std::numeric_limits<qint64>::max();
}

bool sftpChannelGone(LIBSSH2_SFTP *sftp)
{
    LIBSSH2_CHANNEL *channel = sftp ? libssh2_sftp_get_channel(sftp) : nullptr;
    return channel && libssh2_channel_eof(channel) == 1;
}

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
    QByteArray temporary; // uploads: where the bytes go until the file is whole
    qint64 offset = 0;
    qint64 held = 0;      // uploads: bytes past offset that libssh2 holds, sent or not
    bool made = false;    // an upload's temporary file this lane created and has not renamed
    bool dropped = false; // uploads: stopped; what is under way goes out, then the file is taken back
    bool retired = false; // its channel may hold a request cut short: it takes nothing more
    int restarts = 0;
};

SftpLanes::SftpLanes(LIBSSH2_SESSION *session, std::function<void()> wait, std::function<bool()> keepRunning,
                     std::function<bool()> mayGoOn)
    : m_session(session)
    , m_wait(std::move(wait))
    , m_keepRunning(std::move(keepRunning))
    , m_mayGoOn(std::move(mayGoOn))
{
}

SftpLanes::~SftpLanes()
{
    // Bounded: after a stop the socket is shut and each fails at once.
    for (LIBSSH2_SFTP *sftp : takeChannels()) {
        for (int i = 0; i < 20 && libssh2_sftp_shutdown(sftp) == LIBSSH2_ERROR_EAGAIN; ++i)
            m_wait();
    }
}

QList<LIBSSH2_SFTP *> SftpLanes::takeChannels()
{
    m_narrow.clear();
    return std::exchange(m_channels, {}) + std::exchange(m_retired, {});
}

int SftpLanes::open(int count)
{
    while (m_channels.size() < count && m_keepRunning()) {
        LIBSSH2_SFTP *sftp = libssh2_sftp_init(m_session);
        if (sftp) {
            m_channels.append(sftp);
            // Told while it is idle: in use, any channel's room runs low.
            if (sftpChannelGrant(sftp) < kSftpNarrowChannel)
                m_narrow.insert(sftp);
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
    m_taken.clear();
    m_acked = 0;
    QList<Lane> lanes(m_channels.size());
    for (qsizetype i = 0; i < lanes.size(); ++i)
        lanes[i].sftp = m_channels[i];
    bool more = true;
    QString why;
    // One window for the job, whichever lanes its bytes go over; a stop
    // closes each file, then removes it.
    SftpWriteWindow window(2);
    const auto heldByAll = [&] {
        qint64 all = 0;
        for (const Lane &lane : std::as_const(lanes))
            all += lane.held;
        return all;
    };
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
            lane.temporary = lane.file.temporary.toUtf8();
            lane.offset = lane.held = 0;
            lane.dropped = false;
            lane.restarts = 0;
            if (!upload)
                lane.file.content.resize(sftpReadRoom(lane.file.size, 0));
            lane.step = upload ? Step::Probe : Step::Open;
            return Turn::Moved;
        case Step::Probe: {
            // A name taken is left to the caller, which knows what to do
            // with it; anything else the open below tells.
            LIBSSH2_SFTP_ATTRIBUTES attrs;
            const int rc = libssh2_sftp_stat_ex(lane.sftp, lane.path.constData(), unsigned(lane.path.size()),
                                                LIBSSH2_SFTP_LSTAT, &attrs);
            if (rc == LIBSSH2_ERROR_EAGAIN)
                return Turn::Busy;
            if (rc == 0 && !lane.dropped) {
                lane.step = Step::Idle;
                return refused(lane.file, &why) ? Turn::Moved : Turn::Failed;
            }
            lane.step = lane.dropped ? Step::Idle : Step::Open;
            return Turn::Moved;
        }
        case Step::Open: {
            const QByteArray &name = upload ? lane.temporary : lane.path;
            const unsigned long flags = upload ? LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_EXCL : LIBSSH2_FXF_READ;
            lane.handle = libssh2_sftp_open_ex(lane.sftp, name.constData(), unsigned(name.size()), flags,
                                               upload ? long(lane.file.mode) : 0, LIBSSH2_SFTP_OPENFILE);
            if (lane.handle) {
                lane.made = upload;
                lane.step = lane.dropped ? Step::Close : Step::Move;
                return Turn::Moved;
            }
            return blocked() ? Turn::Busy : fail(lastError(lane.sftp));
        }
        case Step::Move: {
            if (upload) {
                // Stopped, only what libssh2 holds goes out: a request cut
                // short would garble the channel.
                const qint64 share = qMax<qint64>(0, window.size() - heldByAll()) + lane.held;
                const qint64 was = lane.held;
                lane.held = lane.dropped ? lane.held
                                         : qMax(lane.held, qMin(qMin(lane.file.size - lane.offset, share),
                                                                lane.held + sftpChannelRoom(lane.sftp, lane.held)));
                window.handed(lane.held - was);
                if (lane.held == 0 && !lane.dropped && lane.offset < lane.file.size)
                    return Turn::Busy; // the other lanes hold the whole window
                if (lane.held == 0) {
                    lane.step = Step::Close;
                    return Turn::Moved;
                }
                const ssize_t n = libssh2_sftp_write(lane.handle, lane.file.content.constData() + lane.offset,
                                                     size_t(lane.held));
                if (n == LIBSSH2_ERROR_EAGAIN)
                    return Turn::Busy;
                if (n < 0)
                    return fail(lastError(lane.sftp));
                // Part of a request went, as far as the room let it; the
                // rest when the server makes more.
                if (n == 0)
                    return sftpChannelRoom(lane.sftp, lane.held) > 0 ? Turn::Moved : Turn::Busy;
                lane.offset += n;
                lane.held = qMax<qint64>(0, lane.held - n);
                window.acked(n);
                m_acked += n;
                return Turn::Moved;
            }
            if (lane.offset == lane.file.content.size()) // it grew since it was listed
                lane.file.content.resize(qMax<qsizetype>(64 * 1024, 2 * lane.file.content.size()));
            char *at = lane.file.content.data() + lane.offset;
            const size_t left = size_t(qMin<qint64>(lane.file.content.size() - lane.offset,
                                                    sftpReadRoom(lane.file.size, lane.offset)));
            const unsigned long status = libssh2_sftp_last_error(lane.sftp);
            const ssize_t n = libssh2_sftp_read(lane.handle, at, left);
            if (n == LIBSSH2_ERROR_EAGAIN)
                return Turn::Busy;
            if (n < 0 && sftpRestartRead(lane.sftp, lane.handle, n, lane.offset, &lane.restarts, status))
                return Turn::Moved;
            if (n < 0)
                return fail(lastError(lane.sftp));
            if (n > 0)
                lane.restarts = 0;
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
            if (upload) {
                lane.step = lane.dropped ? Step::Remove : Step::Rename;
                return Turn::Moved;
            }
            lane.step = Step::Idle;
            return done(lane.file, &why) ? Turn::Moved : Turn::Failed;
        }
        case Step::Rename: {
            // Without the overwrite flag: a name taken meanwhile is not
            // written over (an OpenSSH server links, which refuses it).
            const int rc = libssh2_sftp_rename_ex(lane.sftp, lane.temporary.constData(), unsigned(lane.temporary.size()),
                                                  lane.path.constData(), unsigned(lane.path.size()), 0);
            if (rc == LIBSSH2_ERROR_EAGAIN)
                return Turn::Busy;
            if (rc != 0) {
                why = lastError(lane.sftp);
                lane.step = Step::Taken;
                return Turn::Moved;
            }
            lane.made = false;
            lane.step = Step::Idle;
            return done(lane.file, &why) ? Turn::Moved : Turn::Failed;
        }
        case Step::Taken: {
            // The rename was refused: a name taken since the look is told
            // as such, which the user can do something about.
            LIBSSH2_SFTP_ATTRIBUTES attrs;
            const int rc = libssh2_sftp_stat_ex(lane.sftp, lane.path.constData(), unsigned(lane.path.size()),
                                                LIBSSH2_SFTP_LSTAT, &attrs);
            if (rc == LIBSSH2_ERROR_EAGAIN)
                return Turn::Busy;
            if (rc == 0 && m_taken.isEmpty())
                m_taken = lane.file.remote;
            return Turn::Failed;
        }
        case Step::Drop: {
            if (lane.handle && !sftpChannelGone(lane.sftp)) {
                if (libssh2_sftp_close_handle(lane.handle) == LIBSSH2_ERROR_EAGAIN)
                    return Turn::Busy;
            }
            lane.handle = nullptr;
            lane.step = lane.made ? Step::Remove : Step::Idle;
            return Turn::Moved;
        }
        case Step::Remove: {
            const int rc = sftpChannelGone(lane.sftp)
                               ? LIBSSH2_ERROR_CHANNEL_CLOSED
                               : libssh2_sftp_unlink_ex(lane.sftp, lane.temporary.constData(), unsigned(lane.temporary.size()));
            if (rc == LIBSSH2_ERROR_EAGAIN)
                return Turn::Busy;
            if (rc != 0) {
                sshLog(QStringLiteral("sftp lanes: %1 not taken back: %2").arg(lane.file.temporary, lastError(lane.sftp)));
                m_leftBehind.append(lane.file.temporary);
            }
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
    // A stop drops what is under way instead, for as long as its grace
    // lasts: what libssh2 holds goes out, and the temporary file goes.
    bool ok = true;
    bool stopped = false;
    m_stalled = false;
    QElapsedTimer quiet;
    quiet.start();
    while (upload ? m_mayGoOn() : m_keepRunning()) {
        if (upload && !stopped && !m_keepRunning()) {
            stopped = true;
            more = false;
            for (Lane &lane : lanes)
                lane.dropped = true;
        }
        bool moved = false;
        bool working = false;
        for (Lane &lane : lanes) {
            if (lane.retired)
                continue;
            const bool writing = upload && lane.step == Step::Move;
            Turn t = turn(lane);
            if (t == Turn::Busy && lane.step != Step::Idle && sftpChannelGone(lane.sftp))
                t = fail(QString::fromLatin1(kSftpGone));
            if (t == Turn::Failed) {
                if (ok)
                    *error = why;
                ok = false;
                more = false;
                lane.step = Step::Drop;
                // libssh2 drops what it held of a write the server failed,
                // which a narrow channel may have sent in part: the next
                // request on it would be read as the rest. The file is left
                // to the session's own channel to remove.
                if (writing && m_narrow.contains(lane.sftp)) {
                    lane.retired = true;
                    lane.step = Step::Idle;
                    lane.handle = nullptr;
                    if (lane.made)
                        m_leftBehind.append(lane.file.temporary);
                    lane.made = false;
                }
            }
            moved = moved || t != Turn::Busy;
            working = working || lane.step != Step::Idle;
        }
        if (!working && !more)
            break;
        if (moved) {
            quiet.restart();
        } else if (!stopped && quiet.elapsed() >= kSftpStallMs) {
            // Nothing answered on any lane for that long: what is under way
            // is given up with the channels, which a stop would wait on.
            if (ok)
                *error = QString();
            ok = false;
            m_stalled = true;
            break;
        } else {
            m_wait();
        }
    }
    // Given up with the grace: a file made, or one whose open was under way
    // and may have made it.
    for (const Lane &lane : std::as_const(lanes)) {
        if (lane.made || (upload && lane.step == Step::Open))
            m_leftBehind.append(lane.file.temporary);
        // Its server's end lets go of the file it holds once the channel
        // is closed; one whose closing does not end in a moment is closed
        // with the others, at the end.
        if (lane.retired && m_channels.removeOne(lane.sftp)) {
            int rc = LIBSSH2_ERROR_EAGAIN;
            for (int i = 0; i < 20 && (rc = libssh2_sftp_shutdown(lane.sftp)) == LIBSSH2_ERROR_EAGAIN; ++i)
                m_wait();
            if (rc == LIBSSH2_ERROR_EAGAIN)
                m_retired.append(lane.sftp);
        }
    }
    return ok && m_keepRunning();
}
