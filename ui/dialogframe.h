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

// margin < 0: no body, the caller fills `outer` itself.
DialogFrame frameDialog(QDialog *dialog, const QString &title, int margin = -1, int spacing = 0);

// OK (captioned okText) and Cancel, wired to accept and reject.
QDialogButtonBox *dialogButtons(QDialog *dialog, const QString &okText);
