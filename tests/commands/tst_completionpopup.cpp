#include "commands/commandcompleterpopup.h"
#include "commands/commandwindow.h"
#include "commands/commandwindowcompletion.h"
#include "core/languagemanager.h"

#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>

class TestCompletionPopup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LanguageManager::setLanguage(QStringLiteral("zh")); }

    // What a row shows: markup in any part as characters, a huge text cut short.
    void rows()
    {
        QTextDocument shown;
        shown.setHtml(CommandCompleterPopup::rowHtml({"a<b>&c", "x < y & %2", "<i>", 1}));
        QCOMPARE(shown.toPlainText(), QStringLiteral("a<b>&c — x < y & %2 [<i>]"));
        shown.setHtml(CommandCompleterPopup::rowHtml({QString(1 << 20, 'x'), "", "", 1}));
        QCOMPARE(shown.toPlainText(), QString(CommandCompleterPopup::MaxShownChars, 'x') + QChar(0x2026));
    }

    // Anchor, popup size, height of what is typed; where the popup goes on an 800x600 screen.
    void placement_data()
    {
        QTest::addColumn<QPoint>("anchor");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("typing");
        QTest::addColumn<QPoint>("expected");
        QTest::newRow("right edge") << QPoint(795, 100) << QSize(300, 200) << 0 << QPoint(499, 100);
        QTest::newRow("bottom edge") << QPoint(100, 590) << QSize(300, 200) << 0 << QPoint(100, 399);
        QTest::newRow("bottom edge, above the input") << QPoint(100, 590) << QSize(300, 200) << 40 << QPoint(100, 350);
        QTest::newRow("no room above either") << QPoint(100, 590) << QSize(300, 200) << 500 << QPoint(100, 399);
        QTest::newRow("larger than the screen") << QPoint(10, 10) << QSize(5000, 5000) << 0 << QPoint(0, 0);
    }

    void placement()
    {
        QFETCH(QPoint, anchor);
        QFETCH(QSize, size);
        QFETCH(int, typing);
        QTEST(CommandCompleterPopup::placeWithin(anchor, size, QRect(0, 0, 800, 600), typing), "expected");
    }

    // A click on a row reports its plain text; a press outside hides the popup and still reaches
    // its target; no results hide it.
    void pressesAndShowing()
    {
        QPushButton other;
        other.setGeometry(300, 300, 100, 100);
        other.show();
        QSignalSpy pressed(&other, &QPushButton::pressed);
        CommandCompleterPopup popup;
        QSignalSpy picked(&popup, &CommandCompleterPopup::activated);
        popup.showCandidates({{"a<b", "", "", 4}, {"b&", "", "", 4}}, QPoint(10, 10));
        QListWidget *list = popup.findChild<QListWidget *>();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
        QVERIFY(picked.value(0).value(0) == "b&" && !popup.isVisible());
        popup.showCandidates({{"a", "", "", 4}}, QPoint(10, 10));
        QTest::mousePress(&other, Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(!popup.isVisible() && pressed.size() == 1 && picked.size() == 1);
        popup.showCandidates({{"a", "", "", 4}}, QPoint(10, 10));
        popup.showCandidates({}, QPoint(10, 10));
        QVERIFY(!popup.isVisible() && popup.currentText().isEmpty());
    }

    // Keys on the input while the popup shows git, gitk, grep for "g"; the input's text after, and
    // whether the popup shows when the next pause ends.
    void windowKeys_data()
    {
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("shown");
        QTest::newRow("Tab takes the first row") << QList<int>{Qt::Key_Tab} << "git" << false;
        QTest::newRow("Down, Down, Down wraps, Return") << QList<int>{Qt::Key_Down, Qt::Key_Down, Qt::Key_Down, Qt::Key_Return} << "git" << false;
        QTest::newRow("Up wraps to the last, Enter") << QList<int>{Qt::Key_Up, Qt::Key_Enter} << "grep" << false;
        QTest::newRow("PageDown wraps, Backtab") << QList<int>{Qt::Key_PageDown, Qt::Key_Backtab} << "grep" << false;
        QTest::newRow("PageUp wraps, Tab") << QList<int>{Qt::Key_PageUp, Qt::Key_Tab} << "gitk" << false;
        QTest::newRow("Escape only hides") << QList<int>{Qt::Key_Escape} << "g" << false;
        QTest::newRow("other keys edit the input") << QList<int>{Qt::Key_I} << "gi" << true;
    }

    void windowKeys()
    {
        QFETCH(QList<int>, keys);
        CommandWindow window;
        auto *completion = new CommandWindowCompletion(&window);
        completion->gatherer().setCandidates({{"grep", "", "", 4}, {"gitk", "", "", 4}, {"git", "", "", 4}});
        window.show();
        QPlainTextEdit *input = window.inputEditor();
        QTest::keyClick(input, Qt::Key_G);
        QVERIFY(completion->gatherer().pause().isActive());
        completion->gatherer().update();
        for (int key : keys)
            QTest::keyClick(input, Qt::Key(key));
        QTEST(input->toPlainText(), "text");
        completion->gatherer().update();
        QTEST(completion->popup()->isVisible(), "shown");
    }
};

QTEST_MAIN(TestCompletionPopup)
#include "tst_completionpopup.moc"
