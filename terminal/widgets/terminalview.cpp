#include "terminal/widgets/terminalview.h"

#include "connections/localshellconnection.h"
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "sftp/widgets/remotedirtree.h"
#include "sftp/widgets/transferpanel.h"
#include "terminal/palette.h"
#include "terminal/terminalengine.h"
#include "terminal/wrappedlines.h"
#include "terminal/widgets/terminaledit.h"
#include "ui/boundedtext.h"

#include <QApplication>
#include <QFontDatabase>
#include <QInputDialog>
#include <QLabel>
#include <QMouseEvent>
#include <QPageSetupDialog>
#include <QPrintDialog>
#include <QPrinter>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlock>
#include <QTextDocumentFragment>
#include <QTextLayout>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

// Wide characters come from a fallback font whose advance is rarely exactly
// two cells of the terminal font; letter spacing makes up the difference so
// that the columns after them stay in line. Only the layout changes, never
// the document. A line is looked at again only when its text changed (its
// revision moved on), so trimming the top of a long buffer costs nothing.
// The revision seen is kept in the block's user data: its user state marks
// wrapped rows (terminal/wrappedlines.h).
class WideCellSpacer : public QObject
{
    struct Seen : QTextBlockUserData
    {
        int revision = 0;
    };

public:
    explicit WideCellSpacer(QTextDocument *document) : QObject(document), doc(document) {}

    QTextDocument *document() const { return active ? doc : nullptr; }
    void start()
    {
        if (active)
            return;
        active = true;
        connect(doc, &QTextDocument::contentsChange, this, &WideCellSpacer::changed);
        redoAll();
    }
    void setMetrics(const QFont &font)
    {
        const QFontMetricsF fm(font);
        format = QTextCharFormat();
        format.setFontLetterSpacingType(QFont::AbsoluteSpacing);
        format.setFontLetterSpacing(2 * fm.horizontalAdvance(QLatin1Char('M')) - fm.horizontalAdvance(QChar(0x4E2D)));
        if (active)
            redoAll();
    }

private:
    void redoAll()
    {
        for (QTextBlock b = doc->firstBlock(); b.isValid(); b = b.next())
            apply(b, true);
    }
    void changed(int from, int, int added)
    {
        if (busy)
            return;
        const QTextBlock last = doc->findBlock(from + added);
        for (QTextBlock b = doc->findBlock(from); b.isValid(); b = b.next()) {
            apply(b, false);
            if (b == last)
                break;
        }
    }
    void apply(QTextBlock b, bool force)
    {
        auto *seen = static_cast<Seen *>(b.userData());
        if (!seen) {
            seen = new Seen;
            b.setUserData(seen);
        } else if (!force && seen->revision == b.revision()) {
            return;
        }
        seen->revision = b.revision();
        const QString text = b.text();
        QList<QTextLayout::FormatRange> ranges;
        const QChar *u = text.constData();
        const int n = int(text.size());
        for (int i = 0; i < n;) {
            if (u[i].unicode() < 0x1100) {
                ++i;
                continue;
            }
            int j = i;
            while (j < n && unitWidth(u[j].unicode(), j + 1 < n ? u[j + 1].unicode() : 0) != 1)
                ++j;
            if (j > i)
                ranges.append({i, j - i, format});
            i = j == i ? i + 1 : j;
        }
        QTextLayout *layout = b.layout();
        if (ranges.isEmpty() && layout->formats().isEmpty())
            return;
        layout->setFormats(ranges);
        busy = true;
        doc->markContentsDirty(b.position(), b.length());
        busy = false;
    }

    QTextDocument *doc;
    QTextCharFormat format;
    bool active = false;
    bool busy = false;
};

namespace {

const char *const kEditStyle = "QPlainTextEdit{background-color:#1e1e1e;border:none;color:#ffffff;padding:8px;%1}";

QString settingsKey(const QString &id, const char *name)
{
    return QStringLiteral("session/%1/%2").arg(id, QLatin1String(name));
}

// The configured family when this system has it, else the monospace font
// that every installation here carries.
QString installedFamily(const QString &wanted)
{
    static const QStringList families = QFontDatabase::families();
    return families.contains(wanted, Qt::CaseInsensitive) ? wanted : QStringLiteral("DejaVu Sans Mono");
}

} // namespace

