#pragma once

#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

#include "core/sessioninfo.h"
#include "core/sessionstore.h"
#include "mainwindow/opensession.h"

class CommandWindow;
class Connection;
class InbandTransfer;
class SessionLogger;
class SessionTree;
class StatusBar;
class TerminalArea;
class QWidget;

// What the new-session wizard hands back when accepted.
struct NewSessionResult {
    QString type{}, name{}, group{}, host{}, port{}, user{};
    SerialParams serial{};
    bool connectNow = true;
    bool saveToTree = true;
    QString auth{}; // SSH: the login method's source text; empty: the default
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

// The registry of the open tabs' sessions and what the window's
// collaborators share: the widgets the sessions show themselves in and the
// one place a session's state word is published. Everything here lives on
// the GUI thread. The window owns one hub; collaborators get it in their
// constructor.
class SessionHub : public QObject, public SessionView
{
    Q_OBJECT
public:
    SessionHub(QWidget *window, TerminalArea *area, SessionTree *tree, StatusBar *status,
               CommandWindow *commands = nullptr);
    ~SessionHub() override;

    QWidget *window() const { return m_window; }
    TerminalArea *terminalArea() const { return m_area; }
    SessionTree *sessionTree() const { return m_tree; }
    StatusBar *statusBar() const { return m_status; }
    CommandWindow *commandWindow() const { return m_commands; }

    // The session of a tab, made when the tab is first shown (ensure keeps
    // the one there); null when the tab is not open.
    OpenSession *session(const QString &id) const { return m_sessions.value(id); }
    OpenSession *ensure(const TabSessionInfo &tab);
    QList<OpenSession *> sessions() const { return m_sessions.values(); } // in id order
    Connection *connection(const QString &id) const;
    SessionLogger *logger(const QString &id) const;
    // The in-band transfer that runs in any session; at most one at a time.
    InbandTransfer *runningTransfer() const;

    SessionDialogs dialogs;

    // The name shown for a session: store, quick-connect tab, or the tab's
    // view; empty when unknown.
    QString sessionDisplayName(const QString &id) const;

    void showData(const QString &id, const QByteArray &bytes) override;
    // Written after whatever the terminal still holds back of the received
    // bytes, so a session's last words come before the line about its end.
    void showLine(const QString &id, const QString &html) override;
    // The tab icon, the store, the tree and (for the current session) the
    // status bar.
    void showState(const QString &id, const QString &state) override;
    void beginConnection(const QString &id) override;

    // What a tab's terminal sends: typed bytes and answers to the host.
    void typed(const QString &id, const QByteArray &bytes);
    void replied(const QString &id, const QByteArray &bytes);
    // The session ends and its tab goes; a quick session is forgotten.
    void closeTab(const QString &id);
    void disconnectSession(const QString &id);
    // The window closes: every connection is told to stop at once, then all
    // are waited for together, at most the one join budget in all.
    void closeAll();
    // The window is about to go: what is still to be told, and whatever
    // fails from now on, is told at once in front of it and waited for. A
    // box shown after the window had gone would stand behind everything
    // and keep the program from ending.
    void tellInFront();
    void tabActivated(const QString &id);

private:
    // Told once per file: a save that fails keeps failing.
    void tellStoreNotices();
    void tell(const SessionStore::Notice &notice);
    void tellSoon(const std::function<void()> &what);

    QWidget *m_window;
    TerminalArea *m_area;
    SessionTree *m_tree;
    StatusBar *m_status;
    CommandWindow *m_commands;
    QMap<QString, OpenSession *> m_sessions;
    QMap<QString, QStringList> m_heldLines;
    QMap<QString, QString> m_quickStates; // the store keeps the others'
    QSet<QString> m_toldFailures; // lines waiting for the terminal to draw what came before
    bool m_inFront = false;
};
