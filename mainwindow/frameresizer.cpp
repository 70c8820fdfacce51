#include "mainwindow/frameresizer.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

Qt::Edges frameEdgesAt(const QPoint &pos, const QSize &size, int border)
{
    Qt::Edges edges;
    if (pos.x() < 0 || pos.y() < 0 || pos.x() >= size.width() || pos.y() >= size.height())
        return edges;
    if (pos.x() < border)
        edges |= Qt::LeftEdge;
    else if (pos.x() >= size.width() - border)
        edges |= Qt::RightEdge;
    if (pos.y() < border)
        edges |= Qt::TopEdge;
    else if (pos.y() >= size.height() - border)
        edges |= Qt::BottomEdge;
    return edges;
}

QRect FrameResizer::resized(const QRect &start, Qt::Edges edges, const QPoint &delta, const QSize &minimum)
{
    QRect r = start;
    if (edges & Qt::LeftEdge)
        r.setLeft(qMin(start.left() + delta.x(), start.right() + 1 - minimum.width()));
    if (edges & Qt::RightEdge)
        r.setRight(qMax(start.right() + delta.x(), start.left() + minimum.width() - 1));
    if (edges & Qt::TopEdge)
        r.setTop(qMin(start.top() + delta.y(), start.bottom() + 1 - minimum.height()));
    if (edges & Qt::BottomEdge)
        r.setBottom(qMax(start.bottom() + delta.y(), start.top() + minimum.height() - 1));
    return r;
}

FrameResizer::FrameResizer(QWidget *window) : QObject(window), window(window)
{
    // Children cover the whole window, so the filter watches every widget's
    // events and maps them to the window.
    qApp->installEventFilter(this);
}

void FrameResizer::updateCursor(Qt::Edges edges)
{
    Qt::CursorShape shape = Qt::ArrowCursor;
    if (edges == (Qt::LeftEdge | Qt::TopEdge) || edges == (Qt::RightEdge | Qt::BottomEdge))
        shape = Qt::SizeFDiagCursor;
    else if (edges == (Qt::RightEdge | Qt::TopEdge) || edges == (Qt::LeftEdge | Qt::BottomEdge))
        shape = Qt::SizeBDiagCursor;
    else if (edges & (Qt::LeftEdge | Qt::RightEdge))
        shape = Qt::SizeHorCursor;
    else if (edges & (Qt::TopEdge | Qt::BottomEdge))
        shape = Qt::SizeVerCursor;
    if (shape == Qt::ArrowCursor) {
        if (cursorSet)
            window->unsetCursor();
        cursorSet = false;
    } else {
        window->setCursor(shape);
        cursorSet = true;
    }
}

bool FrameResizer::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove && type != QEvent::MouseButtonRelease)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || widget->window() != window)
        return false;
    if (window->isMaximized() || window->isFullScreen())
        return false;
    auto *mouse = static_cast<QMouseEvent *>(event);
    const QPoint global = mouse->globalPosition().toPoint();
    const Qt::Edges edges = frameEdgesAt(window->mapFromGlobal(global), window->size());

    if (type == QEvent::MouseButtonPress && mouse->button() == Qt::LeftButton && edges) {
        QWindow *handle = window->windowHandle();
        if (handle && handle->startSystemResize(edges))
            return true;
        pressedEdges = edges;
        pressGlobal = global;
        pressGeometry = window->geometry();
        return true;
    }
    if (type == QEvent::MouseMove) {
        if (pressedEdges && (mouse->buttons() & Qt::LeftButton)) {
            const QSize minimum = window->minimumSizeHint().expandedTo(QSize(400, 300));
            window->setGeometry(resized(pressGeometry, pressedEdges, global - pressGlobal, minimum));
            return true;
        }
        if (!mouse->buttons())
            updateCursor(edges);
        return false;
    }
    if (type == QEvent::MouseButtonRelease && pressedEdges) {
        pressedEdges = {};
        return true;
    }
    return false;
}
