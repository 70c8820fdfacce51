#include "mainwindow/focusreturn.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <QWindow>

#include <utility>

FocusReturn::FocusReturn(QWidget *mainWindow) : QObject(mainWindow), m_main(mainWindow)
{
    qApp->installEventFilter(this);
}

QWidget *FocusReturn::opener(const QWidget *dialog) const
{
    for (QWidget *p = dialog->parentWidget(); p; p = p->window()->parentWidget()) {
        if (p->window()->isVisible())
            return p->window();
    }
    return m_main;
}

bool FocusReturn::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if ((type != QEvent::Show && type != QEvent::Hide) || !watched->isWidgetType())
        return false;
    auto *window = static_cast<QWidget *>(watched);
    if (!window->isWindow())
        return false;
    if (type == QEvent::Show) {
        if (window == m_main && !std::exchange(m_shown, true))
            m_main->activateWindow();
        return false;
    }
    // A menu gives the keyboard back itself, a tool tip never takes it.
    const Qt::WindowType kind = window->windowType();
    if (window == m_main || kind == Qt::Popup || kind == Qt::ToolTip)
        return false;
    // Only a window that held the keyboard hands it on (the completion list
    // never does). The application has let go of it by now; the platform
    // tells later. A modal dialog asked for it when it opened, and may close
    // before the answer came.
    const bool held = window == QApplication::activeWindow() || window->isModal()
                      || (window->windowHandle() && window->windowHandle() == QGuiApplication::focusWindow());
    if (!held)
        return false;
    // Done now, not after the hide has settled: a window shown right after
    // (the next dialog, a panel opened from it) asks for the focus later and
    // so keeps it.
    QWidget *to = opener(window);
    if (QWidget *modal = QApplication::activeModalWidget(); modal && modal != window && modal->isVisible())
        to = modal;
    if (to->isVisible() && !to->isMinimized())
        to->activateWindow();
    return false;
}
