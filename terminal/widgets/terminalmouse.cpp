// The mouse of a program that asked for it: clicks, drags and the wheel on
// the terminal become reports in the terminal's input modes instead of a
// selection. Shift held keeps the mouse for selecting text, as terminals do.
#include "terminal/terminalengine.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"

#include <QContextMenuEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QWheelEvent>

#include <algorithm>

namespace {

int buttonCode(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton: return 0;
    case Qt::MiddleButton: return 1;
    case Qt::RightButton: return 2;
    default: return -1;
    }
}

int heldCode(Qt::MouseButtons buttons)
{
    if (buttons & Qt::LeftButton)
        return 0;
    if (buttons & Qt::MiddleButton)
        return 1;
    return buttons & Qt::RightButton ? 2 : 3;
}

} // namespace

// Columns come from the pixel position, rows are those of the screen: the
// grid's, or in line mode the last rows of the document. False for a point
// above them (the scroll-back).
bool TerminalView::cellAt(const QPointF &pos, int *col, int *row) const
{
    const QSizeF cell = cellSize();
    const ScreenGrid *grid = term->grid();
    const int screenCols = grid ? grid->columnCount() : cols;
    const int screenRows = grid ? grid->rowCount() : rows;
    if (cell.width() <= 0 || screenCols <= 0 || screenRows <= 0)
        return false;
    const qreal x = pos.x() - edit->document()->documentMargin() + edit->horizontalScrollBar()->value();
    *col = std::clamp(int(x / cell.width()), 0, screenCols - 1);
    const int top = std::max(0, edit->document()->blockCount() - screenRows);
    *row = edit->cursorForPosition(pos.toPoint()).block().blockNumber() - top;
    return *row >= 0 && *row < screenRows;
}

// True when the event went to the program as a report (or belongs to it).
bool TerminalView::reportMouse(QEvent *event)
{
    const InputModes &modes = *term->inputModes();
    if (!modes.mouseWanted())
        return false;
    using Action = InputModes::MouseAction;
    Action action = Action::Press;
    int button = -1;
    QPointF pos;
    Qt::KeyboardModifiers mods;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove: {
        const auto *e = static_cast<QMouseEvent *>(event);
        mods = e->modifiers();
        pos = e->position();
        if (event->type() == QEvent::MouseMove) {
            action = Action::Motion;
            button = heldCode(e->buttons());
        } else {
            action = event->type() == QEvent::MouseButtonRelease ? Action::Release : Action::Press;
            button = buttonCode(e->button());
        }
        break;
    }
    case QEvent::Wheel: {
        const auto *e = static_cast<QWheelEvent *>(event);
        mods = e->modifiers();
        pos = e->position();
        if (e->angleDelta().y() == 0)
            return false;
        button = e->angleDelta().y() > 0 ? 4 : 5;
        break;
    }
    case QEvent::ContextMenu: {
        // The right button was reported; its menu would cover the program.
        const auto *e = static_cast<QContextMenuEvent *>(event);
        return e->reason() == QContextMenuEvent::Mouse && !(e->modifiers() & Qt::ShiftModifier);
    }
    default: return false;
    }
    if (mods & Qt::ShiftModifier)
        return false;
    int col = 0;
    int row = 0;
    if (!cellAt(pos, &col, &row))
        return false;
    if (button < 0) // a button that no report can name
        return true;
    // Moves within one cell tell the program nothing new.
    if (action == Action::Motion && col == mouseCol && row == mouseRow)
        return true;
    mouseCol = col;
    mouseRow = row;
    const QByteArray bytes = modes.mouseReport(action, button, mods, col, row);
    if (!bytes.isEmpty())
        sendTyped(sessionId, bytes);
    return true;
}
