#include "sftp/dirtreeworker.h"

#include "core/debuglog.h"
#include "core/languagemanager.h"
#include "sftp/sftplanes.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryFile>

#include <cstdio>

namespace {
// Files up to this size go over the lanes, whole in memory.
constexpr qint64 kLaneFileLimit = 256 * 1024;
} // namespace

#include <algorithm>

using namespace sftpnames;

namespace {

void treeLog(const QString &text)
{
    if (debugLogEnabled())
        debugLog(QStringLiteral("[dirtree] ") + text);
}

// A server's name for a log line: control characters (a line break that
// would start a made-up line) written as \xNN.
QString printable(const QString &name)
{
    QString out;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

// A file a folder job leaves out, named in the program's log, so that a file
// missing from the copy has its reason.
void logSkipped(const char *direction, const QString &path, const char *why = "not a regular file")
{
    const QString shown = printable(path);
    qInfo().noquote() << QStringLiteral("Folder %1: skipped %2: %3").arg(QLatin1String(direction), shown, QLatin1String(why));
    treeLog(QStringLiteral("%1 skips \"%2\": %3").arg(QLatin1String(direction), shown, QLatin1String(why)));
}

// The files a failed folder upload did not bring, after the reason: the
// first few by name, every one in the program's log.
QString notArrived(const QStringList &relative)
{
    if (relative.isEmpty())
        return QString();
    for (const QString &r : relative)
        qInfo().noquote() << QStringLiteral("Folder upload: %1 did not arrive").arg(printable(r));
    constexpr qsizetype kNamed = 3;
    QStringList named;
    for (const QString &r : relative.mid(0, kNamed))
        named.append(printable(r));
    return QStringLiteral("（%1 个文件未上传：%2%3）")
        .arg(QString::number(relative.size()), named.join(QStringLiteral("、")),
             relative.size() > kNamed ? QStringLiteral("…") : QString());
}

// "上传失败" and the like, with the reason after it when there is one.
QString withReason(const char *source, const QString &reason)
{
    const QString text = QString::fromUtf8(source);
    return reason.isEmpty() ? text : text + QStringLiteral("：") + reason;
}

QString transferFailure(const char *source, const SftpSession::Failure &why)
{
    if (why.step == SftpSession::Failure::NotRegular)
        return why.detail; // says it all, in the user's language
    return why.step == SftpSession::Failure::Cancelled ? QStringLiteral("已取消") : withReason(source, why.detail);
}

// Whether path lies inside root (both canonical).
bool isInside(const QString &path, const QString &root)
{
    return path == root || path.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/'));
}

} // namespace

DirTreeWorker::DirTreeWorker(const SshConnectParams &params)
    : SftpSession(params, "Halvorstead dir tree closed")
{
}

bool DirTreeWorker::fail(const QString &why)
{
    m_why = why;
    return false;
}

QString DirTreeWorker::say(const char *source) const
{
    return LanguageManager::tr(source);
}

void DirTreeWorker::runJobs()
{
    while (std::optional<DirTreeJob> job = nextJob(m_queue)) {
        m_why.clear();
        bool ok = true;
        switch (DirTreeJobKind(job->kind)) {
        case DirTreeJobKind::List: doList(job->remote, job->isRoot); break;
        case DirTreeJobKind::NewFolder: ok = makeFolder(job->remote, false) || fail(lastErrorText()); break;
        case DirTreeJobKind::NewFile: ok = newFile(job->remote); break;
        case DirTreeJobKind::Rename: ok = rename(job->remote, job->second); break;
        case DirTreeJobKind::Delete: ok = removeAny(job->remote); break;
        case DirTreeJobKind::UploadFile: ok = uploadFile(*job); break;
        case DirTreeJobKind::UploadFolder: ok = uploadFolder(*job); break;
        case DirTreeJobKind::DownloadFile: ok = downloadFile(*job); break;
        case DirTreeJobKind::DownloadFolder: ok = downloadFolder(*job); break;
        case DirTreeJobKind::Compress: ok = compressRemote(*job); break;
        }
        if (ok)
            emit sigJobDone(job->id, QStringLiteral("完成"));
        else
            emit sigJobFailed(job->id, keepRunning() ? m_why : QStringLiteral("已取消"));
    }
}

void DirTreeWorker::doList(const QString &remote, bool isRoot)
{
    treeLog(QStringLiteral("doList begin req=\"%1\" isRoot=%2").arg(remote).arg(isRoot ? 1 : 0));
    const auto failed = [&](const QString &err, unsigned long status) {
        emit sigFailed(remote, err, status == LIBSSH2_FX_PERMISSION_DENIED, isRoot);
    };
    QString absolute;
    if (!realPath(remote, &absolute)) {
        treeLog(QStringLiteral("realpath \"%1\" FAIL err=%2").arg(remote, lastErrorText()));
        return failed(lastErrorText(), sftpStatus());
    }
    QList<DirEntry> raw;
    FolderFailure why;
    if (!readFolder(absolute, &raw, &why)) {
        treeLog(QStringLiteral("readdir \"%1\" FAIL err=%2").arg(absolute, why.text));
        return failed(why.text, why.status);
    }
    QVariantList entries;
    for (const DirEntry &e : std::as_const(raw)) {
        if (e.kind == NameKind::Plain)
            entries.append(treeEntry(e));
        else if (e.kind == NameKind::Unsafe)
            treeLog(QStringLiteral("readdir \"%1\" skips the name %2").arg(absolute, QString::fromLatin1(e.raw.toHex())));
    }
    treeLog(QStringLiteral("readdir \"%1\" entries=%2").arg(absolute).arg(entries.size()));
    std::stable_sort(entries.begin(), entries.end(), entryLessThan);
    emit sigListed(remote, absolute, entries, isRoot);
}

bool DirTreeWorker::newFile(const QString &remote)
{
    // Exclusive: an existing file of that name keeps its content.
    LIBSSH2_SFTP_HANDLE *h = openRemote(remote, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_EXCL, 0644,
                                        LIBSSH2_SFTP_OPENFILE);
    if (!h) {
        LIBSSH2_SFTP_ATTRIBUTES attrs;
        const QString error = lastErrorText();
        return fail(statRemote(remote, &attrs, false) ? QStringLiteral("文件已存在") : error);
    }
    closeRemote(h);
    return true;
}

bool DirTreeWorker::rename(const QString &from, const QString &to)
{
    const QByteArray a = from.toUtf8();
    const QByteArray b = to.toUtf8();
    const int rc = retry("sftp-rename", [&] {
        return libssh2_sftp_rename_ex(sftpHandle(), a.constData(), unsigned(a.size()),
                                      b.constData(), unsigned(b.size()),
                                      LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC
                                          | LIBSSH2_SFTP_RENAME_NATIVE);
    });
    return rc == 0 || fail(lastErrorText());
}

bool DirTreeWorker::removeAny(const QString &remote)
{
    LIBSSH2_SFTP_ATTRIBUTES attrs;
    if (statRemote(remote, &attrs, false) && (attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS)
        && LIBSSH2_SFTP_S_ISDIR(attrs.permissions))
        return removeRecursive(remote);
    return removeFile(remote) || fail(lastErrorText());
}

bool DirTreeWorker::removeRecursive(const QString &dir)
{
    QList<DirEntry> entries;
    FolderFailure why;
    if (!readFolder(dir, &entries, &why))
        return fail(why.text);
    for (const DirEntry &e : std::as_const(entries)) {
        if (!keepRunning())
            return false;
        if (e.kind == NameKind::Dot || e.kind == NameKind::DotDot)
            continue;
        if (e.kind == NameKind::Unsafe)
            return fail(QStringLiteral("远端名称不安全：%1").arg(e.name));
        const QString path = joinRemotePath(dir, e.name);
        if (e.isDir() ? !removeRecursive(path) : !removeFile(path))
            return m_why.isEmpty() ? fail(lastErrorText()) : false;
    }
    const QByteArray p = dir.toUtf8();
    return retry("sftp-rmdir", [&] { return libssh2_sftp_rmdir_ex(sftpHandle(), p.constData(), unsigned(p.size())); })
               == 0
           || fail(lastErrorText());
}

SftpSession::Progress DirTreeWorker::progressOf(int id, qint64 base, qint64 total,
                                                const std::shared_ptr<Percent> &percent)
{
    return [this, id, base, total, percent](qint64 done) {
        if (total > 0 && percent->advance(base + done))
            emit sigJobProgress(id, base + done, total);
    };
}

bool DirTreeWorker::uploadFile(const DirTreeJob &job)
{
    const qint64 size = QFileInfo(job.remote).size();
    emit sigJobStart(job.id, QFileInfo(job.remote).fileName(), true, size);
    Failure why;
    if (upload(job.remote, job.second, progressOf(job.id, 0, size, std::make_shared<Percent>(size)), &why) < 0)
        return fail(transferFailure("上传失败", why));
    emit sigJobProgress(job.id, size, size);
    return true;
}

bool DirTreeWorker::uploadFolder(const DirTreeJob &job)
{
    struct Source {
        QString path, relative;
        qint64 size;
    };
    QList<Source> files;
    qint64 total = 0;
    const QDir root(job.remote);
    QStringList skipped;
    // Hidden files belong to the folder as much as any other. Pipes, devices,
    // sockets and dangling links are walked too, to be named as left out.
    for (QDirIterator it(job.remote, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        if (!keepRunning())
            return false;
        const QFileInfo info(it.next());
        if (!info.isFile()) {
            logSkipped("upload", info.filePath());
            skipped.append(info.filePath());
            continue;
        }
        files.append({info.filePath(), root.relativeFilePath(info.filePath()), info.size()});
        total += info.size();
    }
    std::sort(files.begin(), files.end(), [](const Source &a, const Source &b) { return a.relative < b.relative; });
    if (!skipped.isEmpty())
        emit sigSkipped(job.id, skipped);
    emit sigJobStart(job.id, QFileInfo(job.remote).fileName(), true, total);
    // A file found only when read to be no file of the size it said (a
    // /proc file, one that changed meanwhile) is left out like a pipe; the
    // list goes again, whole, with it.
    const auto leaveOut = [&](const Source &file, const Failure &why) {
        if (why.step != Failure::NotRegular && why.step != Failure::Size)
            return false;
        logSkipped("upload", file.path, why.step == Failure::Size ? "it does not read as long as its size says"
                                                                  : "not a regular file");
        skipped.append(file.path);
        emit sigSkipped(job.id, skipped);
        return true;
    };
    // A failure names the files that did not arrive.
    QSet<QString> arrived;
    const auto failed = [&](const QString &why) {
        QStringList missing;
        for (const Source &file : std::as_const(files)) {
            if (!arrived.contains(file.relative) && !skipped.contains(file.path))
                missing.append(file.relative);
        }
        return fail(why + notArrived(missing));
    };
    if (!makeFolder(job.second, true))
        return failed(lastErrorText());
    // Each folder once, before any file goes into it.
    QSet<QString> made;
    for (const Source &file : std::as_const(files)) {
        const QStringList parts = file.relative.split(QLatin1Char('/'));
        QString folder = job.second;
        for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
            folder = joinRemotePath(folder, parts[i]);
            if (made.contains(folder))
                continue;
            if (!makeFolder(folder, true))
                return failed(lastErrorText());
            made.insert(folder);
        }
    }
    auto percent = std::make_shared<Percent>(total);
    qint64 base = 0;
    // Small new files go several at a time; the rest, and names already
    // taken, one at a time below.
    QList<Source> later;
    qsizetype next = 0;
    QString readError;
    QHash<QString, qsizetype> indexOf;
    if (SftpLanes *lanes = this->lanes()) {
        // A stop takes no more files, and takes back those under way.
        const Tidying tidying(this);
        const auto take = [&](SftpLanes::File *f) {
            while (keepRunning() && next < files.size()) {
                const Source &file = files[next++];
                LocalFile local;
                Failure why;
                if (file.size > kLaneFileLimit || (openLocal(file.path, &local, &why) && local.size > kLaneFileLimit)) {
                    later.append(file);
                    continue;
                }
                QByteArray content;
                if (local.file.isOpen() && readAll(local, &content, &why)) {
                    const QString remote = joinRemotePath(job.second, file.relative);
                    indexOf.insert(remote, next - 1);
                    *f = {remote, content.size(), content, newFileMode(modeOf(local.file.permissions())),
                          temporaryName(remote)};
                    return true;
                }
                if (!leaveOut(file, why)) {
                    readError = transferFailure("上传失败", why);
                    return false;
                }
            }
            return false;
        };
        const auto done = [&](SftpLanes::File &f, QString *) {
            base += f.size;
            arrived.insert(files[indexOf.value(f.remote)].relative);
            progressOf(job.id, base, total, percent)(0);
            return true;
        };
        // A name that is there is written over one file at a time below.
        const auto taken = [&](SftpLanes::File &f, QString *) {
            later.append(files[indexOf.value(f.remote)]);
            return true;
        };
        QString error;
        const bool ok = lanes->upload(take, done, taken, &error);
        if (lanes->stalled()) {
            // A failure that came first says more than the wait after it.
            const QString why = error.isEmpty() ? stalled(lanes->acked(), total) : error;
            dropStalledLanes();
            return failed(withReason("上传失败", why));
        }
        for (const QString &path : lanes->takeLeftBehind())
            leftBehind(path);
        if (!ok && keepRunning()) {
            takeBackLeftovers();
            const QString taken = lanes->takenMeanwhile();
            return failed(withReason("上传失败", taken.isEmpty() ? error : nameTaken(taken)));
        }
        if (!keepRunning())
            return fail(QStringLiteral("已取消"));
        if (!readError.isEmpty())
            return failed(readError);
    }
    later.append(files.mid(next));
    for (const Source &file : std::as_const(later)) {
        if (!keepRunning())
            return fail(QStringLiteral("已取消"));
        Failure why;
        if (upload(file.path, joinRemotePath(job.second, file.relative), progressOf(job.id, base, total, percent), &why)
            < 0) {
            if (leaveOut(file, why))
                continue;
            return why.step == Failure::Cancelled ? fail(QStringLiteral("已取消")) : failed(transferFailure("上传失败", why));
        }
        arrived.insert(file.relative);
        base += file.size;
    }
    emit sigJobProgress(job.id, total, total);
    return true;
}

qint64 DirTreeWorker::receive(const QString &remote, const QString &local, const Progress &progress, bool durable)
{
    QDir().mkpath(QFileInfo(local).absolutePath());
    Failure why;
    qint64 stated = -1;
    qint64 n = -1;
    // A file of its own is flushed to disk before it takes its name; the
    // files of a folder are only renamed into place, as a file system's
    // own copy does, which spares a disk flush per file.
    QSaveFile saved(local);
    QTemporaryFile unsynced(QFileInfo(local).absolutePath() + QStringLiteral("/.hv-download-XXXXXX"));
    QFileDevice &out = durable ? static_cast<QFileDevice &>(saved) : unsynced;
    const bool isNew = !QFileInfo::exists(local);
    unsigned long mode = 0644;
    const auto opened = [&](unsigned long permissions) {
        mode = permissions;
        if (durable && isNew)
            narrowNewFile(saved, permissions);
    };
    if (!(durable ? saved.open(QIODevice::WriteOnly | QIODevice::Truncate) : unsynced.open()))
        fail(withReason("下载失败", out.errorString()));
    else if ((n = download(remote, &out, &stated, progress, &why, opened)) < 0)
        fail(transferFailure("下载失败", why));
    else if (durable && !saved.commit())
        fail(withReason("下载失败", out.errorString()));
    else if (!durable && !putInPlace(unsynced, local, mode))
        fail(withReason("下载失败", unsynced.errorString()));
    else
        return n;
    return -1;
}

bool DirTreeWorker::putInPlace(QTemporaryFile &file, const QString &local, unsigned long remoteMode)
{
    const QFileInfo old(local);
    const QFileDevice::Permissions permissions = old.isFile() ? old.permissions()
                                                              : localPermissions(newFileMode(remoteMode));
    if (!file.flush() || !file.setPermissions(permissions))
        return false;
    file.close();
    if (std::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(local).constData()) != 0)
        return false;
    file.setAutoRemove(false);
    return true;
}