TerminalView::TerminalView(const QString &id, const QString &t, QWidget *parent)
    : QWidget(parent), title(t), sessionId(id)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setHandleWidth(1);
    splitter->setStyleSheet(QStringLiteral("QSplitter::handle{background:#3e3e42;}"));
    layout->addWidget(splitter);

    edit = new TerminalEdit(id, this);
    edit->setAttribute(Qt::WA_InputMethodEnabled);
    setFocusProxy(edit);
    edit->setReadOnly(false);
    edit->setUndoRedoEnabled(false);
    // The cursor is drawn as a block over the character it stands on.
    edit->setOverwriteMode(true);
    // A terminal breaks a long line at the last column, not between words.
    edit->setWordWrapMode(QTextOption::WrapAnywhere);
    edit->setStyleSheet(QString::fromLatin1(kEditStyle).arg(QString()));
    // The scroll bar keeps its place whether there is anything to scroll or
    // not, and nothing scrolls sideways (rows wrap or fit): the viewport, and
    // with it the size in cells, changes only when the view does. A bar that
    // came and went would resize the program on the screen each time.
    edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    splitter->addWidget(edit);

    hexPane = new QWidget(this);
    auto *hexLayout = new QVBoxLayout(hexPane);
    hexLayout->setContentsMargins(0, 0, 0, 0);
    hexLayout->setSpacing(0);
    hexLabel = new QLabel(LanguageManager::tr(QStringLiteral("HEX 监控   <font color='#55ff7f'>RX 收</font>  /  "))
                              + LanguageManager::tr(QStringLiteral("<font color='#569cd6'>TX 发</font>")),
                          hexPane);
    hexLabel->setStyleSheet(QStringLiteral("QLabel{background:#252526;color:#cccccc;padding:4px 8px;"
                                           "border-bottom:1px solid #3e3e42;font-size:12px;}"));
    hexLabel->setFixedHeight(26);
    hexText = new QPlainTextEdit(hexPane);
    hexText->setReadOnly(true);
    hexText->setFocusPolicy(Qt::NoFocus);
    hexText->setUndoRedoEnabled(false);
    hexText->setStyleSheet(
        QStringLiteral("QPlainTextEdit{background-color:#1a1a1a;border:none;color:#d0d0d0;padding:6px;}"));
    hexLayout->addWidget(hexLabel, 0);
    hexLayout->addWidget(hexText, 1);
    splitter->addWidget(hexPane);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    hexPane->hide();

    term = new TerminalEngine(edit->document(), this);
    term->setSessionId(id);
    term->setHexDocument(hexText->document());
    term->mouseButtons = [] { return QGuiApplication::mouseButtons(); };
    spacer = new WideCellSpacer(edit->document());
    connect(term, &TerminalEngine::sendInput, this, [this](const QByteArray &b) { emit replyReady(sessionId, b); });
    // A flood is drawn once per turn of the event loop: the engine drains
    // for a few milliseconds, and the cursor and the grid are placed and drawn
    // once at the end.
    term->setDrainBudget(DrainBudget);
    term->setFrameInterval(FrameInterval);
    term->setMaxRowCells(MaxRowCells);
    frameTimer.setSingleShot(true);
    frameTimer.setInterval(0);
    connect(&frameTimer, &QTimer::timeout, this, &TerminalView::endFrame);
    connect(term, &TerminalEngine::cursorMoved, this, [this](const QTextCursor &c) {
        pendingCursor = c;
        frameTimer.start();
    });
    connect(term, &TerminalEngine::gridRenderRequested, this, [this] {
        gridPending = true;
        frameTimer.start();
    });
    connect(term, &TerminalEngine::altScreenChanged, this, &TerminalView::altScreenChanged);
    // What the document shows of the grid is known only while nobody else
    // edits it (local echo, a fresh grid).
    connect(edit->document(), &QTextDocument::contentsChange, this, [this] {
        if (!drawingGrid)
            drawnRows.clear();
    });
    connect(term, &TerminalEngine::pendingChanged, this, [this](qsizetype pending) {
        // The engine reports after each drain step: what the step drew is
        // shown now, without a further turn of the event loop.
        if (frameTimer.isActive()) {
            frameTimer.stop();
            endFrame();
        }
        if (readPaused ? pending < ResumeBelow : pending > PauseAbove) {
            readPaused = !readPaused;
            emit readPauseRequested(sessionId, readPaused);
        }
    });

    sizeTimer.setSingleShot(true);
    connect(&sizeTimer, &QTimer::timeout, this, &TerminalView::reportSize);

    loadSessionSettings(id);

    connect(edit, &TerminalEdit::sendInput, this, &TerminalView::sendTyped);
    connect(edit, &TerminalEdit::viewContextMenuRequested, this, &TerminalView::viewContextMenuRequested);
    edit->viewport()->installEventFilter(this);
    edit->installEventFilter(this);
    edit->verticalScrollBar()->installEventFilter(this);
}

