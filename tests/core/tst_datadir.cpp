#include "core/datadir.h"
#include "tests/support/testfiles.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestDataDir : public QObject
{
    Q_OBJECT

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
        QTest::newRow("relative name in the application folder") << " mydata " << QByteArray("-") << "env" << "$A/mydata" << "";
        QTest::newRow("variable wins, cleaned") << "$A/a/../b//c" << QByteArray("named\n") << "env" << "$A/b/c" << "";
        QTest::newRow("unusable variable falls back to portable.ini") << "$A/file/sub" << QByteArray("named\n") << "portable"
            << "$A/named" << "HALVORSTEAD_DATA_DIR=$A/file/sub 不可用，回退默认数据目录";
        QTest::newRow("unusable portable folder falls back to the default") << "" << QByteArray("file/inner\n") << "default"
            << "" << "portable.ini 指定的目录 $A/file/inner 不可用，回退默认数据目录";
        QTest::newRow("ini: first line, trimmed") << "" << QByteArray("  store  \nignored\n") << "portable" << "$A/store" << "";
        QTest::newRow("ini: comment") << "" << QByteArray("# my data\nother\n") << "portable" << "$A/data" << "";
    }
    void resolution()
    {
        QFETCH(QString, env);
        QFETCH(QByteArray, ini);
        QFETCH(QString, mode);
        QFETCH(QString, dir);
        QFETCH(QString, warning);
        QTemporaryDir app;
        const auto place = [&](QString s) { return s.replace("$A", app.path()); };
        QVERIFY(writeFile(app.path() + "/file", ""));
        QVERIFY(ini == "-" || writeFile(app.path() + "/portable.ini", ini));
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(place(warning)));
        const DataDirInfo info = resolveDataDir(place(env), app.path());
        QCOMPARE(info.mode, mode);
        const QString fallback = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Halvorstead";
        QCOMPARE(info.dir, dir.isEmpty() ? QDir::cleanPath(fallback) : place(dir));
        QVERIFY(dir.isEmpty() || QDir(info.dir).exists()); // made when chosen
    }

    void expandVariables_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected"); // "$D" data folder, "$H" home
        QTest::newRow("folded, lower case") << "%appdata%\\Halvorstead\\logs" << "$D\\logs";
        QTest::newRow("prefix only, not folded") << "%APPDATA%\\HalvorsteadLogs" << "$D\\HalvorsteadLogs";
        QTest::newRow("profile") << "%UserProfile%/x" << "$H/x";
        QTest::newRow("plain") << "/var/log" << "/var/log";
    }
    void expandVariables()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(expandPathVariables(input), expected.replace("$D", dataDir()).replace("$H", QDir::cleanPath(QDir::homePath())));
    }
};

QTEST_GUILESS_MAIN(TestDataDir)
#include "tst_datadir.moc"
