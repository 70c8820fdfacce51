#include "terminal/terminalengine.h"

#include "core/debuglog.h"
#include "terminal/wrappedlines.h"

#include <QElapsedTimer>
#include <QScopedValueRollback>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextDocumentFragment>

TerminalEngine::TerminalEngine(QTextDocument *doc, QObject *parent)
    : QObject(parent), document(doc), renderer(doc, this)
{
    drainTimer.setSingleShot(true);
    drainTimer.setInterval(0);
    connect(&drainTimer, &QTimer::timeout, this, &TerminalEngine::drainReceived);
}

TerminalEngine::~TerminalEngine() = default;

void TerminalEngine::applySettings(const TerminalSettings &settings)
{
    // A character cut between two reads cannot go on in another encoding.
    if (settings.encoding != decoder.encoding)
        decoder.decodeCarry.clear();
    decoder.encoding = settings.encoding;
    renderer.setEraseEcho(settings.bs08);
    setScrollbackLimit(settings.scrollback);
    if (settings.hexMonitor != current.hexMonitor)
        hexOffset = 0;
    current = settings;
}

void TerminalEngine::setHexMonitor(bool on)
{
    current.hexMonitor = on;
    hexOffset = 0;
}

void TerminalEngine::appendData(const QByteArray &bytes)
{
    if (debugLogEnabled()) {
        debugLog(QStringLiteral("[sess=%1] RX %2B: %3%4")
                     .arg(sessionId, QString::number(bytes.size()),
                          QString::fromLatin1(bytes.left(512).toHex(' ').toUpper()),
                          bytes.size() > 512 ? QStringLiteral(" ...") : QString()));
    }
    const qsizetype lost = rxBuffer.append(bytes);
    if (lost > 0) {
        dropped += lost;
        const qint64 kb = (lost + 1023) / 1024;
        appendHtml(QStringLiteral("<span style='color:#d7ba7d'>⚠ 接收缓冲溢出，已丢弃最早的 %1 KB 数据</span>").arg(kb));
    }
    // An echo or a prompt is drawn at once, not a turn of the event loop
    // later; bytes that come while a step is due join it, and a flood goes
    // on in steps from the timer. A frame waiting for its end is drained
    // further at once.
    if (!drainTimer.isActive() && !inDrain && rxBuffer.size() <= ReceiveBuffer::SliceSize) {
        drainReceived();
        return;
    }
    if (!drainTimer.isActive() || drainTimer.interval() > 0)
        drainTimer.start(0);
    emit pendingChanged(rxBuffer.size());
}

void TerminalEngine::drainReceived()
{
    if (rxBuffer.isEmpty()) {
        if (renderer.hasWaitingText()) {
            QTextCursor batch(document);
            batch.beginEditBlock();
            commitFrame();
            batch.endEditBlock();
        }
        return;
    }
    const QScopedValueRollback<bool> draining(inDrain, true);
    QElapsedTimer spent;
    spent.start();
    // The slices of one step form one edit of the document: it announces
    // the change, sizes itself and trims its scroll-back once, not per slice.
    QTextCursor batch(document);
    batch.beginEditBlock();
    const bool hadGrid = bool(gridPtr);
    // Lines of a flood reach the document once per frame, and only those
    // that the scroll-back keeps; the HEX monitor below and every consumer
    // of the session's bytes (they get them before this view) see all.
    if (!sinceFrame.isValid())
        sinceFrame.start();
    renderer.holdAppends(true);
    do {
        const QByteArray slice = rxBuffer.takeSlice();
        if (current.hexMonitor)
            hexDump(QStringLiteral("RX"), slice);
        receiveText(decoder.decodeReceived(slice));
    } while (drainBudget > 0 && !rxBuffer.isEmpty() && bool(gridPtr) == hadGrid
             && spent.elapsed() < drainBudget && renderer.waitingLines() <= MaxWaitingLines);
    // A few lines (an echo, a prompt) go in at once; a flood waits for the
    // end of its frame even when the buffer runs dry between two reads, but
    // never for more than MaxWaitingLines lines, which would stall the view
    // when they go in.
    const int waiting = renderer.waitingLines();
    if (sinceFrame.elapsed() >= frameInterval || waiting > MaxWaitingLines || (rxBuffer.isEmpty() && waiting < FloodLines))
        commitFrame();
    else if (rxBuffer.isEmpty())
        drainTimer.start(int(frameInterval - sinceFrame.elapsed()));
    batch.endEditBlock();
    if (!rxBuffer.isEmpty())
        drainTimer.start(0);
    logUnhandled();
    emit pendingChanged(rxBuffer.size());
}

