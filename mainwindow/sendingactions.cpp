#include "mainwindow/sendingactions.h"

#include "connections/connection.h"
#include "core/commandsending.h"
#include "core/languagemanager.h"
#include "core/sessionlogger.h"
#include "core/sessionstore.h"
#include "mainwindow/sessionhub.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminalview.h"
#include "ui/boundedtext.h"

#include <QPointer>

SendingActions::SendingActions(SessionHub *hub) : QObject(hub), hub(hub) {}

Connection *SendingActions::openConnection(const QString &id) const
{
    Connection *connection = hub->connection(id);
    return connection && connection->isOpen() ? connection : nullptr;
}

void SendingActions::logSent(const QString &id, const QByteArray &bytes) const
{
    if (SessionLogger *logger = hub->logger(id))
        logger->logSent(bytes);
}

void SendingActions::showUnsent(const QString &tag, const QString &cmd) const
{
    if (TerminalView *view = hub->terminalArea()->currentView()) {
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
        if (view && openConnection(view->id()))
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
    for (auto it = hub->connections.cbegin(); it != hub->connections.cend(); ++it) {
        if (!it.value() || !it.value()->isOpen())
            continue;
        if (current) {
            const std::optional<SessionInfo> record = store.findSession(it.key());
            if (!record || record->group != current->group)
                continue;
        }
        ids << it.key();
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
        if (Connection *connection = openConnection(currentId)) {
            connection->write(bytes);
            logSent(currentId, bytes);
        } else {
            showUnsent(QStringLiteral("[send HEX]"), cmd);
        }
        return;
    }
    const QByteArray payload = broadcastPayload(cmd);
    // Blanks and line breaks only: nothing to send, to one session or many.
    if (payload.isEmpty())
        return;
    if (target == QLatin1String("all") || target == QLatin1String("group") || target == QLatin1String("visible")) {
        const QStringList ids = targetSessions(target);
        for (const QString &id : ids) {
            hub->connection(id)->write(payload);
            logSent(id, payload);
        }
        if (!ids.isEmpty())
            return;
    }
    if (Connection *connection = openConnection(currentId))
        sendCommandText(connection, currentSessionText(cmd), currentId);
    else
        showUnsent(QStringLiteral("[send]"), cmd);
}

CommandSender *SendingActions::sendCommandText(Connection *connection, const QString &text, const QString &id)
{
    // Looked up once: a logger started later does not see the rest of the
    // run, one stopped meanwhile is not touched.
    QPointer<SessionLogger> logger = hub->logger(id);
    QPointer<Connection> target = connection;
    return CommandSender::send(
        text, connection,
        [target, logger](const QByteArray &bytes) {
            target->write(bytes);
            if (logger)
                logger->logSent(bytes);
        },
        hub->window());
}
