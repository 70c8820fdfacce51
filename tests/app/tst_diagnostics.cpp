#include "app/diagnostics.h"
#include "platform/privatefiles.h"
#include "tests/support/testfiles.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

static QString readAll(const QString &path) { return QString::fromUtf8(readFile(path)); }

// Type and permission bits, owner check included: -1 when missing or not ours.
static int modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && st.st_uid == ::getuid() ? int(st.st_mode & 0170777) : -1;
}

class TestDiagnostics : public QObject
{
    Q_OBJECT

private slots:
    // The child fails in the named way; a crash line names the reason and a private
    // report beside it, a signal adds the stack; the exit code tells signal from terminate.
    void crashes_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("null write") << "segv" << "SIGSEGV";
        QTest::newRow("abort") << "abort" << "SIGABRT";
        QTest::newRow("stack overflow") << "overflow" << "SIGSEGV"; // handled on its own stack
        QTest::newRow("terminate") << "terminate" << "terminate";
    }

    void crashes()
    {
        QFETCH(QString, mode);
        QFETCH(QString, reason);
        const bool signal = reason.startsWith("SIG");
        const QString dir = platform::privateTempDir();
        QVERIFY(!dir.isEmpty() && QDir(dir).removeRecursively() && QDir().mkpath(dir)
                && QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment(); // a sanitizer's own handlers stand aside
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:"
                   "handle_sigill=0:handle_abort=0:use_sigaltstack=0:detect_leaks=0");
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QStringLiteral(CRASH_CHILD), {mode});
        QVERIFY(child.waitForFinished(30000) && child.exitStatus() == QProcess::NormalExit);
        QCOMPARE(child.exitCode(), signal ? 1 : 3);
        const QString log = readAll(crashLogPath());
        const auto m = QRegularExpression("^(\\d{8}_\\d{6}) CRASH\\((\\w+)\\) dump=(\\S+)$", QRegularExpression::MultilineOption).match(log);
        const QString dump = m.captured(3);
        QVERIFY2(m.captured(2) == reason && dump == dir + "/halvorstead_crash_" + m.captured(1) + ".dmp", qPrintable(log));
        // A signal leaves a stack section with frames (64 at most) before the crash line.
        const qsizetype stack = log.indexOf("---- stack (signal=");
        QCOMPARE(stack >= 0, signal);
        QVERIFY(!signal || (stack < log.indexOf(" CRASH(") && log.count(QRegularExpression("\n#\\d\\d ")) <= 64
                            && log.contains(QRegularExpression("\n#00 0x[0-9A-F]{12} \\S+!\\+0x[0-9A-F]+\n"))));
        const QString report = readAll(dump); // a report, never a memory image, readable by the user only
        QVERIFY(report.startsWith("Halvorstead crash report\n") && report.contains("\nstack:\n#00 ") && report.contains("\nmodules:\n")
                && report.contains("crash_child") && report.size() < 256 * 1024 && (!signal || report.contains("signal: ")));
        QCOMPARE(modeOf(dump), int(S_IFREG | 0600));
        const QString qtLog = readAll(qtLogPath()); // the child's Qt message, in the agreed shape
        QVERIFY2(qtLog.contains(QRegularExpression("^\\d{8}_\\d{6} \\[WARNING\\] (\\S+:\\d+ )?child warning " + mode + '$', QRegularExpression::MultilineOption)),
                 qPrintable(qtLog));
    }

    // Log lines have the agreed shape; a link planted under a log's name is not followed; the
    // private folder is a real folder of ours no one else may enter.
    void logFiles()
    {
        const QString target = QDir::tempPath() + "/victim";
        QFile::remove(target);
        QFile::remove(qtLogPath());
        messageHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("会话文件无法写入"));
        messageHandler(QtCriticalMsg, QMessageLogContext("store.cpp", 42, "f", "default"), QStringLiteral("second"));
        const QString log = readAll(qtLogPath());
        QVERIFY(log.contains(QRegularExpression("\\A\\d{8}_\\d{6} \\[WARNING\\] 会话文件无法写入\n\\d{8}_\\d{6} \\[CRITICAL\\] store.cpp:42 second\n\\z")));
        QVERIFY(QFile::remove(qtLogPath()) && QFile::link(target, qtLogPath()));
        messageHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("x"));
        QVERIFY(!QFile::exists(target) && !platform::appendPrivateFile(qtLogPath(), "y"));
        QFile::remove(qtLogPath());
        QVERIFY(platform::privateTempDir().startsWith(QDir::tempPath() + "/halvorstead-"));
        QCOMPARE(modeOf(platform::privateTempDir()), int(S_IFDIR | 0700));
    }
};

QTEST_GUILESS_MAIN(TestDiagnostics)
#include "tst_diagnostics.moc"
