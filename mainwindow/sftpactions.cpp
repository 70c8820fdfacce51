#include "mainwindow/sftpactions.h"

#include "connections/sshconnection.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/sshsignin.h"
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
        hub.showLine(id, refusal(LanguageManager::tr(QStringLiteral("⚠ SFTP 需要先激活一个 SSH 会话"))));
        return;
    }
    SshConnectParams params = SshSignIn::paramsFor(id, *info);
    if (params.host.isEmpty()) {
        hub.showLine(id, refusal(LanguageManager::tr(QStringLiteral("⚠ 会话未配置主机地址"))));
        return;
    }
    const SshSignIn::Answer answer = SshSignIn::ask(hub.window(), id, &params);
    if (answer == SshSignIn::Answer::NotSealed)
        hub.showLine(id, SshSignIn::notSealedLine());
    if (answer == SshSignIn::Answer::Given || answer == SshSignIn::Answer::NotSealed)
        openDialog(hub, params);
}
