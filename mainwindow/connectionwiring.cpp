#include "mainwindow/connectionwiring.h"

#include "connections/connection.h"
#include "connections/sshconnection.h"
#include "core/debuglog.h"
#include "core/languagemanager.h"
#include "core/remoteenvregistry.h"
#include "core/sessionlogger.h"
#include "core/sessionstore.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/sessiontree.h"
#include "mainwindow/statusbar.h"
#include "mainwindow/statuslines.h"
#include "terminal/widgets/terminalarea.h"
#include "transfer/inbandtransfer.h"

#include <QDeadlineTimer>
#include <QTimer>

ConnectionWiring::ConnectionWiring(SessionHub *hub) : QObject(hub), hub(hub) {}

bool ConnectionWiring::isCurrent(const QString &id, const QPointer<Connection> &guard) const
{
    return guard && hub->connections.value(id) == guard.data();
}

void ConnectionWiring::setState(const QString &id, const QString &word)
{
    // The tab's icon follows too: otherwise a tab that has connected, or
    // whose peer has gone, keeps saying "connecting".
    hub->terminalArea()->setTabStatus(id, word);
    SessionStore::instance().setSessionStatus(id, word);
    hub->sessionTree()->refresh();
    hub->statusBar()->setConnectionState(word);
}

void ConnectionWiring::closeLater(const QString &id, const QPointer<Connection> &guard)
{
    // Never inside the connection's own emission; and only if nothing has
    // replaced the connection meanwhile.
    QTimer::singleShot(0, this, [this, id, guard] {
        if (isCurrent(id, guard))
            closeConn(id);
    });
}

void ConnectionWiring::wire(const QString &id, Connection *connection, const Reports &reports)
{
    const QPointer<Connection> guard(connection);
    if (auto *ssh = qobject_cast<SshConnection *>(connection)) {
        connect(ssh, &SshConnection::remoteEnv, this, [this, id](const QString &env, const QStringList &commands) {
            remoteEnvRegistry().setRemoteEnv(id, env, commands);
            if (hub->commandWindow.rebuildCompletions)
                hub->commandWindow.rebuildCompletions();
        });
    }
    connect(
        connection, &Connection::dataReceived, this,
        [this, id, guard, trace = reports.traceReceived](const QByteArray &bytes) {
            if (!isCurrent(id, guard))
                return;
            if (trace && debugLogEnabled())
                debugLog(QStringLiteral("RX %1 bytes: %2").arg(bytes.size()).arg(toHexString(bytes)));
            // A running transfer's bytes are protocol, not text: drawn, they
            // would only hold it back (the view pauses reading when it lags).
            if (!hub->transferRunsOn(id))
                hub->terminalArea()->appendData(id, bytes);
            if (SessionLogger *logger = hub->logger(id))
                logger->logReceived(bytes);
        },
        Qt::QueuedConnection);
    connect(connection, &Connection::connectionError, this, [this, id, guard, reports](const QString &message) {
        const bool current = isCurrent(id, guard);
        if (!current && !reports.errorLineUnguarded)
            return;
        hub->appendLine(id, statusLine(StatusColor::error, QStringLiteral("⚠ ") + htmlText(message)));
        if (!current)
            return;
        connecting.remove(id);
        setState(id, QStringLiteral("disconnected"));
        if (reports.closeAfterError)
            closeLater(id, guard);
    });
    // The link is fine, only this write did not fit: say so, keep the session.
    connect(connection, &Connection::sendQueueFull, this, [this, id, guard] {
        if (isCurrent(id, guard))
            hub->appendLine(id,
                            statusLine(StatusColor::warning,
                                       QStringLiteral("⚠ ") + LanguageManager::tr("发送队列已满，数据未发送")));
    });
    if (reports.connectedLine) {
        connecting.insert(id);
        connect(connection, &Connection::connected, this, [this, id, guard, line = reports.connectedLine] {
            if (!isCurrent(id, guard))
                return;
            connecting.remove(id);
            hub->appendLine(id, line());
            setState(id, QStringLiteral("connected"));
        });
    }
    if (reports.closedLine) {
        connect(connection, &Connection::disconnected, this, [this, id, guard, reports] {
            if (!isCurrent(id, guard))
                return;
            connecting.remove(id);
            hub->appendLine(id, reports.closedLine());
            setState(id, QStringLiteral("disconnected"));
            if (reports.closeAfterPeerClose)
                closeLater(id, guard);
        });
    }
}

