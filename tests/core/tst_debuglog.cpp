#include "core/debuglog.h"
#include "tests/support/testfiles.h"

#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <sys/stat.h>

class TestDebugLog : public QObject
{
    Q_OBJECT

private slots:
    void linesFromThreadsStayWhole()
    {
        qputenv("HALVORSTEAD_DEBUG_LOG", "");
        QVERIFY(debugLogEnabled()); // set, even empty, it is on
        const QString path = debugLogPath();
        QVERIFY(!path.isEmpty());
        QFile::remove(path);

        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads << QThread::create([=] {
                for (int i = 0; i < 200; ++i)
                    debugLog(QString("[SSH] thread %1 line %2 ").arg(t).arg(i) + QString(300, 'x'));
            });
            threads.last()->start();
        }
        for (QThread *th : threads) {
            QVERIFY(th->wait(30000));
            delete th;
        }
        const QList<QByteArray> lines = readFile(path).split('\n');
        QCOMPARE(lines.size(), 4 * 200 + 1); // the last piece is empty
        const QRegularExpression shape(R"(^\d\d:\d\d:\d\d\.\d\d\d \[T\d+\] \[SSH\] thread \d line \d+ x{300}$)");
        for (const QByteArray &line : lines.mid(0, lines.size() - 1))
            QVERIFY2(shape.match(QString::fromUtf8(line)).hasMatch(), line.constData());
        struct stat st; // only the user may read it
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
    }
};

QTEST_GUILESS_MAIN(TestDebugLog)
#include "tst_debuglog.moc"
