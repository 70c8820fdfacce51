// The Transfer commands of the real window, against real programs
// in real sessions: lrzsz and gkermit typed into bash and busybox telnetd
// sessions, lrzsz on a socat serial line.

#include "connections/connection.h"
#include "core/sessionstore.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/transferactions.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"
#include "transfer/inbandtransfer.h"
#include "tests/support/testfiles.h"

#include <QPointer>
#include <QTemporaryDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

namespace {
// Random bytes with what line-oriented transports mangle: CR LF, CR NUL, IAC.
QByteArray payload(qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator gen(21);
    for (char &c : data)
        c = char(gen.generate());
    for (qint64 i = 0; i + 10 < size; i += 997)
        data.replace(i, 10, QByteArray("\r\n\r\0\r\xff\xff\n\r", 10));
    return data;
}
} // namespace

class TestTransfers : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;
    SessionHub *hub = nullptr;
    // Held weakly: a failed row's window may delete it, and the row must
    // then fail, not crash.
    QPointer<Connection> conn;
    QString id;
    QByteArray seen; // received since the last waitFor
    QStringList said; // the running transfer's status texts

    // A saved session opened as a double-click opens it: "local" (bash),
    // "telnet", or else a serial port path; made current.
    bool open(const QString &kind)
    {
        static int made = 0;
        const bool typed = kind == "local" || kind == "telnet";
        const int port = kind == "telnet" ? kXferTelnetdPort : 0;
        SerialParams line;
        line.serial_port = kind;
        id = SessionStore::instance().addSession(QString("s%1").arg(++made), typed ? kind : "serial", {},
                                                 kind == "local" ? "/bin/bash" : "127.0.0.1",
                                                 port ? QString::number(port) : "", line);
        window->onSessionConnect(id);
        SessionStore::instance().setCurrentSessionId(id);
        conn = hub->connection(id);
        if (!conn || !QTest::qWaitFor([&] { return conn && conn->isOpen(); }, 10000))
            return false;
        // Queued behind the window's own handler: what we saw, the log has.
        connect(conn, &Connection::dataReceived, this, [this](const QByteArray &b) { seen += b; }, Qt::QueuedConnection);
        if (typed)
            type("PS1='$ '; stty -echo");
        return true;
    }
    void type(const QByteArray &line) { QVERIFY2(conn, "the connection is gone"); conn->write(line + '\r'); }
    bool waitFor(const QByteArray &marker, int ms = 20000)
    {
        const bool ok = QTest::qWaitFor([&] { return seen.contains(marker); }, ms);
        seen.clear();
        return ok;
    }
    TerminalView *view() const { return window->findChild<TerminalArea *>()->view(id); }
    QString lines() const { return view()->terminalEdit()->document()->toPlainText(); }

    // A transfer from the Transfer menu's slot, every dialog answering `path`;
    // its summary, with the last status texts when it failed.
    QString run(int protocol, bool send, const QString &path)
    {
        FileDialogs &d = window->transfers()->dialogs();
        d.openFiles = [path](QWidget *, const QString &) { return QStringList{path}; };
        d.openFile = d.existingDirectory = [path](QWidget *, const QString &) { return path; };
        d.saveFile = [path](QWidget *, const QString &, const QString &) { return path; };
        window->startTransfer(protocol, send);
        InbandTransfer *transfer = hub->runningTransfer();
        if (!transfer)
            return "not started";
        QSignalSpy done(transfer, &InbandTransfer::transferFinished);
        said.clear();
        connect(transfer, &InbandTransfer::statusMessage, this, [&](const QString &, const QString &t) { said << t; });
        const bool ended = done.wait(120000);
        disconnect(transfer, &InbandTransfer::statusMessage, this, nullptr);
        return ended && done.first().at(1).toBool() ? QString() : "failed after: " + said.mid(said.size() - 3).join(" / ");
    }

