// Transfers, ASCII send, logging and capture through the real window's
// Transfer and Session commands, against real programs run inside real
// sessions: lrzsz and gkermit typed into a local bash, into an SSH session and
// into a shell behind busybox telnetd, lrzsz's XMODEM/YMODEM on a socat
// serial pair.

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

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
constexpr int kTelnetPort = 23150 + HV_TEST_PORT_OFFSET;
constexpr int kSshdPort = 22200 + HV_TEST_PORT_OFFSET;

QString sshdFixture(const QString &file)
{
    QFile f(QStringLiteral(HV_BINARY_DIR "/fixtures/ssh_sshd/") + file);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
}

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    for (qint64 i = 0; i < size; ++i)
        data[i] = char(gen.generate() & 0xFF);
    return data;
}

// What a line-oriented transport mangles: CR LF, CR NUL, lone CR and LF, IAC.
QByteArray hostileBytes(qint64 size)
{
    QByteArray data = randomBytes(size, 21);
    const QByteArray traps("\r\n\r\0\r\xff\xff\n\r", 10);
    for (qint64 i = 0; i + traps.size() < size; i += 997)
        data.replace(i, traps.size(), traps);
    return data;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

// Everything under `root`, as relative paths.
QStringList tree(const QString &root)
{
    QStringList out;
    QDir dir(root);
    for (const QFileInfo &fi : dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden)) {
        out << fi.fileName();
        if (fi.isDir() && !fi.isSymLink())
            for (const QString &sub : tree(fi.filePath()))
                out << fi.fileName() + '/' + sub;
    }
    return out;
}
} // namespace

