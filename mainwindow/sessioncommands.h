#pragma once

#include <QObject>
#include <QString>

class QSettings;
class SessionHub;
class SessionRoad;
class StatusBar;

// The commands that create, clone, rename, edit and delete saved sessions
// and session groups. Each asks the user with its dialog, changes the store
// and refreshes what shows the change: the tree, a tab title, the views.
class SessionCommands : public QObject
{
    Q_OBJECT
public:
    SessionCommands(SessionHub *hub, SessionRoad *road);

    void newSession(const QString &group);
    void cloneSession(const QString &id);
    void renameSession(const QString &id);
    // True when the user confirmed: the session is gone from the store and
    // the caller tears down its connection and tab.
    bool deleteSession(const QString &id);
    void sessionOptions(const QString &id);
    void globalOptions();
    void newGroup();
    void renameGroup(const QString &group);
    // The group's sessions move to the top level; their tabs stay open.
    void deleteGroup(const QString &group);

    // The session's name, type and state in the status bar; empty for an
    // unknown id.
    static void showInStatusBar(StatusBar *bar, const QString &id);

    // Copies every "session/<from>/" key to "session/<to>/" in the settings
    // store and, when that is another file, in the native store too, where
    // the option dialogs keep their tables whatever the mode.
    static void copySessionSettings(QSettings *store, QSettings *native, const QString &from, const QString &to);

private:
    // The tab follows the name the store holds.
    void retitleTab(const QString &id) const;

    SessionHub *hub;
    SessionRoad *road;
};
