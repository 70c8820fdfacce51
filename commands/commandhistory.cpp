#include "commands/commandhistory.h"

#include <QMutexLocker>

bool appendToHistory(QStringList &history, const QString &cmd)
{
    if (cmd.isEmpty() || (!history.isEmpty() && history.constLast() == cmd))
        return false;
    history.append(cmd);
    if (history.size() > commandHistoryLimit)
        history.erase(history.begin(), history.end() - commandHistoryLimit);
    return true;
}

void CommandHistoryRegistry::append(const QString &sessionId, const QString &cmd)
{
    QMutexLocker lock(&mutex);
    appendToHistory(historyBySession[sessionId], cmd);
}

QStringList CommandHistoryRegistry::history(const QString &sessionId)
{
    QMutexLocker lock(&mutex);
    return historyBySession.value(sessionId);
}

void CommandHistoryRegistry::remove(const QString &sessionId)
{
    QMutexLocker lock(&mutex);
    historyBySession.remove(sessionId);
}

CommandHistoryRegistry &commandHistoryRegistry()
{
    static CommandHistoryRegistry registry;
    return registry;
}
