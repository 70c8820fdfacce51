// The real window on an X server against real peers: sessions are opened
// from the tree, typed into with key events and read back from the screen.
#include "connections/connection.h"
#include "core/appsettings.h"
#include "core/datadir.h"
#include "core/debuglog.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "tests/mainwindow/windowtesting.h"

#include <QDir>
#include <QProcess>
#include <QSettings>

#include <QTcpServer>
#include <QTcpSocket>

#include <unistd.h>

namespace {
// The fixture servers of the connection tests.
constexpr int kTelnetdPort = 23101 + HV_TEST_PORT_OFFSET;
constexpr int kRlogindPort = 23103 + HV_TEST_PORT_OFFSET;

// A loopback SSH peer on a port of its own that sends its banner and hangs up.
struct Peer : QTcpServer {
    Peer()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *peer = nextPendingConnection();
            peer->write("SSH-2.0-OpenSSH_9.2\r\n");
            peer->disconnectFromHost();
        });
    }
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
        QTest::addColumn<int>("port"); // -1: a peer hanging up in the SSH handshake
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QString>("step"); // echo, login (password first), exit (and Enter), kill (the port)
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
        std::unique_ptr<Peer> peer(port < 0 ? new Peer : nullptr);
        std::unique_ptr<SerialPeer> line(type == u"serial" ? new SerialPeer : nullptr);
        QFETCH(QStringList, settings);
        const QString id = addSession(QString::fromUtf8(QTest::currentDataTag()), type, host,
                                      peer ? peer->serverPort() : port, settings, line ? line->port : QString());
        ModalAnswerer prompts;
        if (settings.join(u' ').contains(u"id_ed25519"))
            prompts.password.clear();
        Window win;
        win.open(id);
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
            QTRY_VERIFY(!win.w.sessionHub()->connection(id)); // released on the next turn
            QTest::keyClick(win.edit(id), Qt::Key_Return);
        }
        QTRY_COMPARE_WITH_TIMEOUT(state(id), finalState, kWait);
        auto *tabs = win.area()->findChild<QTabBar *>();
        QCOMPARE(tabs->tabIcon(tabs->currentIndex()).pixmap(10).toImage(), TerminalArea::stateIcon(finalState).pixmap(10).toImage());
        for (const QString &text : expected.split(u'|'))
            QTRY_VERIFY2_WITH_TIMEOUT(win.screen(id).contains(text), qPrintable(win.screen(id)), kWait);
        QCOMPARE(prompts.prompts, type == u"ssh" ? 1 : 0);
    }
};

QTEST_MAIN(TestSessions)
#include "tst_sessions.moc"
