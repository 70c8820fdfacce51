#include "core/appsettings.h"
#include "core/datadir.h"
#include "core/languagemanager.h"
#include "core/sessionlogoptions.h"

#include <QDir>
#include <QSettings>
#include <QTest>

namespace {

const QString kSession = "0f0e0d0c-aaaa-bbbb-cccc-000000000001";

void set(const QString &key, const QVariant &value)
{
    AppSettings::instance().setValue(key, value);
}

void setOwn(const QString &key, const QVariant &value)
{
    set("session/" + kSession + QLatin1Char('/') + key, value);
}

QVariant field(const SessionLogOptions &o, const QString &name)
{
    const QHash<QString, QVariant> all{
        {"onOpen", o.onOpen}, {"dir", o.dir}, {"file", o.file}, {"direction", o.direction}, {"mode", o.mode},
        {"timestamp", o.timestamp}, {"rotate", o.rotate}, {"rotateMidnight", o.rotateMidnight},
        {"onOpenCopy", o.onOpenCopy}, {"onConnect", o.onConnect}, {"onDisconnect", o.onDisconnect},
        {"linePrefix", o.linePrefix}, {"startMode", o.startMode},
    };
    return all.value(name);
}

const QStringList kFields{"onOpen", "dir", "file", "direction", "mode", "timestamp", "rotate", "rotateMidnight",
                          "onOpenCopy", "onConnect", "onDisconnect", "linePrefix", "startMode"};

} // namespace

class TestSessionLogOptions : public QObject
{
    Q_OBJECT

    // Global options that differ from every default.
    static void setGlobals()
    {
        set("log/onOpen", true);
        set("log/dir", "%APPDATA%\\global\\");
        set("log/file", "%S.log");
        set("log/direction", "Both Send and Receive"); // stored as shown in English
        set("log/mode", "纯文本");
        set("log/timestamp", "YYYY-MM-DD HH:mm:ss");
        set("log/rotate", 25);
        set("log/rotateMidnight", true);
        set("log/onConnect", "hello");
        set("log/onDisconnect", "bye");
        set("log/linePrefix", "> ");
        set("log/startMode", "Append");
    }

private slots:
    void initTestCase()
    {
        qputenv("HALVORSTEAD_DATA_DIR", qgetenv("HV_TEST_BOX") + "/data");
        LanguageManager::setLanguage("en");
    }

    void init()
    {
        QSettings *s = AppSettings::instance().settings();
        s->remove("log");
        s->remove("session");
    }

    void timestampFormats_data()
    {
        QTest::addColumn<QString>("choice");
        QTest::addColumn<QString>("format");
        QTest::newRow("empty") << "" << "";
        QTest::newRow("none") << "无" << "";
        QTest::newRow("date and time") << "YYYY-MM-DD HH:mm:ss" << "yyyy-MM-dd HH:mm:ss";
        QTest::newRow("time") << "HH:mm:ss" << "HH:mm:ss";
        QTest::newRow("relative") << "相对时间" << "HH:mm:ss.zzz";
        QTest::newRow("custom") << "dd/MM hh:mm ap" << "dd/MM hh:mm ap";
    }
    void timestampFormats()
    {
        QFETCH(QString, choice);
        QFETCH(QString, format);
        QCOMPARE(timestampFormat(choice), format);
    }

    // Without the override switch a session's own keys are not consulted.
    void defaultsAndGlobals()
    {
        const auto shown = [](const SessionLogOptions &o) {
            QStringList out;
            for (const QString &name : kFields)
                out << name + '=' + field(o, name).toString();
            return out;
        };
        QCOMPARE(shown(AppSettings::instance().sessionLogOptions(kSession)),
                 (QStringList{"onOpen=false", "dir=" + dataDir() + "/logs/", "file=%S_%M_%D_%h.log",
                              "direction=收发都记录", "mode=纯文本", "timestamp=", "rotate=10", "rotateMidnight=false",
                              "onOpenCopy=false", "onConnect=", "onDisconnect=", "linePrefix=", "startMode=追加"}));
        setGlobals();
        setOwn("log/dir", "/own");
        setOwn("log/rotate", 1);
        QCOMPARE(shown(AppSettings::instance().sessionLogOptions(kSession)),
                 (QStringList{"onOpen=true", "dir=" + dataDir() + "/global/", "file=%S.log", "direction=收发都记录",
                              "mode=纯文本", "timestamp=yyyy-MM-dd HH:mm:ss", "rotate=25", "rotateMidnight=true",
                              "onOpenCopy=true", "onConnect=hello", "onDisconnect=bye", "linePrefix=> ",
                              "startMode=追加"}));
    }

