#include "ui/pasteguard.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace {

bool nothingIn(QClipboard::Mode mode)
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData(mode);
    return !data || data->formats().isEmpty();
}

// The viewport of a text edit, where a middle click pastes the X11 selection.
bool isTextEditViewport(QObject *watched)
{
    auto *viewport = static_cast<QWidget *>(watched);
    auto *edit = qobject_cast<QAbstractScrollArea *>(viewport->parentWidget());
    return edit && edit->viewport() == viewport && (qobject_cast<QPlainTextEdit *>(edit) || qobject_cast<QTextEdit *>(edit));
}

} // namespace

void EmptyPasteGuard::install(QApplication &app)
{
    if (!app.findChild<EmptyPasteGuard *>(QString(), Qt::FindDirectChildrenOnly))
        app.installEventFilter(new EmptyPasteGuard(&app));
}

bool EmptyPasteGuard::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if ((type != QEvent::KeyPress && type != QEvent::MouseButtonRelease) || !watched->isWidgetType())
        return false;
    if (type == QEvent::MouseButtonRelease)
        return static_cast<QMouseEvent *>(event)->button() == Qt::MiddleButton && isTextEditViewport(watched)
               && QGuiApplication::clipboard()->supportsSelection() && nothingIn(QClipboard::Selection);
    const auto *key = static_cast<QKeyEvent *>(event);
    if (!key->matches(QKeySequence::Paste))
        return false;
    // Ctrl+Shift+Insert pastes the X11 selection, the other keys the clipboard.
    const bool selection = QGuiApplication::clipboard()->supportsSelection() && key->key() == Qt::Key_Insert
                           && key->modifiers() == (Qt::ControlModifier | Qt::ShiftModifier);
    return nothingIn(selection ? QClipboard::Selection : QClipboard::Clipboard);
}
