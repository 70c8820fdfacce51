#include "terminal/widgets/terminalarea.h"

#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QStackedWidget>
#include <QTabBar>
#include <QVBoxLayout>

TerminalArea::TerminalArea(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto *header = new QWidget(this);
    header->setStyleSheet(QStringLiteral("background-color:#252526;border-bottom:1px solid #3e3e42;"));
    auto *headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(0, 0, 0, 0);
    headerLayout->setSpacing(0);

    tabBar = new QTabBar(header);
    tabBar->setTabsClosable(true);
    tabBar->setMovable(false);
    tabBar->setExpanding(false);
    tabBar->setDrawBase(false);
    tabBar->setElideMode(Qt::ElideRight);
    tabBar->setFixedHeight(34);
    tabBar->setContextMenuPolicy(Qt::CustomContextMenu);
    tabBar->setStyleSheet(QStringLiteral(
        "QTabBar{background:transparent;}QTabBar::tab{background:#2d2d30;color:#cccccc;padding:5px 8px 5px 8px;"
        "border:1px solid #3e3e42;border-bottom:none;border-top:2px solid transparent;border-top-left-radius:3px;"
        "border-top-right-radius:3px;margin-right:2px;}QTabBar::tab:selected{background:#1e1e1e;color:#ffffff;"
        "border-top:2px solid #007acc;}QTabBar::close-button{subcontrol-position:right;subcontrol-origin:padding;"
        "top:1px;}QTabBar QToolButton{background:transparent;}"));
    headerLayout->addWidget(tabBar, 1);
    headerLayout->addSpacing(6);

    stack = new QStackedWidget(this);
    stack->setStyleSheet(QStringLiteral("QStackedWidget{background-color:#1e1e1e;}"));
    layout->addWidget(header, 0);
    layout->addWidget(stack, 1);

    connect(tabBar, &QTabBar::tabCloseRequested, this, [this](int i) {
        if (i >= 0 && i < ids.size())
            emit tabClosed(ids.at(i));
    });
    connect(tabBar, &QTabBar::currentChanged, this, &TerminalArea::currentChanged);
    connect(tabBar, &QTabBar::customContextMenuRequested, this, [this](const QPoint &p) {
        const int i = tabBar->tabAt(p);
        if (i >= 0 && i < ids.size())
            emit tabContextMenuRequested(ids.at(i), tabBar->mapToGlobal(p));
    });
}

QIcon TerminalArea::stateIcon(const QString &status)
{
    QColor colour(0x85, 0x85, 0x85);
    if (status == u"connected")
        colour = QColor(0x4e, 0xc9, 0xb0);
    else if (status == u"connecting")
        colour = QColor(0xdc, 0xdc, 0xaa);
    else if (status == u"disconnected")
        colour = QColor(0xf4, 0x47, 0x47);
    QPixmap pm(10, 10);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(1, 1, 8, 8);
    return QIcon(pm);
}

TerminalView *TerminalArea::view(const QString &id) const
{
    const int i = int(ids.indexOf(id));
    return i < 0 ? nullptr : qobject_cast<TerminalView *>(stack->widget(i));
}

TerminalView *TerminalArea::currentView() const
{
    return qobject_cast<TerminalView *>(stack->currentWidget());
}

void TerminalArea::currentChanged(int i)
{
    if (i < 0 || i >= ids.size())
        return;
    stack->setCurrentIndex(i);
    if (QWidget *w = stack->widget(i))
        w->setFocus();
    emit tabActivated(ids.at(i));
}

void TerminalArea::addTerminal(const QString &id, const QString &title, const QString &status, const QString &html)
{
    int i = int(ids.indexOf(id));
    if (i < 0) {
        auto *v = new TerminalView(id, title, this);
        connect(v, &TerminalView::sendInput, this, &TerminalArea::inputSent);
        connect(v, &TerminalView::replyReady, this, &TerminalArea::replySent);
        connect(v, &TerminalView::viewContextMenuRequested, this, &TerminalArea::viewContextMenuRequested);
        connect(v, &TerminalView::sizeChanged, this, &TerminalArea::terminalResized);
        connect(v, &TerminalView::readPauseRequested, this, &TerminalArea::readPauseRequested);
        if (!html.isEmpty())
            v->appendHtml(html);
        stack->addWidget(v);
        i = tabBar->addTab(stateIcon(status), title);
        tabBar->setTabToolTip(i, title);
        ids.append(id);
    }
    tabBar->setCurrentIndex(i);
    // The first tab is current from its addition on, before its id is known
    // here: no change of tab gives it the keys.
    stack->widget(i)->setFocus();
}

void TerminalArea::appendData(const QString &id, const QByteArray &bytes)
{
    if (TerminalView *v = view(id))
        v->appendData(bytes);
}

void TerminalArea::appendHtml(const QString &id, const QString &html)
{
    if (TerminalView *v = view(id))
        v->appendHtml(html);
}

void TerminalArea::clearTerminal(const QString &id)
{
    if (TerminalView *v = view(id))
        v->clear();
}

void TerminalArea::attachRemoteDirTree(const QString &id, const SshConnectParams &params)
{
    if (TerminalView *v = view(id))
        v->attachRemoteDirTree(params);
}

void TerminalArea::closeTab(const QString &id)
{
    const int i = int(ids.indexOf(id));
    if (i < 0)
        return;
    QWidget *v = stack->widget(i);
    stack->removeWidget(v);
    // Received data may still be queued for the view; it goes once the
    // events in flight have been delivered.
    v->hide();
    v->deleteLater();
    ids.removeAt(i);
    tabBar->removeTab(i);
}

void TerminalArea::setTabTitle(const QString &id, const QString &title)
{
    const int i = int(ids.indexOf(id));
    if (i < 0)
        return;
    tabBar->setTabText(i, title);
    tabBar->setTabToolTip(i, title);
    view(id)->title = title;
}

void TerminalArea::setTabStatus(const QString &id, const QString &status)
{
    const int i = int(ids.indexOf(id));
    if (i >= 0)
        tabBar->setTabIcon(i, stateIcon(status));
}

bool TerminalArea::toggleHexMonitor(const QString &id)
{
    TerminalView *v = view(id);
    if (!v)
        return false;
    v->setHexMonitor(!v->hexMonitorOn());
    return v->hexMonitorOn();
}

void TerminalArea::clearCurrent()
{
    if (TerminalView *v = currentView())
        v->clear();
}

void TerminalArea::copyCurrent()
{
    if (TerminalView *v = currentView())
        v->terminalEdit()->copy();
}

void TerminalArea::pasteCurrent()
{
    if (TerminalView *v = currentView())
        v->terminalEdit()->paste();
}

void TerminalArea::selectAllCurrent()
{
    if (TerminalView *v = currentView())
        v->selectAll();
}

void TerminalArea::findInCurrent()
{
    if (TerminalView *v = currentView())
        v->findText();
}

void TerminalArea::printCurrent()
{
    if (TerminalView *v = currentView())
        v->printAll();
}

void TerminalArea::printScreenCurrent()
{
    if (TerminalView *v = currentView())
        v->printScreen();
}

void TerminalArea::pageSetupCurrent()
{
    if (TerminalView *v = currentView())
        v->pageSetup();
}
