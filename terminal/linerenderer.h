#pragma once

#include "terminal/charsets.h"
#include "terminal/escapeparser.h"
#include "terminal/highlight.h"
#include "terminal/inputmodes.h"
#include "terminal/textattributes.h"

#include <QList>
#include <QString>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>

#include <functional>
#include <utility>
#include <vector>

class QTextDocument;

// What the line-mode renderer needs from the view that hosts it.
class LineRendererHost
{
public:
    virtual ~LineRendererHost() = default;
    // Moves the widget's text cursor (the caller has applied the rule that
    // a selection being made with the mouse is not disturbed).
    virtual void placeViewCursor(const QTextCursor &cursor) = 0;
    // True while the left button pressed on the terminal is still held.
    virtual bool selectingWithMouse() const = 0;
    virtual QList<HighlightRange> highlightRanges(const QString &text) = 0;
    // The text switched to the alternate screen; rest is what followed the
    // sequence. Returns the text that the grid handed back after leaving the
    // alternate screen again (to go on with in line mode), or a null text.
    virtual QString enterGridWith(const QString &rest) = 0;
    // Answers to device queries, and the height they count the cursor's row
    // in; a host without them leaves queries unanswered.
    virtual void sendReply(const QByteArray &) {}
    virtual int screenRows() const { return 0; }
    // The terminal's input modes, which line mode sets as the grid does;
    // a host without them has the modes dropped.
    virtual InputModes *inputModes() { return nullptr; }
};

// The line-mode renderer: writes decoded text into an endless document, one
// block per line, with colours. The cursor is a column (1-based, in display
// cells) on a row counted back from the last block. What it understands of
// the escape sequences is listed in sequences.md beside this file; every
// other sequence and control string is read and dropped.
class LineRenderer : private EscapeHandler
{
public:
    static constexpr int MaxColumn = 1024;
    static constexpr int MaxRowsBack = 256;

    LineRenderer(QTextDocument *document, LineRendererHost *host);
    ~LineRenderer();
    LineRenderer(const LineRenderer &) = delete;
    LineRenderer &operator=(const LineRenderer &) = delete;

    void appendText(const QString &text);
    // While held, lines appended at the end of the document wait until the
    // hold is released (once per frame), and of a flood only the last
    // `keepLines` lines are ever inserted: the rest would be trimmed from the
    // scroll-back before anyone could see them. 0: every line is inserted.
    void holdAppends(bool hold);
    // Drops what waits to be appended (the document is cleared).
    void discardAppends();
    int keepLines = 0;
    // Line ends waiting, and whether anything waits at all.
    int waitingLines() const { return int(appendBreaks.size()); }
    bool hasWaitingText() const { return pendingAppend(); }
    void resetAttributes();
    // Forgets what is known about the document's rows; the host calls this
    // when it edits the document itself (local echo, status lines).
    void invalidateRowCache() { cache.valid = false; }
    // Forgets an unfinished sequence and the character sets in use (the user
    // cleared the view: a stray ESC ( 0 must not outlive it). A held CR
    // stays: it has already moved the cursor to column 1, and what follows
    // must still redraw the row or end the line as it would have.
    void resetParser();
    // Removes every row above the line the cursor is on (all its rows);
    // the cursor keeps its place on the line.
    void keepCursorLine();
    const EscapeScanner &scanner() const { return escapes; }
    // Sequences read and dropped since the renderer was made, for the debug log.
    qint64 unhandledSequences() const { return unhandled; }

    int col = 1;
    int rowBack = 0;
    // Backspace sends BS (0x08): a remote that echoes a lone BS for it means
    // an erase. Off: every received BS only moves the cursor.
    void setEraseEcho(bool on) { bs08 = on; }
    // A Backspace was typed: for a while, its echo's first BS erases the
    // character left of the cursor, and extraBs more BS (the bytes of a
    // multi-byte character) are skipped.
    void expectErasedEcho(int extraBs);
    // Nothing typed is waiting for its echo any more (a new connection began).
    void forgetErasedEcho() { skipBs = eraseEchoCount = 0; eraseEchoTime = 0; }
    // The UTF-8 length of the character left of the cursor (1 without one):
    // what a Backspace erases on the remote line.
    int bytesBeforeCursor();
    // The longest row in cells; longer text continues on the next row.
    // 0: rows grow without limit.
    int maxRowCells = 0;
    // The terminal's width: rows wrap there as on a terminal, so that line
    // editors moving across a wrapped command line land where they expect.
    // 0: only maxRowCells applies. A row that a wrap began is marked as the
    // continuation of the line above (terminal/wrappedlines.h).
    int columns = 0;
    // Lays the document's lines out again at `columns` when they were laid
    // out at another width, all but the cursor's line and what follows it
    // (the program writing there redraws it for the new width itself).
    void reflow();
    // Milliseconds for the erase-echo window; the host or a test may set its own.
    std::function<qint64()> clock;
    TextAttributes lineAttrs;
    // Programs draw boxes in line mode too (dialog, tput smacs).
    CharacterSets charsets;

