#pragma once

#include <QByteArray>
#include <QString>

// What the window's menus ask for that transfers and logging answer (the
// session road, sending, buttons, session commands and context menus are
// called directly). Each plugs in its own implementation as it lands;
// until then a request does nothing.
class WindowActions
{
public:
    virtual ~WindowActions() = default;


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
