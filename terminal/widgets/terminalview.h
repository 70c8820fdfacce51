#pragma once

#include "terminal/screengrid.h"

#include <QElapsedTimer>
#include <QTextCursor>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QPrinter;
class QSplitter;
struct SshConnectParams;
class TerminalEdit;
class TerminalEngine;
class WideCellSpacer;

// One session's terminal: the screen (TerminalEdit), the HEX monitor pane
// and room for the side panels of an SSH session, in one splitter. Received
// bytes, status lines and the alternate screen are the engine's; the view
// hands it the documents, draws the screen grid into the screen's document,
// keeps the session's settings and font, and reports its size in cells.
class TerminalView : public QWidget
{
    Q_OBJECT
public:
    // Size reports while the window is dragged: at most one per this period.
    static constexpr int SizeReportInterval = 50;
    // Milliseconds of received data handled per turn of the event loop.
    static constexpr int DrainBudget = 12;
    // During a flood the document takes new lines at most once per this many
    // milliseconds: jump scrolling, as the screen could not show them anyway.
    static constexpr int FrameInterval = 50;
    // A line longer than this many cells continues in a new block: the
    // document lays out a changed block whole, megabytes of one line included.
    static constexpr int MaxRowCells = 16384;
    // Received bytes waiting to be drawn: above the high mark the view asks
    // the session to stop reading, below the low mark to go on. Both stay
    // well under the receive buffer's cap, which remains a last guard.
    static constexpr qsizetype PauseAbove = 1024 * 1024;
    static constexpr qsizetype ResumeBelow = 256 * 1024;

    TerminalView(const QString &id, const QString &title, QWidget *parent = nullptr);
    ~TerminalView() override;

    QString id() const { return sessionId; }
    QString title;

    void loadSessionSettings(const QString &id);
    void loadFont(const QString &id);
    void applyFont(const QString &family, int pixelSize);
    QString fontFamily() const { return family; }
    int fontPixelSize() const { return pixelSize; }
    void updateTerminalSize();
    // One character cell of the current font, in pixels.
    QSizeF cellSize() const;
    int columns() const { return cols; }
    int rowCount() const { return rows; }
    // The size the session should have now, in cells: the last one reported
    // (a report still waiting goes out first); invalid until the view has
    // been shown.
    QSize terminalSize();
    int scrollback() const { return scrollbackLines; }

    void appendData(const QByteArray &bytes);
    void appendHtml(const QString &html);
    void setHexMonitor(bool on);
    bool hexMonitorOn() const;
    void clear();
    void selectAll();

    void findText();
    // Searches forward from the cursor, then from the top; selects a match.
    bool find(const QString &text);
    void printAll();
    void printScreen();
    void pageSetup();
    // The whole buffer, or only the text in sight, onto a printer.
    void printTo(QPrinter *printer, bool screenOnly);

    // Side panels of an SSH session: the remote tree goes in front of the
    // screen, the transfer list after the HEX pane, hidden until a transfer
    // starts (showTransferPanel).
    void attachSidePanels(QWidget *remoteTree, QWidget *transferPanel);
    // Makes the remote tree and the transfer list the first time, and
    // (re)connects the tree to the session's host every time.
    void attachRemoteDirTree(const SshConnectParams &params);
    void showTransferPanel();

    TerminalEdit *terminalEdit() const { return edit; }
    QPlainTextEdit *hexView() const { return hexText; }
    TerminalEngine *engine() const { return term; }
    // Draws the screen grid into the screen's document.
    void renderGrid();

signals:
    void sendInput(const QString &id, const QByteArray &data);
    // Answers to the host's device queries: not typed input.
    void replyReady(const QString &id, const QByteArray &data);
    void viewContextMenuRequested(const QString &id, QMenu *menu, const QPoint &globalPos);
    void sizeChanged(const QString &id, int cols, int rows);
    // The connection should stop (true) or resume (false) reading.
    void readPauseRequested(const QString &id, bool paused);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void sendTyped(const QString &id, const QByteArray &bytes);
    void altScreenChanged(bool active);
    void reportSize();
    void endFrame();
    void watchForWideText(const char *data, qsizetype size);
    QString visibleText() const;

    QString sessionId;
    QSplitter *splitter;
    TerminalEdit *edit;
    QWidget *hexPane;
    QLabel *hexLabel;
    QPlainTextEdit *hexText;
    QWidget *remoteTree = nullptr;
    QWidget *transferPanel = nullptr;
    TerminalEngine *term;
    WideCellSpacer *spacer;
    std::unique_ptr<QPrinter> printer;
    QString family;
    int pixelSize = 13;
    int scrollbackLines = 5000;
    QString lastFind;
    int cols = 0;
    int rows = 0;
    int reportedCols = 0;
    int reportedRows = 0;
    QTimer sizeTimer;
    QTimer frameTimer;
    QTextCursor pendingCursor;
    bool gridPending = false;
    bool readPaused = false;
    // The grid's rows as last written into the document.
    struct DrawnRow
    {
        QString text;
        std::vector<CellRun> runs;
        bool valid = false;
    };
    std::vector<DrawnRow> drawnRows;
    bool drawingGrid = false;
    QElapsedTimer sinceReport;
};
