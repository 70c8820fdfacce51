#pragma once

// The SFTP tests' side of the fixture servers, files made and checked on
// both sides, and recorders that keep what each worker reports (queued onto
// the test thread).

#include "sftp/dirtreeworker.h"
#include "sftp/sftpdialogworker.h"
#include "tests/support/sshfixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#ifdef QT_WIDGETS_LIB
#include "sftp/widgets/remotedirtree.h"

#include <QTreeWidget>
#endif

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sftprig {

inline QByteArray sha(const QString &path)
{
    QFile f(path);
    QCryptographicHash h(QCryptographicHash::Sha256);
    return f.open(QIODevice::ReadOnly) && h.addData(&f) ? h.result().toHex() : QByteArray("unreadable");
}

// The rig places the server's files straight into the test account's home,
// which only root may do; an ordinary user is told so instead.
#define SFTP_RIG_NEEDS_ROOT()                                                                                          \
    do {                                                                                                               \
        if (::geteuid() != 0)                                                                                          \
            QSKIP("not run: the SFTP tests place files in the test account's home, which needs root");                \
    } while (false)

// A fixture server: the name of its state folder (account name and password) and its port.
struct Server {
    QString fixture;
    int port = 0;
    QString dir() const { return fixturePath(fixture); }
    QString user() const { return FixtureAccount(fixture).user; }
    // The account's home, seen from this side of the connection.
    QString home() const
    {
        const passwd *pw = getpwnam(user().toUtf8().constData());
        return pw ? QString::fromUtf8(pw->pw_dir) : QString();
    }
    SshConnectParams params(const QString &knownHosts) const { return fixtureSshParams(port, knownHosts, fixture); }
};

// The SSH tests' server, and the variants on the ports from kSftpPort.
inline Server plainServer() { return {QStringLiteral("ssh_sshd"), kSshdPort}; }
inline Server variant(const char *name, int index) { return {QStringLiteral("sftp_") + QLatin1String(name), kSftpPort + index}; }
// Dropbear (tests/fixtures/dropbear.sh), on the port after the variants.
inline Server dropbearServer() { return variant("dropbear", 3); }

// Made in the account's home as if the account had made it, with the
// folders on the way from base.
inline void own(const QString &path, const Server &s, const QString &base = QString())
{
    const passwd *pw = getpwnam(s.user().toUtf8().constData());
    for (QString p = path; p.size() > base.size(); p = QFileInfo(p).path()) {
        QVERIFY2(pw && lchown(p.toUtf8().constData(), pw->pw_uid, pw->pw_gid) == 0,
                 "the tests need root to set up the server side");
        if (base.isEmpty())
            break;
    }
}

// Setup and expectation entries, relative to a folder:
//   "p=text" a file, "p/" a folder, "p->t" a link, "p=>t" a second name of
//   t, "p%640" the mode, "p^100" the group, "p|" a named pipe,
//   "!p" nothing there (p's last part may be a wildcard), "p#entry" a gzip
//   tar archive that holds entry.
inline void setUp(const QString &base, const QStringList &entries, const Server &s)
{
    for (const QString &e : entries) {
        const QString path = base + QLatin1Char('/') + e.section(QRegularExpression(QStringLiteral("->|[=%|^]")), 0, 0);
        if (e.contains(QLatin1Char('^'))) {
            QVERIFY(::lchown(QFile::encodeName(path).constData(), uid_t(-1), gid_t(e.section(QLatin1Char('^'), 1).toUInt())) == 0);
        } else if (e.endsWith(QLatin1Char('|'))) {
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0644) == 0);
        } else if (e.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(path));
            own(QDir::cleanPath(path), s, base);
        } else if (e.contains(QStringLiteral("->"))) {
            QVERIFY(QFile::link(e.section(QStringLiteral("->"), 1), path));
            own(path, s);
        } else if (e.contains(QStringLiteral("=>"))) {
            QVERIFY(::link(QFile::encodeName(base + '/' + e.section(QStringLiteral("=>"), 1)).constData(),
                           QFile::encodeName(path).constData()) == 0);
        } else if (e.contains(QLatin1Char('%'))) {
            QVERIFY(chmod(path.toUtf8().constData(), mode_t(e.section(QLatin1Char('%'), 1).toInt(nullptr, 8))) == 0);
        } else {
            QVERIFY(writeFile(path, e.section(QLatin1Char('='), 1).toUtf8()));
            own(path, s, base);
        }
    }
}