void ConnectionWiring::watchLogger(const QString &id, SessionLogger *logger)
{
    connect(logger, &SessionLogger::logError, this, [this, id](const QString &message) {
        hub->appendLine(id, statusLine(StatusColor::error, QStringLiteral("⚠ ") + htmlText(message)));
    });
}

void ConnectionWiring::closeConn(const QString &id)
{
    const bool trace = debugLogEnabled();
    if (trace)
        debugLog(
            QStringLiteral("[UI] closeConn begin id=%1 hasConn=%2").arg(id).arg(int(hub->connections.contains(id))));
    connecting.remove(id);
    if (hub->transferRunsOn(id))
        hub->transfer->cancel();
    if (hub->stopAsciiCapture)
        hub->stopAsciiCapture(id);
    if (SessionLogger *logger = hub->sessionLoggers.take(id)) {
        logger->stop();
        logger->deleteLater();
    }
    Connection *connection = hub->connections.take(id);
    if (!connection)
        return;
    const QString address = QString::number(quintptr(connection));
    if (trace)
        debugLog(QStringLiteral("[UI] closeConn closing id=%1 conn=%2").arg(id, address));
    connection->close();
    // Handlers of other owners (transfers, captures) go with it too.
    disconnect(connection, nullptr, nullptr, nullptr);
    connection->deleteLater();
    if (trace)
        debugLog(QStringLiteral("[UI] closeConn scheduled deleteLater id=%1 conn=%2").arg(id, address));
}

void ConnectionWiring::tabClosed(const QString &id)
{
    const bool hadConnection = hub->connections.contains(id);
    closeConn(id);
    if (hub->commandWindow.clearHistory)
        hub->commandWindow.clearHistory(id);
    if (id.startsWith(QLatin1String("fast:"))) {
        hub->tabSessions.remove(id);
    } else if (hadConnection) {
        SessionStore::instance().setSessionStatus(id, QStringLiteral("disconnected"));
        hub->sessionTree()->refresh();
    }
    hub->terminalArea()->closeTab(id);
}

void ConnectionWiring::disconnectSession(const QString &id)
{
    closeConn(id);
    const QString word = QStringLiteral("disconnected");
    hub->terminalArea()->setTabStatus(id, word);
    if (id.startsWith(QLatin1String("fast:"))) {
        hub->statusBar()->setConnectionState(word);
        return;
    }
    SessionStore::instance().setSessionStatus(id, word);
    hub->sessionTree()->refresh();
    if (SessionStore::instance().currentSessionId() == id)
        hub->statusBar()->setConnectionState(word);
}

void ConnectionWiring::sessionDeleted(const QString &id)
{
    closeConn(id);
    if (hub->commandWindow.clearHistory)
        hub->commandWindow.clearHistory(id);
    hub->terminalArea()->closeTab(id);
}

void ConnectionWiring::closeAll()
{
    // One budget for all: stopped one after another, each unresponsive peer
    // would add its own wait.
    const QDeadlineTimer deadline(WorkerConnection::kJoinTimeoutMs);
    for (Connection *connection : std::as_const(hub->connections))
        connection->requestStop(deadline);
    QStringList ids = hub->connections.keys();
    for (const QString &id : hub->sessionLoggers.keys()) {
        if (!ids.contains(id))
            ids << id;
    }
    for (const QString &id : std::as_const(ids))
        closeConn(id);
}
