#include "commands/commandcompleterpopup.h"
#include "commands/commandwindow.h"
#include "commands/commandwindowcompletion.h"
#include "core/languagemanager.h"

#include <QApplication>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

using Candidates = QVector<CompletionCandidate>;

namespace {

Candidates named(int count, const QString &stem = "cmd")
{
    Candidates out;
    for (int i = 0; i < count; ++i)
        out.append({stem + QString::number(i), QString(), QString(), 4});
    return out;
}

} // namespace

class TestCompletionPopup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LanguageManager::setLanguage(QStringLiteral("zh")); }

    void rows_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected");
        const QString bold = "<span style='color:#e8e8e8;font-weight:600;'>";
        QTest::newRow("markup shown as characters")
            << "a<b>&c" << "x < y & %2" << "<i>"
            << bold + "a&lt;b&gt;&amp;c</span> <span style='color:#9d9d9d;'>— x &lt; y &amp; %2</span>"
                      " <span style='color:#569cd6;'>[&lt;i&gt;]</span>";
        QTest::newRow("history tag in its colour") << "ls" << "" << "历史"
                                                   << bold + "ls</span> <span style='color:#4ec9b0;'>[历史]</span>";
        QTest::newRow("button tag in its colour") << "ls" << "" << "按钮"
                                                  << bold + "ls</span> <span style='color:#dcdcaa;'>[按钮]</span>";
        QTest::newRow("translated history tag") << "ls" << "" << "History"
                                                << bold + "ls</span> <span style='color:#569cd6;'>[History]</span>";
        QTest::newRow("merged: no tag") << "ls" << "" << "" << bold + "ls</span>";
        QTest::newRow("huge text cut short")
            << QString(1 << 20, 'x') << "" << ""
            << bold + QString(CommandCompleterPopup::MaxShownChars, 'x') + QChar(0x2026) + "</span>";
    }

    void rows()
    {
        QFETCH(QString, text);
        QFETCH(QString, description);
        QFETCH(QString, source);
        QFETCH(QString, expected);
        QCOMPARE(CommandCompleterPopup::rowHtml({text, description, source, 1}), expected);
    }

    // rows, steps taken in turn, the current row after them.
    void selection_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<int>("expected");
        QTest::newRow("down from the last wraps to the first") << 3 << QList<int>{1, 1, 1} << 0;
        QTest::newRow("up from the first wraps to the last") << 3 << QList<int>{-1} << 2;
        QTest::newRow("page up in three rows") << 3 << QList<int>{-5} << 1;
        QTest::newRow("page down in three rows") << 3 << QList<int>{5} << 2;
        QTest::newRow("page down in twelve rows") << 12 << QList<int>{5, 5, 5} << 3;
        QTest::newRow("one row stays") << 1 << QList<int>{5, -1} << 0;
    }

    void selection()
    {
        QFETCH(int, rows);
        QFETCH(QList<int>, steps);
        QFETCH(int, expected);
        CommandCompleterPopup popup;
        popup.showCandidates(named(rows), QPoint(10, 10));
        QCOMPARE(popup.currentText(), QString("cmd0"));
        for (int step : steps)
            popup.moveSelection(step);
        QCOMPARE(popup.currentRow(), expected);
        QCOMPARE(popup.currentText(), "cmd" + QString::number(expected));
        QCOMPARE(popup.findChild<QListWidget *>()->currentRow(), expected);
    }

    // Anchors relative to the screen's right and bottom edges (negative:
    // that far inside); the popup ends at the edge it would cross.
    void geometry_data()
    {
        QTest::addColumn<QPoint>("fromEdges");
        QTest::addColumn<bool>("clampX");
        QTest::addColumn<bool>("clampY");
        QTest::newRow("room everywhere") << QPoint(-600, -400) << false << false;
        QTest::newRow("at the right edge") << QPoint(-5, -400) << true << false;
        QTest::newRow("at the bottom edge") << QPoint(-600, -5) << false << true;
        QTest::newRow("in the corner") << QPoint(-1, -1) << true << true;
    }

    void geometry()
    {
        QFETCH(QPoint, fromEdges);
        QFETCH(bool, clampX);
        QFETCH(bool, clampY);
        const QRect a = QGuiApplication::primaryScreen()->availableGeometry();
        const QPoint anchor = a.bottomRight() + fromEdges;
        CommandCompleterPopup popup;
        popup.showCandidates(named(3), anchor);
        QVERIFY(popup.isVisible());
        const QSize s = popup.size();
        QCOMPARE(popup.pos(), QPoint(clampX ? a.right() - s.width() : anchor.x(), clampY ? a.bottom() - s.height() : anchor.y()));
        // Off every screen the anchor is taken as it is.
        popup.showCandidates(named(3), QPoint(-5000, -5000));
        QCOMPARE(popup.pos(), QPoint(-5000, -5000));
        // Never past the left or top edge, even when wider than the screen.
        QCOMPARE(CommandCompleterPopup::placeWithin(QPoint(10, 10), QSize(5000, 5000), QRect(0, 0, 800, 600)), QPoint(0, 0));
        // No room below what is typed: above it when it fits there, else
        // up from the bottom edge.
        const QRect screen(0, 0, 800, 600);
        QCOMPARE(CommandCompleterPopup::placeWithin(QPoint(10, 590), QSize(100, 200), screen, 40), QPoint(10, 350));
        QCOMPARE(CommandCompleterPopup::placeWithin(QPoint(10, 590), QSize(100, 200), screen, 500), QPoint(10, 399));
    }

    void size()
    {
        CommandCompleterPopup popup;
        popup.showCandidates(named(14, QString(300, 'w')), QPoint(0, 0));
        const int row = popup.findChild<QListWidget *>()->sizeHintForRow(0);
        QVERIFY(row > 0);
        QCOMPARE(popup.height(), 10 * row + 12);
        QCOMPARE(popup.width(), 440);
        popup.showCandidates({}, QPoint(0, 0));
        QVERIFY(!popup.isVisible());
        QCOMPARE(popup.currentText(), QString());
        QCOMPARE(popup.findChild<QListWidget *>()->count(), 0);
    }

    // A press outside hides the popup and still reaches its target; a
    // click on a row reports the row's plain text and hides it.
    void presses()
    {
        QPushButton other;
        other.setGeometry(300, 300, 100, 100);
        other.show();
        QSignalSpy pressed(&other, &QPushButton::pressed);
        CommandCompleterPopup popup;
        QSignalSpy picked(&popup, &CommandCompleterPopup::activated);
        popup.showCandidates({{"a<b", "", "", 4}, {"b", "", "", 4}}, QPoint(10, 10));
        QListWidget *list = popup.findChild<QListWidget *>();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
        QCOMPARE(picked.size(), 1);
        QCOMPARE(picked.first().first().toString(), QString("b"));
        QVERIFY(!popup.isVisible());

        popup.showCandidates({{"a", "", "", 4}}, QPoint(10, 10));
        QTest::mousePress(&other, Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(!popup.isVisible());
        QCOMPARE(pressed.size(), 1);
        QCOMPARE(picked.size(), 1);
    }

    // Keys on the command window's input while the popup shows "g"'s rows
    // git, gitk, grep; the input's text and whether the popup shows after.
    void windowKeys_data()
    {
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("shown");
        QTest::newRow("Tab takes the first row") << QList<int>{Qt::Key_Tab} << "git" << false;
        QTest::newRow("Down then Return") << QList<int>{Qt::Key_Down, Qt::Key_Return} << "gitk" << false;
        QTest::newRow("Up wraps to the last, Enter") << QList<int>{Qt::Key_Up, Qt::Key_Enter} << "grep" << false;
        QTest::newRow("PageDown wraps, Backtab") << QList<int>{Qt::Key_PageDown, Qt::Key_Backtab} << "grep" << false;
        QTest::newRow("PageUp wraps, Tab") << QList<int>{Qt::Key_PageUp, Qt::Key_Tab} << "gitk" << false;
        QTest::newRow("Escape only hides") << QList<int>{Qt::Key_Escape} << "g" << false;
        QTest::newRow("other keys edit the input") << QList<int>{Qt::Key_I} << "gi" << true;
    }

    void windowKeys()
    {
        QFETCH(QList<int>, keys);
        QFETCH(QString, text);
        QFETCH(bool, shown);
        CommandWindow window;
        auto *completion = new CommandWindowCompletion(&window);
        completion->gatherer().setCandidates({{"grep", "", "", 4}, {"gitk", "", "", 4}, {"git", "", "", 4}});
        window.show();
        QPlainTextEdit *input = window.inputEditor();
        QTest::keyClick(input, Qt::Key_G);
        QVERIFY(completion->gatherer().pause().isActive());
        completion->gatherer().update();
        CommandCompleterPopup *popup = completion->popup();
        QCOMPARE(popup->currentText(), QString("git"));
        for (int key : keys)
            QTest::keyClick(input, Qt::Key(key), key == Qt::Key_I ? Qt::NoModifier : Qt::KeyboardModifiers());
        QCOMPARE(input->toPlainText(), text);
        QCOMPARE(popup->isVisible(), shown);
        // A taken row is not offered again when the pause ends.
        completion->gatherer().update();
        QCOMPARE(popup->isVisible(), shown);
    }
};

QTEST_MAIN(TestCompletionPopup)
#include "tst_completionpopup.moc"
