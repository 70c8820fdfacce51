// Faults a change of the session layer could bring back, each a row that
// sees it: without a window on fake connections and views where the
// behaviour allows, on loopback peers where the bytes on the line matter
// (Telnet's binary hand-over, raw TCP, a serial line's settings).
#include "connections/telnetconnection.h"
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionlogger.h"
#include "core/sessionstore.h"
#include "mainwindow/logactions.h"
#include "mainwindow/opensession.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/sessionroad.h"
#include "mainwindow/sshsignin.h"
#include "mainwindow/statusbar.h"
#include "mainwindow/transferactions.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"
#include "transfer/kermitpacket.h"
#include "transfer/kermittransfer.h"
#include "ui/boundedtext.h"
#include "ui/groupdialogs.h"
#include "tests/support/checktable.h"
#include "tests/support/testfiles.h"
#include "sessionrig.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QLabel>
#include <QScopeGuard>
#include <QSettings>
#include <QTcpServer>
#include <QTabBar>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {
// A window's parts without the window, the store emptied.
struct Desk {
    TerminalArea area;
    StatusBar bar;
    SessionHub hub{nullptr, &area, nullptr, &bar};
    SessionRoad road{&hub};
    Desk()
    {
        SessionStore &store = SessionStore::instance();
        for (const SessionInfo &s : store.ungrouped())
            store.removeSession(s.id);
    }
    ~Desk() { hub.closeAll(); }
    QString add(const QString &type, const QString &host, const QString &port, const SerialParams &serial = {})
    {
        return SessionStore::instance().addSession(type + QString::number(++made), type, {}, host, port, serial);
    }
    QString statusText()
    {
        QStringList texts;
        for (const QLabel *label : bar.findChildren<QLabel *>())
            if (!label->text().contains(u':')) // not the clock
                texts << label->text();
        return texts.join(u'|');
    }
    int made = 0;
};

// A Telnet peer on loopback that agrees to binary mode both ways and
// refuses every other option; `data` is what arrived as data.
struct TelnetPeer {
    QTcpServer server;
    QTcpSocket *socket = nullptr;
    QByteArray data, pending;
    QList<QByteArray> commands; // "WILL 0", "DO 0", ... of the binary option
    TelnetPeer()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [this] { take(socket->readAll()); });
        });
    }
    void take(const QByteArray &bytes)
    {
        pending += bytes;
        static const char *const verbs[] = {"WILL", "WONT", "DO", "DONT"};
        int i = 0;
        while (i < pending.size()) {
            const quint8 c = quint8(pending[i]);
            if (c != 0xff) {
                data += char(c), ++i;
                continue;
            }
            if (i + 1 >= pending.size())
                break;
            const quint8 verb = quint8(pending[i + 1]);
            if (verb == 0xff) {
                data += char(0xff), i += 2;
            } else if (verb >= 251 && verb <= 254) {
                if (i + 2 >= pending.size())
                    break;
                const quint8 option = quint8(pending[i + 2]);
                if (option == 0)
                    commands << QByteArray(verbs[verb - 251]);
                // WILL -> DO, DO -> WILL for binary; refusals otherwise; WONT and DONT acknowledged.
                static const quint8 agree[] = {253, 254, 251, 252}, refuse[] = {254, 254, 252, 252};
                const quint8 answer = option == 0 ? agree[verb - 251] : refuse[verb - 251];
                socket->write(QByteArray{"\xff"} + char(answer) + char(option));
                i += 3;
            } else if (verb == 250) { // subnegotiation up to IAC SE
                const int end = int(pending.indexOf("\xff\xf0", i));
                if (end < 0)
                    break;
                i = end + 2;
            } else {
                i += 2;
            }
        }
        pending.remove(0, i);
    }
};

bool waitFor(const std::function<bool()> &done, int ms = 5000) { return QTest::qWaitFor(done, ms); }

// A Kermit sender's first and last packets.
const QByteArray kermitS = kermit::buildPacket('S', 0, kermit::sendInitData(1), 1, 13);
const QByteArray kermitB = kermit::buildPacket('B', 1, {}, 1, 13);
} // namespace

class TestSessionFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LanguageManager::setLanguage(QStringLiteral("en")); }

    // One open session on a fake line; `check` answers what it saw.
    void session_data()
    {
        CheckTable<Rig>::columns();
        const auto row = CheckTable<Rig>::row;
        row("Ctrl+C cancels a running transfer, nothing sent", [](Rig &r) {
            r.runTransfer(true);
            r.receive("START");
            r.session.type("\x03");
            return QString::number(r.transfer.isActive()) + QString::fromLatin1(r.conn->written);
        }, "0");
        row("a cancelled transfer's tail is dropped while it goes on, past the quiet's wait", [](Rig &r) {
            r.runTransfer(true);
            r.receive("START");
            r.session.type("\x1b");
            for (int i = 0; i < 8; ++i) { // 800 ms of tail, never 400 ms quiet
                r.receive("\x18 tail\x8f");
                QTest::qWait(OpenSession::kQuietAfterCancelMs / 4);
            }
            waitOutQuiet();
            r.receive("$ ");
            return QString::fromLatin1(r.view.shown);
        }, "$ ");
        row("a binary transfer has the line transparent, given back after", [](Rig &r) {
            r.runTransfer(true);
            const bool during = r.conn->transparent;
            r.receive("START");
            r.receive("END");
            return QStringLiteral("%1 %2").arg(during).arg(r.conn->transparent);
        }, "1 0");
        row("a text send leaves the line as typed", [](Rig &r) {
            r.runTransfer(false);
            return QString::number(r.conn->transparent);
        }, "0");
        row("a cancelled binary transfer gives the line back", [](Rig &r) {
            r.runTransfer(true);
            r.receive("START");
            r.session.type("\x1b");
            return QString::number(r.conn->transparent);
        }, "0");
        row("a log that fails says so in the tab", [](Rig &r) {
            SessionLogger *logger = r.log();
            emit logger->logError(QStringLiteral("disk <full>"));
            return QString::number(r.view.lines.join(u' ').contains(u"disk &lt;full&gt;"));
        }, "1");
        row("capture appends to a file that is there", [](Rig &r) {
            writeFile(r.dir.filePath("cap"), "before|");
            r.session.startCapture(r.dir.filePath("cap"));
            r.receive("after");
            r.session.stopCapture();
            return QString::fromLatin1(readFile(r.dir.filePath("cap")));
        }, "before|after");
        row("no frame of a started binary transfer is logged", [](Rig &r) {
            SessionLogger *logger = r.log();
            r.runTransfer(true);
            r.receive("START");
            r.session.sendUnlogged("FRAME-OUT"); // what a transfer writes
            r.receive("FRAME-IN");
            const QByteArray log = r.logged(logger);
            return QStringLiteral("%1 %2").arg(log.contains("FRAME-OUT")).arg(log.contains("FRAME-IN"));
        }, "0 0");
        row("words held to a Kermit receive's closing time reach screen and log", [](Rig &r) {
            SessionLogger *logger = r.log();
            KermitTransfer k;
            k.setManualClock(true);
            r.session.handOver(&k, true);
            k.startReceive({}, r.session.id(), r.dir.path());
            r.receive(kermitS + kermitB + "\x01~ $ ");
            k.tick(), k.tick();
            return QString::fromLatin1(r.view.shown) + QString::number(r.logged(logger).contains("~ $ "));
        }, "\x01~ $ 1");
        row("a new run hands back none of the last run's words", [](Rig &r) {
            KermitTransfer k;
            k.startReceive({}, "elsewhere", r.dir.path());
            k.feed(kermitS + kermitB + "OLD$ "); // never taken
            r.session.handOver(&k, true);
            k.startReceive({}, r.session.id(), r.dir.path());
            r.receive(kermitS);
            r.session.type("\x1b");
            return QString::fromLatin1(r.view.shown);
        }, "");
        row("a transfer right after a cancel shows its peer at once", [](Rig &r) {
            r.runTransfer(true);
            r.receive("START");
            r.session.type("\x1b");
            FakeTransfer next;
            r.session.handOver(&next, false);
            next.startSend({}, r.session.id(), {}, 0);
            r.receive("Sending file");
            return QString::fromLatin1(r.view.shown);
        }, "Sending file");
        row("a full send queue is told", [](Rig &r) {
            emit r.conn->sendQueueFull();
            return QString::number(r.view.lines.size());
        }, "1");
        row("a failed line's close spares the connection that replaced it", [](Rig &r) {
            emit r.conn->connectionError(QStringLiteral("reset"));
            auto *next = new FakeConnection;
            r.session.adopt(next, {});
            QCoreApplication::processEvents();
            return QString::number(r.session.isOpen());
        }, "1");
    }
    void session() { CheckTable<Rig>::run(); }

    // The window's collaborators on one desk; `check` answers what it saw.
    void desk_data()
    {
        CheckTable<Desk>::columns();
        const auto row = CheckTable<Desk>::row;
        row("the status bar shows the current session's state only", [](Desk &d) {
            const QString a = d.add("raw", "h", "1"), b = d.add("raw", "h", "1");
            d.road.activate(b);
            d.road.activate(a);
            d.hub.showState(a, QStringLiteral("disconnected"));
            const QString before = d.statusText();
            d.hub.showState(b, QStringLiteral("connected"));
            return QString::number(d.statusText() == before);
        }, "1");
        row("Disconnect publishes the state to tab, store and bar", [](Desk &d) {
            const QString id = d.add("raw", "h", "1");
            d.road.activate(id);
            OpenSession *s = d.hub.session(id);
            s->adopt(new FakeConnection, {});
            d.hub.showState(id, QStringLiteral("connected"));
            const QString connected = d.statusText();
            d.hub.disconnectSession(id);
            const auto icon = [](const QIcon &i) { return i.pixmap(16).toImage(); };
            const bool tabSays = icon(d.area.findChild<QTabBar *>()->tabIcon(0))
                                 == icon(TerminalArea::stateIcon(QStringLiteral("disconnected")));
            return SessionStore::instance().findSession(id)->status + ' ' + QString::number(tabSays) + ' '
                + QString::number(d.statusText() != connected) + ' ' + QString::number(s->isOpen());
        }, "disconnected 1 1 0");
        row("a tab brought to the front is the current session", [](Desk &d) {
            const QString a = d.add("raw", "h", "1"), b = d.add("telnet", "h", "1");
            d.road.activate(a);
            d.road.activate(b);
            d.hub.tabActivated(a);
            const QString bar = d.statusText();
            return QStringLiteral("%1 %2").arg(SessionStore::instance().currentSessionId() == a)
                .arg(bar.contains(u"raw1") && !bar.contains(u"telnet"));
        }, "1 1");
        row("every quick connect has a tab of its own", [](Desk &d) {
            for (int i = 0; i < 2; ++i)
                d.road.openQuickSession({QStringLiteral("raw"), QStringLiteral("q"), {}, QStringLiteral("127.0.0.1"), "1"});
            return QString::number(d.hub.sessions().size());
        }, "2");
        row("Enter on a closed tab opens it again", [](Desk &d) {
            const QString id = d.add("raw", "127.0.0.1", "1");
            d.road.activate(id);
            const bool before = d.hub.connection(id);
            d.hub.typed(id, "\r");
            return QStringLiteral("%1 %2").arg(before).arg(d.hub.connection(id) != nullptr);
        }, "0 1");
        row("a transfer never starts over a running one", [](Desk &d) {
            FakeTransfer running;
            int asked = 0;
            FileDialogs dialogs;
            dialogs.openFiles = [&](QWidget *, const QString &) { return ++asked, QStringList{"/x"}; };
            dialogs.openFile = [&](QWidget *, const QString &) { return ++asked, QStringLiteral("/x"); };
            TransferActions actions(&d.hub, dialogs);
            const QString a = d.add("raw", "h", "1"), b = d.add("raw", "h", "1");
            for (const QString &id : {a, b}) {
                d.road.activate(id);
                d.hub.session(id)->adopt(new FakeConnection, {});
            }
            d.hub.session(a)->handOver(&running, true);
            running.startSend({}, a, {}, 0);
            for (const int protocol : {0, 1, 2, 3})
                actions.startTransfer(protocol, true);
            actions.sendAsciiFile();
            return QStringLiteral("%1 %2").arg(asked).arg(d.hub.runningTransfer() == &running);
        }, "0 1");
        row("Stop logging stops and starts nothing", [](Desk &d) {
            QTemporaryDir dir;
            AppSettings::instance().setValue(QStringLiteral("log/dir"), dir.path());
            LogActions logs(&d.hub);
            const QString id = d.add("raw", "h", "1");
            d.road.activate(id);
            logs.toggleSessionLog(id);
            const bool started = logs.isLogging(id);
            logs.toggleSessionLog(id);
            AppSettings::instance().settings()->remove(QStringLiteral("log"));
            return QStringLiteral("%1 %2 %3").arg(started).arg(logs.isLogging(id)).arg(d.hub.logger(id) != nullptr);
        }, "1 0 0");
        row("a logger without its file is not logging", [](Desk &d) {
            LogActions logs(&d.hub);
            const QString id = d.add("raw", "h", "1");
            d.road.activate(id);
            SessionLogOptions options;
            options.dir = QStringLiteral("/proc/no-such-folder");
            auto *logger = new SessionLogger("n", "h", options);
            logger->start();
            d.hub.session(id)->setLogger(logger);
            return QString::number(logs.isLogging(id));
        }, "0");
        row("the default user stands in for none", [](Desk &d) {
            AppSettings::instance().setValue(QStringLiteral("default/sshUser"), QStringLiteral("deploy"));
            const QString id = d.add("ssh", "h", "22");
            const QString fallback = SshSignIn::savedUser(id);
            SshSignIn::rememberUser(id, QStringLiteral("alice"));
            AppSettings::instance().settings()->remove(QStringLiteral("default/sshUser"));
            return fallback + ' ' + SshSignIn::savedUser(id);
        }, "deploy alice");
        row("a session's own font size reaches its view", [](Desk &d) {
            const QString id = d.add("raw", "h", "1");
            AppSettings::instance().setValue("session/" + id + "/term/fontSize", 21);
            d.road.activate(id);
            return QString::number(d.area.view(id)->fontPixelSize());
        }, "21");
        row("a user's session name in the placeholder is text", [](Desk &d) {
            const QString id = SessionStore::instance().addSession(QStringLiteral("<b>web</b>"), "raw", {}, "h", "1");
            d.road.activate(id);
            return QString::number(d.area.view(id)->terminalEdit()->toPlainText().contains(u"<b>web</b>"));
        }, "1");
        row("a user is kept without its blanks", [](Desk &d) {
            const QString id = d.add("ssh", "h", "22");
            SshSignIn::rememberUser(id, QStringLiteral("  bob "));
            return SshSignIn::savedUser(id);
        }, "bob");
        row("binary transfers get a transparent line, text sends the typed one", [](Desk &d) {
            QTemporaryDir dir;
            writeFile(dir.filePath("f"), "abc");
            FileDialogs dialogs;
            dialogs.openFiles = [&](QWidget *, const QString &) { return QStringList{dir.filePath("f")}; };
            dialogs.openFile = [&](QWidget *, const QString &) { return dir.filePath("f"); };
            TransferActions actions(&d.hub, dialogs);
            const QString id = d.add("raw", "h", "1");
            d.road.activate(id);
            auto *conn = new FakeConnection;
            d.hub.session(id)->adopt(conn, {});
            QStringList seen;
            for (const int protocol : {0, 2, 3}) {
                actions.startTransfer(protocol, true);
                seen << QString::number(conn->transparent);
                d.hub.session(id)->type("\x1b");
            }
            actions.sendAsciiFile();
            seen << QString::number(conn->transparent);
            d.hub.session(id)->type("\x1b");
            return seen.join(u' ');
        }, "1 1 1 0");
        row("a transfer from the Transfer menu keeps its bytes out of the log", [](Desk &d) {
            QTemporaryDir dir;
            FileDialogs dialogs;
            dialogs.openFiles = [&](QWidget *, const QString &) { return QStringList{dir.filePath("f")}; };
            TransferActions actions(&d.hub, dialogs);
            const QString id = d.add("raw", "h", "1");
            d.road.activate(id);
            OpenSession *session = d.hub.session(id);
            auto *conn = new FakeConnection;
            session->adopt(conn, {});
            SessionLogOptions options;
            options.dir = dir.path();
            auto *logger = new SessionLogger("n", "h", options);
            logger->start();
            session->setLogger(logger);
            actions.startTransfer(TransferActions::Zmodem, true);
            session->type("\x1b");
            const QString path = logger->currentPath();
            session->stopLogger();
            const QByteArray zrqinit = "B00000000000000"; // ZRQINIT's hex digits, whatever a log does to controls
            return QStringLiteral("%1 %2").arg(conn->written.contains(zrqinit)).arg(readFile(path).contains(zrqinit));
        }, "1 0");
        row("no file is asked for on a closed session", [](Desk &d) {
            int asked = 0;
            FileDialogs dialogs;
            dialogs.openFiles = [&](QWidget *, const QString &) { return ++asked, QStringList{"/x"}; };
            dialogs.openFile = [&](QWidget *, const QString &) { return ++asked, QStringLiteral("/x"); };
            dialogs.saveFile = [&](QWidget *, const QString &, const QString &) { return ++asked, QStringLiteral("/x"); };
            TransferActions actions(&d.hub, dialogs);
            LogActions logs(&d.hub, dialogs);
            const QString id = d.add("raw", "h", "1");
            d.road.activate(id);
            auto *conn = new FakeConnection;
            conn->opened = false;
            d.hub.session(id)->adopt(conn, {});
            actions.startTransfer(0, true);
            actions.sendAsciiFile();
            logs.startAsciiCapture();
            return QString::number(asked);
        }, "0");
        row("capture toggles: the second start stops it", [](Desk &d) {
            QTemporaryDir dir;
            int asked = 0;
            FileDialogs dialogs;
            dialogs.saveFile = [&](QWidget *, const QString &, const QString &) { return ++asked, dir.filePath("cap"); };
            LogActions logs(&d.hub, dialogs);
            const QString id = d.add("raw", "h", "1");
            d.road.activate(id);
            d.hub.session(id)->adopt(new FakeConnection, {});
            logs.startAsciiCapture();
            const bool on = d.hub.session(id)->isCapturing();
            logs.startAsciiCapture();
            return QStringLiteral("%1 %2 %3").arg(on).arg(d.hub.session(id)->isCapturing()).arg(asked);
        }, "1 0 1");
    }
    void desk() { CheckTable<Desk>::run(); }

    // The shared dialogs: Cancel never accepts, a group with sessions is
    // deleted with a warning, a user's text in a message is never markup.
    void sharedDialogs()
    {
        const auto press = [](QDialog &dialog, QDialogButtonBox::StandardButton which) {
            dialog.findChild<QLineEdit *>(QStringLiteral("nameEdit"))->setText(QStringLiteral("ops"));
            dialog.findChild<QDialogButtonBox *>()->button(which)->click();
            return dialog.result();
        };
        NewGroupDialog made, kept;
        RenameGroupDialog renamed(QStringLiteral("old")), rekept(QStringLiteral("old"));
        QCOMPARE(press(made, QDialogButtonBox::Cancel), int(QDialog::Rejected));
        QCOMPARE(press(renamed, QDialogButtonBox::Cancel), int(QDialog::Rejected));
        QCOMPARE(press(kept, QDialogButtonBox::Ok), int(QDialog::Accepted));
        QCOMPARE(press(rekept, QDialogButtonBox::Ok), int(QDialog::Accepted));

        DeleteConfirmDialog del;
        const auto warned = [&](bool group, int count) {
            del.setTarget(QStringLiteral("<i>g</i>"), group, count);
            return !del.findChild<QLabel *>(QStringLiteral("warningLabel"))->isHidden();
        };
        QVERIFY(warned(true, 1) && warned(true, 7) && !warned(true, 0) && !warned(false, 1));
        QVERIFY(del.findChild<QLabel *>(QStringLiteral("messageLabel"))->text().contains(u"&lt;i&gt;g&lt;/i&gt;"));

        QMessageBox box;
        setBoundedMessage(box, QStringLiteral("<b>name</b>"));
        QCOMPARE(box.textFormat(), Qt::PlainText);
        QCOMPARE(box.text() + '|' + box.detailedText(), QStringLiteral("<b>name</b>|"));
        const QString long_ = QStringLiteral("/very/long/path/").repeated(60);
        setBoundedMessage(box, long_);
        QVERIFY(box.text().size() < long_.size() && box.detailedText() == long_);

        QLabel label;
        boundedText(&label, long_);
        const QString cutTip = label.toolTip();
        QCOMPARE(boundedText(&label, QStringLiteral("short")), QStringLiteral("short"));
        QCOMPARE(cutTip + '|' + label.toolTip(), long_ + '|');
    }

    // Telnet on loopback: a binary transfer asks for binary mode, its bytes
    // go as they are (IAC doubled); after it a typed CR is a line end again.
    void telnetBinaryHandOver()
    {
        TelnetPeer peer;
        FakeView view;
        OpenSession session({"t", "t", "telnet"}, &view);
        auto *telnet = new TelnetConnection;
        telnet->telnetMode = true;
        telnet->host = QStringLiteral("127.0.0.1");
        telnet->port = peer.server.serverPort();
        session.adopt(telnet, {});
        QVERIFY(telnet->open());
        QVERIFY2(waitFor([&] { return peer.socket && telnet->isOpen(); }), "no connection on loopback");
        session.type("a\r");
        QVERIFY2(waitFor([&] { return peer.data.endsWith("a\r\n"); }), peer.data.toHex(' ').constData());
        FakeTransfer transfer;
        session.handOver(&transfer, true);
        transfer.startSend({}, session.id(), {}, 0);
        QVERIFY2(waitFor([&] { return peer.commands.contains("WILL") && peer.commands.contains("DO"); }),
                 "binary mode never asked for");
        // Until the peer's agreement has reached the connection, a CR still
        // goes with a NUL: sent again then.
        for (int tries = 0; tries < 50; ++tries) {
            peer.data.clear();
            session.send("\r\xff\n");
            QVERIFY(waitFor([&] { return peer.data.size() >= 3; }));
            QTest::qWait(100);
            if (peer.data != QByteArray("\r\0\xff\n", 4))
                break;
        }
        QCOMPARE(peer.data.toHex(' '), QByteArray("0d ff 0a"));
        emit telnet->dataReceived("START");
        emit telnet->dataReceived("END");
        QVERIFY2(waitFor([&] { return peer.commands.contains("WONT") && peer.commands.contains("DONT"); }),
                 "binary mode never given up");
        QTest::qWait(200);
        peer.data.clear();
        session.type("b\r");
        QVERIFY(waitFor([&] { return peer.data.size() >= 3; }));
        QTest::qWait(100);
        QCOMPARE(peer.data, QByteArray("b\r\n"));
    }

    // Raw TCP on loopback: the typed bytes and nothing else.
    void rawTcpBytesAsTyped()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        Desk d;
        const QString id = d.add("raw", "127.0.0.1", QString::number(server.serverPort()));
        d.road.connectSession(id);
        QVERIFY2(server.waitForNewConnection(5000), "no connection on loopback");
        QTcpSocket *peer = server.nextPendingConnection();
        QVERIFY(waitFor([&] { return d.hub.session(id)->isOpen(); }));
        QByteArray got;
        QObject::connect(peer, &QTcpSocket::readyRead, [&] { got += peer->readAll(); });
        d.hub.typed(id, "ls\r\xff\n");
        QVERIFY(waitFor([&] { return got.size() >= 5; }));
        QTest::qWait(200);
        QCOMPARE(got.toHex(' '), QByteArray("6c 73 0d ff 0a"));
    }

    // A serial session on the terminal side of a pseudo-terminal: the line
    // takes the session's speed, parity, stop bits and handshake; "log on
    // open" starts its log. The settings are asked of the master side: the
    // session holds the line exclusively, and only root may open it again.
    void serialLineSettings()
    {
        QTemporaryDir dir;
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY2(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0, "no pseudo-terminal");
        const auto closeMaster = qScopeGuard([master] { ::close(master); });
        AppSettings::instance().setValue(QStringLiteral("log/onOpen"), true);
        AppSettings::instance().setValue(QStringLiteral("log/dir"), dir.filePath("logs"));
        Desk d;
        SerialParams serial;
        serial.serial_port = QString::fromLocal8Bit(::ptsname(master));
        serial.serial_baud = 9600;
        serial.serial_parity = 1; // odd
        serial.serial_stopbits = 2;
        serial.serial_flow = 1; // RTS/CTS
        const QString id = d.add("serial", QString(), QString(), serial);
        d.road.connectSession(id);
        AppSettings::instance().settings()->remove(QStringLiteral("log"));
        QVERIFY2(d.hub.session(id) && d.hub.session(id)->isOpen(), "the serial port did not open");
        termios tio{};
        QVERIFY(tcgetattr(master, &tio) == 0);
        // A pty keeps eight data bits and no parity whatever it is asked;
        // the odd-parity flag and the stop bits stay as set.
        QCOMPARE(tio.c_cflag & (PARODD | CSTOPB | CRTSCTS), tcflag_t(PARODD | CSTOPB | CRTSCTS));
        QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
        QVERIFY2(d.hub.logger(id) && d.hub.logger(id)->isRecording(), "log on open ignored");
        QCOMPARE(SessionStore::instance().findSession(id)->status, QStringLiteral("connected"));
        d.hub.closeAll();
    }
};

QTEST_MAIN(TestSessionFaults)
#include "tst_sessionfaults.moc"
