#include "mainwindow/focusreturn.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <QWindow>

#include <utility>

namespace {
void activate(QWidget *window)
{
    // Straight to the platform window: the widget's own call is skipped while
    // the hidden dialog, a transient of this window, still counts as focused.
    if (QWindow *handle = window->windowHandle())
        handle->requestActivate();
}
} // namespace

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
            activate(m_main);
        return false;
    }
    // Only a window that held the keyboard hands it on; popups, tool tips
    // and the completion list never hold it. The application has let go of
    // it by now; the platform tells later. A modal dialog asked for it when
    // it opened, and may close before the answer came.
    const bool held = window == QApplication::activeWindow() || window->isModal()
                      || (window->windowHandle() && window->windowHandle() == QGuiApplication::focusWindow());
    if (window == m_main || !held)
        return false;
    // Done now, not after the hide has settled: a window shown right after
    // (the next dialog, a panel opened from it) asks for the focus later and
    // so keeps it.
    QWidget *to = opener(window);
    if (QWidget *modal = QApplication::activeModalWidget(); modal && modal != window && modal->isVisible())
        to = modal;
    if (to->isVisible() && !to->isMinimized())
        activate(to);
    return false;
}
