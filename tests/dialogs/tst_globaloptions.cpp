#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "dialogs/globaloptionsdialog.h"
#include "dialogs/settingsform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>

using Rows = QList<QStringList>;

namespace {
QString T(const char *source)
{
    return LanguageManager::tr(QString::fromUtf8(source));
}

QString stored(const QString &key)
{
    return AppSettings::instance().value(key).toString();
}

void press(QDialog &dialog, const char *source)
{
    for (QPushButton *b : dialog.findChildren<QPushButton *>())
        if (b->text() == T(source))
            return QTest::mouseClick(b, Qt::LeftButton);
    QFAIL(source);
}

template<class W> W *editor(const QDialog &dialog, const QString &key)
{
    auto *w = dialog.findChild<W *>(key);
    if (!w)
        qWarning("no editor %s", qPrintable(key));
    return w;
}

// Writes an option table the way an older or damaged store may hold it.
void storeRows(const QString &name, const Rows &rows)
{
    QScopedPointer<QSettings> native(AppSettings::openNativeStore());
    native->beginWriteArray(name, int(rows.size()));
    for (int r = 0; r < rows.size(); ++r) {
        native->setArrayIndex(r);
        native->setValue("row", rows.at(r));
    }
    native->endArray();
}

Rows shown(const QTableWidget *table)
{
    return tableRows(table);
}
} // namespace

