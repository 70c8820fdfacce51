#include "sftp/sftpsession.h"
#include "sftp/sftpuploadtarget.h"

#include <cstring>

using namespace sftpupload;

// Every look below may be cut short by a stop, and then tells nothing: a
// stopped upload makes nothing more and opens nothing it could truncate, so
// each is followed by a look at the stop before anything is opened.
LIBSSH2_SFTP_HANDLE *SftpSession::openUploadTarget(const QString &remotePath, UploadTarget *target)
{
    target->finalPath = target->writePath = remotePath;
    LIBSSH2_SFTP_ATTRIBUTES attrs;
    // A new file is written under a temporary name beside it: whatever ends
    // the upload early, no file stands cut short under its name. Where no
    // name may be made, the open says why.
    const auto openNew = [&] {
        LIBSSH2_SFTP_HANDLE *h = openTemporary(target, target->createMode);
        if (!h)
            target->openError = lastErrorText();
        target->fresh = h != nullptr;
        return h;
    };
    const bool there = statRemote(remotePath, &attrs, false);
    if (!keepRunning())
        return nullptr;
    if (!there)
        return openNew();
    if ((attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) && LIBSSH2_SFTP_S_ISLNK(attrs.permissions)) {
        // A link is written through: the file it leads to gets the bytes,
        // and the link stays as it is.
        QString real;
        const bool resolved = realPath(remotePath, &real);
        if (!keepRunning())
            return nullptr;
        if (!resolved) {
            target->openError = lastErrorText();
            return nullptr;
        }
        target->finalPath = real;
        const bool leads = statRemote(real, &attrs, false);
        if (!keepRunning())
            return nullptr;
        if (!leads && sftpStatus() == LIBSSH2_FX_NO_SUCH_FILE)
            return openNew(); // dangling: what it leads to is made as any new file
        if (!leads) {
            target->openError = lastErrorText();
            return nullptr;
        }
    }
    if (!isRegular(attrs)) {
        target->openError = notRegular(sftpnames::remoteName(remotePath), typeOf(attrs));
        return nullptr;
    }
    LIBSSH2_SFTP_HANDLE *h = openReplacement(attrs, target);
    if (h || !keepRunning())
        return h;
    // Written in place: the file keeps its owner, group, links, ACLs and
    // extended attributes, and nothing more than the file itself needs to be
    // writable. A file its owner may not write is refused here, with the
    // server's reason, as other clients' uploads are.
    h = openRemote(target->finalPath, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_TRUNC, 0, LIBSSH2_SFTP_OPENFILE);
    target->writePath = target->finalPath;
    if (!h)
        target->openError = lastErrorText();
    return h;
}

LIBSSH2_SFTP_HANDLE *SftpSession::openTemporary(UploadTarget *target, unsigned long mode)
{
    target->writePath = temporaryName(target->finalPath);
    // Ours from the moment it is asked for: a stop may end the wait for the
    // answer, and the server may have made it all the same. Only a refusal
    // says nothing was made.
    target->created = true;
    LIBSSH2_SFTP_HANDLE *h = openRemote(target->writePath, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_EXCL,
                                        long(mode), LIBSSH2_SFTP_OPENFILE);
    if (!h && keepRunning())
        target->created = false;
    return h;
}

LIBSSH2_SFTP_HANDLE *SftpSession::openReplacement(const LIBSSH2_SFTP_ATTRIBUTES &old, UploadTarget *target)
{
    // A new file takes the old one's name in one atomic rename only where
    // nothing SFTP shows can tell the difference but the bytes: the user's
    // own file, one they may write, with one name, its group given back, on
    // a server that renames over an existing name. Else a lost link between
    // two renames could leave no file at all, a new inode would lose links,
    // owner or group, and a rename would replace a file its owner keeps from
    // writes (the folder allows it, the file would not).
    const unsigned long needed = LIBSSH2_SFTP_ATTR_UIDGID | LIBSSH2_SFTP_ATTR_PERMISSIONS;
    if ((old.flags & needed) != needed || !(old.permissions & LIBSSH2_SFTP_S_IWUSR)
        || !renamesOver(sftpnames::remoteParent(target->finalPath)) || !keepRunning())
        return nullptr;
    LIBSSH2_SFTP_HANDLE *h = openTemporary(target, 0600);
    if (!h)
        return nullptr;
    LIBSSH2_SFTP_ATTRIBUTES mine{};
    bool same = keepRunning() && retry("sftp-fstat", [&] { return libssh2_sftp_fstat_ex(h, &mine, 0); }) == 0
                && (mine.flags & LIBSSH2_SFTP_ATTR_UIDGID) && mine.uid == old.uid;
    if (same && mine.gid != old.gid && keepRunning()) {
        // Made with the folder's group or the user's own: the old one goes
        // back where the user may give it (a group they belong to).
        LIBSSH2_SFTP_ATTRIBUTES group{};
        group.flags = LIBSSH2_SFTP_ATTR_UIDGID;
        group.uid = old.uid;
        group.gid = old.gid;
        same = retry("sftp-fsetstat", [&] { return libssh2_sftp_fstat_ex(h, &group, 1); }) == 0;
    }
    if (same && keepRunning() && linkCount(target->finalPath) == 1 && keepRunning()) {
        target->replace = true;
        target->permissions = old.permissions & 07777;
        return h;
    }
    closeRemote(h);
    if (!(mayGoOn() && removeFile(target->writePath)))
        leftBehind(target->writePath);
    target->created = false;
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

bool SftpSession::putInPlace(const UploadTarget &target, QString *why)
{
    const QByteArray from = target.writePath.toUtf8();
    const QByteArray to = target.finalPath.toUtf8();
    if (target.fresh) {
        // Without the overwrite flag: a file made meanwhile under that name
        // is not written over (an OpenSSH server links, which refuses it).
        if (retry("sftp-rename", [&] {
                return libssh2_sftp_rename_ex(m_sftp, from.constData(), unsigned(from.size()), to.constData(),
                                              unsigned(to.size()), 0);
            }) == 0)
            return true;
        // The refusal is a plain failure: a look tells whether the name
        // was taken meanwhile, which the user can do something about.
        *why = lastErrorText();
        LIBSSH2_SFTP_ATTRIBUTES attrs;
        if (keepRunning() && statRemote(target.finalPath, &attrs, false))
            *why = nameTaken(target.finalPath);
        return false;
    }
#if HV_SFTP_POSIX_RENAME
    if (retry("sftp-posix-rename", [&] {
            return libssh2_sftp_posix_rename_ex(m_sftp, from.constData(), size_t(from.size()), to.constData(),
                                                size_t(to.size()));
        }) == 0)
        return true;
#endif
    *why = lastErrorText(); // never asked without posix-rename: renamesOver() said no
    return false;
}

QString SftpSession::nameTaken(const QString &path) const
{
    return say("%1 在上传期间被占用，未覆盖").arg(path);
}
