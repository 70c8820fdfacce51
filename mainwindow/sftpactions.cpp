#include "mainwindow/sftpactions.h"

#include "connections/sshconnection.h"
#include "core/appsettings.h"
#include "core/datadir.h"
#include "core/languagemanager.h"
#include "core/passwordprotection.h"
#include "core/sessionstore.h"
#include "dialogs/sshcredentialsdialog.h"
#include "mainwindow/sessionhub.h"
#include "sftp/widgets/sftpdialog.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminalview.h"

namespace {

QString refusal(const QString &text) { return QStringLiteral("<span style='color:#ff6b6b'>%1</span>").arg(text); }

void openDialog(SessionHub &hub, const SshConnectParams &params)
{
    auto *dialog = new SftpDialog(params, hub.window());
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

} // namespace

void openSftpDialog(SessionHub &hub)
{
    TerminalView *view = hub.terminalArea() ? hub.terminalArea()->currentView() : nullptr;
    const QString id = view ? view->id() : QString();
    // A session that is connected already has its user and password: no need
    // to ask for them a second time.
    if (auto *live = qobject_cast<SshConnection *>(hub.connection(id))) {
        openDialog(hub, live->params());
        return;
    }
    const std::optional<SessionInfo> info = SessionStore::instance().findSession(id);
    if (!info || info->type != QLatin1String("ssh")) {
        hub.appendLine(id, refusal(LanguageManager::tr(QStringLiteral("⚠ SFTP 需要先激活一个 SSH 会话"))));
        return;
    }
    const QString host = info->host.trimmed().isEmpty() ? info->name.trimmed() : info->host.trimmed();
    if (host.isEmpty()) {
        hub.appendLine(id, refusal(LanguageManager::tr(QStringLiteral("⚠ 会话未配置主机地址"))));
        return;
    }
    AppSettings &settings = AppSettings::instance();
    const QString prefix = QStringLiteral("session/%1/").arg(id);
    int port = info->port.toInt();
    if (port < 1)
        port = settings.get(keys::sshPort);

    SshCredentialsDialog ask(host, hub.window());
    ask.setDefaults(settings.getString(prefix + QStringLiteral("conn/user"), QString()), readSavedPassword(prefix));
    if (ask.exec() != QDialog::Accepted)
        return;
    const SshCredentials credentials = ask.credentials();
    if (credentials.user.isEmpty())
        return;
    if (credentials.remember)
        saveCredentials(prefix, credentials.user, credentials.password);

    SshConnectParams params;
    params.host = host;
    params.port = port;
    params.user = credentials.user;
    params.password = credentials.password;
    params.auth = settings.getString(prefix + QStringLiteral("conn/auth"), settings.get(keys::sshAuth));
    params.privateKey = settings.getString(prefix + QStringLiteral("conn/privateKey"), QString());
    params.knownHostsPath =
        expandPathVariables(settings.get(keys::knownHosts)).replace(QLatin1Char('\\'), QLatin1Char('/'));
    openDialog(hub, params);
}
