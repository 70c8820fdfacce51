// Our transfer objects against real peer programs: lrzsz (sx/rx, sb/rb,
// sz/rz), gkermit and C-Kermit, driven through the one transfer interface.
// HV_PEERS ("zmodem_send", "kermit_receive", ...) keeps the rows of one
// protocol family and direction, so that CTest runs the groups side by side.
//
// Our XMODEM sender meets rx/rb on a pipe pair: on a terminal both flush
// their input right after each ACK and again when they exit, so a fast
// local sender loses blocks and, now and then, the last ACK (lrzsz loses
// the same way against itself: xfer_peer --reference).

#include "tests/support/peerrun.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

Q_DECLARE_METATYPE(PeerLink)

namespace {

QString family(const QString &protocol)
{
    return protocol.startsWith(QLatin1String("xmodem")) || protocol == QLatin1String("ymodem")
               ? QStringLiteral("xmodem")
               : protocol;
}

bool selected(const QString &protocol, bool send)
{
    const QString only = qEnvironmentVariable("HV_PEERS");
    return only.isEmpty()
           || only == family(protocol) + (send ? QLatin1String("_send") : QLatin1String("_receive"));
}

QString rowName(const QString &protocol, bool send, const QString &what)
{
    return QStringLiteral("%1 %2 %3").arg(protocol, send ? QStringLiteral("send") : QStringLiteral("receive"), what);
}

// A file's content from a short spec: a size (random bytes seeded by it),
// "all:N" (every byte value in turn), "escapes" (only bytes that ZMODEM and
// Kermit must escape, CR after '@' among them) or "crlf" (text lines).
QByteArray content(const QString &spec)
{
    if (spec == QLatin1String("escapes"))
        return (QByteArray::fromHex("101113187f8d90919398ff") + "@\r@\x8d#~").repeated(300);
    if (spec == QLatin1String("crlf"))
        return QByteArray("line one\r\nline two # with prefix\r\n\r\nend\r\n").repeated(50);
    const bool all = spec.startsWith(QLatin1String("all:"));
    const int size = spec.mid(all ? 4 : 0).toInt();
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(quint32(size) * 7919u + 1);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(all ? i & 0xFF : int(gen.bounded(256)));
    return bytes;
}

QString writeFile(const QString &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// XMODEM carries no length: the last block arrives padded with SUB up to a
// whole 128-byte block (the 1K sender also ends on a 128-byte boundary).
bool equalsPadded(const QByteArray &got, const QByteArray &sent)
{
    if (!got.startsWith(sent) || got.size() % 128 != 0 || got.size() - sent.size() >= 1024)
        return false;
    return got.mid(sent.size()).count(char(0x1A)) == got.size() - sent.size();
}

// A folder of files to send and the folder that the receiving side (ours
// or the peer) writes into.
struct Bench {
    QTemporaryDir root;
    QString source = root.filePath(QStringLiteral("source"));
    QString target = root.filePath(QStringLiteral("target"));
    Bench()
    {
        QDir(root.path()).mkdir(QStringLiteral("source"));
        QDir(root.path()).mkdir(QStringLiteral("target"));
    }
    QStringList targetEntries() const
    {
        return QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    }
    PeerRunPlan plan(const QString &protocol, bool send, const QStringList &files, PeerLink link) const
    {
        PeerRunPlan p;
        p.protocol = protocol;
        p.send = send;
        p.files = files;
        p.receiveDir = target;
        p.peerDir = send ? target : source;
        p.link = link;
        return p;
    }
};

} // namespace

class TestTransferPeers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        ::signal(SIGPIPE, SIG_IGN);
        QStringList missing;
        for (const char *tool : {"sx", "rx", "sb", "rb", "sz", "rz", "gkermit", "kermit"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                missing << QLatin1String(tool);
        }
        if (!missing.isEmpty())
            QFAIL(qPrintable(QStringLiteral("peer programs missing (see scripts/packages): ") + missing.join(' ')));
    }