// What a renderer read and dropped tells why a program's screen looks wrong.
void TerminalEngine::logUnhandled()
{
    if (!debugLogEnabled())
        return;
    const qint64 line = renderer.unhandledSequences();
    const qint64 grid = gridPtr ? gridPtr->unhandledSequences() : 0;
    if (line == loggedLine && grid == loggedGrid)
        return;
    debugLog(QStringLiteral("[sess=%1] sequences dropped so far: %2 in line mode, %3 on the screen grid")
                 .arg(sessionId, QString::number(line), QString::number(grid)));
    loggedLine = line;
    loggedGrid = grid;
}

void TerminalEngine::commitFrame()
{
    renderer.holdAppends(false);
    trimScrollback(document);
    sinceFrame.start();
}

void TerminalEngine::receiveText(const QString &text)
{
    if (text.isEmpty())
        return;
    if (gridPtr) {
        const QString back = feedGrid(text);
        if (!back.isNull())
            renderer.appendText(back);
    } else {
        renderer.appendText(text);
    }
}

// Feeds the grid; when the program left the alternate screen, returns the
// text that followed (never null then, possibly empty), else a null text.
QString TerminalEngine::feedGrid(const QString &text)
{
    const QString back = gridPtr->feed(text);
    if (gridPtr->leftAltScreen) {
        leaveAltScreen();
        return back.isEmpty() ? QString() : back;
    }
    emit gridRenderRequested();
    return QString();
}

QString TerminalEngine::enterGridWith(const QString &rest)
{
    enterAltScreen();
    if (rest.isEmpty()) {
        emit gridRenderRequested();
        return QString();
    }
    return feedGrid(rest);
}

void TerminalEngine::hexDump(const QString &direction, const QByteArray &bytes)
{
    if (!hexDocument || bytes.isEmpty())
        return;
    const QString html = hexDumpHtml(direction, bytes, hexOffset);
    hexOffset += bytes.size();
    QTextCursor c(hexDocument);
    c.setPosition(hexDocument->characterCount() - 1); // a move would lay out the first line
    // One block per dump line (HTML line breaks would make one ever-growing
    // block), so that the scroll-back limit trims the monitor too.
    // The dump's blanks stay only inside its pre-formatted span, which each
    // line gets on its own.
    static const QString pre = QStringLiteral("<span style='white-space:pre'>");
    static const QString close = QStringLiteral("</span>");
    const QString body = html.mid(pre.size(), html.size() - pre.size() - close.size());
    c.beginEditBlock();
    for (const QString &line : body.split(QStringLiteral("<br/>"), Qt::SkipEmptyParts)) {
        c.insertHtml(pre + line + close);
        c.insertBlock(QTextBlockFormat(), QTextCharFormat());
    }
    trimScrollback(hexDocument);
    c.endEditBlock();
}

// Removes the oldest lines beyond the scroll-back limit in one edit. The
// document's own limit would do the same, but finds the cut by moving a
// cursor block by block, which lays out every line it passes.
void TerminalEngine::trimScrollback(QTextDocument *doc)
{
    if (!doc || scrollbackLimit <= 0 || doc->blockCount() <= scrollbackLimit)
        return;
    const QTextBlock keep = doc->findBlockByNumber(doc->blockCount() - scrollbackLimit);
    QTextCursor c(doc);
    c.setPosition(keep.position(), QTextCursor::KeepAnchor);
    c.removeSelectedText();
}