    // The override switch alone: texts and choices fall back to the global
    // values, flags and the timestamp do not.
    void overrideWithoutOwnValues_data()
    {
        QTest::addColumn<QString>("option");
        QTest::newRow("chinese") << "覆盖全局设置";
        QTest::newRow("english") << "Override Global Settings";
        QTest::newRow("japanese") << "グローバル設定を上書き";
    }
    void overrideWithoutOwnValues()
    {
        QFETCH(QString, option);
        setGlobals();
        const SessionLogOptions global = AppSettings::instance().sessionLogOptions(kSession);
        setOwn("log/option", option);
        const SessionLogOptions o = AppSettings::instance().sessionLogOptions(kSession);
        for (const QString &name : kFields) {
            if (name == "onOpen" || name == "onOpenCopy" || name == "rotateMidnight")
                QCOMPARE(field(o, name).toBool(), false);
            else if (name == "timestamp")
                QCOMPARE(o.timestamp, QString());
            else
                QCOMPARE(field(o, name), field(global, name));
        }
    }

    void overrideValues_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("own");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QVariant>("expected");
        const QString home = QDir::homePath();
        QTest::newRow("rotate 0 wins") << "log/rotate" << QVariant(0) << "rotate" << QVariant(0);
        QTest::newRow("negative rotate") << "log/rotate" << QVariant(-1) << "rotate" << QVariant(25);
        QTest::newRow("own flag") << "log/onOpen" << QVariant(true) << "onOpenCopy" << QVariant(true);
        QTest::newRow("own midnight") << "log/rotateMidnight" << QVariant(true) << "rotateMidnight" << QVariant(true);
        QTest::newRow("empty dir") << "log/dir" << QVariant("") << "dir" << QVariant(dataDir() + "/global/");
        QTest::newRow("own dir") << "log/dir" << QVariant("%UserProfile%\\logs") << "dir" << QVariant(home + "/logs");
        QTest::newRow("own prefix") << "log/linePrefix" << QVariant("# ") << "linePrefix" << QVariant("# ");
        QTest::newRow("inherit choice") << "log/direction" << QVariant("默认（继承全局）") << "direction"
                                        << QVariant("收发都记录");
        QTest::newRow("inherit in english") << "log/mode" << QVariant("Default (inherit global)") << "mode"
                                            << QVariant("纯文本");
        QTest::newRow("empty choice") << "log/startMode" << QVariant("") << "startMode" << QVariant("追加");
        QTest::newRow("own choice, translated") << "log/mode" << QVariant("Texte brut") << "mode"
                                                << QVariant("纯文本");
        QTest::newRow("own choice, unknown") << "log/direction" << QVariant("只记录接收") << "direction"
                                             << QVariant("只记录接收");
        QTest::newRow("own timestamp") << "log/timestamp" << QVariant("相对时间") << "timestamp"
                                       << QVariant("HH:mm:ss.zzz");
        QTest::newRow("inherited timestamp") << "log/timestamp" << QVariant("Default (inherit global)")
                                             << "timestamp" << QVariant("yyyy-MM-dd HH:mm:ss");
        QTest::newRow("own custom timestamp") << "log/timestamp" << QVariant("mm:ss") << "timestamp"
                                              << QVariant("mm:ss");
    }
    void overrideValues()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, own);
        QFETCH(QString, name);
        QFETCH(QVariant, expected);
        setGlobals();
        setOwn("log/option", "覆盖全局设置");
        setOwn(key, own);
        QCOMPARE(field(AppSettings::instance().sessionLogOptions(kSession), name).toString(), expected.toString());
    }

    void pathVariablesInFolders_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("expected");
        QTest::newRow("default folder name folds") << "%appdata%\\Halvorstead\\logs\\" << dataDir() + "/logs/";
        QTest::newRow("similar name does not fold") << "%APPDATA%/HalvorsteadX/logs"
                                                    << dataDir() + "/HalvorsteadX/logs";
        QTest::newRow("home") << "%USERPROFILE%\\a\\b" << QDir::homePath() + "/a/b";
        QTest::newRow("plain") << "/var/log/hv" << "/var/log/hv";
    }
    void pathVariablesInFolders()
    {
        QFETCH(QString, stored);
        QFETCH(QString, expected);
        set("log/dir", stored);
        QCOMPARE(AppSettings::instance().sessionLogOptions(kSession).dir, expected);
    }
};

QTEST_GUILESS_MAIN(TestSessionLogOptions)
#include "tst_sessionlogoptions.moc"
