#pragma once

#include <QObject>
#include <QString>

class Connection;
struct SessionInfo;
class OpenSession;
class SessionHub;

// One opener per transport: reads the session's settings, makes its
// connection, hands it to the tab's session, writes the line that says what
// is happening and starts it. Each first closes what the session had open.
// The result says whether something was started.
class SessionOpener : public QObject
{
    Q_OBJECT
public:
    explicit SessionOpener(SessionHub *hub);

    bool openSsh(OpenSession *session, const SessionInfo &info);
    bool openTelnet(OpenSession *session, const SessionInfo &info, bool telnetMode);
    bool openRlogin(OpenSession *session, const SessionInfo &info);
    bool openSerial(OpenSession *session, const SessionInfo &info);
    bool openLocalShell(OpenSession *session, const SessionInfo &info);

    // The session's port, or the setting `defaultKey` (itself defaulting to
    // `fallback`) when the text is not a number above 0.
    static int portOf(const SessionInfo &info, const QString &defaultKey, int fallback);
    // The host trimmed; the name trimmed when there is no host.
    static QString hostOf(const SessionInfo &info);

private:
    // The error line for a session without host; false to pass on.
    bool refuse(OpenSession *session, const QString &text) const;
    void startLogger(OpenSession *session, const SessionInfo &info);
    void startAtViewSize(OpenSession *session, Connection *connection) const;

    SessionHub *hub;
};
