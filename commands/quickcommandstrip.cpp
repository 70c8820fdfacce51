// The quick-command strip in the command window's header: the group filter,
// one button per stored quick command, and each button's own menu.
#include "commands/commandwindow.h"
#include "commands/quickcommandbutton.h"

#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "resources/stylesheet.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QMenu>
#include <QPushButton>

using Lm = LanguageManager;

namespace {
// Item data of the filter's first entry: no group label can start with U+0001.
const QString allGroupsKey = QStringLiteral("\x01" "all");
} // namespace

void CommandWindow::refreshGroupCombo()
{
    const QSignalBlocker block(groupCombo);
    groupCombo->clear();
    groupCombo->addItem(Lm::tr(QStringLiteral("全部")), allGroupsKey);
    for (const ButtonGroup &group : SessionStore::instance().buttonGroups())
        groupCombo->addItem(group.label, group.label);
    const int index = groupFilter.isEmpty() ? 0 : groupCombo->findData(groupFilter, Qt::UserRole, Qt::MatchExactly);
    groupCombo->setCurrentIndex(qMax(index, 0));
}

void CommandWindow::onGroupFilterChanged(int index)
{
    const QString key = groupCombo->itemData(index).toString();
    groupFilter = key == allGroupsKey ? QString() : groupCombo->itemText(index);
    rebuildButtons();
}

void CommandWindow::rebuildButtons()
{
    auto *layout = static_cast<QHBoxLayout *>(buttonStrip->layout());
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QWidget *old = item->widget()) {
            old->hide();
            retiredButtons.append(old);
        }
        delete item;
    }
    releaseRetiredButtons();

    int shown = 0;
    for (const ButtonGroup &group : SessionStore::instance().buttonGroups()) {
        if (!groupFilter.isEmpty() && groupFilter != group.label)
            continue;
        for (const ButtonCommand &entry : group.buttons) {
            QPushButton *button = quickcommand::makeButton(entry, buttonStrip, this);
            button->setContextMenuPolicy(Qt::CustomContextMenu);
            const QString label = group.label;
            const QString title = entry.text;
            connect(button, &QPushButton::customContextMenuRequested, this,
                    [this, button, label, title](const QPoint &pos) { showButtonMenu(button, label, title, pos); });
            layout->addWidget(button);
            ++shown;
        }
    }
    layout->addStretch();
    buttonStrip->setVisible(shown > 0);
    rebuildCompletions();
}

void CommandWindow::showButtonMenu(QPushButton *button, const QString &group, const QString &title, const QPoint &pos)
{
    QMenu menu(this);
    menu.setStyleSheet(QString::fromUtf8(appStyleSheet));
    menu.addAction(Lm::tr(QStringLiteral("修改")), this, [this, group, title] { emit editCommandRequested(group, title); });
    menu.addAction(Lm::tr(QStringLiteral("删除")), this,
                   [this, group, title] { emit deleteCommandRequested(group, title); });
    ++buttonMenuDepth;
    menu.exec(button->mapToGlobal(pos));
    --buttonMenuDepth;
    releaseRetiredButtons();
}

// Editing or deleting a button through its own menu rebuilds the strip while
// that button is still delivering its menu request: the old buttons are kept
// until no button menu is open, then released once control is back in the
// loop that dispatched the request.
void CommandWindow::releaseRetiredButtons()
{
    if (buttonMenuDepth > 0)
        return;
    for (QWidget *old : std::as_const(retiredButtons))
        old->deleteLater();
    retiredButtons.clear();
}