    const QTextCharFormat &currentFormat() const { return format; }

private:
    struct RowInfo
    {
        int blockNumber = -1;
        int rowBack = 0;
        int length = 0;
        int width = 0;
        bool narrow = true; // every unit is one cell wide: column c is index c - 1
        bool valid = false;
    };

    QTextDocument *doc;
    LineRendererHost *host;
    int skipBs = 0;
    int eraseEchoCount = 0;
    qint64 eraseEchoTime = 0;
    bool bs08 = false;
    QTextCursor cursor;
    QTextCharFormat format;
    std::vector<std::pair<TextAttributes, QTextCharFormat>> formatCache;
    QString pendingText;
    std::vector<std::pair<int, QTextCharFormat>> formatRuns;
    RowInfo cache;
    bool selfEdit = false;
    bool editing = false;
    // Text (and line ends) appended at the very end of the document, kept
    // back so that a run of lines costs one insertion per colour change, not
    // one per line. While it holds anything, `cache` describes the last row
    // including it. appendRuns: where each of appendFormats starts; appendBreaks: where
    // each line end is. replaceDocument: lines dropped from the front of the
    // buffer took the whole document with them.
    QString appendBuffer;
    std::vector<std::pair<int, int>> appendRuns;
    std::vector<QTextCharFormat> appendFormats;
    std::vector<int> appendBreaks;
    // Per line end: it is a wrap, so the row after it continues the line.
    std::vector<char> appendWrapped;
    // After replaceDocument: the first row waiting continues a dropped one.
    bool firstRowContinues = false;
    bool replaceDocument = false;
    bool held = false;
    QMetaObject::Connection docWatch;
    EscapeScanner escapes;
    // A CR waits for what follows: before LF it is part of the line end
    // (a run of CRs acts as one), before anything else it redraws the row.
    bool pendingCr = false;
    // How much of pendingText a tab has measured, and its width in cells.
    int measuredUnits = 0;
    int measuredCells = 0;
    bool enterGrid = false;
    qint64 unhandled = 0;
    // The width the document's rows were last laid out at.
    int flowedColumns = 0;

    QString appendOnce(const QString &text);
    void beginEdit();
    void commitAppend();
    bool pendingAppend() const { return !appendBuffer.isEmpty() || replaceDocument; }
    void bufferAppend(const QString &text, const QTextCharFormat &fmt);
    void dropFlooded();
    void endEdit();
    QTextBlock currentRowBlock();
    const RowInfo &rowInfo(const QTextBlock &block);
    int indexOfColumn(const QTextBlock &block, int column, int *cellsBefore = nullptr);
    void write(const QString &text, const QTextCharFormat &fmt);
    void writeInRow(QString text, int textW, const QTextCharFormat &fmt);
    void writeHighlighted(const QString &text, const QTextCharFormat &fmt);
    void flush();
    void delFromCol(int c);
    void padToCol(int c);
    void moveToColumn(int c);
    void syncCursor();
    // wrap: the text goes on in the next row (it did not fit), not a line end.
    void newline(bool wrap = false);
    void receivedBackspace();
    void eraseToEnd();
    void clearDocument();
    void applyCursorRule();
    void updateFormat();
    void carriageReturn();
    int rowLimit() const;
    int lastColumn() const;
    void tab();
    void insertBlanks(int n);
    void deleteCells(int n);
    void removeText(int from, int to);

    int print(const QChar *text, int size) override;
    void execute(char16_t control) override;
    bool csiDispatch(const CsiSequence &seq) override;
    void answerQuery(char final, int p1);
    void escDispatch(const EscSequence &seq) override;
    bool setModes(const CsiSequence &seq);
    void fullReset();
    void oscDispatch(const QString &) override { carriageReturn(); }
    void stringDispatch(char16_t, const QString &) override { carriageReturn(); }
};
