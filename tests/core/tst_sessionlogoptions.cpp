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

// Every option as "name=value", for the session above.
QStringList options()
{
    const SessionLogOptions o = AppSettings::instance().sessionLogOptions(kSession);
    const QList<std::pair<const char *, QVariant>> all{
        {"onOpen", o.onOpen}, {"dir", o.dir}, {"file", o.file}, {"direction", o.direction}, {"mode", o.mode},
        {"timestamp", o.timestamp}, {"rotate", o.rotate}, {"rotateMidnight", o.rotateMidnight},
        {"onOpenCopy", o.onOpenCopy}, {"onConnect", o.onConnect}, {"onDisconnect", o.onDisconnect},
        {"linePrefix", o.linePrefix}, {"startMode", o.startMode}};
    QStringList out;
    for (const auto &[name, value] : all)
        out << name + ('=' + value.toString());
    return out;
}

} // namespace

class TestSessionLogOptions : public QObject
{
    Q_OBJECT

    const QString own = "session/" + kSession + "/log/";

    // Global options that differ from every default; the folder's default
    // name folds into the data folder.
    static void setGlobals()
    {
        const QList<std::pair<const char *, QVariant>> globals{
            {"onOpen", true}, {"dir", "%appdata%\\Halvorstead\\global\\"}, {"file", "%S.log"},
            {"direction", "Both Send and Receive"}, // stored as shown in English
            {"mode", "纯文本"}, {"timestamp", "YYYY-MM-DD HH:mm:ss"}, {"rotate", 25}, {"rotateMidnight", true},
            {"onConnect", "hello"}, {"onDisconnect", "bye"}, {"linePrefix", "> "}, {"startMode", "Append"}};
        for (const auto &[key, value] : globals)
            set(QString("log/") + key, value);
    }

private slots:
    void initTestCase()
    {
        qputenv("HALVORSTEAD_DATA_DIR", qgetenv("HV_TEST_BOX") + "/data");
        LanguageManager::setLanguage("en");
    }

    void init()
    {
        AppSettings::instance().settings()->remove("log");
        AppSettings::instance().settings()->remove("session");
    }

    // Own values count only under the override switch (in any language);
    // the switch alone falls back to the global texts and choices, not to
    // the flags and the timestamp.
    void overrideValues_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("expected"); // the option it sets, as "name=value"
        const QString on = "覆盖全局设置";
        QTest::newRow("no override, own dir") << "" << "dir" << QVariant("/own") << "dir=" + dataDir() + "/global/";
        QTest::newRow("no override, own rotate") << "" << "rotate" << QVariant(1) << "rotate=25";
        QTest::newRow("no override, global stamp") << "" << "timestamp" << QVariant("无") << "timestamp=yyyy-MM-dd HH:mm:ss";
        QTest::newRow("no override, global flag") << "" << "onOpen" << QVariant(false) << "onOpenCopy=true";
        QTest::newRow("switch alone, flag") << "Override Global Settings" << "" << QVariant() << "onOpenCopy=false";
        QTest::newRow("switch alone, stamp") << on << "" << QVariant() << "timestamp=yyyy-MM-dd HH:mm:ss";
        QTest::newRow("rotate 0 wins") << on << "rotate" << QVariant(0) << "rotate=0";
        QTest::newRow("negative rotate") << on << "rotate" << QVariant(-1) << "rotate=25";
        QTest::newRow("own flag") << on << "onOpen" << QVariant(true) << "onOpenCopy=true";
        QTest::newRow("empty dir") << on << "dir" << QVariant("") << "dir=" + dataDir() + "/global/";
        QTest::newRow("own dir") << on << "dir" << QVariant("%UserProfile%\\logs") << "dir=" + QDir::homePath() + "/logs";
        QTest::newRow("inherit choice") << on << "direction" << QVariant("默认（继承全局）") << "direction=收发都记录";
        QTest::newRow("inherit in english") << on << "mode" << QVariant("Default (inherit global)") << "mode=纯文本";
        QTest::newRow("empty choice") << on << "startMode" << QVariant("") << "startMode=追加";
        QTest::newRow("own choice, translated") << on << "mode" << QVariant("Texte brut") << "mode=纯文本";
        // Korean and Hindi share one translation for "追加" and "添加".
        QTest::newRow("korean append") << on << "startMode" << QVariant("추가") << "startMode=追加";
        QTest::newRow("hindi append") << on << "startMode" << QVariant("जोड़ें") << "startMode=追加";
        // Settings written while these choices showed other English texts.
        QTest::newRow("earlier english, direction") << on << "direction" << QVariant("Send only") << "direction=仅发送";
        QTest::newRow("earlier english, mode") << on << "mode" << QVariant("Both (text + HEX)") << "mode=双份（文本+HEX）";
        QTest::newRow("earlier english, start") << on << "startMode" << QVariant("Overwrite") << "startMode=清空";
        QTest::newRow("own choice, unknown") << on << "direction" << QVariant("只记录接收") << "direction=只记录接收";
        QTest::newRow("own timestamp") << on << "timestamp" << QVariant("相对时间") << "timestamp=HH:mm:ss.zzz";
        QTest::newRow("no timestamp") << on << "timestamp" << QVariant("无") << "timestamp=";
        // Left empty (or blank, or "inherit" in any language) on the page,
        // the session's logs keep the global timestamp.
        QTest::newRow("empty timestamp") << on << "timestamp" << QVariant("") << "timestamp=yyyy-MM-dd HH:mm:ss";
        QTest::newRow("blank timestamp") << on << "timestamp" << QVariant("  ") << "timestamp=yyyy-MM-dd HH:mm:ss";
        QTest::newRow("inherit timestamp") << on << "timestamp" << QVariant("Default (inherit global)")
                                           << "timestamp=yyyy-MM-dd HH:mm:ss";
        QTest::newRow("own format") << on << "timestamp" << QVariant("HH:mm") << "timestamp=HH:mm";
    }
    void overrideValues()
    {
        QFETCH(QString, option);
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(QString, expected);
        setGlobals();
        set(own + "option", option);
        if (!key.isEmpty())
            set(own + key, value);
        QVERIFY2(options().contains(expected), qPrintable(options().join(' ')));
    }

    // A choice the session never set follows the global one, whatever the
    // choice's own default.
    void unsetChoiceInherits()
    {
        set("log/mode", "HEX");
        set("log/direction", "仅接收");
        set(own + "option", "覆盖全局设置");
        QVERIFY2(options().contains("mode=HEX") && options().contains("direction=仅接收"), qPrintable(options().join(' ')));
    }
};

QTEST_GUILESS_MAIN(TestSessionLogOptions)
#include "tst_sessionlogoptions.moc"
