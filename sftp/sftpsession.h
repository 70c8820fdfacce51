#pragma once

#include "connections/connection.h"
#include "connections/sshconnection.h"
#include "sftp/sftplanes.h"
#include "sftp/sftpnames.h"

#include <QHash>
#include <QMutex>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <vector>
#include <optional>

#include <libssh2.h>
#include <libssh2_sftp.h>

class QFileDevice;
class QIODevice;
class SftpWriteCalls;

// A mutex-guarded queue of job records. The owner posts and wakes the worker
// through its waker; the worker takes one record at a time.
template <typename Job>
class SftpJobQueue
{
public:
    void post(const Job &job, platform::Waker &waker)
    {
        {
            QMutexLocker lock(&m_mutex);
            m_jobs.push_back(job);
        }
        waker.wake();
    }
    std::optional<Job> takeFront()
    {
        QMutexLocker lock(&m_mutex);
        if (m_jobs.empty())
            return std::nullopt;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        return job;
    }

private:
    QMutex m_mutex;
    std::deque<Job> m_jobs; // guarded by m_mutex
};

// The SSH file session of an SFTP worker: a thread with its own TCP
// connection, non-blocking libssh2 session (host key checked against the
// known-hosts file, refusing what does not match) and SFTP channel, and the
// remote-file steps the two workers share. Every wait lasts at most 100 ms
// and also ends when the waker fires, so a stop is seen at once.
class SftpSession : public ConnectionWorker
{
    Q_OBJECT
public:
    ~SftpSession() override;

    // The owner's stop (GUI thread): the flags, the waker and a shut-down
    // socket end whatever the worker waits for. An upload under way first
    // takes back the file it made, for two seconds and half of waitMs at
    // most, before the socket is shut. True when the thread ended within
    // waitMs.
    bool stop(unsigned long waitMs = 5000);
    // Stops the worker and deletes it, at once or when its thread ends.
    static void release(SftpSession *worker, unsigned long waitMs = 5000);
    // From this size on, every upload of every session goes in two halves
    // over two channels, whatever the server grants each (0: the sizes of
    // its own, by the grant).
    static void setSplitAt(qint64 bytes);

    // Why a file transfer failed: the step, and the library's or the local
    // file's message.
    struct Failure {
        enum Step { None, LocalOpen, RemoteOpen, LocalRead, RemoteWrite, RemoteRead, LocalWrite, Size, Cancelled, Flush,
                    Commit, Replace, NotRegular };
        Step step = None;
        QString detail;
    };
    using Progress = std::function<void(qint64 done)>;

    using LocalFile = SftpLocalFile;

protected:
    SftpSession(const SshConnectParams &params, const char *goodbye);

    // The thread body: set-up, ready(), runJobs(), teardown.
    void run() final;
    virtual void ready() = 0;
    virtual void runJobs() = 0;
    // A message as this worker hands it on: the source text, or translated.
    virtual QString say(const char *source) const = 0;

    // Waits for the next job; nothing when the worker is stopping.
    template <typename Job>
    std::optional<Job> nextJob(SftpJobQueue<Job> &queue)
    {
        while (keepRunning()) {
            if (std::optional<Job> job = queue.takeFront()) {
                m_linkCounts.clear();
                return job;
            }
            waitSocket(nullptr, -1, 1000, &m_link->waker);
        }
        return std::nullopt;
    }

    // One libssh2 call repeated while it would block, waiting between tries;
    // gives up (with a non-zero result) when the worker stops.
    int retry(const char *label, const std::function<int()> &step);
    void waitIo();
    // waitIo() after a request would block; false, without waiting, when
    // the server's end of the SFTP channel has gone (its process killed,
    // say): nothing more comes on it, and a wait would never end.
    bool waitSftp();
    // While one lives, a stop leaves the worker's requests their session
    // until they are done or the owner's grace is over, so that what an
    // upload made can be taken back: retry() and openRemote() go on then.
    class Tidying
    {
    public:
        explicit Tidying(SftpSession *session);
        ~Tidying();
        Tidying(const Tidying &) = delete;
        Tidying &operator=(const Tidying &) = delete;

