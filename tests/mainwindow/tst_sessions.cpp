// The real window on an X server against real peers: sessions are opened
// from the tree, typed into with key events and read back from the screen.
#include "connections/connection.h"
#include "core/appsettings.h"
#include "core/datadir.h"
#include "core/debuglog.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "tests/mainwindow/windowtesting.h"
#include "transfer/xmodemtransfer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The fixture servers of the connection tests.
constexpr int kTelnetdPort = 23101 + HV_TEST_PORT_OFFSET;
constexpr int kRlogindPort = 23103 + HV_TEST_PORT_OFFSET;

// A loopback peer on a port of its own, played on a thread: silent, sending
// an SSH banner then hanging up, flooding 100 MB, or collecting what arrives.
struct Peer {
    enum Mode { Silent, HangUpInHandshake, Flood, Collect };
    explicit Peer(Mode mode)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listener, reinterpret_cast<sockaddr *>(&a), len);
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        thread = std::thread([this, mode] {
            const int fd = client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (mode == HangUpInHandshake)
                ::send(fd, "SSH-2.0-OpenSSH_9.2\r\n", 21, MSG_NOSIGNAL);
            const QByteArray chunk(64 * 1024, 'x');
            char buffer[4096];
            for (ssize_t n = 1; fd >= 0 && n > 0 && mode != HangUpInHandshake;) {
                if (mode == Flood && sent < 100 * 1024 * 1024) {
                    sent += n = ::send(fd, chunk.constData(), size_t(chunk.size()), MSG_NOSIGNAL);
                } else if ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    bytes.append(buffer, n);
                }
            }
            if (mode == HangUpInHandshake)
                ::shutdown(fd, SHUT_RDWR);
        });
    }
    ~Peer()
    {
        ::shutdown(listener, SHUT_RDWR);
        ::shutdown(client, SHUT_RDWR);
        thread.join();
        ::close(listener);
        ::close(client);
    }
    QByteArray received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes;
    }
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::atomic<int> client{-1};
    int port = 0;
    std::atomic<qint64> sent{0};
    std::mutex mutex;
    QByteArray bytes;
    std::thread thread;
};

// A transport that takes 1.5 s to notice a stop, as one stuck in a blocking
// call would.
struct SlowToStop : WorkerConnection {
    struct Worker : ConnectionWorker {
        using ConnectionWorker::ConnectionWorker;
        void run() override
        {
            pollfd woken{link().waker.fd(), POLLIN, 0};
            for (bool run = beginRun(); run && keepRunning();)
                ::poll(&woken, 1, -1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            finishRun();
        }
    };
    ConnectionWorker *createWorker(std::shared_ptr<ConnectionLink> link) override { return new Worker(link); }
    ~SlowToStop() override { close(); }
};

// A serial line whose far end runs a shell; gone when socat ends.
struct SerialPeer {
    QProcess socat;
    QString port = QDir::homePath() + QStringLiteral("/ttyHV");
    SerialPeer()
    {
        socat.start(
            QStringLiteral("socat"),
            {QStringLiteral("PTY,link=%1,raw,echo=0").arg(port), QStringLiteral("EXEC:sh,pty,stderr,setsid,sane")});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(port), kWait);
    }
};

// "key=value" settings of the session; a key starting with "/" is global.
QString addSession(const QString &name, const QString &type, const QString &host, int port,
                   const QStringList &settings = {}, const QString &serialPort = QString())
{
    static int made = 0; // the store refuses a name twice
    SerialParams serial;
    serial.serial_port = serialPort;
    const QString id = SessionStore::instance().addSession(name + QStringLiteral(" %1").arg(++made), type, QString(),
                                                           host, port ? QString::number(port) : QString(), serial);
    for (const QString &s : settings) {
        const QString key = s.section(u'=', 0, 0);
        AppSettings::instance().setValue(key.startsWith(u'/') ? key.mid(1) : "session/" + id + '/' + key,
                                         s.section(u'=', 1));
    }
    return id;
}

QString state(const QString &id)
{
    return SessionStore::instance().findSession(id).value_or(SessionInfo()).status;
}
} // namespace

