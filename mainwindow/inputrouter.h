#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class ConnectionWiring;
class SessionHub;

// Where what a terminal tab produces goes: typed bytes to the session's
// connection (or to cancelling its transfer, or to reopening it), device
// replies, size changes and the view's request to pause reading.
class InputRouter : public QObject
{
    Q_OBJECT
public:
    InputRouter(SessionHub *hub, ConnectionWiring *wiring);

    void terminalInput(const QString &id, const QByteArray &bytes);
    // The terminal's answers to the host's device queries: sent like typed
    // bytes, but dropped while a transfer owns the stream (an answer is no
    // reason to cancel it, and would corrupt it).
    void reply(const QString &id, const QByteArray &bytes);
    void resized(const QString &id, int cols, int rows);
    void readPause(const QString &id, bool paused);
    void tabActivated(const QString &id);

private:
    SessionHub *hub;
    ConnectionWiring *wiring;
};
