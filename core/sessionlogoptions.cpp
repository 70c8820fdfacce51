#include "core/sessionlogoptions.h"

#include "core/appsettings.h"
#include "core/datadir.h"

namespace {
const QString kInherit = QString::fromUtf8(keys::inheritChoice);
}

QString timestampFormat(const QString &choice)
{
    if (choice.isEmpty() || choice == u"无")
        return QString();
    if (choice == QLatin1String("YYYY-MM-DD HH:mm:ss"))
        return QStringLiteral("yyyy-MM-dd HH:mm:ss");
    if (choice == QLatin1String("HH:mm:ss"))
        return QStringLiteral("HH:mm:ss");
    if (choice == u"相对时间")
        return QStringLiteral("HH:mm:ss.zzz");
    return choice;
}

SessionLogOptions AppSettings::sessionLogOptions(const QString &sessionId) const
{
    const QString prefix = QStringLiteral("session/") + sessionId + QLatin1Char('/');
    const bool own = getChoice(keys::logOption, prefix) == u"覆盖全局设置";

    // A session's own flags replace the global ones outright.
    auto flag = [&](const QString &key) { return getBool(own ? prefix + key : key, false); };
    // A session's own text counts unless it is empty.
    auto text = [&](const TextSetting &setting) {
        const QString global = get(setting);
        const QString mine = own ? getString(prefix + QString::fromUtf8(setting.key), QString()) : QString();
        return mine.isEmpty() ? global : mine;
    };
    // A session's own choice counts unless it is empty or says "inherit".
    auto choice = [&](const ChoiceSetting &setting) {
        const QString mine = own ? getChoice(setting, prefix, kInherit) : QString();
        return mine.isEmpty() || mine == kInherit ? get(setting) : mine;
    };

    SessionLogOptions o;
    o.onOpen = flag(QStringLiteral("log/onOpen"));
    // Folders are written in the dialogs' Windows-style form ("%APPDATA%\logs\").
    QString dir = text(keys::logDir);
    dir.replace(QLatin1Char('\\'), QLatin1Char('/'));
    o.dir = expandPathVariables(dir);
    o.file = text(keys::logFile);
    o.direction = choice(keys::logDirection);
    o.mode = choice(keys::logMode);

    o.timestamp = timestampFormat(getString(QStringLiteral("log/timestamp"), QString()));
    if (own) {
        // As the session page says: left empty, the global format counts.
        // Only a format of its own, or the old choice "无", replaces it.
        const QString mine = getChoice(prefix + QStringLiteral("log/timestamp"), QString(), {kInherit});
        if (!mine.trimmed().isEmpty() && mine != kInherit)
            o.timestamp = timestampFormat(mine);
    }

    o.rotate = getInt(QStringLiteral("log/rotate"), 10);
    if (own) {
        const int mine = getInt(prefix + QStringLiteral("log/rotate"), -1);
        if (mine >= 0)
            o.rotate = mine;
    }
    o.rotateMidnight = flag(QStringLiteral("log/rotateMidnight"));
    o.onOpenCopy = o.onOpen;
    o.onConnect = text({"log/onConnect", ""});
    o.onDisconnect = text({"log/onDisconnect", ""});
    o.linePrefix = text({"log/linePrefix", ""});
    o.startMode = choice(keys::logStartMode);
    return o;
}
