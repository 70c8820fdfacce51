#include "terminal/widgets/terminaledit.h"

#include "commands/commandcompleterpopup.h"
#include "commands/commandhistory.h"
#include "commands/completiongatherer.h"
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "terminal/terminalengine.h"
#include "terminal/wrappedlines.h"
#include "terminal/widgets/terminalview.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QTextBlock>

TerminalEdit::TerminalEdit(const QString &sessionId, QWidget *parent)
    : QPlainTextEdit(parent), id(sessionId)
{
    completionTimer.setSingleShot(true);
    completionTimer.setInterval(120);
    completionEngine.maxResults = 10;
    popup = new CommandCompleterPopup(this);
    connect(popup, &CommandCompleterPopup::activated, this, &TerminalEdit::acceptCompletion);
    connect(&completionTimer, &QTimer::timeout, this, &TerminalEdit::updateCompletion);
}

TerminalView *TerminalEdit::parentView() const
{
    for (QWidget *w = parentWidget(); w; w = w->parentWidget()) {
        if (auto *view = qobject_cast<TerminalView *>(w))
            return view;
    }
    return nullptr;
}

void TerminalEdit::hideCompletion()
{
    popup->hidePopup();
    lastQuery.clear();
}

void TerminalEdit::rebuildCompletions()
{
    // Runs on every pause in typing: with a long PATH, gathering and merging
    // anew each time would cost more than the ranking itself.
    CompletionInputs inputs = completionInputs(id, commandHistoryRegistry().history(id));
    if (gathered && inputs == gatheredFrom)
        return;
    completionEngine.setCandidates(gatherCompletionCandidates(inputs));
    gatheredFrom = std::move(inputs);
    gathered = true;
}

void TerminalEdit::updateCompletion()
{
    rebuildCompletions();
    QString query;
    if (!keys.hexActive && !keys.altScreenActive && !keys.composing) {
        const QString prompt = document()->lastBlock().text().toLower();
        if (!prompt.contains(u"password") && !prompt.contains(u"passphrase"))
            query = keys.typedLine;
    }
    if (query.isEmpty()) {
        hideCompletion();
        return;
    }
    if (query == lastQuery && popup->isVisible())
        return;
    lastQuery = query;
    const QVector<CompletionCandidate> results = completionEngine.rank(query);
    if (results.isEmpty()) {
        hideCompletion();
        return;
    }
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    const QRect at = cursorRect(end);
    popup->showCandidates(results, viewport()->mapToGlobal(QPoint(at.left(), at.bottom() + 2)), at.height() + 2);
}

void TerminalEdit::acceptCompletion(const QString &text)
{
    completionTimer.stop();
    // A row shows only the start of a very long suggestion; what it did not
    // show is not sent.
    const bool seenWhole = text.size() <= CommandCompleterPopup::MaxShownChars;
    const QString insertion = seenWhole ? completionInsertion(keys.typedLine, text) : QString();
    // The typed line follows what the remote line now holds: a completion
    // of a later word of the row added only that word's tail.
    keys.typedLine += insertion;
    hideCompletion();
    if (insertion.isEmpty())
        return;
    // With local echo the line on screen is ours: it shows the insertion as
    // it shows typed keys, or it would lag behind the line the remote holds.
    if (keys.localEcho) {
        writeWaitingLines();
        moveCursor(QTextCursor::End);
        insertPlainText(insertion);
    }
    emit sendInput(id, insertion.toUtf8());
}

void TerminalEdit::readScreenModes()
{
    const TerminalView *view = parentView();
    keys.modes = view ? view->engine()->inputModes() : nullptr;
}

// The UTF-8 length of what a Backspace erases on the remote line: the
// character left of the terminal's cursor, which is not the document's last
// one once the user moved along the line.
int TerminalEdit::lastCharBytes() const
{
    const TerminalView *view = parentView();
    return view && !keys.altScreenActive ? view->engine()->bytesBeforeCursor() : 1;
}

// A flood's lines wait for the end of their frame before they enter the
// document; they came before what is echoed now, so they go in first.
void TerminalEdit::writeWaitingLines()
{
    if (TerminalView *view = parentView())
        view->engine()->writeWaitingLines();
}

template<typename Base>
void TerminalEdit::carryOut(const KeyAction &a, QEvent *event, Base base)
{
    if (!a.handled) {
        base();
        return;
    }
    if (a.moveToEnd || a.applyLocally)
        writeWaitingLines();
    if (a.moveToEnd)
        moveCursor(QTextCursor::End);
    if (a.applyLocally)
        base();
    if (a.eraseEcho >= 0) {
        if (TerminalView *view = parentView())
            view->engine()->expectErasedEcho(a.eraseEcho);
    }
    if (a.hideCompletion)
        hideCompletion();
    if (a.restartCompletion)
        completionTimer.start();
    event->accept();
    if (!a.bytes.isEmpty())
        emit sendInput(id, a.bytes);
}

