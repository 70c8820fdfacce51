#include "commands/commandhistory.h"
#include "commands/commandwindow.h"
#include "commands/quickcommanddialogs.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
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

QList<QPushButton *> stripButtons(CommandWindow &w)
{
    QList<QPushButton *> out;
    for (QPushButton *b : w.findChild<QWidget *>(QStringLiteral("buttonStrip"))->findChildren<QPushButton *>())
        if (!b->isHidden())
            out << b;
    return out;
}

void setCurrent(const QString &id) { SessionStore::instance().setCurrentSessionId(id); }

// Picks entry `index` of the menu that is about to open.
void pickMenuEntry(int index)
{
    QTimer::singleShot(0, [index] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        menu->actions().at(index)->trigger();
        menu->close();
    });
}
} // namespace

class TestCommandWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LanguageManager::setLanguage(QStringLiteral("en")); }

    void addCommandWithoutGroups()
    {
        CommandWindow w;
        QSignalSpy spy(&w, &CommandWindow::addCommandRequested);
        pickMenuEntry(1);
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(1, 1), QPoint(1, 1));
        QApplication::sendEvent(&w, &event);
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QString());
    }

    // keys: U Up, D Down, S Shift+Up; shown: the input after each key.
    void historyWalk_data()
    {
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QStringList>("shown");
        const QStringList ab{"A", "B"};
        QTest::newRow("up up down down") << ab << "T" << "UUDD" << QStringList{"B", "A", "B", "T"};
        QTest::newRow("oldest stays") << ab << "T" << "UUU" << QStringList{"B", "A", "A"};
        QTest::newRow("empty history") << QStringList() << "T" << "U" << QStringList{"T"};
        QTest::newRow("down without walk") << ab << "T" << "D" << QStringList{"T"};
        QTest::newRow("line feed") << ab << "x\ny" << "U" << QStringList{"x\ny"};
        QTest::newRow("modifier") << ab << "T" << "S" << QStringList{"T"};
        QTest::newRow("adjacent repeat dropped") << QStringList{"A", "A", "B", "A"} << "" << "UUUU"
                                                 << QStringList{"A", "B", "A", "A"};
    }
    void historyWalk()
    {
        QFETCH(QStringList, sent);
        QFETCH(QString, typed);
        QFETCH(QString, keys);
        QFETCH(QStringList, shown);
        setCurrent(QTest::currentDataTag());
        CommandWindow w;
        for (const QString &cmd : sent)
            send(w, cmd);
        w.inputEditor()->setPlainText(typed);
        QStringList seen;
        for (QChar k : keys) {
            QTest::keyClick(w.inputEditor(), k == 'D' ? Qt::Key_Down : Qt::Key_Up,
                            k == 'S' ? Qt::ShiftModifier : Qt::NoModifier);
            seen << w.inputEditor()->toPlainText();
        }
        QCOMPARE(seen, shown);
    }

    void sendRequests_data()
    {
        QTest::addColumn<int>("target");
        QTest::addColumn<bool>("hex");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QVariantList>("emitted"); // empty: nothing sent
        const QString big(1 << 20, QLatin1Char('x'));
        QTest::newRow("current") << 0 << false << " ls -l " << QVariantList{"current", "ls -l", false};
        QTest::newRow("all") << 1 << false << "uptime" << QVariantList{"all", "uptime", false};
        QTest::newRow("group hex") << 2 << true << "0D 0A" << QVariantList{"group", "0D 0A", true};
        QTest::newRow("visible") << 3 << false << "a\n b\n" << QVariantList{"visible", "a\n b", false};
        QTest::newRow("out of range keeps") << 4 << false << "x" << QVariantList{"group", "x", false};
        QTest::newRow("negative keeps") << -1 << false << "x" << QVariantList{"group", "x", false};
        QTest::newRow("blank") << 1 << false << " \n\t " << QVariantList();
        QTest::newRow("1 MiB") << 0 << false << big << QVariantList{"current", big, false};
    }
    void sendRequests()
    {
        QFETCH(int, target);
        QFETCH(bool, hex);
        QFETCH(QString, typed);
        QFETCH(QVariantList, emitted);
        CommandWindow w;
        QSignalSpy spy(&w, &CommandWindow::commandSend);
        w.setSendTarget(2);
        w.setSendTarget(target);
        w.hexBox()->setChecked(hex);
        send(w, typed);
        QCOMPARE(spy.size(), emitted.isEmpty() ? 0 : 1);
        if (!emitted.isEmpty())
            QVERIFY(spy.at(0) == emitted);
        QCOMPARE(w.inputEditor()->toPlainText(), emitted.isEmpty() ? typed : QString());
    }

    // The history keeps 100 entries per session, follows the current session
    // and is forgotten per session, in the window and in the registry alike.
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
        QCOMPARE(s1.size(), commandHistoryLimit);
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

    // A megabyte without blanks, sent and walked back in a window on screen:
    // each step lays the whole text out, which must not freeze the window
    // (word-boundary wrapping took about a minute per step).
    void hugeEntry()
    {
        setCurrent("huge");
        CommandWindow w;
        w.resize(800, 110);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QString big(1 << 20, QLatin1Char('a'));
        QElapsedTimer clock;
        clock.start();
        send(w, big);
        w.inputEditor()->setPlainText("mine");
        QTest::keyClick(w.inputEditor(), Qt::Key_Up);
        QCOMPARE(w.inputEditor()->toPlainText(), big);
        w.repaint();
        QTest::keyClick(w.inputEditor(), Qt::Key_Down);
        QCOMPARE(w.inputEditor()->toPlainText(), QStringLiteral("mine"));
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    }

    void strip_data()
    {
        QTest::addColumn<int>("filter"); // index in the group box: 0 is all groups
        QTest::addColumn<QStringList>("captions");
        SessionStore &store = SessionStore::instance();
        if (store.buttonGroups().isEmpty()) {
            store.addButton("A", {"a1", "echo a1", "red"});
            store.addButton("A", {"a2", "run.py", "Red"});
            store.addButton("B", {"b1", "x.PY", "blue"});
            store.addButton("B", {"b2", "x.py ", ""});
            store.addButton("B", {"b3", "t.vbs", "green"});
        }
        QTest::newRow("all") << 0 << QStringList{"a1", "a2", "b1", "b2", "b3"};
        QTest::newRow("B") << 2 << QStringList{"b1", "b2", "b3"};
    }
    void strip()
    {
        QFETCH(int, filter);
        QFETCH(QStringList, captions);
        CommandWindow w;
        w.findChild<QComboBox *>("groupCombo")->setCurrentIndex(filter);
        QStringList seen;
        for (QPushButton *b : stripButtons(w))
            seen << b->text();
        QCOMPARE(seen, captions);
    }

    // A click sends the stored command, or names the script when the command
    // ends in ".vbs" or ".py" exactly; only the four lower-case colours stripe.
    void buttons_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<bool>("script");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("stripe");
        QTest::newRow("red command") << "a1" << false << "echo a1" << "#f44747";
        QTest::newRow("script, Red not a colour") << "a2" << true << "run.py" << "";
        QTest::newRow("capital PY") << "b1" << false << "x.PY" << "#007acc";
        QTest::newRow("py then blank") << "b2" << false << "x.py " << "";
        QTest::newRow("vbs") << "b3" << true << "t.vbs" << "#4ec9b0";
    }
    void buttons()
    {
        QFETCH(QString, caption);
        QFETCH(bool, script);
        QFETCH(QString, command);
        QFETCH(QString, stripe);
        CommandWindow w;
        QSignalSpy commands(&w, &CommandWindow::buttonCommand);
        QSignalSpy scripts(&w, &CommandWindow::buttonScript);
        for (QPushButton *b : stripButtons(w)) {
            if (b->text() != caption)
                continue;
            b->click();
            QCOMPARE(b->styleSheet().contains("border-left:3px solid " + stripe), !stripe.isEmpty());
        }
        QCOMPARE((script ? scripts : commands), (QList<QVariantList>{{command}}));
        QCOMPARE((script ? commands : scripts).size(), 0);
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
        QCOMPARE(groups->itemText(0), QStringLiteral("Alle"));
        QCOMPARE(groups->currentText(), QStringLiteral("B"));
        QCOMPARE(w.findChild<QComboBox *>("targetCombo")->currentText(), QStringLiteral("Sichtbare Sitzungen"));
        QCOMPARE(stripButtons(w).size(), 3);
    }

    // Deleting a button through its own menu rebuilds the strip while that
    // button is still answering its menu request.
    void deleteThroughOwnMenu()
    {
        CommandWindow w;
        QSignalSpy spy(&w, &CommandWindow::deleteCommandRequested);
        connect(&w, &CommandWindow::deleteCommandRequested, &w, [&w](const QString &group, const QString &title) {
            SessionStore::instance().removeButton(group, title);
            w.reloadButtons();
        });
        QPointer<QPushButton> b2 = stripButtons(w).at(3);
        pickMenuEntry(1);
        emit b2->customContextMenuRequested(QPoint(2, 2));
        QCOMPARE(spy.at(0), (QVariantList{"B", "b2"}));
        QTRY_VERIFY(b2.isNull());
        QCOMPARE(stripButtons(w).size(), 4);
    }

    void commandDialog_data()
    {
        QTest::addColumn<QStringList>("groups");
        QTest::addColumn<QString>("preset");
        QTest::addColumn<bool>("edit");
        QTest::addColumn<QStringList>("typed"); // title, command; none: leave the fields
        QTest::addColumn<QStringList>("result"); // group, title, command
        const QStringList ab{"A", "B"};
        QTest::newRow("preset group") << ab << "B" << false << QStringList() << QStringList{"B", "", ""};
        QTest::newRow("unknown preset") << ab << "b" << false << QStringList() << QStringList{"A", "", ""};
        QTest::newRow("no groups") << QStringList() << "A" << false << QStringList() << QStringList{"", "", ""};
        QTest::newRow("edit shows") << ab << "A" << true << QStringList() << QStringList{"A", "t", " c\n"};
        QTest::newRow("typed") << ab << "" << false << QStringList{"  new ", "  x\ny"}
                               << QStringList{"A", "new", "  x\ny"};
    }
    void commandDialog()
    {
        QFETCH(QStringList, groups);
        QFETCH(QString, preset);
        QFETCH(bool, edit);
        QFETCH(QStringList, typed);
        QFETCH(QStringList, result);
        const QString mode = LanguageManager::tr(edit ? QStringLiteral("修改") : QStringLiteral("添加"));
        AddCommandDialog d(groups, preset, mode, "t", " c\n");
        if (!typed.isEmpty()) {
            d.findChild<QLineEdit *>()->setText(typed.at(0));
            d.findChild<QPlainTextEdit *>()->setPlainText(typed.at(1));
        }
        QCOMPARE((QStringList{d.group(), d.title(), d.command()}), result);
        QCOMPARE(d.windowTitle(), edit ? QStringLiteral("Edit Quick Command") : QStringLiteral("Add Quick Command"));
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
        QTest::keyClick(&splitter, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(spy.size(), 1);
    }
};

QTEST_MAIN(TestCommandWindow)
#include "tst_commandwindow.moc"
