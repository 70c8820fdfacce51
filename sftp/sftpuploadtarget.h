// What SftpSession's uploads share between the copy and the choice of
// where its bytes go.
#pragma once

#include <QRandomGenerator>
#include <QString>

#include <libssh2.h>
#include <libssh2_sftp.h>

// What an upload writes to and where the result goes in the end.
struct UploadTarget {
    QString finalPath;    // the file that gets the new bytes
    QString writePath;    // where they are written meanwhile
    bool replace = false; // writePath is a temporary file that takes finalPath's name at the end
    bool fresh = false;   // the same, for a name that was free and must still be
    // writePath is a name this upload asked to make exclusively: the only
    // kind of name an upload ever removes or leaves for the next session to.
    bool created = false;
    unsigned long createMode = 0644; // for a file made anew
    unsigned long permissions = 0644; // what the replacement takes at the end
    QString openError;
};

namespace sftpupload {

inline bool isRegular(const LIBSSH2_SFTP_ATTRIBUTES &a)
{
    return (a.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) && LIBSSH2_SFTP_S_ISREG(a.permissions);
}

// 0 when the server does not say.
inline unsigned long typeOf(const LIBSSH2_SFTP_ATTRIBUTES &a)
{
    return (a.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) ? a.permissions & LIBSSH2_SFTP_S_IFMT : 0;
}

inline QString randomTag()
{
    return QString::number(QRandomGenerator::global()->generate64(), 36);
}

} // namespace sftpupload
