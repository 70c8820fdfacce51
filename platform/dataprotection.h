#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// Seals small secrets (saved passwords) so that only the current user on this
// machine can open them again. The cipher is XChaCha20-Poly1305 with a random
// 32-byte key kept in "Halvorstead/secret.key" inside the user's configuration
// folder (XDG_CONFIG_HOME, else ~/.config). The key deliberately lives outside
// the data folder: a copied data folder carries sealed values but no key.
//
// `context` is authenticated but not stored: a blob opens only with the same
// context it was sealed with, so blobs made for one purpose cannot be passed
// off as another's.

// The key file's path for the current environment.
QString secretKeyPath();

// Seals `plain`; creates the key file on first use (0600, folder 0700).
// Returns false and says why in errorText when no key can be had.
bool protectBlob(const QByteArray &plain, const QByteArray &context, QByteArray *sealed,
                 QString *errorText = nullptr);

// Opens a blob made by protectBlob. Returns false for another user's or
// machine's blob, a changed blob, a different context or a missing key; the
// key file is never created here.
bool unprotectBlob(const QByteArray &sealed, const QByteArray &context, QByteArray *plain,
                   QString *errorText = nullptr);

} // namespace platform
