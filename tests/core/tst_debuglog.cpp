#include "core/debuglog.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <sys/stat.h>

class TestDebugLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The flag is read once, at the first call: set it before that.
        qputenv("HALVORSTEAD_DEBUG_LOG", "");
        QVERIFY(debugLogEnabled());
        qunsetenv("HALVORSTEAD_DEBUG_LOG");
        QVERIFY(debugLogEnabled());
    }

    void linesFromThreadsStayWhole()
    {
        const QString path = debugLogPath();
        QVERIFY(!path.isEmpty());
        QFile::remove(path);

        const int perThread = 200;
        const QString payload(300, QLatin1Char('x'));
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads.append(QThread::create([=] {
                for (int i = 0; i < perThread; ++i)
                    debugLog(QStringLiteral("[SSH] thread %1 line %2 ").arg(t).arg(i) + payload);
            }));
            threads.last()->start();
        }
        for (QThread *th : threads) {
            QVERIFY(th->wait(30000));
            delete th;
        }

        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        QCOMPARE(lines.size(), 4 * perThread + 1); // last split is empty
        const QRegularExpression shape(QStringLiteral(
            "^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d \\[T\\d+\\] \\[SSH\\] thread \\d line \\d+ x{300}$"));
        for (int i = 0; i < lines.size() - 1; ++i)
            QVERIFY2(shape.match(QString::fromUtf8(lines[i])).hasMatch(), lines[i].constData());

        // Only the user may read it.
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
    }
};

QTEST_GUILESS_MAIN(TestDebugLog)
#include "tst_debuglog.moc"