void TerminalEdit::keyPressEvent(QKeyEvent *e)
{
    // Escape belongs to the popup while it is shown, not to the session.
    if (e->key() == Qt::Key_Escape && popup->isVisible()) {
        hideCompletion();
        e->accept();
        return;
    }
    if (e->matches(QKeySequence::Copy) && textCursor().hasSelection()) {
        copy();
        e->accept();
        return;
    }
    if (e->matches(QKeySequence::Paste)) {
        if (keys.localEcho) {
            writeWaitingLines();
            moveCursor(QTextCursor::End);
        }
        paste();
        e->accept();
        return;
    }
    readScreenModes();
    const KeyAction a = keys.keyPress(e->key(), e->modifiers(), e->text(),
                                      e->key() == Qt::Key_Backspace ? lastCharBytes() : 1);
    carryOut(a, e, [&] { QPlainTextEdit::keyPressEvent(e); });
}

void TerminalEdit::inputMethodEvent(QInputMethodEvent *e)
{
    const KeyAction a = keys.inputMethod(e->commitString(), e->preeditString());
    carryOut(a, e, [&] { QPlainTextEdit::inputMethodEvent(e); });
}

void TerminalEdit::insertFromMimeData(const QMimeData *source)
{
    // An empty clipboard hands over no data at all; the edit's own handling
    // would read it. Without text there is nothing to send either.
    if (!source || !source->hasText())
        return;
    readScreenModes();
    const KeyAction a = keys.paste(source->text());
    if (a.applyLocally) {
        writeWaitingLines();
        QPlainTextEdit::insertFromMimeData(source);
    }
    if (!a.bytes.isEmpty())
        emit sendInput(id, a.bytes);
}

QMimeData *TerminalEdit::createMimeDataFromSelection() const
{
    const QTextCursor c = textCursor();
    auto *data = new QMimeData;
    data->setText(wrappedlines::joinedText(document(), c.selectionStart(), c.selectionEnd()));
    return data;
}

void TerminalEdit::contextMenuEvent(QContextMenuEvent *e)
{
    QMenu *menu = createStandardContextMenu(e->pos());
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (QAction *act : menu->actions()) {
        const QString name = act->objectName();
        if (name == u"edit-undo" || name == u"edit-redo" || name == u"edit-cut" || name == u"edit-delete") {
            menu->removeAction(act);
            act->deleteLater();
        } else if (name == u"edit-copy") {
            act->setText(LanguageManager::tr(QStringLiteral("复制")));
        } else if (name == u"edit-paste") {
            act->setText(LanguageManager::tr(QStringLiteral("粘贴")));
        } else if (name == u"select-all") {
            act->setText(LanguageManager::tr(QStringLiteral("全选")));
        }
    }
    // Whoever listens adds entries and shows the menu; when nobody did, the
    // edit shows it as it is.
    bool shown = false;
    connect(menu, &QMenu::aboutToShow, this, [&shown] { shown = true; });
    QPointer<QMenu> guard(menu);
    emit viewContextMenuRequested(id, menu, e->globalPos());
    if (guard) {
        disconnect(menu, &QMenu::aboutToShow, this, nullptr);
        if (!shown)
            menu->popup(e->globalPos());
    }
}

void TerminalEdit::wheelEvent(QWheelEvent *e)
{
    if (!(e->modifiers() & Qt::ControlModifier)) {
        QPlainTextEdit::wheelEvent(e);
        return;
    }
    const int steps = e->angleDelta().y() / 120;
    if (steps == 0) {
        QPlainTextEdit::wheelEvent(e);
        return;
    }
    const int size = qBound(6, document()->defaultFont().pixelSize() + steps, 48);
    if (TerminalView *view = parentView())
        view->applyFont(view->fontFamily(), size);
    AppSettings::instance().setValue(QStringLiteral("session/%1/term/fontSize").arg(id), size);
    AppSettings::instance().sync();
    e->accept();
}

void TerminalEdit::focusOutEvent(QFocusEvent *e)
{
    // As in the command window: the list of a line no longer typed into
    // stood over the dialog, menu or pane that took the keys, and a pending
    // pause in typing brought it back there.
    completionTimer.stop();
    hideCompletion();
    QPlainTextEdit::focusOutEvent(e);
}