private slots:
    void init()
    {
        window = std::make_unique<MainWindow>();
        hub = window->sessionHub();
        seen.clear();
    }
    void cleanup()
    {
        if (conn)
            window->onSessionDisconnect(id);
        conn = nullptr;
        window.reset();
    }

    // Byte-exact both ways. The peer is typed into the session once, or on a
    // serial line sits behind socat (on a socket pair: on a pty rb's exit
    // flush can drop its last ACK before socat reads it).
    void transfers_data()
    {
        QTest::addColumn<QString>("transport");
        QTest::addColumn<int>("protocol"); // the menu's numbers
        QTest::addColumn<bool>("send");
        QTest::addColumn<qint64>("size");
        // One row per protocol, both directions and the transports that
        // escape bytes (telnet IAC, a raw serial line) among them.
        QTest::newRow("zmodem telnet send") << "telnet" << 2 << true << qint64(1 << 20);
        QTest::newRow("kermit local receive") << "local" << 3 << false << qint64(1 << 20);
        QTest::newRow("ymodem serial send") << "serial" << 1 << true << qint64(200 << 10);
        QTest::newRow("xmodem-1k serial receive") << "serial" << 0 << false << qint64(200 << 10); // whole blocks
    }
    void transfers()
    {
        QFETCH(QString, transport);
        QFETCH(int, protocol);
        QFETCH(bool, send);
        QFETCH(qint64, size);
        static const char *peers[4][2] = {{"sx -k -q data.bin", ""},
                                          {"sb -k -q data.bin", "rb -q -y"},
                                          {"sz -q data.bin", "rz -q -y"},
                                          {"gkermit -i -P -q -s data.bin", "gkermit -i -P -q -r"}};
        QTemporaryDir ours, theirs("/tmp/hv-xfer-XXXXXX"); // the SSH account reaches it
        QFile::setPermissions(theirs.path(), QFileDevice::Permissions(0x7777));
        const QByteArray data = payload(size);
        QVERIFY(writeFile((send ? ours : theirs).filePath("data.bin"), data));
        QProcess socat;
        socat.setWorkingDirectory(theirs.path());
        const bool serial = transport == "serial";
        if (serial) {
            const QString line = theirs.filePath("line");
            socat.start("socat", {"pty,raw,echo=0,link=" + line, QString("SYSTEM:%1; cat >/dev/null").arg(peers[protocol][send])});
            QVERIFY2(QTest::qWaitFor([&] { return QFile::exists(line); }, 10000), "socat did not start");
            QVERIFY2(open(line), "serial port did not open");
        } else {
            QVERIFY2(open(transport), "session did not open");
            const QByteArray ready = protocol == 2 ? (send ? "\x18" "B01" : "\x18" "B00") : "READY";
            type("cd " + theirs.path().toUtf8() + " && echo RE''ADY && " + peers[protocol][send] + "; echo EN''D=$?");
            QVERIFY(waitFor(ready));
        }
        const QString summary = run(protocol, send, send ? ours.filePath("data.bin") : protocol ? ours.path() : ours.filePath("data.bin"));
        QVERIFY2(summary.isEmpty(), qPrintable(summary));
        QCOMPARE(readFile((send ? theirs : ours).filePath("data.bin")), data);
        // Every status text is in the tab by the end, in its order.
        const QString shown = lines();
        qsizetype at = 0;
        for (const QString &text : std::as_const(said))
            QVERIFY2((at = shown.indexOf("📦 " + text, at)) >= 0, qPrintable(text + " in " + shown.right(600)));
        if (serial)
            return socat.terminate();
        QVERIFY(waitFor("END=0"));
        // Typing reaches the shell again (after a fresh line: our ZMODEM "OO" may sit on the last).
        type("\r\recho ba''ck");
        QVERIFY(waitFor("back"));
    }

    // A 20 MiB text through `cat > file` arrives whole; the line says so.
    void asciiSend()
    {
        QVERIFY2(open("local"), "session did not open");
        QTemporaryDir dir;
        QByteArray text;
        for (int i = 0; text.size() < 20 << 20; ++i)
            text += "line " + QByteArray::number(i) + " the quick brown fox jumps over the lazy dog\n";
        QVERIFY(writeFile(dir.filePath("in.txt"), text));
        type("cd " + dir.path().toUtf8() + " && echo RE''ADY && cat > out.txt; echo EN''D");
        QVERIFY(waitFor("READY"));
        window->transfers()->dialogs().openFile = [&](QWidget *, const QString &) { return dir.filePath("in.txt"); };
        window->sendAsciiFile();
        QSignalSpy done(hub->runningTransfer(), &InbandTransfer::resultReady);
        QVERIFY(done.wait(120000));
        QVERIFY(conn);
        conn->write("\x04");
        QVERIFY(waitFor("END", 60000));
        QCOMPARE(readFile(dir.filePath("out.txt")), text);
        QTRY_VERIFY(lines().contains(QString("ASCII 已发送 in.txt（%1 字节）").arg(text.size())));
    }
};

QTEST_MAIN(TestTransfers)
#include "tst_transfers.moc"
