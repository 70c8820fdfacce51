// KermitTransfer against real Kermit programs (gkermit, C-Kermit) on a
// pseudo-terminal: files of every awkward size and content both ways, several
// files, each check type, cancels from either side, error packets and a peer
// that stops answering.

#include "bench/xfer_peer/peerrun.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

const char *kGkermitReceive = "gkermit -i -P -q -r";

using Hook = std::function<void(const QString &, PeerRunControl &)>;

// One run of ours against the peer command in its folder: we send `files`,
// or we receive into `receiveDir`.
PeerRunResult kermitRun(const QString &peerCommand, const QString &peerDir, const QStringList &files,
                        const QString &receiveDir = QString(), const Hook &hook = {})
{
    PeerRunPlan plan;
    plan.protocol = QStringLiteral("kermit");
    plan.send = receiveDir.isEmpty();
    plan.files = files;
    plan.receiveDir = receiveDir;
    plan.peerCommand = peerCommand;
    plan.peerDir = peerDir;
    return runAgainstPeer(plan, hook);
}

QByteArray allByteValues(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(i & 0xFF);
    return data;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(gen.bounded(256));
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

// The contents that catch what a transfer loses or mangles: nothing, one
// byte, both sides of a packet's worth, every byte value, random binary and
// text with CR LF.
void addContents()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("0 bytes") << QByteArray();
    QTest::newRow("1 byte") << QByteArray("\x01", 1);
    QTest::newRow("94 bytes") << randomBytes(94, 94);
    QTest::newRow("95 bytes") << randomBytes(95, 95);
    QTest::newRow("64 KiB of all byte values") << allByteValues(64 * 1024);
    QTest::newRow("1 MiB random") << randomBytes(1024 * 1024, 1);
    QTest::newRow("text with CR LF") << QByteArray("line one\r\nline two # with prefix\r\n\r\nend\r\n").repeated(50);
}

} // namespace

class TestKermitPeer : public QObject
{
    Q_OBJECT
private slots:
    void sendsToGkermit_data() { addContents(); }
    void sendsToGkermit();
    void receivesFromGkermit_data() { addContents(); }
    void receivesFromGkermit();
    void severalFilesBothWays();
    void ckermitEachCheckType_data();
    void ckermitEachCheckType();
    void cancelFromOurSide_data();
    void cancelFromOurSide();
    void errorPacketFromPeer();
    void peerStopsAnswering_data();
    void peerStopsAnswering();
};

void TestKermitPeer::sendsToGkermit()
{
    QFETCH(QByteArray, content);
    QTemporaryDir ours, theirs;
    const QString path = ours.filePath(QStringLiteral("sent.bin"));
    QVERIFY(writeFile(path, content));
    const PeerRunResult run = kermitRun(QString::fromLatin1(kGkermitReceive), theirs.path(), {path});
    QVERIFY2(run.ok, qPrintable(run.summary + " / " + run.statuses.join(" | ")));
    QCOMPARE(run.peerExit, 0);
    QCOMPARE(entries(theirs.path()), QStringList{"sent.bin"});
    QVERIFY(readFile(theirs.filePath("sent.bin")) == content);
    QCOMPARE(run.statuses.last(), QStringLiteral("Kermit 发送完成（1 个文件）"));
}

void TestKermitPeer::receivesFromGkermit()
{
    QFETCH(QByteArray, content);
    QTemporaryDir ours, theirs;
    QVERIFY(writeFile(theirs.filePath("got.bin"), content));
    const PeerRunResult run = kermitRun(QStringLiteral("gkermit -i -P -q -s got.bin"), theirs.path(), {}, ours.path());
    QVERIFY2(run.ok, qPrintable(run.summary + " / " + run.statuses.join(" | ")));
    QCOMPARE(run.peerExit, 0);
    QCOMPARE(entries(ours.path()), QStringList{"got.bin"});
    QVERIFY(readFile(ours.filePath("got.bin")) == content);
    QCOMPARE(run.statuses.last(), QStringLiteral("Kermit 接收完成（1 个文件）"));
}

void TestKermitPeer::severalFilesBothWays()
{
    QTemporaryDir a, b, c;
    const QStringList names{"one.txt", "two.bin", "empty", "three.dat"};
    QStringList paths;
    for (int i = 0; i < names.size(); ++i) {
        QVERIFY(writeFile(a.filePath(names[i]), names[i] == "empty" ? QByteArray() : randomBytes(3000 * i + 7, i)));
        paths << a.filePath(names[i]);
    }
    PeerRunResult run = kermitRun(QString::fromLatin1(kGkermitReceive), b.path(), paths);
    QVERIFY2(run.ok, qPrintable(run.summary));
    QCOMPARE(run.statuses.last(), QStringLiteral("Kermit 发送完成（4 个文件）"));
    QStringList sorted = names;
    sorted.sort();
    QCOMPARE(entries(b.path()), sorted);

    run = kermitRun(QStringLiteral("gkermit -i -P -q -s ") + names.join(' '), b.path(), {}, c.path());
    QVERIFY2(run.ok, qPrintable(run.summary));
    QCOMPARE(run.statuses.last(), QStringLiteral("Kermit 接收完成（4 个文件）"));
    QCOMPARE(entries(c.path()), sorted);
    for (const QString &name : names)
        QVERIFY2(readFile(c.filePath(name)) == readFile(a.filePath(name)), qPrintable(name));
}

