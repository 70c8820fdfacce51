// The real window on an X server against real peers: sessions are opened
// from the tree, typed into with key events and read back from the screen.
#include "connections/connection.h"
#include "core/appsettings.h"
#include <QSettings>
#include "core/datadir.h"
#include "core/debuglog.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/sshcredentialsdialog.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessiontree.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"
#include "transfer/xmodemtransfer.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <mutex>
#include <thread>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int kWait = 10000; // a bound against hanging, not a speed check
// The fixture servers of the connection and SSH tests.
constexpr int kTelnetdPort = 23101 + HV_TEST_PORT_OFFSET;
constexpr int kRlogindPort = 23103 + HV_TEST_PORT_OFFSET;
constexpr int kSshdPort = 22200 + HV_TEST_PORT_OFFSET;

QString fixture(const char *server, const char *name)
{
    QFile f(QStringLiteral(HV_BINARY_DIR "/fixtures/%1/%2").arg(QLatin1String(server), QLatin1String(name)));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
}

// A loopback peer on a port of its own, played on a thread: silent, sending
// an SSH banner then closing, flooding, or collecting what arrives.
class Peer
{
public:
    enum Mode { Silent, HangUpInHandshake, Flood, Collect };
    explicit Peer(Mode mode) : mode(mode)
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listener, reinterpret_cast<sockaddr *>(&a), len);
        ::listen(listener, 4);
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        thread = std::thread([this] { serve(); });
    }
    ~Peer()
    {
        done = true;
        ::shutdown(listener, SHUT_RDWR);
        if (const int fd = client; fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
        thread.join();
        ::close(listener);
    }
    QByteArray received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes;
    }
    int port = 0;
    std::atomic<qint64> sent{0};

private:
    void serve()
    {
        client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return;
        if (mode == HangUpInHandshake) {
            ::send(client, "SSH-2.0-OpenSSH_9.2\r\n", 21, MSG_NOSIGNAL);
            ::close(client.exchange(-1));
            return;
        }
        const QByteArray chunk(64 * 1024, 'x');
        char buffer[4096];
        while (!done) {
            if (mode == Flood && sent < 100 * 1024 * 1024) {
                const ssize_t n = ::send(client, chunk.constData(), size_t(chunk.size()), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += n;
                continue;
            }
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            std::lock_guard<std::mutex> lock(mutex);
            if (mode == Collect)
                bytes.append(buffer, n);
        }
    }
    Mode mode;
    int listener = -1;
    std::atomic<int> client{-1};
    std::atomic<bool> done{false};
    std::mutex mutex;
    QByteArray bytes;
    std::thread thread;
};

// Answers every credentials prompt as the user would, and counts them.
struct Prompts : QObject {
    QString user = fixture("ssh_sshd", "user"), password = fixture("ssh_sshd", "password");
    int shown = 0;
    Prompts()
    {
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this] {
            auto *d = qobject_cast<SshCredentialsDialog *>(QApplication::activeModalWidget());
            if (!d || !d->isVisible())
                return;
            ++shown;
            d->findChild<QLineEdit *>(QStringLiteral("userEdit"))->setText(user);
            d->findChild<QLineEdit *>(QStringLiteral("passwordEdit"))->setText(password);
            d->accept();
        });
        timer->start(10);
    }
};

struct Window {
    MainWindow w;
    Window()
    {
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
    }
    TerminalArea *area() const { return w.findChild<TerminalArea *>(); }
    TerminalView *view(const QString &id) const { return area()->view(id); }
    QString screen(const QString &id) const
    {
        TerminalView *v = view(id);
        return v ? v->terminalEdit()->document()->toPlainText() : QString();
    }
    // A double-click on the session's entry in the tree.
    void open(const QString &id)
    {
        w.findChild<SessionTree *>()->refresh();
        auto *tree = w.findChild<SessionTree *>()->findChild<QTreeWidget *>();
        QTreeWidgetItem *item = nullptr;
        for (QTreeWidgetItemIterator it(tree); *it && !item; ++it)
            item = (*it)->data(0, SessionTree::SessionIdRole).toString() == id ? *it : nullptr;
        QVERIFY(item);
        tree->scrollToItem(item);
        const QPoint at = tree->viewport()->mapTo(&w, tree->visualItemRect(item).center());
        QTest::mouseDClick(w.windowHandle(), Qt::LeftButton, {}, at);
    }
    void type(const QString &id, const QString &text)
    {
        QTest::keyClicks(view(id)->terminalEdit(), text);
        QTest::keyClick(view(id)->terminalEdit(), Qt::Key_Return);
    }
};

