// The real window on an X server against real peers: sessions are opened
// from the tree with a double-click, typed into with key events and read
// back from the screen.
#include "core/appsettings.h"
#include "core/debuglog.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessiontree.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"
#include "tests/support/modals.h"
#include "tests/support/testfiles.h"
#include "ui/titlebar.h"

#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <unistd.h>

namespace {
constexpr int kWait = 30000; // a bound against hanging on a loaded machine, not a speed check
constexpr int kTelnetdPort = 23101 + HV_TEST_PORT_OFFSET;
constexpr int kRlogindPort = 23103 + HV_TEST_PORT_OFFSET;
QString state(const QString &id) { return SessionStore::instance().findSession(id).value_or(SessionInfo()).status; }
} // namespace

// Accepts the first modal dialog the moment it is on the screen: its request
// for the keys has gone to the X server, whose answer is not read yet.
struct AcceptOnSight : QObject {
    QString seen = QStringLiteral("no dialog");
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (event->type() != QEvent::Expose || !dialog || watched != dialog->windowHandle() || seen.isEmpty())
            return false;
        seen = QApplication::activeWindow() == dialog ? QStringLiteral("it held them already") : QString();
        dialog->accept();
        return true;
    }
};

class TestSessions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(QDir::homePath() + QStringLiteral("/data")));
        LanguageManager::setLanguage(QStringLiteral("en"));
        QVERIFY(debugLogEnabled());
    }

    // What the row left in the debug log: its steps in order, and what the
    // user typed only as a count (a password must never land there).
    void cleanup()
    {
        const QString id = std::exchange(m_id, QString());
        if (id.isEmpty())
            return; // not a row of the transport table
        const QString log = QString::fromUtf8(readFile(debugLogPath()).mid(m_logStart));
        QStringList steps;
        if (m_type == u"ssh")
            steps = {"[UI] openSsh begin id=" + id, "[UI] closeConn begin id=" + id + " hasConn=0",
                     "[UI] openSsh before dialog id=" + id + " host=127.0.0.1", "[UI] openSsh dialog shown id=" + id,
                     "[UI] openSsh create conn id=" + id, "[UI] openSsh before conn->open id=" + id,
                     "[UI] openSsh after conn->open id=" + id + " started=1", "[SSH] libssh2_init success",
                     "[SSH] session created sock=", "[SSH] channel-open begin sock=", "[SSH] channel open success elapsed=",
                     "onTerminalInput: id=" + id + " bytes=1 conn=1 isOpen=1", " bytes: "};
        else if (m_connected)
            steps = {"onTerminalInput: id=" + id + " bytes=1 conn=1 isOpen=1"};
        if (m_connected)
            steps += {"[UI] closeConn begin id=" + id + " hasConn=1", "[UI] closeConn closing id=" + id + " conn=",
                      "[UI] closeConn scheduled deleteLater id=" + id + " conn="};
        qsizetype at = 0;
        for (const QString &step : steps) {
            at = log.indexOf(step, at);
            QVERIFY2(at >= 0, qPrintable(step + QStringLiteral(" missing or out of order in:\n") + log));
        }
        // Received bytes are traced for SSH alone.
        QCOMPARE(log.contains(QRegularExpression(QStringLiteral("\\] RX \\d+ bytes: [0-9A-F]{2}"))), m_type == u"ssh");
    }

    // Each transport from a double-click to a shell, at the terminal's size
    // also when Enter reopens it after the peer closed; a host that does not
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
        m_logStart = readFile(debugLogPath()).size();
        m_type = type;
        m_connected = finalState == u"connected";
        const QString id = m_id = SessionStore::instance().addSession(tag, type, {}, host, port ? QString::number(port) : "", serial);
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
        // The size that reached the peer is the terminal's, at the first open
        // and after the peer closed and Enter in the tab opened it again
        // (the tab's size does not change, so it reports none).
        const bool sized = finalState == u"connected" && type != u"serial";
        const auto sizeSeen = [&](const char *word) {
            TerminalView *v = area->view(id);
            const QString line = QStringLiteral("%1-%2x%3").arg(QLatin1String(word)).arg(v->rowCount()).arg(v->columns());
            typeLine(QStringLiteral("echo %1-$(stty size | tr ' ' x)").arg(QLatin1String(word)));
            QTRY_VERIFY2_WITH_TIMEOUT(screen().contains(line), qPrintable(line + u'\n' + screen().right(300)), kWait);
        };
        if (sized) {
            sizeSeen("first");
            if (QTest::currentTestFailed())
                return;
            typeLine(QStringLiteral("exit"));
            QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("disconnected"), kWait);
            QTest::keyClick(area->view(id)->terminalEdit(), Qt::Key_Return);
            QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
            if (tag == u"rlogin") {
                QTRY_VERIFY_WITH_TIMEOUT(screen().count(u"assword:") == 2, kWait);
                typeLine(fixtureText("conn_rlogind/password"));
            }
            sizeSeen("again");
        }
        auto *tabs = area->findChild<QTabBar *>();
        QCOMPARE(tabs->tabIcon(tabs->currentIndex()).pixmap(10).toImage(),
                 TerminalArea::stateIcon(finalState).pixmap(10).toImage());
        QFETCH(QString, expected);
        for (const QString &text : expected.split(u'|'))
            QTRY_VERIFY2_WITH_TIMEOUT(screen().contains(text), qPrintable(screen()), kWait);
        QCOMPARE(prompts.prompts, tag == u"ssh" ? 2 : 0);
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

    // Paste chosen with the mouse from the Edit menu, with text on the
    // clipboard and with none: the menu closes and the next keys reach the
    // shell, not the menu.
    void menuPasteThenKeys()
    {
        const QString id = SessionStore::instance().addSession(QStringLiteral("menu bash"), QStringLiteral("local"), {},
                                                               QStringLiteral("/bin/bash"), QString());
        MainWindow w;
        openFromTree(w, QStringLiteral("menu bash"));
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
        auto *edit = w.findChild<TerminalArea *>()->view(id)->terminalEdit();
        auto *bar = w.findChild<QMenuBar *>();
        auto *menu = w.findChild<QMenu *>(QStringLiteral("menuEdit"));
        QVERIFY(bar && menu);
        QAction *paste = nullptr;
        for (QAction *a : menu->actions())
            paste = a->text().contains(QStringLiteral("Paste")) ? a : paste;
        QVERIFY(paste);
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        edit->setFocus();
        for (const QString &clip : {QStringLiteral("echo hv-$((6*"), QString()}) {
            QApplication::clipboard()->setText(clip);
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menu->menuAction()).center());
            QTRY_VERIFY(menu->isVisible());
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(paste).center());
            QTRY_VERIFY(!menu->isVisible());
            QCOMPARE(QApplication::activePopupWidget(), nullptr);
            QTRY_COMPARE(QApplication::focusWidget(), edit);
            const QString rest = clip.isEmpty() ? QStringLiteral("echo hv-$((8*8))") : QStringLiteral("7))");
            QTest::keyClicks(QApplication::focusWidget(), rest);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            const QString answer = clip.isEmpty() ? QStringLiteral("\nhv-64") : QStringLiteral("\nhv-42");
            QTRY_VERIFY2_WITH_TIMEOUT(edit->toPlainText().contains(answer), qPrintable(edit->toPlainText()), kWait);
        }
    }

    // A view's font is its own: closing another tab or saving the options
    // unchanged leaves it as it was.
    void fontKeptByOtherViews()
    {
        SessionStore &store = SessionStore::instance();
        const QString kept = store.addSession(QStringLiteral("font kept"), QStringLiteral("local"), {}, QStringLiteral("/bin/bash"), QString());
        const QString gone = store.addSession(QStringLiteral("font gone"), QStringLiteral("local"), {}, QStringLiteral("/bin/bash"), QString());
        AppSettings::instance().setValue("session/" + kept + "/term/fontSize", 19); // its own, not the global one
        ModalAnswerer prompts;
        prompts.other = [](QWidget *modal) {
            for (QPushButton *b : modal->findChildren<QPushButton *>())
                if (b->text() == QStringLiteral("OK"))
                    return b->click();
        };
        MainWindow w;
        openFromTree(w, QStringLiteral("font kept"));
        openFromTree(w, QStringLiteral("font gone"));
        QTRY_COMPARE_WITH_TIMEOUT(state(gone), QStringLiteral("connected"), kWait);
        auto *area = w.findChild<TerminalArea *>();
        const auto font = [&] {
            const QFont f = area->view(kept)->terminalEdit()->font();
            return QStringLiteral("%1 %2 %3").arg(QFontInfo(f).family()).arg(f.pixelSize())
                .arg(area->view(kept)->terminalEdit()->document()->defaultFont().family());
        };
        const QString before = font();
        QVERIFY2(before.contains(QStringLiteral(" 19 ")), qPrintable(before));
        w.onTabClosed(gone);
        QCoreApplication::processEvents();
        QCOMPARE(font(), before);
        w.onGlobalOptions();
        QCOMPARE(font(), before);
    }

    // Exit from the menu while the program's own loop runs ends it: a failed save still waiting
    // to be told is told first, once, in front of the window; a box that opens after the window
    // went does not keep the program on with no window.
    void exitEnds_data()
    {
        QTest::addColumn<bool>("failedSave");
        QTest::addColumn<QString>("told"); // each box: window still shown, its text
        QTest::newRow("a failed save waiting") << true << "1 Could not save %1; this change will be lost when the program restarts.";
        QTest::newRow("a box after the window went") << false << "";
    }
    void exitEnds()
    {
        QFETCH(bool, failedSave);
        const QString sessions = SessionStore::instance().filePath(SessionStore::sessionsFileName);
        const auto restore = qScopeGuard([&] { QDir(sessions).removeRecursively(); });
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QStringList seen;
        ModalAnswerer answers;
        answers.other = [&](QWidget *box) {
            seen << QString::number(w.isVisible()) + ' ' + static_cast<QMessageBox *>(box)->text();
            box->close();
        };
        QMessageBox late(QMessageBox::Warning, QStringLiteral("late"), QStringLiteral("late"), QMessageBox::Ok, &w);
        late.setWindowModality(Qt::NonModal); // left open: no answer closes it
        QTimer::singleShot(0, &w, [&] {
            if (failedSave) { // a folder in the file's place stops root too
                QFile::remove(sessions);
                QDir().mkpath(sessions);
                SessionStore::instance().saveSessions();
            }
            w.findChild<QAction *>(QStringLiteral("actionExit"))->trigger();
            if (!failedSave)
                late.show();
        });
        QTimer bound;
        connect(&bound, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        bound.start(kWait);
        QVERIFY2(QApplication::exec() == 0, "the program did not end");
        QFETCH(QString, told);
        QCOMPARE(seen.join(u'|'), told.replace(QStringLiteral("%1"), QDir::toNativeSeparators(sessions)));
    }

    // Alt+letter typed as real X keys (no window manager here) after a
    // dialog of the window closed, as before any dialog: the menu bar's
    // letter opens its menu, another letter reaches the shell as Meta, and
    // the keys are the terminal's the user typed in. Each dialog is answered
    // once it holds the keyboard, as a user would.
    void menuKeysAfterDialogs_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("entry"); // the menu entry that opens it; none for the first row
        QTest::addColumn<QString>("answer");
        QTest::newRow("no dialog") << "local" << "" << "";
        QTest::newRow("ZMODEM send, file dialog cancelled") << "local" << "actionSendZmodem" << "reject";
        QTest::newRow("ZMODEM send, file dialog accepted") << "local" << "actionSendZmodem" << "accept";
        QTest::newRow("session options cancelled") << "local" << "actionSessionOptions" << "reject";
        QTest::newRow("global options saved") << "local" << "actionGlobalOptions" << "accept";
        QTest::newRow("about box") << "local" << "actionAbout" << "accept";
        // Closed while its own request for the keys is still on its way.
        QTest::newRow("at once: about box accepted as it shows") << "local" << "actionAbout" << "at once";
        QTest::newRow("TFTP server closed") << "local" << "actionTftpServer" << "close";
        QTest::newRow("SFTP panel closed") << "ssh" << "actionSftpTab" << "close";
    }
    void menuKeysAfterDialogs()
    {
        QFETCH(QString, type);
        QFETCH(QString, entry);
        QFETCH(QString, answer);
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QFAIL("xdotool is not installed: the keys must come from the X server");
        const auto xdo = [](const QString &keys) {
            return QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), keys}) == 0;
        };
        const QString file = QDir::homePath() + QStringLiteral("/offered.txt");
        QVERIFY(writeFile(file, "offered\n"));
        const QString host = type == u"ssh" ? QStringLiteral("127.0.0.1") : QStringLiteral("/bin/bash");
        const QString id = SessionStore::instance().addSession(QString::fromUtf8(QTest::currentDataTag()), type, {}, host,
                                                               type == u"ssh" ? QString::number(kSshdPort) : QString());
        // A button of a dialog's own title bar is no place for its keys:
        // Space there minimised it.
        QString keysInTitleBar;
        const auto noteKeys = [&] {
            QWidget *focus = QApplication::focusWidget();
            if (focus && qobject_cast<TitleBar *>(focus->parentWidget()))
                keysInTitleBar = focus->objectName();
        };
        ModalAnswerer answers;
        answers.other = [&](QWidget *modal) {
            if (QApplication::activeWindow() != modal)
                return;
            noteKeys();
            if (auto *files = qobject_cast<QFileDialog *>(modal); files && answer == u"accept")
                files->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(file); // as typed
            if (answer == u"reject")
                static_cast<QDialog *>(modal)->reject();
            else
                static_cast<QDialog *>(modal)->accept();
        };
        MainWindow w;
        openFromTree(w, QString::fromUtf8(QTest::currentDataTag()));
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
        auto *edit = w.findChild<TerminalArea *>()->view(id)->terminalEdit();
        QSignalSpy sent(w.findChild<TerminalArea *>(), &TerminalArea::inputSent);
        // A session opened from the list takes the keys, also the first.
        QTRY_COMPARE(QApplication::focusWidget(), edit);
        if (!entry.isEmpty()) {
            QAction *action = w.findChild<QAction *>(entry);
            QVERIFY(action);
            AcceptOnSight atOnce;
            if (answer == u"at once")
                qApp->installEventFilter(&atOnce);
            action->trigger(); // returns once a modal dialog was answered
            if (answer == u"at once")
                QVERIFY2(atOnce.seen.isEmpty(), qPrintable("the dialog was not accepted before it took the keys: " + atOnce.seen));
            if (entry == u"actionSendZmodem") // the offer runs only when a file was chosen
                QCOMPARE(w.sessionHub()->runningTransfer() != nullptr, answer == u"accept");
            if (answer == u"close") {
                QTRY_VERIFY(QApplication::activeWindow() && QApplication::activeWindow() != &w);
                noteKeys();
                QApplication::activeWindow()->close();
            }
        }
        QVERIFY2(keysInTitleBar.isEmpty(), qPrintable(keysInTitleBar));
        QTRY_COMPARE(QApplication::activeWindow(), &w);
        QTRY_COMPARE(QApplication::focusWidget(), edit);
        auto *transfer = w.findChild<QMenu *>(QStringLiteral("menuTransfer"));
        QVERIFY(xdo(QStringLiteral("alt+t")));
        QTRY_VERIFY(transfer->isVisible());
        QVERIFY(xdo(QStringLiteral("Escape"))); // the menu, then the bar's keyboard mode
        QTRY_VERIFY(!transfer->isVisible());
        QVERIFY(xdo(QStringLiteral("Escape")));
        QTRY_COMPARE(QApplication::focusWidget(), edit);
        QVERIFY(xdo(QStringLiteral("alt+b")));
        const auto typed = [&] {
            QByteArray all;
            for (const QList<QVariant> &args : std::as_const(sent))
                all += args.at(1).toByteArray();
            return all;
        };
        QTRY_VERIFY2(typed().contains("\x1b" "b"), typed().toHex(' ').constData());
        QVERIFY2(!typed().contains("\x1b" "t"), typed().toHex(' ').constData());
    }

private:
    qsizetype m_logStart = 0;
    QString m_id, m_type;
    bool m_connected = false;

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