// C-Kermit states the check type it wants: as sender in its Send-Init, as
// receiver in its ACK of ours.
void TestKermitPeer::ckermitEachCheckType_data()
{
    QTest::addColumn<int>("check");
    QTest::addColumn<bool>("weSend");
    for (const int check : {1, 2, 3}) {
        QTest::addRow("we receive, type %d", check) << check << false;
        QTest::addRow("we send, type %d", check) << check << true;
    }
}

void TestKermitPeer::ckermitEachCheckType()
{
    QFETCH(int, check);
    QFETCH(bool, weSend);
    QTemporaryDir a, b;
    const QByteArray content = allByteValues(20000) + randomBytes(5000, 7);
    QVERIFY(writeFile(a.filePath("ck.bin"), content));
    // Options given with -C come too late for the action options, so the
    // settings go through a command file.
    const QString script = QStringLiteral("set block-check %1\nset file names literal\nset file type binary\n"
                                          "set quiet on\nset delay 0\n%2\nexit\n")
                               .arg(check)
                               .arg(weSend ? QStringLiteral("receive") : QStringLiteral("send ck.bin"));
    const QString peerDir = weSend ? b.path() : a.path();
    QVERIFY(writeFile(peerDir + "/cmds.ksc", script.toLatin1()));
    // A check type that we did not take up would fail every data packet.
    const PeerRunResult run = weSend ? kermitRun("kermit cmds.ksc", b.path(), {a.filePath("ck.bin")})
                                     : kermitRun("kermit cmds.ksc", a.path(), {}, b.path());
    QVERIFY2(run.ok, qPrintable(run.summary + " / " + run.statuses.join(" | ")));
    QVERIFY(readFile(b.filePath("ck.bin")) == content);
}

// One transfer of `content` in either direction, with a hook that acts once
// the data has started to flow.
struct Bout {
    QTemporaryDir ours, theirs;
    PeerRunResult run;
    QString lastStatus;

    void go(bool weSend, const QByteArray &content, const Hook &act)
    {
        const QString name = QStringLiteral("data.bin");
        writeFile((weSend ? ours : theirs).filePath(name), content);
        bool acted = false;
        const Hook hook = [&](const QString &status, PeerRunControl &control) {
            lastStatus = status;
            const bool flowing = status.startsWith(QStringLiteral("发送进度：")) || status.startsWith(QStringLiteral("接收 "));
            if (flowing && !acted) {
                acted = true;
                act(status, control);
            }
        };
        const QString path = ours.filePath(name);
        run = weSend ? kermitRun(QString::fromLatin1(kGkermitReceive), theirs.path(), {path}, QString(), hook)
                     : kermitRun(QStringLiteral("gkermit -i -P -q -s data.bin"), theirs.path(), {}, ours.path(), hook);
    }
};

void addDirections()
{
    QTest::addColumn<bool>("weSend");
    QTest::newRow("we send") << true;
    QTest::newRow("we receive") << false;
}

void TestKermitPeer::cancelFromOurSide_data() { addDirections(); }

void TestKermitPeer::cancelFromOurSide()
{
    QFETCH(bool, weSend);
    Bout bout;
    // Cancelled from the status of a data packet, before the packet or its
    // ACK goes out: the error packet then is what the peer waits for.
    bout.go(weSend, randomBytes(512 * 1024, 3), [](const QString &, PeerRunControl &c) { c.cancel(); });
    QVERIFY(!bout.run.ok);
    QCOMPARE(bout.run.summary, QStringLiteral("Kermit 传输已被用户取消"));
    QVERIFY2(bout.run.peerExit > 0, qPrintable(QString::number(bout.run.peerExit)));
    if (weSend)
        QVERIFY(readFile(bout.theirs.filePath("data.bin")) != readFile(bout.ours.filePath("data.bin")));
    else
        QCOMPARE(entries(bout.ours.path()), QStringList{}); // no ".part" left behind
}

void TestKermitPeer::errorPacketFromPeer()
{
    // A folder where the file should go: the receiving peer cannot create it.
    QTemporaryDir ours, theirs;
    QVERIFY(writeFile(ours.filePath("blocked"), "x"));
    QVERIFY(QDir(theirs.path()).mkdir("blocked"));
    const PeerRunResult run = kermitRun(QString::fromLatin1(kGkermitReceive), theirs.path(), {ours.filePath("blocked")});
    QVERIFY(!run.ok);
    QVERIFY2(run.summary.startsWith(QStringLiteral("对端错误：")) && run.summary.size() > 5, qPrintable(run.summary));
}

void TestKermitPeer::peerStopsAnswering_data() { addDirections(); }

// A stopped peer: our clock is driven by hand, so the give-up comes without
// real waiting.
void TestKermitPeer::peerStopsAnswering()
{
    QFETCH(bool, weSend);
    Bout bout;
    // Sender: 11 periods of 8 s; receiver: 13 periods of 10 s.
    const QString endText = weSend ? QStringLiteral("对端持续无响应，中止") : QStringLiteral("接收超时，中止");
    int ticks = 0;
    bout.go(weSend, randomBytes(256 * 1024, 5), [&](const QString &, PeerRunControl &c) {
        c.signalPeer(SIGSTOP);
        QTimer::singleShot(0, [&] {
            while (bout.lastStatus != endText && ticks < 1000) {
                ++ticks;
                c.tick();
            }
            c.signalPeer(SIGKILL);
            c.signalPeer(SIGCONT);
        });
    });
    QVERIFY(!bout.run.ok);
    QCOMPARE(bout.run.summary, endText);
    QCOMPARE(ticks, weSend ? 88 : 130);
    if (!weSend)
        QCOMPARE(entries(bout.ours.path()), QStringList{});
}

QTEST_GUILESS_MAIN(TestKermitPeer)
#include "tst_kermitpeer.moc"
