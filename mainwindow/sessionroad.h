#pragma once

#include <QObject>
#include <QString>

struct NewSessionResult;
struct SessionInfo;
#include "mainwindow/opensession.h"

class SessionHub;
class SessionOpener;

// The road from a session id to a running connection: activating a session
// (a tab that invites the user to connect), the connect request, quick
// connect (a session that lives only in memory), the dispatch on the type to
// the transport's opener and the state word that comes of it.
class SessionRoad : public QObject
{
    Q_OBJECT
public:
    explicit SessionRoad(SessionHub *hub);

    void activate(const QString &id);
    void showSessionPlaceholder(const TabSessionInfo &tab, const QString &status);
    void connectSession(const QString &id);
    // A session chosen in the tree: its tab when it is connected or still
    // connecting (what runs there must not be cut off), else a new connection.
    void openOrShow(const QString &id);
    void quickConnect();
    void openQuickSession(const NewSessionResult &result);
    void openSession(const QString &id, const SessionInfo &info);
    // Adds the wizard's session to the store with the user typed for it;
    // empty after telling the user why the store refused it.
    QString saveNewSession(const NewSessionResult &result);

    // The hint a tab shows before its session connects; empty for serial.
    static QString placeholderHint(const QString &type, const QString &name);

private:
    SessionHub *hub;
    SessionOpener *opener;
};
