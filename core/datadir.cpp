#include "core/datadir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

// The per-user data location of a program named "Halvorstead" with no
// organisation: spelled out rather than taken from the application object, so
// that it is the same before the application names itself and in tools.
QString defaultAppDataLocation()
{
    return QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                           + QStringLiteral("/Halvorstead"));
}

// On this platform the local and the roaming application data are one place.
QString localAppDataLocation()
{
    return defaultAppDataLocation();
}

} // namespace

QString applicationDir()
{
    QString dir = QCoreApplication::applicationDirPath();
    if (dir.isEmpty())
        dir = QDir::currentPath();
    return dir;
}

QString resolvePath(const QString &path, const QString &appDir)
{
    const QString abs = QDir::isRelativePath(path) ? QDir(appDir).absoluteFilePath(path) : path;
    return QDir::cleanPath(abs);
}

QString resolvePath(const QString &path)
{
    return resolvePath(path, applicationDir());
}

bool ensureDir(const QString &path)
{
    if (path.isEmpty())
        return false;
    QDir dir(path);
    if (dir.exists())
        return true;
    return dir.mkpath(QStringLiteral("."));
}

QString readPortableIni(const QString &appDir, bool *found)
{
    if (found)
        *found = false;
    const QString iniPath = QDir(appDir).filePath(QStringLiteral("portable.ini"));
    if (!QFileInfo::exists(iniPath))
        return QString();
    if (found)
        *found = true;
    QFile file(iniPath);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
            return resolvePath(line, appDir);
    }
    return QDir(appDir).absoluteFilePath(QStringLiteral("data"));
}

QString readPortableIni(bool *found)
{
    return readPortableIni(applicationDir(), found);
}

DataDirInfo resolveDataDir(const QString &envValue, const QString &appDir)
{
    const QString env = envValue.trimmed();
    if (!env.isEmpty()) {
        const QString path = resolvePath(env, appDir);
        if (ensureDir(path))
            return {path, QStringLiteral("env")};
        qWarning("HALVORSTEAD_DATA_DIR=%s 不可用，回退默认数据目录", path.toUtf8().constData());
    }
    bool found = false;
    const QString portable = readPortableIni(appDir, &found);
    if (found) {
        if (ensureDir(portable))
            return {portable, QStringLiteral("portable")};
        qWarning("portable.ini 指定的目录 %s 不可用，回退默认数据目录", portable.toUtf8().constData());
    }
    return {defaultAppDataLocation(), QStringLiteral("default")};
}

const DataDirInfo &dataDirInfo()
{
    static const DataDirInfo info =
        resolveDataDir(qEnvironmentVariable("HALVORSTEAD_DATA_DIR"), applicationDir());
    return info;
}

bool isCustomDataDir()
{
    return dataDirInfo().mode != QLatin1String("default");
}

QString dataDir()
{
    const QString dir = dataDirInfo().dir;
    if (dir.isEmpty())
        return defaultAppDataLocation();
    QDir().mkpath(dir);
    return dir;
}

QString dataFilePath(const QString &fileName)
{
    return dataDir() + QLatin1Char('/') + fileName;
}

QString expandPathVariables(const QString &path)
{
    static const QRegularExpression foldDataFolder(QStringLiteral("^%APPDATA%[\\\\/]+Halvorstead(?=[\\\\/]|$)"),
                                                   QRegularExpression::CaseInsensitiveOption);
    QString out = path;
    out.replace(foldDataFolder, QStringLiteral("%APPDATA%"));
    if (out.contains(QLatin1String("%APPDATA%"), Qt::CaseInsensitive))
        out.replace(QLatin1String("%APPDATA%"), dataDir(), Qt::CaseInsensitive);
    if (out.contains(QLatin1String("%USERPROFILE%"), Qt::CaseInsensitive))
        out.replace(QLatin1String("%USERPROFILE%"),
                    QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::HomeLocation)),
                    Qt::CaseInsensitive);
    if (out.contains(QLatin1String("%LOCALAPPDATA%"), Qt::CaseInsensitive))
        out.replace(QLatin1String("%LOCALAPPDATA%"), localAppDataLocation(), Qt::CaseInsensitive);
    return out;
}
