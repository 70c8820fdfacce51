#pragma once

#include <QByteArray>
#include <QString>

// Saved passwords are stored sealed with a key only this user on this machine
// holds (see platform/dataprotection.h), as text with a version prefix:
//   "dpapi1:" + Base64   the current form, sealed with the fixed entropy
//   "dpapi:"  + Base64   the legacy form, sealed without it
//   anything else        a plain password from before protection existed
// The prefixes are compared case-sensitively.

// The sealed current form of a password; empty for an empty password and
// when sealing fails.
QString protectSecret(const QString &plain);

// The password a stored text stands for. A sealed value that does not open
// (another user or machine, a changed text) gives an empty password and a
// warning in the Qt log; a text without a prefix is returned as it stands.
QString unprotectSecret(const QString &stored);

// Opens a Base64 blob, with or without the fixed entropy; empty on failure.
QString dpapiUnprotect(const QByteArray &base64, bool withEntropy);

// Whether a stored text is in the legacy form.
bool isLegacyProtected(const QString &stored);
// Whether a stored text is sealed in the current form.
bool isCurrentlyProtected(const QString &stored);

// Reads the saved password under a session's settings prefix
// ("session/<id>/"). A value in the legacy form is sealed again in the
// current form and written back before the password is returned.
QString readSavedPassword(const QString &prefix);

// Writes a session's user name and sealed password under its settings prefix
// and syncs the store. An empty password clears the saved one. Returns false
// when sealing failed: the previously saved password is then kept, and the
// caller should tell the user that this password was not saved.
bool saveCredentials(const QString &prefix, const QString &user, const QString &password);