class TestGlobalOptions : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        LanguageManager::setLanguage("en");
        AppSettings::instance().settings()->clear();
        QScopedPointer<QSettings> native(AppSettings::openNativeStore());
        native->clear();
    }

    // A fresh store: "Apply" writes what every page shows, which is each
    // key's default (translated ones in the language of the moment), and
    // every bound editor carries its key as its name.
    void applyStoresEveryDefault()
    {
        const QList<QPair<const char *, QString>> defaults{
            {"general/restoreTabs", "false"}, {"general/singleInstance", "true"},
            {"general/autoOpen", T("恢复上次会话")}, {"general/confirmExit", "true"},
            {"general/rememberWindow", "true"}, {"general/minimizeTray", "false"}, {"general/autoUpdate", "true"},
            {"default/protocol", "SSH2"}, {"default/sshPort", "22"}, {"default/sshAuth", T("密码认证")},
            {"default/sshUser", "admin"}, {"default/serialBaud", "115200"}, {"default/serialFmt", T("8 / 1 / 无")},
            {"display/emulation", "VT220"}, {"display/encoding", "UTF-8"}, {"display/scrollback", "5000"},
            {"display/fontFamily", "Consolas"}, {"display/fontSize", "13"}, {"display/cursor", T("块（闪烁）")},
            {"display/fontScale", "true"}, {"display/autoWrap", "true"}, {"display/autoCopy", "true"},
            {"display/rightClickPaste", "false"}, {"display/pasteConfirm", "true"},
            {"display/pasteThreshold", "3"}, {"display/localEcho", "false"},
            {"log/dir", "%APPDATA%\\logs\\"}, {"log/file", "%S_%M_%D_%h.log"}, {"log/onOpen", "false"},
            {"log/startMode", "追加"}, {"log/direction", "收发都记录"}, {"log/mode", "纯文本"},
            {"log/timestamp", ""}, {"log/rotate", "10"}, {"log/rotateMidnight", "false"},
            {"log/onConnect", ""}, {"log/onDisconnect", ""}, {"log/linePrefix", ""},
            {"theme/current", "Solarized Dark"}, {"theme/followSystem", "true"}, {"theme/opacity", "100"},
            {"cred/folder", "%APPDATA%\\Halvorstead\\credentials\\"}, {"cred/dpapi", "true"},
            {"script/lang", "VBScript (Windows Script Host)"},
            {"script/dir", "%USERPROFILE%\\Documents\\HalvorsteadScripts\\"}, {"script/debugPort", "9229"},
            {"script/confirm", "true"}, {"transfer/zmodemDir", "%USERPROFILE%\\Downloads\\"},
            {"transfer/sftpDir", "%USERPROFILE%\\Documents\\"}, {"transfer/kermitDir", "%USERPROFILE%\\Downloads\\"},
            {"transfer/zmodemAuto", "true"}, {"transfer/overwritePrompt", "false"}, {"tunnel/socksPort", "1080"},
            {"keys/agentEnabled", "true"}, {"keys/agentForward", "true"},
            {"keys/knownHosts", "%APPDATA%\\Halvorstead\\known_hosts"}, {"proxy/type", "无"}, {"proxy/host", ""},
            {"proxy/port", "8080"}, {"proxy/user", ""}, {"proxy/pass", ""}, {"adv/maxBuffer", "50000"},
            {"adv/maxSessions", "32"}, {"adv/imeCompat", "true"}, {"adv/secureNoPass", "false"},
            {"adv/autoAcceptHost", "false"}, {"adv/stripPassExport", "true"},
            {"adv/configDir", "%APPDATA%\\Halvorstead\\"}, {"adv/autoBackup", "true"},
        };
        GlobalOptionsDialog dialog;
        QCOMPARE(dialog.pageCount(), 14);
        press(dialog, "应用");
        QStringList keys;
        for (const auto &[key, value] : defaults) {
            QCOMPARE(dialog.findChild<QWidget *>(key) != nullptr, true);
            QVERIFY2(stored(key) == value, qPrintable(QString("%1=%2").arg(key, stored(key))));
            keys << key;
        }
        keys.sort();
        QCOMPARE(dialog.bindings().boundWidgets().keys(), keys);
        // The sample rows are stored too, in the language of the moment.
        QCOMPARE(GlobalOptionsDialog::loadTable("keymap").first(), (QStringList{"New Session", "Ctrl+N"}));
        QCOMPARE(GlobalOptionsDialog::loadTable("commands").at(2).first(), T("设备命令"));
        QCOMPARE(GlobalOptionsDialog::loadTable("commands").first().first(), QString("常用"));
        QCOMPARE(dialog.bindings().boundTables().keys(),
                 (QStringList{"commands", "credentials", "keymap", "keys", "namedProxies", "tunnels"}));
    }

    // Whatever the store holds, the dialog opens with a valid value and
    // "Apply" writes a valid one.
    void badStoredValues_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("text for a number") << "theme/opacity" << QVariant("abc") << "100";
        QTest::newRow("number with junk") << "adv/maxSessions" << QVariant("12abc") << "32";
        QTest::newRow("below range") << "theme/opacity" << QVariant(50) << "70";
        QTest::newRow("above range") << "display/fontSize" << QVariant(72) << "48";
        QTest::newRow("stored as text") << "script/debugPort" << QVariant("80") << "1024";
        QTest::newRow("bool as text") << "general/minimizeTray" << QVariant("true") << "true";
        QTest::newRow("bool as 0") << "general/confirmExit" << QVariant("0") << "false";
        QTest::newRow("bool gibberish") << "general/confirmExit" << QVariant("maybe") << "true";
        QTest::newRow("item in other case") << "display/emulation" << QVariant("vt220") << "VT100";
        QTest::newRow("vanished item") << "theme/current" << QVariant("Monokai") << "Solarized Dark";
        QTest::newRow("list for a text") << "proxy/port" << QVariant(QStringList{"1", "2"}) << "8080";
        QTest::newRow("empty text stays") << "log/dir" << QVariant("") << "";
        QTest::newRow("typed family") << "display/fontFamily" << QVariant("No Such Font") << "No Such Font";
        QTest::newRow("old timestamp choice") << "log/timestamp" << QVariant("相对时间") << "HH:mm:ss.zzz";
    }

    void badStoredValues()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(QString, expected);
        AppSettings::instance().setValue(key, value);
        GlobalOptionsDialog dialog;
        press(dialog, "应用");
        QCOMPARE(stored(key), expected);
    }

    // A choice stored while another language was active is found again
    // through its source text and stored anew in the current language.
    void choiceAcrossLanguages_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("index");
        QTest::newRow("start-up") << "general/autoOpen" << 2;
        QTest::newRow("auth") << "default/sshAuth" << 1;
        QTest::newRow("cursor") << "display/cursor" << 2;
        QTest::newRow("log mode") << "log/mode" << 2;
        QTest::newRow("script language") << "script/lang" << 1;
        QTest::newRow("proxy type") << "proxy/type" << 6;
    }

    void choiceAcrossLanguages()
    {
        QFETCH(QString, key);
        QFETCH(int, index);
        QString source;
        for (const char *lang : {"de", "ja", "en"}) {
            LanguageManager::setLanguage(lang);
            GlobalOptionsDialog dialog;
            auto *combo = editor<QComboBox>(dialog, key);
            QVERIFY(combo);
            if (source.isEmpty()) {
                combo->setCurrentIndex(index);
                source = LanguageManager::sourceText(combo->currentText());
                QVERIFY(!source.isEmpty());
            }
            QCOMPARE(combo->currentIndex(), index);
            press(dialog, "确定");
            QCOMPARE(stored(key), T(source.toUtf8().constData()));
        }
    }

    // Tables go through the native store and come back cell for cell.
    void tableRoundTrip_data()
    {
        QTest::addColumn<Rows>("first");
        QTest::addColumn<Rows>("second");
        const Rows awkward{{"a,b", "\"quoted\", too", "line\rbreak\nand more"},
                           {"设备命令", "", "@Invalid()"},
                           {"", "", ""},
                           {"  padded  ", "back\\slash", "semi;colon=equals"}};
        Rows many;
        for (int i = 0; i < 7; ++i)
            many << QStringList{QString::number(i), "x", "y"};
        QTest::newRow("awkward cells") << awkward << awkward;
        QTest::newRow("fewer rows") << many << many.mid(0, 2);
        QTest::newRow("more rows") << many.mid(0, 2) << many;
        QTest::newRow("one cell each") << Rows{{"only", "", ""}} << Rows{{"", "", "last"}};
    }

    void tableRoundTrip()
    {
        QFETCH(Rows, first);
        QFETCH(Rows, second);
        for (const Rows &rows : {first, second}) {
            GlobalOptionsDialog dialog;
            auto *table = editor<QTableWidget>(dialog, "commands");
            QVERIFY(table);
            table->setRowCount(0);
            table->setRowCount(int(rows.size()));
            for (int r = 0; r < rows.size(); ++r)
                for (int c = 0; c < 3; ++c)
                    table->setItem(r, c, new QTableWidgetItem(rows.at(r).at(c)));
            press(dialog, "确定");
        }
        QCOMPARE(GlobalOptionsDialog::loadTable("commands"), second);
        GlobalOptionsDialog reopened;
        QCOMPARE(shown(editor<QTableWidget>(reopened, "commands")), second);
        // No entry of a longer earlier save is left behind.
        QScopedPointer<QSettings> native(AppSettings::openNativeStore());
        native->beginGroup("commands");
        QCOMPARE(native->childGroups().size(), second.size());
    }

    // Stored rows of the wrong shape: short rows are padded, long rows cut
    // to the columns, an empty array shows the samples again.
    void tableBadRows_data()
    {
        QTest::addColumn<Rows>("stored");
        QTest::addColumn<Rows>("saved");
        QTest::newRow("short and long") << Rows{{"a"}, {"b", "c", "d", "e", "f"}}
                                        << Rows{{"a", "", ""}, {"b", "c", "d"}};
        QTest::newRow("empty array") << Rows{} << Rows{{"id_rsa", "RSA 4096", "SHA256:abc123..."},
                                                       {"id_ed25519", "Ed25519", "SHA256:def456..."}};
        Rows big;
        for (int i = 0; i < 10000; ++i)
            big << QStringList{QString::number(i), "RSA", "SHA256:x"};
        QTest::newRow("10000 rows") << big << big;
    }

    void tableBadRows()
    {
        QFETCH(Rows, stored);
        QFETCH(Rows, saved);
        storeRows("keys", stored);
        GlobalOptionsDialog dialog;
        press(dialog, "应用");
        QCOMPARE(GlobalOptionsDialog::loadTable("keys"), saved);
    }

    // The proxy password is typed hidden, stored sealed, shown again
    // unsealed; clearing the field clears it.
    void proxyPasswordIsSealed()
    {
        const QString secret = QStringLiteral("s3cr3t-пароль");
        {
            GlobalOptionsDialog dialog;
            auto *edit = editor<QLineEdit>(dialog, "proxy/pass");
            QVERIFY(edit);
            QCOMPARE(edit->echoMode(), QLineEdit::Password);
            edit->setText(secret);
            press(dialog, "确定");
        }
        AppSettings::instance().sync();
        QVERIFY(stored("proxy/pass").startsWith("dpapi1:"));
        QFile file(AppSettings::instance().settings()->fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains("s3cr3t"));
        GlobalOptionsDialog dialog;
        auto *edit = editor<QLineEdit>(dialog, "proxy/pass");
        QCOMPARE(edit->text(), secret);
        edit->clear();
        press(dialog, "应用");
        QCOMPARE(stored("proxy/pass"), QString());
    }

    // Cancel writes nothing; what an earlier Apply wrote stays.
    void buttons_data()
    {
        QTest::addColumn<QStringList>("pressed");
        QTest::addColumn<bool>("written");
        QTest::addColumn<int>("result");
        QTest::newRow("ok") << QStringList{"确定"} << true << int(QDialog::Accepted);
        QTest::newRow("cancel") << QStringList{"取消"} << false << int(QDialog::Rejected);
        QTest::newRow("apply, cancel") << QStringList{"应用", "取消"} << true << int(QDialog::Rejected);
    }

    void buttons()
    {
        QFETCH(QStringList, pressed);
        QFETCH(bool, written);
        QFETCH(int, result);
        GlobalOptionsDialog dialog;
        editor<QCheckBox>(dialog, "adv/secureNoPass")->setChecked(true);
        editor<QSpinBox>(dialog, "display/fontSize")->setValue(20);
        for (const QString &b : pressed)
            press(dialog, b.toUtf8().constData());
        QCOMPARE(dialog.result(), result);
        QCOMPARE(stored("adv/secureNoPass") == "true", written);
        QCOMPARE(stored("display/fontSize") == "20", written);
    }

    // Ticking components builds the format; typing re-ticks the boxes.
    void timestampRow_data()
    {
        QTest::addColumn<QList<int>>("ticked");
        QTest::addColumn<QString>("format");
        QTest::newRow("all") << QList<int>{0, 1, 2, 3, 4, 5, 6} << "yyyy-MM-dd HH:mm:ss.zzz";
        QTest::newRow("year, day") << QList<int>{0, 2} << "yyyy-dd";
        QTest::newRow("minute, second") << QList<int>{4, 5} << "mm:ss";
        QTest::newRow("day, millis") << QList<int>{2, 6} << "dd zzz";
        QTest::newRow("millis") << QList<int>{6} << "zzz";
        QTest::newRow("date, hour, millis") << QList<int>{0, 1, 2, 3, 6} << "yyyy-MM-dd HH.zzz";
        QTest::newRow("none") << QList<int>{} << "";
    }

    void timestampRow()
    {
        QFETCH(QList<int>, ticked);
        QFETCH(QString, format);
        GlobalOptionsDialog dialog;
        auto *edit = editor<QLineEdit>(dialog, "log/timestamp");
        const QList<QCheckBox *> boxes = edit->parentWidget()->findChildren<QCheckBox *>();
        QCOMPARE(boxes.size(), 7);
        for (int i : ticked)
            boxes.at(i)->setChecked(true);
        QCOMPARE(edit->text(), format);
        QTest::keyClicks(edit, "x");
        edit->clear();
        QTest::keyClicks(edit, "HH:mm hh");
        for (int i = 0; i < 7; ++i)
            QCOMPARE(boxes.at(i)->isChecked(), i == 3 || i == 4);
        QCOMPARE(edit->text(), QString("HH:mm hh"));
    }
};

QTEST_MAIN(TestGlobalOptions)
#include "tst_globaloptions.moc"
