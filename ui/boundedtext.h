#pragma once

#include <QMessageBox>
#include <QString>

class QComboBox;
class QWidget;

// A user's text (a session name, a path, a typed command) may run to
// thousands of characters with nowhere to wrap; left alone it widens the
// window holding it past the screen, buttons and all.

// How wide, in pixels, a user's text may show in one line.
constexpr int kUserTextWidth = 300;

// The text cut in the middle to `width` in w's font; when cut, w's tool tip
// carries the whole text, otherwise it is cleared.
QString boundedText(QWidget *w, const QString &text, int width = kUserTextWidth);

// The combo keeps its width whatever its items; the current item's whole
// text is the tool tip.
void boundComboWidth(QComboBox *combo);

// Puts text (plain, never markup) in the box with every long line cut; the
// whole text then sits in the details.
void setBoundedMessage(QMessageBox &box, const QString &text);

// QMessageBox's static helpers with a bounded text: returns the button pressed.
QMessageBox::StandardButton boundedMessage(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                           const QString &text,
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                           QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
