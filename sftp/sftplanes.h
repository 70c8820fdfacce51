#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <limits>
#include <utility>

#include <libssh2.h>
#include <libssh2_sftp.h>

// The room to hand libssh2_sftp_read when `done` bytes of a file have come
// and the server gave `listed` as its size (-1: none). A file is read until
// the server says it ends, whatever its size said: the size is a guess that
// /proc files (0) and files being written (too small) get wrong. libssh2
// keeps four times the room requested ahead, in requests of at most 30000
// bytes: room past the listed end, and for two requests at least, brings
// the end of the file with its last bytes rather than a round trip later.
// Past its listed size a file gets `most`. A file of no size gets one
// request at a time: a /proc file answers a page per read, and a request
// further ahead would then be taken for its end, or refused.
qint64 sftpReadRoom(qint64 listed, qint64 done, qint64 most = std::numeric_limits<qint64>::max());

// A file that grows while it is read (a live log) can answer one read-ahead
// request short, at the end it had, and the next one in full: libssh2 then
// fails the read as a reply at an unexpected offset and drops the bytes that
// call had taken. rc is a failed libssh2_sftp_read on h; when it is that
// case, h is moved back to `received` (the bytes actually handed over) and
// true says to read on from there. A few in a row without a byte between
// them are a server that means it, and fail. statusBefore is the channel's
// SFTP status as it was before that read.
bool sftpRestartRead(LIBSSH2_SFTP *sftp, LIBSSH2_SFTP_HANDLE *h, ssize_t rc, qint64 received, int *inARow,
                     unsigned long statusBefore);

// A local file chosen for upload, read no further than the size it had
// when it was opened. Every upload reads through one: a file that reads on
// without end (/proc/self/pagemap says 0) or has changed its size is
// refused wherever it is sent, and none is read whole without a bound.
class SftpLocalFile
{
public:
    QFile file;
    qint64 size = 0; // when opened
    // Up to most bytes, never past the size; 0 at the end, -1 on a read error.
    qint64 read(char *to, qint64 most);
    // The same from `at` on, never past the size; at the size, a byte past
    // it marks the file as changed. Reads at several places do not disturb
    // each other.
    qint64 readAt(char *to, qint64 most, qint64 at);
    QString error() const { return m_error.isEmpty() ? file.errorString() : m_error; }
    // At the end: it held what its size said, no more and no less.
    bool exact() const { return m_taken == size && !m_overran; }
    // The whole of a small file. False when it reads other than its size
    // (*error empty) or cannot be read (*error says why).
    bool readAll(QByteArray *content, QString *error);

private:
    qint64 m_taken = 0;
    bool m_overran = false;
    QString m_error;
};

// With nothing acknowledged for this long, an upload cannot go on.
inline constexpr int kSftpStallMs = 30000;

// How long a stop waits for an upload to take back what it made before the
// socket is shut under it.
inline constexpr int kSftpStopGraceMs = 2000;

// How much of an upload job may be handed to libssh2 and not yet
// acknowledged, over all its channels together: what the link moves in a
// little more than a round trip, both measured from the acknowledgements.
// Less leaves the link idle for part of every round trip, however fast it
// is; more only waits in queues. A stop must let everything handed over go
// out and be answered, then close and remove the files, all within its
// grace: whatever room the server's channels grant, the window holds no
// more than was seen to be answered in what the grace leaves after the
// stop's own round trips. A 25 KB/s line holds a few dozen KiB, a long fast
// one a few MiB; a round trip too long for any stop to fit leaves the window
// at its least.
class SftpWriteWindow
{
public:
    // stopTrips: the round trips a stop needs once all is answered.
    explicit SftpWriteWindow(int stopTrips, qint64 graceMs = kSftpStopGraceMs);
    qint64 size() const { return m_size; }
    // Bytes handed to libssh2 on top of what it held, now.
    void handed(qint64 bytes) { handedAt(bytes, m_clock.nsecsElapsed() / 1000); }
    void acked(qint64 bytes) { ackedAt(bytes, m_clock.nsecsElapsed() / 1000); }
    // The same at a time of the caller's, in microseconds from any start.
    void handedAt(qint64 bytes, qint64 us);
    void ackedAt(qint64 bytes, qint64 us);

    static constexpr qint64 kStart = 32 * 1024;
    static constexpr qint64 kLeast = 16 * 1024;
    // Room for the stop's own requests and a busy machine.
    static constexpr qint64 kSpareUs = 600000;

private:
    // Handed up to `upTo` at `atUs`, when `ackedThen` had been acknowledged.
    struct Mark {
        qint64 upTo;
        qint64 atUs;
        qint64 ackedThen;
    };
    QElapsedTimer m_clock;
    std::deque<Mark> m_marks;
    qint64 m_graceUs;
    int m_stopTrips;
    qint64 m_handed = 0;
    qint64 m_acked = 0;
    qint64 m_roundTripUs = 0;  // the least seen; 0 before the first
    qint64 m_roundFromUs = -1; // marks handed since then end the round
    qint64 m_roundRate = 0;    // bytes a second, the best of this round
    qint64 m_roundCarried = 0; // bytes a second: under way, over the time to answer it; this round's best
    qint64 m_size = kStart;
};

