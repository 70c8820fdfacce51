#include "app/diagnostics.h"
#include "platform/privatefiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class TestDiagnostics : public QObject
{
    Q_OBJECT

    static QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void crashes_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("stackSection");
        QTest::newRow("null write") << "segv" << 1 << "SIGSEGV" << true;
        QTest::newRow("abort") << "abort" << 1 << "SIGABRT" << true;
        QTest::newRow("fpe") << "fpe" << 1 << "SIGFPE" << true;
        QTest::newRow("stack overflow") << "overflow" << 1 << "SIGSEGV" << true;
        QTest::newRow("terminate") << "terminate" << 3 << "terminate" << false;
        QTest::newRow("uncaught exception") << "throw" << 3 << "terminate" << false;
    }

    void crashes()
    {
        QFETCH(QString, mode);
        QFETCH(int, exitCode);
        QFETCH(QString, reason);
        QFETCH(bool, stackSection);

        const QString dir = platform::privateTempDir();
        QVERIFY(!dir.isEmpty());
        QDir(dir).removeRecursively();
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        QProcess child;
        // In a sanitizer build the runtime's own handlers for these signals
        // stand aside: the child's report is what is under test.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) +
                       QStringLiteral(":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0"
                                      ":handle_abort=0:use_sigaltstack=0:detect_leaks=0"));
        child.setProcessEnvironment(env);
        child.start(QStringLiteral(CRASH_CHILD), {mode});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), exitCode);

        const QString log = QString::fromUtf8(readAll(crashLogPath()));
        const QRegularExpression crashLine(QStringLiteral("^(\\d{8}_\\d{6}) CRASH\\((\\w+)\\) dump=(\\S+)$"),
                                           QRegularExpression::MultilineOption);
        const auto m = crashLine.match(log);
        QVERIFY2(m.hasMatch(), qPrintable(log));
        QCOMPARE(m.captured(2), reason);
        const QString dump = m.captured(3);
        QCOMPARE(dump, dir + QStringLiteral("/halvorstead_crash_") + m.captured(1) + QStringLiteral(".dmp"));
        QCOMPARE(log.contains(QStringLiteral("---- stack (signal=")), stackSection);
        if (stackSection) {
            // The stack section comes before the crash line and has frames.
            QVERIFY(log.indexOf(QStringLiteral("---- stack")) < log.indexOf(QStringLiteral(" CRASH(")));
            QVERIFY(log.contains(QRegularExpression(QStringLiteral("\n#00 0x[0-9A-F]{12} \\S+!\\+0x[0-9A-F]+\n"))));
            QVERIFY(log.count(QRegularExpression(QStringLiteral("\n#\\d\\d "))) <= 64);
        }

        const QByteArray report = readAll(dump);
        QVERIFY(report.startsWith("Halvorstead crash report\n"));
        QVERIFY(report.contains("\nstack:\n#00 "));
        QVERIFY(report.contains("\nmodules:\n"));
        QVERIFY(report.contains("crash_child"));
        QVERIFY(report.size() < 256 * 1024); // a report, never a memory image
        if (stackSection)
            QVERIFY(report.contains("signal: "));

        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(dump).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);

        // The child's Qt message went to the Qt log in the agreed shape.
        const QString qtLog = QString::fromUtf8(readAll(qtLogPath()));
        QVERIFY2(qtLog.contains(QRegularExpression(
                     QStringLiteral("^\\d{8}_\\d{6} \\[WARNING\\] (\\S+:\\d+ )?child warning %1$").arg(mode),
                     QRegularExpression::MultilineOption)),
                 qPrintable(qtLog));
    }

    void messageLineShape()
    {
        QFile::remove(qtLogPath());
        messageHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("会话文件无法写入"));
        QMessageLogContext ctx("store.cpp", 42, "f", "default");
        messageHandler(QtCriticalMsg, ctx, QStringLiteral("second"));
        const QList<QByteArray> lines = readAll(qtLogPath()).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{8}_\\d{6} \\[WARNING\\] 会话文件无法写入$"))
                    .match(QString::fromUtf8(lines[0])).hasMatch());
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{8}_\\d{6} \\[CRITICAL\\] store.cpp:42 second$"))
                    .match(QString::fromUtf8(lines[1])).hasMatch());
    }

    // A link planted under a log's name is not followed.
    void plantedLinkIsNotFollowed()
    {
        const QString target = QDir::tempPath() + QStringLiteral("/victim");
        QFile::remove(target);
        QFile::remove(qtLogPath());
        QVERIFY(QFile::link(target, qtLogPath()));
        messageHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("x"));
        QVERIFY(!QFile::exists(target));
        QVERIFY(!platform::appendPrivateFile(qtLogPath(), "y"));
        QFile::remove(qtLogPath());
    }

    void privateFolderIsPrivate()
    {
        const QString dir = platform::privateTempDir();
        QVERIFY(dir.startsWith(QDir::tempPath() + QStringLiteral("/halvorstead-")));
        struct stat st;
        QCOMPARE(::lstat(QFile::encodeName(dir).constData(), &st), 0);
        QVERIFY(S_ISDIR(st.st_mode));
        QCOMPARE(int(st.st_mode & 0777), 0700);
        QCOMPARE(st.st_uid, ::getuid());
    }
};

QTEST_GUILESS_MAIN(TestDiagnostics)
#include "tst_diagnostics.moc"
