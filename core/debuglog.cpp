#include "core/debuglog.h"

#include "platform/privatefiles.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

bool debugLogEnabled()
{
    static const bool enabled = qEnvironmentVariableIsSet("HALVORSTEAD_DEBUG_LOG");
    return enabled;
}

QString debugLogPath()
{
    const QString dir = platform::privateTempDir();
    return dir.isEmpty() ? QString() : dir + QStringLiteral("/halvorstead_debug.log");
}

void debugLog(const QString &text)
{
    if (!debugLogEnabled())
        return;
    static QMutex writer;
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz"))
                         + QStringLiteral(" [T")
                         + QString::number(quint64(reinterpret_cast<quintptr>(QThread::currentThreadId())))
                         + QStringLiteral("] ") + text + QLatin1Char('\n');
    const QByteArray bytes = line.toUtf8();
    // The whole open-write-close is serialised so lines never interleave, and
    // the file is reopened each time so it is complete if the program dies.
    QMutexLocker lock(&writer);
    platform::appendPrivateFile(debugLogPath(), bytes);
}
