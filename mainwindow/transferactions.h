#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include "transfer/transfercommon.h"

#include <functional>

class AsciiSender;
class OpenSession;
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
// object made once and handed the session's stream while it runs, its
// messages shown as status lines in the session's tab.
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
    // The session when it is open, or null after saying why.
    OpenSession *openSession(const QString &id, const QString &notConnected);
    // The protocol's bytes stay out of the session log; an ASCII send's text
    // is what the user said to the host and goes in.
    static TransferSendFn sendTo(OpenSession *session, bool logged);
    bool refuseWhileRunning(const QString &id);
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
    QList<QPair<QString, QString>> m_pendingStatus; // session id, line
    QTimer m_statusPace;
};
