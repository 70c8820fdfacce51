#pragma once

#include <QObject>

class QWidget;
class SessionTree;
class StatusBar;

// The tree's requests that change the store's groups and names: each asks
// the user with its dialog, changes the store and refreshes the tree.
class TreeActions : public QObject
{
    Q_OBJECT
public:
    TreeActions(QWidget *window, SessionTree *tree);

    void newGroup();
    void renameGroup(const QString &group);
    void deleteGroup(const QString &group);
    // True when the user confirmed and the session is gone from the store.
    bool deleteSession(const QString &id);
    void renameSession(const QString &id);
    // The session's name, type and state in the status bar; empty for an
    // unknown id.
    static void showInStatusBar(StatusBar *bar, const QString &id);

private:
    QWidget *window;
    SessionTree *tree;
};
