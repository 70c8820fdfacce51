#pragma once

#include "terminal/highlight.h"
#include "terminal/textattributes.h"

#include <QList>
#include <QString>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>

#include <utility>
#include <vector>

class QTextDocument;
struct CsiSequence;

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
};

// The line-mode renderer: writes decoded text into an endless document, one
// block per line, with colours. The cursor is a column (1-based, in display
// cells) on a row counted back from the last block. Understands CR, LF, BS,
// TAB, OSC (skipped) and the CSI finals H f G A B C D J K X m; everything
// else is dropped.
class LineRenderer
{
public:
    static constexpr int MaxPendingEsc = 8192;
    static constexpr int MaxColumn = 1024;
    static constexpr int MaxRowsBack = 256;

    LineRenderer(QTextDocument *document, LineRendererHost *host);
    ~LineRenderer();
    LineRenderer(const LineRenderer &) = delete;
    LineRenderer &operator=(const LineRenderer &) = delete;

    void appendText(const QString &text);
    void resetAttributes();
    // Forgets what is known about the document's rows; the host calls this
    // when it edits the document itself (local echo, status lines).
    void invalidateRowCache() { cache.valid = false; }

    int col = 1;
    int rowBack = 0;
    QString pendingEsc;
    QString pendingCr;
    int skipBs = 0;
    int eraseEchoCount = 0;
    qint64 eraseEchoTime = 0;
    bool bs08 = false;
    TextAttributes lineAttrs;

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
    QTextCursor cursor;
    QTextCharFormat format;
    QString pendingText;
    std::vector<std::pair<int, QTextCharFormat>> formatRuns;
    RowInfo cache;
    bool selfEdit = false;
    bool editing = false;
    // Text (and line ends) appended at the very end of the document, kept
    // back so that a run of plain lines costs one insertion, not one per line.
    // While it holds anything, `cache` describes the last row including it.
    QString appendBuffer;
    QTextCharFormat appendFormat;
    QMetaObject::Connection docWatch;

    QString appendOnce(const QString &text);
    void beginEdit();
    void commitAppend();
    void endEdit();
    QTextBlock currentRowBlock();
    const RowInfo &rowInfo(const QTextBlock &block);
    int indexOfColumn(const QTextBlock &block, int column, int *cellsBefore = nullptr);
    void write(const QString &text, const QTextCharFormat &fmt);
    void writeHighlighted(const QString &text, const QTextCharFormat &fmt);
    void flush();
    void delFromCol(int c);
    void padToCol(int c);
    void moveToColumn(int c);
    void syncCursor();
    void newline();
    void receivedBackspace();
    void eraseToEnd();
    void clearDocument();
    void applyCursorRule();
    bool dispatchCsi(const CsiSequence &seq);
    void updateFormat();
};