bool DirTreeWorker::downloadFile(const DirTreeJob &job)
{
    emit sigJobStart(job.id, remoteName(job.remote), false, 0);
    Failure why;
    if (!downloadable(job.remote, &why))
        return fail(transferFailure("下载失败", why));
    const qint64 n = receive(job.remote, job.second, [](qint64) {}, true);
    if (n < 0)
        return false;
    emit sigJobProgress(job.id, n, n);
    return true;
}

bool DirTreeWorker::collectRemoteFiles(const QString &dir, const QString &relative, QList<RemoteFile> *files)
{
    QList<DirEntry> entries;
    FolderFailure why;
    if (!readFolder(dir, &entries, &why))
        return fail(withReason("无法读取远端目录", why.text));
    for (const DirEntry &e : std::as_const(entries)) {
        if (e.kind == NameKind::Dot || e.kind == NameKind::DotDot)
            continue;
        if (e.kind == NameKind::Unsafe)
            return fail(QStringLiteral("远端名称不安全：%1").arg(e.name));
        const QString path = joinRemotePath(dir, e.name);
        const QString rel = relative.isEmpty() ? e.name : relative + QLatin1Char('/') + e.name;
        if (e.isDir()) {
            // Listed before what it holds, so an empty one is made too.
            files->append({path, rel, 0, true});
            if (!collectRemoteFiles(path, rel, files))
                return false;
            continue;
        }
        if (e.hasPermissions() && e.type() != LIBSSH2_SFTP_S_IFREG) {
            // A link may lead anywhere on the server (its /etc/passwd, a
            // folder above, round in circles): whatever it leads to is not
            // in this folder, so it is left out, to a file as to a folder.
            // A pipe or a device would never end.
            logSkipped("download", path);
            m_skipped.append(path);
            continue;
        }
        files->append({path, rel, e.size(), false, e.hasPermissions() ? e.attrs.permissions : 0644});
    }
    return true;
}