    private:
        SftpSession *m_session;
        bool m_was;
    };
    // The worker runs, or a stopped one takes back what it made while the
    // owner's grace lasts.
    bool mayGoOn() const;
    // What an upload's writer asks of libssh2: libssh2's own when null. A
    // test puts a channel in that misjudges the room.
    virtual SftpWriteCalls *writeCalls() { return nullptr; }
    // A temporary name beside finalPath for an upload to write under: a
    // random one, made exclusively, so that no name of anyone else's is
    // ever taken for ours (a test may choose one that is taken).
    virtual QString temporaryName(const QString &finalPath) const;
    // An upload's temporary file that could not be taken back: the next
    // session on the same account removes it.
    void leftBehind(const QString &path) const;
    LIBSSH2_SFTP_HANDLE *openRemote(const QString &path, unsigned long flags, long mode, int type);
    // path, an upload's file already made, opened for writing on the second
    // channel; null when there is none.
    LIBSSH2_SFTP_HANDLE *openSecond(const QString &path);
    // Closes handle, and also the second one when given, and removes the
    // file `remove` when given, all at once. True when that was removed.
    bool closeRemote(LIBSSH2_SFTP_HANDLE *handle, LIBSSH2_SFTP_HANDLE *also = nullptr, const QString &remove = QString());
    // The SFTP channels given up (one that takes nothing more) and a fresh
    // one opened in their place.
    void renewChannels();
    bool statRemote(const QString &path, LIBSSH2_SFTP_ATTRIBUTES *attrs, bool followLinks);
    bool realPath(const QString &path, QString *absolute);
    // The entries of a folder (all of them, "." and ".." too), read whole
    // before the handle is closed. False (with *why) when opening or reading
    // fails, or when the worker stops.
    struct FolderFailure {
        QString text;
        bool opened = false;      // it opened, and reading it failed
        unsigned long status = 0; // the server's, kept past the close that follows
    };
    bool readFolder(const QString &path, QList<sftpnames::DirEntry> *entries, FolderFailure *why);
    // An existing folder counts as made when accepted (a version 3 server
    // answers a plain failure there, so the path is looked at).
    bool makeFolder(const QString &path, bool acceptExisting);
    bool removeFile(const QString &path);
    // The library's last message, with the server's status when it sent one.
    QString lastErrorText() const;
    unsigned long sftpStatus() const;

    // Opens a local file chosen for upload (links followed). Only a regular
    // file is read: a device never ends and a pipe waits for a writer, so
    // neither is opened; false, with *why naming the file and what it is.
    bool openLocal(const QString &path, LocalFile *file, Failure *why) const;
    // The whole of a small file opened by openLocal; false (a Size or
    // LocalRead failure) when it reads other than its size.
    static bool readAll(LocalFile &local, QByteArray *content, Failure *why)
    {
        QString error;
        if (local.readAll(content, &error))
            return true;
        *why = error.isEmpty() ? Failure{Failure::Size, QString()} : Failure{Failure::LocalRead, error};
        return false;
    }