class TestTransfers : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;
    SessionHub *hub = nullptr;
    Connection *conn = nullptr;
    QString id;
    QByteArray seen; // what the session received since the last look
    QTemporaryDir work;

    // A saved session of the given kind, opened as a double-click in the tree
    // opens it, and current: "local" runs bash, "telnet" the shell behind
    // busybox telnetd, anything else is a serial port path.
    bool open(const QString &kind)
    {
        static int made = 0; // the store refuses a name twice
        const bool serial = kind != "local" && kind != "telnet" && kind != "ssh";
        SerialParams line;
        line.serial_port = kind;
        id = SessionStore::instance().addSession(QStringLiteral("s%1").arg(++made), serial ? "serial" : kind, QString(),
                                                 kind == "local" ? "/bin/bash" : "127.0.0.1",
                                                 kind == "telnet" ? QString::number(kTelnetPort)
                                                 : kind == "ssh" ? QString::number(kSshdPort)
                                                                 : QString(),
                                                 line);
        // The SSH opener asks for credentials: answered as the user would.
        QTimer prompt;
        connect(&prompt, &QTimer::timeout, this, [] {
            if (auto *d = qobject_cast<SshCredentialsDialog *>(QApplication::activeModalWidget())) {
                d->findChild<QLineEdit *>("userEdit")->setText(sshdFixture("user"));
                d->findChild<QLineEdit *>("passwordEdit")->setText(sshdFixture("password"));
                d->accept();
            }
        });
        prompt.start(10);
        window->onSessionConnect(id);
        SessionStore::instance().setCurrentSessionId(id);
        conn = hub->connection(id);
        if (!conn || !QTest::qWaitFor([&] { return conn->isOpen(); }, 10000))
            return false;
        // Queued behind the window's own handler: what we have seen, the
        // terminal and the session log have had.
        connect(conn, &Connection::dataReceived, this, [this](const QByteArray &b) { seen += b; }, Qt::QueuedConnection);
        if (!serial)
            type("PS1='$ '; stty -echo");
        return true;
    }

    void type(const QByteArray &line) { conn->write(line + '\r'); }

    // Waits for the marker among the bytes received, then forgets them.
    bool waitFor(const QByteArray &marker, int ms = 20000)
    {
        const bool ok = QTest::qWaitFor([&] { return seen.contains(marker); }, ms);
        if (!ok)
            qWarning() << "waited in vain for" << marker << "in" << seen.right(300);
        seen.clear();
        return ok;
    }

    TerminalView *view() const
    {
        for (TerminalView *v : window->findChild<TerminalArea *>()->findChildren<TerminalView *>())
            if (v->id() == id)
                return v;
        return nullptr;
    }
    QString lines() const { return view()->terminalEdit()->document()->toPlainText(); }

    // Runs a transfer from the Transfer menu's slot and waits for its end.
    bool transfer(int protocol, bool send, const QString &path, QString *summary)
    {
        FileDialogs &d = window->transfers()->dialogs();
        d.openFiles = [path](QWidget *, const QString &) { return QStringList{path}; };
        d.openFile = [path](QWidget *, const QString &) { return path; };
        d.existingDirectory = [path](QWidget *, const QString &) { return path; };
        d.saveFile = [path](QWidget *, const QString &, const QString &) { return path; };
        window->startTransfer(protocol, send);
        if (!hub->transfer || !hub->transfer->isActive())
            return false;
        QSignalSpy done(hub->transfer.data(), &InbandTransfer::transferFinished);
        QStringList said; // for the failure message
        connect(hub->transfer.data(), &InbandTransfer::statusMessage, this,
                [&](const QString &, const QString &text) { said = (said << text).mid(said.size() - 4); });
        const bool ended = done.wait(120000);
        *summary = (ended ? done.first().at(2).toString() : QStringLiteral("no end")) + " after: " + said.join(" / ");
        disconnect(hub->transfer.data(), &InbandTransfer::statusMessage, this, nullptr);
        return ended && done.first().at(1).toBool();
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

    // lrzsz and gkermit typed into the session, our side started from the
    // menu once the peer shows it is waiting; byte-exact both ways.
    void inSession_data()
    {
        QTest::addColumn<QString>("transport");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("send");
        QTest::addColumn<qint64>("size");
        const qint64 MiB = 1 << 20;
        for (const qint64 size : {qint64(0), qint64(1), MiB, 16 * MiB}) {
            QTest::addRow("local zmodem receive %lld", size) << "local" << 2 << false << size;
            QTest::addRow("local zmodem send %lld", size) << "local" << 2 << true << size;
        }
        QTest::addRow("local kermit receive") << "local" << 3 << false << MiB;
        QTest::addRow("local kermit send") << "local" << 3 << true << MiB;
        QTest::addRow("ssh zmodem receive") << "ssh" << 2 << false << 16 * MiB;
        QTest::addRow("ssh zmodem send") << "ssh" << 2 << true << 16 * MiB;
        QTest::addRow("telnet zmodem receive") << "telnet" << 2 << false << 4 * MiB;
        QTest::addRow("telnet zmodem send") << "telnet" << 2 << true << 4 * MiB;
        // YMODEM blocks are raw bytes: any folding on the way breaks them.
        // (Not sent: busybox telnetd refuses binary mode and then keeps the
        // NUL of a CR NUL that a read splits, so a block now and then grows.)
        QTest::addRow("telnet ymodem receive") << "telnet" << 1 << false << MiB;
    }
    void inSession()
    {
        QFETCH(QString, transport);
        QFETCH(int, protocol);
        QFETCH(bool, send);
        QFETCH(qint64, size);
        QVERIFY2(!QStandardPaths::findExecutable(protocol == 3 ? "gkermit" : "sz").isEmpty(), "lrzsz or gkermit missing");
        QVERIFY2(open(transport), "session did not open");
        // The SSH peer's own account has to reach its folder.
        QTemporaryDir ours, theirs(transport == "ssh" ? "/tmp/hv-xfer-XXXXXX" : QDir::tempPath() + "/peer-XXXXXX");
        QFile::setPermissions(theirs.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                 | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
        const QByteArray data = hostileBytes(size);
        const QString name = "data.bin";
        writeAll((send ? ours : theirs).filePath(name), data);

        const QByteArray cd = "cd '" + theirs.path().toUtf8() + "' && ";
        // The peer in the other direction, and what it shows once it waits for us.
        static const char *peers[3][2] = {{"echo RE''ADY; sb -k -q data.bin", "echo RE''ADY; rb -q -y"},
                                          {"sz -q data.bin", "rz -q -y"},
                                          {"gkermit -i -P -q -s data.bin", "echo RE''ADY; gkermit -i -P -q -r"}};
        static const char *waiting[3][2] = {{"READY", "READY"}, {"\x18" "B00", "\x18" "B01"}, {"\x01", "READY"}};
        const int p = protocol - 1;
        type(cd + peers[p][send] + "; echo EN''D=$?");
        QVERIFY(waitFor(waiting[p][send]));
        QString summary;
        QVERIFY2(transfer(protocol, send, send ? ours.filePath(name) : ours.path(), &summary), qPrintable(summary));
        QVERIFY(waitFor("END=0"));
        QCOMPARE(readAll((send ? theirs : ours).filePath(name)), data);
        QVERIFY(!hub->transferRunsOn(id));
        // The session is the user's again: typed lines reach the shell (once
        // a fresh line is there: the shell may take a last protocol answer,
        // our ZMODEM "OO", as a command).
        conn->write("\r\r");
        QVERIFY(waitFor("$ "));
        type("echo ba''ck");
        QVERIFY(waitFor("back"));
    }

    // XMODEM-1K from sx and YMODEM to rb, over a serial line: the peer sits on
    // the far end of a socat pty pair.
    void serialLine_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("send");
        QTest::addColumn<QString>("peer");
        QTest::addRow("xmodem-1k receive") << 0 << false << "sx -k -q data.bin";
        QTest::addRow("ymodem send") << 1 << true << "rb -q -y";
        QTest::addRow("ymodem receive") << 1 << false << "sb -k -q data.bin";
    }
    void serialLine()
    {
        QFETCH(int, protocol);
        QFETCH(bool, send);
        QFETCH(QString, peer);
        QVERIFY2(!QStandardPaths::findExecutable("socat").isEmpty(), "socat missing");
        QTemporaryDir ours, theirs;
        const QByteArray data = randomBytes(200 * 1024, 5); // whole 1 KiB blocks: XMODEM pads nothing
        writeAll((send ? ours : theirs).filePath("data.bin"), data);
        const QString line = theirs.filePath("line");
        QProcess socat;
        socat.setWorkingDirectory(theirs.path());
        // The peer on a socket pair, not a pty of its own: rb flushes its
        // terminal's output as it exits, which on a pty can drop its last ACK
        // before socat has read it. The line stays up after the peer's last
        // answer until we let go of it.
        socat.start("socat", {"pty,raw,echo=0,link=" + line, "SYSTEM:" + peer + "; cat >/dev/null"});
        QVERIFY(socat.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(line), 10000);
        QVERIFY2(open(line), "serial port did not open");
        QString summary;
        const QString target = send ? ours.filePath("data.bin") : protocol == 0 ? ours.filePath("x.bin") : ours.path();
        QVERIFY2(transfer(protocol, send, target, &summary), qPrintable(summary));
        socat.terminate();
        QVERIFY(socat.waitForFinished(20000));
        QCOMPARE(readAll(send ? theirs.filePath("data.bin") : protocol == 0 ? target : ours.filePath("data.bin")), data);
    }

    // Names a peer may offer: whatever it says, files land in the chosen
    // folder and nothing outside it changes.
    void hostileNames_data()
    {
        QTest::addColumn<QString>("offered"); // what sz is told to send, from the peer's folder a/b
        QTest::addColumn<QString>("storedAs");
        QTest::addRow("climbs out") << "../../x" << "x";
        QTest::addRow("absolute") << "/etc/passwd" << "passwd";
        QTest::addRow("existing link") << "../../x" << "x";
    }
    void hostileNames()
    {
        QFETCH(QString, offered);
        QFETCH(QString, storedAs);
        QVERIFY2(open("local"), "session did not open");
        QTemporaryDir root;
        QDir(root.path()).mkpath("peer/a/b");
        QDir(root.path()).mkpath("chosen");
        writeAll(root.filePath("peer/x"), "payload");
        writeAll(root.filePath("outside"), "untouched");
        if (QString(QTest::currentDataTag()) == "existing link")
            QVERIFY(QFile::link(root.filePath("outside"), root.filePath("chosen/x")));
        const QStringList before = tree(root.path());
        type("cd '" + root.filePath("peer/a/b").toUtf8() + "' && sz -q -f " + offered.toUtf8() + "; echo EN''D");
        QVERIFY(waitFor("\x18" "B00"));
        QString summary;
        transfer(2, false, root.filePath("chosen"), &summary);
        QVERIFY(waitFor("END"));
        QCOMPARE(readAll(root.filePath("outside")), QByteArray("untouched"));
        QStringList added = tree(root.path());
        for (const QString &p : before)
            added.removeAll(p);
        for (const QString &p : added)
            QVERIFY2(p.startsWith("chosen/"), qPrintable(p));
        QCOMPARE(readAll(root.filePath("chosen/" + storedAs)), readAll(offered.startsWith('/') ? offered : root.filePath("peer/x")));
    }

    // A disk that fills during a receive: the transfer fails and says where
    // the part that arrived is kept.
    void diskFills()
    {
        QVERIFY2(open("local"), "session did not open");
        QTemporaryDir theirs, ours;
        writeAll(theirs.filePath("big.bin"), randomBytes(4 << 20, 3));
        QProcess mount;
        mount.start("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", ours.path()});
        QVERIFY2(mount.waitForFinished() && mount.exitCode() == 0, "cannot mount a small tmpfs (root needed)");
        const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {ours.path()}); });
        type("cd '" + theirs.path().toUtf8() + "' && sz -q big.bin");
        QVERIFY(waitFor("\x18" "B00"));
        QString summary;
        QVERIFY(!transfer(2, false, ours.path(), &summary));
        QVERIFY2(summary.contains(ours.filePath("big.bin.part")), qPrintable(summary));
        QVERIFY(QFileInfo(ours.filePath("big.bin.part")).size() > 0);
        QTRY_VERIFY(lines().contains("big.bin.part"));
    }

    // A 20 MiB text through `cat > file`: paced by the connection's queue, it
    // arrives whole; the line says how much went.
    void asciiSend()
    {
        QVERIFY2(open("local"), "session did not open");
        QTemporaryDir dir;
        QByteArray text;
        for (int i = 0; text.size() < 20 * 1024 * 1024; ++i)
            text += "line " + QByteArray::number(i) + " the quick brown fox jumps over the lazy dog\n";
        writeAll(dir.filePath("in.txt"), text);
        type("cd '" + dir.path().toUtf8() + "'; echo RE''ADY; cat > out.txt; echo EN''D");
        QVERIFY(waitFor("READY"));
        window->transfers()->dialogs().openFile = [&](QWidget *, const QString &) { return dir.filePath("in.txt"); };
        window->sendAsciiFile();
        QVERIFY(hub->transferRunsOn(id));
        QSignalSpy done(hub->transfer.data(), &InbandTransfer::resultReady);
        QVERIFY(done.wait(120000));
        QCOMPARE(done.first().at(0).value<InbandTransfer::Outcome>(), InbandTransfer::Succeeded);
        conn->write("\x04");
        QVERIFY(waitFor("END", 60000));
        QCOMPARE(readAll(dir.filePath("out.txt")), text);
        QTRY_VERIFY(lines().contains(QString("ASCII 已发送 in.txt（%1 字节）").arg(text.size())));
    }

    // Refusals: nothing starts and the tab says why.
    void refusals()
    {
        QVERIFY2(open("local"), "session did not open");
        QTemporaryDir dir;
        writeAll(dir.filePath("f"), "x");
        int asked = 0;
        FileDialogs &d = window->transfers()->dialogs();
        d.openFiles = [&](QWidget *, const QString &) { ++asked; return QStringList{dir.filePath("f")}; };
        d.existingDirectory = [&](QWidget *, const QString &) { ++asked; return dir.path(); };
        window->startTransfer(3, true); // Kermit waits for a receiver that never comes
        QVERIFY(hub->transferRunsOn(id));
        window->startTransfer(2, false);
        window->sendAsciiFile();
        QCOMPARE(asked, 1);
        QTRY_COMPARE(lines().count("已有传输进行中（Esc/Ctrl+C 可取消）"), 2);
        // Keys typed meanwhile are swallowed; ESC cancels.
        TerminalEdit *edit = view()->terminalEdit();
        QTest::keyClick(edit, Qt::Key_A);
        QVERIFY(hub->transferRunsOn(id));
        QTest::keyClick(edit, Qt::Key_Escape);
        QVERIFY(!hub->transferRunsOn(id));
        conn->close();
        window->startTransfer(2, false);
        window->sendAsciiFile();
        window->startAsciiCapture();
        QCOMPARE(asked, 1);
        for (const char *line : {"当前会话未连接，无法传输", "当前会话未连接，无法发送", "当前会话未连接，无法捕获"})
            QTRY_VERIFY2(lines().contains(line), line);
    }

    // The log file of a toggle on and off: both banners and the session's
    // traffic. A folder that cannot be made or that vanishes while logging
    // gives an error line; the session goes on working either way.
    void logging_data()
    {
        QTest::addColumn<QString>("dir"); // relative to a fresh folder, or absolute
        QTest::addColumn<bool>("vanish");
        QTest::addColumn<QString>("line");
        QTest::addRow("started and stopped") << "logs" << false << "日志录制已停止";
        QTest::addRow("folder cannot be made") << "/proc/hv-no-such/logs" << false << "日志文件创建失败";
        QTest::addRow("folder vanishes") << "logs" << true << "日志写入失败，录制已停止：";
    }
    void logging()
    {
        QFETCH(QString, dir);
        QFETCH(bool, vanish);
        QFETCH(QString, line);
        QVERIFY2(open("local"), "session did not open");
        QTemporaryDir base;
        const QString folder = dir.startsWith('/') ? dir : base.filePath(dir);
        AppSettings::instance().setValue("log/dir", folder);
        AppSettings::instance().setValue("log/file", "%S.log");
        window->toggleSessionLog(id);
        const bool started = window->logging()->isLogging(id);
        const QString logPath = started ? hub->logger(id)->currentPath() : QString();
        QCOMPARE(started, !dir.startsWith('/'));
        if (vanish)
            QVERIFY(QDir(folder).removeRecursively());
        type("echo lo''gged");
        QVERIFY(waitFor("logged"));
        if (started && !vanish)
            window->toggleSessionLog(id);
        else if (SessionLogger *logger = hub->logger(id))
            logger->flushBuffer();
        QTRY_VERIFY2(lines().contains(line), qPrintable(lines()));
        QVERIFY(!window->logging()->isLogging(id));
        if (started && !vanish) {
            QCOMPARE(QFileInfo(logPath).path(), folder);
            const QString log = QString::fromUtf8(readAll(logPath));
            QVERIFY2(log.contains("========== 会话开始 ") && log.contains("[RX] ") && log.contains("logged\r\n")
                         && log.endsWith(" ==========\n\n") && log.contains("========== 会话结束 "),
                     qPrintable(log));
        }
        type("echo st''ill");
        QVERIFY(waitFor("still"));
    }

    // The capture holds exactly the bytes received while it ran, escape
    // sequences and CR LF included, after what the file held before.
    void capture()
    {
        QVERIFY2(open("local"), "session did not open");
        QTemporaryDir dir;
        const QString path = dir.filePath("cap.txt");
        writeAll(path, "old\n");
        window->logging()->dialogs().saveFile = [&](QWidget *, const QString &, const QString &proposed) {
            return proposed == "ascii_capture.txt" ? path : QString();
        };
        QByteArray received;
        window->startAsciiCapture();
        connect(conn, &Connection::dataReceived, this, [&](const QByteArray &b) { received += b; });
        type("printf '\\033[31mred\\033[0m\\r\\nplain\\n'; echo EN''D");
        QVERIFY(waitFor("END"));
        window->startAsciiCapture(); // the same entry stops it
        QCOMPARE(readAll(path), "old\n" + received);
        QVERIFY(received.contains("\x1b[31mred\x1b[0m\r\r\n")); // the pty adds a CR of its own
        QTRY_VERIFY(lines().contains("ASCII 捕获已停止：" + path));
    }
};

QTEST_MAIN(TestTransfers)
#include "tst_transfers.moc"
