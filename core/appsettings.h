#pragma once

#include "core/settingkeys.h"

#include <QStringList>
#include <QVariant>

#include <functional>

class QSettings;
struct DataDirInfo;
struct SessionLogOptions;

// The one process-wide settings store. Keys have a section and a name
// ("ui/language"); per-session keys put "session/<id>/" in front. With the
// default data folder the values live in the native store (on Linux the
// user's configuration folder); with a custom data folder in
// "halvorstead_settings.ini" inside it, filled once from the native store.
class AppSettings
{
public:
    static AppSettings &instance();

    QVariant value(const QString &key, const QVariant &defaultValue = QVariant()) const;
    bool getBool(const QString &key, bool defaultValue) const;
    int getInt(const QString &key, int defaultValue) const;
    QString getString(const QString &key, const QString &defaultValue) const;
    // A combo choice as one of `choices` (source texts), also when an older
    // file holds it translated; any other text as it stands.
    QString getChoice(const QString &key, const QString &defaultValue, const QStringList &choices) const;
    // Settings declared in core/settingkeys.h, read with their own default.
    int get(const IntSetting &setting) const { return getInt(QString::fromUtf8(setting.key), setting.fallback); }
    QString get(const TextSetting &setting) const;
    QString get(const ChoiceSetting &setting) const { return getChoice(setting, QString()); }
    // A choice under `prefix` + the setting's key; `inherit`, when given,
    // is its default and one more choice.
    QString getChoice(const ChoiceSetting &setting, const QString &prefix, const QString &inherit = QString()) const;
    QStringList keysWithPrefix(const QString &prefix) const;
    void setValue(const QString &key, const QVariant &value);
    // Writes what is pending. A file that cannot be written (a read-only
    // data folder, a full disk) is named to the listener, which tells the
    // user: otherwise the change looks saved until the next start.
    void sync();
    void setWriteFailureListener(std::function<void(const QString &file)> listener)
    {
        m_writeFailed = std::move(listener);
    }

    // The logging options of a session (see core/sessionlogoptions.h, where
    // this is defined).
    SessionLogOptions sessionLogOptions(const QString &sessionId) const;

    QSettings *settings() const { return m_settings; }

    // Builds the store for a resolved data folder. Exposed so that both
    // storage modes can be exercised in one process.
    static QSettings *createSettings(const DataDirInfo &info);
    // Copies every key of the native store into a new INI store; nothing when
    // the INI file exists already or the native store is empty.
    static void importNativeSettings(QSettings *ini);
    // The native store under the program's organisation and application name.
    static QSettings *openNativeStore();

private:
    AppSettings();
    QSettings *m_settings; // lives until the process ends; never saved on destruction
    std::function<void(const QString &file)> m_writeFailed;
};
