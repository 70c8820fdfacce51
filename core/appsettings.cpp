#include "core/appsettings.h"

#include "core/datadir.h"
#include "core/languagemanager.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {
const QString kProduct = QStringLiteral("Halvorstead");
}

QSettings *AppSettings::openNativeStore()
{
    return new QSettings(QSettings::NativeFormat, QSettings::UserScope, kProduct, kProduct);
}

void AppSettings::importNativeSettings(QSettings *ini)
{
    if (QFileInfo::exists(ini->fileName()))
        return;
    QScopedPointer<QSettings> native(openNativeStore());
    const QStringList keys = native->allKeys();
    for (const QString &key : keys)
        ini->setValue(key, native->value(key));
    if (!keys.isEmpty())
        ini->sync();
}

QSettings *AppSettings::createSettings(const DataDirInfo &info)
{
    if (info.mode != QLatin1String("default")) {
        QDir().mkpath(info.dir);
        auto *ini = new QSettings(info.dir + QStringLiteral("/halvorstead_settings.ini"), QSettings::IniFormat);
        importNativeSettings(ini);
        return ini;
    }
    return openNativeStore();
}

AppSettings::AppSettings()
    : m_settings(createSettings(dataDirInfo()))
{
}

AppSettings &AppSettings::instance()
{
    // Deliberately leaked: nothing is written when the process ends.
    static AppSettings *store = new AppSettings;
    return *store;
}

QVariant AppSettings::value(const QString &key, const QVariant &defaultValue) const
{
    return m_settings->value(key, defaultValue);
}

bool AppSettings::getBool(const QString &key, bool defaultValue) const
{
    return m_settings->value(key, defaultValue).toBool();
}

int AppSettings::getInt(const QString &key, int defaultValue) const
{
    return m_settings->value(key, defaultValue).toInt();
}

QString AppSettings::getString(const QString &key, const QString &defaultValue) const
{
    return m_settings->value(key, defaultValue).toString();
}

const QStringList &keys::keywordMatchKinds()
{
    static const QStringList words{QStringLiteral("子串"), QStringLiteral("正则")};
    return words;
}

const QStringList &keys::keywordColours()
{
    static const QStringList words{QStringLiteral("红色"), QStringLiteral("绿色"), QStringLiteral("蓝色"),
                                   QStringLiteral("黄色"), QStringLiteral("橙色"), QStringLiteral("紫色")};
    return words;
}

QString AppSettings::getChoice(const QString &key, const QString &defaultValue, const QStringList &choices) const
{
    const QString stored = getString(key, defaultValue);
    const QString source = LanguageManager::sourceAmong(stored, choices);
    return source.isEmpty() ? stored : source;
}

QString AppSettings::get(const TextSetting &setting) const
{
    return getString(QString::fromUtf8(setting.key), QString::fromUtf8(setting.fallback));
}

QStringList choicesOf(const ChoiceSetting &setting)
{
    QStringList out;
    for (const char *choice : setting.choices) {
        if (choice)
            out << QString::fromUtf8(choice);
    }
    return out;
}

QString AppSettings::getChoice(const ChoiceSetting &setting, const QString &prefix, const QString &inherit) const
{
    QStringList choices = choicesOf(setting);
    if (!inherit.isEmpty())
        choices.prepend(inherit);
    return getChoice(prefix + QString::fromUtf8(setting.key),
                     inherit.isEmpty() ? QString::fromUtf8(setting.fallback) : inherit, choices);
}

QStringList AppSettings::keysWithPrefix(const QString &prefix) const
{
    QStringList out;
    const QStringList keys = m_settings->allKeys();
    for (const QString &key : keys) {
        if (key.startsWith(prefix, Qt::CaseSensitive))
            out.append(key);
    }
    return out;
}

void AppSettings::setValue(const QString &key, const QVariant &value)
{
    m_settings->setValue(key, value);
}

void AppSettings::sync()
{
    m_settings->sync();
    if (m_settings->status() == QSettings::AccessError && m_writeFailed)
        m_writeFailed(m_settings->fileName());
}
