#include "core/appsettings.h"
#include "core/datadir.h"
#include "tests/support/testfiles.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class TestSettings : public QObject
{
    Q_OBJECT

    static void setNative(const QVariantMap &values)
    {
        QScopedPointer<QSettings> native(AppSettings::openNativeStore());
        native->clear();
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            native->setValue(it.key(), it.value());
        native->sync();
    }

private slots:
    // The native store is copied into a new INI file once; later changes to
    // it do not reach an existing file, and an empty one writes nothing.
    void customFolderImportsNativeOnce()
    {
        setNative({{"ui/language", "de"}, {"log/splitSize", 5}});
        QTemporaryDir data;
        const DataDirInfo info{data.path(), "env"};
        QScopedPointer<QSettings> ini(AppSettings::createSettings(info));
        QVERIFY(QFileInfo::exists(data.path() + "/halvorstead_settings.ini"));
        QCOMPARE(ini->value("log/splitSize").toInt(), 5);
        setNative({{"ui/new", 1}});
        ini.reset(AppSettings::createSettings(info));
        QCOMPARE(ini->allKeys(), (QStringList{"log/splitSize", "ui/language"}));

        setNative({});
        QTemporaryDir empty;
        ini.reset(AppSettings::createSettings({empty.path(), "portable"}));
        QVERIFY(!QFileInfo::exists(ini->fileName()));
        ini->setValue("window/maximized", true);
        ini->sync();
        QVERIFY(QFileInfo::exists(ini->fileName()));
        ini.reset(AppSettings::createSettings({"/nowhere", "default"}));
        QCOMPARE(ini->format(), QSettings::NativeFormat);
    }

    // Through the instance, which finds the data folder the way the program
    // does at start-up.
    void typedReads()
    {
        QTemporaryDir data;
        const QString file = data.path() + "/halvorstead_settings.ini";
        QVERIFY(writeFile(file, "[ui]\ncount=12\n[session]\nabc\\conn\\user=root\n"));
        qputenv("HALVORSTEAD_DATA_DIR", data.path().toUtf8());
        AppSettings &s = AppSettings::instance();
        QCOMPARE(s.getInt("ui/count", 3), 12);
        QCOMPARE(s.keysWithPrefix("session/"), QStringList{"session/abc/conn/user"});
        QVERIFY(s.keysWithPrefix("Session/").isEmpty());
        s.setValue("ui/language", "fr");
        s.sync();
        QCOMPARE(QSettings(file, QSettings::IniFormat).value("ui/language").toString(), "fr");
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
