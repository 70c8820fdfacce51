#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

class AsciiSender;
class Connection;
class InbandTransfer;
class KermitTransfer;
class SessionHub;
class XmodemTransfer;
class ZmodemTransfer;
class QWidget;

// The file dialogs the transfer and capture commands ask; tests answer them.
// An empty answer means the user cancelled.
struct FileDialogs {
    std::function<QStringList(QWidget *parent, const QString &title)> openFiles;
    std::function<QString(QWidget *parent, const QString &title)> openFile;
    std::function<QString(QWidget *parent, const QString &title)> existingDirectory;
    std::function<QString(QWidget *parent, const QString &title, const QString &proposed)> saveFile;

    static FileDialogs platform(); // the platform's own dialogs
};

// Starts in-band transfers (XMODEM, YMODEM, ZMODEM, Kermit) and ASCII sends
// on the current session: one at a time in the whole program, each protocol
// object made once, fed the session's bytes while it runs and cut off when
// it ends, its messages shown as status lines in the session's tab. The
// running one is published through the hub, where the input routing finds
// it to cancel on ESC or Ctrl+C.
class TransferActions : public QObject
{
    Q_OBJECT
public:
    // Protocol numbers of the Transfer menu.
    enum Protocol { Xmodem = 0, Ymodem = 1, Zmodem = 2, Kermit = 3 };

    explicit TransferActions(SessionHub *hub, FileDialogs dialogs = FileDialogs::platform());

    void startTransfer(int protocol, bool send);
    void sendAsciiFile();
    KermitTransfer *ensureKermitTransfer();

    FileDialogs &dialogs() { return m_dialogs; }

private:
    InbandTransfer *ensure(int protocol);
    template <typename T>
    T *adopt(T *transfer);
    // The session's open connection, or null after saying why.
    Connection *openConnection(const QString &id, const QString &notConnected);
    bool refuseWhileRunning(const QString &id);
    void attach(InbandTransfer *transfer, const QString &id, Connection *connection, bool binary);
    void detach(InbandTransfer *transfer);
    // A transfer's status line; while it runs, lines are shown a few times a
    // second in one go, each batch costing the view a single repaint.
    void showStatus(const QString &id, const QString &html, bool running);
    void flushStatus();

    SessionHub *m_hub;
    FileDialogs m_dialogs;
    XmodemTransfer *m_xmodem = nullptr;
    ZmodemTransfer *m_zmodem = nullptr;
    KermitTransfer *m_kermit = nullptr;
    AsciiSender *m_ascii = nullptr;
    QPointer<Connection> m_attached; // the connection feeding the running transfer
    QList<QPair<QString, QString>> m_pendingStatus; // session id, line
    QTimer m_statusPace;
};
