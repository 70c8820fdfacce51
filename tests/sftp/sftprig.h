#pragma once

// The SFTP tests' side of the fixture servers, and recorders that keep what
// each worker reports (queued onto the test thread).

#include "sftp/dirtreeworker.h"
#include "sftp/sftpdialogworker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>

namespace sftprig {

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QByteArray sha(const QString &path)
{
    QFile f(path);
    QCryptographicHash h(QCryptographicHash::Sha256);
    return f.open(QIODevice::ReadOnly) && h.addData(&f) ? h.result().toHex() : QByteArray("unreadable");
}

// A fixture server: its state folder (account name and password) and port.
struct Server {
    QString dir;
    int port = 0;
    QString user() const { return QString::fromUtf8(readAll(dir + QStringLiteral("/user")).trimmed()); }
    // The account's home, seen from this side of the connection.
    QString home() const
    {
        const passwd *pw = getpwnam(user().toUtf8().constData());
        return pw ? QString::fromUtf8(pw->pw_dir) : QString();
    }
    SshConnectParams params(const QString &knownHosts) const
    {
        SshConnectParams p;
        p.host = QStringLiteral("127.0.0.1");
        p.port = port;
        p.user = user();
        p.password = QString::fromUtf8(readAll(dir + QStringLiteral("/password")).trimmed());
        p.knownHostsPath = knownHosts;
        return p;
    }
};

// The SSH tests' server, and the variants on the ports from HV_SFTP_PORT.
inline Server plainServer() { return {qEnvironmentVariable("HV_SSHD_DIR"), qEnvironmentVariableIntValue("HV_SSHD_PORT")}; }
inline Server variant(const char *name, int index)
{
    return {qEnvironmentVariable("HV_SFTP_FIXTURES") + QStringLiteral("/sftp_") + QLatin1String(name),
            qEnvironmentVariableIntValue("HV_SFTP_PORT") + index};
}

inline QStringList names(const QVariantList &entries)
{
    QStringList out;
    for (const QVariant &e : entries)
        out << e.toMap().value(QStringLiteral("name")).toString();
    return out;
}

// What a directory-tree worker said, job by job.
struct Tree {
    DirTreeWorker *worker;
    QObject context;
    bool ready = false;
    QStringList errors;
    QHash<int, QString> ended;  // id -> "完成" or the failure
    QSet<int> failedJobs;
    QList<qlonglong> progress;
    QVariantList listed;
    QString listFailure;
    bool permDenied = false;
    int nextId = 1;

    explicit Tree(const SshConnectParams &p, DirTreeWorker::ExistingFolderQuestion ask = {})
        : worker(new DirTreeWorker(p))
    {
        using W = DirTreeWorker;
        worker->setExistingFolderQuestion(std::move(ask));
        QObject::connect(worker, &W::sigReady, &context, [this] { ready = true; });
        QObject::connect(worker, &W::sigError, &context, [this](const QString &m) { errors << m; });
        QObject::connect(worker, &W::sigListed, &context,
                         [this](const QString &, const QString &, const QVariantList &e) { listed = e; });
        QObject::connect(worker, &W::sigFailed, &context, [this](const QString &, const QString &err, bool denied) {
            listFailure = err;
            permDenied = denied;
        });
        QObject::connect(worker, &W::sigJobProgress, &context, [this](int, qlonglong done) { progress << done; });
        QObject::connect(worker, &W::sigJobDone, &context, [this](int id, const QString &m) { ended[id] = m; });
        QObject::connect(worker, &W::sigJobFailed, &context, [this](int id, const QString &m) {
            ended[id] = m;
            failedJobs << id;
        });
        worker->start();
    }
    ~Tree() { SftpSession::release(worker); }

    bool waitReady() { return QTest::qWaitFor([this] { return ready || !errors.isEmpty(); }, 30000) && ready; }
    // Posts and waits for the job's end: true when it succeeded; *text gets
    // what the worker said.
    bool run(DirTreeJobKind kind, const QString &remote, const QString &second = QString(), QString *text = nullptr)
    {
        const int id = nextId++;
        progress.clear();
        worker->post({qint32(kind), id, false, remote, second, QString()});
        (void)QTest::qWaitFor([&] { return ended.contains(id) || !errors.isEmpty(); }, 120000);
        if (text)
            *text = ended.value(id);
        return ended.contains(id) && !failedJobs.contains(id);
    }
};

// What a dialog worker said.
struct Dialog {
    SftpDialogWorker *worker;
    QObject context;
    QStringList errors, done, failed;
    QString listedPath;
    QVariantList listed;
    int lists = 0;
    int progress = 0;

    explicit Dialog(const SshConnectParams &p)
        : worker(new SftpDialogWorker(p))
    {
        using W = SftpDialogWorker;
        QObject::connect(worker, &W::sigError, &context, [this](const QString &m) { errors << m; });
        QObject::connect(worker, &W::sigListed, &context, [this](const QString &abs, const QVariantList &e) {
            listedPath = abs;
            listed = e;
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

    bool waitReady() { return QTest::qWaitFor([this] { return lists > 0 || !errors.isEmpty(); }, 30000) && lists > 0; }
    // Posts and waits for the job's answer: true when it was no failure.
    bool run(int kind, const QString &a, const QString &b = QString())
    {
        const qsizetype answered = done.size() + lists;
        const qsizetype refused = failed.size();
        worker->post({kind, a, b});
        (void)QTest::qWaitFor([&] { return done.size() + lists > answered || failed.size() > refused || !errors.isEmpty(); },
                              120000);
        return failed.size() == refused && errors.isEmpty() && done.size() + lists > answered;
    }
};

} // namespace sftprig
