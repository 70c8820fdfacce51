#include "commands/commandwindowcompletion.h"

#include "commands/commandcompleterpopup.h"
#include "commands/commandwindow.h"
#include "core/sessionstore.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QPlainTextEdit>

CommandWindowCompletion::CommandWindowCompletion(CommandWindow *owner)
    : QObject(owner), window(owner), completerPopup(new CommandCompleterPopup(owner))
{
    QPlainTextEdit *input = window->inputEditor();
    connect(input, &QPlainTextEdit::textChanged, this, [this, input] {
        completionGatherer.setWalkingHistory(window->isWalkingHistory());
        completionGatherer.setText(input->toPlainText());
    });
    connect(window->hexBox(), &QCheckBox::toggled, &completionGatherer, &CompletionGatherer::setHex);
    completionGatherer.setHex(window->hexBox()->isChecked());
    connect(&completionGatherer, &CompletionGatherer::showRequested, this, &CommandWindowCompletion::show);
    connect(&completionGatherer, &CompletionGatherer::hideRequested, completerPopup, &CommandCompleterPopup::hidePopup);
    // A click on a row takes it, as Tab or Return would.
    connect(completerPopup, &CommandCompleterPopup::activated, this, &CommandWindowCompletion::take);

    CommandWindow::Completer completer;
    completer.rebuild = [this] {
        completionGatherer.rebuild(SessionStore::instance().currentSessionId(), window->sessionHistory(),
                                   completerPopup->isVisible());
    };
    completer.keyPress = [this](QKeyEvent *e) { return keyPress(e); };
    completer.dismiss = [this] { completerPopup->hidePopup(); };
    window->setCompleter(completer);
}

void CommandWindowCompletion::show(const QVector<CompletionCandidate> &results)
{
    QPlainTextEdit *input = window->inputEditor();
    completerPopup->showCandidates(results, input->mapToGlobal(QPoint(8, input->height())), input->height());
}

void CommandWindowCompletion::take(const QString &text)
{
    if (text.isEmpty()) {
        completerPopup->hidePopup();
        return;
    }
    // Putting the text in the input restarts the pause; accepting after it
    // stops the pause and keeps the same text from being offered again.
    window->takeCompletion(text);
    completionGatherer.accept(text);
    completerPopup->hidePopup();
}

bool CommandWindowCompletion::keyPress(QKeyEvent *e)
{
    if (!completerPopup->isVisible())
        return false;
    const bool plain = e->modifiers() == Qt::NoModifier;
    switch (e->key()) {
    case Qt::Key_Escape:
        completerPopup->hidePopup();
        return true;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        take(completerPopup->currentText());
        return true;
    case Qt::Key_Up:
    case Qt::Key_Down:
        if (!plain)
            return false;
        completerPopup->moveSelection(e->key() == Qt::Key_Up ? -1 : 1);
        return true;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        completerPopup->moveSelection(e->key() == Qt::Key_PageUp ? -5 : 5);
        return true;
    default:
        return false;
    }
}
