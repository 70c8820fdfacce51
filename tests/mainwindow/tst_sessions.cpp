// The real window on an X server against real peers: sessions are opened
// from the tree with a double-click, typed into with key events and read
// back from the screen.
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessiontree.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"
#include "tests/support/modals.h"

#include <QDir>
#include <QProcess>
#include <QTest>
#include <QTreeWidget>

#include <unistd.h>

namespace {
constexpr int kWait = 10000; // a bound against hanging, not a speed check
constexpr int kTelnetdPort = 23101 + HV_TEST_PORT_OFFSET;
constexpr int kRlogindPort = 23103 + HV_TEST_PORT_OFFSET;
QString state(const QString &id) { return SessionStore::instance().findSession(id).value_or(SessionInfo()).status; }
} // namespace

class TestSessions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(QDir::homePath() + QStringLiteral("/data")));
        LanguageManager::setLanguage(QStringLiteral("en"));
    }

    // Each transport from a double-click to a shell; a host that does not
    // resolve ends "disconnected" with a line saying why, names shown as text.
    void sessions_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("finalState");
        const QString lo = QStringLiteral("127.0.0.1");
        QTest::newRow("local bash") << "local" << "/bin/bash" << 0 << "hv-42" << "connected";
        QTest::newRow("telnet") << "telnet" << lo << kTelnetdPort << "hv-42" << "connected";
        QTest::newRow("serial") << "serial" << "" << 0 << "hv-42" << "connected";
        QTest::newRow("ssh") << "ssh" << lo << kSshdPort << "hv-42" << "connected";
        QTest::newRow("rlogin") << "rlogin" << lo << kRlogindPort << "hv-42" << "connected";
        QTest::newRow("<b>x</b>&amp;") << "telnet" << "<i>no</i>&amp;.invalid" << 0
                                       << "<b>x</b>&amp;|<i>no</i>&amp;.invalid:23|⚠" << "disconnected";
    }
    void sessions()
    {
        QFETCH(QString, type);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, finalState);
        const QString tag = QString::fromUtf8(QTest::currentDataTag());
        if (type == u"rlogin" && ::geteuid() != 0)
            QSKIP("not run: in.rlogind takes only client ports below 1024, which need root");
        // A serial line whose far end runs a shell.
        QProcess socat;
        SerialParams serial;
        if (type == u"serial") {
            serial.serial_port = QDir::homePath() + QStringLiteral("/ttyHV");
            socat.start(QStringLiteral("socat"), {"PTY,link=" + serial.serial_port + ",raw,echo=0",
                                                  QStringLiteral("EXEC:sh,pty,stderr,setsid,sane")});
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(serial.serial_port), kWait);
        }
        const QString id = SessionStore::instance().addSession(tag, type, {}, host, port ? QString::number(port) : "", serial);
        if (type == u"rlogin")
            AppSettings::instance().setValue("session/" + id + "/conn/user", fixtureText("conn_rlogind/user"));
        ModalAnswerer prompts;
        MainWindow w;
        openFromTree(w, tag);
        auto *area = w.findChild<TerminalArea *>();
        const auto screen = [&] { return area->view(id) ? area->view(id)->terminalEdit()->toPlainText() : QString(); };
        const auto typeLine = [&](const QString &text) {
            QTest::keyClicks(area->view(id)->terminalEdit(), text);
            QTest::keyClick(area->view(id)->terminalEdit(), Qt::Key_Return);
        };
        if (finalState == u"connected") {
            QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
            if (tag == u"rlogin") {
                QTRY_VERIFY_WITH_TIMEOUT(screen().contains(u"assword:"), kWait);
                typeLine(fixtureText("conn_rlogind/password"));
            }
            typeLine(QStringLiteral("echo hv-$((6*7))"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(state(id), finalState, kWait);
        auto *tabs = area->findChild<QTabBar *>();
        QCOMPARE(tabs->tabIcon(tabs->currentIndex()).pixmap(10).toImage(),
                 TerminalArea::stateIcon(finalState).pixmap(10).toImage());
        QFETCH(QString, expected);
        for (const QString &text : expected.split(u'|'))
            QTRY_VERIFY2_WITH_TIMEOUT(screen().contains(text), qPrintable(screen()), kWait);
        QCOMPARE(prompts.prompts, tag == u"ssh" ? 1 : 0);
    }

    // A local bash logged from the window: each line typed with Enter is in
    // the log when it was typed, before bash's answer to it, not at the end.
    void typedLinesLogged()
    {
        const QString logs = QDir::homePath() + QStringLiteral("/logs");
        AppSettings::instance().setValue(QStringLiteral("log/dir"), logs);
        AppSettings::instance().setValue(QStringLiteral("log/file"), QStringLiteral("typed.log"));
        const QString id = SessionStore::instance().addSession(QStringLiteral("logged bash"), QStringLiteral("local"), {},
                                                               QStringLiteral("/bin/bash"), QString());
        MainWindow w;
        openFromTree(w, QStringLiteral("logged bash"));
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
        w.toggleSessionLog(id);
        auto *edit = w.findChild<TerminalArea *>()->view(id)->terminalEdit();
        QStringList order;
        for (const char *product : {"6*7", "7*7"}) {
            const QString line = QStringLiteral("echo hv-$((%1))").arg(QLatin1String(product));
            const QString answer = QStringLiteral("hv-%1").arg(QLatin1String(product) == QLatin1String("6*7") ? 42 : 49);
            QTest::keyClicks(edit, line);
            QTest::keyClick(edit, Qt::Key_Return);
            QTRY_VERIFY2_WITH_TIMEOUT(edit->toPlainText().contains(QLatin1Char('\n') + answer), qPrintable(edit->toPlainText()),
                                      kWait);
            // bash's answer line may begin with a mode change of its own
            order << QStringLiteral("[TX] ") + line + QStringLiteral("\r\n") << answer + QStringLiteral("\r\n");
        }
        w.toggleSessionLog(id);
        QFile file(logs + QStringLiteral("/typed.log"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString log = QString::fromUtf8(file.readAll());
        qsizetype at = 0;
        for (const QString &record : std::as_const(order)) {
            const qsizetype found = log.indexOf(record, at);
            QVERIFY2(found >= at, qPrintable(record + QStringLiteral(" out of order in\n") + log));
            at = found + record.size();
        }
    }

private:
    // Shows the window and double-clicks the session in its tree.
    static void openFromTree(MainWindow &w, const QString &name)
    {
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto *tree = w.findChild<SessionTree *>()->findChild<QTreeWidget *>();
        const QList<QTreeWidgetItem *> items = tree->findItems(name, Qt::MatchStartsWith | Qt::MatchRecursive);
        QCOMPARE(items.size(), 1);
        tree->scrollToItem(items.first());
        QTest::mouseDClick(w.windowHandle(), Qt::LeftButton, {},
                           tree->viewport()->mapTo(&w, tree->visualItemRect(items.first()).center()));
    }
};

QTEST_MAIN(TestSessions)
#include "tst_sessions.moc"