    // Every content of interest in each direction. XMODEM carries one file
    // a run, so each content is a run of its own; the batch protocols carry
    // them all at once. 300 KiB passes block number 255 in both block sizes.
    void transfers_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<bool>("send");
        QTest::addColumn<PeerLink>("link");
        QTest::addColumn<QStringList>("contents");
        QTest::addColumn<QString>("peerCommand"); // empty: the default; %1 the files
        QTest::addColumn<QString>("lastStatus");
        const QString xDone = QStringLiteral("传输完成");
        const QStringList zContents{"0", "1", "1024", "1025", "65536", "65537", "escapes", "4194304"};
        const QStringList kContents{"0", "1", "94", "95", "crlf", "escapes", "all:65536", "1048576"};
        const auto add = [](const QString &protocol, bool send, PeerLink link, const QString &what,
                            const QStringList &contents, const QString &peerCommand, const QString &lastStatus) {
            if (selected(protocol, send))
                QTest::newRow(qPrintable(rowName(protocol, send, what)))
                    << protocol << send << link << contents << peerCommand << lastStatus;
        };
        for (const bool send : {true, false}) {
            const PeerLink xLink = send ? PeerLink::Pipe : PeerLink::Pty; // see the top of this file
            add("xmodem", send, xLink, "checksum", {"0", "1", "128", "all:40960"}, {}, xDone);
            add("xmodem-crc", send, xLink, "crc", {"127", "129", "1023", "307200"}, {}, xDone);
            add("xmodem-1k", send, xLink, "1k", {"1024", "1025", "307200"}, {}, xDone);
            for (const PeerLink link : {PeerLink::Pty, PeerLink::Pipe})
                add("zmodem", send, link, link == PeerLink::Pty ? "pty" : "pipe", zContents, {},
                    QStringLiteral("Zmodem %1完成（共 8 个文件）").arg(send ? "发送" : "接收"));
            add("kermit", send, PeerLink::Pty, "batch", kContents, {},
                QStringLiteral("Kermit %1完成（8 个文件）").arg(send ? "发送" : "接收"));
        }
        add("ymodem", true, PeerLink::Pipe, "batch", {"0", "129", "1024", "all:40960", "307200"}, {}, xDone);
        add("ymodem", false, PeerLink::Pty, "batch",
            {"0", "1", "127", "128", "129", "1023", "1024", "1025", "all:40960", "307200"}, {}, xDone);
        // sb without -k sends 128-byte blocks, which our receiver takes too.
        add("ymodem", false, PeerLink::Pty, "128-byte blocks", {"129", "all:40960"}, "sb -q %1", xDone);
    }
    void transfers()
    {
        QFETCH(QString, protocol);
        QFETCH(bool, send);
        QFETCH(PeerLink, link);
        QFETCH(QStringList, contents);
        QFETCH(QString, peerCommand);
        QFETCH(QString, lastStatus);
        const bool oneFileARun = protocol.startsWith(QLatin1String("xmodem"));
        for (int first = 0; first < contents.size(); first += oneFileARun ? 1 : int(contents.size())) {
            const QStringList specs = oneFileARun ? contents.mid(first, 1) : contents;
            Bench b;
            QStringList files, names;
            for (int i = 0; i < specs.size(); ++i) {
                names << QStringLiteral("f%1.bin").arg(i);
                files << writeFile(b.source, names.last(), content(specs[i]));
            }
            PeerRunPlan plan = b.plan(protocol, send, files, link);
            if (!peerCommand.isEmpty())
                plan.peerCommand = peerCommand.arg(files.join(QLatin1Char(' ')));
            const PeerRunResult r = runAgainstPeer(plan);
            const QString what = specs.join(QLatin1Char(','));
            QVERIFY2(r.ok, qPrintable(what + QLatin1String(": ") + r.summary + QLatin1Char(' ') + r.peerStderr));
            QCOMPARE(r.outcome, InbandTransfer::Succeeded);
            QCOMPARE(r.statuses.last(), lastStatus);
            names.sort();
            QCOMPARE(b.targetEntries(), names); // nothing else, no ".part" left
            for (int i = 0; i < specs.size(); ++i) {
                const QByteArray got = readFile(b.target + QStringLiteral("/f%1.bin").arg(i));
                const QByteArray sent = content(specs[i]);
                QVERIFY2(oneFileARun ? equalsPadded(got, sent) : got == sent,
                         qPrintable(QStringLiteral("%1: %2 bytes, got %3").arg(specs[i]).arg(sent.size()).arg(got.size())));
            }
            // The last progress report of a sender names the whole last file
            // (XMODEM reports none for a file of one block).
            if (send && content(specs.last()).size() > 1024)
                QCOMPARE(r.progressBytes, qint64(content(specs.last()).size()));
        }
    }

    // Mid-transfer, one side gives up: we cancel, the peer program is
    // interrupted (it says so before it goes) or killed (it just goes). The
    // peer is stopped while it waits for our next packet, so its last words
    // never land inside a packet of its own.
    void interruptions_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<bool>("send");
        QTest::addColumn<QString>("action");
        QTest::addColumn<InbandTransfer::Outcome>("outcome");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<int>("ticks"); // after the peer is gone; -1: not checked
        struct Family {
            QString protocol, cancelText, peerCancel, sendSilence, receiveSilence;
            int sendTicks, receiveTicks;
        };
        const Family families[] = {
            {"xmodem-1k", "传输已被用户取消", "对端取消传输 (CAN)", "对端持续无响应，中止", "接收超时，中止", 33, 33},
            {"zmodem", "Zmodem 传输已被用户取消", "对端取消传输 (CAN)", "对端持续未确认（ZACK），中止",
             "接收超时，中止", 110, 110},
            // gkermit goes without a word when interrupted. The Kermit
            // receiver's clock runs from the Send-Init on, not from the last
            // packet: how much of it is left depends on when the peer went.
            {"kermit", "Kermit 传输已被用户取消", QString(), "对端持续无响应，中止", "接收超时，中止", 88, -1},
        };
        for (const Family &f : families) {
            for (const bool send : {true, false}) {
                // Our XMODEM receiver knows the size only from a YMODEM header.
                const QString protocol = f.protocol == QLatin1String("xmodem-1k") && !send ? "ymodem" : f.protocol;
                if (!selected(protocol, send))
                    continue;
                const QString silence = send ? f.sendSilence : f.receiveSilence;
                QTest::newRow(qPrintable(rowName(protocol, send, "we cancel")))
                    << protocol << send << "cancel" << InbandTransfer::Cancelled << f.cancelText << -1;
                if (!f.peerCancel.isEmpty())
                    QTest::newRow(qPrintable(rowName(protocol, send, "peer interrupted")))
                        << protocol << send << "interrupt" << InbandTransfer::Failed << f.peerCancel << -1;
                QTest::newRow(qPrintable(rowName(protocol, send, "peer killed")))
                    << protocol << send << "kill" << InbandTransfer::Failed << silence
                    << (send ? f.sendTicks : f.receiveTicks);
            }
        }
    }
    void interruptions()
    {
        QFETCH(QString, protocol);
        QFETCH(bool, send);
        QFETCH(QString, action);
        QFETCH(InbandTransfer::Outcome, outcome);
        QFETCH(QString, summary);
        QFETCH(int, ticks);
        Bench b;
        const QString file = writeFile(b.source, QStringLiteral("long.bin"), content(QStringLiteral("4194304")));
        // On a pty an interrupted lrzsz flushes the line as it exits, and the
        // CAN bytes it has just written may go with it.
        const PeerLink link = family(protocol) == QLatin1String("kermit") ? PeerLink::Pty : PeerLink::Pipe;
        // Data flows: the first progress of a sender, a receiver's first file.
        static const QRegularExpression flowing(QStringLiteral("^开始接收|进度："));
        bool acted = false;
        const PeerRunResult r = runAgainstPeer(b.plan(protocol, send, {file}, link),
                                               [&](const QString &status, PeerRunControl &c) {
            if (acted || !flowing.match(status).hasMatch())
                return;
            acted = true;
            if (action == QLatin1String("cancel")) // as a key typed between two events
                QTimer::singleShot(0, c.cancel);
            else
                c.freeze([&c, action] { c.signalPeer(action == QLatin1String("kill") ? SIGKILL : SIGTERM); });
        });
        QVERIFY(acted);
        QCOMPARE(r.outcome, outcome);
        QVERIFY2(summary.endsWith(QStringLiteral("：")) ? r.summary.startsWith(summary) : r.summary == summary,
                 qPrintable(r.summary + QLatin1String(" | ") + r.statuses.mid(r.statuses.size() - 3).join('|')));
        if (ticks >= 0)
            QCOMPARE(r.ticksAfterPeerEnded, ticks);
        QVERIFY(r.peerExit != 0);
        if (!send) // nothing half-received is left behind
            QCOMPARE(b.targetEntries(), QStringList());
    }

    // A peer that offers names we must not use, or cannot take our file.
    void refusals_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<bool>("send");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("peerCommand"); // %1 the files
        QTest::addColumn<QString>("summary");     // empty: success
        QTest::addColumn<QStringList>("received");
        const QString evil = QStringLiteral("evil\x1b]0;pwned\x07.txt");
        if (selected("ymodem", false))
            QTest::newRow("ymodem receive escape in name")
                << "ymodem" << false << QStringList{evil} << "sb -q %1" << "Ymodem 文件名非法" << QStringList();
        // sz offers one name with its folders (-f): it lands under its own
        // name; the one with an escape sequence is skipped.
        if (selected("zmodem", false))
            QTest::newRow("zmodem receive folders and escape in names")
                << "zmodem" << false << QStringList{"plain.txt", evil} << "sz -q -f %1" << QString()
                << QStringList{"plain.txt"};
        if (selected("kermit", false))
            QTest::newRow("kermit receive escape in name")
                << "kermit" << false << QStringList{evil} << "gkermit -i -P -q -s %1" << "Kermit 文件名非法"
                << QStringList();
        // A folder where the file should go: the receiving peer cannot create
        // it and says so.
        if (selected("kermit", true))
            QTest::newRow("kermit send, peer cannot create")
                << "kermit" << true << QStringList{"blocked"} << "mkdir blocked && gkermit -i -P -q -r" << "对端错误："
                << QStringList{"blocked"};
    }
    void refusals()
    {
        if (!QTest::currentDataTag())
            return; // no row of this group
        QFETCH(QString, protocol);
        QFETCH(bool, send);
        QFETCH(QStringList, names);
        QFETCH(QString, peerCommand);
        QFETCH(QString, summary);
        QFETCH(QStringList, received);
        Bench b;
        QStringList files;
        for (const QString &name : names)
            files << writeFile(b.source, name, name.toUtf8());
        PeerRunPlan plan = b.plan(protocol, send, files, PeerLink::Pty);
        plan.peerCommand = peerCommand;
        if (peerCommand.contains(QLatin1String("%1")))
            plan.peerCommand = peerCommand.arg(QLatin1Char('\'') + files.join(QLatin1String("' '")) + QLatin1Char('\''));
        const PeerRunResult r = runAgainstPeer(plan);
        QVERIFY2(summary.isEmpty() ? r.transferOk : !r.transferOk && r.summary.startsWith(summary), qPrintable(r.summary));
        QCOMPARE(b.targetEntries(), received);
        if (!send && !received.isEmpty())
            QCOMPARE(readFile(b.target + QLatin1Char('/') + received.first()), received.first().toUtf8());
    }

    // C-Kermit states the check type it wants: as sender in its Send-Init,
    // as receiver in its ACK of ours. One that we did not take up would fail
    // every data packet.
    void kermitCheckTypes_data()
    {
        QTest::addColumn<int>("check");
        QTest::addColumn<bool>("send");
        for (const bool send : {true, false}) {
            for (const int check : {1, 2, 3}) {
                if (selected("kermit", send))
                    QTest::addRow("%s, type %d", send ? "we send" : "we receive", check) << check << send;
            }
        }
    }
    void kermitCheckTypes()
    {
        if (!QTest::currentDataTag())
            return; // no row of this group
        QFETCH(int, check);
        QFETCH(bool, send);
        Bench b;
        const QByteArray bytes = content(QStringLiteral("all:20000")) + content(QStringLiteral("5000"));
        const QString file = writeFile(b.source, QStringLiteral("ck.bin"), bytes);
        // Options given with -C come too late for the action options, so the
        // settings go through a command file.
        writeFile(send ? b.target : b.source, QStringLiteral("cmds.ksc"),
                  QStringLiteral("set block-check %1\nset file names literal\nset file type binary\n"
                                 "set quiet on\nset delay 0\n%2\nexit\n")
                      .arg(check)
                      .arg(send ? QStringLiteral("receive") : QStringLiteral("send ck.bin"))
                      .toLatin1());
        PeerRunPlan plan = b.plan(QStringLiteral("kermit"), send, {file}, PeerLink::Pty);
        plan.peerCommand = QStringLiteral("kermit cmds.ksc");
        const PeerRunResult r = runAgainstPeer(plan);
        QVERIFY2(r.ok, qPrintable(r.summary + QLatin1String(" / ") + r.statuses.join(QLatin1String(" | "))));
        QVERIFY(readFile(b.target + QStringLiteral("/ck.bin")) == bytes);
    }
};

QTEST_GUILESS_MAIN(TestTransferPeers)
#include "tst_transferpeers.moc"
