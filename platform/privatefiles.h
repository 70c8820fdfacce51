#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// A folder that only the current user can enter, inside the shared temporary
// folder ("<tmp>/halvorstead-<uid>", mode 0700). Created on first use; a path
// that exists but is a link, or belongs to someone else, is not used and an
// empty string is returned, so no diagnostic file lands where another local
// user could have prepared it.
QString privateTempDir();

// Appends to a file created 0600 without following links. Returns false when
// the file cannot be opened or written whole.
bool appendPrivateFile(const QString &path, const QByteArray &data);

} // namespace platform
