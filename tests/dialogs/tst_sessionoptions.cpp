#include "commands/quickcommanddialogs.h"
#include "core/appsettings.h"
#include "core/datadir.h"
#include "core/languagemanager.h"
#include "core/passwordprotection.h"
#include "core/sessionlogoptions.h"
#include "core/sessionstore.h"
#include "ui/boundedtext.h"
#include "ui/groupdialogs.h"
#include "dialogs/sessionoptionsdialog.h"
#include "dialogs/settingsform.h"
#include "dialogs/sshcredentialsdialog.h"
#include "platform/pty.h"
#include "sftp/widgets/sftpdialog.h"
#include "terminal/highlight.h"

#include "tests/dialogs/dialogtesting.h"
#include "tests/support/testfiles.h"
#include <QDir>
#include <QLabel>
#include <QSettings>
#include <QTableWidget>

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
    // port and serial line, and every per-session key as edited. Records and
    // keys as an old or hand-edited file may hold them save without
    // complaint: fallbacks where a value is unusable, and what the dialog
    // cannot judge (a vanished port, a shell it does not know, odd ports) kept.
    void writesWhatOpenersRead_data()
    {
        QTest::addColumn<QStringList>("in"); // type, host, port, serial, env_type, group
        QTest::addColumn<QVariantMap>("edits"); // names with "/" are settings keys
        QTest::addColumn<QString>("expected");  // recordText
        QTest::addColumn<QStringList>("absent"); // keys that must stay unwritten
        const QString plain = "COM1/115200/8/1/0/0", longHost(300, 'h');
        const auto in = [&](const QString &type) { return QStringList{type, "h", "22", plain, "auto", "Lab"}; };
        QTest::newRow("ssh") << in("ssh")
                             << QVariantMap{{"hostEdit", " h.example "}, {"portEdit", "2222"}, {"conn/user", "root"},
                                            {"conn/pass", "pw"}, {"conn/auth", "公钥认证"}, {"conn/remoteCmd", "top"},
                                            {"conn/keepalive", 30}, {"term/typeStr", "vt100"}, {"envTypeCombo", "Linux/Unix"}}
                             << "n|h.example|2222|Lab|linux|" + plain << QStringList{};
        QTest::newRow("telnet, any case") << in("Telnet") << QVariantMap{{"conn/user", "u"}, {"portEdit", " 99999 "}}
                                          << "n|h|99999|Lab|auto|" + plain << QStringList{};
        QTest::newRow("rlogin: host and port only") << in("rlogin") << QVariantMap{{"portEdit", "-1"}}
                                                    << "n|h|-1|Lab|auto|" + plain << QStringList{"conn/user", "conn/pass"};
        QTest::newRow("serial") << in("serial")
                                << QVariantMap{{"serialPortCombo", "ttyUSB3"}, {"baudCombo", "57600"}, {"dataBitsCombo", "7"},
                                               {"stopBitsCombo", "2"}, {"parityCombo", "偶 (Even)"},
                                               {"flowCombo", "硬件 (RTS/CTS)"}}
                                << "n|ttyUSB3|57600|Lab|auto|ttyUSB3/57600/7/2/2/1" << QStringList{};
        QTest::newRow("serial, baud no number keeps the record's")
            << in("serial") << QVariantMap{{"baudCombo", "fast"}} << "n|COM1|115200|Lab|auto|" + plain << QStringList{};
        const QString sh = platform::listedShells().value(0);
        QTest::newRow("local, listed shell") << in("local") << QVariantMap{{"shellCombo", sh}} << "n|" + sh + "||Lab|auto|" + plain
                                             << QStringList{};
        QTest::newRow("serial, vanished port, odd codes") << QStringList{"serial", "", "", "ttyGONE7/31250/9/0/7/-1", "Linux", "Gone"}
                                                           << QVariantMap{} << "n|ttyGONE7|31250||auto|ttyGONE7/31250/5/1/0/0"
                                                           << QStringList{};
        QTest::newRow("local, unknown shell") << QStringList{"local", "/opt/nowhere/fish", "22", plain, "auto", ""}
                                              << QVariantMap{} << "n|/opt/nowhere/fish|||auto|" + plain << QStringList{};
        QTest::newRow("local, default from elsewhere") << QStringList{"local", "命令提示符 (cmd)", "", plain, "auto", ""}
                                                       << QVariantMap{} << "n|命令提示符 (cmd)|||auto|" + plain << QStringList{};
        QTest::newRow("no type, long host") << QStringList{"", longHost, "abc", plain, "windows", "Lab"} << QVariantMap{}
                                            << "n|" + longHost + "|abc|Lab|windows|" + plain << QStringList{};
    }
    void writesWhatOpenersRead()
    {
        QFETCH(QStringList, in);
        QFETCH(QVariantMap, edits);
        QFETCH(QStringList, absent);
        SessionInfo r = record(in[0], in[1], in[2]);
        setSerial(r, in[3]);
        r.env_type = in[4];
        r.group = in[5];
        const QString prefix = "session/" + r.id + "/";
        AppSettings &s = AppSettings::instance();
        s.setValue(prefix + "conn/keepalive", QStringList{"x"});
        s.setValue(prefix + "term/fontSize", "big");
        s.setValue(prefix + "log/rotate", 5000);
        SessionOptionsDialog d(r);
        QVariantMap prefixed;
        for (auto it = edits.cbegin(); it != edits.cend(); ++it)
            prefixed[it.key().contains('/') ? prefix + it.key() : it.key()] = it.value();
        fill(d, prefixed);
        QList<SessionInfo> handed;
        d.setApplyHandler([&](const SessionInfo &applied) { return handed << applied, true; });
        press(d, kOk);
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(handed.size(), 1);
        QTEST(recordText(handed.first()), "expected");
        for (auto it = edits.cbegin(); it != edits.cend(); ++it) {
            if (!it.key().contains('/'))
                continue;
            const QString stored = s.getString(prefix + it.key(), "unset");
            QCOMPARE(it.key() == "conn/pass" ? unprotectSecret(stored) : stored, it.value().toString());
        }
        for (const QString &key : absent)
            QVERIFY2(!s.value(prefix + key).isValid(), qPrintable(key));
        QCOMPARE(s.getInt(prefix + "term/fontSize", 0), 13);
        QCOMPARE(s.getInt(prefix + "log/rotate", 0), 1000);
    }


    // OK on a stored session, nothing touched: not one settings key (tables
    // included) and not the sessions file changes, so nothing the user did
    // not choose changes meaning: an inheriting timestamp stays inherited,
    // choices stored in another language stay as they are, keys never
    // written stay unwritten, a sealed password is not sealed again.
    void unchangedOkKeepsEverything_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QVariantMap>("stored"); // per-session keys; "conn/pass" is sealed first
        const QVariantMap inheriting{{"log/option", "覆盖全局设置"}, {"log/timestamp", "默认（继承全局）"},
                                     {"log/startMode", "Append"}, {"log/mode", "Default (inherit global)"},
                                     {"log/rotate", -1}, {"log/dir", ""}};
        QVariantMap ssh = inheriting;
        ssh.insert({{"conn/user", "root"}, {"conn/pass", "pw"}, {"conn/auth", "Public Key Authentication"},
                    {"term/fontSize", 15}, {"conn/autoReconnect", "false"}, {"keywords/size", 1},
                    {"keywords/1/row", QStringList{"WARN", "子串", "黄色"}}});
        QTest::newRow("ssh, inheriting log, sealed password") << "ssh" << ssh;
        QTest::newRow("telnet, nothing stored") << "telnet" << QVariantMap{};
        QTest::newRow("serial, old timestamp choice")
            << "serial" << QVariantMap{{"log/option", "Override Global Settings"}, {"log/timestamp", "YYYY-MM-DD HH:mm:ss"},
                                       {"appearance/opacity", "90%"}, {"term/encoding", "GBK"}};
        QTest::newRow("local, inheriting in english") << "local" << QVariantMap{{"log/option", "Override Global Settings"},
                                                                                 {"log/timestamp", "Default (inherit global)"}};
    }
    void unchangedOkKeepsEverything()
    {
        QFETCH(QString, type);
        QFETCH(QVariantMap, stored);
        AppSettings &s = AppSettings::instance();
        s.setValue("log/timestamp", "HH:mm:ss");
        SessionStore &store = SessionStore::instance();
        const QString group = QString::fromLatin1(QTest::currentDataTag());
        store.addGroup(group);
        SerialParams line;
        line.serial_port = "ttyS7";
        store.addSession("before", type, group, "h1", "23");
        // As the wizard stores them: a serial session's host and port are its line.
        const QString host = type == "local" ? platform::listedShells().value(0) : type == "serial" ? line.serial_port : "h2";
        const QString port = type == "local" ? "" : type == "serial" ? "115200" : "2323";
        const QString id = store.addSession("opened", type, group, host, port, line);
        store.addSession("after", type, group, "h3", "23"); // its place in the group is kept too
        const QString prefix = "session/" + id + "/";
        QScopedPointer<QSettings> native(AppSettings::openNativeStore());
        for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
            const QVariant value = it.key() == "conn/pass" ? QVariant(protectSecret(it.value().toString())) : it.value();
            if (it.key().startsWith("keywords/")) // tables live in the native store
                native->setValue(prefix + it.key(), value);
            else
                s.setValue(prefix + it.key(), value);
        }
        native->sync();
        const auto everyKey = [&] {
            s.sync();
            QScopedPointer<QSettings> file(AppSettings::openNativeStore());
            QVariantMap out;
            for (const QString &key : file->allKeys())
                out.insert(key, file->value(key));
            for (const QString &key : s.settings()->allKeys())
                out.insert("in memory: " + key, s.value(key));
            return out;
        };
        const QString sessionsFile = dataDir() + '/' + SessionStore::sessionsFileName;
        const QVariantMap keysBefore = everyKey();
        const QByteArray sessionsBefore = readFile(sessionsFile);
        const QString stampBefore = s.sessionLogOptions(id).timestamp;
        QVERIFY(!sessionsBefore.isEmpty());

        SessionOptionsDialog d(*store.findSession(id));
        d.setApplyHandler([&](const SessionInfo &r) { return store.updateSession(r); });
        press(d, kOk);
        QCOMPARE(d.result(), int(QDialog::Accepted));

        const QVariantMap keysAfter = everyKey();
        for (auto it = keysAfter.cbegin(); it != keysAfter.cend(); ++it)
            QVERIFY2(keysBefore.value(it.key()) == it.value(), qPrintable(it.key() + " = " + it.value().toString()));
        QCOMPARE(keysAfter.keys(), keysBefore.keys());
        QCOMPARE(readFile(sessionsFile), sessionsBefore);
        QCOMPARE(s.sessionLogOptions(id).timestamp, stampBefore);
        QVERIFY(!stampBefore.isEmpty());
    }

    // After a change and Apply, undoing it writes the old value back: what
    // was written counts as shown.
    void applyThenUndo()
    {
        const SessionInfo r = record("ssh", "h");
        const QString key = "session/" + r.id + "/conn/user";
        AppSettings::instance().setValue(key, "alice");
        SessionOptionsDialog d(r);
        auto *user = d.findChild<QLineEdit *>(key);
        user->setText("bob");
        press(d, kApply);
        QCOMPARE(AppSettings::instance().getString(key, {}), "bob");
        user->setText("alice");
        press(d, kOk);
        QCOMPARE(AppSettings::instance().getString(key, {}), "alice");
    }

    // In English the choices show translated and are kept as the terminal
    // and the serial line read them: codes, and the keyword table's source
    // texts, also for a match kind or colour the user typed in English, in
    // any case and spacing; the highlighter reads them, and rows stored in
    // any language before as well.
    void englishChoicesStoredAsRead_data()
    {
        QTest::addColumn<QString>("type");
        QTest::newRow("serial") << "serial";
        QTest::newRow("ssh") << "ssh";
    }
    void englishChoicesStoredAsRead()
    {
        QFETCH(QString, type);
        LanguageManager::setLanguage(QStringLiteral("en"));
        SessionInfo r = record(type, "h", "22");
        SessionOptionsDialog d(r);
        for (int i = 0; i < d.pageCount(); ++i)
            d.showPage(i);
        QList<SessionInfo> handed;
        d.setApplyHandler([&](const SessionInfo &applied) { return handed << applied, true; });
        auto *table = d.findChild<QTableWidget *>(QStringLiteral("keywords"));
        if (type == u"serial") {
            fill(d, {{"parityCombo", "Odd"}, {"flowCombo", "Software (XON/XOFF)"}});
        } else {
            QVERIFY(table);
            QCOMPARE(table->item(0, 1)->text() + ' ' + table->item(0, 2)->text(), QStringLiteral("Substring Red"));
            table->item(0, 0)->setText(QStringLiteral("E+R"));
            table->item(0, 1)->setText(QStringLiteral("Regex"));
            // A cell's editor opens on its word, whatever its case and
            // blanks, and Enter on it leaves the cell as it was.
            const auto open = [table](int row, int column) {
                table->editItem(table->item(row, column));
                return qobject_cast<QComboBox *>(table->indexWidget(table->model()->index(row, column)));
            };
            table->item(1, 1)->setText(QStringLiteral(" REGEX "));
            QComboBox *kinds = open(1, 1);
            QVERIFY(kinds && kinds->itemText(kinds->currentIndex()) == "Regex");
            emit kinds->lineEdit()->editingFinished();
            emit table->itemDelegateForColumn(1)->commitData(kinds);
            emit table->itemDelegateForColumn(1)->closeEditor(kinds);
            QCOMPARE(table->item(1, 1)->text(), QStringLiteral(" REGEX "));
            // The colour chosen in the cell's own editor.
            QComboBox *colours = open(1, 2);
            QVERIFY(colours && colours->itemText(colours->currentIndex()) == "Green" && colours->findText("Blue") >= 0);
            colours->setCurrentIndex(colours->findText("Blue"));
            emit table->itemDelegateForColumn(2)->commitData(colours);
        }
        press(d, QStringLiteral("OK"));
        LanguageManager::setLanguage(QStringLiteral("zh"));
        QCOMPARE(handed.size(), 1);
        if (type == u"serial") {
            QCOMPARE(serialText(handed.first()).section('/', 4), QStringLiteral("1/2"));
        } else {
            const QString prefix = "session/" + r.id + "/";
            const QList<QStringList> rows = loadSettingsTable(prefix + "keywords");
            QCOMPARE(rows.value(0).mid(1) + rows.value(1).mid(1), (QStringList{"正则", "红色", "正则", "蓝色"}));
            const auto ranges = [&] {
                QList<HighlightRule> rules = loadHighlightRules(prefix);
                QStringList out;
                for (const HighlightRange &h : highlightRanges(rules, true, "EER 10.0.0.1"))
                    out << QStringLiteral("%1-%2 %3").arg(h.start).arg(h.end).arg(h.colour.name());
                return out.join(", ");
            };
            QCOMPARE(ranges(), QStringLiteral("0-3 #ff5555, 4-12 #569cd6"));
            QScopedPointer<QSettings> store(AppSettings::openNativeStore());
            store->beginWriteArray(prefix + "keywords", 3);
            store->setArrayIndex(0);
            store->setValue("row", QStringList{"E+R", "Regex", "Blue"});
            store->setArrayIndex(1);
            store->setValue("row", QStringList{"1\\d", " regulärer  AUSDRUCK", "blue "});
            // A colour typed as such, with a blank before it, is that colour.
            store->setArrayIndex(2);
            store->setValue("row", QStringList{".1", "子串", " #ff0000"});
            store->endArray();
            store->sync();
            QCOMPARE(ranges(), QStringLiteral("0-3 #569cd6, 4-6 #569cd6, 10-12 #ff0000"));
        }
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

    // A user's long text (3,000 characters, nowhere to wrap) keeps every
    // dialog that shows it on screen; the whole text stays at hand.
    void longUserText_data()
    {
        QTest::addColumn<int>("dialog");
        QTest::newRow("delete confirmation") << 0;
        QTest::newRow("session options") << 1;
        QTest::newRow("credentials") << 2;
        QTest::newRow("session options, long group") << 3;
        QTest::newRow("message box") << 4;
        QTest::newRow("quick-command group combo") << 5;
        QTest::newRow("sftp host label") << 6;
    }
    void longUserText()
    {
        QFETCH(int, dialog);
        const QString name = QString(1500, u'会') + QString(1500, 'x');
        std::unique_ptr<QDialog> d;
        if (dialog == 0) {
            auto *confirm = new DeleteConfirmDialog;
            confirm->setTarget(name, false, 0);
            d.reset(confirm);
        } else if (dialog == 1 || dialog == 3) {
            SessionInfo r = record("ssh", "h");
            // A group's name shows in the group combo, a session's in the title.
            (dialog == 1 ? r.name : r.group) = name;
            if (dialog == 3)
                SessionStore::instance().addGroup(name);
            d = std::make_unique<SessionOptionsDialog>(r);
            SessionStore::instance().removeGroup(name);
        } else if (dialog == 2) {
            d = std::make_unique<SshCredentialsDialog>(name);
        } else if (dialog == 4) {
            auto *box = new QMessageBox;
            setBoundedMessage(*box, QStringLiteral("未找到：") + name);
            d.reset(box);
        } else if (dialog == 5) {
            d = std::make_unique<AddCommandDialog>(QStringList{QStringLiteral("Linux"), name}, name, QStringLiteral("add"),
                                                   QString(), QString());
        } else {
            SshConnectParams p;
            p.user = name;
            p.host = QStringLiteral("127.0.0.1");
            p.port = 9;
            d = std::make_unique<SftpDialog>(p);
        }
        d->show();
        QVERIFY(QTest::qWaitForWindowExposed(d.get()));
        QVERIFY2(d->width() <= 1000, qPrintable(QString::number(d->width())));
        QList<QWidget *> all = d->findChildren<QWidget *>();
        all << d.get();
        const auto *box = qobject_cast<QMessageBox *>(d.get());
        QVERIFY(dialog == 3 || (box && box->detailedText().contains(name)) ||
                std::any_of(all.cbegin(), all.cend(), [&](QWidget *w) { return w->toolTip().contains(name); }));
    }
};

QTEST_MAIN(TestSessionOptions)
#include "tst_sessionoptions.moc"
