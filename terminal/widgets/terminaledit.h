#pragma once

#include "commands/completiongatherer.h"
#include "terminal/keyinput.h"

#include <QPlainTextEdit>
#include <QTimer>

#include <QMenu>
class CommandCompleterPopup;
class TerminalView;

// The terminal screen: a text edit whose keyboard, input method and paste go
// to the session as bytes instead of into the document (unless local echo is
// on). The document is drawn by the view's engine.
class TerminalEdit : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit TerminalEdit(const QString &id, QWidget *parent = nullptr);

    TerminalView *parentView() const;
    void hideCompletion();

    // Inline completion: the candidates of the tab's session are gathered
    // afresh and ranked against the typed line after a pause in typing, and
    // shown below the end of the text. A row picked there sends only what
    // is missing of it; what was typed stays as the remote side has it.
    void updateCompletion();
    void rebuildCompletions();
    void acceptCompletion(const QString &text);
    CommandCompleterPopup *completionPopup() const { return popup; }

    QString id;
    // The session's input flags and the typed line; the view fills them in.
    KeyInput keys;
    QString lastQuery;
    QTimer completionTimer;
    CompletionEngine completionEngine;

signals:
    void sendInput(const QString &id, const QByteArray &data);
    void viewContextMenuRequested(const QString &id, QMenu *menu, const QPoint &globalPos);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;
    // The selection as text, the rows of a wrapped line joined.
    QMimeData *createMimeDataFromSelection() const override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    // Carries out an action; base runs the edit's own handling of the event.
    template<typename Base>
    void carryOut(const KeyAction &action, QEvent *event, Base base);
    void readScreenModes();
    void writeWaitingLines();
    int lastCharBytes() const;

    CommandCompleterPopup *popup = nullptr;
    // What the engine's candidates were gathered from.
    CompletionInputs gatheredFrom;
    bool gathered = false;
};
