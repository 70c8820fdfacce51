#include "core/sessionlogoptions.h"

#include "core/appsettings.h"
#include "core/datadir.h"

namespace {

const QString kInherit = QStringLiteral("默认（继承全局）");
const QString kOverride = QStringLiteral("覆盖全局设置");
const QStringList kDirections{kInherit, QStringLiteral("收发都记录"), QStringLiteral("仅接收"), QStringLiteral("仅发送")};
const QStringList kModes{kInherit, QStringLiteral("纯文本"), QStringLiteral("HEX"), QStringLiteral("双份（文本+HEX）")};
const QStringList kStartModes{kInherit, QStringLiteral("追加"), QStringLiteral("清空")};

} // namespace

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
    const bool own = getChoice(prefix + QStringLiteral("log/option"), kInherit, {kInherit, kOverride}) == kOverride;

    // A session's own flags replace the global ones outright.
    auto flag = [&](const QString &key) { return getBool(own ? prefix + key : key, false); };
    // A session's own text counts unless it is empty.
    auto text = [&](const QString &key, const QString &globalDefault) {
        const QString global = getString(key, globalDefault);
        const QString mine = own ? getString(prefix + key, QString()) : QString();
        return mine.isEmpty() ? global : mine;
    };
    // A session's own choice counts unless it is empty or says "inherit".
    auto choice = [&](const QString &key, const QString &globalDefault, const QStringList &items) {
        QString value = getChoice(key, globalDefault, items);
        if (own) {
            const QString mine = getChoice(prefix + key, kInherit, items);
            if (!mine.isEmpty() && mine != kInherit)
                value = mine;
        }
        return value;
    };

    SessionLogOptions o;
    o.onOpen = flag(QStringLiteral("log/onOpen"));
    // Folders are written in the dialogs' Windows-style form ("%APPDATA%\logs\").
    QString dir = text(QStringLiteral("log/dir"), QStringLiteral("%APPDATA%\\logs\\"));
    dir.replace(QLatin1Char('\\'), QLatin1Char('/'));
    o.dir = expandPathVariables(dir);
    o.file = text(QStringLiteral("log/file"), QStringLiteral("%S_%M_%D_%h.log"));
    o.direction = choice(QStringLiteral("log/direction"), QStringLiteral("收发都记录"), kDirections);
    o.mode = choice(QStringLiteral("log/mode"), QStringLiteral("纯文本"), kModes);

    o.timestamp = timestampFormat(getString(QStringLiteral("log/timestamp"), QString()));
    if (own) {
        // An empty own choice means "no timestamp", not "the global one".
        const QString mine = getChoice(prefix + QStringLiteral("log/timestamp"), QString(), {kInherit});
        if (mine != kInherit)
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
    o.onConnect = text(QStringLiteral("log/onConnect"), QString());
    o.onDisconnect = text(QStringLiteral("log/onDisconnect"), QString());
    o.linePrefix = text(QStringLiteral("log/linePrefix"), QString());
    o.startMode = choice(QStringLiteral("log/startMode"), QStringLiteral("追加"), kStartModes);
    return o;
}