void TerminalEngine::appendHtml(const QString &html)
{
    commitFrame(); // what was received before the line goes before it
    QTextDocument *target = gridPtr && altDoc ? altDoc.get() : document;
    QTextCursor c(target);
    c.setPosition(target->characterCount() - 1);
    if (!c.block().text().isEmpty())
        c.insertBlock();
    wrappedlines::markContinues(c.block(), false);
    c.insertHtml(html);
    c.insertBlock();
    trimScrollback(target);
    if (!gridPtr && !selectingWithMouse())
        emit cursorMoved(c);
    // The host's text goes on after the line, where the cursor is drawn,
    // even when the host had moved its cursor up before it.
    renderer.col = 1;
    if (!gridPtr) {
        renderer.rowBack = 0;
        renderer.invalidateRowCache();
    }
}

void TerminalEngine::enterAltScreen()
{
    if (gridPtr)
        return;
    gridPtr = std::make_unique<ScreenGrid>(cols > 0 ? cols : 80, rows > 0 ? rows : 24, &modes);
    gridPtr->reply = [this](const QByteArray &bytes) { emit sendInput(bytes); };
    // One terminal, two renderers: the character sets go on across the
    // switch, and are those that leaving by CSI ? 1049 l restores.
    gridPtr->charsets = gridPtr->savedCharsets = renderer.charsets;
    altDoc.reset(document->clone());
    document->clear();
    renderer.col = 1;
    renderer.rowBack = 0;
    renderer.resetAttributes();
    renderer.invalidateRowCache();
    emit altScreenChanged(true);
}

void TerminalEngine::leaveAltScreen()
{
    if (!gridPtr)
        return;
    renderer.charsets = gridPtr->charsets;
    gridPtr.reset();
    document->clear();
    if (altDoc) {
        QTextCursor c(document);
        c.insertFragment(QTextDocumentFragment(altDoc.get()));
        // A fragment carries the text, not the marks of wrapped rows.
        for (QTextBlock from = altDoc->firstBlock(), to = document->firstBlock(); from.isValid() && to.isValid();
             from = from.next(), to = to.next())
            wrappedlines::markContinues(to, wrappedlines::continuesAbove(from));
        altDoc.reset();
    }
    renderer.col = 1;
    renderer.rowBack = 0;
    renderer.resetAttributes();
    renderer.invalidateRowCache();
    // The window may have changed its width while the program ran.
    renderer.reflow();
    emit altScreenChanged(false);
}

void TerminalEngine::setLineWrap(int columns)
{
    renderer.columns = std::max(0, columns);
    // The grid has the document while it runs; line mode's lines wait.
    if (!gridPtr)
        renderer.reflow();
}

void TerminalEngine::setTerminalSize(int c, int r)
{
    cols = c;
    rows = r;
    setLineWrap(c);
    if (gridPtr) {
        gridPtr->resize(c, r);
        emit gridRenderRequested();
    }
}

void TerminalEngine::clear()
{
    // What has come is drawn first: the line kept is the one the session
    // left the cursor on, and no byte of it is lost.
    while (hasPendingData())
        drainReceived();
    drainTimer.stop();
    if (hexDocument)
        hexDocument->clear();
    hexOffset = 0;
    // A program's screen is its own, and the program cannot know it was
    // blanked: it stays as drawn. What lies under it goes, so that the
    // program's end shows a clean view.
    if (gridPtr) {
        if (altDoc)
            altDoc->clear();
        return;
    }
    // Whatever the stream left open (an unfinished string swallowing the
    // text, a line-drawing set, a pen) ends here; the shell's prompt and the
    // command typed stay where the shell left them, and it goes on there.
    renderer.resetParser();
    renderer.resetAttributes();
    renderer.keepCursorLine();
}

void TerminalEngine::beginConnection()
{
    while (hasPendingData())
        drainReceived();
    drainTimer.stop();
    // A shell started on the grid of a program that died would draw its
    // lines on that program's screen, and take pastes and keys in its modes.
    leaveAltScreen();
    modes.reset();
    renderer.resetParser();
    decoder.decodeCarry.clear();
    renderer.resetAttributes();
    renderer.forgetErasedEcho();
}

void TerminalEngine::placeViewCursor(const QTextCursor &cursor)
{
    emit cursorMoved(cursor);
}

bool TerminalEngine::selectingWithMouse() const
{
    return !mouseUp && mouseButtons && (mouseButtons() & Qt::LeftButton);
}

QList<HighlightRange> TerminalEngine::highlightRanges(const QString &text)
{
    return ::highlightRanges(current.highlightRules, current.highlight, text);
}
