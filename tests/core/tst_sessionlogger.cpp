#include "core/languagemanager.h"
#include "core/sessionlogger.h"
#include "tests/support/testfiles.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QDateTime kNow(QDate(2026, 3, 7), QTime(9, 41, 5));
const QByteArray kStart = "\n========== 会话开始 2026-03-07 09:41:05 ==========\n";
const QByteArray kEnd = "\n========== 会话结束 2026-03-07 09:41:05 ==========\n\n";
const QByteArray kMiB(1048576, 'x');
const QString kBoth = "收发都记录", kText = "纯文本";

// Options from "direction|mode|timestamp|prefix|start mode|rotate".
SessionLogOptions options(const QString &dir, const QString &fields, const QString &file)
{
    const QStringList f = fields.split('|');
    return {false, dir, file, f.value(0), f.value(1), f.value(2), f.value(5).toInt(), false, false, {}, {}, f.value(3),
            f.value(4)};
}

std::unique_ptr<SessionLogger> logger(const QString &dir, const QString &fields, const QString &file = "%S.log")
{
    auto l = std::make_unique<SessionLogger>("s", "", options(dir, fields, file));
    l->setClock([] { return kNow; });
    return l;
}

} // namespace

class TestSessionLogger : public QObject
{
    Q_OBJECT

    QTemporaryDir box;
    QString logs() const { return box.path() + "/logs"; }

private slots:
    void initTestCase() { LanguageManager::setLanguage("en"); }
    void init() { QVERIFY(QDir(box.path()).removeRecursively() && QDir().mkpath(logs())); }

