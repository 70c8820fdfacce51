#include "mainwindow/inputrouter.h"

#include "connections/connection.h"
#include "core/debuglog.h"
#include "core/sessionlogger.h"
#include "core/sessionstore.h"
#include "mainwindow/connectionwiring.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/treeactions.h"
#include "transfer/inbandtransfer.h"

InputRouter::InputRouter(SessionHub *hub, ConnectionWiring *wiring) : QObject(hub), hub(hub), wiring(wiring) {}

void InputRouter::terminalInput(const QString &id, const QByteArray &bytes)
{
    if (hub->transferRunsOn(id)) {
        // ESC or Ctrl+C anywhere in the input cancels; nothing is sent.
        if (bytes.contains('\x1b') || bytes.contains('\x03'))
            hub->transfer->cancel();
        return;
    }
    Connection *connection = hub->connection(id);
    const bool open = connection && connection->isOpen();
    // Lengths only: typed bytes may be a password.
    if (debugLogEnabled())
        debugLog(QStringLiteral("onTerminalInput: id=%1 bytes=%2 conn=%3 isOpen=%4")
                     .arg(id)
                     .arg(bytes.size())
                     .arg(int(connection != nullptr))
                     .arg(int(open)));
    if (open) {
        connection->write(bytes);
        if (SessionLogger *logger = hub->logger(id))
            logger->logSent(bytes);
        return;
    }
    if (debugLogEnabled())
        debugLog(QStringLiteral("  -> DROP: no open connection for this id (byte never sent)"));
    // Enter reopens a closed session; a session still opening is left to
    // finish (a second attempt would ask for credentials again).
    if (bytes == "\r" && !wiring->isConnecting(id) && hub->connectSession)
        hub->connectSession(id);
}

void InputRouter::reply(const QString &id, const QByteArray &bytes)
{
    if (hub->transferRunsOn(id))
        return;
    Connection *connection = hub->connection(id);
    if (!connection || !connection->isOpen())
        return;
    connection->write(bytes);
    if (SessionLogger *logger = hub->logger(id))
        logger->logSent(bytes);
}

void InputRouter::resized(const QString &id, int cols, int rows)
{
    if (Connection *connection = hub->connection(id))
        connection->resize(cols, rows);
}

void InputRouter::readPause(const QString &id, bool paused)
{
    if (Connection *connection = hub->connection(id))
        connection->setReadPaused(paused);
}

void InputRouter::tabActivated(const QString &id)
{
    SessionStore::instance().setCurrentSessionId(id);
    if (SessionStore::instance().findSession(id))
        TreeActions::showInStatusBar(hub->statusBar(), id);
}
