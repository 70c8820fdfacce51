#include "mainwindow/sessionopener.h"

#include "connections/localshellconnection.h"
#include "connections/rloginconnection.h"
#include "connections/serialconnection.h"
#include "connections/sshconnection.h"
#include "connections/sshsupport.h"
#include "connections/telnetconnection.h"
#include "core/appsettings.h"
#include "core/debuglog.h"
#include "core/languagemanager.h"
#include "core/passwordprotection.h"
#include "core/sessioninfo.h"
#include "core/sessionlogger.h"
#include "core/sessionlogoptions.h"
#include "dialogs/sshcredentialsdialog.h"
#include "mainwindow/connectionwiring.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/statuslines.h"

namespace {
QString prefixOf(const QString &id)
{
    return QStringLiteral("session/") + id + QLatin1Char('/');
}

QString setting(const QString &key, const QString &fallback)
{
    return AppSettings::instance().getString(key, fallback);
}

void trace(const QString &text)
{
    if (debugLogEnabled())
        debugLog(text);
}

QString address(const QObject *object)
{
    return QString::number(quintptr(object));
}

QString neutral(const QString &text)
{
    return statusLine(StatusColor::neutral, text);
}

QString success(const QString &text)
{
    return statusLine(StatusColor::success, text, true);
}

QString tcpWord(bool telnetMode)
{
    return telnetMode ? QStringLiteral("Telnet") : QStringLiteral("Raw TCP");
}
} // namespace

SessionOpener::SessionOpener(SessionHub *hub, ConnectionWiring *wiring) : QObject(hub), hub(hub), wiring(wiring) {}

int SessionOpener::portOf(const SessionInfo &info, const QString &defaultKey, int fallback)
{
    bool ok = false;
    const int port = info.port.trimmed().toInt(&ok);
    if (ok && port >= 1)
        return port;
    return AppSettings::instance().getInt(defaultKey, fallback);
}

QString SessionOpener::hostOf(const SessionInfo &info)
{
    const QString host = info.host.trimmed();
    return host.isEmpty() ? info.name.trimmed() : host;
}

QString SessionOpener::parityText(int code)
{
    switch (code) {
    case 1: return QStringLiteral("奇");
    case 2: return QStringLiteral("偶");
    case 3: return QStringLiteral("标记");
    case 4: return QStringLiteral("空格");
    default: return QStringLiteral("无");
    }
}

QString SessionOpener::stopBitsText(int code)
{
    switch (code) {
    case 2: return QStringLiteral("2");
    case 3: return QStringLiteral("1.5");
    default: return QStringLiteral("1");
    }
}

bool SessionOpener::refuseWithoutHost(const QString &id) const
{
    hub->appendLine(
        id, statusLine(StatusColor::error, LanguageManager::tr(QStringLiteral("⚠ 会话未配置主机地址，无法连接"))));
    return false;
}

