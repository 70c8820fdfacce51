#pragma once

#include "mainwindow/transferactions.h"

#include <QObject>

class SessionHub;

// The commands for session logging and ASCII capture, each at most one per
// session and held by the session itself: the logging toggle (menu, tool
// bar, the view's context menu), whether a session is being logged, and the
// capture toggle.
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
    SessionHub *m_hub;
    FileDialogs m_dialogs;
};
