#include "mainwindow/sessionroad.h"

#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/sessionopener.h"
#include "mainwindow/sessiontree.h"
#include "mainwindow/statusbar.h"
#include "mainwindow/sshsignin.h"
#include "mainwindow/statuslines.h"
#include "commands/commandwindow.h"
#include "terminal/widgets/terminalarea.h"

#include <QMessageBox>

namespace {
// Numbers of quick-connect sessions: never reused while the program runs.
qint32 quickConnectCounter = 0;

TabSessionInfo tabOf(const SessionInfo &info)
{
    return TabSessionInfo{info.id, info.name, info.type, info.host, info.port, info.serialParams()};
}

} // namespace

SessionRoad::SessionRoad(SessionHub *hub) : QObject(hub), hub(hub), opener(new SessionOpener(hub)) {}

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
    if (hub->commandWindow())
        hub->commandWindow()->rebuildCompletions();
    showSessionPlaceholder(tabOf(*info), info->status);
}

void SessionRoad::showSessionPlaceholder(const TabSessionInfo &tab, const QString &status)
{
    SessionStore::instance().setCurrentSessionId(tab.id);
    OpenSession *session = hub->ensure(tab);
    session->setTab(tab);
    connect(session, &OpenSession::reopenRequested, this, &SessionRoad::connectSession, Qt::UniqueConnection);
    hub->terminalArea()->addTerminal(tab.id, tab.name, status, placeholderHint(tab.type, tab.name));
    if (StatusBar *bar = hub->statusBar()) {
        bar->setHost(tab.name);
        bar->setInfoText(tab.type);
        bar->setConnectionState(status);
    }
}

void SessionRoad::connectSession(const QString &id)
{
    if (const std::optional<SessionInfo> info = SessionStore::instance().findSession(id)) {
        activate(id);
        openSession(id, *info);
        return;
    }
    if (const OpenSession *session = hub->session(id); session && id.startsWith(QLatin1String("fast:"))) {
        const TabSessionInfo tab = session->tab();
        SessionInfo info = makeSessionInfo(tab.name, tab.type, tab.host, tab.port, tab.serial, QString());
        info.id = id;
        openSession(id, info);
        return;
    }
    hub->showLine(id, statusLine(StatusColor::error, LanguageManager::tr(QStringLiteral("⚠ 会话不存在，无法连接"))));
}

void SessionRoad::openOrShow(const QString &id)
{
    const OpenSession *session = hub->session(id);
    const bool live = session && (session->isOpen() || session->isConnecting());
    if (live && hub->terminalArea()->view(id))
        activate(id);
    else
        connectSession(id);
}

void SessionRoad::openSession(const QString &id, const SessionInfo &info)
{
    const QString &type = info.type;
    OpenSession *session = hub->ensure(tabOf(info));
    bool opened = false;
    QString state = QStringLiteral("connecting");
    if (type == u"serial") {
        opened = opener->openSerial(session, info);
        state = QStringLiteral("connected");
    } else if (type == u"ssh") {
        opened = opener->openSsh(session, info);
    } else if (type == u"telnet" || type == u"raw") {
        opened = opener->openTelnet(session, info, type == u"telnet");
    } else if (type == u"rlogin") {
        opened = opener->openRlogin(session, info);
    } else if (type == u"local") {
        opened = opener->openLocalShell(session, info);
    }
    hub->showState(id, opened ? state : QStringLiteral("disconnected"));
}

void SessionRoad::quickConnect()
{
    if (!hub->dialogs.runWizard)
        return; // no wizard yet: as if cancelled
    const std::optional<NewSessionResult> result = hub->dialogs.runWizard(hub->window(), QString(), true);
    if (!result)
        return;
    if (!result->saveToTree) {
        openQuickSession(*result);
        return;
    }
    const QString newId = saveNewSession(*result);
    if (newId.isEmpty())
        return;
    SessionStore::instance().setCurrentSessionId(newId);
    connectSession(newId);
}

QString SessionRoad::saveNewSession(const NewSessionResult &result)
{
    const QString id = SessionStore::instance().addSession(result.name, result.type, result.group, result.host,
                                                           result.port, result.serial);
    if (id.isEmpty()) {
        // Opened anyway, it would look saved until the next start.
        QMessageBox box(QMessageBox::Warning, LanguageManager::tr(QStringLiteral("新建会话")),
                        result.name.isEmpty()
                            ? LanguageManager::tr(QStringLiteral("保存失败：会话名称不能为空。"))
                            : LanguageManager::tr(QStringLiteral("保存失败：目标分组内已存在同名同协议的会话。")),
                        QMessageBox::Ok, hub->window());
        box.exec();
        return id;
    }
    SshSignIn::rememberUser(id, result.user);
    if (result.type == u"ssh")
        SshSignIn::rememberAuth(id, result.auth);
    if (hub->sessionTree())
        hub->sessionTree()->refresh();
    return id;
}

void SessionRoad::openQuickSession(const NewSessionResult &result)
{
    const QString id = QStringLiteral("fast:%1").arg(++quickConnectCounter);
    SessionInfo info = makeSessionInfo(result.name, result.type, result.host, result.port, result.serial, QString());
    info.id = id;
    info.icon = QStringLiteral("⚡");
    SshSignIn::rememberUser(id, result.user);
    if (result.type == u"ssh")
        SshSignIn::rememberAuth(id, result.auth);
    showSessionPlaceholder(tabOf(info), info.status);
    openSession(id, info);
}
