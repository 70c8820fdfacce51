#pragma once

#include "mainwindow/transferactions.h"

#include <QMap>
#include <QObject>

class QFile;
class SessionHub;

// Session logging and ASCII capture, each at most one per session: the
// logging toggle (menu, tool bar, the view's context menu), whether a
// session is being logged, and the capture of received bytes to a file.
// Plugs its stop and toggle operations into the hub for the session road.
class LogActions : public QObject
{
    Q_OBJECT
public:
    explicit LogActions(SessionHub *hub, FileDialogs dialogs = FileDialogs::platform());

    void toggleSessionLog(const QString &id);
    // The session's logger exists and has its file open.
    bool isLogging(const QString &id) const;
    // A toggle for the current session.
    void startAsciiCapture();
    void stopAsciiCapture(const QString &id);

    FileDialogs &dialogs() { return m_dialogs; }

private:
    struct Capture {
        QFile *file = nullptr;
        QMetaObject::Connection link;
    };
    void dropLogger(const QString &id);

    SessionHub *m_hub;
    FileDialogs m_dialogs;
    QMap<QString, Capture> m_captures;
};