QString addSession(const QString &name, const QString &type, const QString &host, int port,
                   const QStringList &settings = {}, const QString &serialPort = QString())
{
    static int made = 0; // the store refuses a name twice
    SerialParams serial;
    serial.serial_port = serialPort;
    const QString id = SessionStore::instance().addSession(name + QStringLiteral(" %1").arg(++made), type, QString(), host,
                                                           port ? QString::number(port) : QString(), serial);
    for (const QString &s : settings)
        AppSettings::instance().setValue(QStringLiteral("session/%1/%2").arg(id, s.section(u'=', 0, 0)),
                                         s.section(u'=', 1));
    return id;
}

QString state(const QString &id)
{
    return SessionStore::instance().findSession(id).value_or(SessionInfo()).status;
}

// A serial line whose far end runs a shell (or another program); gone when
// the process ends.
struct SerialPeer {
    QProcess socat;
    QString port = QDir::homePath() + QStringLiteral("/ttyHV");
    explicit SerialPeer(const QString &farEnd = QStringLiteral("EXEC:sh,pty,stderr,setsid,sane"))
    {
        socat.start(QStringLiteral("socat"), {QStringLiteral("PTY,link=%1,raw,echo=0").arg(port), farEnd});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(port), kWait);
    }
};
} // namespace

