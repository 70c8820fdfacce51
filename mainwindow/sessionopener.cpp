#include "mainwindow/sessionopener.h"

#include "connections/localshellconnection.h"
#include "connections/rloginconnection.h"
#include "connections/serialconnection.h"
#include "connections/sshconnection.h"
#include "connections/telnetconnection.h"
#include "core/appsettings.h"
#include "core/debuglog.h"
#include "core/languagemanager.h"
#include "core/sessioninfo.h"
#include "core/sessionlogger.h"
#include "core/sessionlogoptions.h"
#include "core/remoteenvregistry.h"
#include "commands/commandwindow.h"
#include "mainwindow/opensession.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/sshsignin.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminalview.h"
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

void uiLog(const QString &text)
{
    if (debugLogEnabled())
        debugLog(QStringLiteral("[UI] ") + text);
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

// Names of parity and stop-bit codes as the connected line shows them.
QString parityText(int code)
{
    switch (code) {
    case 1: return LanguageManager::tr(QStringLiteral("奇"));
    case 2: return LanguageManager::tr(QStringLiteral("偶"));
    case 3: return LanguageManager::tr(QStringLiteral("标记"));
    case 4: return LanguageManager::tr(QStringLiteral("空格"));
    default: return LanguageManager::tr(QStringLiteral("无"));
    }
}

QString stopBitsText(int code)
{
    switch (code) {
    case 2: return QStringLiteral("2");
    case 3: return QStringLiteral("1.5");
    default: return QStringLiteral("1");
    }
}
} // namespace

SessionOpener::SessionOpener(SessionHub *hub) : QObject(hub), hub(hub) {}

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

// A reopened tab keeps its size and so reports none: the connection takes
// the size of the tab's terminal as it starts. A tab not yet shown reports
// its first size once it is, to the connection made by then.
void SessionOpener::startAtViewSize(OpenSession *session, Connection *connection) const
{
    TerminalView *view = hub->terminalArea() ? hub->terminalArea()->view(session->id()) : nullptr;
    const QSize size = view ? view->terminalSize() : QSize();
    if (size.isValid())
        connection->resize(size.width(), size.height());
}

bool SessionOpener::refuse(OpenSession *session, const QString &text) const
{
    hub->showLine(session->id(), statusLine(StatusColor::error, LanguageManager::tr(text)));
    return false;
}

bool SessionOpener::openSsh(OpenSession *session, const SessionInfo &info)
{
    const QString id = session->id();
    uiLog(QStringLiteral("openSsh begin id=%1").arg(id));
    session->close();
    SshConnectParams params = SshSignIn::paramsFor(id, info);
    if (params.host.isEmpty())
        return refuse(session, QStringLiteral("⚠ 会话未配置主机地址，无法连接"));
    uiLog(QStringLiteral("openSsh before dialog id=%1 host=%2 port=%3 user=%4")
              .arg(id, params.host, QString::number(params.port), SshSignIn::savedUser(id)));
    switch (SshSignIn::ask(hub->window(), id, &params)) {
    case SshSignIn::Answer::Cancelled:
        hub->showLine(id, neutral(LanguageManager::tr(QStringLiteral("已取消 SSH 连接"))));
        return false;
    case SshSignIn::Answer::NoUser:
        return refuse(session, QStringLiteral("⚠ 用户名不能为空"));
    case SshSignIn::Answer::NotSealed:
        hub->showLine(id, SshSignIn::notSealedLine());
        break;
    case SshSignIn::Answer::Given:
        break;
    }

    uiLog(QStringLiteral("openSsh create conn id=%1").arg(id));
    auto *connection = new SshConnection;
    connection->setParams(params);
    startAtViewSize(session, connection);
    connect(connection, &SshConnection::remoteEnv, hub, [hub = hub, id](const QString &env, const QStringList &commands) {
        remoteEnvRegistry().setRemoteEnv(id, env, commands);
        if (hub->commandWindow())
            hub->commandWindow()->rebuildCompletions();
    });
    ConnectionReports reports;
    reports.closeAfterPeerClose = false;
    reports.connectedLine = [user = params.user, host = params.host, port = params.port] {
        return success(LanguageManager::tr(QStringLiteral("🔌 已连接 SSH %1@%2:%3"))
                           .arg(htmlText(user), htmlText(host), QString::number(port)));
    };
    reports.closedLine = [] { return neutral(LanguageManager::tr(QStringLiteral("🔌 SSH 连接已关闭"))); };
    session->adopt(connection, reports);
    hub->showLine(id, neutral(LanguageManager::tr(QStringLiteral("🔌 正在连接 SSH %1:%2 ..."))
                                  .arg(htmlText(params.host), QString::number(params.port))));
    const QString address = QString::number(quintptr(connection));
    uiLog(QStringLiteral("openSsh before conn->open id=%1 conn=%2").arg(id, address));
    const bool started = connection->open();
    uiLog(QStringLiteral("openSsh after conn->open id=%1 started=%2 conn=%3")
              .arg(id, QString::number(started ? 1 : 0), address));
    if (!started) {
        session->close();
        return false;
    }
    if (hub->terminalArea())
        hub->terminalArea()->attachRemoteDirTree(id, params);
    return true;
}