bool DirTreeWorker::downloadFolder(const DirTreeJob &job)
{
    // The tree names the local folder after the remote one: a name from the
    // server that is no plain name would put it somewhere else.
    const QString localRoot = QDir::cleanPath(job.second);
    if (classify(QFileInfo(job.second).fileName().toUtf8()) != NameKind::Plain)
        return fail(QStringLiteral("远端名称不安全：%1").arg(QFileInfo(job.second).fileName()));
    QList<RemoteFile> files;
    m_skipped.clear();
    if (!collectRemoteFiles(job.remote, QString(), &files))
        return false;
    if (!m_skipped.isEmpty())
        emit sigSkipped(job.id, m_skipped);
    QStringList folderList;
    qint64 total = 0;
    for (const RemoteFile &f : std::as_const(files))
        total += f.size;
    files.removeIf([&](const RemoteFile &f) {
        if (f.folder)
            folderList.append(f.relative);
        return f.folder;
    });
    emit sigJobStart(job.id, remoteName(job.remote), false, total);

    const QFileInfo rootInfo(localRoot);
    if (rootInfo.exists() || rootInfo.isSymLink()) {
        if (!rootInfo.isDir() || rootInfo.isSymLink())
            return fail(withReason("下载失败", QStringLiteral("本地文件夹已存在：%1").arg(localRoot)));
        if (!m_askExisting || !m_askExisting(localRoot))
            return fail(QStringLiteral("已取消"));
    }
    if (!QDir().mkpath(localRoot))
        return fail(withReason("下载失败", localRoot));
    const QString canonicalRoot = QFileInfo(localRoot).canonicalFilePath();
    // Every name is plain, but what is already on disk may not be: a local
    // link must not carry the download out of the folder. Each folder is
    // made only once its parent is known to be a real folder inside, and
    // nothing is made or written through a link.
    QSet<QString> folders{QString()};
    const std::function<bool(const QString &)> folderReady = [&](const QString &relative) {
        if (folders.contains(relative))
            return true;
        const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
        if (!folderReady(slash < 0 ? QString() : relative.left(slash)))
            return false;
        const QString local = localRoot + QLatin1Char('/') + relative;
        const QFileInfo info(local);
        if (!info.exists() && !info.isSymLink() && !QDir().mkdir(local))
            return false;
        const QFileInfo made(local);
        if (made.isSymLink() || !made.isDir() || !isInside(made.canonicalFilePath(), canonicalRoot))
            return false;
        folders.insert(relative);
        return true;
    };
    const auto target = [&](const QString &relative, QString *local) {
        *local = localRoot + QLatin1Char('/') + relative;
        const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
        return folderReady(slash < 0 ? QString() : relative.left(slash)) && !QFileInfo(*local).isSymLink();
    };
    const auto outside = [&](const QString &local) {
        return fail(withReason("下载失败", QStringLiteral("本地路径不在下载文件夹内：%1").arg(local)));
    };
    for (const QString &folder : std::as_const(folderList)) {
        if (!folderReady(folder))
            return outside(localRoot + QLatin1Char('/') + folder);
    }
    auto percent = std::make_shared<Percent>(total);
    qint64 base = 0;
    QList<RemoteFile> later;
    if (SftpLanes *lanes = this->lanes()) {
        qsizetype next = 0;
        QHash<QString, RemoteFile> fileOf;
        const auto take = [&](SftpLanes::File *f) {
            while (next < files.size() && files[next].size > kLaneFileLimit)
                later.append(files[next++]);
            if (next >= files.size())
                return false;
            const RemoteFile &file = files[next++];
            fileOf.insert(file.path, file);
            *f = {file.path, file.size, QByteArray(), 0644, QString()};
            return true;
        };
        const auto done = [&](SftpLanes::File &f, QString *error) {
            QString local;
            const RemoteFile file = fileOf.take(f.remote);
            if (!target(file.relative, &local)) {
                *error = QStringLiteral("本地路径不在下载文件夹内：%1").arg(local);
                return false;
            }
            QTemporaryFile out(QFileInfo(local).absolutePath() + QStringLiteral("/.hv-download-XXXXXX"));
            if (!out.open() || out.write(f.content) != f.content.size() || !putInPlace(out, local, file.mode)) {
                *error = out.errorString();
                return false;
            }
            base += f.size;
            progressOf(job.id, base, total, percent)(0);
            return true;
        };
        QString error;
        if (!lanes->download(take, done, &error))
            return fail(withReason("下载失败", error));
        later.append(files.mid(next));
    } else {
        later = files;
    }
    for (const RemoteFile &file : std::as_const(later)) {
        if (!keepRunning())
            return fail(QStringLiteral("已取消"));
        QString local;
        if (!target(file.relative, &local))
            return outside(local);
        const qint64 n = receive(file.path, local, progressOf(job.id, base, total, percent), false);
        if (n < 0)
            return false;
        base += n;
    }
    // The files hold what they held when read, which the listing's total
    // may not have foreseen.
    emit sigJobProgress(job.id, base, base);
    return true;
}