TerminalView::~TerminalView()
{
    // The engine and the spacer watch the edit's document: both go first.
    delete spacer;
    delete term;
}

void TerminalView::loadSessionSettings(const QString &id)
{
    AppSettings &s = AppSettings::instance();
    const std::optional<SessionInfo> info = SessionStore::instance().findSession(id);
    const QString type = info ? info->type : QString();
    const bool serialLike = type.isEmpty() || type == u"serial";

    TerminalSettings t;
    t.encoding = s.getString(settingsKey(id, "term/encoding"), QStringLiteral("默认"));

    KeyInput &k = edit->keys;
    k.ptyEcho = false;
    if (serialLike) {
        k.localEcho = s.getBool(settingsKey(id, "term/overrideEcho"),
                                s.getBool(QStringLiteral("display/localEcho"), false));
    } else if (type == u"local") {
        if (LocalShellConnection::isConPtySupported()) {
            k.localEcho = false;
            k.ptyEcho = true;
        } else {
            const QString shell = info->host.toLower();
            k.localEcho = s.getBool(settingsKey(id, "term/overrideEcho"),
                                    shell.contains(u"wsl") || shell.contains(u"bash"));
        }
    } else {
        k.localEcho = false;
    }

    const QString bs = s.getString(settingsKey(id, "term/backspace"), QStringLiteral("默认"));
    k.bs08 = bs == u"BS (0x08)" ? true : bs == u"DEL (0x7F)" ? false : serialLike;
    t.bs08 = k.bs08;

    const QString sb = s.getString(settingsKey(id, "term/scrollback"), QStringLiteral("默认"));
    t.scrollback = sb == u"10000" ? 10000 : sb == u"50000" ? 50000 : 5000;
    scrollbackLines = t.scrollback;

    t.hexMonitor = s.getBool(settingsKey(id, "term/overrideHex"), false);
    k.hexActive = t.hexMonitor;
    hexPane->setVisible(t.hexMonitor);
    t.highlight = s.getBool(settingsKey(id, "term/highlight"), true);
    k.specialKeys = true;
    t.highlightRules = loadHighlightRules(QStringLiteral("session/%1/").arg(id));
    term->applySettings(t);
    loadFont(id);
}

void TerminalView::loadFont(const QString &id)
{
    AppSettings &s = AppSettings::instance();
    const QString globalFamily = s.get(keys::fontFamily);
    const int globalSize = s.get(keys::fontSize);
    applyFont(s.getString(settingsKey(id, "term/fontFamily"), globalFamily),
              s.getInt(settingsKey(id, "term/fontSize"), globalSize));
}

void TerminalView::applyFont(const QString &wanted, int px)
{
    family = installedFamily(wanted);
    pixelSize = px;
    QFont font(family);
    font.setPixelSize(px);
    font.setStyleHint(QFont::TypeWriter);
    edit->setFont(font);
    edit->document()->setDefaultFont(font);
    edit->setStyleSheet(QString::fromLatin1(kEditStyle)
                            .arg(QStringLiteral("font-family:'%1';font-size:%2px;").arg(family, QString::number(px))));
    hexText->setFont(font);
    hexText->document()->setDefaultFont(font);
    if (QTextDocument *alt = term->altDocument())
        alt->setDefaultFont(font);
    const QFontMetricsF fm(font);
    edit->setCursorWidth(qMax(1, int(std::lround(fm.horizontalAdvance(QLatin1Char('M'))))));
    spacer->setMetrics(font);
    updateTerminalSize();
}

// Glyphs advance by fractions of a pixel, but the document puts its lines a
// whole number of pixels apart: the height is that of a laid-out line.
QSizeF TerminalView::cellSize() const
{
    const QFont font = edit->document()->defaultFont();
    QTextLayout layout(QStringLiteral("M"), font);
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    return QSizeF(QFontMetricsF(font).horizontalAdvance(QLatin1Char('M')), line.height());
}

