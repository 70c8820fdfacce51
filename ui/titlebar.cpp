#include "ui/titlebar.h"

#include "core/languagemanager.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QWindow>

#include <cstdlib>

namespace {

// Movement below this Manhattan distance is a click, not a drag: a click or
// a double-click must neither move nor restore the window.
constexpr int dragThreshold = 4;

// QPointF::toPoint rounds halves away from zero, as the drag arithmetic wants.
QPoint roundedGlobal(const QMouseEvent *event)
{
    return event->globalPosition().toPoint();
}

} // namespace

TitleBar::TitleBar(QWidget *parent, bool maximizable) : QWidget(parent), maximizable(maximizable)
{
    setFixedHeight(34);
    setObjectName(QStringLiteral("titleBar"));
    // A plain QWidget paints a style-sheet background only with this set.
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral("QWidget#titleBar{  background-color:#1e1e1e;  border-bottom:1px solid #3e3e42;}"
                                 "QLabel#titleText{  color:#cccccc; font-weight:600; background:transparent;}"
                                 "QPushButton{  background:transparent; border:none; color:#cccccc;  width:40px; height:30px; font-size:14px;}"
                                 "QPushButton:hover{ background:#3e3e42; }"
                                 "QPushButton#titleCloseBtn:hover{ background:#f44747; color:#ffffff; }"));

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 0, 4, 0);
    layout->setSpacing(2);

    iconLabel = new QLabel(this);
    iconLabel->setPixmap(QIcon(QStringLiteral(":/icons/appicon.ico")).pixmap(20, 20, QIcon::Normal, QIcon::Off));
    iconLabel->setFixedSize(20, 20);
    iconLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    iconLabel->hide();
    layout->addWidget(iconLabel);
    layout->addSpacing(6);

    titleLabel = new QLabel(QStringLiteral("Halvorstead v1.2"), this);
    titleLabel->setObjectName(QStringLiteral("titleText"));
    // A user's text in the title (a session name) must not widen the window:
    // the label takes the room left and elides.
    titleLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(titleLabel, 1);

    minButton = new QPushButton(QStringLiteral("—"), this);
    minButton->setObjectName(QStringLiteral("titleMinBtn"));
    minButton->setToolTip(LanguageManager::tr("最小化"));
    connect(minButton, &QPushButton::clicked, this, [this] { window()->showMinimized(); });
    layout->addWidget(minButton);

    if (maximizable) {
        maxButton = new QPushButton(QStringLiteral("□"), this);
        maxButton->setObjectName(QStringLiteral("titleMaxBtn"));
        maxButton->setToolTip(LanguageManager::tr("最大化"));
        connect(maxButton, &QPushButton::clicked, this, &TitleBar::toggleMaximize);
        layout->addWidget(maxButton);
    }

    closeButton = new QPushButton(QStringLiteral("✕"), this);
    closeButton->setObjectName(QStringLiteral("titleCloseBtn"));
    closeButton->setToolTip(LanguageManager::tr("关闭"));
    connect(closeButton, &QPushButton::clicked, this, [this] { window()->close(); });
    layout->addWidget(closeButton);
    // They stand for the frame's own buttons, which the keyboard never
    // reaches: first in the chain, they took the focus of every window and
    // dialog as it opened, and Space there minimised it.
    for (QPushButton *button : findChildren<QPushButton *>())
        button->setFocusPolicy(Qt::NoFocus);
}

void TitleBar::setTitle(const QString &text)
{
    fullTitle = text;
    showTitle();
}

void TitleBar::showTitle()
{
    const QString shown = titleLabel->fontMetrics().elidedText(fullTitle, Qt::ElideMiddle, titleLabel->width());
    titleLabel->setText(shown);
    setToolTip(shown == fullTitle ? QString() : fullTitle);
}

void TitleBar::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    showTitle();
}

void TitleBar::setIconVisible(bool visible)
{
    iconLabel->setVisible(visible);
}

void TitleBar::toggleMaximize()
{
    QWidget *w = window();
    if (w->isMaximized()) {
        w->showNormal();
        updateMaxButton(false);
    } else {
        w->showMaximized();
        updateMaxButton(true);
    }
}

void TitleBar::updateMaxButton(bool maximized)
{
    if (!maxButton)
        return;
    maxButton->setText(maximized ? QStringLiteral("▣") : QStringLiteral("□"));
    maxButton->setToolTip(maximized ? LanguageManager::tr("还原") : LanguageManager::tr("最大化"));
}

void TitleBar::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        pressPos = roundedGlobal(event);
        dragging = true;
        wasMaximized = window()->isMaximized();
        dragMoved = false;
        dragOffset = pressPos - window()->geometry().topLeft();
    }
    QWidget::mousePressEvent(event);
}

void TitleBar::mouseMoveEvent(QMouseEvent *event)
{
    if (dragging && (event->buttons() & Qt::LeftButton)) {
        const QPoint pos = roundedGlobal(event);
        if (!dragMoved) {
            if (std::abs(pos.x() - pressPos.x()) + std::abs(pos.y() - pressPos.y()) < dragThreshold)
                return;
            dragMoved = true;
            QWidget *w = window();
            if (wasMaximized) {
                w->showNormal();
                updateMaxButton(false);
                dragOffset = pos - w->geometry().topLeft();
            }
            // The window system moves the window from here on (and snaps or
            // tiles it as users expect); the release may then never reach us.
            QWindow *handle = w->windowHandle();
            if (handle && handle->startSystemMove()) {
                dragging = false;
                dragMoved = false;
                QWidget::mouseMoveEvent(event);
                return;
            }
        }
        window()->move(pos - dragOffset);
    }
    QWidget::mouseMoveEvent(event);
}

void TitleBar::mouseReleaseEvent(QMouseEvent *event)
{
    dragging = false;
    dragMoved = false;
    QWidget::mouseReleaseEvent(event);
}

void TitleBar::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && maximizable)
        toggleMaximize();
    QWidget::mouseDoubleClickEvent(event);
}
