#include "core/remoteenvregistry.h"

#include <QMutexLocker>

void RemoteEnvRegistry::setRemoteEnv(const QString &sessionId, const QString &os, const QStringList &commands)
{
    QMutexLocker lock(&mutex);
    osBySession.insert(sessionId, os);
    commandsBySession.insert(sessionId, commands);
}

QString RemoteEnvRegistry::remoteOs(const QString &sessionId)
{
    QMutexLocker lock(&mutex);
    return osBySession.value(sessionId);
}

QStringList RemoteEnvRegistry::remoteCommands(const QString &sessionId)
{
    QMutexLocker lock(&mutex);
    return commandsBySession.value(sessionId);
}

RemoteEnvRegistry &remoteEnvRegistry()
{
    // A function-local static: C++11 makes the first construction thread-safe.
    static RemoteEnvRegistry registry;
    return registry;
}
