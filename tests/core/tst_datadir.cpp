#include "core/datadir.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestDataDir : public QObject
{
    Q_OBJECT

    QString defaultDir() const
    {
        return QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                               + QStringLiteral("/Halvorstead"));
    }

    static void writeIni(const QString &appDir, const QByteArray &content)
    {
        QFile f(appDir + QStringLiteral("/portable.ini"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }

private slots:
    void environmentVariable()
    {
        QTemporaryDir app;
        // Blanks only count as unset: no warning, default folder.
        DataDirInfo info = resolveDataDir(QStringLiteral("   "), app.path());
        QCOMPARE(info.mode, QStringLiteral("default"));
        QCOMPARE(info.dir, defaultDir());

        // A relative name lands inside the application folder and is created.
        info = resolveDataDir(QStringLiteral(" mydata "), app.path());
        QCOMPARE(info.mode, QStringLiteral("env"));
        QCOMPARE(info.dir, app.path() + QStringLiteral("/mydata"));
        QVERIFY(QDir(info.dir).exists());

        // A usable variable wins over portable.ini.
        writeIni(app.path(), "portable-folder\n");
        info = resolveDataDir(app.path() + QStringLiteral("/a/../b//c"), app.path());
        QCOMPARE(info.mode, QStringLiteral("env"));
        QCOMPARE(info.dir, app.path() + QStringLiteral("/b/c"));
    }

    void unusableEnvironmentFallsBack()
    {
        QTemporaryDir app;
        QFile blocker(app.path() + QStringLiteral("/file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString bad = app.path() + QStringLiteral("/file/sub");
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("HALVORSTEAD_DATA_DIR=%1 不可用，回退默认数据目录").arg(bad)));
        writeIni(app.path(), "named\n");
        const DataDirInfo info = resolveDataDir(bad, app.path());
        QCOMPARE(info.mode, QStringLiteral("portable"));
        QCOMPARE(info.dir, app.path() + QStringLiteral("/named"));
    }

    void portableIni_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected"); // relative to the application folder
        QTest::newRow("named") << QByteArray("  store  \nignored\n") << QStringLiteral("store");
        QTest::newRow("empty first line") << QByteArray("\nother\n") << QStringLiteral("data");
        QTest::newRow("comment") << QByteArray("# my data\nother\n") << QStringLiteral("data");
        QTest::newRow("empty file") << QByteArray() << QStringLiteral("data");
        QTest::newRow("utf-8 name") << QByteArray("数据\n") << QStringLiteral("数据");
    }

    void portableIni()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QTemporaryDir app;
        writeIni(app.path(), content);
        bool found = false;
        QCOMPARE(readPortableIni(app.path(), &found), app.path() + QLatin1Char('/') + expected);
        QVERIFY(found);
        const DataDirInfo info = resolveDataDir(QString(), app.path());
        QCOMPARE(info.mode, QStringLiteral("portable"));
        QCOMPARE(info.dir, app.path() + QLatin1Char('/') + expected);
        QVERIFY(QDir(info.dir).exists());
    }

    void unusablePortableFolder()
    {
        QTemporaryDir app;
        QFile blocker(app.path() + QStringLiteral("/file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        writeIni(app.path(), "file/inner\n");
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("portable.ini 指定的目录 %1 不可用，回退默认数据目录")
                                            .arg(app.path() + QStringLiteral("/file/inner"))));
        const DataDirInfo info = resolveDataDir(QString(), app.path());
        QCOMPARE(info.mode, QStringLiteral("default"));
        QCOMPARE(info.dir, defaultDir());
    }

    void noSources()
    {
        QTemporaryDir app;
        bool found = true;
        QVERIFY(readPortableIni(app.path(), &found).isEmpty());
        QVERIFY(!found);
        QCOMPARE(resolveDataDir(QString(), app.path()).mode, QStringLiteral("default"));
    }

    void ensureDirAndResolve()
    {
        QVERIFY(!ensureDir(QString()));
        QTemporaryDir tmp;
        QVERIFY(ensureDir(tmp.path() + QStringLiteral("/x/y/z")));
        QCOMPARE(resolvePath(QStringLiteral("/a/./b/../c//d"), tmp.path()), QStringLiteral("/a/c/d"));
        QCOMPARE(resolvePath(QStringLiteral("rel"), tmp.path()), tmp.path() + QStringLiteral("/rel"));
    }

    void expandVariables_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected"); // "$D" data folder, "$H" home
        QTest::newRow("folded, lower case") << QStringLiteral("%appdata%\\Halvorstead\\logs") << QStringLiteral("$D\\logs");
        QTest::newRow("folded, slashes") << QStringLiteral("%APPDATA%//Halvorstead/logs") << QStringLiteral("$D/logs");
        QTest::newRow("folded, whole") << QStringLiteral("%APPDATA%/halvorstead") << QStringLiteral("$D");
        QTest::newRow("prefix only, not folded") << QStringLiteral("%APPDATA%\\HalvorsteadLogs") << QStringLiteral("$D\\HalvorsteadLogs");
        QTest::newRow("profile") << QStringLiteral("%UserProfile%/x") << QStringLiteral("$H/x");
        QTest::newRow("local, mixed case") << QStringLiteral("%LocalAppData%/y") << QStringLiteral("$D/y");
        QTest::newRow("twice") << QStringLiteral("%APPDATA%/a;%APPDATA%/b") << QStringLiteral("$D/a;$D/b");
        QTest::newRow("plain") << QStringLiteral("/var/log") << QStringLiteral("/var/log");
    }

    void expandVariables()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        expected.replace(QStringLiteral("$D"), dataDir());
        expected.replace(QStringLiteral("$H"), QDir::cleanPath(QDir::homePath()));
        QCOMPARE(expandPathVariables(input), expected);
    }

    void dataFilePathUsesDataDir()
    {
        QCOMPARE(dataFilePath(QStringLiteral("x.json")), dataDir() + QStringLiteral("/x.json"));
        QVERIFY(QDir(dataDir()).exists());
    }
};

QTEST_GUILESS_MAIN(TestDataDir)
#include "tst_datadir.moc"
