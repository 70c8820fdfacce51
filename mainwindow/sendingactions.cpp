#include "mainwindow/sendingactions.h"

#include "connections/connection.h"
#include "core/commandsending.h"
#include "core/languagemanager.h"
#include "mainwindow/opensession.h"
#include "core/sessionstore.h"
#include "mainwindow/sessionhub.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminalview.h"
#include "ui/boundedtext.h"

#include <QPointer>

SendingActions::SendingActions(SessionHub *hub) : QObject(hub), hub(hub) {}

OpenSession *SendingActions::openSession(const QString &id) const
{
    OpenSession *session = hub->session(id);
    return session && session->isOpen() ? session : nullptr;
}

void SendingActions::showUnsent(const QString &tag, const QString &cmd) const
{
    if (TerminalView *view = hub->terminalArea() ? hub->terminalArea()->currentView() : nullptr) {
        view->appendHtml(QStringLiteral("<div><span style='color:#858585'>%1</span> "
                                        "<span style='color:#ffffff'>%2</span></div>")
                             .arg(tag, cmd.toHtmlEscaped()));
    }
}

QStringList SendingActions::targetSessions(const QString &target) const
{
    QStringList ids;
    if (target == QLatin1String("visible")) {
        const TerminalView *view = hub->terminalArea()->currentView();
        if (view && openSession(view->id()))
            ids << view->id();
        return ids;
    }
    const SessionStore &store = SessionStore::instance();
    std::optional<SessionInfo> current;
    if (target == QLatin1String("group")) {
        current = store.findSession(store.currentSessionId());
        // A session that lives only in memory belongs to no group.
        if (!current)
            return ids;
    }
    for (const OpenSession *session : hub->sessions()) {
        if (!session->isOpen())
            continue;
        if (current) {
            const std::optional<SessionInfo> record = store.findSession(session->id());
            if (!record || record->group != current->group)
                continue;
        }
        ids << session->id();
    }
    return ids;
}

void SendingActions::commandSend(const QString &target, const QString &cmd, bool hex)
{
    if (cmd.isEmpty())
        return;
    const QString currentId = SessionStore::instance().currentSessionId();
    if (hex) {
        bool ok = false;
        const QByteArray bytes = normalizeHexText(cmd, &ok);
        if (!ok || bytes.isEmpty()) {
            // Plain text: the command is shown as typed, never as markup.
            boundedMessage(hub->window(), QMessageBox::Warning, LanguageManager::tr(QStringLiteral("HEX 发送")),
                           QStringLiteral("Invalid HEX: \"%1\"\n").arg(cmd) +
                               LanguageManager::tr(QStringLiteral("示例：AB CD 12 34（空格或逗号分隔，每字节两位十六进制；")) +
                               QLatin1Char('\n') + LanguageManager::tr(QStringLiteral("也可连续书写如 ABCD1234）")));
            return;
        }
        if (OpenSession *session = openSession(currentId))
            session->input(bytes);
        else
            showUnsent(QStringLiteral("[send HEX]"), cmd);
        return;
    }
    const QByteArray payload = broadcastPayload(cmd);
    // Blanks and line breaks only: nothing to send, to one session or many.
    if (payload.isEmpty())
        return;
    if (target == QLatin1String("all") || target == QLatin1String("group") || target == QLatin1String("visible")) {
        const QStringList ids = targetSessions(target);
        for (const QString &id : ids)
            hub->session(id)->input(payload);
        if (!ids.isEmpty())
            return;
    }
    if (OpenSession *session = openSession(currentId))
        sendCommandText(session, currentSessionText(cmd));
    else
        showUnsent(QStringLiteral("[send]"), cmd);
}

CommandSender *SendingActions::sendCommandText(OpenSession *session, const QString &text)
{
    // The run ends with the connection it began on, not with the next one.
    return CommandSender::send(
        text, session->connection(),
        [guard = QPointer<OpenSession>(session)](const QByteArray &bytes) { return guard && guard->input(bytes); },
        hub->window());
}
