#include "commands/buttonbar.h"

#include "commands/quickcommandbutton.h"
#include "core/sessionstore.h"
#include "resources/stylesheet.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

ButtonBar::ButtonBar(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("buttonBar"));
    setContextMenuPolicy(Qt::DefaultContextMenu);
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    scrollArea = new QScrollArea(this);
    scrollArea->setWidgetResizable(true);
    scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea->setStyleSheet(
        QStringLiteral("QScrollArea{background:#252526;border-top:1px solid #3e3e42;border:none;}"));
    scrollArea->setFrameShape(QFrame::NoFrame);
    root->addWidget(scrollArea, 1);
    rebuild();
    setFixedHeight(34);
}

void ButtonBar::rebuild()
{
    auto *next = new QWidget;
    next->setStyleSheet(QStringLiteral("background:#252526;"));
    auto *layout = new QHBoxLayout(next);
    layout->setContentsMargins(10, 4, 10, 4);
    layout->setSpacing(4);
    auto *label = new QLabel(QStringLiteral("分组:"), next);
    label->setStyleSheet(QStringLiteral("color:#858585;font-size:11px;"));
    layout->addWidget(label);

    const QList<ButtonGroup> groups = SessionStore::instance().buttonGroups();
    groupBox = new QComboBox(next);
    groupBox->setMinimumWidth(100);
    groupBox->setStyleSheet(quickcommand::groupBoxStyleSheet());
    groupBox->addItem(QStringLiteral("全部"));
    for (const ButtonGroup &group : groups)
        groupBox->addItem(group.label);
    if (!groupFilter.isEmpty()) {
        const int index = groupBox->findText(groupFilter, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (index >= 0)
            groupBox->setCurrentIndex(index);
    }
    // Connected only now, so that selecting the kept filter does not rebuild.
    connect(groupBox, &QComboBox::currentTextChanged, this, [this](const QString &text) {
        groupFilter = text == QStringLiteral("全部") ? QString() : text;
        rebuild();
    });
    layout->addWidget(groupBox);

    bool first = true;
    for (const ButtonGroup &group : groups) {
        if (!groupFilter.isEmpty() && group.label != groupFilter)
            continue;
        if (!first)
            layout->addSpacing(10);
        first = false;
        for (const ButtonCommand &entry : group.buttons)
            layout->addWidget(quickcommand::makeButton(entry, next, this));
    }
    layout->addStretch();

    // A change of the group box rebuilds from within that box's own
    // notification: the strip holding it goes once control is back in the
    // event loop.
    if (QWidget *old = scrollArea->takeWidget())
        old->deleteLater();
    scrollArea->setWidget(next);
    strip = next;
}

void ButtonBar::contextMenuEvent(QContextMenuEvent *event)
{
    QString group = groupFilter;
    if (group.isEmpty()) {
        const QList<ButtonGroup> groups = SessionStore::instance().buttonGroups();
        if (!groups.isEmpty())
            group = groups.first().label;
    }
    auto *menu = new QMenu(this);
    menu->setStyleSheet(QString::fromUtf8(appStyleSheet));
    menu->addAction(QStringLiteral("添加分组"), this, [this] { emit addGroupRequested(); });
    menu->addAction(QStringLiteral("添加命令"), this, [this, group] { emit addCommandRequested(group); });
    connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
    menu->popup(event->globalPos());
}