class TestSessions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(QDir::homePath() + QStringLiteral("/data")));
        QVERIFY(QDir().mkpath(dataDir()));
        QVERIFY2(debugLogEnabled(), "the test runs with HALVORSTEAD_DEBUG_LOG set");
        LanguageManager::setLanguage(QStringLiteral("en"));
        // A key filed for the SSH server that is not its own.
        QFile hosts(dataDir() + QStringLiteral("/changed_hosts"));
        QVERIFY(hosts.open(QIODevice::WriteOnly));
        hosts.write("# filed before\n[127.0.0.1]:" + QByteArray::number(kSshdPort) + ' '
                    + fixtureText("ssh_sshd/keys/id_ed25519.pub").toUtf8() + '\n');
    }

    // Each transport from a double-click to a shell, and each failure to
    // "disconnected" with a line saying why; names and hosts show as text.
    void sessions_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port"); // -1: a peer hanging up in the SSH handshake, -2: a silent one
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QString>("step"); // echo, login (password first), exit (and Enter), kill (the port), enter
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("finalState");
        const auto row = [](const char *tag, const char *type, const QString &host, int port, const QString &step,
                            const QString &expected, const char *finalState, const QStringList &settings = {}) {
            QTest::newRow(tag) << type << host << port << settings << step << expected << finalState;
        };
        const QString lo = QStringLiteral("127.0.0.1"), keys = HV_BINARY_DIR "/fixtures/ssh_sshd/keys/";
        row("local bash", "local", "/bin/bash", 0, "exit", "hv-42|Local shell closed", "connected");
        row("telnet", "telnet", lo, kTelnetdPort, "echo", "hv-42", "connected");
        row("serial", "serial", "", 0, "echo", "hv-42", "connected");
        row("ssh password", "ssh", lo, kSshdPort, "echo", "hv-42", "connected");
        row("ssh key", "ssh", lo, kSshdPort, "echo", "hv-42", "connected",
            {"conn/auth=公钥认证", "conn/privateKey=" + keys + "id_ed25519"});
        row("rlogin", "rlogin", lo, kRlogindPort, "login", "hv-42", "connected",
            {"conn/user=" + fixtureText("conn_rlogind/user")});
        row("<b>x</b>&amp;", "telnet", "<i>no</i>&amp;.invalid", 0, "", "<b>x</b>&amp;|<i>no</i>&amp;.invalid:23|⚠",
            "disconnected");
        row("ssh peer hangs up in handshake", "ssh", lo, -1, "", "⚠", "disconnected");
        // Enter on a session still opening starts no second attempt (no second prompt).
        row("ssh peer silent, Enter", "ssh", lo, -2, "enter", "Connecting to SSH", "connecting");
        row("shell exits at once", "local", "/bin/true", 0, "", "Local shell closed", "disconnected");
        row("serial port vanishes", "serial", "", 0, "kill", "Connected|⚠", "disconnected");
        row("ssh host key changed", "ssh", lo, kSshdPort, "", dataDir() + "/changed_hosts:2", "disconnected",
            {"/keys/knownHosts=%appdata%/changed_hosts"});
    }
    void sessions()
    {
        QFETCH(QString, type);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, step);
        QFETCH(QString, expected);
        QFETCH(QString, finalState);
        if (type == u"rlogin" && ::geteuid() != 0)
            QSKIP("not run: in.rlogind takes only client ports below 1024, which need root");
        AppSettings::instance().settings()->remove(QStringLiteral("keys/knownHosts"));
        std::unique_ptr<Peer> peer(port < 0 ? new Peer(port == -1 ? Peer::HangUpInHandshake : Peer::Silent) : nullptr);
        std::unique_ptr<SerialPeer> line(type == u"serial" ? new SerialPeer : nullptr);
        QFETCH(QStringList, settings);
        const QString id = addSession(QString::fromUtf8(QTest::currentDataTag()), type, host,
                                      peer ? peer->port : port, settings, line ? line->port : QString());
        ModalAnswerer prompts;
        if (settings.join(u' ').contains(u"id_ed25519"))
            prompts.password.clear();
        Window win;
        win.open(id);
        if (step == u"enter")
            QTest::keyClick(win.edit(id), Qt::Key_Return);
        if (step == u"kill") {
            QTRY_VERIFY_WITH_TIMEOUT(win.screen(id).contains(u"Connected"), kWait);
            line->socat.kill();
        }
        if (step == u"echo" || step == u"login" || step == u"exit") {
            QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
            if (step == u"login") {
                QTRY_VERIFY_WITH_TIMEOUT(win.screen(id).contains(u"assword:"), kWait);
                win.type(id, fixtureText("conn_rlogind/password"));
            }
            win.type(id, QStringLiteral("echo hv-$((6*7))"));
        }
        if (step == u"exit") {
            QTRY_VERIFY_WITH_TIMEOUT(win.screen(id).contains(u"hv-42"), kWait);
            win.type(id, QStringLiteral("exit"));
            QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("disconnected"), kWait);
            QTRY_VERIFY(!win.w.sessionHub()->connections.contains(id)); // released on the next turn
            QTest::keyClick(win.edit(id), Qt::Key_Return);
        }
        QTRY_COMPARE_WITH_TIMEOUT(state(id), finalState, kWait);
        auto *tabs = win.area()->findChild<QTabBar *>();
        QCOMPARE(tabs->tabIcon(tabs->currentIndex()).pixmap(10).toImage(), TerminalArea::stateIcon(finalState).pixmap(10).toImage());
        for (const QString &text : expected.split(u'|'))
            QTRY_VERIFY2_WITH_TIMEOUT(win.screen(id).contains(text), qPrintable(win.screen(id)), kWait);
        QCOMPARE(prompts.prompts, type == u"ssh" ? 1 : 0);
    }

    // A flood and twenty shells at once: the window keeps answering, and
    // closing it with all of them open waits for all together.
    void floodAndManySessions()
    {
        Peer flood(Peer::Flood);
        QStringList ids{
            addSession(QStringLiteral("flood"), QStringLiteral("raw"), QStringLiteral("127.0.0.1"), flood.port)};
        for (int i = 0; i < 20; ++i)
            ids << addSession(QStringLiteral("shell"), QStringLiteral("local"), QStringLiteral("/bin/bash"), 0);
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
        for (int i = 0; i < 4; ++i) { // one after another they would take 6 s
            auto *stuck = new SlowToStop;
            stuck->setParent(&win->w);
            stuck->open();
            win->w.sessionHub()->connections.insert(QStringLiteral("stuck %1").arg(i), stuck);
        }
        QElapsedTimer closing;
        closing.start();
        win->w.close();
        delete win;
        QVERIFY2(closing.elapsed() < 5000, qPrintable(QStringLiteral("closing took %1 ms").arg(closing.elapsed())));
    }

    // What a tab sends goes to its connection, except while a transfer owns
    // the stream: then typing is swallowed, ESC or Ctrl+C cancels it and the
    // terminal's answers to device queries are dropped. A write too big for
    // the send queue is dropped with a warning; the session stays up. What
    // is typed never reaches the debug log.
    void routing_data()
    {
        QTest::addColumn<bool>("transferHere");
        QTest::addColumn<bool>("reply");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("arrives");
        QTest::addColumn<bool>("stillActive");
        QTest::newRow("typed (a password?)")
            << false << false << QByteArray("hv-pw-1") << QByteArray("hv-pw-1!") << true;
        QTest::newRow("reply") << false << true << QByteArray("\x1b[0n") << QByteArray("\x1b[0n!") << true;
        QTest::newRow("typed during transfer") << true << false << QByteArray("hv-pw-2") << QByteArray("!") << true;
        QTest::newRow("reply during transfer") << true << true << QByteArray("\x1b[0n") << QByteArray("!") << true;
        QTest::newRow("paste with ESC cancels") << true << false << QByteArray("a\x1b") << QByteArray("!") << false;
        QTest::newRow("Ctrl+C cancels") << true << false << QByteArray("\x03") << QByteArray("!") << false;
        QTest::newRow("send queue full") << false << false << QByteArray(9 << 20, 'a') << QByteArray("!") << true;
    }
    void routing()
    {
        QFETCH(bool, transferHere);
        QFETCH(bool, reply);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, arrives);
        Peer peer(Peer::Collect);
        const QString id
            = addSession(QStringLiteral("raw"), QStringLiteral("raw"), QStringLiteral("127.0.0.1"), peer.port);
        Window win;
        win.open(id);
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("connected"), kWait);
        XmodemTransfer transfer;
        transfer.setManualClock(true);
        transfer.startReceive([](const QByteArray &) {}, id, QDir::homePath() + QStringLiteral("/x.bin"), 0);
        SessionHub *hub = win.w.sessionHub();
        hub->transfer = &transfer;
        hub->transferSessionId = transferHere ? id : QStringLiteral("another");
        if (reply)
            emit win.area()->replySent(id, bytes);
        else
            win.w.onTerminalInput(id, bytes);
        QTEST(transfer.isActive(), "stillActive");
        hub->transferSessionId.clear();
        win.w.onTerminalInput(id, "!");
        QTRY_COMPARE_WITH_TIMEOUT(peer.received(), arrives, kWait);
        QCOMPARE(state(id), QStringLiteral("connected"));
        QCOMPARE(win.screen(id).contains(u"Send queue is full"), bytes.size() > ConnectionLink::kMaxQueuedBytes);
        // Typed bytes may be a password: the debug log has their length only.
        QFile log(debugLogPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY(bytes.size() < 4 || bytes.size() > 64
                || (!text.contains(bytes) && !text.contains(bytes.toHex(' ').toUpper())));
    }

    // A quick-connect serial session reopens with its own port and speed.
    void quickSerialReconnect()
    {
        SerialPeer line;
        Window win;
        NewSessionResult result;
        result.type = QStringLiteral("serial");
        result.serial.serial_port = line.port;
        result.serial.serial_baud = 9600;
        result.saveToTree = false;
        win.w.sessionHub()->dialogs.runWizard
            = [&](QWidget *, const QString &, bool) { return std::optional(result); };
        win.w.onQuickConnect();
        const QString id = SessionStore::instance().currentSessionId();
        const QString connected = QStringLiteral("Connected %1 @ 9600").arg(line.port);
        QCOMPARE(win.screen(id).count(connected), 1);
        win.w.onSessionDisconnect(id);
        QTest::keyClick(win.edit(id), Qt::Key_Return);
        QCOMPARE(win.screen(id).count(connected), 2);
    }
};

QTEST_MAIN(TestSessions)
#include "tst_sessions.moc"
