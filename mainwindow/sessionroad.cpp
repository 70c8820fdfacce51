#include "mainwindow/sessionroad.h"

#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/sessionopener.h"
#include "mainwindow/sessiontree.h"
#include "mainwindow/statusbar.h"
#include "mainwindow/statuslines.h"
#include "terminal/widgets/terminalarea.h"

namespace {
// Numbers of quick-connect sessions: never reused while the program runs.
qint32 quickConnectCounter = 0;

TabSessionInfo tabOf(const SessionInfo &info)
{
    return TabSessionInfo{info.id, info.name, info.type, info.host, info.port, info.serialParams()};
}

} // namespace

SessionRoad::SessionRoad(SessionHub *hub, SessionOpener *opener) : QObject(hub), hub(hub), opener(opener) {}

QString SessionRoad::placeholderHint(const QString &type, const QString &name)
{
    // Names are the user's: shown as text, never as markup.
    const QString shown = htmlText(name);
    if (type == u"serial")
        return QString();
    if (type == u"ssh")
        return placeholderLine(LanguageManager::tr(QStringLiteral("🌐 SSH 会话 %1 — 点击连接并输入凭证")).arg(shown));
    if (type == u"local")
        return placeholderLine(LanguageManager::tr(QStringLiteral("💻 本地 Shell 会话 %1 — 点击连接")).arg(shown));
    const QString word = type == u"telnet" ? QStringLiteral("Telnet")
        : type == u"rlogin"                ? QStringLiteral("RLogin")
                                           : QStringLiteral("Raw TCP");
    return placeholderLine(LanguageManager::tr(QStringLiteral("🌐 %1 会话 %2 — 点击连接")).arg(word, shown));
}

void SessionRoad::activate(const QString &id)
{
    const std::optional<SessionInfo> info = SessionStore::instance().findSession(id);
    if (!info)
        return;
    if (hub->commandWindow.rebuildCompletions)
        hub->commandWindow.rebuildCompletions();
    showSessionPlaceholder(tabOf(*info), info->status);
}

void SessionRoad::showSessionPlaceholder(const TabSessionInfo &tab, const QString &status)
{
    SessionStore::instance().setCurrentSessionId(tab.id);
    hub->tabSessions.insert(tab.id, tab);
    hub->terminalArea()->addTerminal(tab.id, tab.name, status, placeholderHint(tab.type, tab.name));
    hub->statusBar()->setHost(tab.name);
    hub->statusBar()->setInfoText(tab.type);
    hub->statusBar()->setConnectionState(status);
}

void SessionRoad::connectSession(const QString &id)
{
    if (const std::optional<SessionInfo> info = SessionStore::instance().findSession(id)) {
        activate(id);
        openSession(id, *info);
        return;
    }
    if (id.startsWith(QLatin1String("fast:")) && hub->tabSessions.contains(id)) {
        const TabSessionInfo tab = hub->tabSessions.value(id);
        SessionInfo info = makeSessionInfo(tab.name, tab.type, tab.host, tab.port, tab.serial, QString());
        info.id = id;
        openSession(id, info);
        return;
    }
    hub->appendLine(id,
                    statusLine(StatusColor::error, LanguageManager::tr(QStringLiteral("⚠ 会话不存在，无法连接"))));
}

void SessionRoad::openSession(const QString &id, const SessionInfo &info)
{
    const QString &type = info.type;
    bool opened = false;
    QString state = QStringLiteral("connecting");
    if (type == u"serial") {
        opened = opener->openSerial(id, info);
        state = QStringLiteral("connected");
    } else if (type == u"ssh") {
        opened = opener->openSsh(id, info);
    } else if (type == u"telnet" || type == u"raw") {
        opened = opener->openTelnet(id, info, type == u"telnet");
    } else if (type == u"rlogin") {
        opened = opener->openRlogin(id, info);
    } else if (type == u"local") {
        opened = opener->openLocalShell(id, info);
    }
    hub->publishState(id, opened ? state : QStringLiteral("disconnected"));
}

void SessionRoad::quickConnect()
{
    if (!hub->dialogs.runWizard)
        return; // no wizard yet: as if cancelled
    const std::optional<NewSessionResult> result = hub->dialogs.runWizard(hub->window(), QString(), true);
    if (!result)
        return;
    if (result->saveToTree) {
        const QString newId = SessionStore::instance().addSession(result->name, result->type, result->group,
                                                                  result->host, result->port, result->serial);
        if (newId.isEmpty())
            return;
        hub->sessionTree()->refresh();
        SessionStore::instance().setCurrentSessionId(newId);
        connectSession(newId);
        return;
    }
    openQuickSession(*result);
}

void SessionRoad::openQuickSession(const NewSessionResult &result)
{
    const QString id = QStringLiteral("fast:%1").arg(++quickConnectCounter);
    SessionInfo info = makeSessionInfo(result.name, result.type, result.host, result.port, result.serial, QString());
    info.id = id;
    info.icon = QStringLiteral("⚡");
    showSessionPlaceholder(tabOf(info), info.status);
    openSession(id, info);
}
