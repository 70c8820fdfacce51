#include "app/diagnostics.h"

#include "platform/crash.h"
#include "platform/privatefiles.h"

#include <QDateTime>

#include <exception>

namespace {

QString privateFile(const char *name)
{
    const QString dir = platform::privateTempDir();
    return dir.isEmpty() ? QString() : dir + QLatin1Char('/') + QLatin1String(name);
}

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return "DEBUG";
    case QtInfoMsg: return "INFO";
    case QtWarningMsg: return "WARNING";
    case QtCriticalMsg: return "CRITICAL";
    case QtFatalMsg: return "FATAL";
    }
    return "DEBUG";
}

} // namespace

QString qtLogPath()
{
    return privateFile("halvorstead_qt.log");
}

QString crashLogPath()
{
    return privateFile("halvorstead_crash.log");
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QString line = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss"));
    line += QStringLiteral(" [") + QLatin1String(levelName(type)) + QStringLiteral("] ");
    if (context.file)
        line += QString::fromUtf8(context.file) + QLatin1Char(':') + QString::number(context.line) + QLatin1Char(' ');
    line += message + QLatin1Char('\n');
    platform::appendPrivateFile(qtLogPath(), line.toUtf8());
}

void terminateHandler()
{
    platform::crashExit("terminate", 3);
}

void installDiagnostics()
{
    const QString dir = platform::privateTempDir();
    platform::installFatalSignalHandlers(crashLogPath(), dir);
    std::set_terminate(terminateHandler);
    qInstallMessageHandler(messageHandler);
}
