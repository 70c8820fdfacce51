#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/passwordprotection.h"
#include "dialogs/globaloptionsdialog.h"
#include "dialogs/settingsform.h"
#include "tests/dialogs/dialogtesting.h"
#include "tests/support/testfiles.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QWheelEvent>
#include <QSettings>
#include <QTableWidget>
#include <QTimer>

using Rows = QList<QStringList>;

namespace {
QString stored(const QString &key)
{
    return AppSettings::instance().value(key).toString();
}

void press(QDialog &dialog, const char *source)
{
    press(dialog, LanguageManager::tr(source));
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

    // Whatever the store holds, the dialog opens with a valid value and
    // "Apply" writes a valid one.
    void badStoredValues_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("text for a number") << "theme/opacity" << QVariant("abc") << "100";
        QTest::newRow("above range") << "display/fontSize" << QVariant(72) << "48";
        QTest::newRow("bool as text") << "general/minimizeTray" << QVariant("true") << "true";
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
        AppSettings::instance().setValue(key, value);
        GlobalOptionsDialog dialog;
        press(dialog, "应用");
        QTEST(stored(key), "expected");
    }

    // Choices made in English read back the same in German and Chinese, and
    // applying there leaves the file as it was: a file means the same in
    // every language.
    void choicesAcrossLanguages()
    {
        QMap<QString, QString> written;
        for (const char *lang : {"en", "de", "zh"}) {
            LanguageManager::setLanguage(lang);
            GlobalOptionsDialog dialog;
            const QList<QComboBox *> combos = dialog.findChildren<QComboBox *>(QRegularExpression("/"));
            QVERIFY(combos.size() > 5);
            for (QComboBox *combo : combos) {
                if (combo->isEditable())
                    continue;
                if (written.isEmpty())
                    combo->setCurrentIndex(combo->count() - 1);
                QVERIFY2(combo->currentIndex() == combo->count() - 1, qPrintable(lang + combo->objectName()));
            }
            press(dialog, "确定");
            QMap<QString, QString> now;
            for (QComboBox *combo : combos)
                now.insert(combo->objectName(), stored(combo->objectName()));
            if (written.isEmpty())
                written = now;
            QCOMPARE(now, written);
        }
    }

    // Tables go through the native store and come back cell for cell, over
    // whatever an earlier save left (no longer entry stays behind); stored
    // rows of the wrong shape are padded or cut.
    void tableRoundTrip_data()
    {
        QTest::addColumn<Rows>("stored");
        QTest::addColumn<Rows>("typed"); // empty: the table is left as shown
        QTest::addColumn<Rows>("expected");
        const Rows awkward{{"a,b", "\"quoted\", too", "line\rbreak\nand more"},
                           {"设备命令", "", "@Invalid()"},
                           {"", "", ""},
                           {"  padded  ", "back\\slash", "semi;colon=equals"}};
        Rows many;
        for (int i = 0; i < 7; ++i)
            many << QStringList{QString::number(i), "x", "y"};
        QTest::newRow("awkward cells") << Rows{} << awkward << awkward;
        QTest::newRow("fewer rows") << many << many.mid(0, 2) << many.mid(0, 2);
        QTest::newRow("more rows") << many.mid(0, 2) << many << many;
        QTest::newRow("wrong shapes") << Rows{{"a"}, {"b", "c", "d", "e", "f"}} << Rows{} << Rows{{"a", "", ""}, {"b", "c", "d"}};
    }
    void tableRoundTrip()
    {
        QFETCH(Rows, stored);
        QFETCH(Rows, typed);
        QFETCH(Rows, expected);
        storeRows("commands", stored);
        {
            GlobalOptionsDialog dialog;
            auto *table = dialog.findChild<QTableWidget *>("commands");
            if (!typed.isEmpty())
                table->setRowCount(0);
            table->setRowCount(int(typed.isEmpty() ? table->rowCount() : typed.size()));
            for (int r = 0; r < typed.size(); ++r)
                for (int c = 0; c < 3; ++c)
                    table->setItem(r, c, new QTableWidgetItem(typed.at(r).at(c)));
            press(dialog, "确定");
        }
        QCOMPARE(GlobalOptionsDialog::loadTable("commands"), expected);
        GlobalOptionsDialog reopened;
        QCOMPARE(tableRows(reopened.findChild<QTableWidget *>("commands")), expected);
        QScopedPointer<QSettings> native(AppSettings::openNativeStore());
        native->beginGroup("commands");
        QCOMPARE(native->childGroups().size(), expected.size());
    }

