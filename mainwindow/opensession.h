#pragma once

#include "connections/connection.h"
#include "core/sessioninfo.h"
#include "core/sessionlogger.h"
#include "transfer/editorpastewatch.h"
#include "transfer/inbandtransfer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>

class QFile;

// Where an open session shows itself: its tab (received bytes, status
// lines) and every place its state word appears. The window's hub in the
// program; a recorder in tests.
class SessionView
{
public:
    virtual ~SessionView() = default;
    virtual void showData(const QString &id, const QByteArray &bytes) = 0;
    virtual void showLine(const QString &id, const QString &html) = 0;
    virtual void showState(const QString &id, const QString &state) = 0;
    // A new connection is taken: the tab's terminal drops what the program
    // of the last one left on it.
    virtual void beginConnection(const QString &id) = 0;
};

// How a transport reports. Lines are built when shown, so that they come in
// the language of that moment.
struct ConnectionReports {
    std::function<QString()> connectedLine; // empty: the transport never reports "connected"
    std::function<QString()> closedLine;    // empty: no peer-close report
    bool closeAfterPeerClose = true;
    bool closeAfterError = true;
};

// The session data of a tab, kept to reopen sessions that live only in
// memory (a serial one with its whole line setting).
struct TabSessionInfo {
    QString id{}, name{}, type{}, host{}, port{};
    SerialParams serial{};
};

// One open tab's session: its connection, logger, ASCII capture, whether it
// is still connecting, and who gets the received bytes (the terminal, or an
// in-band transfer that holds the stream). Everything the session writes
// goes through send(), so it is logged in one place; close() is the one way
// to end it. GUI thread only.
class OpenSession : public QObject
{
    Q_OBJECT
public:
    OpenSession(const TabSessionInfo &tab, SessionView *view, QObject *parent = nullptr);
    ~OpenSession() override;

    QString id() const { return m_tab.id; }
    const TabSessionInfo &tab() const { return m_tab; }
    void setTab(const TabSessionInfo &tab) { m_tab = tab; }

    // Takes the connection (it is released by close() at the latest) and
    // listens to its reports; the previous one is closed first.
    void adopt(Connection *connection, const ConnectionReports &reports);
    Connection *connection() const { return m_connection; }
    bool isOpen() const;
    // Opened and not yet reported connected, failed or closed.
    bool isConnecting() const { return m_connecting; }

    // Writes to the connection and logs what was written; false (and nothing
    // written) when the session is not open.
    bool send(const QByteArray &bytes);
    // A binary transfer's own bytes: written when open, never logged (the
    // log holds what the user and the host said, not the protocol).
    void sendUnlogged(const QByteArray &bytes);
    // What the user typed: the Esc key or Ctrl+C cancels a running
    // transfer; other keys go as input() does, but a key that the transfer
    // swallows is swallowed quietly (a line per key would bury the screen);
    // Enter on a closed session asks to reopen it, unless it is still
    // opening.
    void type(const QByteArray &bytes);
    // What the user sends the host at once, pasted or from the command
    // window (a command, a quick-command button, HEX, a broadcast). While a
    // transfer runs it reaches the host only while a binary one still waits
    // for its peer's first frame, and the transfer keeps its polls out of
    // the line it makes; otherwise it is dropped, and the tab says so. False
    // when nothing was written.
    bool input(const QByteArray &bytes);
    // The terminal's answers to the host's queries: never into a transfer.
    void reply(const QByteArray &bytes);

    // Takes the logger, replacing (and stopping) the one before.
    void setLogger(SessionLogger *logger);
    SessionLogger *logger() const { return m_logger; }
    void stopLogger();

    // Appends what arrives to the file; false after a line saying why.
    bool startCapture(const QString &path);
    void stopCapture();
    bool isCapturing() const { return m_capture != nullptr; }

    // A transfer takes the received bytes. A binary one gets them alone
    // once its peer has started (before that, the peer may well be a shell
    // saying "command not found"); a text send shares them with the
    // terminal. The stream comes back when the transfer ends or is given
    // back.
    void handOver(InbandTransfer *transfer, bool binary);
    void takeBack();
    // The transfer holding the stream, while it runs.
    InbandTransfer *transfer() const;
    // Gives the running transfer what the host said last before it began,
    // when that was lately: a receiver typed before the send was chosen has
    // asked for the file already, and asks again only after its own
    // time-out (the sender tells its poll from typed text).
    void offerLastWords();

    // Cancels the transfer, stops capture and logger, cuts and releases the
    // connection (deleted on the next turn). The tab stays.
    void close();

    // How long the line must be quiet after a cancelled binary transfer
    // before received bytes are drawn again.
    static constexpr int kQuietAfterCancelMs = 400;
    // ...but no longer than this after the run's end: a peer's tail is
    // short, while a shell that took it as typed keys may echo it for
    // minutes, and a user who sees nothing of that thinks the tab hung.
    static constexpr int kHoldAfterRunMs = 1500;
    static constexpr int kQuietHeldBytes = 4096;
    // A lone Esc this soon after the key that stopped a run still belongs to
    // that stop (a double press), even when the run has ended meanwhile.
    static constexpr int kStopKeyRepeatMs = 1000;
    // Keys this soon after the last one a run swallowed belong to the same
    // line: once the run has ended they are swallowed too, up to and with
    // its line end, or the line's tail would run as a command of its own.
    static constexpr int kCutLineKeyGapMs = 1000;

signals:
    void reopenRequested(const QString &id);

private:
    // input() without a word to the user.
    bool offer(const QByteArray &bytes);
    // What of typed bytes goes on after a run cut the line they belong to
    // (see kCutLineKeyGapMs).
    QByteArray afterCutLine(const QByteArray &bytes);
    void received(const QByteArray &bytes);
    // Ends the hold of a run's tail: the host's words in it are drawn.
    void releaseHeld();

    // To the terminal and the log.
    void showReceived(const QByteArray &bytes);
    QByteArray withoutHeaderEnds(const QByteArray &bytes);
    void connectionReport(const QString &state, const QString &line, bool closeAfter);
    void closeLater();
    void line(const QString &html) const;

    TabSessionInfo m_tab;
    SessionView *m_view;
    QPointer<Connection> m_connection;
    QPointer<SessionLogger> m_logger;
    QFile *m_capture = nullptr;
    QPointer<InbandTransfer> m_transfer;
    QMetaObject::Connection m_transferEnd;
    QMetaObject::Connection m_transferText; // the host's lines amid a run
    bool m_binary = false;
    bool m_connecting = false;
    QTimer m_quiet; // runs while the tail of a cancelled transfer is held back
    QElapsedTimer m_heldSince; // the end of the run whose tail is held
    bool m_headerEndOwed = false; // see received()
    QByteArray m_quietHeld;
    InbandTransfer::TailFilter m_heldFilter = nullptr; // of the run whose tail is held
    QByteArray m_lastWords; // the end of what was drawn, and since when it stands
    EditorPasteWatch m_pasteWatch; // of what was drawn, for a sender's framing
    QElapsedTimer m_lastWordsAt;
    bool m_replaying = false; // the last words are handed to a run again
    QElapsedTimer m_stopKeyAt; // since the Esc or Ctrl+C that last stopped a run
    QElapsedTimer m_swallowedAt; // since the last key of a line a run cut; invalid: none
};