    void fileNames_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("expected");
        QTest::newRow("folder per day") << "{date}\\%S.log" << "s" << "h" << "2026-03-07/s.log";
        QTest::newRow("any case") << "{NAME}_{Time}_{port}_%s%m%d.LOG" << "s" << "h" << "s_094105_s_s0307.LOG";
        QTest::newRow("forbidden chars") << "a:b?c<>\"|*%S.log" << "s:1" << "h" << "a_b_c_____s_1.log";
        QTest::newRow("climbing name") << "%S.log" << "../../etc/x" << "" << "____etc_x.log";
        QTest::newRow("climbing host") << "d/%H.log" << "s" << "..\\..\\h" << "d/____h.log";
        QTest::newRow("name is a token") << "%S_%H.log" << "%h{date}" << "%S" << "%h{date}_%S.log";
        QTest::newRow("pattern's own parent") << "../%S.log" << "s" << "" << "../s.log";
    }
    void fileNames()
    {
        QFETCH(QString, pattern);
        QFETCH(QString, name);
        QFETCH(QString, host);
        QFETCH(QString, expected);
        QCOMPARE(SessionLogger::buildFileName(name, host, options("/box/logs", "", pattern), kNow), "/box/logs/" + expected);
    }

    void records_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QStringList>("traffic"); // "R..." received, "S..." sent
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("bare bytes, nothing held") << "仅接收|纯文本" << QStringList{"Rab", "Rc\nd", "Sx"} << QByteArray("abc\nd");
        QTest::newRow("lines under tags") << kBoth + "|" + kText << QStringList{"Rl1\nl2\npa", "Srt"}
                                          << QByteArray("[RX] l1\n[RX] l2\n[RX] pa\n[TX] rt\n");
        QTest::newRow("typed bytes and echo apart")
            << kBoth + "|" + kText << QStringList{"Se", "Re", "Sc", "Rc", "Sh", "Rh", "So", "Ro", "S\r", "R\r\n"}
            << QByteArray("[TX] echo\r\n[RX] echo\r\n");
        // Typed lines end at CR or LF, in the order they came among the
        // host's lines; CR LF is one end, also split over two sends.
        QTest::newRow("enter before the answer")
            << kBoth + "|" + kText << QStringList{"R$ ", "Sls\r", "Rls\r\nf1\r\n$ ", "Sexit\r", "Rexit\r\n"}
            << QByteArray("[TX] ls\r\n[RX] $ ls\r\n[RX] f1\r\n[TX] exit\r\n[RX] $ exit\r\n");
        QTest::newRow("typed line ends") << kBoth + "|" + kText << QStringList{"Sa\r", "S\nb\n", "Sc\r\nd\r\re\n\n", "Sf"}
                                         << QByteArray("[TX] a\r\n[TX] b\n[TX] c\r\n[TX] d\r\n[TX] \r\n[TX] e\n[TX] \n[TX] f\n");
        QTest::newRow("CR LF split by received bytes") << kBoth + "|" + kText << QStringList{"Sa\r", "Rx\n", "S\nb\n"}
                                                       << QByteArray("[TX] a\r\n[RX] x\n[TX] b\n");
        QTest::newRow("endless typed line cut") << kBoth << QStringList{"S" + kMiB.left(kMiB.size() - 1), "Sxy", "S\r"}
                                                << "[TX] " + kMiB + "y\n[TX] \r\n";
        QTest::newRow("typed lines, stamp and prefix") << "仅发送||'T'|> " << QStringList{"Sa\rb\r\n"}
                                                       << QByteArray("[T] > a\r\n[T] > b\r\n");
        QTest::newRow("endless line cut") << kBoth << QStringList{"R" + kMiB.left(kMiB.size() - 1), "Rxy", "Rz\n"}
                                          << "[RX] " + kMiB + "y\n[RX] z\n";
        QTest::newRow("send only, stamp, prefix") << "仅发送||'T'|> " << QStringList{"Rr\n", "Ss\n"} << QByteArray("[T] > s\n");
        QTest::newRow("hex") << "仅接收|HEX|'T'|p " << QStringList{"RA\r\n"} << QByteArray("[T] [RX] p 41 0d 0a\n");
        QTest::newRow("dual") << kBoth + "|双份（文本+HEX）" << QStringList{"Shi", "Ra\n"}
                              << QByteArray("[TX] hi\n[TX] 68 69\n[RX] a\n[RX] 61 0a\n");
    }
    void records()
    {
        QFETCH(QString, options);
        QFETCH(QStringList, traffic);
        QFETCH(QByteArray, expected);
        auto l = logger(logs(), options);
        QVERIFY(l->start());
        for (const QString &t : traffic)
            t.startsWith('S') ? l->logSent(t.mid(1).toUtf8()) : l->logReceived(t.mid(1).toUtf8());
        l->stop();
        l->stop();
        QCOMPARE(readFile(l->currentPath()), kStart + expected + kEnd);
    }

    // Split files are appended to and begin without a banner; only the first
    // file of a start is cleared.
    void splitBySize()
    {
        QVERIFY(writeFile(logs() + "/s.log", "stale\n") && writeFile(logs() + "/s.1.log", "old\n"));
        auto l = logger(logs(), "仅接收|纯文本|||清空|1");
        QVERIFY(l->start());
        const QByteArray first = kMiB.left(kMiB.size() - kStart.size() - 1);
        l->logReceived(first);
        l->flushBuffer();
        l->logReceived("y"); // reaches the limit once written
        l->flushBuffer();
        l->logReceived("next\n");
        l->stop();
        QCOMPARE(readFile(logs() + "/s.log"), kStart + first + 'y');
        QCOMPARE(readFile(logs() + "/s.1.log"), "old\nnext\n" + kEnd);
    }

    // A failure ends recording with one message, never silently; a file that
    // cannot be made at the start is only the return value.
    void failures_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("error");
        QTest::newRow("folder under a file") << "plain/logs/%S.log" << "" << "";
        QTest::newRow("banner unwritable") << "/dev/full" << "" << "No space left on device";
        QTest::newRow("folder vanishes") << "logs/%S.log" << "vanish" << "No such file or directory";
        QTest::newRow("next file unopenable") << "logs/%S.log" << "rotate" << "Is a directory";
    }
    void failures()
    {
        QFETCH(QString, path);
        QFETCH(QString, action);
        QFETCH(QString, error);
        QVERIFY(writeFile(box.path() + "/plain", ""));
        const QFileInfo where(path.startsWith('/') ? path : box.path() + '/' + path);
        const QString dir = where.path(), file = where.fileName();
        QVERIFY(action != "rotate" || QDir().mkpath(dir + "/s.1.log"));
        auto l = logger(dir, "仅接收|纯文本|||追加|1", file);
        QSignalSpy errors(l.get(), &SessionLogger::logError);
        QCOMPARE(l->start(), !action.isEmpty());
        if (action == "vanish") {
            QVERIFY(QDir(dir).removeRecursively());
            l->logReceived("lost\n");
            QTRY_COMPARE(errors.size(), 1); // found by the timer's flush
        } else if (action == "rotate") {
            l->logReceived(kMiB);
            QCOMPARE(readFile(dir + "/s.log"), kStart + kMiB);
        }
        l->logReceived("more\n");
        l->stop();
        QVERIFY(!l->isRecording());
        QCOMPARE(errors, error.isEmpty() ? QList<QVariantList>() : QList<QVariantList>{
                             {"Failed to write log, recording stopped: " + error}});
    }
};

QTEST_GUILESS_MAIN(TestSessionLogger)
#include "tst_sessionlogger.moc"