void TerminalView::updateTerminalSize()
{
    QWidget *vp = edit->viewport();
    if (!vp)
        return;
    const QSizeF cell = cellSize();
    const qreal cw = cell.width();
    const qreal ch = cell.height();
    if (cw <= 0 || ch <= 0)
        return;
    // The document keeps a margin inside the viewport on every side.
    const qreal margin = 2 * edit->document()->documentMargin();
    const int c = qMax(1, int((vp->width() - margin) / cw));
    const int r = qMax(1, int((vp->height() - margin) / ch));
    cols = c;
    rows = r;
    reportSize();
}

// Dragging a window edge resizes many times a second; the session hears of
// it at most once per interval, and always of the last size. The screen
// takes a size when the session hears of it, not before: a program draws for
// the size it was told, and a screen of any other size (one the view had for
// a moment) would place its output wrongly, with nothing to redraw it.
void TerminalView::reportSize()
{
    // A hidden view has no size worth telling (one never shown has none at
    // all); it tells its size when it is shown.
    if (!edit->isVisible())
        return;
    if (cols == reportedCols && rows == reportedRows) {
        term->setLineWrap(cols);
        return;
    }
    if (sinceReport.isValid() && sinceReport.elapsed() < SizeReportInterval) {
        if (!sizeTimer.isActive())
            sizeTimer.start(int(SizeReportInterval - sinceReport.elapsed()));
        return;
    }
    reportedCols = cols;
    reportedRows = rows;
    sinceReport.start();
    // The screen first: what the program draws after hearing of the size
    // lands on a screen of that size.
    term->setTerminalSize(cols, rows);
    emit sizeChanged(sessionId, cols, rows);
}

QSize TerminalView::terminalSize()
{
    if (sizeTimer.isActive()) {
        sizeTimer.stop();
        sinceReport.invalidate();
        reportSize();
    }
    return reportedCols > 0 ? QSize(reportedCols, reportedRows) : QSize();
}

bool TerminalView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == edit || watched == edit->viewport() || watched == edit->verticalScrollBar()) {
        const auto type = event->type();
        if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease) {
            if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
                term->mouseUp = type == QEvent::MouseButtonRelease;
        } else if ((type == QEvent::Resize || type == QEvent::Show) && watched == edit->viewport()) {
            updateTerminalSize();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TerminalView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    updateTerminalSize();
}

// The spacer looks at every changed line, which costs a fair share of a
// flood's time: it starts working on the document with the first bytes that
// may carry a wide character, and stays.
void TerminalView::watchForWideText(const char *data, qsizetype size)
{
    if (spacer->document())
        return;
    const uchar first = term->settings().encoding == u"GBK" ? 0x81 : 0xE1;
    const uchar *p = reinterpret_cast<const uchar *>(data);
    if (std::any_of(p, p + size, [first](uchar b) { return b >= first; }))
        spacer->start();
}

void TerminalView::appendData(const QByteArray &bytes)
{
    watchForWideText(bytes.constData(), bytes.size());
    term->appendData(bytes);
}

void TerminalView::appendHtml(const QString &html)
{
    const QByteArray utf8 = html.toUtf8();
    watchForWideText(utf8.constData(), utf8.size());
    term->appendHtml(html);
}

bool TerminalView::hexMonitorOn() const
{
    return term->hexMonitorOn();
}

void TerminalView::setHexMonitor(bool on)
{
    term->setHexMonitor(on);
    if (edit->keys.hexActive != on) {
        edit->keys.hexActive = on;
        if (on) {
            edit->hideCompletion();
            edit->keys.typedLine.clear();
        }
    }
    hexText->clear();
    hexPane->setVisible(on);
    AppSettings::instance().setValue(settingsKey(sessionId, "term/overrideHex"), on);
    AppSettings::instance().sync();
}

void TerminalView::clear()
{
    term->clear();
    edit->keys.altScreenActive = term->grid() != nullptr;
}

void TerminalView::selectAll()
{
    edit->selectAll();
}

void TerminalView::sendTyped(const QString &id, const QByteArray &bytes)
{
    if (term->hexMonitorOn())
        term->hexDump(QStringLiteral("TX"), bytes);
    emit sendInput(id, bytes);
}

