#include "../connections/connectiontestsupport.h"
#include "connections/localshellconnection.h"
#include "core/languagemanager.h"
#include "platform/pty.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cerrno>

namespace {

// A shell connection and everything it said.
struct Shell {
    LocalShellConnection conn;
    testsupport::Recorder r{&conn};

    Shell(const QString &name, bool withPty)
    {
        LocalShellConnection::setPseudoTerminalDisabled(!withPty);
        conn.setShell(name);
    }
    bool start() { return conn.open() && r.waitConnected(); } // open()'s outcome arrives by signal
};

// Lines to type, each with the answer to wait for (none when empty);
// "resize" makes the terminal 100x30 instead.
using Steps = QList<std::pair<QByteArray, QByteArray>>;

} // namespace

Q_DECLARE_METATYPE(Steps)

class TestLocalShell : public QObject
{
    Q_OBJECT

    QByteArray m_shellEnv;
    QTemporaryDir m_zdot; // an empty zsh setup, so zsh skips its first-run menu

private slots:
    void initTestCase()
    {
        QVERIFY2(!platform::findExecutable("zsh").isEmpty(), "zsh is needed (package zsh)");
        m_shellEnv = qgetenv("SHELL");
        QFile rc(m_zdot.filePath(".zshrc"));
        QVERIFY(rc.open(QIODevice::WriteOnly));
        qputenv("ZDOTDIR", QFile::encodeName(m_zdot.path()));
    }
    void cleanup() { qputenv("SHELL", m_shellEnv); }

    // Each session runs the program it names by path, by a name listed in
    // /etc/shells (any case) or by a word in it, else the login shell, on a
    // terminal or as a plain process; a Windows-only shell fails by signal.
    void shellsOpen_data()
    {
        QTest::addColumn<bool>("withPty");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shellEnv"); // null: unset
        QTest::addColumn<QString>("expected"); // the program running, or "!" and the missing one
        const QString pwsh = platform::findExecutable("pwsh");
        const QString powershell = pwsh.isEmpty() ? "!powershell.exe" : pwsh;
        const QString zsh = "/usr/bin/zsh";
        QTest::newRow("listed, any case") << true << " ZSH " << QString() << zsh;
        QTest::newRow("path") << true << "/usr/bin/dash" << zsh << "/usr/bin/dash";
        QTest::newRow("empty, SHELL=zsh") << true << "" << zsh << zsh;
        QTest::newRow("SHELL not listed") << true << "cmd" << "/usr/bin/env" << "/bin/sh";
        QTest::newRow("PowerShell 7") << true << "PowerShell 7" << zsh << powershell;
        QTest::newRow("process zsh") << false << "zsh" << QString() << zsh;
        QTest::newRow("process WSL") << false << "WSL" << zsh << "!wsl.exe";
    }
    void shellsOpen()
    {
        QFETCH(bool, withPty);
        QFETCH(QString, name);
        QFETCH(QString, shellEnv);
        QFETCH(QString, expected);
        shellEnv.isNull() ? qunsetenv("SHELL") : qputenv("SHELL", shellEnv.toUtf8());
        Shell s(name, withPty);
        if (expected.startsWith('!')) {
            QVERIFY(s.conn.open());
            QTRY_COMPARE_WITH_TIMEOUT(s.r.disconnects, 1, testsupport::kWaitMs);
            QCOMPARE(s.r.errors, QStringList{LanguageManager::tr("%1 在此系统上不可用").arg(expected.mid(1))});
            QVERIFY(s.r.connects == 0 && !s.conn.isOpen());
            return;
        }
        QVERIFY(s.start());
        s.conn.write("readlink /proc/$$/exe\r");
        const QByteArray program = QFileInfo(expected).canonicalFilePath().toUtf8();
        QTRY_VERIFY2_WITH_TIMEOUT(s.r.data.contains(program + (withPty ? "\r\n" : "\n")), s.r.data.constData(), testsupport::kWaitMs);
        QVERIFY(s.r.errors.isEmpty());
    }

