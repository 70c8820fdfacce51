#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class QTimer;

// One step of a typed command: bytes to write, after waiting `delay` ms.
struct CommandChunk {
    QByteArray bytes;
    qint32 delay = 0;

    bool operator==(const CommandChunk &o) const { return bytes == o.bytes && delay == o.delay; }
};

// How long "\p" waits, and the least gap between two chunks of one run.
inline constexpr qint32 kCommandPauseMs = 1000;
inline constexpr qint32 kCommandStepMs = 1;

// The non-empty, trimmed lines of a command; a trailing literal "\r" or "\n"
// (as typed, two characters) is dropped, since every line gets its own CR.
QStringList splitCommandLines(const QString &text);

// Backslash escapes \r \n \t \b \e become control bytes and \p a pause; any
// other backslash is sent as it stands, so paths and regexes survive.
QList<CommandChunk> parseCommandEscapes(const QString &text);

// Bytes written as hex pairs, blanks and commas ignored ("0a,0B 0c" or
// "0A0B0C"). Anything else, an odd digit count or no digits at all is
// invalid: ok is false and the result empty.
QByteArray normalizeHexText(const QString &text, bool *ok = nullptr);

// What one write to each of many sessions carries: every line as UTF-8
// followed by CR, no escapes.
QByteArray broadcastPayload(const QString &command);

// The text the timed sender gets for the current session: every line
// followed by the "\r" escape.
QString currentSessionText(const QString &command);

// Plays chunks against a write function on a single-shot timer and deletes
// itself when done. It stops at its next step once `target` (usually the
// connection the write function writes to) is destroyed, so closing a
// session needs no cancelling here.
class CommandSender : public QObject
{
    Q_OBJECT
public:
    // False: the bytes were refused, and the run ends there. What follows
    // a pause belongs with what came before it; sent alone it would be a
    // different command.
    using WriteFunction = std::function<bool(const QByteArray &)>;

    // Starts a run of `text` (escapes parsed) and returns at once.
    static CommandSender *send(const QString &text, QObject *target, WriteFunction write, QObject *parent);
    // Starts a run of ready chunks, e.g. from a quick-command button.
    static CommandSender *play(const QList<CommandChunk> &chunks, QObject *target, WriteFunction write,
                               QObject *parent);

signals:
    // The run ended: all chunks written, one refused, or the target gone.
    void finished();

private:
    CommandSender(const QList<CommandChunk> &chunks, QObject *target, WriteFunction write, QObject *parent);
    void step();

    QList<CommandChunk> chunks;
    qsizetype index = 0;
    QPointer<QObject> target;
    WriteFunction write;
    QTimer *timer;
};
