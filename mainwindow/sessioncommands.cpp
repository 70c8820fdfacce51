#include "mainwindow/sessioncommands.h"

#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "ui/groupdialogs.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/sessionroad.h"
#include "mainwindow/sessiontree.h"
#include "mainwindow/statusbar.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminalview.h"

#include <QMessageBox>
#include <QSettings>

#include <memory>

namespace {
SessionStore &store()
{
    return SessionStore::instance();
}

// The sessions of the list a session lives in: its group, or the top level.
QList<SessionInfo> listOf(const QString &group)
{
    if (group.isEmpty())
        return store().ungrouped();
    for (const SessionGroup &g : store().groups()) {
        if (g.name == group)
            return g.sessions;
    }
    return {};
}

void copyPrefix(QSettings *settings, const QString &from, const QString &to)
{
    const QStringList keys = settings->allKeys();
    for (const QString &key : keys) {
        if (key.startsWith(from, Qt::CaseSensitive))
            settings->setValue(to + key.mid(from.size()), settings->value(key));
    }
    settings->sync();
}
} // namespace

SessionCommands::SessionCommands(SessionHub *hub, SessionRoad *road) : QObject(hub), hub(hub), road(road) {}

void SessionCommands::retitleTab(const QString &id) const
{
    const std::optional<SessionInfo> info = store().findSession(id);
    if (!info || !hub->terminalArea()->view(id))
        return;
    hub->terminalArea()->setTabTitle(id, info->name);
    // The bar names the tab in front; another tab's new name waits for its turn.
    const TerminalView *front = hub->terminalArea()->currentView();
    if (hub->statusBar() && front && front->id() == id)
        showInStatusBar(hub->statusBar(), id);
}

void SessionCommands::newSession(const QString &group)
{
    if (!hub->dialogs.runWizard)
        return;
    const std::optional<NewSessionResult> result = hub->dialogs.runWizard(hub->window(), group, false);
    if (!result)
        return;
    if (!result->saveToTree) {
        if (result->connectNow)
            road->openQuickSession(*result);
        return;
    }
    const QString id = road->saveNewSession(*result);
    if (id.isEmpty() || !result->connectNow)
        return;
    store().setCurrentSessionId(id);
    road->connectSession(id);
}

void SessionCommands::copySessionSettings(QSettings *settings, QSettings *native, const QString &from,
                                          const QString &to)
{
    const QString fromPrefix = QStringLiteral("session/%1/").arg(from);
    const QString toPrefix = QStringLiteral("session/%1/").arg(to);
    copyPrefix(settings, fromPrefix, toPrefix);
    if (native && native->fileName() != settings->fileName())
        copyPrefix(native, fromPrefix, toPrefix);
}

void SessionCommands::cloneSession(const QString &id)
{
    const std::optional<SessionInfo> source = store().findSession(id);
    if (!source)
        return;
    QStringList taken;
    for (const SessionInfo &s : listOf(source->group)) {
        if (s.type == source->type)
            taken << s.name;
    }
    const QString name = SessionStore::numberedName(source->name, taken);
    const SerialParams serial = source->serialParams();
    const QString newId = store().addSession(name, source->type, source->group, source->host, source->port, serial);
    if (!newId.isEmpty()) {
        const std::unique_ptr<QSettings> native(AppSettings::openNativeStore());
        copySessionSettings(AppSettings::instance().settings(), native.get(), id, newId);
    }
    hub->sessionTree()->refresh();
    if (newId.isEmpty())
        return;
    hub->showLine(id, LanguageManager::tr(QStringLiteral("已克隆会话：%1 → %2"))
                            .arg(source->name.toHtmlEscaped(), name.toHtmlEscaped()));
}

void SessionCommands::renameSession(const QString &id)
{
    const std::optional<SessionInfo> session = store().findSession(id);
    if (!session)
        return;
    RenameSessionDialog dialog(session->name, hub->window());
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString text = dialog.name();
    if (text.isEmpty() || text == session->name)
        return;
    store().renameSession(id, text);
    hub->sessionTree()->refresh();
    retitleTab(id);
}

bool SessionCommands::deleteSession(const QString &id)
{
    const std::optional<SessionInfo> session = store().findSession(id);
    DeleteConfirmDialog dialog(hub->window());
    dialog.setTarget(session ? session->name : id, false, 0);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    store().removeSession(id);
    hub->sessionTree()->refresh();
    return true;
}

void SessionCommands::sessionOptions(const QString &id)
{
    const std::optional<SessionInfo> session = store().findSession(id);
    if (!session || !hub->dialogs.runSessionOptions)
        return;
    // Apply and OK both write the record.
    const auto apply = [this, id](const SessionInfo &record) {
        if (!store().updateSession(record)) {
            QMessageBox::warning(hub->window(), LanguageManager::tr(QStringLiteral("会话选项")),
                                 LanguageManager::tr(QStringLiteral("保存失败：目标分组内已存在同名同协议的会话。")));
            return false;
        }
        hub->sessionTree()->refresh();
        retitleTab(id);
        const QList<TerminalView *> views = hub->terminalArea()->findChildren<TerminalView *>();
        for (TerminalView *view : views) {
            if (view->id() == id)
                view->loadSessionSettings(id);
        }
        return true;
    };
    hub->dialogs.runSessionOptions(hub->window(), *session, apply);
}

void SessionCommands::globalOptions()
{
    if (hub->dialogs.runGlobalOptions)
        hub->dialogs.runGlobalOptions(hub->window());
    // Accepted or not: what the dialog saved on the way takes effect now.
    const QList<TerminalView *> views = hub->terminalArea()->findChildren<TerminalView *>();
    for (TerminalView *view : views)
        view->loadFont(view->id());
}

void SessionCommands::newGroup()
{
    NewGroupDialog dialog(hub->window());
    if (dialog.exec() != QDialog::Accepted || dialog.groupName().isEmpty())
        return;
    store().addGroup(dialog.groupName());
    hub->sessionTree()->refresh();
}

void SessionCommands::renameGroup(const QString &group)
{
    RenameGroupDialog dialog(group, hub->window());
    if (dialog.exec() != QDialog::Accepted || dialog.groupName().isEmpty() || dialog.groupName() == group)
        return;
    store().renameGroup(group, dialog.groupName());
    hub->sessionTree()->refresh();
}

void SessionCommands::deleteGroup(const QString &group)
{
    const QList<SessionInfo> sessions = group.isEmpty() ? QList<SessionInfo>() : listOf(group);
    DeleteConfirmDialog dialog(hub->window());
    dialog.setTarget(group, true, int(sessions.size()));
    if (dialog.exec() != QDialog::Accepted)
        return;
    store().removeGroup(group);
    hub->sessionTree()->refresh();
    // A moved session may have been numbered to keep its name unique.
    for (const SessionInfo &s : sessions)
        retitleTab(s.id);
}

void SessionCommands::showInStatusBar(StatusBar *bar, const QString &id)
{
    const std::optional<SessionInfo> session = store().findSession(id);
    bar->setHost(session ? session->name : QString());
    bar->setInfoText(session ? session->type : QString());
    bar->setConnectionState(session ? session->status : QString());
}
