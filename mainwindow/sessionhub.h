#pragma once

#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

#include "core/sessioninfo.h"

class Connection;
struct SshConnectParams;
class InbandTransfer;
class SessionLogger;
class SessionTree;
class StatusBar;
class TerminalArea;
class QWidget;

// The session data of a tab shown for a session, kept to reopen sessions
// that live only in memory (a serial one with its whole line setting).
struct TabSessionInfo {
    QString id, name, type, host, port;
    SerialParams serial;
};

// What the new-session wizard hands back when accepted.
struct NewSessionResult {
    QString type, name, group, host, port, user;
    SerialParams serial;
    bool connectNow = true;
    bool saveToTree = true;
};

// The dialogs that the session commands run, plugged in by the window so that
// the commands can be driven without them; one left empty answers "cancelled".
struct SessionDialogs {
    // Runs the wizard modally; nothing when it was cancelled. `quick` clears
    // its save-to-tree box first; `group` preselects a group.
    std::function<std::optional<NewSessionResult>(QWidget *parent, const QString &group, bool quick)> runWizard;
    // Runs the session options dialog modally. `apply` is called with the
    // edited record on Apply and on OK and answers whether the store took it.
    std::function<void(QWidget *parent, const SessionInfo &info, const std::function<bool(const SessionInfo &)> &apply)>
        runSessionOptions;
    std::function<void(QWidget *parent)> runGlobalOptions;
};

// The calls into the command window that the session road needs.
struct CommandWindowHooks {
    std::function<void(const QString &id)> clearHistory;
    std::function<void()> rebuildCompletions;
    std::function<void()> reloadButtons;
};

// What the window's collaborators share: the connections, loggers and tabs
// of the open sessions, the widgets they write into, and the few operations
// that more than one collaborator calls. Everything here lives on the GUI
// thread. The window owns one hub; collaborators get it in their constructor.
class SessionHub : public QObject
{
    Q_OBJECT
public:
    SessionHub(QWidget *window, TerminalArea *area, SessionTree *tree, StatusBar *status);
    ~SessionHub() override;

    QWidget *window() const { return m_window; }
    TerminalArea *terminalArea() const { return m_area; }
    SessionTree *sessionTree() const { return m_tree; }
    StatusBar *statusBar() const { return m_status; }

    // Session id -> its current connection (ordered by id). Entries are added
    // by the openers and removed only by closeConn.
    QMap<QString, Connection *> connections;
    QMap<QString, SessionLogger *> sessionLoggers;
    QMap<QString, TabSessionInfo> tabSessions;

    // The in-band transfer that runs, with its session; at most one at a time.
    QPointer<InbandTransfer> transfer;
    QString transferSessionId;
    bool transferRunsOn(const QString &id) const;

    SessionDialogs dialogs;
    CommandWindowHooks commandWindow;

    Connection *connection(const QString &id) const { return connections.value(id); }
    SessionLogger *logger(const QString &id) const { return sessionLoggers.value(id); }

    // Opening and closing, answered by the session road.
    std::function<void(const QString &id)> connectSession;
    std::function<void(const NewSessionResult &result)> openQuickSession;
    // Cancels the session's transfer, stops its capture and logger, cuts and
    // releases its connection (deferred deletion).
    std::function<void(const QString &id)> closeConn;
    // Stops the session's ASCII capture; set by whoever owns captures.
    std::function<void(const QString &id)> stopAsciiCapture;
    std::function<void(const QString &id)> toggleSessionLog;
    // Gives an SSH session's tab its remote directory tree, which opens an
    // SSH session of its own with these parameters; set by whoever owns the
    // tree. Called by the SSH opener once the connection has started.
    std::function<void(const QString &id, const SshConnectParams &params)> attachRemoteDirTree;

    // The name shown for a session: quick-connect record, store, or the
    // tab's view; empty when unknown.
    QString sessionDisplayName(const QString &id) const;
    // An HTML status line into the session's tab (nothing without a tab).
    void appendLine(const QString &id, const QString &html) const;
    // Publishes a state word to the tab icon, the store, the tree and the
    // status bar, in that order.
    void publishState(const QString &id, const QString &state) const;

private:
    QWidget *m_window;
    TerminalArea *m_area;
    SessionTree *m_tree;
    StatusBar *m_status;
};
