#pragma once

#include <QPoint>
#include <QWidget>

class QLabel;
class QPushButton;

// The title bar of every frameless window: icon, title, minimise, optional
// maximise and close buttons. It acts on whatever top-level window holds it.
// A drag is handed to the window system (QWindow::startSystemMove, which
// works on X11 and Wayland); where the platform declines, the bar moves the
// window itself.
class TitleBar : public QWidget
{
    Q_OBJECT
public:
    explicit TitleBar(QWidget *parent = nullptr, bool maximizable = true);

    void setTitle(const QString &text);
    void setIconVisible(bool visible);
    void toggleMaximize();
    void updateMaxButton(bool maximized);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void showTitle();

    QString fullTitle;
    QLabel *iconLabel = nullptr;
    QLabel *titleLabel = nullptr;
    QPushButton *minButton = nullptr;
    QPushButton *maxButton = nullptr;
    QPushButton *closeButton = nullptr;
    bool dragging = false;
    bool maximizable = false;
    bool dragMoved = false;
    bool wasMaximized = false;
    QPoint dragOffset;
    QPoint pressPos;
};
