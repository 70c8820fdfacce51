#pragma once

#include <QString>

class QDialog;
class QDialogButtonBox;
class QVBoxLayout;
class QWidget;
class TitleBar;

// The frame of the program's own dialogs: no system frame, the program's
// title bar on top (and the same title for the window system).
struct DialogFrame {
    TitleBar *bar = nullptr;
    QVBoxLayout *outer = nullptr;  // holds the bar; the caller adds below it
    QWidget *body = nullptr;       // with a margin given: one body below the bar
    QVBoxLayout *layout = nullptr; // the body's layout
};

// margin < 0: no body, the caller fills `outer` itself. The dialog's Enter
// key follows routeEnterKey.
DialogFrame frameDialog(QDialog *dialog, const QString &title, int margin = -1, int spacing = 0);

// Enter on a focused push button presses that button. Anywhere else it does
// what the focused widget does with it (a text field's returnPressed, say)
// and then presses the dialog's declared default button, if it has one (set
// with setDefault, or a button box's accepting button); a dialog whose
// fields act on Enter declares none. No push button becomes the default by
// its place in the focus chain or by having had the focus, as Qt's
// autoDefault would make it.
void routeEnterKey(QDialog *dialog);

// OK (captioned okText) and Cancel, wired to accept and reject.
QDialogButtonBox *dialogButtons(QDialog *dialog, const QString &okText);
