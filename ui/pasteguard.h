#pragma once

#include <QObject>

class QApplication;

// Qt 6.4's QPlainTextEdit and QTextEdit read the first format of the
// clipboard's data without asking whether it has any: a paste key with an
// empty clipboard, or a middle click with an empty X11 selection, crashes
// them. This filter, on the application, swallows the paste keys while the
// clipboard holds nothing, and the middle click on a text edit while the
// selection does, before any text field of any window or dialog sees them;
// with something to paste they go on as usual.
class EmptyPasteGuard : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    // Puts one guard on the application (once, however often it is called).
    static void install(QApplication &app);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
