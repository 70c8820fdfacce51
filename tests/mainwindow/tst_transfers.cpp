// The Transfer and logging commands of the real window, against real programs
// in real sessions: lrzsz and gkermit typed into bash, SSH and busybox telnetd
// sessions, lrzsz on a socat serial line.

#include "connections/connection.h"
#include "core/appsettings.h"
#include "core/sessionlogger.h"
#include "core/sessionstore.h"
#include "dialogs/sshcredentialsdialog.h"
#include "mainwindow/logactions.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/transferactions.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"
#include "transfer/inbandtransfer.h"
#include "transfer/tftp/tftpserverdialog.h"
#include "tests/support/modals.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

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
    Connection *conn = nullptr;
    QString id;
    QByteArray seen; // received since the last waitFor
    QStringList said; // the running transfer's status texts

    // A saved session opened as a double-click opens it: "local" (bash),
    // "ssh", "telnet", or else a serial port path; made current.
    bool open(const QString &kind)
    {
        static int made = 0;
        const bool typed = kind == "local" || kind == "ssh" || kind == "telnet";
        const int port = kind == "ssh" ? kSshdPort : kind == "telnet" ? kXferTelnetdPort : 0;
        SerialParams line;
        line.serial_port = kind;
        id = SessionStore::instance().addSession(QString("s%1").arg(++made), typed ? kind : "serial", {},
                                                 kind == "local" ? "/bin/bash" : "127.0.0.1",
                                                 port ? QString::number(port) : "", line);
        ModalAnswerer prompt; // the SSH credentials, as the user gives them
        window->onSessionConnect(id);
        SessionStore::instance().setCurrentSessionId(id);
        conn = hub->connection(id);
        if (!conn || !QTest::qWaitFor([&] { return conn->isOpen(); }, 10000))
            return false;
        // Queued behind the window's own handler: what we saw, the log has.
        connect(conn, &Connection::dataReceived, this, [this](const QByteArray &b) { seen += b; }, Qt::QueuedConnection);
        if (typed)
            type("PS1='$ '; stty -echo");
        return true;
    }
    void type(const QByteArray &line) { conn->write(line + '\r'); }
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
        if (!hub->transferRunsOn(id))
            return "not started";
        QSignalSpy done(hub->transfer.data(), &InbandTransfer::transferFinished);
        said.clear();
        connect(hub->transfer.data(), &InbandTransfer::statusMessage, this, [&](const QString &, const QString &t) { said << t; });
        const bool ended = done.wait(120000);
        disconnect(hub->transfer.data(), &InbandTransfer::statusMessage, this, nullptr);
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
        for (qint64 size : {0, 1, 1 << 20, 16 << 20})
            for (bool send : {false, true})
                QTest::addRow("local zmodem %s %lld", send ? "send" : "receive", size) << "local" << 2 << send << size;
        for (bool send : {false, true}) {
            const char *way = send ? "send" : "receive";
            QTest::addRow("local kermit %s", way) << "local" << 3 << send << qint64(1 << 20);
            QTest::addRow("ssh zmodem %s", way) << "ssh" << 2 << send << qint64(16 << 20);
            QTest::addRow("telnet zmodem %s", way) << "telnet" << 2 << send << qint64(4 << 20);
            QTest::addRow("serial ymodem %s", way) << "serial" << 1 << send << qint64(200 << 10);
        }
        // (YMODEM to rb behind busybox telnetd is left out: busybox refuses
        // binary mode and keeps the NUL of a CR NUL that a read splits.)
        QTest::addRow("telnet ymodem receive") << "telnet" << 1 << false << qint64(1 << 20);
        QTest::addRow("serial xmodem-1k receive") << "serial" << 0 << false << qint64(200 << 10); // whole blocks
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
            QVERIFY2((at = shown.indexOf("📦 " + text, at)) >= 0, qPrintable(text));
        if (serial)
            return socat.terminate();
        QVERIFY(waitFor("END=0"));
        // Typing reaches the shell again (after a fresh line: our ZMODEM "OO" may sit on the last).
        type("\r\recho ba''ck");
        QVERIFY(waitFor("back"));
    }

    // Offered names go no further than the chosen folder: a climb, an
    // absolute path, a name that is a link to outside.
    void hostileNames()
    {
        QVERIFY2(open("local"), "session did not open");
        QTemporaryDir root;
        QDir(root.path()).mkpath("peer/a/b");
        QDir(root.path()).mkpath("c/in"); // "../../x" from here would land beside "c"
        QVERIFY(writeFile(root.filePath("peer/x"), "payload"));
        QVERIFY(writeFile(root.filePath("outside"), "untouched"));
        QVERIFY(QFile::link(root.filePath("outside"), root.filePath("c/in/y")));
        QVERIFY(QFile::copy(root.filePath("peer/x"), root.filePath("peer/a/b/y")));
        type("cd " + root.filePath("peer/a/b").toUtf8() + " && sz -q -f ../../x /etc/passwd y; echo EN''D");
        QVERIFY(waitFor("\x18" "B00"));
        QCOMPARE(run(2, false, root.filePath("c/in")), QString());
        QVERIFY(waitFor("END"));
        const auto entries = [&](const char *dir) { return QDir(root.filePath(dir)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot); };
        QCOMPARE(entries(".") + entries("c"), QStringList({"c", "outside", "peer", "in"}));
        QCOMPARE(readFile(root.filePath("outside")), "untouched");
        QCOMPARE(readFile(root.filePath("c/in/x")) + readFile(root.filePath("c/in/y")), "payloadpayload");
        QCOMPARE(readFile(root.filePath("c/in/passwd")), readFile("/etc/passwd"));
    }

    // A disk that fills during a receive: the failure says where the part
    // that arrived is kept.
    void diskFills()
    {
        QVERIFY2(open("local"), "session did not open");
        QTemporaryDir theirs, ours;
        QVERIFY(writeFile(theirs.filePath("big.bin"), payload(4 << 20)));
        // Root mounts it itself, anyone else through sudo, which scripts/test
        // has asked for once (-n: a prompt here would hang the test).
        const auto asRoot = [](QStringList command) {
            if (::geteuid() != 0)
                command = QStringList{"sudo", "-n"} + command;
            return QProcess::execute(command.takeFirst(), command) == 0;
        };
        const QString owner = QString("uid=%1,gid=%2").arg(::getuid()).arg(::getgid());
        if (!asRoot({"mount", "-t", "tmpfs", "-o", "size=1m,mode=700," + owner, "tmpfs", ours.path()}))
            QSKIP("not run: mounting a 1 MiB tmpfs needs root or sudo without a password");
        const auto unmount = qScopeGuard([&] { asRoot({"umount", ours.path()}); });
        type("cd " + theirs.path().toUtf8() + " && sz -q big.bin");
        QVERIFY(waitFor("\x18" "B00"));
        QVERIFY(run(2, false, ours.path()).contains(ours.filePath("big.bin.part")));
        QVERIFY(QFileInfo(ours.filePath("big.bin.part")).size() > 0);
        QTRY_VERIFY(lines().contains("big.bin.part"));
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
        QSignalSpy done(hub->transfer.data(), &InbandTransfer::resultReady);
        QVERIFY(done.wait(120000));
        conn->write("\x04");
        QVERIFY(waitFor("END", 60000));
        QCOMPARE(readFile(dir.filePath("out.txt")), text);
        QTRY_VERIFY(lines().contains(QString("ASCII 已发送 in.txt（%1 字节）").arg(text.size())));
    }

    // One transfer at a time; typing is swallowed, ESC cancels; nothing
    // starts on a closed session. Refusals ask for no file.
    void refusals()
    {
        QVERIFY2(open("local"), "session did not open");
        int asked = 0;
        FileDialogs &d = window->transfers()->dialogs();
        d.openFiles = [&](QWidget *, const QString &) { ++asked; return QStringList{"/etc/passwd"}; };
        window->startTransfer(3, true); // Kermit waits for a receiver that never comes
        window->startTransfer(2, true);
        window->sendAsciiFile();
        QCOMPARE(asked, 1);
        QTRY_COMPARE(lines().count("已有传输进行中（Esc/Ctrl+C 可取消）"), 2);
        QTest::keyClick(view()->terminalEdit(), Qt::Key_A);
        QVERIFY(hub->transferRunsOn(id));
        QTest::keyClick(view()->terminalEdit(), Qt::Key_Escape);
        QVERIFY(!hub->transferRunsOn(id));
        conn->close();
        window->startTransfer(2, false);
        window->sendAsciiFile();
        window->startAsciiCapture();
        QCOMPARE(asked, 1);
        for (const char *line : {"当前会话未连接，无法传输", "当前会话未连接，无法发送", "当前会话未连接，无法捕获"})
            QTRY_VERIFY2(lines().contains(line), line);
    }

    // The Transfer menu's TFTP entry shows its one dialog, made on first use.
    void tftpEntry()
    {
        for (int i = 0; i < 2; ++i)
            window->findChild<QAction *>("actionTftpServer")->trigger();
        QCOMPARE(window->findChildren<TftpServerDialog *>().size(), 1);
        QVERIFY(window->findChild<TftpServerDialog *>()->isVisible());
    }

    // Logging on and off writes both banners and the traffic; a folder that
    // cannot be made or that vanishes gives an error line; either way the
    // session goes on working. A capture beside it holds exactly what came.
    void logging_data()
    {
        QTest::addColumn<QString>("dir"); // in a fresh folder, or absolute
        QTest::addColumn<QString>("line");
        QTest::newRow("on and off") << "logs" << "日志录制已停止";
        QTest::newRow("cannot be made") << "/proc/hv-no-such" << "日志文件创建失败";
        QTest::newRow("vanishes") << "gone" << "日志写入失败，录制已停止：";
    }
    void logging()
    {
        QFETCH(QString, dir);
        QFETCH(QString, line);
        QVERIFY2(open("local"), "session did not open");
        QTemporaryDir base;
        const QString folder = dir.startsWith('/') ? dir : base.filePath(dir);
        AppSettings::instance().setValue("log/dir", folder);
        window->toggleSessionLog(id);
        const QString log = hub->logger(id) ? hub->logger(id)->currentPath() : QString();
        window->logging()->dialogs().saveFile = [&](QWidget *, const QString &, const QString &proposed) {
            return base.filePath(proposed);
        };
        QVERIFY(writeFile(base.filePath("ascii_capture.txt"), "old\n"));
        window->startAsciiCapture();
        QByteArray received;
        auto link = connect(conn, &Connection::dataReceived, this, [&](const QByteArray &b) { received += b; });
        if (dir == "gone")
            QVERIFY(QDir(folder).removeRecursively());
        type("printf '\\033[31mred\\033[0m\\n'; echo lo''gged");
        QVERIFY(waitFor("logged"));
        window->startAsciiCapture();
        disconnect(link);
        if (dir == "logs")
            window->toggleSessionLog(id);
        else if (hub->logger(id))
            hub->logger(id)->flushBuffer();
        QTRY_VERIFY2(lines().contains(line), qPrintable(lines()));
        QVERIFY(!window->logging()->isLogging(id));
        const QString text = QString::fromUtf8(readFile(log));
        QVERIFY2(dir != "logs" || (text.contains("\n========== 会话开始 ") && text.contains("[RX] ")
                                    && text.contains("logged\r\n") && text.contains("\n========== 会话结束 ")),
                 qPrintable(text));
        QCOMPARE(readFile(base.filePath("ascii_capture.txt")), "old\n" + received);
        QVERIFY(received.contains("\x1b[31mred\x1b[0m\r\n"));
        type("echo st''ill");
        QVERIFY(waitFor("still"));
    }
};

QTEST_MAIN(TestTransfers)
#include "tst_transfers.moc"
