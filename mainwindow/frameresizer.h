#pragma once

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

// Which edges of a frameless window of the given size a point (in window
// coordinates) lies on: within `border` pixels inside an edge. Empty when the
// point is farther inside or outside the window.
Qt::Edges frameEdgesAt(const QPoint &pos, const QSize &size, int border = 6);

// Lets the user resize a frameless window from its edges. A press near an
// edge is handed to the window system (QWindow::startSystemResize); where it
// declines, the window is resized here from the pointer's moves.
class FrameResizer : public QObject
{
    Q_OBJECT
public:
    explicit FrameResizer(QWidget *window);

    // The geometry of a window resized from `edges` by a pointer move of
    // `delta`, no smaller than `minimum`.
    static QRect resized(const QRect &start, Qt::Edges edges, const QPoint &delta, const QSize &minimum);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateCursor(Qt::Edges edges);

    QWidget *window;
    Qt::Edges pressedEdges;
    QPoint pressGlobal;
    QRect pressGeometry;
    bool cursorSet = false;
};