// The first entry that does not hold, or nothing.
inline QString unmet(const QString &base, const QStringList &expect)
{
    for (const QString &e : expect) {
        const QFileInfo info(base + '/' + e.section(QRegularExpression(QStringLiteral("->|[=%#^]")), 0, 0));
        bool ok;
        if (e.startsWith(QLatin1Char('!'))) {
            const QFileInfo gone(base + '/' + e.mid(1));
            ok = QDir(gone.path()).entryList({gone.fileName()}, QDir::AllEntries | QDir::Hidden | QDir::System).isEmpty();
        } else if (e.endsWith(QLatin1Char('/'))) {
            ok = QFileInfo(base + '/' + e).isDir();
        } else if (e.contains(QStringLiteral("->"))) {
            ok = info.isSymLink() && info.symLinkTarget().endsWith(e.section(QStringLiteral("->"), 1));
        } else if (e.contains(QLatin1Char('^'))) {
            struct stat st {};
            ok = ::stat(QFile::encodeName(info.filePath()).constData(), &st) == 0 && st.st_gid == gid_t(e.section(QLatin1Char('^'), 1).toUInt());
        } else if (e.contains(QLatin1Char('%'))) {
            struct stat st {};
            ok = ::stat(info.filePath().toUtf8().constData(), &st) == 0
                 && (st.st_mode & 07777) == mode_t(e.section(QLatin1Char('%'), 1).toInt(nullptr, 8));
        } else if (e.contains(QLatin1Char('#'))) {
            QProcess tar;
            tar.start(QStringLiteral("tar"), {QStringLiteral("tzf"), info.filePath()});
            // tar lists a line break in a name as "\n"
            ok = tar.waitForFinished(30000) && tar.exitCode() == 0
                 && tar.readAllStandardOutput().split('\n').contains(e.section(QLatin1Char('#'), 1).toUtf8().replace('\n', "\\n"));
        } else {
            ok = info.isFile() && !info.isSymLink() && readFile(info.filePath()) == e.section(QLatin1Char('='), 1).toUtf8();
        }
        if (!ok)
            return e;
    }
    return QString();
}

#ifdef QT_WIDGETS_LIB
inline QTreeWidgetItem *childNamed(QTreeWidgetItem *parent, const QString &name)
{
    for (int i = 0; parent && i < parent->childCount(); ++i)
        if (parent->child(i)->text(0) == name)
            return parent->child(i);
    return nullptr;
}

inline bool listed(QTreeWidgetItem *item)
{
    return item->childCount() == 0 || !item->child(0)->data(0, RemoteDirTree::PlaceholderRole).toBool();
}

// Opens the tree down to path, waiting for each listing; expand opens one
// folder (by default as the program does, or as a user's click does).
inline QTreeWidgetItem *reveal(RemoteDirTree &tree, const QString &path,
                               const std::function<void(QTreeWidgetItem *)> &expand = {})
{
    QTreeWidgetItem *item = nullptr;
    if (!QTest::qWaitFor([&] { return (item = tree.treeWidget()->topLevelItem(0)) && listed(item); }, 30000))
        return nullptr;
    for (const QString &part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        QTreeWidgetItem *next = nullptr;
        if (!QTest::qWaitFor([&] { return (next = childNamed(item, part)); }, 30000))
            return nullptr;
        item = next;
        if (item->data(0, RemoteDirTree::IsDirRole).toBool()) {
            expand ? expand(item) : item->setExpanded(true);
            if (!QTest::qWaitFor([&] { return item->isExpanded() && listed(item); }, 30000))
                return nullptr;
        }
    }
    return item;
}
#endif

// What a directory-tree worker said, job by job.
// A session's readiness is waited for this long at most.
inline constexpr int kReadyMs = 120000;
inline bool readyOrSay(bool ready, const QStringList &errors)
{
    if (!ready)
        qWarning().noquote() << "not ready:" << (errors.isEmpty() ? QStringLiteral("nothing said") : errors.join(QLatin1Char('|')));
    return ready;
}

