#include "mainwindow/logactions.h"

#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionlogger.h"
#include "core/sessionlogoptions.h"
#include "core/sessionstore.h"
#include "mainwindow/opensession.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/statuslines.h"

LogActions::LogActions(SessionHub *hub, FileDialogs dialogs) : QObject(hub), m_hub(hub), m_dialogs(std::move(dialogs))
{
}

bool LogActions::isLogging(const QString &id) const
{
    const SessionLogger *logger = m_hub->logger(id);
    return logger && logger->isRecording();
}

void LogActions::toggleSessionLog(const QString &id)
{
    OpenSession *session = m_hub->session(id);
    if (!session)
        return;
    if (session->logger()) {
        const bool recording = isLogging(id);
        // A logger whose file a write failure closed is replaced by a new one.
        session->stopLogger();
        if (recording) {
            m_hub->showLine(id, statusLine(StatusColor::neutral,
                                           QStringLiteral("📝 ") + LanguageManager::tr(QStringLiteral("日志录制已停止"))));
            return;
        }
    }
    const std::optional<SessionInfo> info = SessionStore::instance().findSession(id);
    const QString name = info ? info->name : session->tab().name;
    const QString host = info ? info->host : session->tab().host;
    auto *logger = new SessionLogger(name, host, AppSettings::instance().sessionLogOptions(id));
    if (!logger->start()) {
        delete logger;
        m_hub->showLine(id, statusLine(StatusColor::error,
                                       QStringLiteral("⚠ ") + LanguageManager::tr(QStringLiteral("日志文件创建失败"))));
        return;
    }
    session->setLogger(logger);
    m_hub->showLine(id, statusLine(StatusColor::success,
                                   QStringLiteral("📝 ") + LanguageManager::tr(QStringLiteral("日志录制已开始"))));
}

void LogActions::startAsciiCapture()
{
    const QString id = SessionStore::instance().currentSessionId();
    OpenSession *session = m_hub->session(id);
    if (session && session->isCapturing()) {
        session->stopCapture();
        return;
    }
    if (!session || !session->isOpen()) {
        m_hub->showLine(id, statusLine(StatusColor::error, QStringLiteral("⚠ ")
                                           + LanguageManager::tr(QStringLiteral("当前会话未连接，无法捕获"))));
        return;
    }
    const QString path = m_dialogs.saveFile(m_hub->window(), LanguageManager::tr(QStringLiteral("ASCII 接收（捕获到文件）")),
                                            QStringLiteral("ascii_capture.txt"));
    if (!path.isEmpty())
        session->startCapture(path);
}

void LogActions::stopAsciiCapture(const QString &id)
{
    if (OpenSession *session = m_hub->session(id))
        session->stopCapture();
}
