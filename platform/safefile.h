#pragma once

#include <QString>

namespace platform {

// Opening files whose names come from the network. Every function refuses to
// follow a symbolic link in the last path component and never blocks on a
// FIFO or a device. Results are plain descriptors (hand them to
// QFile::open(int, ..., QFileDevice::AutoCloseHandle)); -1 means failure, with
// errno set (ELOOP for a link, EINVAL for something that is not a regular file).

// Opens an existing regular file for reading.
int openRegularForReading(const QString &path);

// Opens a file a user chose for reading, following links. What is not a
// regular file is looked at, never opened: opening a pipe waits for a writer,
// and opening a device may already act on it. *type gets the file's type as
// the S_IFMT bits of its mode, in the values SFTP and tar carry (0100000 a
// regular file, 010000 a pipe, ...), 0 when it cannot be looked at. -1 when
// it cannot be opened or is no regular file (errno EINVAL), errno set.
// The descriptor stays non-blocking: the few files that make a read wait (a
// kernel log behind a /proc name) answer EAGAIN instead; a file on a disk
// reads as ever.
int openChosenForReading(const QString &path, unsigned long *type);

// Creates a new regular file for writing; fails with EEXIST when the name is
// taken by anything, a dangling link included.
int createExclusive(const QString &path);

// Whether a finished file may be renamed onto path: nothing of that name
// exists, or a regular file (not a link) that its owner has not marked
// read-only and that this process may write. Root passes write checks, so the
// owner's write bit stands for the read-only attribute users set on purpose.
bool isReplaceableTarget(const QString &path);

} // namespace platform
