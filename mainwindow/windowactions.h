#pragma once

#include <QByteArray>
#include <QString>

// What the window's menus, tree and tabs ask for that the session road,
// transfers and logging answer. Each of those plugs in its own
// implementation as it lands; until then a request does nothing.
class WindowActions
{
public:
    virtual ~WindowActions() = default;

    virtual void quickConnect() {}
    virtual void activateSession(const QString &id) { Q_UNUSED(id) }
    virtual void connectSession(const QString &id) { Q_UNUSED(id) }
    virtual void disconnectSession(const QString &id) { Q_UNUSED(id) }
    virtual void tabClosed(const QString &id) { Q_UNUSED(id) }
    virtual void terminalInput(const QString &id, const QByteArray &data) { Q_UNUSED(id) Q_UNUSED(data) }
    virtual void terminalResized(const QString &id, int cols, int rows) { Q_UNUSED(id) Q_UNUSED(cols) Q_UNUSED(rows) }

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
