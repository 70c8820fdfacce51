// The quick-command strip in the command window's header: the group filter,
// one button per stored quick command, and each button's own menu.
#include "commands/commandwindow.h"

#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "resources/stylesheet.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QMenu>
#include <QPushButton>
#include <QTextDocument>

using Lm = LanguageManager;

namespace {
// Item data of the filter's first entry: no group label can start with U+0001.
const QString allGroupsKey = QStringLiteral("\x01" "all");

// A caption longer than this is shortened on its button; the tool tip keeps
// it whole.
constexpr int captionWidth = 180;
constexpr int tipLength = 300;

QString buttonStyleSheet(const QString &color)
{
    static const struct {
        const char *key, *rgb;
    } stripes[] = {{"red", "#f44747"}, {"green", "#4ec9b0"}, {"yellow", "#dcdcaa"}, {"blue", "#007acc"}};
    QString sheet = QStringLiteral("QPushButton{background-color:#2d2d30;border:1px solid #3e3e42;color:#cccccc;"
                                   "padding:2px 8px;border-radius:3px;font-size:11px;text-align:left;"
                                   "white-space:nowrap;}");
    for (const auto &stripe : stripes)
        if (color == QLatin1String(stripe.key))
            sheet += QStringLiteral("QPushButton{border-left:3px solid %1;}").arg(QLatin1String(stripe.rgb));
    return sheet + QStringLiteral("QPushButton:hover{background-color:#3e3e42;}");
}

// A button names a script when its command ends in one of these, exactly.
bool isScript(const QString &command)
{
    return command.endsWith(QLatin1String(".vbs")) || command.endsWith(QLatin1String(".py"));
}
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
            // The caption is the user's text: an '&' shows as itself, not as
            // a mnemonic, and a long one is cut short.
            QString caption = fontMetrics().elidedText(entry.text, Qt::ElideRight, captionWidth);
            auto *button = new QPushButton(caption.replace(QLatin1Char('&'), QStringLiteral("&&")), buttonStrip);
            button->setCursor(Qt::PointingHandCursor);
            button->setFocusPolicy(Qt::NoFocus);
            button->setStyleSheet(buttonStyleSheet(entry.color));
            const QString command = entry.command;
            QString tip = command.left(tipLength);
            if (command.size() > tipLength)
                tip += QStringLiteral("…");
            button->setToolTip(Qt::convertFromPlainText(tip));
            const bool script = isScript(command);
            connect(button, &QPushButton::clicked, this, [this, command, script] {
                if (script)
                    emit buttonScript(command);
                else
                    emit buttonCommand(command);
            });
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
