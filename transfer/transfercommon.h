#pragma once

#include <QByteArray>
#include <QList>
#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>

// Pieces shared by the in-band transfer objects (XMODEM/YMODEM, ZMODEM,
// Kermit): the send function type, the CRC both block formats use, the
// check of file names that a peer proposes and the files being received.

// Carries one outgoing packet to the session's connection. The owner builds
// it; it never reports a failure back.
using TransferSendFn = std::function<void(const QByteArray &)>;

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, not reflected, no final
// XOR ("123456789" gives 0x31C3). Table-driven, eight bytes a step; the
// tables are built once.
// `crc` carries on a CRC over bytes that came before.
quint16 crc16(const char *data, int length, quint16 crc = 0);

// What follows a file's name in a ZMODEM offer and a YMODEM header: its
// size in decimal, then its modification time (seconds since 1970) and mode
// in octal. Receivers that find no time take one all the same (lrzsz dates
// the file centuries ahead) and make the file private.
QByteArray sizeTimeMode(const QString &path, qint64 size);

// The name under which a file announced by the peer may be stored: the last
// component of what the peer sent (after "/" or "\\"). Empty when that would
// not name a plain file inside the chosen folder: "", "." or "..", or a name
// holding control characters, bidirectional overrides and isolates among
// them (which could forge terminal output, or make "txt.exe" read as
// "exe.txt").
QString safeReceivedName(const QString &peerName);

// Of what came from a host whose peer has left, the host's own words: from
// its first whole line of text on (else what follows the last control byte),
// without the control bytes that only a protocol's frames carry (line ends,
// tab, backspace, bell and escape are text) and the line ends that lead it.
QByteArray hostWordsIn(const QByteArray &bytes);

// Of `bytes`, those above ASCII that belong to no whole UTF-8 character:
// the remains of a protocol's frames, never a host's text.
QList<bool> brokenUtf8(QByteArrayView bytes);

// The file a receive is writing, and what became of the earlier files of the
// same transfer. A file is written to a temporary file beside its final name
// and put in place only once it is complete. The temporary file is created
// exclusively, so that nothing already in the folder is touched: the final
// name with ".part" added, or with a number before ".part" while that is
// taken, the name cut short where the suffix would pass the file system's
// limit. Only files made here are ever deleted.
class ReceivedFile
{
public:
    // Forgets what the last transfer left; nothing on disk changes.
    void reset();

    // Starts the file that is to become `finalPath`. A file still pending is
    // either the same file offered again (started afresh) or one the peer
    // gave up on (kept as it is, see keepIncomplete). False when no
    // temporary file could be created.
    bool start(const QString &finalPath);

    QFile &file() { return m_file; }
    bool pending() const { return !m_finalPath.isEmpty(); }
    QString finalPath() const { return m_finalPath; }
    int committed() const { return m_committed; }

    // Puts the pending file in place, first cutting it to `expectedSize`
    // (-1: unknown) when the padding of a last block made it longer. Empty on
    // success; otherwise the failure text, naming the temporary file, which
    // keeps every byte that arrived.
    QString commit(qint64 expectedSize);

    // The pending file will not arrive whole: its temporary file stays, and
    // the end of the transfer reports it as not received.
    void keepIncomplete();

    // Sends what was written so far towards the disk, so that the commit of
    // a large file does not wait for all of it at once (on the GUI thread).
    void startWriteback();

    // Deletes the pending file's temporary file: the transfer failed or was
    // cancelled while it was being written.
    void discard();

    // Settles the end of a transfer that ends with `error` (empty: success).
    // A pending file is discarded on failure; on success it is committed
    // when `commitPending` (the single XMODEM file, which has no end of its
    // own), else it never got its end and is kept as incomplete. A transfer
    // that leaves incomplete files behind has not succeeded: the returned
    // text counts and names them.
    QString finish(QString error, qint64 expectedSize, bool commitPending);

private:
    QFile m_file;
    QString m_finalPath;
    QStringList m_kept; // temporary files of files that did not arrive whole
    int m_committed = 0;
};
