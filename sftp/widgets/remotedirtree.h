#pragma once

#include "connections/sshconnection.h"
#include "sftp/dirtreeworker.h"
#include "sftp/widgets/progressthrottle.h"

#include <QHash>
#include <QSet>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>

class QLabel;
class QMenu;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// The remote host's files beside an SSH terminal: a tree that lists each
// folder the first time it is expanded, and a context menu that makes,
// renames, deletes, packs, uploads and downloads. The remote work runs on a
// DirTreeWorker with an SSH session of its own; this half turns clicks into
// jobs, keeps count of the jobs that have not ended and answers the worker.
class RemoteDirTree : public QWidget
{
    Q_OBJECT
public:
    // Data of column 0 of every item.
    enum Role { PathRole = Qt::UserRole, LoadedRole, PlaceholderRole, IsDirRole };

    explicit RemoteDirTree(QWidget *parent = nullptr);
    ~RemoteDirTree() override;

    // (Re)starts the tree for a session: the old worker stops, the tree
    // empties, a new worker connects with a copy of p.
    void connectTo(const SshConnectParams &p);

    // The context menu for the item at a viewport position (null: none), as
    // onContextMenu runs it.
    QMenu *buildContextMenu(QTreeWidgetItem *item);
    QTreeWidget *treeWidget() const { return tree; }
    QString statusText() const;
    QString headerText() const;
    int pendingJobCount() const { return activeJobCount; }

signals:
    void sigTransferAdded(int id, const QString &name, bool upload, qlonglong total);
    void sigTransferProgress(int id, qlonglong done, qlonglong total);
    void sigTransferFinished(int id, const QString &status, bool ok);
    // A transfer that finished without some of what it was given (a folder
    // whose links or special files were left out): what the user is told.
    void sigTransferNote(int id, const QString &note);
    void sigTransfersIdle();

private slots:
    void onExpanded(QTreeWidgetItem *item);
    void onReady();
    void onListed(const QString &requested, const QString &absPath, const QVariantList &entries, bool isRoot);
    void onFailed(const QString &requested, const QString &err, bool permDenied, bool isRoot);
    void onWorkerError(const QString &msg);
    void refreshRoot();
    void onContextMenu(const QPoint &pos);
    void actNewFile();
    void actNewFolder();
    void actRename();
    void actDownload();
    void actCopyName();
    void actCopyPath();
    void actDelete();
    void actUploadFile();
    void actUploadFolder();
    void actCompress();
    void onJobStart(int id, const QString &name, bool upload, qlonglong total);
    void onJobProgress(int id, qlonglong done, qlonglong total);
    void onJobDone(int id, const QString &msg);
    void onJobFailed(int id, const QString &err);

private:
    // The worker thread's question before a folder download writes into a
    // local folder that exists, answered here on the GUI thread.
    struct Question;

    void stopWorker();
    bool currentItemIsDir() const;
    QString currentItemPath() const;
    QString currentRemoteDir() const;
    bool currentIsRoot() const;
    int submitJob(DirTreeJob job);
    void postList(const QString &path, bool isRoot);
    void makeRootItem(const QString &path);
    void refreshItem(QTreeWidgetItem *item);
    void unindexDescendants(QTreeWidgetItem *item);
    void dropChildren(QTreeWidgetItem *item);
    void addPlaceholder(QTreeWidgetItem *item);
    // The footer: the text is made again after a language switch.
    void setStatus(std::function<QString()> text, const char *color = nullptr);
    void retranslate();
    std::optional<QString> askName(const QString &title, const QString &label, const QString &text);
    void newItem(DirTreeJobKind kind, const QString &title, const QString &label, const QString &defaultName);
    void showProgress(int id, qint64 done, qint64 total);
    void flushProgress();

    DirTreeWorker *worker = nullptr;
    std::shared_ptr<Question> question; // of the current worker
    SshConnectParams params;
    QLabel *headerLabel;
    QPushButton *refreshButton;
    QTreeWidget *tree;
    QLabel *statusLabel;
    std::function<QString()> statusMaker; // makes the footer's text
    QString rootPath;
    QString chosenPath; // the chosen row while its listing is on the way
    bool rootFallback = false;
    bool rootCreated = false;
    QHash<QString, QTreeWidgetItem *> pathIndex;
    qint32 nextJobId = 1;
    qint32 activeJobCount = 0;
    QHash<int, DirTreeJob> activeJobs;
    QHash<int, int> skippedEntries; // job -> links and special files a folder transfer left out
    bool keepStatusOnce = false;    // the next listing leaves the footer as it is
    QSet<int> transferIds;
    ProgressThrottle progressThrottle;
    QTimer progressTimer; // shows a held-back report when it is due
    int progressId = 0;   // the job of the held-back report
};
