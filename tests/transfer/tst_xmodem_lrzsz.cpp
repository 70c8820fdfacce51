// XMODEM and YMODEM against lrzsz (sx/rx, sb/rb), in the direction that
// HV_XFER_DIRECTION names ("send": we send, "receive": we receive).
//
// Our receiver meets sx/sb on a pseudo-terminal, as over a session. Our
// sender meets rx/rb on a pipe pair: on a terminal both flush their input
// right after each ACK and flush the line again when they exit, so a fast
// local sender loses blocks (recovered only by the 3-second resend) and,
// now and then, the very last ACK. That is lrzsz's behaviour on a pty, and
// lrzsz loses the same way against itself (see bench/xfer_peer --reference).

#include "tests/transfer/peertest.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace peertest;

namespace {

QByteArray contentOfSize(int size)
{
    QByteArray bytes(size, '\0');
    if (size == 40 * 1024) { // every byte value, many times over
        for (int i = 0; i < size; ++i)
            bytes[i] = char(i % 256);
        return bytes;
    }
    QRandomGenerator gen(quint32(size) * 7919u + 1);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(gen.bounded(256));
    return bytes;
}

// XMODEM has no length: the last block arrives padded with SUB up to a whole
// 128-byte block (the 1K sender also ends on a 128-byte boundary).
bool equalsPadded(const QByteArray &got, const QByteArray &sent)
{
    if (!got.startsWith(sent) || got.size() % 128 != 0 || got.size() - sent.size() >= 1024)
        return false;
    for (int i = sent.size(); i < got.size(); ++i) {
        if (got[i] != char(0x1A))
            return false;
    }
    return true;
}

int percentOf(const QString &status)
{
    if (!status.startsWith(QStringLiteral("进度：")))
        return -1;
    return status.mid(3).chopped(1).toInt();
}

} // namespace

