#include "core/appsettings.h"
#include "core/datadir.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class TestSettings : public QObject
{
    Q_OBJECT

    static void clearNative()
    {
        QScopedPointer<QSettings> native(AppSettings::openNativeStore());
        native->clear();
        native->sync();
    }

private slots:
    void init() { clearNative(); }

    void customFolderImportsNativeOnce()
    {
        {
            QScopedPointer<QSettings> native(AppSettings::openNativeStore());
            native->setValue(QStringLiteral("ui/language"), QStringLiteral("de"));
            native->setValue(QStringLiteral("log/splitSize"), 5);
            native->sync();
        }
        QTemporaryDir data;
        const DataDirInfo info{data.path(), QStringLiteral("env")};
        QScopedPointer<QSettings> ini(AppSettings::createSettings(info));
        QCOMPARE(ini->format(), QSettings::IniFormat);
        QCOMPARE(QFileInfo(ini->fileName()).fileName(), QStringLiteral("halvorstead_settings.ini"));
        QVERIFY(QFileInfo::exists(ini->fileName()));
        QCOMPARE(ini->value(QStringLiteral("ui/language")).toString(), QStringLiteral("de"));
        QCOMPARE(ini->value(QStringLiteral("log/splitSize")).toInt(), 5);

        // Later changes to the native store do not reach an existing INI file.
        clearNative();
        {
            QScopedPointer<QSettings> native(AppSettings::openNativeStore());
            native->setValue(QStringLiteral("ui/new"), 1);
            native->sync();
        }
        ini.reset(AppSettings::createSettings(info));
        QCOMPARE(ini->value(QStringLiteral("ui/language")).toString(), QStringLiteral("de"));
        QVERIFY(!ini->contains(QStringLiteral("ui/new")));
    }

    void emptyNativeWritesNothingUntilFirstWrite()
    {
        QTemporaryDir data;
        QScopedPointer<QSettings> ini(AppSettings::createSettings({data.path(), QStringLiteral("portable")}));
        QVERIFY(!QFileInfo::exists(ini->fileName()));
        ini->setValue(QStringLiteral("window/maximized"), true);
        ini->sync();
        QVERIFY(QFileInfo::exists(ini->fileName()));
    }

    void defaultModeUsesNativeStore()
    {
        QScopedPointer<QSettings> s(AppSettings::createSettings({QStringLiteral("/nowhere"), QStringLiteral("default")}));
        QCOMPARE(s->format(), QSettings::NativeFormat);
        QVERIFY(!QFileInfo::exists(QStringLiteral("/nowhere")));
    }

    void typedReads()
    {
        QTemporaryDir data;
        QFile file(data.path() + QStringLiteral("/halvorstead_settings.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[ui]\nflag=true\noff=false\ncount=12\nword=abc\nempty=\n"
                   "[session]\nabc\\conn\\user=root\n");
        file.close();

        // The instance resolves the data folder from the environment; it is
        // the same code path the program takes at start-up.
        qputenv("HALVORSTEAD_DATA_DIR", data.path().toUtf8());
        AppSettings &s = AppSettings::instance();
        QCOMPARE(dataDirInfo().mode, QStringLiteral("env"));
        QVERIFY(s.getBool(QStringLiteral("ui/flag"), false));
        QVERIFY(!s.getBool(QStringLiteral("ui/off"), true));
        QCOMPARE(s.getInt(QStringLiteral("ui/count"), 3), 12);
        QCOMPARE(s.getInt(QStringLiteral("ui/word"), 10), 0); // present but not a number
        QCOMPARE(s.getInt(QStringLiteral("ui/missing"), 10), 10);
        QCOMPARE(s.getString(QStringLiteral("ui/empty"), QStringLiteral("dflt")), QString()); // present wins
        QCOMPARE(s.getString(QStringLiteral("ui/missing"), QStringLiteral("dflt")), QStringLiteral("dflt"));
        QCOMPARE(s.value(QStringLiteral("ui/missing"), 7).toInt(), 7);

        QCOMPARE(s.keysWithPrefix(QStringLiteral("session/")), QStringList{QStringLiteral("session/abc/conn/user")});
        QVERIFY(s.keysWithPrefix(QStringLiteral("Session/")).isEmpty());
        QVERIFY(s.keysWithPrefix(QStringLiteral("nothing/")).isEmpty());

        s.setValue(QStringLiteral("ui/language"), QStringLiteral("fr"));
        s.sync();
        QSettings reread(file.fileName(), QSettings::IniFormat);
        QCOMPARE(reread.value(QStringLiteral("ui/language")).toString(), QStringLiteral("fr"));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
