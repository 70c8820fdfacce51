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
    // Which source wins: "$A" stands for the application folder, "-" for no
    // portable.ini; "$A/file" is a plain file, so nothing can be made under it.
    void resolution_data()
    {
        QTest::addColumn<QString>("env");
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("dir"); // empty: the default folder
        QTest::addColumn<QString>("warning");
        QTest::newRow("nothing") << "" << QByteArray("-") << "default" << "" << "";
        QTest::newRow("blanks only count as unset") << "   " << QByteArray("-") << "default" << "" << "";
        QTest::newRow("relative name inside the application folder") << " mydata " << QByteArray("-") << "env"
                                                                     << "$A/mydata" << "";
        QTest::newRow("variable wins over portable.ini, cleaned") << "$A/a/../b//c" << QByteArray("named\n") << "env"
                                                                  << "$A/b/c" << "";
        QTest::newRow("unusable variable falls back to portable.ini")
            << "$A/file/sub" << QByteArray("named\n") << "portable" << "$A/named"
            << "HALVORSTEAD_DATA_DIR=$A/file/sub 不可用，回退默认数据目录";
        QTest::newRow("unusable portable folder falls back to the default")
            << "" << QByteArray("file/inner\n") << "default" << ""
            << "portable.ini 指定的目录 $A/file/inner 不可用，回退默认数据目录";
        QTest::newRow("ini: first line, trimmed") << "" << QByteArray("  store  \nignored\n") << "portable" << "$A/store" << "";
        QTest::newRow("ini: empty first line") << "" << QByteArray("\nother\n") << "portable" << "$A/data" << "";
        QTest::newRow("ini: comment") << "" << QByteArray("# my data\nother\n") << "portable" << "$A/data" << "";
        QTest::newRow("ini: empty file") << "" << QByteArray() << "portable" << "$A/data" << "";
        QTest::newRow("ini: UTF-8 name") << "" << QByteArray("数据\n") << "portable" << "$A/数据" << "";
    }

    void resolution()
    {
        QFETCH(QString, env);
        QFETCH(QByteArray, ini);
        QFETCH(QString, mode);
        QFETCH(QString, dir);
        QFETCH(QString, warning);
        QTemporaryDir app;
        QFile blocker(app.path() + QStringLiteral("/file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        if (ini != "-")
            writeIni(app.path(), ini);
        const auto place = [&](QString s) { return s.replace(QStringLiteral("$A"), app.path()); };
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(place(warning)));
        bool found = false;
        readPortableIni(app.path(), &found);
        QCOMPARE(found, ini != "-");
        const DataDirInfo info = resolveDataDir(place(env), app.path());
        QCOMPARE(info.mode, mode);
        QCOMPARE(info.dir, dir.isEmpty() ? defaultDir() : place(dir));
        QVERIFY(dir.isEmpty() || QDir(info.dir).exists()); // made when chosen
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
