#pragma once

#include "sftp/sftpsession.h"

#include <QVariantList>

#include <functional>

// Jobs of the remote directory tree beside an SSH terminal.
enum class DirTreeJobKind : qint32 {
    List = 0,
    NewFolder = 1,
    NewFile = 2,
    Rename = 3,
    Delete = 4,
    UploadFile = 5,
    UploadFolder = 6,
    DownloadFile = 7,
    DownloadFolder = 8,
    Compress = 9,
};

struct DirTreeJob {
    qint32 kind = 0;      // a DirTreeJobKind
    qint32 id = 0;        // the tree's own; handed back in every answer
    bool isRoot = false;  // List: passed back with the listing
    QString remote;       // the path the job works on (a local one for uploads)
    QString second;       // Rename: new path; transfers: the destination; Compress: the archive
    QString third;        // kept for the tree, never read here
};

// The worker behind the remote directory tree. Its messages are Chinese
// source texts, or the SSH library's and the server's own, for the tree to
// put into its translated texts.
class DirTreeWorker : public SftpSession
{
    Q_OBJECT
public:
    explicit DirTreeWorker(const SshConnectParams &params);

    // Any thread; jobs posted before sigReady wait their turn.
    void post(const DirTreeJob &job) { m_queue.post(job, m_link->waker); }

    // Asked on the worker thread, once per job, before a folder download
    // writes into a local folder that already exists: true lets it go on.
    // Without one, such a download is refused.
    using ExistingFolderQuestion = std::function<bool(const QString &localFolder)>;
    void setExistingFolderQuestion(ExistingFolderQuestion question) { m_askExisting = std::move(question); }

signals:
    void sigReady();
    void sigListed(const QString &requested, const QString &absPath, const QVariantList &entries, bool isRoot);
    void sigFailed(const QString &requested, const QString &err, bool permDenied, bool isRoot);
    void sigJobStart(int id, const QString &name, bool upload, qlonglong total);
    void sigJobProgress(int id, qlonglong done, qlonglong total);
    void sigJobDone(int id, const QString &msg);
    void sigJobFailed(int id, const QString &err);
    // Before a folder transfer starts: the paths it leaves out, when there
    // are any (a download's links and special files, an upload's special
    // files and dangling links).
    void sigSkipped(int id, const QStringList &paths);

protected:
    void ready() override { emit sigReady(); }
    void runJobs() override;
    // Its failures end up in the pane's status line, in the user's language.
    QString say(const char *source) const override;

private:
    // Each returns success; a failure has been reported (or set in m_why).
    void doList(const QString &remote, bool isRoot);
    bool newFile(const QString &remote);
    bool rename(const QString &from, const QString &to);
    bool removeAny(const QString &remote);
    bool removeRecursive(const QString &dir);
    bool uploadFile(const DirTreeJob &job);
    bool uploadFolder(const DirTreeJob &job);
    bool downloadFile(const DirTreeJob &job);
    bool downloadFolder(const DirTreeJob &job);
    bool compressRemote(const DirTreeJob &job);
    // Runs a command on the server to its end: empty when it exited with 0,
    // else why not (its error output included).
    QString runRemote(const QByteArray &command);

    struct RemoteFile {
        QString path;
        QString relative; // "/"-separated, every part a plain name
        qint64 size = 0;
        bool folder = false;
        unsigned long mode = 0644; // as listed
    };
    bool collectRemoteFiles(const QString &dir, const QString &relative, QList<RemoteFile> *files);
    // A remote file to a local path: durable ones reach the disk before they
    // take the name. -1 on failure (m_why says why).
    qint64 receive(const QString &remote, const QString &local, const Progress &progress, bool durable);
    static bool putInPlace(class QTemporaryFile &file, const QString &local, unsigned long remoteMode);
    bool fail(const QString &why);
    // Job progress past base bytes of the job's total, whenever the whole
    // percentage changes.
    Progress progressOf(int id, qint64 base, qint64 total, const std::shared_ptr<sftpnames::Percent> &percent);

    SftpJobQueue<DirTreeJob> m_queue;
    ExistingFolderQuestion m_askExisting; // set before start, read on the worker thread
    QString m_why;                        // the reason of the job's failure
    QStringList m_skipped;                // what a folder download leaves out
};
