#pragma once

#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>

// How many sent commands a session keeps, in the command window and in the
// registry alike.
constexpr int commandHistoryLimit = 100;

// Appends cmd to a history, oldest first, unless it is empty or repeats the
// newest entry; then drops the oldest entries beyond commandHistoryLimit.
// Returns whether the history changed.
bool appendToHistory(QStringList &history, const QString &cmd);

// The commands sent per session id, for the terminal's inline completion to
// read. Never saved: the histories live as long as the process. Every
// operation holds the mutex around one list only, and takes no other lock
// while it does.
struct CommandHistoryRegistry {
    QBasicMutex mutex;
    QMap<QString, QStringList> historyBySession; // guarded by mutex

    void append(const QString &sessionId, const QString &cmd);
    QStringList history(const QString &sessionId);
    void remove(const QString &sessionId);
};

// The process-wide registry, made on first use.
CommandHistoryRegistry &commandHistoryRegistry();
