#pragma once

#include <QObject>
#include <QPoint>
#include <QString>

#include <functional>

class QMenu;
class SessionHub;

// What the entries of the tab and view menus call, with the menu's session.
struct SessionMenuHandlers {
    std::function<void(const QString &id)> connect;
    std::function<void(const QString &id)> disconnect;
    std::function<void(const QString &id)> options;
    std::function<void(const QString &id)> closeTab;
    std::function<void(const QString &id)> toggleLog{};
};

// The session entries of a terminal tab's menu and of a view's own menu.
class ContextMenus : public QObject
{
    Q_OBJECT
public:
    ContextMenus(SessionHub *hub, SessionMenuHandlers handlers);

    // Builds the tab menu and runs it at globalPos.
    void tabContextMenu(const QString &id, const QPoint &globalPos);
    // Appends the session entries to the view's menu and runs it.
    void viewContextMenu(const QString &id, QMenu *menu, const QPoint &globalPos);

    // The entries themselves, without running the menu; false when the
    // session has no menu (a stored id the store no longer holds).
    bool fillTabMenu(QMenu *menu, const QString &id);
    void fillViewMenu(QMenu *menu, const QString &id);

private:
    void addEntry(QMenu *menu, const char *text, const std::function<void(const QString &)> &handler,
                  const QString &id) const;
    // "Disconnect" or, for a stored session without a connection, "Connect".
    void addConnectEntry(QMenu *menu, const QString &id, bool quick) const;

    SessionHub *hub;
    SessionMenuHandlers handlers;
};
