#include "commands/commandhistory.h"
#include "commands/commandwindow.h"
#include "commands/quickcommanddialogs.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QTest>
#include <QTimer>

namespace {
void send(CommandWindow &w, const QString &text)
{
    w.inputEditor()->setPlainText(text);
    w.findChild<QPushButton *>(QStringLiteral("primaryButton"))->click();
}

// The strip's buttons as the user sees them, left to right.
QList<QPushButton *> stripButtons(CommandWindow &w, QStringList *captions = nullptr)
{
    QList<QPushButton *> out = w.findChild<QWidget *>(QStringLiteral("buttonStrip"))->findChildren<QPushButton *>();
    out.removeIf([](QPushButton *b) { return b->isHidden(); });
    for (QPushButton *b : out)
        if (captions)
            *captions << b->text();
    return out;
}

void setCurrent(const QString &id) { SessionStore::instance().setCurrentSessionId(id); }
} // namespace

class TestCommandWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LanguageManager::setLanguage(QStringLiteral("en")); }

    // keys: U Up, D Down, S Shift+Up, F "picked" filled in from elsewhere (with the focus
    // elsewhere, "*" when it lands on the input); shown: the input after each key, laid out on screen each
    // time: a megabyte without blanks must not freeze it (word-boundary wrapping took a minute).
    void historyWalk_data()
    {
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QStringList>("shown");
        const QStringList ab{"A", "B"};
        QTest::newRow("oldest stays") << ab << "T" << "UUUD" << QStringList{"B", "A", "A", "B"};
        QTest::newRow("empty history") << QStringList() << "T" << "U" << QStringList{"T"};
        QTest::newRow("down without walk") << ab << "T" << "D" << QStringList{"T"};
        QTest::newRow("line feed") << ab << "x\ny" << "U" << QStringList{"x\ny"};
        QTest::newRow("modifier") << ab << "T" << "S" << QStringList{"T"};
        QTest::newRow("adjacent repeat dropped") << QStringList{"A", "A", "B", "A"} << "" << "UUUU"
                                                 << QStringList{"A", "B", "A", "A"};
        const QString big(1 << 20, QLatin1Char('x'));
        QTest::newRow("fill keeps the walk") << ab << "T" << "UFUDD" << QStringList{"B", "picked*", "A", "B", "T"};
        QTest::newRow("fill, no walk") << ab << "T" << "FU" << QStringList{"picked*", "B"};
        QTest::newRow("1 MiB") << QStringList{big} << "T" << "UD" << QStringList{big, "T"};
    }
    void historyWalk()
    {
        QFETCH(QStringList, sent);
        QFETCH(QString, typed);
        QFETCH(QString, keys);
        setCurrent(QTest::currentDataTag());
        CommandWindow w;
        w.resize(800, 110);
        w.show();
        QElapsedTimer clock;
        clock.start();
        for (const QString &cmd : sent)
            send(w, cmd);
        w.inputEditor()->setPlainText(typed);
        QStringList seen;
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        for (QChar k : keys) {
            if (k == 'F') {
                w.hexBox()->setFocus();
                QVERIFY(QMetaObject::invokeMethod(&w, "fillFromHistory", Q_ARG(QString, "picked")));
                seen << w.inputEditor()->toPlainText() + (w.inputEditor()->hasFocus() ? "*" : "");
                continue;
            }
            QTest::keyClick(w.inputEditor(), k == 'D' ? Qt::Key_Down : Qt::Key_Up,
                            k == 'S' ? Qt::ShiftModifier : Qt::NoModifier);
            w.repaint();
            seen << w.inputEditor()->toPlainText();
        }
        QTEST(seen, "shown");
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    }

    void sendRequests_data()
    {
        QTest::addColumn<int>("target"); // HEX ticked for the row named so
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QVariantList>("emitted"); // empty: nothing sent
        QTest::newRow("current") << 0 << " ls -l " << QVariantList{"current", "ls -l", false};
        QTest::newRow("all") << 1 << "uptime" << QVariantList{"all", "uptime", false};
        QTest::newRow("group hex") << 2 << "0D 0A" << QVariantList{"group", "0D 0A", true};
        QTest::newRow("visible") << 3 << "a\n b\n" << QVariantList{"visible", "a\n b", false};
        QTest::newRow("out of range keeps") << 4 << "x" << QVariantList{"group", "x", false};
        QTest::newRow("blank") << 1 << " \n\t " << QVariantList();
    }
    void sendRequests()
    {
        QFETCH(int, target);
        QFETCH(QString, typed);
        QFETCH(QVariantList, emitted);
        CommandWindow w;
        QSignalSpy spy(&w, &CommandWindow::commandSend);
        w.setSendTarget(2);
        w.setSendTarget(target);
        w.hexBox()->setChecked(QByteArray(QTest::currentDataTag()).contains("hex"));
        send(w, typed);
        QVERIFY(spy == (emitted.isEmpty() ? QList<QVariantList>() : QList<QVariantList>{emitted}));
        QCOMPARE(w.inputEditor()->toPlainText(), emitted.isEmpty() ? typed : QString());
    }

    // 100 entries per session, following the current session, forgotten per session, in the
    // window and in the registry alike.
    void histories()
    {
        CommandWindow w;
        setCurrent("s1");
        for (int i = 0; i <= commandHistoryLimit; ++i)
            send(w, QString::number(i));
        setCurrent("s2");
        send(w, "only s2");
        QCOMPARE(w.sessionHistory(), QStringList{"only s2"});
        setCurrent("s1");
        const QStringList s1 = w.sessionHistory();
        QCOMPARE(s1.first(), QStringLiteral("1"));
        QCOMPARE(commandHistoryRegistry().history("s1"), s1);

        w.clearHistory("s2");
        QCOMPARE(w.sessionHistory(), s1);
        QVERIFY(commandHistoryRegistry().history("s2").isEmpty());
        w.inputEditor()->setPlainText("typed");
        QTest::keyClick(w.inputEditor(), Qt::Key_Up);
        w.clearHistory("s1");
        QTest::keyClick(w.inputEditor(), Qt::Key_Down);
        QCOMPARE(w.inputEditor()->toPlainText(), QString::number(commandHistoryLimit));
        QVERIFY(commandHistoryRegistry().history("s1").isEmpty());
        QVERIFY(!w.isWalkingHistory());
    }

    // A click sends the command, or names the script when it ends in ".vbs" or ".py" exactly;
    // only the four lower-case colours stripe.
    void buttons_data()
    {
        SessionStore &store = SessionStore::instance();
        store.addButton("A", {"a1", "echo a1", "red"});
        store.addButton("A", {"a2", "run.py", "Red"});
        store.addButton("B", {"b1", "x.PY", "blue"});
        store.addButton("B", {"b2", "x.py ", ""});
        store.addButton("B", {"b3", "t.vbs", "green"});
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("sent"); // command|script
        QTest::addColumn<QString>("stripe");
        QTest::newRow("red command") << "a1" << "echo a1|" << "#f44747";
        QTest::newRow("script, Red not a colour") << "a2" << "|run.py" << "";
        QTest::newRow("capital PY") << "b1" << "x.PY|" << "#007acc";
        QTest::newRow("py then blank") << "b2" << "x.py |" << "";
        QTest::newRow("vbs") << "b3" << "|t.vbs" << "#4ec9b0";
    }
    void buttons()
    {
        QFETCH(QString, caption);
        QFETCH(QString, stripe);
        CommandWindow w;
        QSignalSpy commands(&w, &CommandWindow::buttonCommand);
        QSignalSpy scripts(&w, &CommandWindow::buttonScript);
        QStringList shown;
        QPushButton *b = stripButtons(w, &shown).at(shown.indexOf(caption));
        b->click();
        QCOMPARE(b->styleSheet().contains("border-left:3px solid " + stripe), !stripe.isEmpty());
        QTEST(QStringList({commands.value(0).value(0).toString(), scripts.value(0).value(0).toString()}).join('|'), "sent");
        QCOMPARE(commands.size() + scripts.size(), 1);
    }

    void retranslateKeepsChoices()
    {
        CommandWindow w;
        auto *groups = w.findChild<QComboBox *>("groupCombo");
        groups->setCurrentIndex(2);
        w.setSendTarget(3);
        LanguageManager::setLanguage("de");
        w.retranslateUi();
        LanguageManager::setLanguage("en");
        QStringList seen{groups->itemText(0), groups->currentText(), w.findChild<QComboBox *>("targetCombo")->currentText()};
        stripButtons(w, &seen);
        QCOMPARE(seen.join('|'), QStringLiteral("Alle|B|Sichtbare Sitzungen|b1|b2|b3"));
    }

    // Deleting a button through its own menu rebuilds the strip while that button still answers it.
    void deleteThroughOwnMenu()
    {
        CommandWindow w;
        QSignalSpy spy(&w, &CommandWindow::deleteCommandRequested);
        connect(&w, &CommandWindow::deleteCommandRequested, &w, [&w](const QString &group, const QString &title) {
            SessionStore::instance().removeButton(group, title);
            w.reloadButtons();
        });
        QPointer<QPushButton> b2 = stripButtons(w).at(3);
        QTimer::singleShot(0, [] { // "delete" in the menu about to open
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            menu->actions().at(1)->trigger();
            menu->close();
        });
        emit b2->customContextMenuRequested(QPoint(2, 2));
        QCOMPARE(spy.at(0), (QVariantList{"B", "b2"}));
        QTRY_VERIFY(b2.isNull());
        QStringList left;
        stripButtons(w, &left);
        QCOMPARE(left, (QStringList{"a1", "a2", "b1", "b3"}));
    }

    // Passed a title and a command; only edit mode (the row so named) shows them.
    void commandDialog_data()
    {
        QTest::addColumn<QStringList>("groups");
        QTest::addColumn<QString>("preset");
        QTest::addColumn<QStringList>("result"); // group, title (trimmed), command (as typed)
        const QStringList ab{"A", "B"};
        QTest::newRow("preset group") << ab << "B" << QStringList{"B", "", ""};
        QTest::newRow("unknown preset") << ab << "b" << QStringList{"A", "", ""};
        QTest::newRow("no groups") << QStringList() << "A" << QStringList{"", "", ""};
        QTest::newRow("edit") << ab << "A" << QStringList{"A", "t", " c\n"};
    }
    void commandDialog()
    {
        QFETCH(QStringList, groups);
        QFETCH(QString, preset);
        const bool edit = QTest::currentDataTag() == QByteArray("edit");
        AddCommandDialog d(groups, preset, LanguageManager::tr(edit ? "修改" : "添加"), " t  ", " c\n");
        QTEST((QStringList{d.group(), d.title(), d.command()}), "result");
    }

    void collapse()
    {
        QSplitter splitter(Qt::Vertical);
        splitter.addWidget(new QWidget);
        auto *w = new CommandWindow;
        splitter.addWidget(w);
        splitter.resize(400, 810 + splitter.handleWidth());
        splitter.show();
        splitter.setSizes({700, 110});
        auto *arrow = w->findChild<QWidget *>(QStringLiteral("collapseArrow"));
        QTest::mouseClick(arrow, Qt::LeftButton);
        QCOMPARE(splitter.sizes(), (QList<int>{782, 28}));
        // Collapsed, Ctrl+Return must not send the text now out of sight.
        QSignalSpy spy(w, &CommandWindow::commandSend);
        w->inputEditor()->setPlainText("hidden");
        QApplication::setActiveWindow(&splitter);
        QVERIFY(QTest::qWaitForWindowActive(&splitter));
        QTest::keyClick(&splitter, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(spy.size(), 0);
        QTest::mouseClick(arrow, Qt::LeftButton);
        QCOMPARE(splitter.sizes(), (QList<int>{700, 110}));
        QTest::keyClick(w->inputEditor(), Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(spy.size(), 1);
    }
};

QTEST_MAIN(TestCommandWindow)
#include "tst_commandwindow.moc"