bool SessionOpener::openTelnet(OpenSession *session, const SessionInfo &info, bool telnetMode)
{
    session->close();
    const int port = telnetMode ? portOf(info, QStringLiteral("default/telnetPort"), 23)
                                : portOf(info, QStringLiteral("default/rawPort"), 5000);
    const QString host = hostOf(info);
    if (host.isEmpty())
        return refuse(session, QStringLiteral("⚠ 会话未配置主机地址，无法连接"));
    auto *connection = new TelnetConnection;
    connection->host = host;
    connection->port = port;
    connection->terminalType = setting(prefixOf(session->id()) + QStringLiteral("term/typeStr"), QStringLiteral("xterm"));
    connection->telnetMode = telnetMode;
    startAtViewSize(session, connection);

    ConnectionReports reports;
    reports.connectedLine = [host, port, telnetMode] {
        return success(LanguageManager::tr(QStringLiteral("🔌 已连接 %1 %2:%3"))
                           .arg(tcpWord(telnetMode), htmlText(host), QString::number(port)));
    };
    reports.closedLine = [telnetMode] {
        return neutral(LanguageManager::tr(QStringLiteral("🔌 %1 连接已关闭")).arg(tcpWord(telnetMode)));
    };
    session->adopt(connection, reports);
    hub->showLine(session->id(), neutral(LanguageManager::tr(QStringLiteral("🔌 正在连接 %1 %2:%3 ..."))
                                             .arg(tcpWord(telnetMode), htmlText(host), QString::number(port))));
    connection->open(); // failures arrive as an error report
    return true;
}

bool SessionOpener::openRlogin(OpenSession *session, const SessionInfo &info)
{
    session->close();
    const int port = portOf(info, QStringLiteral("default/rloginPort"), 513);
    const QString host = hostOf(info);
    if (host.isEmpty())
        return refuse(session, QStringLiteral("⚠ 会话未配置主机地址，无法连接"));
    const QString user = SshSignIn::savedUser(session->id());
    auto *connection = new RLoginConnection;
    connection->host = host;
    connection->port = port;
    connection->localUser = user;
    connection->remoteUser = user;
    connection->terminalType = setting(prefixOf(session->id()) + QStringLiteral("term/typeStr"), QStringLiteral("xterm"));
    startAtViewSize(session, connection);

    ConnectionReports reports;
    reports.connectedLine = [host, port] {
        return success(
            LanguageManager::tr(QStringLiteral("🔌 已连接 RLogin %1:%2")).arg(htmlText(host), QString::number(port)));
    };
    reports.closedLine = [] { return neutral(LanguageManager::tr(QStringLiteral("🔌 RLogin 连接已关闭"))); };
    session->adopt(connection, reports);
    hub->showLine(session->id(), neutral(LanguageManager::tr(QStringLiteral("🔌 正在连接 RLogin %1:%2 ..."))
                                             .arg(htmlText(host), QString::number(port))));
    connection->open();
    return true;
}

bool SessionOpener::openSerial(OpenSession *session, const SessionInfo &info)
{
    session->close();
    auto *connection = new SerialConnection;
    connection->setPortName(info.serial_port);
    connection->setBaudRate(info.serial_baud);
    connection->setDataBits(info.serial_databits);
    connection->setStopBits(info.serial_stopbits);
    connection->setParity(info.serial_parity);
    connection->setFlowControl(info.serial_flow);
    connection->setFlushInterval(10);
    // Adopted first: the port reports an open failure from inside open().
    session->adopt(connection, ConnectionReports());
    if (!connection->open()) {
        session->close();
        return false;
    }
    hub->showLine(session->id(), success(LanguageManager::tr(QStringLiteral("📡 已连接 %1 @ %2 %3/%4/%5"))
                                             .arg(htmlText(info.serial_port), QString::number(info.serial_baud),
                                                  QString::number(info.serial_databits), parityText(info.serial_parity),
                                                  stopBitsText(info.serial_stopbits))));
    startLogger(session, info);
    return true;
}

void SessionOpener::startLogger(OpenSession *session, const SessionInfo &info)
{
    const SessionLogOptions options = AppSettings::instance().sessionLogOptions(session->id());
    if (!options.onOpen)
        return;
    auto *logger = new SessionLogger(info.name, info.host, options);
    if (logger->start()) {
        session->setLogger(logger);
        return;
    }
    delete logger;
    refuse(session, QStringLiteral("⚠ 日志文件创建失败"));
}

bool SessionOpener::openLocalShell(OpenSession *session, const SessionInfo &info)
{
    session->close();
    QString shell = info.host.trimmed();
    if (shell.isEmpty())
        shell = QStringLiteral("命令提示符 (cmd)");
    auto *connection = new LocalShellConnection;
    connection->setShell(shell);
    startAtViewSize(session, connection);
    // The lines name the program that runs: a Windows shell name stands for
    // the login shell here.
    const QString program = LocalShellConnection::shellCommandLine(shell).value(0, shell);

    ConnectionReports reports;
    // A shell that fails keeps its tab's connection until the next open; one
    // that ends is released at once.
    reports.closeAfterError = false;
    reports.connectedLine = [program] {
        return success(LanguageManager::tr(QStringLiteral("🔌 已连接本地 Shell：%1")).arg(htmlText(program)));
    };
    reports.closedLine = [] { return neutral(LanguageManager::tr(QStringLiteral("🔌 本地 Shell 已关闭"))); };
    session->adopt(connection, reports);
    hub->showLine(session->id(),
                  neutral(LanguageManager::tr(QStringLiteral("🔌 正在启动本地 Shell %1 ...")).arg(htmlText(program))));
    connection->open();
    return true;
}
