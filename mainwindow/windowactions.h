#pragma once

#include <QByteArray>
#include <QPoint>
#include <QString>

class QMenu;

// What the window's menus, tree and tabs ask for that sending, transfers,
// logging and the option dialogs answer (the session road is called
// directly). Each of those plugs in its own implementation as it lands;
// until then a request does nothing.
class WindowActions
{
public:
    virtual ~WindowActions() = default;

    virtual void newSession(const QString &group) { Q_UNUSED(group) }
    virtual void sessionOptions(const QString &id) { Q_UNUSED(id) }
    virtual void cloneSession(const QString &id) { Q_UNUSED(id) }
    virtual void globalOptions() {}
    virtual void tabContextMenu(const QString &id, const QPoint &globalPos) { Q_UNUSED(id) Q_UNUSED(globalPos) }
    virtual void viewContextMenu(const QString &id, QMenu *menu, const QPoint &globalPos)
    {
        Q_UNUSED(id) Q_UNUSED(menu) Q_UNUSED(globalPos)
    }
    virtual void commandSend(const QString &target, const QString &cmd, bool hex)
    {
        Q_UNUSED(target) Q_UNUSED(cmd) Q_UNUSED(hex)
    }
    virtual void buttonCommand(const QString &cmd) { Q_UNUSED(cmd) }
    virtual void buttonScript(const QString &script) { Q_UNUSED(script) }
    virtual void addButtonGroup() {}
    virtual void addCommand(const QString &group) { Q_UNUSED(group) }
    virtual void editCommand(const QString &group, const QString &title) { Q_UNUSED(group) Q_UNUSED(title) }
    virtual void deleteCommand(const QString &group, const QString &title) { Q_UNUSED(group) Q_UNUSED(title) }

    // Transfers: protocol 0 XMODEM, 1 YMODEM, 2 ZMODEM, 3 Kermit.
    virtual void startTransfer(int protocol, bool send) { Q_UNUSED(protocol) Q_UNUSED(send) }
    virtual void sendAsciiFile() {}
    virtual void startAsciiCapture() {}
    virtual void openSftpTab() {}

    // Logging of the current session.
    virtual void toggleSessionLog(const QString &id) { Q_UNUSED(id) }
    virtual bool isLogging(const QString &id) const { Q_UNUSED(id) return false; }

    // Hands the command window the keyboard with "all sessions" as target.
    virtual void broadcastInput() {}
    virtual void toggleHexView(const QString &id) { Q_UNUSED(id) }
};
