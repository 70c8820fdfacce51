#pragma once

#include <QObject>

class QWidget;

// Gives the keyboard to the main window when it first shows, and back to the
// window a dialog was opened from when the dialog goes. A window manager does
// both; on an X server without one nobody does: the focus falls to no window,
// and keys then reach the last focused widget with no window shortcut looked
// at, so the menu bar's Alt+letter went to the host as Meta after any dialog
// until the user clicked into the window.
class FocusReturn : public QObject
{
public:
    explicit FocusReturn(QWidget *mainWindow);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The nearest shown window the dialog was opened from; the main window
    // for a dialog of no window.
    QWidget *opener(const QWidget *dialog) const;

    QWidget *m_main;
    bool m_shown = false;
};
