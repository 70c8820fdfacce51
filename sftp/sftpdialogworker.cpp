#include "sftp/sftpdialogworker.h"

#include "core/languagemanager.h"

#include <QFileInfo>
#include <QSaveFile>

using namespace sftpnames;

SftpDialogWorker::SftpDialogWorker(const SshConnectParams &params)
    : SftpSession(params, "Halvorstead SFTP closed")
{
}

QString SftpDialogWorker::say(const char *source) const
{
    return LanguageManager::tr(source);
}

void SftpDialogWorker::runJobs()
{
    listDir(QStringLiteral("."));
    while (std::optional<SftpDialogJob> job = nextJob(m_queue)) {
        switch (job->kind) {
        case 0: listDir(job->a); break;
        case 1: uploadFile(job->a, job->b); break;
        case 2: downloadFile(job->a, job->b); break;
        case 3: removePath(job->a); break;
        case 4: makeDir(job->a); break;
        default: break;
        }
    }
}

void SftpDialogWorker::listDir(const QString &path)
{
    QString absolute;
    if (!realPath(path, &absolute)) {
        emit sigFailed(LanguageManager::tr("打开目录 %1").arg(path), lastErrorText());
        return;
    }
    QList<DirEntry> raw;
    FolderFailure why;
    if (!readFolder(absolute, &raw, &why)) {
        emit sigFailed(LanguageManager::tr(why.opened ? "读取目录 %1" : "打开目录 %1").arg(absolute), why.text);
        return;
    }
    QVariantList entries;
    for (const DirEntry &e : std::as_const(raw)) {
        // ".." leads up a level; a name that is no name leads nowhere.
        if (e.kind == NameKind::Plain || e.kind == NameKind::DotDot)
            entries.append(dialogEntry(e));
    }
    emit sigListed(absolute, entries);
}

void SftpDialogWorker::uploadFile(const QString &local, const QString &remote)
{
    const qint64 size = QFileInfo(local).size();
    Percent percent(size);
    Failure why;
    const qint64 sent = upload(local, remote, [&](qint64 done) {
        if (percent.advance(done))
            emit sigProgress(done, size);
    }, &why);
    const QString what = LanguageManager::tr("上传 %1");
    switch (why.step) {
    case Failure::None:
        // The end, also of an empty file, whose copy reports no progress.
        emit sigProgress(sent, sent);
        emit sigDone(LanguageManager::tr("上传完成：%1（%2 字节）").arg(remote, QString::number(sent)));
        return;
    case Failure::LocalOpen:
        emit sigFailed(what.arg(local), LanguageManager::tr("无法打开本地文件"));
        return;
    case Failure::LocalRead:
        emit sigFailed(what.arg(local), LanguageManager::tr("读取本地文件失败：") + why.detail);
        return;
    case Failure::NotRegular:
        emit sigFailed(what.arg(local), why.detail);
        return;
    case Failure::RemoteOpen:
        emit sigFailed(what.arg(remote), LanguageManager::tr("远端打开失败（无权限？） ") + why.detail);
        return;
    case Failure::Cancelled:
        emit sigFailed(what.arg(remote), LanguageManager::tr("已取消"));
        return;
    case Failure::Size:
        emit sigFailed(what.arg(remote), LanguageManager::tr("上传长度校验失败"));
        return;
    default:
        emit sigFailed(what.arg(remote), LanguageManager::tr("写入失败 ") + why.detail);
        return;
    }
}

void SftpDialogWorker::downloadFile(const QString &remote, const QString &local)
{
    const QString what = LanguageManager::tr("下载 %1").arg(remote);
    Failure why;
    if (!downloadable(remote, &why)) {
        emit sigFailed(what, why.detail);
        return;
    }
    // The local folder must exist: nothing is made on the user's disk that
    // they did not choose.
    QSaveFile out(local);
    const bool isNew = !QFileInfo::exists(local);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit sigFailed(what, LanguageManager::tr("无法创建本地文件"));
        return;
    }
    qint64 stated = -1;
    std::optional<Percent> percent; // of the size the server gives once the file is open
    const qint64 received = download(remote, &out, &stated, [&](qint64 done) {
        if (!percent)
            percent.emplace(stated);
        if (percent->advance(done))
            emit sigProgress(done, stated);
    }, &why, [&](unsigned long permissions) {
        if (isNew)
            narrowNewFile(out, permissions);
    });
    if (received >= 0 && !out.flush())
        why = {Failure::Flush, out.errorString()};
    else if (received >= 0 && !out.commit())
        why = {Failure::Commit, out.errorString()};
    switch (why.step) {
    case Failure::None:
        emit sigProgress(received, received);
        emit sigDone(LanguageManager::tr("下载完成：%1（%2 字节）").arg(local, QString::number(received)));
        return;
    case Failure::RemoteOpen:
        emit sigFailed(what, LanguageManager::tr("远端打开失败（不存在？） ") + why.detail);
        return;
    case Failure::RemoteRead:
        emit sigFailed(what, LanguageManager::tr("读取失败 ") + why.detail);
        return;
    case Failure::LocalWrite:
        emit sigFailed(what, LanguageManager::tr("写入本地文件失败：") + why.detail);
        return;
    case Failure::Flush:
        emit sigFailed(what, LanguageManager::tr("刷新本地文件失败：") + why.detail);
        return;
    case Failure::Commit:
        emit sigFailed(what, LanguageManager::tr("提交本地文件失败：") + why.detail);
        return;
    case Failure::NotRegular:
        emit sigFailed(what, why.detail);
        return;
    default:
        emit sigFailed(what, LanguageManager::tr("已取消"));
        return;
    }
}

void SftpDialogWorker::removePath(const QString &path)
{
    if (removeFile(path))
        emit sigDone(LanguageManager::tr("已删除：%1").arg(path));
    else
        emit sigFailed(LanguageManager::tr("删除 %1").arg(path), lastErrorText());
}

void SftpDialogWorker::makeDir(const QString &path)
{
    if (makeFolder(path, false))
        emit sigDone(LanguageManager::tr("已创建目录：%1").arg(path));
    else
        emit sigFailed(LanguageManager::tr("创建目录 %1").arg(path), lastErrorText());
}