    // The proxy password: typed hidden, stored sealed, cleared when emptied;
    // one sealed on another machine is kept unless edited; one that cannot be
    // sealed is not written, and the user is told.
    void proxyPassword_data()
    {
        QTest::addColumn<QString>("before"); // "sealed": "old" sealed here
        QTest::addColumn<QString>("typed");  // null: field untouched
        QTest::addColumn<bool>("sealFails");
        QTest::addColumn<QString>("after"); // "before": unchanged; else what opens
        const QString foreign = "dpapi1:" + QByteArray(64, 'A').toBase64();
        QTest::newRow("typed") << "" << "s3cr3t-typed" << false << "s3cr3t-typed";
        QTest::newRow("cleared") << "sealed" << "" << false << "";
        QTest::newRow("foreign, untouched") << foreign << QString() << false << "before";
        QTest::newRow("foreign, replaced") << foreign << "mine" << false << "mine";
        QTest::newRow("plain text is sealed") << "plain-pw" << QString() << false << "plain-pw";
        QTest::newRow("seal fails") << "kept" << "typed" << true << "before";
    }
    void proxyPassword()
    {
        QFETCH(QString, before);
        QFETCH(QString, typed);
        QFETCH(bool, sealFails);
        QFETCH(QString, after);
        if (before == "sealed")
            before = protectSecret("old");
        AppSettings::instance().setValue("proxy/pass", before);
        const QByteArray config = qgetenv("XDG_CONFIG_HOME");
        if (sealFails)
            qputenv("XDG_CONFIG_HOME", "/dev/null/config");
        GlobalOptionsDialog dialog;
        auto *edit = dialog.findChild<QLineEdit *>("proxy/pass");
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
        if (!typed.isNull()) {
            edit->selectAll();
            typed.isEmpty() ? QTest::keyClick(edit, Qt::Key_Delete) : QTest::keyClicks(edit, typed);
        }
        int boxes = 0;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                box->done(++boxes);
        });
        closer.start(0);
        press(dialog, "应用");
        qputenv("XDG_CONFIG_HOME", config);
        QCOMPARE(boxes, sealFails ? 1 : 0);
        AppSettings::instance().sync();
        const QString now = stored("proxy/pass");
        if (after == "before")
            QCOMPARE(now, before);
        else
            QVERIFY(unprotectSecret(now) == after && (now.isEmpty() || now.startsWith("dpapi1:")));
        const QByteArray file = readFile(AppSettings::instance().settings()->fileName());
        QVERIFY(!file.isEmpty() && (typed.isEmpty() || !file.contains(typed.toUtf8())));
    }

    // Apply and OK write every editor under its key (every named editor is
    // bound); Cancel writes nothing, and what an earlier Apply wrote stays.
    // The add button under a table appends an empty row.
    void buttons_data()
    {
        QTest::addColumn<QStringList>("pressed");
        QTest::addColumn<bool>("written");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("commandRows");
        QTest::newRow("ok") << QStringList{"确定"} << true << int(QDialog::Accepted) << 4;
        QTest::newRow("cancel") << QStringList{"取消"} << false << int(QDialog::Rejected) << 0;
        QTest::newRow("apply, cancel") << QStringList{"应用", "取消"} << true << int(QDialog::Rejected) << 4;
        QTest::newRow("two rows added") << QStringList{"➕ 添加命令", "➕ 添加命令", "确定"} << true
                                        << int(QDialog::Accepted) << 6;
    }
    void buttons()
    {
        QFETCH(QStringList, pressed);
        QFETCH(bool, written);
        QFETCH(int, commandRows);
        GlobalOptionsDialog dialog;
        dialog.findChild<QCheckBox *>("adv/secureNoPass")->setChecked(true);
        dialog.findChild<QSpinBox *>("display/fontSize")->setValue(20);
        for (const QString &b : pressed)
            press(dialog, b.toUtf8().constData());
        QTEST(dialog.result(), "result");
        QCOMPARE(stored("adv/secureNoPass") == "true", written);
        QCOMPARE(stored("display/fontSize") == "20", written);
        const QStringList bound = dialog.bindings().boundWidgets().keys();
        for (QWidget *w : dialog.findChildren<QWidget *>(QRegularExpression("^[a-z]+/[A-Za-z]+$")))
            QVERIFY2(bound.contains(w->objectName()), qPrintable(w->objectName()));
        for (const QString &key : bound)
            QVERIFY2(AppSettings::instance().settings()->contains(key) == written, qPrintable(key));
        const Rows rows = GlobalOptionsDialog::loadTable("commands");
        QCOMPARE(rows.size(), commandRows);
        if (commandRows > 4)
            QCOMPARE(rows.last(), (QStringList{"", "", ""}));
    }

    // Turning the wheel over a control the user has not picked scrolls the
    // page and leaves the value; a picked control takes the wheel.
    void wheelOverControls_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("picked");
        QTest::newRow("combo") << "log/startMode" << false;
        QTest::newRow("spin box") << "log/rotate" << false;
        QTest::newRow("picked combo") << "log/startMode" << true;
    }
    void wheelOverControls()
    {
        QFETCH(QString, key);
        QFETCH(bool, picked);
        GlobalOptionsDialog dialog;
        QWidget *w = dialog.findChild<QWidget *>(key);
        QScrollArea *scroll = nullptr;
        for (QWidget *p = w; p && !scroll; p = p->parentWidget())
            scroll = qobject_cast<QScrollArea *>(p);
        qobject_cast<QStackedWidget *>(scroll->parentWidget())->setCurrentWidget(scroll);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        if (picked)
            w->setFocus();
        QTRY_COMPARE(w->hasFocus(), picked);
        auto value = [w] {
            auto *combo = qobject_cast<QComboBox *>(w);
            return combo ? combo->currentIndex() : qobject_cast<QSpinBox *>(w)->value();
        };
        const int before = value();
        QWheelEvent wheel(QPointF(5, 5), w->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(w, &wheel);
        QCOMPARE(value() != before, picked);
        QCOMPARE(scroll->verticalScrollBar()->value() > 0, !picked);
    }

    // Ticking components builds the format; typing re-ticks the boxes.
    void timestampRow_data()
    {
        QTest::addColumn<QList<int>>("ticked");
        QTest::addColumn<QString>("format");
        QTest::newRow("all") << QList<int>{0, 1, 2, 3, 4, 5, 6} << "yyyy-MM-dd HH:mm:ss.zzz";
        QTest::newRow("year, day") << QList<int>{0, 2} << "yyyy-dd";
        QTest::newRow("date, hour, millis") << QList<int>{0, 1, 2, 3, 6} << "yyyy-MM-dd HH.zzz";
    }
    void timestampRow()
    {
        QFETCH(QList<int>, ticked);
        GlobalOptionsDialog dialog;
        auto *edit = dialog.findChild<QLineEdit *>("log/timestamp");
        const QList<QCheckBox *> boxes = edit->parentWidget()->findChildren<QCheckBox *>();
        QCOMPARE(boxes.size(), 7);
        for (int i : ticked)
            boxes.at(i)->setChecked(true);
        QTEST(edit->text(), "format");
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