void TerminalView::altScreenChanged(bool active)
{
    const bool was = edit->keys.altScreenActive;
    edit->keys.altScreenActive = active;
    if (active) {
        edit->setLineWrapMode(QPlainTextEdit::NoWrap);
        if (!was) {
            edit->hideCompletion();
            edit->keys.typedLine.clear();
        }
        return;
    }
    edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    edit->moveCursor(QTextCursor::End);
    edit->ensureCursorVisible();
}

void TerminalView::endFrame()
{
    // The grid may have come and gone within the frame: then the line-mode
    // cursor is the one to show.
    const bool drawGrid = gridPending && term->grid();
    gridPending = false;
    if (drawGrid) {
        pendingCursor = QTextCursor();
        renderGrid();
    } else if (!pendingCursor.isNull()) {
        edit->setTextCursor(pendingCursor);
        pendingCursor = QTextCursor();
        edit->ensureCursorVisible();
    }
}

namespace {

bool sameRuns(const std::vector<CellRun> &a, const std::vector<CellRun> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const CellRun &x, const CellRun &y) {
        return x.start == y.start && x.end == y.end && cellAttributesEqual(x.attributes, y.attributes);
    });
}

} // namespace

void TerminalView::renderGrid()
{
    ScreenGrid *grid = term->grid();
    if (!grid)
        return;
    QTextDocument *doc = edit->document();
    const int n = grid->rowCount();
    drawingGrid = true;
    const auto done = qScopeGuard([this] { drawingGrid = false; });
    if (drawnRows.size() != size_t(n))
        drawnRows.assign(size_t(n), DrawnRow());
    QTextCursor c(doc);
    c.beginEditBlock();
    // Positions are set, never moved to: a move lays out the line it leaves.
    while (doc->blockCount() < n) {
        c.setPosition(doc->characterCount() - 1);
        c.insertBlock();
    }
    while (doc->blockCount() > n) {
        const QTextBlock prev = doc->lastBlock().previous();
        if (!prev.isValid())
            break;
        c.setPosition(prev.position() + prev.length() - 1);
        c.setPosition(doc->characterCount() - 1, QTextCursor::KeepAnchor);
        c.removeSelectedText();
    }
    if (grid->isDirty()) {
        std::vector<CellRun> runs;
        QTextBlock b = doc->firstBlock();
        for (int y = 0; y < n && b.isValid(); ++y, b = b.next()) {
            // Only rows that the grid changed and that look different are
            // rewritten in the document.
            DrawnRow &drawn = drawnRows[size_t(y)];
            wrappedlines::markContinues(b, grid->rowContinues(y));
            if (drawn.valid && !grid->rowChanged(y))
                continue;
            const QString text = grid->rowText(y, &runs);
            if (drawn.valid && drawn.text == text && sameRuns(drawn.runs, runs))
                continue;
            drawn.text = text;
            drawn.runs = runs;
            drawn.valid = true;
            c.setPosition(b.position());
            c.setPosition(b.position() + b.length() - 1, QTextCursor::KeepAnchor);
            c.removeSelectedText();
            for (const CellRun &run : runs) {
                if (run.end > run.start)
                    c.insertText(text.mid(run.start, run.end - run.start), cellFormat(run.attributes));
            }
        }
        grid->clearDirty();
    }
    c.endEditBlock();

    if (!term->mouseUp && (QGuiApplication::mouseButtons() & Qt::LeftButton))
        return;
    const QTextBlock row = doc->findBlockByNumber(grid->cursorRow);
    if (!row.isValid())
        return;
    QTextCursor at(doc);
    if (grid->cursorVisible) {
        // Trailing blanks are not drawn; the cursor's row gets those up to
        // the cursor, so that the cursor shows in its own column.
        const int offset = grid->textOffset(grid->cursorRow, grid->cursorCol);
        const int pad = offset - (row.length() - 1);
        if (pad > 0) {
            at.setPosition(row.position() + row.length() - 1);
            at.insertText(QString(pad, u' '), cellFormat(TextAttributes()));
            drawnRows[size_t(grid->cursorRow)].valid = false;
        }
        at.setPosition(row.position() + offset);
    } else
        at.movePosition(QTextCursor::End);
    edit->setTextCursor(at);
    edit->ensureCursorVisible();
}

bool TerminalView::find(const QString &text)
{
    QTextDocument *doc = edit->document();
    QTextCursor hit = wrappedlines::findInLines(doc, text, edit->textCursor().selectionEnd());
    if (hit.isNull())
        hit = wrappedlines::findInLines(doc, text, 0);
    if (hit.isNull())
        return false;
    edit->setTextCursor(hit);
    edit->ensureCursorVisible();
    return true;
}

