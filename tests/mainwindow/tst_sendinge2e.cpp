// The window sends commands to two local bash sessions opened from the
// store and reads the answers from their screens.
#include "connections/connection.h"
#include "core/sessionstore.h"
#include "tests/mainwindow/windowtesting.h"

#include <QElapsedTimer>

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
        Window win;
        QStringList ids;
        for (const char *name : {"one", "two"}) {
            ids << SessionStore::instance().addSession(name, "local", QString(), "/bin/bash", QString());
            win.w.onSessionConnect(ids.constLast());
        }
        for (const QString &id : std::as_const(ids))
            QTRY_VERIFY_WITH_TIMEOUT(win.w.sessionHub()->connection(id) && win.w.sessionHub()->connection(id)->isOpen(),
                                     kWait);
        SessionStore::instance().setCurrentSessionId(ids[0]);
        win.w.onCommandSend("all", "echo to$((40+2))", false);
        QTRY_VERIFY_WITH_TIMEOUT(win.screen(ids[0]).contains("to42") && win.screen(ids[1]).contains("to42"), kWait);
        // The pause holds the second line back for a second at least.
        QElapsedTimer clock;
        clock.start();
        win.w.onCommandSend("current", "echo first$((1+1))\\r\\pecho second$((1+2))", false);
        QTRY_VERIFY_WITH_TIMEOUT(win.screen(ids[0]).contains("first2"), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(win.screen(ids[0]).contains("second3"), kWait);
        QVERIFY2(clock.elapsed() >= 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!win.screen(ids[1]).contains("first2"));
        QVERIFY(win.w.close());
    }
};

QTEST_MAIN(TestSendingE2e)
#include "tst_sendinge2e.moc"
