#include "ui/pasteguard.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMimeData>

void EmptyPasteGuard::install(QApplication &app)
{
    if (!app.findChild<EmptyPasteGuard *>(QString(), Qt::FindDirectChildrenOnly))
        app.installEventFilter(new EmptyPasteGuard(&app));
}

bool EmptyPasteGuard::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType())
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    if (!key->matches(QKeySequence::Paste))
        return false;
    // Ctrl+Shift+Insert pastes the X11 selection, the other keys the clipboard.
    QClipboard *clipboard = QGuiApplication::clipboard();
    const bool selection = clipboard->supportsSelection() && key->key() == Qt::Key_Insert
                           && key->modifiers() == (Qt::ControlModifier | Qt::ShiftModifier);
    const QMimeData *data = clipboard->mimeData(selection ? QClipboard::Selection : QClipboard::Clipboard);
    return !data || data->formats().isEmpty();
}