    // Copies a local file to a remote path. A new file is written under a
    // temporary name and takes its own only once whole, and only while that
    // is still free; an existing one is replaced in one atomic rename by a
    // temporary file that takes its permissions once all bytes are written,
    // or, where that cannot be told apart from the old one, written in place
    // (also the file a link points to). A stop or a failure takes back the
    // temporary file. Returns the bytes written, or -1 with *why set.
    qint64 upload(const QString &localPath, const QString &remotePath, const Progress &progress, Failure *why);
    // Only regular files (and links to them) come down as files: a device
    // never ends and a pipe may never open. Asked before anything is made
    // on this side; false, with *why saying what remotePath is, for anything
    // else.
    bool downloadable(const QString &remotePath, Failure *why);
    // Copies a remote file into an open local file, which the caller puts
    // in place: all the file holds until the server reports its end, more
    // or less than its size said. *stated is the size the server gave for
    // the open file, -1 when none, for showing progress by. opened, when
    // given, learns the file's permission bits (when the server gives them)
    // before a byte is written.
    // Returns the bytes received, or -1 with *why set.
    using Opened = std::function<void(unsigned long permissions)>;
    qint64 download(const QString &remotePath, QIODevice *out, qint64 *stated, const Progress &progress, Failure *why,
                    const Opened &opened = {});
    // Narrows a local file that a download makes anew by the remote file's
    // permission bits (one that was there keeps its own).
    static void narrowNewFile(QFileDevice &file, unsigned long remotePermissions);

    // Why an upload failed when its name was taken while it ran: it is
    // not written over.
    QString nameTaken(const QString &path) const;

    // Extra SFTP channels for folder jobs, opened on first use; none when
    // the server allows no more.
    SftpLanes *lanes();
    // The lanes given up after they stalled, and what they left behind
    // removed over the session's own channel; a job after this opens
    // fresh ones.
    void dropStalledLanes();
    // Removes what this and earlier sessions on this account left behind.
    void takeBackLeftovers();
    // Why an upload ended after kSftpStallMs with no progress.
    QString stalled(qint64 acked, qint64 size) const;

    LIBSSH2_SESSION *session() const { return m_session; }
    LIBSSH2_SFTP *sftpHandle() const { return m_sftp; }
    int socket() const { return m_sock.load(); }

    SshConnectParams m_params;

private:
    bool setUp();
    void tearDown();
    QString account() const;
    void setSocket(int fd);
    LIBSSH2_SFTP_HANDLE *openUploadTarget(const QString &remotePath, struct UploadTarget *target);
    LIBSSH2_SFTP_HANDLE *openReplacement(const LIBSSH2_SFTP_ATTRIBUTES &old, UploadTarget *target);
    // Makes a temporary name of ours beside target->finalPath, exclusively.
    LIBSSH2_SFTP_HANDLE *openTemporary(UploadTarget *target, unsigned long mode);
    bool renamesOver(const QString &folder);
    int linkCount(const QString &path); // -1 when it cannot be told
    // Gives the written file its name; false with *why when it cannot.
    bool putInPlace(const UploadTarget &target, QString *why);
    // What a file that is not regular is, for the user: name and its type
    // (the S_IFMT bits of its mode); empty for a regular file or one whose
    // type is not known (0).
    QString notRegular(const QString &name, unsigned long type) const;

    const char *m_goodbye;
    SshStopFlags m_flags;
    SshLogin m_login;
    LIBSSH2_SESSION *m_session = nullptr;
    LIBSSH2_SFTP *m_sftp = nullptr;
    std::unique_ptr<SftpLanes> m_lanes;
    std::vector<std::unique_ptr<SftpLanes>> m_stalledLanes;
    // Channels renewed that would not close: freed with the session.
    QList<LIBSSH2_SFTP *> m_stuck;
    LIBSSH2_SFTP *m_second = nullptr; // large uploads' second half
    bool m_noSecond = false;          // the server allowed no second channel
    int m_renamesOver = -1; // posix-rename@openssh.com offered: -1 not yet asked
    QHash<QString, QHash<QByteArray, int>> m_linkCounts; // folder -> name -> links, for the current job
    // Read by the owner to shut the socket down on stop; set and closed by
    // the worker. m_sockMutex orders both, so the owner never touches a
    // descriptor after it was closed (and perhaps reused).
    std::atomic<int> m_sock{-1};
    QMutex m_sockMutex;
    std::atomic<bool> m_tidying{false}; // a Tidying lives: read by the owner's stop
    // When the stop's grace for tidying up ends, as a QDeadlineTimer
    // deadline: set by the owner before it asks the worker to stop.
    std::atomic<qint64> m_graceEnds{0};
};