struct Tree {
    DirTreeWorker *worker;
    QObject context;
    bool ready = false;
    QStringList errors;
    QHash<int, QString> ended;  // id -> "完成" or the failure
    QSet<int> failedJobs;
    QList<qlonglong> progress;
    int lists = 0; // listings answered
    int nextId = 1;

    explicit Tree(const SshConnectParams &p, DirTreeWorker::ExistingFolderQuestion ask = {})
        : worker(new DirTreeWorker(p))
    {
        using W = DirTreeWorker;
        worker->setExistingFolderQuestion(std::move(ask));
        QObject::connect(worker, &W::sigReady, &context, [this] { ready = true; });
        QObject::connect(worker, &W::sigError, &context, [this](const QString &m) { errors << m; });
        QObject::connect(worker, &W::sigJobProgress, &context, [this](int, qlonglong done) { progress << done; });
        QObject::connect(worker, &W::sigListed, &context, [this] { ++lists; });
        QObject::connect(worker, &W::sigJobDone, &context, [this](int id, const QString &m) { ended[id] = m; });
        QObject::connect(worker, &W::sigJobFailed, &context, [this](int id, const QString &m) {
            ended[id] = m;
            failedJobs << id;
        });
        worker->start();
    }
    ~Tree() { SftpSession::release(worker); }

    // Until the session is ready or says why it is not: on a loaded machine
    // a handshake over a slow line takes long. What it saw is printed.
    bool waitReady() { return readyOrSay(QTest::qWaitFor([this] { return ready || !errors.isEmpty(); }, kReadyMs) && ready, errors); }
    // Posts a job; its id.
    int post(DirTreeJobKind kind, const QString &remote, const QString &second = QString())
    {
        const int id = nextId++;
        progress.clear();
        worker->post({qint32(kind), id, false, remote, second, QString()});
        return id;
    }
    // Waits for a job's end: true when it succeeded; *text gets what the
    // worker said.
    bool finish(int id, QString *text = nullptr)
    {
        (void)QTest::qWaitFor([&] { return ended.contains(id) || !errors.isEmpty(); }, 120000);
        if (text)
            *text = ended.value(id);
        return ended.contains(id) && !failedJobs.contains(id);
    }
    bool run(DirTreeJobKind kind, const QString &remote, const QString &second = QString(), QString *text = nullptr)
    {
        return finish(post(kind, remote, second), text);
    }
};

// What a dialog worker said.
struct Dialog {
    SftpDialogWorker *worker;
    QObject context;
    QStringList errors, done, failed;
    QString listedPath;
    int lists = 0;
    int progress = 0;

    explicit Dialog(const SshConnectParams &p)
        : worker(new SftpDialogWorker(p))
    {
        using W = SftpDialogWorker;
        QObject::connect(worker, &W::sigError, &context, [this](const QString &m) { errors << m; });
        QObject::connect(worker, &W::sigListed, &context, [this](const QString &abs) {
            listedPath = abs;
            ++lists;
        });
        QObject::connect(worker, &W::sigProgress, &context, [this] { ++progress; });
        QObject::connect(worker, &W::sigDone, &context, [this](const QString &m) { done << m; });
        QObject::connect(worker, &W::sigFailed, &context, [this](const QString &what, const QString &err) {
            failed << what + QLatin1Char('|') + err;
        });
        worker->start();
    }
    ~Dialog() { SftpSession::release(worker); }

    bool waitReady() { return readyOrSay(QTest::qWaitFor([this] { return lists > 0 || !errors.isEmpty(); }, kReadyMs) && lists > 0, errors); }
    // What had been answered before a job was posted.
    struct Posted {
        qsizetype answered, refused;
    };
    Posted post(int kind, const QString &a, const QString &b = QString())
    {
        const Posted before{done.size() + lists, failed.size()};
        worker->post({kind, a, b});
        return before;
    }
    // Waits for the job's answer: true when it was no failure.
    bool finish(Posted before)
    {
        const auto answered = [&] { return done.size() + lists > before.answered; };
        (void)QTest::qWaitFor([&] { return answered() || failed.size() > before.refused || !errors.isEmpty(); }, 120000);
        return failed.size() == before.refused && errors.isEmpty() && answered();
    }
    bool run(int kind, const QString &a, const QString &b = QString()) { return finish(post(kind, a, b)); }
};

} // namespace sftprig
