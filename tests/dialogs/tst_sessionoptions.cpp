#include "core/appsettings.h"
#include "core/datadir.h"
#include "core/languagemanager.h"
#include "core/passwordprotection.h"
#include "core/sessionstore.h"
#include "dialogs/sessionoptionsdialog.h"
#include "platform/pty.h"

#include "tests/dialogs/dialogtesting.h"
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

namespace {

const QString kOk = QStringLiteral("确定"), kApply = QStringLiteral("应用"), kCancel = QStringLiteral("取消");

QString recordText(const SessionInfo &r)
{
    return QStringList{r.name, r.host, r.port, r.group, r.env_type, serialText(r)}.join('|');
}

SessionInfo record(const QString &type, const QString &host = QString(), const QString &port = QString())
{
    SessionInfo r;
    r.id = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-') + QLatin1String(QTest::currentTestFunction());
    r.name = QStringLiteral("n");
    r.type = type;
    r.host = host;
    r.port = port;
    return r;
}

} // namespace

class TestSessionOptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LanguageManager::setLanguage(QStringLiteral("zh"));
        SessionStore::instance().addGroup(QStringLiteral("Lab"));
    }

    // What the dialog writes is what the openers read: the record's host,
    // port and serial line, and every per-session key as edited.
    void writesWhatOpenersRead_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QVariantMap>("edits"); // names with "/" are settings keys
        QTest::addColumn<QString>("expected");  // recordText
        QTest::addColumn<QStringList>("absent"); // keys that must stay unwritten
        const QString plain = "COM1/115200/8/1/0/0";
        QTest::newRow("ssh") << "ssh"
                             << QVariantMap{{"hostEdit", " h.example "}, {"portEdit", "2222"}, {"conn/user", "root"},
                                            {"conn/pass", "pw"}, {"conn/auth", "公钥认证"}, {"conn/remoteCmd", "top"},
                                            {"conn/keepalive", 30}, {"term/typeStr", "vt100"}, {"envTypeCombo", "Linux/Unix"}}
                             << "n|h.example|2222|Lab|linux|" + plain << QStringList{};
        QTest::newRow("telnet, any case") << "Telnet" << QVariantMap{{"conn/user", "u"}, {"portEdit", " 99999 "}}
                                          << "n|h|99999|Lab|auto|" + plain << QStringList{};
        QTest::newRow("rlogin: host and port only") << "rlogin" << QVariantMap{{"portEdit", "-1"}}
                                                    << "n|h|-1|Lab|auto|" + plain << QStringList{"conn/user", "conn/pass"};
        QTest::newRow("serial") << "serial"
                                << QVariantMap{{"serialPortCombo", "ttyUSB3"}, {"baudCombo", "57600"}, {"dataBitsCombo", "7"},
                                               {"stopBitsCombo", "2"}, {"parityCombo", "偶 (Even)"},
                                               {"flowCombo", "硬件 (RTS/CTS)"}}
                                << "n|ttyUSB3|57600|Lab|auto|ttyUSB3/57600/7/2/2/1" << QStringList{};
        QTest::newRow("serial, baud no number keeps the record's")
            << "serial" << QVariantMap{{"baudCombo", "fast"}} << "n|COM1|115200|Lab|auto|" + plain << QStringList{};
        QTest::newRow("serial, baud out of range")
            << "serial" << QVariantMap{{"baudCombo", "49"}} << "n|COM1|115200|Lab|auto|" + plain << QStringList{};
        const QString sh = platform::listedShells().value(0);
        QTest::newRow("local, listed shell") << "local" << QVariantMap{{"shellCombo", sh}} << "n|" + sh + "||Lab|auto|" + plain
                                             << QStringList{};
    }
    void writesWhatOpenersRead()
    {
        QFETCH(QString, type);
        QFETCH(QVariantMap, edits);
        QFETCH(QString, expected);
        QFETCH(QStringList, absent);
        SessionInfo r = record(type, "h", "22");
        r.group = "Lab";
        SessionOptionsDialog d(r);
        const QString prefix = "session/" + r.id + "/";
        QVariantMap prefixed;
        for (auto it = edits.cbegin(); it != edits.cend(); ++it)
            prefixed[it.key().contains('/') ? prefix + it.key() : it.key()] = it.value();
        fill(d, prefixed);
        QList<SessionInfo> handed;
        d.setApplyHandler([&](const SessionInfo &s) { return handed << s, true; });
        press(d, kOk);
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(handed.size(), 1);
        QCOMPARE(recordText(handed.first()), expected);
        AppSettings &s = AppSettings::instance();
        for (auto it = edits.cbegin(); it != edits.cend(); ++it) {
            if (!it.key().contains('/'))
                continue;
            const QString stored = s.getString(prefix + it.key(), "unset");
            QCOMPARE(it.key() == "conn/pass" ? unprotectSecret(stored) : stored, it.value().toString());
        }
        for (const QString &key : absent)
            QVERIFY2(!s.value(prefix + key).isValid(), qPrintable(key));
    }

    // The saved password: re-sealed on apply, cleared when emptied, kept when
    // this machine cannot open it and the field was not edited, and kept
    // (with one warning) when sealing fails.
    void passwordRules_data()
    {
        QTest::addColumn<QString>("stored"); // "sealed": "old" sealed here
        QTest::addColumn<QString>("typed");  // null: field untouched
        QTest::addColumn<bool>("sealFails");
        QTest::addColumn<QString>("expected"); // "stored": unchanged; else what opens
        QTest::addColumn<int>("warnings");
        const QString foreign = "dpapi1:" + QByteArray(64, 'A').toBase64();
        QTest::newRow("untouched") << "sealed" << QString() << false << "old" << 0;
        QTest::newRow("typed") << "sealed" << "new" << false << "new" << 0;
        QTest::newRow("cleared") << "sealed" << "" << false << "" << 0;
        QTest::newRow("foreign, untouched") << foreign << QString() << false << "stored" << 0;
        QTest::newRow("foreign, replaced") << foreign << "mine" << false << "mine" << 0;
        QTest::newRow("seal fails") << "sealed" << "new" << true << "stored" << 1;
        QTest::newRow("plain text is sealed") << "plain-pw" << QString() << false << "plain-pw" << 0;
    }
    void passwordRules()
    {
        QFETCH(QString, stored);
        QFETCH(QString, typed);
        QFETCH(bool, sealFails);
        QFETCH(QString, expected);
        AppSettings &s = AppSettings::instance();
        const SessionInfo r = record("ssh", "h");
        const QString key = "session/" + r.id + "/conn/pass";
        const QString before = stored == "sealed" ? protectSecret("old") : stored;
        s.setValue(key, before);
        if (stored != "sealed" && stored.startsWith("dpapi1:"))
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Saved password "));
        SessionOptionsDialog d(r);
        auto *edit = d.findChild<QLineEdit *>(key);
        QVERIFY(edit);
        if (!typed.isNull()) {
            edit->selectAll();
            typed.isEmpty() ? QTest::keyClick(edit, Qt::Key_Delete) : QTest::keyClicks(edit, typed);
        }
        const QByteArray config = qgetenv("XDG_CONFIG_HOME");
        const QString broken = qEnvironmentVariable("HV_TEST_BOX") + "/broken";
        if (sealFails) {
            QVERIFY(QDir().mkpath(broken + "/target"));
            QFile::link(broken + "/target", broken + "/Halvorstead");
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(broken));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Password could not be sealed"));
        }
        BoxCloser boxes;
        press(d, kApply);
        qputenv("XDG_CONFIG_HOME", config);
        QTEST(boxes.seen, "warnings");
        const QString after = s.getString(key, "unset");
        if (expected == "stored")
            QCOMPARE(after, before);
        else
            QCOMPARE(unprotectSecret(after), expected);
        QVERIFY(after.isEmpty() || after.startsWith("dpapi1:"));
    }

    // Apply hands the record over as OK does; Cancel afterwards neither
    // takes it back nor hands anything more.
    void applyThenCancelKeepsTheRecord()
    {
        SessionStore &store = SessionStore::instance();
        const QString id = store.addSession("before", "ssh", QString(), "old-host", "22");
        SessionOptionsDialog d(*store.findSession(id));
        int calls = 0;
        d.setApplyHandler([&](const SessionInfo &s) { return ++calls, store.updateSession(s); });
        fill(d, {{"nameEdit", " after "}, {"hostEdit", "new-host"}});
        press(d, kApply);
        press(d, kCancel);
        QCOMPARE(d.result(), int(QDialog::Rejected));
        QCOMPARE(calls, 1);
        QCOMPARE(store.findSession(id)->name, "after");
        QCOMPARE(store.findSession(id)->host, "new-host");
    }

    // Records as they may come from an old or hand-edited file: the dialog
    // shows its fallbacks, saves without complaint and keeps what it cannot
    // judge (a vanished port, a shell it does not know, odd ports).
    void oddRecords_data()
    {
        QTest::addColumn<QStringList>("in"); // type, host, port, serial, env_type, group
        QTest::addColumn<QString>("expected");
        const QString plain = "COM1/115200/8/1/0/0", longHost(300, 'h');
        QTest::newRow("serial, vanished port, odd codes") << QStringList{"serial", "", "", "ttyGONE7/31250/9/0/7/-1", "Linux", "Gone"}
                                                           << "|ttyGONE7|31250||auto|ttyGONE7/31250/5/1/0/0";
        QTest::newRow("local, unknown shell") << QStringList{"local", "/opt/nowhere/fish", "22", plain, "auto", ""}
                                              << "|/opt/nowhere/fish|||auto|" + plain;
        QTest::newRow("local, default from elsewhere") << QStringList{"local", "命令提示符 (cmd)", "", plain, "auto", ""}
                                                       << "|命令提示符 (cmd)|||auto|" + plain;
        QTest::newRow("no type, long host") << QStringList{"", longHost, "abc", plain, "windows", "Lab"}
                                            << "|" + longHost + "|abc|Lab|windows|" + plain;
    }
    void oddRecords()
    {
        QFETCH(QStringList, in);
        QFETCH(QString, expected);
        SessionInfo r = record(in[0], in[1], in[2]);
        r.name.clear();
        setSerial(r, in[3]);
        r.env_type = in[4];
        r.group = in[5];
        const QString prefix = "session/" + r.id + "/";
        AppSettings &s = AppSettings::instance();
        s.setValue(prefix + "conn/keepalive", QStringList{"x"});
        s.setValue(prefix + "term/fontSize", "big");
        s.setValue(prefix + "log/rotate", 5000);
        SessionOptionsDialog d(r);
        SessionInfo out;
        d.setApplyHandler([&](const SessionInfo &applied) { return out = applied, true; });
        press(d, kOk);
        QCOMPARE(recordText(out), expected);
        QCOMPARE(s.getInt(prefix + "term/fontSize", 0), 13);
        QCOMPARE(s.getInt(prefix + "log/rotate", 0), 1000);
    }

    // The folder a session logs to follows the override choice and the
    // folder typed, before anything is saved; the log fields follow it too.
    void effectiveLogFolder_data()
    {
        QTest::addColumn<int>("option");
        QTest::addColumn<QString>("own");
        QTest::addColumn<QString>("global");
        QTest::addColumn<QString>("expected");
        QTest::newRow("inherit ignores own") << 0 << "/srv/own" << "/srv/global" << "/srv/global";
        QTest::newRow("override") << 1 << " /srv/own " << "/srv/global" << "/srv/own";
        QTest::newRow("override, empty own") << 1 << "" << "/srv/global" << "/srv/global";
        QTest::newRow("nothing set") << 1 << "" << "" << "%APPDATA%/logs/";
    }
    void effectiveLogFolder()
    {
        QFETCH(int, option);
        QFETCH(QString, own);
        QFETCH(QString, global);
        QFETCH(QString, expected);
        AppSettings::instance().setValue("log/dir", global);
        const SessionInfo r = record("ssh", "h");
        const QString prefix = "session/" + r.id + "/";
        SessionOptionsDialog d(r);
        d.findChild<QComboBox *>(prefix + "log/option")->setCurrentIndex(option);
        d.findChild<QLineEdit *>(prefix + "log/dir")->setText(own);
        QCOMPARE(d.effectiveLogDir(), expandPathVariables(expected));
        QVERIFY(d.findChild<QLabel *>("effectiveLogDir")->text().contains(QDir::toNativeSeparators(d.effectiveLogDir())));
        QCOMPARE(d.findChild<QWidget *>(prefix + "log/timestamp")->parentWidget()->isEnabled(), option == 1);
        QCOMPARE(d.findChild<QWidget *>(prefix + "log/mode")->isEnabled(), option == 1);
    }
};

QTEST_MAIN(TestSessionOptions)
#include "tst_sessionoptions.moc"