void TerminalView::findText()
{
    bool ok = false;
    const QString find = LanguageManager::tr(QStringLiteral("查找"));
    const QString text = QInputDialog::getText(this, find, LanguageManager::tr(QStringLiteral("输入要查找的文本：")),
                                               QLineEdit::Normal, lastFind, &ok);
    if (!ok || text.isEmpty())
        return;
    lastFind = text;
    if (!this->find(text))
        boundedMessage(this, QMessageBox::Information, find, LanguageManager::tr(QStringLiteral("未找到：%1")).arg(text));
}

QString TerminalView::visibleText() const
{
    QWidget *vp = edit->viewport();
    const int from = edit->cursorForPosition(QPoint(0, 0)).position();
    const int to = edit->cursorForPosition(QPoint(vp->width() - 1, vp->height() - 1)).position();
    return wrappedlines::joinedText(edit->document(), from, to);
}

void TerminalView::printTo(QPrinter *target, bool screenOnly)
{
    QTextDocument doc;
    doc.setDefaultFont(edit->document()->defaultFont());
    doc.setPlainText(screenOnly ? visibleText() : wrappedlines::joinedText(edit->document()));
    doc.print(target);
}

// Page set-up edits the view's own printer, so its choices reach the
// following prints.
void TerminalView::pageSetup()
{
    if (!printer)
        printer = std::make_unique<QPrinter>();
    QPageSetupDialog dialog(printer.get(), this);
    dialog.exec();
}

void TerminalView::printAll()
{
    if (!printer)
        printer = std::make_unique<QPrinter>();
    QPrintDialog dialog(printer.get(), this);
    if (dialog.exec() == QDialog::Accepted)
        printTo(printer.get(), false);
}

void TerminalView::printScreen()
{
    if (!printer)
        printer = std::make_unique<QPrinter>();
    QPrintDialog dialog(printer.get(), this);
    if (dialog.exec() == QDialog::Accepted)
        printTo(printer.get(), true);
}

void TerminalView::attachSidePanels(QWidget *tree, QWidget *panel)
{
    if (remoteTree)
        return;
    remoteTree = tree;
    transferPanel = panel;
    tree->setParent(this);
    splitter->insertWidget(0, tree);
    splitter->setStretchFactor(0, 0);
    tree->show();
    if (panel) {
        panel->setParent(this);
        splitter->addWidget(panel);
        panel->hide();
    }
    QList<int> sizes = splitter->sizes();
    if (sizes.size() < 2 || sizes.at(1) <= 0)
        sizes = {200, 800};
    sizes[0] = 200;
    sizes[1] = qMax(sizes.at(1) - 200, 300);
    splitter->setSizes(sizes);
}

void TerminalView::attachRemoteDirTree(const SshConnectParams &params)
{
    if (!remoteTree) {
        auto *tree = new RemoteDirTree(this);
        auto *panel = new TransferPanel(this);
        // The view makes room first: once the panel has shown itself, the
        // splitter would no longer be asked for space.
        connect(tree, &RemoteDirTree::sigTransferAdded, this, &TerminalView::showTransferPanel);
        connect(tree, &RemoteDirTree::sigTransferAdded, panel, &TransferPanel::addTransfer);
        connect(tree, &RemoteDirTree::sigTransferProgress, panel, &TransferPanel::updateProgress);
        connect(tree, &RemoteDirTree::sigTransferFinished, panel, &TransferPanel::finishTransfer);
        connect(tree, &RemoteDirTree::sigTransferNote, panel, &TransferPanel::noteTransfer);
        attachSidePanels(tree, panel);
    }
    if (auto *tree = qobject_cast<RemoteDirTree *>(remoteTree))
        tree->connectTo(params);
}

void TerminalView::showTransferPanel()
{
    if (!transferPanel || transferPanel->isVisible())
        return;
    transferPanel->show();
    QList<int> sizes = splitter->sizes();
    const int panelIndex = splitter->indexOf(transferPanel);
    for (int i = 1; i < sizes.size(); ++i) {
        if (sizes.at(i) > 560 && panelIndex >= 0) {
            sizes[i] -= 260;
            sizes[panelIndex] += 260;
            break;
        }
    }
    splitter->setSizes(sizes);
}
