#include "mainwindow/buttonactions.h"

#include "commands/commandwindow.h"
#include "mainwindow/opensession.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "mainwindow/sendingactions.h"
#include "mainwindow/sessionhub.h"
#include "ui/boundedtext.h"


#include <algorithm>

namespace {
QStringList buttonGroupLabels()
{
    QStringList labels;
    for (const ButtonGroup &group : SessionStore::instance().buttonGroups())
        labels << group.label;
    return labels;
}
} // namespace

ButtonActions::ButtonActions(SessionHub *hub, SendingActions *sending) : QObject(hub), hub(hub), sending(sending) {}

void ButtonActions::reloadButtons() const
{
    if (hub->commandWindow())
        hub->commandWindow()->reloadButtons();
}

void ButtonActions::buttonCommand(const QString &cmd)
{
    const QString id = SessionStore::instance().currentSessionId();
    OpenSession *session = hub->session(id);
    // Sent as stored: a button that should press Enter ends in "\r".
    if (session && session->isOpen())
        sending->sendCommandText(session, cmd);
    else
        sending->commandSend(QStringLiteral("current"), cmd, false);
}

void ButtonActions::buttonScript(const QString &script)
{
    // The name comes from the button file: plain text, bounded.
    boundedMessage(hub->window(), QMessageBox::Information, LanguageManager::tr(QStringLiteral("运行脚本")),
                   LanguageManager::tr(QStringLiteral("即将运行脚本：%1")).arg(script));
}

void ButtonActions::addButtonGroup()
{
    const std::optional<QString> name = dialogs.askGroupName ? dialogs.askGroupName(hub->window()) : std::nullopt;
    if (!name || name->trimmed().isEmpty())
        return;
    SessionStore::instance().addButtonGroup(name->trimmed());
    reloadButtons();
}

void ButtonActions::addCommand(const QString &defaultGroup)
{
    if (!dialogs.editCommand)
        return;
    QStringList groups = buttonGroupLabels();
    const QString fallback = QStringLiteral("默认");
    if (!groups.contains(fallback))
        groups << fallback;
    const std::optional<CommandEdit> edit =
        dialogs.editCommand(hub->window(), groups, defaultGroup, false, QString(), QString());
    if (!edit || edit->title.isEmpty() || edit->group.isEmpty())
        return;
    SessionStore::instance().addButton(edit->group, ButtonCommand{edit->title, edit->command, QString()});
    reloadButtons();
}

void ButtonActions::editCommand(const QString &group, const QString &title)
{
    if (!dialogs.editCommand)
        return;
    QString command;
    const QList<ButtonGroup> groups = SessionStore::instance().buttonGroups();
    const auto g = std::find_if(groups.cbegin(), groups.cend(), [&](const ButtonGroup &b) { return b.label == group; });
    if (g != groups.cend()) {
        const auto b = std::find_if(g->buttons.cbegin(), g->buttons.cend(),
                                    [&](const ButtonCommand &c) { return c.text == title; });
        if (b != g->buttons.cend())
            command = b->command;
    }
    const std::optional<CommandEdit> edit =
        dialogs.editCommand(hub->window(), buttonGroupLabels(), group, true, title, command);
    if (!edit)
        return;
    // An emptied title removes the button; the colour key is not edited here.
    SessionStore::instance().updateButton(group, title, edit->group, ButtonCommand{edit->title, edit->command, QString()});
    reloadButtons();
}

void ButtonActions::deleteCommand(const QString &group, const QString &title)
{
    SessionStore::instance().removeButton(group, title);
    reloadButtons();
}