bool SessionOpener::openSsh(const QString &id, const SessionInfo &info)
{
    trace(QStringLiteral("[UI] openSsh begin id=%1").arg(id));
    hub->closeConn(id);
    const QString prefix = prefixOf(id);
    const QString savedUser = setting(prefix + QStringLiteral("conn/user"), QString());
    // Also rewrites a password saved in the legacy form, prompt or not.
    const QString savedPassword = readSavedPassword(prefix);
    // The method is recognised in any language, so the default needs none.
    const QString auth = setting(prefix + QStringLiteral("conn/auth"), AppSettings::instance().get(keys::sshAuth));
    const QString privateKey = setting(prefix + QStringLiteral("conn/privateKey"), QString());
    const QString remoteCommand = setting(prefix + QStringLiteral("conn/remoteCmd"), QString());
    const int port = portOf(info, QString::fromUtf8(keys::sshPort.key), keys::sshPort.fallback);
    const QString host = hostOf(info);
    if (host.isEmpty())
        return refuseWithoutHost(id);

    trace(QStringLiteral("[UI] openSsh before dialog id=%1 host=%2 port=%3 user=%4")
              .arg(id, host)
              .arg(port)
              .arg(savedUser));
    SshCredentialsDialog dialog(host, hub->window());
    dialog.setDefaults(savedUser, savedPassword);
    trace(QStringLiteral("[UI] openSsh dialog shown id=%1").arg(id));
    if (dialog.exec() != QDialog::Accepted) {
        hub->appendLine(id, neutral(LanguageManager::tr(QStringLiteral("已取消 SSH 连接"))));
        return false;
    }
    const SshCredentials credentials = dialog.credentials();
    if (credentials.user.isEmpty()) {
        hub->appendLine(id, statusLine(StatusColor::error, LanguageManager::tr(QStringLiteral("⚠ 用户名不能为空"))));
        return false;
    }
    if (credentials.remember) {
        trace(QStringLiteral("[UI] openSsh save creds id=%1 user=%2").arg(id, credentials.user));
        if (!saveCredentials(prefix, credentials.user, credentials.password))
            hub->appendLine(id,
                            statusLine(StatusColor::warning,
                                       LanguageManager::tr(QStringLiteral("⚠ 密码无法加密保存，未记住密码"))));
    }

    trace(QStringLiteral("[UI] openSsh create conn id=%1").arg(id));
    auto *connection = new SshConnection(hub->window());
    SshConnectParams params;
    params.host = host;
    params.port = port;
    params.user = credentials.user;
    params.password = credentials.password;
    params.auth = auth;
    params.privateKey = privateKey;
    params.term = setting(prefix + QStringLiteral("term/typeStr"), QStringLiteral("xterm"));
    params.remoteCommand = remoteCommand;
    // Variables expanded as for every configured folder; empty means the
    // user's own known-hosts file, never "no check".
    params.knownHostsPath = configuredKnownHostsPath();
    params.keepalive = AppSettings::instance().getInt(prefix + QStringLiteral("conn/keepalive"), 60);
    connection->setParams(params);

    ConnectionWiring::Reports reports;
    reports.traceReceived = true;
    reports.closeAfterPeerClose = false;
    reports.connectedLine = [user = credentials.user, host, port] {
        return success(LanguageManager::tr(QStringLiteral("🔌 已连接 SSH %1@%2:%3"))
                           .arg(htmlText(user), htmlText(host))
                           .arg(port));
    };
    reports.closedLine = [] { return neutral(LanguageManager::tr(QStringLiteral("🔌 SSH 连接已关闭"))); };
    wiring->wire(id, connection, reports);
    hub->appendLine(
        id, neutral(LanguageManager::tr(QStringLiteral("🔌 正在连接 SSH %1:%2 ...")).arg(htmlText(host)).arg(port)));

    trace(QStringLiteral("[UI] openSsh before conn->open id=%1 conn=%2").arg(id, address(connection)));
    const bool started = connection->open();
    trace(QStringLiteral("[UI] openSsh after conn->open id=%1 started=%2 conn=%3")
              .arg(id)
              .arg(int(started))
              .arg(address(connection)));
    if (!started) {
        connection->deleteLater();
        return false;
    }
    hub->connections.insert(id, connection);
    if (hub->attachRemoteDirTree)
        hub->attachRemoteDirTree(id, params);
    return true;
}

bool SessionOpener::openTelnet(const QString &id, const SessionInfo &info, bool telnetMode)
{
    hub->closeConn(id);
    const int port = telnetMode ? portOf(info, QStringLiteral("default/telnetPort"), 23)
                                : portOf(info, QStringLiteral("default/rawPort"), 5000);
    const QString host = hostOf(info);
    if (host.isEmpty())
        return refuseWithoutHost(id);
    auto *connection = new TelnetConnection(hub->window());
    connection->host = host;
    connection->port = port;
    connection->terminalType = setting(prefixOf(id) + QStringLiteral("term/typeStr"), QStringLiteral("xterm"));
    connection->telnetMode = telnetMode;
    connection->resize(80, 24);

    ConnectionWiring::Reports reports;
    reports.connectedLine = [host, port, telnetMode] {
        return success(LanguageManager::tr(QStringLiteral("🔌 已连接 %1 %2:%3"))
                           .arg(tcpWord(telnetMode), htmlText(host))
                           .arg(port));
    };
    reports.closedLine = [telnetMode] {
        return neutral(LanguageManager::tr(QStringLiteral("🔌 %1 连接已关闭")).arg(tcpWord(telnetMode)));
    };
    wiring->wire(id, connection, reports);
    hub->connections.insert(id, connection);
    hub->appendLine(id,
                    neutral(LanguageManager::tr(QStringLiteral("🔌 正在连接 %1 %2:%3 ..."))
                                .arg(tcpWord(telnetMode), htmlText(host))
                                .arg(port)));
    connection->open(); // failures arrive as an error report
    return true;
}

