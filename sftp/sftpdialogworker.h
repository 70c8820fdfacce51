#pragma once

#include "sftp/sftpsession.h"

#include <QVariantList>

// Jobs of the SFTP dialog: 0 list a, 1 upload local a to remote b,
// 2 download remote a to local b, 3 delete a, 4 make folder a.
struct SftpDialogJob {
    qint32 kind = 0;
    QString a;
    QString b;
};

// The worker behind the SFTP dialog: lists the login folder once connected,
// then runs one job at a time. Every text it emits is already translated.
class SftpDialogWorker : public SftpSession
{
    Q_OBJECT
public:
    explicit SftpDialogWorker(const SshConnectParams &params);

    void post(const SftpDialogJob &job) { m_queue.post(job, m_link->waker); }

signals:
    // sigConnected() and sigError(QString) come from the base.
    void sigListed(const QString &absPath, const QVariantList &entries);
    void sigProgress(qlonglong done, qlonglong total);
    void sigDone(const QString &summary);
    void sigFailed(const QString &what, const QString &err);

protected:
    void ready() override { emit sigConnected(); }
    void runJobs() override;
    QString say(const char *source) const override;

private:
    void listDir(const QString &path);
    void uploadFile(const QString &local, const QString &remote);
    void downloadFile(const QString &remote, const QString &local);
    void removePath(const QString &path);
    void makeDir(const QString &path);

    SftpJobQueue<SftpDialogJob> m_queue;
};
