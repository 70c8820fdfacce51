#pragma once

#include "commands/completiongatherer.h"

#include <QObject>

class CommandCompleterPopup;
class CommandWindow;
class QKeyEvent;

// Completion in the command window: the input's text goes to a gatherer,
// whose results show in a popup just below the input. The input keeps the
// focus; while the popup is shown Esc closes it, Tab or Return takes the
// current row, Up/Down move by one row and PageUp/PageDown by five.
class CommandWindowCompletion : public QObject
{
    Q_OBJECT
public:
    // Plugs itself into the window, which owns it.
    explicit CommandWindowCompletion(CommandWindow *window);

    CommandCompleterPopup *popup() const { return completerPopup; }
    CompletionGatherer &gatherer() { return completionGatherer; }

private:
    bool keyPress(QKeyEvent *event);
    void show(const QVector<CompletionCandidate> &results);
    void take(const QString &text);

    CommandWindow *window;
    CommandCompleterPopup *completerPopup;
    CompletionGatherer completionGatherer;
};
