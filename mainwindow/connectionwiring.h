#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <functional>

class Connection;
class SessionHub;
class SessionLogger;

// What the window does when a session's connection reports back, and how a
// session's connection is torn down: the status lines and state words of
// each report, the deferred close after a peer close or an error, closing a
// tab, disconnecting, deleting, and stopping every session when the window
// closes.
class ConnectionWiring : public QObject
{
    Q_OBJECT
public:
    // How a transport reports. Lines are built when shown, so that they
    // come in the language of that moment.
    struct Reports {
        std::function<QString()> connectedLine; // empty: the transport never reports "connected"
        std::function<QString()> closedLine;    // empty: no peer-close report
        bool closeAfterPeerClose = true;
        bool closeAfterError = true;
        bool errorLineUnguarded = false; // written even for a connection no longer current
        bool traceReceived = false;      // the received bytes go to the debug log
    };

    explicit ConnectionWiring(SessionHub *hub);

    // Connects the connection's signals to this session's handlers. The
    // connection is not yet stored; the opener stores it after open().
    void wire(const QString &id, Connection *connection, const Reports &reports);
    // A logger's write failures become error lines in the session's tab.
    void watchLogger(const QString &id, SessionLogger *logger);

    // Opened and not yet reported connected, failed or closed.
    bool isConnecting(const QString &id) const { return connecting.contains(id); }

    // Cancels the session's transfer, stops its capture and logger, then
    // cuts and releases its connection (deleted on the next turn).
    void closeConn(const QString &id);
    void tabClosed(const QString &id);
    void disconnectSession(const QString &id);
    // After the user confirmed: the session is gone from the store too.
    void sessionDeleted(const QString &id);
    // The window closes: every connection is told to stop at once, then all
    // are waited for together, at most the one join budget in all.
    void closeAll();

private:
    bool isCurrent(const QString &id, const QPointer<Connection> &guard) const;
    void setState(const QString &id, const QString &word);
    void closeLater(const QString &id, const QPointer<Connection> &guard);

    SessionHub *hub;
    QSet<QString> connecting;
};