class TestSessions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(QDir::homePath() + QStringLiteral("/data")));
        QDir().mkpath(QDir::homePath() + QStringLiteral("/data"));
        LanguageManager::setLanguage(QStringLiteral("en"));
    }

    // Every transport from the tree to a shell and back; the local shell
    // also ends and is reopened with Enter.
    void transports_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("port");
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QString>("login"); // typed after the peer asks for a password
        const QString keys = QStringLiteral(HV_BINARY_DIR "/fixtures/ssh_sshd/keys/");
        QTest::newRow("local bash") << "local" << 0 << QStringList() << QString();
        QTest::newRow("telnet") << "telnet" << kTelnetdPort << QStringList() << QString();
        QTest::newRow("serial") << "serial" << 0 << QStringList() << QString();
        QTest::newRow("ssh password") << "ssh" << kSshdPort << QStringList() << QString();
        QTest::newRow("ssh key") << "ssh" << kSshdPort
                                 << QStringList{"conn/auth=公钥认证", "conn/privateKey=" + keys + "id_ed25519"} << QString();
        QTest::newRow("rlogin") << "rlogin" << kRlogindPort
                                << QStringList{"conn/user=" + fixture("conn_rlogind", "user")}
                                << fixture("conn_rlogind", "password");
    }
    void transports()
    {
        QFETCH(QString, type);
        QFETCH(int, port);
        QFETCH(QStringList, settings);
        QFETCH(QString, login);
        if (type == u"rlogin" && ::geteuid() != 0)
            QSKIP("not run: in.rlogind takes only client ports below 1024, which need root");
        std::unique_ptr<SerialPeer> line(type == u"serial" ? new SerialPeer : nullptr);
        const QString host = type == u"local" ? QStringLiteral("/bin/bash") : QStringLiteral("127.0.0.1");
        const QString id = addSession(QString::fromUtf8(QTest::currentDataTag()), type, host, port, settings,
                                      line ? line->port : QString());
        Prompts prompts;
        if (settings.join(u' ').contains(u"id_ed25519"))
            prompts.password.clear();
        Window win;
        win.open(id);
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
        if (!login.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(win.screen(id).contains(u"assword:"), kWait);
            win.type(id, login);
        }
        win.type(id, QStringLiteral("echo hv-$((6*7))"));
        QTRY_VERIFY2_WITH_TIMEOUT(win.screen(id).contains(u"hv-42"), qPrintable(win.screen(id)), kWait);
        QCOMPARE(prompts.shown, type == u"ssh" ? 1 : 0);
        if (type != u"local")
            return;
        win.type(id, QStringLiteral("exit"));
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("disconnected"), kWait);
        QVERIFY(win.screen(id).contains(u"Local shell closed"));
        QTRY_VERIFY(!win.w.sessionHub()->connections.contains(id));
        QTest::keyClick(win.view(id)->terminalEdit(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
    }

    // Each failure ends in "disconnected" with a line that says why; names
    // and hosts show as text, never as markup.
    void failures_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("peer"); // -1 none, else a Peer::Mode
        QTest::addColumn<QString>("expected");
        QTest::newRow("unresolvable, markup in name and host")
            << "telnet" << "<i>no</i>&amp;.invalid" << -1 << "<b>x</b>&amp;|<i>no</i>&amp;.invalid:23|⚠";
        QTest::newRow("ssh peer closes mid-handshake") << "ssh" << "127.0.0.1" << int(Peer::HangUpInHandshake) << "⚠";
        QTest::newRow("shell exits at once") << "local" << "/bin/true" << -1 << "Local shell closed";
        QTest::newRow("serial port vanishes") << "serial" << "" << -1 << "Connected|⚠";
        QTest::newRow("ssh host key changed") << "ssh" << "127.0.0.1" << -2 << "changed_hosts:2";
    }
    void failures()
    {
        QFETCH(QString, type);
        QFETCH(QString, host);
        QFETCH(int, peer);
        QFETCH(QString, expected);
        AppSettings::instance().settings()->remove(QStringLiteral("keys/knownHosts"));
        std::unique_ptr<Peer> server(peer >= 0 ? new Peer(Peer::Mode(peer)) : nullptr);
        std::unique_ptr<SerialPeer> line(type == u"serial" ? new SerialPeer : nullptr);
        int port = server ? server->port : 0;
        if (peer == -2) { // a key filed for the server that is not its own
            port = kSshdPort;
            QFile hosts(dataDir() + QStringLiteral("/changed_hosts"));
            QFile otherKey(QStringLiteral(HV_BINARY_DIR "/fixtures/ssh_sshd/keys/id_ed25519.pub"));
            QVERIFY(hosts.open(QIODevice::WriteOnly) && otherKey.open(QIODevice::ReadOnly));
            hosts.write("# filed before\n[127.0.0.1]:" + QByteArray::number(port) + ' ' + otherKey.readAll());
            AppSettings::instance().setValue(QStringLiteral("keys/knownHosts"), QStringLiteral("%appdata%/changed_hosts"));
        }
        const QString id = addSession(QStringLiteral("<b>x</b>&amp;"), type, host, port, {}, line ? line->port : QString());
        Prompts prompts;
        Window win;
        win.open(id);
        if (line) {
            QTRY_VERIFY_WITH_TIMEOUT(win.screen(id).contains(u"Connected"), kWait);
            line->socat.kill();
        }
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("disconnected"), kWait);
        for (const QString &text : expected.split(u'|'))
            QTRY_VERIFY2_WITH_TIMEOUT(win.screen(id).contains(text), qPrintable(win.screen(id)), kWait);
        QCOMPARE(prompts.shown, type == u"ssh" ? 1 : 0);
    }

    // A flood and twenty shells at once: the window keeps answering, and
    // closing it with all of them open does not wait on any one.
    void floodAndManySessions()
    {
        Peer flood(Peer::Flood);
        QStringList ids{addSession(QStringLiteral("flood"), QStringLiteral("raw"), QStringLiteral("127.0.0.1"), flood.port)};
        for (int i = 0; i < 20; ++i)
            ids << addSession(QStringLiteral("shell %1").arg(i), QStringLiteral("local"), QStringLiteral("/bin/bash"), 0);
        auto *win = new Window;
        for (const QString &id : std::as_const(ids))
            win->open(id);
        for (const QString &id : std::as_const(ids))
            QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
        QElapsedTimer gap;
        qint64 worst = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] { worst = std::max(worst, gap.restart()); });
        gap.start();
        tick.start(5);
        QTRY_VERIFY_WITH_TIMEOUT(flood.sent > 30 * 1024 * 1024, 60000);
        tick.stop();
        QVERIFY2(worst < 250, qPrintable(QStringLiteral("event loop stalled %1 ms").arg(worst)));
        QElapsedTimer closing;
        closing.start();
        win->w.close();
        delete win;
        QVERIFY2(closing.elapsed() < 5000, qPrintable(QStringLiteral("closing took %1 ms").arg(closing.elapsed())));
    }

    // What a tab sends goes to its connection, except while a transfer owns
    // the stream: then typing is swallowed, ESC or Ctrl+C cancels it, and
    // the terminal's answers to device queries are dropped.
    void routing_data()
    {
        QTest::addColumn<bool>("transferHere");
        QTest::addColumn<bool>("reply");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("arrives");
        QTest::addColumn<bool>("stillActive");
        QTest::newRow("typed, no transfer") << false << false << QByteArray("ls") << QByteArray("ls!") << true;
        QTest::newRow("reply, no transfer") << false << true << QByteArray("\x1b[0n") << QByteArray("\x1b[0n!") << true;
        QTest::newRow("typed during transfer") << true << false << QByteArray("ls") << QByteArray("!") << true;
        QTest::newRow("reply during transfer") << true << true << QByteArray("\x1b[0n") << QByteArray("!") << true;
        QTest::newRow("paste with ESC cancels") << true << false << QByteArray("a\x1b") << QByteArray("!") << false;
        QTest::newRow("Ctrl+C cancels") << true << false << QByteArray("\x03") << QByteArray("!") << false;
    }
    void routing()
    {
        QFETCH(bool, transferHere);
        QFETCH(bool, reply);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, arrives);
        QFETCH(bool, stillActive);
        Peer peer(Peer::Collect);
        const QString id = addSession(QStringLiteral("raw"), QStringLiteral("raw"), QStringLiteral("127.0.0.1"), peer.port);
        const QString other = addSession(QStringLiteral("other"), QStringLiteral("raw"), QStringLiteral("127.0.0.1"), 1);
        Window win;
        win.open(id);
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
        XmodemTransfer transfer;
        transfer.setManualClock(true);
        transfer.startReceive([](const QByteArray &) {}, id, QDir::homePath() + QStringLiteral("/x.bin"), 0);
        SessionHub *hub = win.w.sessionHub();
        hub->transfer = &transfer;
        hub->transferSessionId = transferHere ? id : other;
        if (reply)
            emit win.area()->replySent(id, bytes);
        else
            win.w.onTerminalInput(id, bytes);
        QCOMPARE(transfer.isActive(), stillActive);
        hub->transferSessionId = other;
        win.w.onTerminalInput(id, "!");
        QTRY_COMPARE_WITH_TIMEOUT(peer.received(), arrives, kWait);
    }

    // A write too big for the send queue is dropped with a warning; the
    // session stays up and goes on sending.
    void fullQueueKeepsLink()
    {
        Peer peer(Peer::Collect);
        const QString id = addSession(QStringLiteral("raw"), QStringLiteral("raw"), QStringLiteral("127.0.0.1"), peer.port);
        Window win;
        win.open(id);
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
        win.w.onTerminalInput(id, QByteArray(9 * 1024 * 1024, 'a'));
        QVERIFY(win.screen(id).contains(u"Send queue is full"));
        win.w.onTerminalInput(id, "ok");
        QTRY_COMPARE_WITH_TIMEOUT(peer.received(), QByteArray("ok"), kWait);
        QCOMPARE(state(id), QStringLiteral("connected"));
    }

    // Enter while the session is still opening does not start it again (for
    // SSH: no second prompt).
    void enterWhileConnecting()
    {
        Peer silent(Peer::Silent);
        const QString id = addSession(QStringLiteral("slow"), QStringLiteral("ssh"), QStringLiteral("127.0.0.1"), silent.port);
        Prompts prompts;
        Window win;
        win.open(id);
        QCOMPARE(state(id), QStringLiteral("connecting"));
        Connection *first = win.w.sessionHub()->connection(id);
        win.w.onTerminalInput(id, "\r");
        QCOMPARE(prompts.shown, 1);
        QCOMPARE(win.w.sessionHub()->connection(id), first);
    }

    // A quick-connect serial session reopens with its own port and speed.
    void quickSerialReconnect()
    {
        SerialPeer line;
        Window win;
        NewSessionResult result;
        result.type = QStringLiteral("serial");
        result.name = QStringLiteral("quick");
        result.serial.serial_port = line.port;
        result.serial.serial_baud = 9600;
        result.saveToTree = false;
        win.w.sessionHub()->dialogs.runWizard = [&](QWidget *, const QString &, bool) { return std::optional(result); };
        win.w.onQuickConnect();
        const QString id = SessionStore::instance().currentSessionId();
        const QString connected = QStringLiteral("Connected %1 @ 9600").arg(line.port);
        QCOMPARE(win.screen(id).count(connected), 1);
        win.w.onSessionDisconnect(id);
        QTest::keyClick(win.view(id)->terminalEdit(), Qt::Key_Return);
        QCOMPARE(win.screen(id).count(connected), 2);
    }

    // A paste (a password, say) reaches the far end but never the debug
    // log, as text or as hex. The far ends do not echo: what comes back is
    // logged as received.
    void typedBytesNotLogged_data()
    {
        QTest::addColumn<QString>("type");
        QTest::newRow("raw") << "raw";
        QTest::newRow("serial") << "serial";
    }
    void typedBytesNotLogged()
    {
        QFETCH(QString, type);
        QVERIFY2(debugLogEnabled(), "the test runs with HALVORSTEAD_DEBUG_LOG set");
        const QString got = QDir::homePath() + QStringLiteral("/got");
        Peer peer(Peer::Collect);
        SerialPeer line(QStringLiteral("SYSTEM:cat > ") + got);
        const QString id = type == u"raw" ? addSession(type, type, QStringLiteral("127.0.0.1"), peer.port)
                                          : addSession(type, type, QString(), 0, {}, line.port);
        Window win;
        win.open(id);
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
        const QByteArray secret = "hv-s3cret-pw";
        win.w.onTerminalInput(id, secret + "\r");
        const auto arrived = [&] {
            QFile f(got);
            return peer.received().contains(secret) || (f.open(QIODevice::ReadOnly) && f.readAll().contains(secret));
        };
        QTRY_VERIFY_WITH_TIMEOUT(arrived(), kWait);
        QFile log(debugLogPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY(!text.contains(secret) && !text.contains(secret.toHex(' ').toUpper()));
    }
};

QTEST_MAIN(TestSessions)
#include "tst_sessions.moc"
