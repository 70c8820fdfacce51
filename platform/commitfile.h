#pragma once

#include <QString>

namespace platform {

// Puts a finished temporary file in place of its final name so that a crash or
// power loss leaves either the old file or the whole new one: the data is
// flushed to disk, the file is renamed over the target, and the folder entry
// is flushed too. On failure the temporary file is left as it was and
// errorText (when given) says why.
bool commitFile(const QString &tempPath, const QString &finalPath, QString *errorText = nullptr);

// Flushes an open descriptor's data to disk. False when the device refuses.
bool syncDescriptor(int fd);

// Starts writing out what the descriptor's file holds so far, without waiting
// for it: the flush of a later commit then finds little left to do. Advisory.
void startWriteback(int fd);

// The longest file name, in bytes, that the file system holding `folder`
// takes (255 when it will not say).
int maxFileNameBytes(const QString &folder);

} // namespace platform
