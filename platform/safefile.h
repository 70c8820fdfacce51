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

// Creates a new regular file for writing; fails with EEXIST when the name is
// taken by anything, a dangling link included.
int createExclusive(const QString &path);

// Whether a finished file may be renamed onto path: nothing of that name
// exists, or a regular file (not a link) that its owner has not marked
// read-only and that this process may write. Root passes write checks, so the
// owner's write bit stands for the read-only attribute users set on purpose.
bool isReplaceableTarget(const QString &path);

} // namespace platform
