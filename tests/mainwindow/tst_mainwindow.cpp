#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "mainwindow/frameresizer.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessiontree.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"
#include "tests/support/modals.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>

namespace {
// Every style sheet of the program is parsed when its widgets are shown; a
// property Qt does not know is dropped with a warning.
QStringList unknownProperties;
QtMessageHandler passOn = nullptr;
void watchStyleWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("Unknown property")))
        unknownProperties << message;
    passOn(type, context, message);
}

QMenu *topMenu(MainWindow &w, const QString &name) // the menu bar's, not a stale copy
{
    auto *bar = w.findChild<QMenuBar *>();
    for (QMenu *m : bar->findChildren<QMenu *>(name))
        if (bar->actions().contains(m->menuAction()))
            return m;
    return nullptr;
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { passOn = qInstallMessageHandler(watchStyleWarnings); }
    void init() { LanguageManager::setLanguage(QStringLiteral("en")); }
    void cleanup() { QVERIFY2(unknownProperties.isEmpty(), qPrintable(unknownProperties.join(u'\n'))); }

    void edges_data()
    {
        QTest::addColumn<QPoint>("pos");
        QTest::addColumn<int>("edges");
        const int L = Qt::LeftEdge, R = Qt::RightEdge, T = Qt::TopEdge, B = Qt::BottomEdge;
        // A 200 by 100 window: each side's band ends after 6 px; corners; just outside.
        const std::tuple<int, int, int> rows[] = {{100, 50, 0}, {5, 50, L},     {6, 50, 0},  {194, 50, R},
                                                  {193, 50, 0}, {100, 0, T},    {100, 97, B}, {196, 96, R | B},
                                                  {2, 2, L | T}, {200, 50, 0}, {100, -1, 0}};
        for (const auto &[x, y, edges] : rows)
            QTest::addRow("%d,%d", x, y) << QPoint(x, y) << edges;
    }
    void edges()
    {
        QFETCH(QPoint, pos);
        QTEST(int(frameEdgesAt(pos, QSize(200, 100))), "edges");
    }

    void ownResize_data()
    {
        QTest::addColumn<int>("edges");
        QTest::addColumn<QPoint>("delta");
        QTest::addColumn<QRect>("expected");
        // From 100,100 500x400, never below 400x300.
        const int L = Qt::LeftEdge, R = Qt::RightEdge, T = Qt::TopEdge, B = Qt::BottomEdge;
        QTest::newRow("grow bottom-right") << (R | B) << QPoint(50, 20) << QRect(100, 100, 550, 420);
        QTest::newRow("grow left moves origin") << L << QPoint(-30, 99) << QRect(70, 100, 530, 400);
        QTest::newRow("shrink top stops at minimum") << T << QPoint(0, 300) << QRect(100, 200, 500, 300);
        QTest::newRow("shrink right stops at minimum") << R << QPoint(-500, 0) << QRect(100, 100, 400, 400);
    }
    void ownResize()
    {
        QFETCH(int, edges);
        QFETCH(QPoint, delta);
        QTEST(FrameResizer::resized(QRect(100, 100, 500, 400), Qt::Edges(edges), delta, QSize(400, 300)), "expected");
    }

    // A key that is both a window shortcut and a menu entry's runs once.
    void sharedShortcutRunsOnce()
    {
        MainWindow w;
        int count = 0;
        w.sessionHub()->dialogs.runWizard = [&count](QWidget *, const QString &, bool) {
            ++count;
            return std::optional<NewSessionResult>();
        };
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(&w, Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(count, 1);
    }

    // A message of the window over one of its dialogs (a session name
    // refused on Apply) hands the keys back to that dialog, which still
    // blocks the window, and the dialog's end to the window. X passes them
    // on to a blocking dialog by itself; this platform, as others, does not.
    void keysBackToTheDialogUnderAMessage()
    {
        SessionStore &store = SessionStore::instance();
        const QString id = store.addSession(QStringLiteral("mine"), QStringLiteral("local"), {}, QStringLiteral("/bin/bash"), {});
        store.addSession(QStringLiteral("taken"), QStringLiteral("local"), {}, QStringLiteral("/bin/bash"), {});
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        enum { Apply, Message, Back, Done } step = Apply;
        QString keys = QStringLiteral("no message");
        QElapsedTimer told;
        ModalAnswerer answers;
        answers.other = [&](QWidget *modal) {
            auto *dialog = static_cast<QDialog *>(modal);
            const bool active = QApplication::activeWindow() == modal;
            if (step == Apply && active) {
                step = Message;
                modal->findChild<QLineEdit *>(QStringLiteral("nameEdit"))->setText(QStringLiteral("taken"));
                for (QPushButton *button : modal->findChildren<QPushButton *>())
                    if (button->text() == u"Apply") // queued: the message runs a loop of its own
                        QTimer::singleShot(0, button, &QPushButton::click);
            } else if (step == Message && active && qobject_cast<QMessageBox *>(modal)) {
                step = Back;
                told.start();
                dialog->accept();
            } else if (step == Back && (active || told.elapsed() > 1500)) { // before the guard of modals closes it
                step = Done;
                keys = active ? QStringLiteral("the dialog") : QStringLiteral("not the dialog");
                dialog->reject();
            }
        };
        emit w.findChild<SessionTree *>()->sessionOptionsRequested(id);
        QCOMPARE(keys, QStringLiteral("the dialog"));
        QTRY_COMPARE(QApplication::activeWindow(), &w);
    }

    // The Edit menu's copy and paste keys, pressed in a terminal, copy its
    // selection and paste into its session; the terminal never sees them.
    void copyPasteKeysInTerminal_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("copy") << int(Qt::Key_C) << "hello" << QByteArray();
        QTest::newRow("paste") << int(Qt::Key_V) << "pasted" << QByteArray("pasted");
    }
    void copyPasteKeysInTerminal()
    {
        QFETCH(int, key);
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *area = w.findChild<TerminalArea *>();
        area->addTerminal(QStringLiteral("t1"), QStringLiteral("t"), QString(), QString());
        area->appendData(QStringLiteral("t1"), "hello");
        auto *edit = area->findChild<TerminalEdit *>();
        QTRY_COMPARE(edit->toPlainText(), QStringLiteral("hello"));
        edit->setFocus();
        edit->selectAll();
        QApplication::clipboard()->setText(QStringLiteral("pasted"));
        QSignalSpy spy(area, &TerminalArea::inputSent);
        QTest::keyClick(edit, Qt::Key(key), Qt::ControlModifier | Qt::ShiftModifier);
        QTEST(QApplication::clipboard()->text(), "clipboard");
        QByteArray sent;
        for (const QList<QVariant> &args : spy)
            sent += args.at(1).toByteArray();
        QTEST(sent, "sent");
    }

    void toggles()
    {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *tree = w.findChild<SessionTree *>();
        QAction *entry = w.findChild<QMenuBar *>()->findChild<QAction *>(QStringLiteral("actionSessionTree"));
        QTest::keyClick(&w, Qt::Key_F9);
        QVERIFY(!tree->isVisible());
        QVERIFY(!entry->isChecked());
        // A language change rebuilds the entry checked, whatever the tree.
        w.switchLanguage(QStringLiteral("de"));
        entry = topMenu(w, QStringLiteral("menuView"))->findChild<QAction *>(QStringLiteral("actionSessionTree"));
        QVERIFY(entry->isChecked());
        entry->trigger();
        QVERIFY(tree->isVisible());
        QVERIFY(entry->isChecked());
        // The tool bar's HEX button shows the current session's HEX pane.
        auto *area = w.findChild<TerminalArea *>();
        area->addTerminal(QStringLiteral("s1"), QStringLiteral("s1"), QString(), QString());
        SessionStore::instance().setCurrentSessionId(QStringLiteral("s1"));
        for (QAction *a : w.findChildren<QToolBar *>().constLast()->actions())
            if (a->text().endsWith(QLatin1String(" HEX")))
                a->trigger();
        QVERIFY(area->view(QStringLiteral("s1"))->hexMonitorOn());
    }

    // A disabled entry of any menu in the window is drawn dimmer than an
    // enabled one: the brightest pixel of its text is darker.
    void disabledEntriesLookDisabled()
    {
        MainWindow w;
        w.show();
        QMenu menu(&w);
        QAction *on = menu.addAction(QStringLiteral("MMMM"));
        QAction *off = menu.addAction(QStringLiteral("MMMM"));
        off->setEnabled(false);
        menu.show();
        QVERIFY(QTest::qWaitForWindowExposed(&menu));
        const QImage image = menu.grab().toImage();
        const auto brightest = [&](QAction *a) {
            int most = 0;
            const QRect r = menu.actionGeometry(a);
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    most = qMax(most, qGray(image.pixel(x, y)));
            return most;
        };
        QVERIFY2(brightest(off) + 40 < brightest(on), qPrintable(QStringLiteral("%1 %2").arg(brightest(off)).arg(brightest(on))));
    }

    void languageSwitch()
    {
        MainWindow w;
        w.switchLanguage(QStringLiteral("fr"));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(topMenu(w, QStringLiteral("menuFile"))->title(), QStringLiteral("&Fichier"));
        QCOMPARE(AppSettings::instance().getString(QStringLiteral("ui/language"), QString()), QStringLiteral("fr"));
        QVERIFY(topMenu(w, QStringLiteral("menuLanguage"))->findChild<QAction *>(QStringLiteral("actionLanguage_fr"))->isChecked());

        // The language in use again: nothing is rebuilt, nothing written.
        AppSettings::instance().setValue(QStringLiteral("ui/language"), QStringLiteral("marker"));
        QMenu *before = topMenu(w, QStringLiteral("menuFile"));
        w.switchLanguage(QStringLiteral("fr"));
        QCOMPARE(topMenu(w, QStringLiteral("menuFile")), before);
        QCOMPARE(AppSettings::instance().getString(QStringLiteral("ui/language"), QString()), QStringLiteral("marker"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
