#include "mainwindow/sshsignin.h"

#include "connections/sshsupport.h"
#include "core/appsettings.h"
#include "core/debuglog.h"
#include "core/passwordprotection.h"
#include "core/settingkeys.h"
#include "core/sessioninfo.h"
#include "dialogs/sshcredentialsdialog.h"
#include "core/languagemanager.h"
#include "mainwindow/sessionopener.h"
#include "mainwindow/statuslines.h"

#include <QHash>
#include <QSettings>

namespace {
struct Credentials {
    QString user, password, auth;
};

// Quick sessions' logins: their numbers start again every run, so nothing
// of theirs may reach the settings file.
QHash<QString, Credentials> &forThisRun()
{
    static QHash<QString, Credentials> held;
    return held;
}

bool isQuick(const QString &id)
{
    return id.startsWith(QLatin1String("fast:"));
}

QString prefixOf(const QString &id)
{
    return QStringLiteral("session/") + id + QLatin1Char('/');
}

QString setting(const QString &key, const QString &fallback)
{
    return AppSettings::instance().getString(key, fallback);
}
} // namespace

SshConnectParams SshSignIn::paramsFor(const QString &id, const SessionInfo &info)
{
    const QString prefix = prefixOf(id);
    AppSettings &settings = AppSettings::instance();
    SshConnectParams params;
    params.host = SessionOpener::hostOf(info);
    params.port = SessionOpener::portOf(info, QString::fromUtf8(keys::sshPort.key), keys::sshPort.fallback);
    // The method is recognised in any language, so the default needs none.
    const QString quickAuth = isQuick(id) ? forThisRun().value(id).auth : QString();
    params.auth = !quickAuth.isEmpty() ? quickAuth : setting(prefix + QStringLiteral("conn/auth"), settings.get(keys::sshAuth));
    params.privateKey = setting(prefix + QStringLiteral("conn/privateKey"), QString());
    params.remoteCommand = setting(prefix + QStringLiteral("conn/remoteCmd"), QString());
    params.term = setting(prefix + QStringLiteral("term/typeStr"), QStringLiteral("xterm"));
    // Variables expanded as for every configured folder; empty means the
    // user's own known-hosts file, never "no check".
    params.knownHostsPath = configuredKnownHostsPath();
    params.keepalive = settings.getInt(prefix + QStringLiteral("conn/keepalive"), 60);
    return params;
}

void SshSignIn::rememberUser(const QString &id, const QString &user)
{
    if (user.trimmed().isEmpty())
        return;
    if (isQuick(id))
        forThisRun()[id].user = user.trimmed();
    else
        AppSettings::instance().setValue(prefixOf(id) + QStringLiteral("conn/user"), user.trimmed());
}

void SshSignIn::rememberAuth(const QString &id, const QString &auth)
{
    if (auth.isEmpty())
        return;
    if (isQuick(id))
        forThisRun()[id].auth = auth;
    else
        AppSettings::instance().setValue(prefixOf(id) + QStringLiteral("conn/auth"), auth);
}

QString SshSignIn::savedUser(const QString &id)
{
    const QString user = isQuick(id) ? forThisRun().value(id).user
                                     : setting(prefixOf(id) + QStringLiteral("conn/user"), QString());
    return user.isEmpty() ? setting(QStringLiteral("default/sshUser"), QString()) : user;
}

SshSignIn::Answer SshSignIn::ask(QWidget *parent, const QString &id, SshConnectParams *params)
{
    const QString prefix = prefixOf(id);
    SshCredentialsDialog dialog(params->host, parent);
    if (isQuick(id))
        dialog.setDefaults(forThisRun().value(id).user, forThisRun().value(id).password);
    else // also rewrites a password saved in the legacy form
        dialog.setDefaults(setting(prefix + QStringLiteral("conn/user"), QString()), readSavedPassword(prefix));
    if (debugLogEnabled())
        debugLog(QStringLiteral("[UI] openSsh dialog shown id=%1").arg(id));
    if (dialog.exec() != QDialog::Accepted)
        return Answer::Cancelled;
    const SshCredentials given = dialog.credentials();
    if (given.user.isEmpty())
        return Answer::NoUser;
    params->user = given.user;
    params->password = given.password;
    // Not ticked: the user chose not to store this password anywhere.
    if (!given.remember)
        return Answer::Given;
    if (debugLogEnabled())
        debugLog(QStringLiteral("[UI] openSsh save creds id=%1 user=%2").arg(id, given.user));
    if (isQuick(id)) {
        forThisRun()[id] = {given.user, given.password, forThisRun().value(id).auth};
        return Answer::Given;
    }
    return saveCredentials(prefix, given.user, given.password) ? Answer::Given : Answer::NotSealed;
}

QString SshSignIn::notSealedLine()
{
    return statusLine(StatusColor::warning, LanguageManager::tr(QStringLiteral("⚠ 密码无法加密保存，未记住密码")));
}
