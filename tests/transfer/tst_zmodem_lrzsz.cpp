// ZMODEM against lrzsz: our sender to rz, or sz to our receiver, as
// HV_XFER_DIRECTION says ("send" or "receive"), over a pty and a pipe pair.

#include "tests/transfer/peertest.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace peertest;

namespace {

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    gen.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    for (int i = size / 4 * 4; i < size; ++i)
        bytes[i] = char(gen.bounded(256));
    return bytes;
}

// Only the bytes that ZMODEM escapes somewhere, CR after '@' among them.
QByteArray escapedBytes()
{
    const QByteArray set = QByteArray::fromHex("101113187f8d90919398ff");
    QByteArray bytes;
    for (int round = 0; round < 300; ++round) {
        bytes += set;
        bytes += "@\r@\x8d";
    }
    return bytes;
}

int percentOf(const QString &status)
{
    static const QRegularExpression re(QStringLiteral("进度：(\\d+)%$|：(\\d+)%$"));
    const QRegularExpressionMatch m = re.match(status);
    if (!m.hasMatch())
        return -1;
    return (m.captured(1).isEmpty() ? m.captured(2) : m.captured(1)).toInt();
}

} // namespace

Q_DECLARE_METATYPE(PeerLink)

class TestZmodemLrzsz : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        ::signal(SIGPIPE, SIG_IGN);
        for (const char *tool : {"sz", "rz"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QFAIL("lrzsz is not installed (see scripts/packages)");
        }
    }

    // One batch carries every size of interest and a file of nothing but
    // bytes that need escaping.
    void batch_data()
    {
        QTest::addColumn<PeerLink>("link");
        QTest::newRow("pty") << PeerLink::Pty;
        QTest::newRow("pipe") << PeerLink::Pipe;
    }
    void batch()
    {
        QFETCH(PeerLink, link);
        Folders f;
        QList<QPair<QString, QByteArray>> contents;
        for (int size : {0, 1, 1024, 1025, 65536, 65537, 4 * 1024 * 1024})
            contents.append({QStringLiteral("size%1.bin").arg(size), randomBytes(size, quint32(size) + 1)});
        contents.append({QStringLiteral("escapes.bin"), escapedBytes()});
        QStringList files;
        for (const auto &c : contents)
            files << makeFile(f.source, c.first, c.second);
        const PeerRunResult r = runAgainstPeer(f.plan(QStringLiteral("zmodem"), files, link));
        QVERIFY2(r.ok, qPrintable(r.summary + QLatin1Char(' ') + r.peerStderr));
        for (const auto &c : contents)
            QVERIFY2(readAll(f.target + QLatin1Char('/') + c.first) == c.second, qPrintable(c.first));
        QCOMPARE(QDir(f.target).entryList(QDir::Files).size(), contents.size()); // no ".part" left
        if (!weSend())
            QCOMPARE(r.statuses.last(), QStringLiteral("Zmodem 接收完成（共 %1 个文件）").arg(contents.size()));
    }

    void interruptions_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("summary");
        QTest::newRow("we cancel") << QStringLiteral("cancel") << QStringLiteral("Zmodem 传输已被用户取消");
        QTest::newRow("lrzsz is interrupted") << QStringLiteral("interrupt") << QStringLiteral("对端取消传输 (CAN)");
        QTest::newRow("lrzsz stops answering") << QStringLiteral("stop")
                                               << (weSend() ? QStringLiteral("对端持续未确认（ZACK），中止")
                                                            : QStringLiteral("接收超时，中止"));
    }
    void interruptions()
    {
        QFETCH(QString, action);
        QFETCH(QString, summary);
        Folders f;
        const QString file = makeFile(f.source, QStringLiteral("long.bin"), randomBytes(8 * 1024 * 1024, 7));
        // On a pty an interrupted lrzsz flushes the line as it exits, and the
        // CAN bytes it has just written may go with it.
        const PeerRunPlan plan = f.plan(QStringLiteral("zmodem"), {file}, PeerLink::Pipe);
        // Acting from inside the status report, before more bytes are taken
        // in: a receiver is stopped once the file is offered (a sender has
        // streamed all of it into the link long before a deferred action),
        // a sender at 30 %, where it waits for each window's ZACK.
        const auto due = [](const QString &status) {
            return weSend() ? percentOf(status) >= 30 : status.startsWith(QStringLiteral("开始接收"));
        };
        bool acted = false;
        const PeerRunResult r = runAgainstPeer(plan, [&](const QString &status, PeerRunControl &control) {
            if (acted || !due(status))
                return;
            acted = true;
            if (action == QLatin1String("cancel")) {
                control.cancel();
            } else if (action == QLatin1String("interrupt")) {
                control.signalPeer(SIGTERM);
            } else {
                control.signalPeer(SIGSTOP);
                PeerRunControl *c = &control;
                QTimer::singleShot(0, [c] {
                    for (int i = 0; i < 120; ++i) // two silent minutes
                        c->tick();
                    c->signalPeer(SIGKILL);
                });
            }
        });
        QVERIFY(acted);
        QVERIFY(!r.transferOk);
        // lrzsz, interrupted on a loaded machine, now and then dies without
        // its CAN bytes; the run then cancels once the peer is gone.
        const bool alsoAccepted = action == QLatin1String("interrupt")
                                  && r.summary == QStringLiteral("Zmodem 传输已被用户取消");
        QVERIFY2(r.summary == summary || alsoAccepted,
                 qPrintable(r.statuses.mid(r.statuses.size() - 3).join(QLatin1Char('|'))));
        QVERIFY(r.peerExit != 0);
        if (!weSend()) // nothing half-received is left behind
            QCOMPARE(QDir(f.target).entryList(QDir::Files).join(QLatin1Char(' ')), QString());
    }

    // sz offers a name with its folders (-f) and one with an escape
    // sequence: the first lands under its own name, the second is skipped.
    void hostileNamesFromSz()
    {
        if (weSend())
            QSKIP("receiving only");
        Folders f;
        const QString plain = makeFile(f.source, QStringLiteral("plain.txt"), "plain");
        const QString evil = makeFile(f.source, QStringLiteral("evil\x1b[2J.txt"), "evil");
        PeerRunPlan plan = f.plan(QStringLiteral("zmodem"), {plain, evil}, PeerLink::Pty);
        plan.peerCommand = QStringLiteral("sz -q -f '%1' '%2'").arg(plain, evil);
        const PeerRunResult r = runAgainstPeer(plan);
        QVERIFY2(r.ok, qPrintable(r.summary + QLatin1Char(' ') + r.peerStderr));
        QCOMPARE(f.targetEntries(),
                 QStringList{QStringLiteral("plain.txt")});
        QCOMPARE(readAll(f.target + QStringLiteral("/plain.txt")), QByteArray("plain"));
    }
};

QTEST_GUILESS_MAIN(TestZmodemLrzsz)
#include "tst_zmodem_lrzsz.moc"
