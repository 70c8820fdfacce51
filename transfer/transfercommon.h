#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <functional>

// Pieces shared by the in-band transfer objects (XMODEM/YMODEM, ZMODEM,
// Kermit): the send function type, the CRC both block formats use, the
// check of file names that a peer proposes and the commit of a received file.

// Carries one outgoing packet to the session's connection. The owner builds
// it; it never reports a failure back.
using TransferSendFn = std::function<void(const QByteArray &)>;

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, not reflected, no final
// XOR ("123456789" gives 0x31C3). Table-driven, eight bytes a step; the
// tables are built once.
// `crc` carries on a CRC over bytes that came before.
quint16 crc16(const char *data, int length, quint16 crc = 0);

// The name under which a file announced by the peer may be stored: the last
// component of what the peer sent (after "/" or "\\"). Empty when that would
// not name a plain file inside the chosen folder: "", "." or "..", or a name
// holding control characters (which could forge terminal output or confuse
// later tools).
QString safeReceivedName(const QString &peerName);

// Moves a finished ".part" file onto its final name, replacing what is there,
// and returns only once the move has reached the disk.
bool commitReceivedFile(const QString &tmpPath, const QString &finalPath);

// Closes a file being received, first cutting it to the size the sender
// announced when the padding of a last block made it longer (-1: unknown).
void closeReceivedFile(QFile &file, qint64 expectedSize);

// Settles the ".part" file of a transfer that ends with `error` (empty:
// success). A pending file (finalPath not empty) is committed on success,
// unless refuseShort and it is shorter than announced; a commit that cannot
// be made turns the result into "提交接收文件失败". Whatever ends without
// success leaves no half file behind. Returns the final error and clears
// finalPath.
QString settleReceivedFile(QFile &file, QString &finalPath, qint64 expectedSize, QString error, bool refuseShort);
