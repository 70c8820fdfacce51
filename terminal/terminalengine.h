#pragma once

#include "terminal/highlight.h"
#include "terminal/linerenderer.h"
#include "terminal/receivedecoder.h"
#include "terminal/screengrid.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

class QTextDocument;

// A session's terminal settings as the engine uses them, read in one place
// (the view's settings loader) and handed over whole.
struct TerminalSettings
{
    QString encoding = QStringLiteral("默认");
    // Backspace sends BS (0x08) rather than DEL: a lone BS echoed for it erases.
    bool bs08 = false;
    int scrollback = 5000;
    bool hexMonitor = false;
    bool highlight = true;
    QList<HighlightRule> highlightRules;
};

// Everything a terminal view does with received bytes, without the widget:
// the bounded receive buffer and its drain, decoding, the HEX monitor lines,
// status lines, the line-mode renderer and the screen grid of the alternate
// screen. The view hosts it: it hands over the documents, forwards received
// bytes and settings, and follows the signals.
class TerminalEngine : public QObject, private LineRendererHost
{
    Q_OBJECT
public:
    // Lines a frame may hold back before they go into the document.
    static constexpr int MaxWaitingLines = 6000;
    // Fewer lines than this at the end of what was received go in at once.
    static constexpr int FloodLines = 64;

    explicit TerminalEngine(QTextDocument *document, QObject *parent = nullptr);
    ~TerminalEngine() override;

    void setSessionId(const QString &id) { sessionId = id; }
    void applySettings(const TerminalSettings &settings);
    const TerminalSettings &settings() const { return current; }
    // Shows or hides the HEX monitor's dump; it starts again at offset 0.
    void setHexMonitor(bool on);
    bool hexMonitorOn() const { return current.hexMonitor; }
    qint64 hexDumpOffset() const { return hexOffset; }
    // A Backspace went out (see LineRenderer::expectErasedEcho).
    void expectErasedEcho(int extraBs) { renderer.expectErasedEcho(extraBs); }
    // The UTF-8 length of what a Backspace erases on the remote line.
    int bytesBeforeCursor() { return renderer.bytesBeforeCursor(); }
    // The lines of a flood waiting for the end of their frame go in now:
    // what the view shows next (a local echo) comes after them.
    void writeWaitingLines() { renderer.holdAppends(false); }
    // The HEX monitor's document; without one nothing is dumped.
    void setHexDocument(QTextDocument *document) { hexDocument = document; }

    void appendData(const QByteArray &bytes);
    // Milliseconds that one drain step may spend on further slices before it
    // yields to the event loop; 0: one slice per step. A view that draws once
    // per step sets it so that a flood costs one layout per frame, not one
    // per slice.
    void setDrainBudget(int milliseconds) { drainBudget = milliseconds; }
    // While a flood goes on, lines reach the document at most once per this
    // many milliseconds (and at once when the receive buffer runs dry); of
    // the lines in between only those that the scroll-back keeps are ever
    // inserted. 0: at the end of every drain step.
    void setFrameInterval(int milliseconds) { frameInterval = milliseconds; }
    // Lines kept in the terminal's and the HEX monitor's documents; 0: all.
    // Used instead of the documents' own maximum block count, which lays out
    // every line it trims.
    void setScrollbackLimit(int lines)
    {
        scrollbackLimit = lines;
        renderer.keepLines = lines;
    }
    // The longest line before the terminal's width is known.
    void setMaxRowCells(int cells) { renderer.maxRowCells = cells; }
    void drainReceived();
    QString decodeReceived(const QByteArray &bytes) { return decoder.decodeReceived(bytes); }
    void hexDump(const QString &direction, const QByteArray &bytes);
    void appendHtml(const QString &html);
    void appendText(const QString &text) { renderer.appendText(text); }
    // Decoded text to the grid while it runs, else to the line-mode renderer.
    void receiveText(const QString &text);

    void enterAltScreen();
    void leaveAltScreen();
    // The view's size in characters; a running grid follows it, and line
    // mode wraps its rows there.
    void setTerminalSize(int cols, int rows);
    // Where line mode wraps its rows; 0: only at the longest row. The lines
    // already shown are laid out again at a new width.
    void setLineWrap(int columns);
    // The user's Clear, after drawing what waits: the HEX monitor empties;
    // line mode keeps only the line the cursor is on (and what a line editor
    // drew below it), at the top; on the alternate screen the program's
    // screen stays and the lines under it go.
    void clear();
    // A new connection begins on this terminal: what the last one sent is
    // drawn first, then nothing its program left holds over to the next
    // (the alternate screen, the input modes, a sequence cut off, colours).
    // The scroll-back stays.
    void beginConnection();

    ScreenGrid *grid() const { return gridPtr.get(); }
    // The terminal's input modes, whichever screen is shown: the grid and
    // line mode set them, the key and paste encoders read them.
    InputModes *inputModes() override { return &modes; }
    QTextDocument *altDocument() const { return altDoc.get(); }
    LineRenderer &lineRenderer() { return renderer; }
    // Bytes not yet handled, or lines of a flood not yet in the document.
    bool hasPendingData() const { return !rxBuffer.isEmpty() || renderer.hasWaitingText(); }
    qsizetype pendingBytes() const { return rxBuffer.size(); }
    // Bytes lost to the receive buffer's cap since the view was made.
    qint64 droppedBytes() const { return dropped; }

    // The view's left button pressed on the terminal (mouseUp false) and the
    // buttons held at this moment, asked of the host: while a selection is
    // being made with the mouse the view's cursor is left alone.
    bool mouseUp = true;
    std::function<Qt::MouseButtons()> mouseButtons;

signals:
    // Answers of the grid to device queries, to go to the session.
    void sendInput(const QByteArray &bytes);
    // The view's text cursor should stand here (and be scrolled into view).
    void cursorMoved(const QTextCursor &cursor);
    // The grid changed or appeared: the view draws it.
    void gridRenderRequested();
    // The alternate screen was entered (true) or left (false).
    void altScreenChanged(bool active);
    // Bytes waiting in the receive buffer, after new bytes came and after
    // each drain step.
    void pendingChanged(qsizetype bytes);

private:
    QTextDocument *document;
    QTextDocument *hexDocument = nullptr;
    QString sessionId;
    ReceiveBuffer rxBuffer;
    ReceiveDecoder decoder;
    QTimer drainTimer;
    LineRenderer renderer;
    InputModes modes;
    std::unique_ptr<ScreenGrid> gridPtr;
    std::unique_ptr<QTextDocument> altDoc;
    int cols = 0;
    int rows = 0;
    qint64 dropped = 0;
    bool inDrain = false; // bytes handed in by a step's own output wait for the timer
    int drainBudget = 0;
    int frameInterval = 0;
    QElapsedTimer sinceFrame;
    int scrollbackLimit = 0;
    TerminalSettings current;
    qint64 hexOffset = 0;

    void placeViewCursor(const QTextCursor &cursor) override;
    bool selectingWithMouse() const override;
    QList<HighlightRange> highlightRanges(const QString &text) override;
    QString enterGridWith(const QString &rest) override;
    void sendReply(const QByteArray &bytes) override { emit sendInput(bytes); }
    int screenRows() const override { return rows; }
    QString feedGrid(const QString &text);
    void trimScrollback(QTextDocument *doc);
    void commitFrame();
    void logUnhandled();
    qint64 loggedLine = 0;
    qint64 loggedGrid = 0;
};