bool SessionOpener::openRlogin(const QString &id, const SessionInfo &info)
{
    hub->closeConn(id);
    const int port = portOf(info, QStringLiteral("default/rloginPort"), 513);
    const QString host = hostOf(info);
    if (host.isEmpty())
        return refuseWithoutHost(id);
    QString user = setting(prefixOf(id) + QStringLiteral("conn/user"), QString());
    if (user.isEmpty())
        user = setting(QStringLiteral("default/sshUser"), QString());
    auto *connection = new RLoginConnection(hub->window());
    connection->host = host;
    connection->port = port;
    connection->localUser = user;
    connection->remoteUser = user;
    connection->terminalType = setting(prefixOf(id) + QStringLiteral("term/typeStr"), QStringLiteral("xterm"));
    connection->resize(80, 24);

    ConnectionWiring::Reports reports;
    reports.connectedLine = [host, port] {
        return success(LanguageManager::tr(QStringLiteral("🔌 已连接 RLogin %1:%2")).arg(htmlText(host)).arg(port));
    };
    reports.closedLine = [] { return neutral(LanguageManager::tr(QStringLiteral("🔌 RLogin 连接已关闭"))); };
    wiring->wire(id, connection, reports);
    hub->connections.insert(id, connection);
    hub->appendLine(
        id,
        neutral(LanguageManager::tr(QStringLiteral("🔌 正在连接 RLogin %1:%2 ...")).arg(htmlText(host)).arg(port)));
    connection->open();
    return true;
}

bool SessionOpener::openSerial(const QString &id, const SessionInfo &info)
{
    hub->closeConn(id);
    auto *connection = new SerialConnection(hub->window());
    connection->setPortName(info.serial_port);
    connection->setBaudRate(info.serial_baud);
    connection->setDataBits(info.serial_databits);
    connection->setStopBits(info.serial_stopbits);
    connection->setParity(info.serial_parity);
    connection->setFlowControl(info.serial_flow);
    connection->setFlushInterval(10);

    ConnectionWiring::Reports reports;
    // The port reports an open failure from inside open(), before it is
    // stored: its line has to be written all the same.
    reports.errorLineUnguarded = true;
    wiring->wire(id, connection, reports);
    if (!connection->open()) {
        connection->deleteLater();
        return false;
    }
    hub->appendLine(id,
                    success(LanguageManager::tr(QStringLiteral("📡 已连接 %1 @ %2 %3/%4/%5"))
                                .arg(htmlText(info.serial_port))
                                .arg(info.serial_baud)
                                .arg(info.serial_databits)
                                .arg(parityText(info.serial_parity), stopBitsText(info.serial_stopbits))));
    hub->connections.insert(id, connection);
    startLogger(id, info);
    return true;
}

void SessionOpener::startLogger(const QString &id, const SessionInfo &info)
{
    const SessionLogOptions options = AppSettings::instance().sessionLogOptions(id);
    if (!options.onOpen)
        return;
    auto *logger = new SessionLogger(info.name, info.host, options, hub->window());
    wiring->watchLogger(id, logger);
    if (logger->start()) {
        hub->sessionLoggers.insert(id, logger);
        return;
    }
    hub->appendLine(id, statusLine(StatusColor::error, LanguageManager::tr(QStringLiteral("⚠ 日志文件创建失败"))));
    delete logger;
}

bool SessionOpener::openLocalShell(const QString &id, const SessionInfo &info)
{
    hub->closeConn(id);
    QString shell = info.host.trimmed();
    if (shell.isEmpty())
        shell = QStringLiteral("命令提示符 (cmd)");
    auto *connection = new LocalShellConnection(hub->window());
    connection->setShell(shell);

    ConnectionWiring::Reports reports;
    // A shell that fails keeps its tab's connection until the next open; one
    // that ends is released at once.
    reports.closeAfterError = false;
    reports.connectedLine = [shell] {
        return success(LanguageManager::tr(QStringLiteral("🔌 已连接本地 Shell：%1")).arg(htmlText(shell)));
    };
    reports.closedLine = [] { return neutral(LanguageManager::tr(QStringLiteral("🔌 本地 Shell 已关闭"))); };
    wiring->wire(id, connection, reports);
    hub->connections.insert(id, connection);
    hub->appendLine(id,
                    neutral(LanguageManager::tr(QStringLiteral("🔌 正在启动本地 Shell %1 ...")).arg(htmlText(shell))));
    connection->open();
    return true;
}
