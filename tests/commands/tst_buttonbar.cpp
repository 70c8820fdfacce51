#include "commands/buttonbar.h"
#include "core/sessionstore.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>

namespace {
// The bar's buttons as the user sees them, left to right.
QList<QPushButton *> barButtons(ButtonBar &bar, QStringList *captions = nullptr)
{
    QList<QPushButton *> out = bar.findChild<QScrollArea *>()->widget()->findChildren<QPushButton *>();
    for (QPushButton *b : out)
        if (captions)
            *captions << b->text();
    return out;
}

QComboBox *groupBox(ButtonBar &bar) { return bar.findChild<QScrollArea *>()->widget()->findChild<QComboBox *>(); }

// Picks a group the way a user does without opening the list: arrow keys.
void pickGroup(ButtonBar &bar, const QString &label)
{
    for (int tries = 0; tries < 10 && groupBox(bar)->currentText() != label; ++tries)
        QTest::keyClick(groupBox(bar), groupBox(bar)->findText(label) < groupBox(bar)->currentIndex() ? Qt::Key_Up
                                                                                                       : Qt::Key_Down);
    QCOMPARE(groupBox(bar)->currentText(), label);
}

// Right-clicks the bar where it is empty and clicks the menu entry.
void menuEntry(ButtonBar &bar, const QString &entry)
{
    QWidget *empty = bar.findChild<QScrollArea *>()->viewport();
    const QPoint at(empty->width() - 4, empty->height() / 2);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, empty->mapToGlobal(at));
    QApplication::sendEvent(empty, &event);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    QVERIFY(menu);
    QAction *action = nullptr;
    for (QAction *a : menu->actions())
        if (a->text() == entry)
            action = a;
    QVERIFY2(action, qPrintable(entry));
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
    QTRY_VERIFY(!QApplication::activePopupWidget());
}
} // namespace

class TestButtonBar : public QObject
{
    Q_OBJECT

private slots:
    // The store starts empty here and gains groups row by row: the menu's
    // "add command" names the filter's group, else the first group, else none.
    void menu_data()
    {
        QTest::addColumn<QStringList>("groups"); // in the store before the row
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QVariantList>("emitted"); // addGroupRequested: "group"; addCommandRequested: its group
        QTest::newRow("no groups: add group") << QStringList() << "全部" << "添加分组" << QVariantList{"group"};
        QTest::newRow("no groups: add command") << QStringList() << "全部" << "添加命令" << QVariantList{""};
        QTest::newRow("all: first group") << QStringList{"A", "B"} << "全部" << "添加命令" << QVariantList{"A"};
        QTest::newRow("filtered") << QStringList{"A", "B"} << "B" << "添加命令" << QVariantList{"B"};
    }
    void menu()
    {
        QFETCH(QStringList, groups);
        QFETCH(QString, filter);
        QFETCH(QString, entry);
        for (const QString &label : groups)
            SessionStore::instance().addButtonGroup(label);
        ButtonBar bar;
        bar.resize(500, 34);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        pickGroup(bar, filter);
        QSignalSpy groupAsked(&bar, &ButtonBar::addGroupRequested);
        QSignalSpy commandAsked(&bar, &ButtonBar::addCommandRequested);
        menuEntry(bar, entry);
        QVariantList seen;
        for (int i = 0; i < groupAsked.size(); ++i)
            seen << "group";
        for (const QVariantList &args : std::as_const(commandAsked))
            seen << args;
        QTEST(seen, "emitted");
    }

    // Clicks hand over the stored text, a script when it ends in ".py" or
    // ".vbs" exactly; the group box narrows the strip and survives the
    // rebuild it starts.
    void strip_data()
    {
        SessionStore &store = SessionStore::instance();
        store.addButton("A", {"a1", "echo a1 ", "red"});
        store.addButton("A", {"a2", "run.py", ""});
        store.addButton("B", {"b1", "x.PY", "blue"});
        QTest::addColumn<QStringList>("picks"); // groups chosen one after the other
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QStringList>("clicked"); // per button: command| or |script
        const QStringList all{"echo a1 |", "|run.py", "x.PY|"};
        QTest::newRow("all") << QStringList{"全部"} << QStringList{"a1", "a2", "b1"} << all;
        QTest::newRow("B only") << QStringList{"B"} << QStringList{"b1"} << QStringList{"x.PY|"};
        QTest::newRow("A only") << QStringList{"A"} << QStringList{"a1", "a2"} << QStringList{"echo a1 |", "|run.py"};
        QTest::newRow("B, then all again") << QStringList{"B", "全部"} << QStringList{"a1", "a2", "b1"} << all;
    }
    void strip()
    {
        QFETCH(QStringList, picks);
        QFETCH(QStringList, clicked);
        ButtonBar bar;
        bar.resize(600, 34);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        for (const QString &pick : picks) {
            QPointer<QComboBox> before = groupBox(bar);
            const bool changes = before->currentText() != pick;
            pickGroup(bar, pick);
            if (changes) // the box that started the rebuild goes, later
                QTRY_VERIFY(before.isNull());
        }
        bar.rebuild(); // a reload from outside keeps the choice
        QCOMPARE(groupBox(bar)->currentText(), picks.last());

        QStringList shown;
        const QList<QPushButton *> buttons = barButtons(bar, &shown);
        QTEST(shown, "shown");
        QStringList seen;
        for (QPushButton *b : buttons) {
            QSignalSpy commands(&bar, &ButtonBar::buttonCommand);
            QSignalSpy scripts(&bar, &ButtonBar::buttonScript);
            QTest::mouseClick(b, Qt::LeftButton);
            QCOMPARE(commands.size() + scripts.size(), 1);
            seen << commands.value(0).value(0).toString() + '|' + scripts.value(0).value(0).toString();
        }
        QCOMPARE(seen, clicked);
    }

    // Groups stand apart on the strip: more room between a2 and b1 than
    // between a1 and a2; and a button keeps no menu of its own.
    void groupsApart()
    {
        ButtonBar bar;
        bar.resize(600, 34);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        const QList<QPushButton *> b = barButtons(bar);
        QCOMPARE(b.size(), 3);
        const int within = b[1]->geometry().left() - b[0]->geometry().right();
        const int between = b[2]->geometry().left() - b[1]->geometry().right();
        QCOMPARE(between - within, 10);
        QCOMPARE(b[0]->contextMenuPolicy(), Qt::DefaultContextMenu);
    }
};

QTEST_MAIN(TestButtonBar)
#include "tst_buttonbar.moc"