bool DirTreeWorker::compressRemote(const DirTreeJob &job)
{
    const QString name = remoteName(job.remote);
    const QByteArray command = packCommand(job.remote, job.second);
    emit sigJobStart(job.id, name + QStringLiteral(".tar.gz"), false, 0);
    if (command.isEmpty())
        return fail(QStringLiteral("无法打包：%1").arg(job.remote));
    // The archive is made here, exclusively, so that tar never writes over a
    // file that was there before.
    LIBSSH2_SFTP_HANDLE *archive = openRemote(job.second, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_EXCL,
                                              0644, LIBSSH2_SFTP_OPENFILE);
    if (!archive) {
        LIBSSH2_SFTP_ATTRIBUTES attrs;
        const QString error = lastErrorText();
        return fail(statRemote(job.second, &attrs, false) ? QStringLiteral("文件已存在") : error);
    }
    closeRemote(archive);
    const QString tarFailure = runRemote(command);
    if (tarFailure.isEmpty())
        return true;
    if (keepRunning())
        removeFile(job.second);
    return fail(tarFailure);
}

QString DirTreeWorker::runRemote(const QByteArray &command)
{
    LIBSSH2_CHANNEL *channel = nullptr;
    while (keepRunning()
           && !(channel = libssh2_channel_open_ex(session(), "session", 7, 2 * 1024 * 1024, 32768, nullptr, 0))) {
        if (libssh2_session_last_errno(session()) != LIBSSH2_ERROR_EAGAIN)
            break;
        waitIo();
    }
    if (!channel)
        return lastErrorText();
    QString failure;
    if (retry("tar-exec", [&] {
            return libssh2_channel_process_startup(channel, "exec", 4, command.constData(), unsigned(command.size()));
        }) != 0)
        failure = lastErrorText();
    // Both streams are read to their end: an unread error stream would fill
    // the channel window and stall tar, and it says why tar failed.
    QByteArray errors;
    char buffer[4096];
    while (failure.isEmpty() && keepRunning()) {
        const ssize_t out = libssh2_channel_read_ex(channel, 0, buffer, sizeof buffer);
        const ssize_t err = libssh2_channel_read_ex(channel, SSH_EXTENDED_DATA_STDERR, buffer, sizeof buffer);
        if (err > 0 && errors.size() < 4096)
            errors.append(buffer, qsizetype(qMin<ssize_t>(err, 4096 - errors.size())));
        if (out > 0 || err > 0)
            continue;
        if ((out < 0 && out != LIBSSH2_ERROR_EAGAIN) || (err < 0 && err != LIBSSH2_ERROR_EAGAIN))
            failure = lastErrorText();
        else if (libssh2_channel_eof(channel))
            break;
        else
            waitIo();
    }
    int closed = -1;
    if (failure.isEmpty() && retry("tar-eof", [&] { return libssh2_channel_wait_eof(channel); }) == 0)
        closed = retry("tar-closed", [&] { return libssh2_channel_wait_closed(channel); });
    // The status counts only when the channel closed in order; a signal
    // that ended tar is a failure whatever the status says.
    const int status = libssh2_channel_get_exit_status(channel);
    char *signal = nullptr;
    size_t signalLength = 0;
    libssh2_channel_get_exit_signal(channel, &signal, &signalLength, nullptr, nullptr, nullptr, nullptr);
    const QString signalName = signal ? QString::fromUtf8(signal, qsizetype(signalLength)) : QString();
    if (signal)
        libssh2_free(session(), signal);
    if (keepRunning())
        retry("tar-close", [&] { return libssh2_channel_close(channel); });
    libssh2_channel_free(channel);

    if (!failure.isEmpty() || !keepRunning())
        return keepRunning() ? failure : QStringLiteral("已取消");
    if (closed != 0)
        failure = lastErrorText();
    else if (!signalName.isEmpty())
        failure = QStringLiteral("tar 退出码=%1").arg(QStringLiteral("SIG") + signalName);
    else if (status != 0)
        failure = QStringLiteral("tar 退出码=%1").arg(status);
    else
        return QString();
    const QString stderrText = QString::fromUtf8(errors).trimmed();
    return stderrText.isEmpty() ? failure : failure + QStringLiteral("：") + stderrText;
}
