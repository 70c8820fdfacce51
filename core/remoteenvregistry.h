#pragma once

#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>

// What SSH connections learned about their hosts, keyed by session id: the
// operating-system word ("linux" for every Unix-like host) and the command
// names the host offers, which completion ranks. Written on the GUI thread
// when a connection reports its environment; readers copy one entry under
// the mutex and never hold it together with another lock.
struct RemoteEnvRegistry {
    QMutex mutex;
    QMap<QString, QString> osBySession;          // guarded by mutex
    QMap<QString, QStringList> commandsBySession; // guarded by mutex

    // Replaces both entries of the session.
    void setRemoteEnv(const QString &sessionId, const QString &os, const QStringList &commands);
    // Copies of one entry; empty when the session has none.
    QString remoteOs(const QString &sessionId);
    QStringList remoteCommands(const QString &sessionId);
};

// The one process-wide registry, made empty on first use.
RemoteEnvRegistry &remoteEnvRegistry();
