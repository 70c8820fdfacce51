// Keys and clicks through a real X server (xdotool): the input keeps the focus while the popup
// shows, while the user types on, and when a row is clicked; a popup taking the focus would be
// hidden at once by the input's focus-out.
#include "commands/commandcompleterpopup.h"
#include "commands/commandwindow.h"
#include "commands/commandwindowcompletion.h"

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

class TestCompletionFocus : public QObject
{
    Q_OBJECT

    static void xdotool(const QStringList &args) { QCOMPARE(QProcess::execute("xdotool", args), 0); }

private slots:
    void initTestCase()
    {
        QVERIFY2(QGuiApplication::platformName() == "xcb", "needs the xcb platform on an X server (xvfb-run)");
        QVERIFY2(!QStandardPaths::findExecutable("xdotool").isEmpty(), "xdotool is not installed");
    }

    void typingAndClickingKeepTheFocus()
    {
        CommandWindow window;
        auto *completion = new CommandWindowCompletion(&window);
        completion->gatherer().setCandidates({{"git", "", "", 4}, {"gitk", "", "", 4}, {"grep", "", "", 4}});
        window.resize(700, 160);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QPlainTextEdit *input = window.inputEditor();
        input->setFocus();
        QTRY_VERIFY(input->hasFocus());
        CommandCompleterPopup *popup = completion->popup();

        xdotool({"type", "--delay", "30", "gi"});
        QTRY_VERIFY(popup->isVisible());
        xdotool({"type", "--delay", "30", "t"});
        QTRY_VERIFY(input->toPlainText() == "git" && popup->isVisible());
        QVERIFY(input->hasFocus() && QApplication::activeWindow() == &window);
        // HEX input is no command: ticking the box puts the popup away.
        window.hexBox()->setChecked(true);
        QVERIFY(!popup->isVisible());
        window.hexBox()->setChecked(false);
        QTRY_VERIFY(popup->isVisible());

        QListWidget *list = popup->findChild<QListWidget *>();
        QTRY_COMPARE(list->count(), 2);
        const QPoint row = list->viewport()->mapToGlobal(list->visualItemRect(list->item(1)).center());
        xdotool({"mousemove", QString::number(row.x()), QString::number(row.y()), "click", "1"});
        QTRY_COMPARE(input->toPlainText(), QString("gitk"));
        QVERIFY(!popup->isVisible() && input->hasFocus() && QApplication::activeWindow() == &window);
    }
};

QTEST_MAIN(TestCompletionFocus)
#include "tst_completionfocus.moc"
