// The real window on an X server sends commands to two local bash sessions
// opened from the store and reads the answers from their screens.
#include "connections/connection.h"
#include "core/sessionstore.h"
#include "mainwindow/mainwindow.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"

#include <QElapsedTimer>
#include <QTest>

class TestSendingE2e : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QFAIL("needs the xcb platform on an X server (run through ctest, which starts xvfb-run)");
    }

    // "all" reaches both shells in one write each; "current" plays the
    // escapes and the pause on the current one only.
    void sendToShells()
    {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto *area = w.findChild<TerminalArea *>();
        const auto screen = [area](const QString &id) {
            const TerminalView *view = area->view(id);
            return view ? view->terminalEdit()->toPlainText() : QString();
        };
        QStringList ids;
        for (const char *name : {"one", "two"}) {
            ids << SessionStore::instance().addSession(name, "local", QString(), "/bin/bash", QString());
            w.onSessionConnect(ids.constLast());
        }
        for (const QString &id : std::as_const(ids)) {
            QTRY_VERIFY_WITH_TIMEOUT(w.sessionHub()->connection(id) && w.sessionHub()->connection(id)->isOpen(),
                                     10000);
        }
        SessionStore::instance().setCurrentSessionId(ids[0]);
        w.onCommandSend("all", "echo to$((40+2))", false);
        QTRY_VERIFY_WITH_TIMEOUT(screen(ids[0]).contains("to42") && screen(ids[1]).contains("to42"), 10000);
        // The pause holds the second line back for a second at least.
        QElapsedTimer clock;
        clock.start();
        w.onCommandSend("current", "echo first$((1+1))\\r\\pecho second$((1+2))", false);
        QTRY_VERIFY_WITH_TIMEOUT(screen(ids[0]).contains("first2"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(screen(ids[0]).contains("second3"), 10000);
        QVERIFY2(clock.elapsed() >= 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!screen(ids[1]).contains("first2"));
        QVERIFY(w.close());
    }
};

QTEST_MAIN(TestSendingE2e)
#include "tst_sendinge2e.moc"
