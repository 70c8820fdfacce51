#include "mainwindow/logactions.h"

#include "connections/connection.h"
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionlogger.h"
#include "core/sessionlogoptions.h"
#include "core/sessionstore.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/statuslines.h"

#include <QFile>
#include <QWidget>

LogActions::LogActions(SessionHub *hub, FileDialogs dialogs)
    : QObject(hub), m_hub(hub), m_dialogs(std::move(dialogs))
{
    hub->stopAsciiCapture = [this](const QString &id) { stopAsciiCapture(id); };
    hub->toggleSessionLog = [this](const QString &id) { toggleSessionLog(id); };
}

bool LogActions::isLogging(const QString &id) const
{
    const SessionLogger *logger = m_hub->logger(id);
    return logger && logger->isRecording();
}

void LogActions::dropLogger(const QString &id)
{
    if (SessionLogger *logger = m_hub->sessionLoggers.take(id)) {
        logger->stop();
        logger->deleteLater();
    }
}

void LogActions::toggleSessionLog(const QString &id)
{
    if (m_hub->sessionLoggers.contains(id)) {
        const bool recording = isLogging(id);
        // A logger whose file a write failure closed is replaced by a new one.
        dropLogger(id);
        if (recording) {
            m_hub->appendLine(id, statusLine(StatusColor::neutral,
                                             QStringLiteral("📝 ") + LanguageManager::tr(QStringLiteral("日志录制已停止"))));
            return;
        }
    }
    QString name, host;
    if (id.startsWith(QLatin1String("fast:"))) {
        const auto it = m_hub->tabSessions.constFind(id);
        if (it == m_hub->tabSessions.constEnd())
            return;
        name = it->name;
        host = it->host;
    } else if (const std::optional<SessionInfo> info = SessionStore::instance().findSession(id)) {
        name = info->name;
        host = info->host;
    } else {
        return;
    }
    auto *logger = new SessionLogger(name, host, AppSettings::instance().sessionLogOptions(id), m_hub->window());
    connect(logger, &SessionLogger::logError, this, [this, id](const QString &message) {
        m_hub->appendLine(id, statusLine(StatusColor::error, QStringLiteral("⚠ ") + htmlText(message)));
    });
    if (!logger->start()) {
        delete logger;
        m_hub->appendLine(id, statusLine(StatusColor::error,
                                         QStringLiteral("⚠ ") + LanguageManager::tr(QStringLiteral("日志文件创建失败"))));
        return;
    }
    m_hub->sessionLoggers.insert(id, logger);
    m_hub->appendLine(id, statusLine(StatusColor::success,
                                     QStringLiteral("📝 ") + LanguageManager::tr(QStringLiteral("日志录制已开始"))));
}

void LogActions::startAsciiCapture()
{
    const QString id = SessionStore::instance().currentSessionId();
    if (m_captures.contains(id)) {
        stopAsciiCapture(id);
        return;
    }
    Connection *connection = m_hub->connection(id);
    if (!connection || !connection->isOpen()) {
        m_hub->appendLine(id, statusLine(StatusColor::error, QStringLiteral("⚠ ")
                                             + LanguageManager::tr(QStringLiteral("当前会话未连接，无法捕获"))));
        return;
    }
    const QString path = m_dialogs.saveFile(m_hub->window(), LanguageManager::tr(QStringLiteral("ASCII 接收（捕获到文件）")),
                                            QStringLiteral("ascii_capture.txt"));
    if (path.isEmpty())
        return;
    auto *file = new QFile(path, m_hub->window());
    // Unbuffered: what arrived is in the file at once, and a full disk shows
    // on the write that meets it.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        delete file;
        m_hub->appendLine(id, statusLine(StatusColor::error, QStringLiteral("⚠ ")
                                             + LanguageManager::tr(QStringLiteral("无法创建：%1")).arg(htmlText(path))));
        return;
    }
    Capture capture;
    capture.file = file;
    capture.link = connect(connection, &Connection::dataReceived, this, [this, id, file](const QByteArray &bytes) {
        if (file->write(bytes) == bytes.size())
            return;
        const QString why = file->errorString();
        stopAsciiCapture(id);
        m_hub->appendLine(id, statusLine(StatusColor::error,
                                         QStringLiteral("⚠ ")
                                             + LanguageManager::tr(QStringLiteral("ASCII 捕获写入失败：%1")).arg(htmlText(why))));
    });
    m_captures.insert(id, capture);
    m_hub->appendLine(id, statusLine(StatusColor::success,
                                     QStringLiteral("📥 ")
                                         + LanguageManager::tr(QStringLiteral("ASCII 捕获开始 -> %1（菜单再次点击停止）"))
                                               .arg(htmlText(path))));
}

void LogActions::stopAsciiCapture(const QString &id)
{
    const auto it = m_captures.find(id);
    if (it == m_captures.end())
        return;
    const Capture capture = *it;
    m_captures.erase(it);
    disconnect(capture.link);
    const QString name = capture.file->fileName();
    capture.file->close();
    capture.file->deleteLater();
    m_hub->appendLine(id, statusLine(StatusColor::neutral, QStringLiteral("📥 ")
                                         + LanguageManager::tr(QStringLiteral("ASCII 捕获已停止：%1")).arg(htmlText(name))));
}
