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

class TestButtonBar : public QObject
{
    Q_OBJECT

    static QWidget *strip(ButtonBar &bar) { return bar.findChild<QScrollArea *>()->widget(); }
    static QComboBox *groupBox(ButtonBar &bar) { return strip(bar)->findChild<QComboBox *>(); }

private slots:
    // add: "group:caption:command:colour" stored before the row (rows build on each other);
    // picks: groups chosen with the arrow keys; emitted: each button clicked left to right
    // ("caption=command|" or "caption=|script"), then the menu entry's request.
    void drive_data()
    {
        QTest::addColumn<QStringList>("add");
        QTest::addColumn<QStringList>("picks");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QStringList>("emitted");
        const QStringList all{"a1=echo a1 |", "a2=|run.py", "b1=x.PY|"};
        QTest::newRow("no groups") << QStringList() << QStringList() << "添加命令" << QStringList{"command:"};
        QTest::newRow("all, add group") << QStringList{"A:a1:echo a1 :red", "A:a2:run.py:", "B:b1:x.PY:blue"}
                                        << QStringList() << "添加分组" << all + QStringList{"group"};
        QTest::newRow("B only") << QStringList() << QStringList{"B"} << "添加命令"
                                << QStringList{"b1=x.PY|", "command:B"};
        QTest::newRow("B, all again") << QStringList() << QStringList{"B", "全部"} << "添加命令"
                                      << all + QStringList{"command:A"};
    }
    void drive()
    {
        QFETCH(QStringList, add);
        QFETCH(QStringList, picks);
        QFETCH(QString, entry);
        for (const QString &b : add) {
            const QStringList f = b.split(':');
            SessionStore::instance().addButton(f[0], {f[1], f[2], f[3]});
        }
        ButtonBar bar;
        bar.resize(600, 34);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        for (const QString &pick : picks) {
            QPointer<QComboBox> before = groupBox(bar);
            for (int i = 0; i < 5 && groupBox(bar)->currentText() != pick; ++i)
                QTest::keyClick(groupBox(bar), pick == QStringLiteral("全部") ? Qt::Key_Up : Qt::Key_Down);
            QTRY_VERIFY(before.isNull()); // the box that started the rebuild goes, later
        }
        bar.rebuild(); // a reload from outside keeps the choice
        QCOMPARE(groupBox(bar)->currentText(), picks.value(picks.size() - 1, QStringLiteral("全部")));

        QStringList emitted;
        QSignalSpy commands(&bar, &ButtonBar::buttonCommand), scripts(&bar, &ButtonBar::buttonScript);
        for (QPushButton *b : strip(bar)->findChildren<QPushButton *>()) {
            QTest::mouseClick(b, Qt::LeftButton);
            QCOMPARE(commands.size() + scripts.size(), 1);
            emitted << b->text() + '=' + commands.value(0).value(0).toString() + '|'
                           + scripts.value(0).value(0).toString();
            commands.clear();
            scripts.clear();
        }

        // A right click where the strip is empty, then the entry.
        connect(&bar, &ButtonBar::addGroupRequested, [&] { emitted << "group"; });
        connect(&bar, &ButtonBar::addCommandRequested, [&](const QString &group) { emitted << "command:" + group; });
        QWidget *empty = bar.findChild<QScrollArea *>()->viewport();
        const QPoint at(empty->width() - 4, empty->height() / 2);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, empty->mapToGlobal(at));
        QApplication::sendEvent(empty, &event);
        QPointer<QMenu> menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QVERIFY(menu);
        const QList<QAction *> actions = menu->actions();
        auto it = std::find_if(actions.begin(), actions.end(), [&](QAction *a) { return a->text() == entry; });
        QVERIFY(it != actions.end());
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(*it).center());
        QTRY_VERIFY(menu.isNull());
        QTEST(emitted, "emitted");
    }
};

QTEST_MAIN(TestButtonBar)
#include "tst_buttonbar.moc"