class TestXmodemLrzsz : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        ::signal(SIGPIPE, SIG_IGN);
        for (const char *tool : {"sx", "rx", "sb", "rb"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QFAIL("lrzsz is not installed (see scripts/packages)");
        }
    }

    // Each size is carried by at least one XMODEM variant; the YMODEM batch
    // carries all of them at once. 300 KiB passes block number 255 in both
    // block sizes.
    void transfers_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<QString>("peerCommand"); // empty: the default lrzsz program
        const int big = 300 * 1024;
        QTest::newRow("xmodem checksum") << QStringLiteral("xmodem") << QList<int>{0, 1, 128, 40 * 1024} << QString();
        QTest::newRow("xmodem crc") << QStringLiteral("xmodem-crc") << QList<int>{127, 129, 1023, big} << QString();
        QTest::newRow("xmodem 1k") << QStringLiteral("xmodem-1k") << QList<int>{1024, 1025, big} << QString();
        // rb spends two seconds a file (it waits out a second EOT, then a
        // quiet second before asking for the next header): a shorter batch
        // when it receives.
        QTest::newRow("ymodem batch")
            << QStringLiteral("ymodem")
            << (weSend() ? QList<int>{0, 129, 1024, 40 * 1024, big}
                         : QList<int>{0, 1, 127, 128, 129, 1023, 1024, 1025, 40 * 1024, big})
            << QString();
        // sb without -k sends 128-byte blocks, which our receiver takes too.
        if (!weSend())
            QTest::newRow("ymodem 128-byte blocks")
                << QStringLiteral("ymodem") << QList<int>{129, 40 * 1024} << QStringLiteral("sb -q");
    }
    void transfers()
    {
        QFETCH(QString, protocol);
        QFETCH(QList<int>, sizes);
        QFETCH(QString, peerCommand);
        const bool ymodem = protocol == QLatin1String("ymodem");
        if (ymodem) {
            Folders f;
            QStringList files;
            for (int size : sizes)
                files << makeFile(f.source, QStringLiteral("file%1.bin").arg(size), contentOfSize(size));
            PeerRunPlan plan = f.plan(protocol, files, weSend() ? PeerLink::Pipe : PeerLink::Pty);
            if (!peerCommand.isEmpty())
                plan.peerCommand = peerCommand + QLatin1Char(' ') + files.join(QLatin1Char(' '));
            const PeerRunResult r = runAgainstPeer(plan);
            QVERIFY2(r.ok, qPrintable(r.summary + QLatin1Char(' ') + r.peerStderr));
            for (int size : sizes) {
                const QString name = QStringLiteral("file%1.bin").arg(size);
                QCOMPARE(readAll(f.target + QLatin1Char('/') + name), contentOfSize(size));
            }
            QCOMPARE(QDir(f.target).entryList(QDir::Files).size(), sizes.size()); // no ".part" left
            return;
        }
        for (int size : sizes) {
            Folders f;
            const QByteArray content = contentOfSize(size);
            const QString file = makeFile(f.source, QStringLiteral("x.bin"), content);
            const PeerRunResult r = runAgainstPeer(f.plan(protocol, {file}, weSend() ? PeerLink::Pipe : PeerLink::Pty));
            QVERIFY2(r.ok, qPrintable(QStringLiteral("%1 bytes: %2 %3").arg(size).arg(r.summary, r.peerStderr)));
            const QByteArray got = readAll(f.target + QStringLiteral("/x.bin"));
            QVERIFY2(equalsPadded(got, content), qPrintable(QStringLiteral("%1 bytes: got %2").arg(size).arg(got.size())));
            QCOMPARE(QDir(f.target).entryList(QDir::Files), QStringList{QStringLiteral("x.bin")});
        }
    }

    // Mid-transfer, one side gives up or falls silent.
    void interruptions_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("summary");
        QTest::newRow("we cancel") << QStringLiteral("cancel") << QStringLiteral("传输已被用户取消");
        QTest::newRow("lrzsz is interrupted") << QStringLiteral("interrupt") << QStringLiteral("对端取消传输 (CAN)");
        QTest::newRow("lrzsz stops answering") << QStringLiteral("stop")
                                               << (weSend() ? QStringLiteral("对端持续无响应，中止")
                                                            : QStringLiteral("接收超时，中止"));
    }
    void interruptions()
    {
        QFETCH(QString, action);
        QFETCH(QString, summary);
        Folders f;
        const QString file = makeFile(f.source, QStringLiteral("long.bin"), contentOfSize(2 * 1024 * 1024));
        // Our receiver knows the size only from a YMODEM header, so its
        // progress (the trigger here) needs YMODEM; the sender uses 1K XMODEM.
        PeerRunPlan plan = f.plan(weSend() ? QStringLiteral("xmodem-1k") : QStringLiteral("ymodem"), {file}, PeerLink::Pipe);
        // (A pipe: on a pty an interrupted lrzsz flushes the line as it
        // exits, and the CAN bytes it has just written may go with it.)
        bool acted = false;
        const PeerRunResult r = runAgainstPeer(plan, [&](const QString &status, PeerRunControl &control) {
            if (acted || percentOf(status) < 30)
                return;
            acted = true;
            PeerRunControl *c = &control;
            QTimer::singleShot(0, [c, action] {
                if (action == QLatin1String("cancel")) {
                    c->cancel();
                } else if (action == QLatin1String("interrupt")) {
                    c->signalPeer(SIGTERM);
                } else {
                    c->signalPeer(SIGSTOP);
                    for (int i = 0; i < 40; ++i) // forty silent seconds
                        c->tick();
                    c->signalPeer(SIGKILL);
                }
            });
        });
        QVERIFY(acted);
        QVERIFY(!r.transferOk);
        // sb, interrupted on a loaded machine, now and then ends without its
        // CAN bytes; the run then cancels once the peer is gone.
        const bool alsoAccepted = !weSend() && action == QLatin1String("interrupt")
                                  && r.summary == QStringLiteral("传输已被用户取消");
        QVERIFY2(r.summary == summary || alsoAccepted,
                 qPrintable(r.statuses.mid(r.statuses.size() - 3).join(QLatin1Char('|'))));
        QVERIFY(r.peerExit != 0);
        if (!weSend()) // nothing half-received is left behind
            QCOMPARE(QDir(f.target).entryList(QDir::Files), QStringList());
    }

    // sb sends a name we must not use: refused, nothing written.
    void hostileNameFromSb()
    {
        if (weSend())
            QSKIP("receiving only");
        Folders f;
        const QString file = makeFile(f.source, QStringLiteral("evil\x1b]0;pwned\x07.txt"), "payload");
        const PeerRunResult r = runAgainstPeer(f.plan(QStringLiteral("ymodem"), {file}, PeerLink::Pty));
        QVERIFY(!r.transferOk);
        QCOMPARE(r.summary, QStringLiteral("Ymodem 文件名非法"));
        QCOMPARE(f.targetEntries(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestXmodemLrzsz)
#include "tst_xmodem_lrzsz.moc"
