#include "sftp/sftpsession.h"
#include "sftp/sftpuploadtarget.h"

#include <cstring>

using namespace sftpupload;

LIBSSH2_SFTP_HANDLE *SftpSession::openUploadTarget(const QString &remotePath, UploadTarget *target)
{
    target->finalPath = target->writePath = remotePath;
    LIBSSH2_SFTP_ATTRIBUTES attrs;
    LIBSSH2_SFTP_HANDLE *h = nullptr;
    if (!statRemote(remotePath, &attrs, false)) {
        if (!keepRunning())
            return nullptr;
        // A new file is written under a temporary name beside it: whatever
        // ends the upload early, no file stands cut short under its name.
        // Where no name may be made, the open says why.
        target->writePath = temporaryName(remotePath);
        h = openRemote(target->writePath, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_EXCL,
                       long(target->createMode), LIBSSH2_SFTP_OPENFILE);
        if (!h)
            target->openError = lastErrorText();
        target->created = target->fresh = h != nullptr;
        return h;
    }
    if ((attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) && LIBSSH2_SFTP_S_ISLNK(attrs.permissions)) {
        // A link is written through: the file it leads to gets the bytes.
        QString real;
        if (!realPath(remotePath, &real) || !statRemote(real, &attrs, false) || !isRegular(attrs)) {
            // Dangling: opening through the link makes its target.
            h = openRemote(remotePath, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC,
                           long(target->createMode), LIBSSH2_SFTP_OPENFILE);
            if (!h)
                target->openError = lastErrorText();
            return h;
        }
        target->finalPath = real;
    } else if (!isRegular(attrs)) {
        target->openError = notRegular(sftpnames::remoteName(remotePath), typeOf(attrs));
        return nullptr;
    }
    if ((h = openReplacement(attrs, target)))
        return h;
    if (!keepRunning())
        return nullptr;
    // Written in place: the file keeps its owner, links, ACLs and extended
    // attributes, and nothing more than the file itself needs to be writable.
    h = openRemote(target->finalPath, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_TRUNC, 0, LIBSSH2_SFTP_OPENFILE);
    target->writePath = target->finalPath;
    if (!h)
        target->openError = lastErrorText();
    return h;
}

LIBSSH2_SFTP_HANDLE *SftpSession::openReplacement(const LIBSSH2_SFTP_ATTRIBUTES &old, UploadTarget *target)
{
    // A new file takes the old one's name in one atomic rename only where
    // nothing but the bytes can tell the difference: the user's own file,
    // with one name, on a server that renames over an existing name. Else
    // a lost link between two renames could leave no file at all, and a new
    // inode would lose links, owner and attributes.
    const QString folder = sftpnames::remoteParent(target->finalPath);
    if (!(old.flags & LIBSSH2_SFTP_ATTR_UIDGID) || !renamesOver(folder))
        return nullptr;
    target->writePath = sftpnames::joinRemotePath(folder, QStringLiteral(".hv-upload-") + randomTag());
    LIBSSH2_SFTP_HANDLE *h = openRemote(target->writePath, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_EXCL,
                                        0600, LIBSSH2_SFTP_OPENFILE);
    if (!h)
        return nullptr;
    LIBSSH2_SFTP_ATTRIBUTES mine;
    if (retry("sftp-fstat", [&] { return libssh2_sftp_fstat_ex(h, &mine, 0); }) == 0
        && (mine.flags & LIBSSH2_SFTP_ATTR_UIDGID) && mine.uid == old.uid && linkCount(target->finalPath) == 1) {
        target->replace = target->created = true;
        target->permissions = old.permissions & 07777;
        return h;
    }
    closeRemote(h);
    removeFile(target->writePath);
    return nullptr;
}

// posix-rename@openssh.com came with libssh2 1.11: an older library writes
// an upload into the file itself.
#if LIBSSH2_VERSION_NUM >= 0x010b00
#define HV_SFTP_POSIX_RENAME 1
#else
#define HV_SFTP_POSIX_RENAME 0
#endif

bool SftpSession::renamesOver(const QString &folder)
{
#if !HV_SFTP_POSIX_RENAME
    Q_UNUSED(folder)
    m_renamesOver = 0;
#endif
    if (m_renamesOver < 0) {
#if HV_SFTP_POSIX_RENAME
        // Asked once: renaming a name that is not there says whether the
        // server knows the request at all.
        const QByteArray probe = sftpnames::joinRemotePath(folder, QStringLiteral(".hv-probe-") + randomTag()).toUtf8();
        const int rc = retry("sftp-posix-rename", [&] {
            return libssh2_sftp_posix_rename_ex(m_sftp, probe.constData(), size_t(probe.size()), probe.constData(),
                                                size_t(probe.size()));
        });
        if (!keepRunning())
            return false;
        m_renamesOver = rc == LIBSSH2_ERROR_SFTP_PROTOCOL && sftpStatus() == LIBSSH2_FX_NO_SUCH_FILE;
#endif
    }
    return m_renamesOver == 1;
}

int SftpSession::linkCount(const QString &path)
{
    // Version 3 attributes carry no link count; the listing's long form
    // does. One listing per folder and job: a folder job asks for each of
    // its files.
    const QString folder = sftpnames::remoteParent(path);
    if (!m_linkCounts.contains(folder)) {
        QHash<QByteArray, int> &counts = m_linkCounts[folder];
        LIBSSH2_SFTP_HANDLE *dir = openRemote(folder, 0, 0, LIBSSH2_SFTP_OPENDIR);
        char name[512];
        char longEntry[1024];
        while (dir && keepRunning()) {
            LIBSSH2_SFTP_ATTRIBUTES attrs;
            longEntry[0] = '\0';
            const int n = libssh2_sftp_readdir_ex(dir, name, sizeof name, longEntry, sizeof longEntry, &attrs);
            if (n == LIBSSH2_ERROR_EAGAIN && waitSftp())
                continue;
            if (n <= 0)
                break;
            bool ok = false;
            const int count = QByteArray(longEntry, qsizetype(strnlen(longEntry, sizeof longEntry))).simplified()
                                  .split(' ').value(1).toInt(&ok);
            if (ok)
                counts.insert(QByteArray(name, n), count);
        }
        closeRemote(dir);
    }
    return m_linkCounts.value(folder).value(sftpnames::remoteName(path).toUtf8(), -1);
}

bool SftpSession::putInPlace(const UploadTarget &target)
{
    const QByteArray from = target.writePath.toUtf8();
    const QByteArray to = target.finalPath.toUtf8();
    if (target.fresh) {
        // Without the overwrite flag: a file made meanwhile under that name
        // is not written over (an OpenSSH server links, which refuses it).
        return retry("sftp-rename", [&] {
                   return libssh2_sftp_rename_ex(m_sftp, from.constData(), unsigned(from.size()), to.constData(),
                                                 unsigned(to.size()), 0);
               }) == 0;
    }
#if HV_SFTP_POSIX_RENAME
    return retry("sftp-posix-rename", [&] {
               return libssh2_sftp_posix_rename_ex(m_sftp, from.constData(), size_t(from.size()), to.constData(),
                                                   size_t(to.size()));
           }) == 0;
#else
    return false; // never asked: renamesOver() said no
#endif
}