// What an SFTP channel's writes may add to the `held` bytes under way now
// without waiting for the server to make room. libssh2 counts no
// acknowledgement while a request waits for room, so writes handed more
// would hold back what the window learns, stall the channel until all of it
// has gone out, and lengthen a stop. With nothing under way a small request
// goes whatever the room: libssh2 reads the server's adjustment of the room
// only while it has something to send, and a small window (Dropbear's 24
// KiB) is often used up just as the last request is answered.
qint64 sftpChannelRoom(LIBSSH2_SFTP *sftp, qint64 held);
// The same from the channel's write window as libssh2 counts it.
qint64 sftpWindowRoom(qint64 window, qint64 held);
// The room the server grants an idle channel, about: 2 MiB from OpenSSH's,
// 24 KiB from Dropbear's.
qint64 sftpChannelGrant(LIBSSH2_SFTP *sftp);
// A grant below this bounds what a channel carries more than the link does.
inline constexpr qint64 kSftpNarrowChannel = 256 * 1024;

// Whether the server's end of an SFTP channel has gone: its subsystem ended
// (killed, say) while the connection stays. A request on it would wait for
// ever, so a wait is given up.
bool sftpChannelGone(LIBSSH2_SFTP *sftp);
// What a request is failed with then.
inline constexpr char kSftpGone[] = "SFTP channel closed by the server";

// Small files of a folder job moved several at a time, each over an SFTP
// channel of its own on the worker's session: one file at a time pays a
// round trip per request, which many small files add up to. Non-blocking
// throughout; the worker's wait and stop flag drive it.
class SftpLanes
{
public:
    struct File {
        QString remote;
        qint64 size = 0;      // from the local file or the listing; a download's as read
        QByteArray content;   // uploads: what goes up; downloads: what came
        unsigned long mode = 0644; // uploads: the permission bits the new file is made with
        QString temporary;    // uploads: the name it is written under until it is whole
    };
    // Hands out the next file (false: none left), or takes one that is done.
    using Next = std::function<bool(File *file)>;
    using Done = std::function<bool(File &file, QString *error)>;

    // keepRunning: the job goes on; mayGoOn: a stopped job may still take
    // back what it made.
    SftpLanes(LIBSSH2_SESSION *session, std::function<void()> wait, std::function<bool()> keepRunning,
              std::function<bool()> mayGoOn);
    ~SftpLanes();
    SftpLanes(const SftpLanes &) = delete;
    SftpLanes &operator=(const SftpLanes &) = delete;

    // Opens up to count channels once; the number open.
    int open(int count);
    // Its channels, for the session to shut down with its own: a request
    // cut short on any of them holds back every other packet of the session.
    QList<LIBSSH2_SFTP *> takeChannels();

    // Each file made anew with its content: written under its temporary
    // name and renamed to its own once whole, so that no file stands cut
    // short under its name whatever ends the job. A name already taken is
    // handed to refused, which decides whether that fails the job. False on
    // the first failure, with *error; the files under way on the other lanes
    // are then seen through. A stop begins no more and drops those under
    // way. Every temporary file not renamed is removed again; those that
    // could not be are in leftBehind().
    bool upload(const Next &next, const Done &done, const Done &refused, QString *error);
    QStringList takeLeftBehind() { return std::exchange(m_leftBehind, {}); }
    // The file whose rename upload() found its name taken since the look,
    // when one did; else empty.
    QString takenMeanwhile() const { return m_taken; }
    // Whether upload() ended because no lane moved for kSftpStallMs: the
    // channels are stuck, and its temporary files in leftBehind().
    bool stalled() const { return m_stalled; }
    // Bytes the server acknowledged in the last upload().
    qint64 acked() const { return m_acked; }
    // Each file read whole, to its end, whatever size was listed.
    bool download(const Next &next, const Done &done, QString *error);

private:
    struct Lane;
    bool run(bool upload, const Next &next, const Done &done, const Done &refused, QString *error);
    QString lastError(LIBSSH2_SFTP *sftp) const;

    LIBSSH2_SESSION *m_session;
    std::function<void()> m_wait;
    std::function<bool()> m_keepRunning;
    std::function<bool()> m_mayGoOn;
    QList<LIBSSH2_SFTP *> m_channels;
    QList<LIBSSH2_SFTP *> m_retired; // may hold a request cut short
    QSet<LIBSSH2_SFTP *> m_narrow;   // their server grants them little room
    QStringList m_leftBehind;
    QString m_taken;
    qint64 m_acked = 0;
    bool m_stalled = false;
};