    // Commands echo, so answers are matched by shapes that the typed command
    // line does not contain. On a terminal the shell's line editor gets one
    // CR per line end and a program that set the terminal raw gets the bytes
    // as typed; a plain process gets every line end as the one it reads lines
    // by. The end of the shell is announced; later input is dropped.
    void bashSessions_data()
    {
        QTest::addColumn<bool>("withPty");
        QTest::addColumn<Steps>("steps");
        QTest::newRow("terminal") << true << Steps{
            {"echo $((6*7)) T=$TERM; stty size\r", "42 T=vt220\r\n25 80\r\n"}, {"seq -s ' ' 40000; echo E\"\"ND\r", "39999 40000\r\nEND"},
            {"resize", ""}, {"stty size\r", "30 100\r\n"}, {"stty -icrnl -icanon -echo; echo RE\"\"ADY; head -c 4 | od -An -tx1; stty sane\r", "READY"},
            {"ls\r\n", ""}, {"\n", " 6c 73 0d 0d"}, {"stty raw -echo; echo RA\"\"W; head -c 4 | od -An -tx1; stty sane\r", "RAW"}, {"ls\r\n", " 6c 73 0d 0a"},
            {"exit\r", ""}};
        QTest::newRow("process") << false << Steps{
            {"head -c 6 | od -An -tx1\r", ""}, {"a\rb\nc\r\n", " 61 0a 62 0a 63 0a"}, {"echo $((6*7))\r\n", "42\n"}, {"exit\n", ""}};
    }
    void bashSessions()
    {
        QFETCH(bool, withPty);
        QFETCH(Steps, steps);
        Shell s("bash", withPty);
        QCOMPARE(LocalShellConnection::isConPtySupported(), withPty);
        s.conn.setTerminalType("vt220");
        QVERIFY(s.start() && s.conn.isOpen());
        for (const auto &[typed, answer] : steps) {
            typed == "resize" ? s.conn.resize(100, 30) : s.conn.write(typed);
            QTRY_VERIFY2_WITH_TIMEOUT(s.r.data.contains(answer), s.r.data.constData(), testsupport::kWaitMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(s.r.disconnects, 1, testsupport::kWaitMs);
        QVERIFY(!s.conn.isOpen());
        s.conn.write("echo too late\n");
        QVERIFY(s.r.errors.isEmpty());
    }

    // A shell that ignores the hang-up (terminal) or the termination (plain
    // process) is still ended, and reaped, by the time close returns; a job
    // in the background that holds the terminal too must not make close wait.
    void shellIgnoringTheEndIsStillEnded_data()
    {
        QTest::addColumn<bool>("withPty");
        QTest::addColumn<QByteArray>("command");
        QTest::newRow("pty") << true << QByteArray("trap '' HUP; sleep 100 & echo \"P=$$ J=$!\"\r");
        QTest::newRow("process") << false << QByteArray("trap '' TERM; echo \"P=$$ J=0\"\n");
    }
    void shellIgnoringTheEndIsStillEnded()
    {
        QFETCH(bool, withPty);
        QFETCH(QByteArray, command);
        Shell s("bash", withPty);
        QVERIFY(s.start());
        s.conn.write(command);
        const QRegularExpression re("P=(\\d+) J=(\\d+)");
        QTRY_VERIFY_WITH_TIMEOUT(re.match(QString::fromLatin1(s.r.data)).hasMatch(), testsupport::kWaitMs);
        const auto m = re.match(QString::fromLatin1(s.r.data));
        s.conn.close();
        QVERIFY(!s.conn.isOpen());
        QVERIFY(::kill(pid_t(m.captured(1).toLongLong()), 0) != 0 && errno == ESRCH);
        QCOMPARE(s.r.disconnects, 0); // closed by us: no signal
        if (m.captured(2).toLongLong() > 0)
            ::kill(pid_t(m.captured(2).toLongLong()), SIGKILL); // it ignores SIGHUP as nohup would: not ours
    }

    // A paste of megabytes goes to the connection as one piece and reaches the
    // program whole, paced by the terminal; keys typed meanwhile come after it.
    void largePasteArrivesWhole()
    {
        Shell s("bash", true);
        QVERIFY(s.start());
        QTemporaryDir dir;
        const QByteArray file = QFile::encodeName(dir.filePath("pasted"));
        s.conn.write("stty -echo; echo go-$((1+1)); cat > '" + file + "'; echo end-$((2+2))\r");
        QVERIFY(s.r.waitData("go-2"));
        QByteArray paste;
        for (int i = 0; paste.size() < 5 * 1000 * 1000; ++i)
            paste += QByteArray::number(i).rightJustified(99, '.') + '\n'; // lines within the terminal's line limit
        s.conn.write(paste);
        for (char key = 'a'; key <= 'z'; ++key, QTest::qWait(2))
            s.conn.write(QByteArray(1, key));
        s.conn.write("\n\x04");
        QVERIFY(QTest::qWaitFor([&] { return s.r.data.contains("end-4"); }, 60000));
        QVERIFY(s.r.errors.isEmpty());
        QFile pasted(QString::fromLocal8Bit(file));
        QVERIFY(pasted.open(QIODevice::ReadOnly));
        QVERIFY(pasted.readAll() == paste + "abcdefghijklmnopqrstuvwxyz\n");
    }
};

QTEST_GUILESS_MAIN(TestLocalShell)
#include "tst_localshell.moc"
