// An open session's life without a window: a fake connection and a fake
// view for the session alone, the real terminal area for the hub.
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionlogger.h"
#include "core/sessionstore.h"
#include "dialogs/sshcredentialsdialog.h"
#include "mainwindow/opensession.h"
#include "mainwindow/sessioncommands.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/sessionroad.h"
#include "mainwindow/sessiontree.h"
#include "mainwindow/sftpactions.h"
#include "mainwindow/sshsignin.h"
#include "platform/dataprotection.h"
#include "sftp/widgets/sftpdialog.h"
#include "platform/pty.h"
#include "terminal/terminalengine.h"
#include "transfer/zmodemtransfer.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"
#include "tests/support/checktable.h"
#include "transfer/xmodemtransfer.h"
#include "tests/support/testfiles.h"
#include "sessionrig.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QRegularExpression>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The texts of the store's messages shown so far, each closed, sorted (top-level
// widgets come in no particular order).
QStringList storeMessages()
{
    QCoreApplication::processEvents();
    QStringList texts;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            texts << box->text(), box->close();
    texts.sort();
    return texts;
}

// Answers the next credentials prompt, ticking "remember" or not.
void answerCredentials(const QString &user, bool remember, QString *offered = nullptr)
{
    QTimer::singleShot(0, [=] {
        auto *d = qobject_cast<SshCredentialsDialog *>(QApplication::activeModalWidget());
        QVERIFY(d);
        auto *userEdit = d->findChild<QLineEdit *>(QStringLiteral("userEdit"));
        if (offered)
            *offered = userEdit->text();
        userEdit->setText(user);
        d->findChild<QLineEdit *>(QStringLiteral("passwordEdit"))->setText(QStringLiteral("pw"));
        d->findChild<QCheckBox *>()->setChecked(remember);
        d->accept();
    });
}
} // namespace

class TestOpenSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LanguageManager::setLanguage(QStringLiteral("en")); }

    // Each row is a fault a change of this layer could bring back; `check`
    // plays it on a fresh rig and answers what it saw.
    void lifecycle_data()
    {
        CheckTable<Rig>::columns();
        const auto row = CheckTable<Rig>::row;
        row("close cancels the transfer", [](Rig &r) {
            r.runTransfer(true);
            r.session.close();
            return QString::number(r.transfer.isActive());
        }, "0");
        row("close stops capture, logger and connection", [](Rig &r) {
            QPointer<SessionLogger> logger = r.log();
            r.session.startCapture(r.dir.filePath("cap"));
            r.receive("kept");
            r.session.close();
            r.receive("late");
            settle();
            return QStringLiteral("%1 %2 %3 %4").arg(r.session.isCapturing()).arg(!logger).arg(FakeConnection::alive)
                .arg(QString::fromLatin1(readFile(r.dir.filePath("cap"))));
        }, "0 1 0 kept");
        row("device reply kept out of a transfer, keys reach the host until its peer starts", [](Rig &r) {
            emit r.conn->connected();
            r.runTransfer(true);
            r.session.reply("\x1b[0n");
            r.session.type("sz f\r");
            r.receive("START");
            r.session.type("late");
            return QString::fromLatin1(r.conn->written);
        }, "sz f\r");
        row("ESC in typing cancels, nothing sent", [](Rig &r) {
            r.runTransfer(false);
            r.session.type("a");
            r.session.type("\x1b");
            return QString::number(r.transfer.isActive()) + QString::fromLatin1(r.conn->written);
        }, "0");
        row("Esc pressed twice: the second goes with the stop it came to make, one later reaches the host", [](Rig &r) {
            emit r.conn->connected();
            r.runTransfer(true);
            r.session.type("\x1b");
            r.session.type("\x1b"); // the run ended at the first
            r.session.type("\x1b" "b"); // Alt+B, no stop key
            r.runTransfer(true);
            r.session.type("\x03");
            QTest::qWait(OpenSession::kStopKeyRepeatMs + 100);
            r.session.type("\x1b");
            return QString::number(r.transfer.isActive()) + QString::fromLatin1(r.conn->written.toHex());
        }, "01b621b");
        row("arrows and a bracketed paste reach the host while the peer is awaited", [](Rig &r) {
            r.runTransfer(true);
            for (const char *keys : {"\x1b[A", "\x1b[200~ls\x1b[201~", "\x1bOP"})
                r.session.type(keys);
            return QString::number(r.transfer.isActive()) + QString::fromLatin1(r.conn->written);
        }, "1\x1b[A\x1b[200~ls\x1b[201~\x1bOP");
        row("a typed line holds the transfer's polls until it is sent", [](Rig &r) {
            r.runTransfer(true);
            for (const char *keys : {"s", "z", "\x7f", "z f\r", "\r", "x\ry"})
                r.session.type(keys);
            return QString::fromLatin1(r.transfer.fed);
        }, "<open><ask><open><ask><open>");
        row("a cancel leaves the line as typed; a new receive polls at once after a run that ended with it open", [](Rig &r) {
            XmodemTransfer x;
            x.setManualClock(true);
            QByteArray runs;
            for (const QByteArray keys : {"s\x1b", "\x1b"}) {
                r.session.handOver(&x, true);
                x.startReceive([&r](const QByteArray &b) { r.session.sendUnlogged(b); }, r.session.id(),
                               r.dir.filePath("x"), XmodemTransfer::Xmodem);
                for (const char key : keys)
                    r.session.type(QByteArray(1, key));
                runs += std::exchange(r.conn->written, {}) + '|';
            }
            return QString::fromLatin1(runs);
        }, "C\x15s|C\x15\x18\x18\x18\x18\x15|"); // four CANs: a YMODEM sender waiting for its poll stops on four
        row("a key the transfer swallows goes quietly, a command it refuses is said", [](Rig &r) {
            r.runTransfer(true);
            r.receive("START");
            r.session.type("x");
            const QStringList quiet = r.view.lines;
            const bool sent = r.session.input("ls\r");
            return QStringLiteral("%1 %2 %3|%4").arg(quiet.size()).arg(sent).arg(QString::fromLatin1(r.conn->written),
                                                                                r.view.lines.join('|'));
        }, "0 0 |<span style='color:#ff6b6b'>⚠ A transfer is in progress; the text was not sent</span>");
        row("the tail of a line the run's end cut is swallowed up to its end, unless a pause, a stop or a paste came between", [](Rig &r) {
            const auto typed = [&r](const QByteArray &keys) {
                for (const char key : keys)
                    r.session.type(QByteArray(1, key));
            };
            r.runTransfer(true);
            r.receive("START");
            typed("touch ans");
            r.receive("END");
            typed("wered\r" "ls\r");
            r.runTransfer(true);
            r.receive("START");
            typed("a");
            r.receive("GONE");
            QTest::qWait(OpenSession::kCutLineKeyGapMs + 200);
            typed("b");
            r.runTransfer(true);
            r.receive("START");
            typed("a\x1b" "c");
            r.runTransfer(true);
            r.receive("START");
            typed("a");
            r.receive("END");
            r.session.type("\x1b[200~p\x1b[201~");
            return QString::fromLatin1(r.conn->written);
        }, "ls\rbc\x1b[200~p\x1b[201~");
        // Keys typed one at a time while the run holds the stream, then, after
        // its end, the pieces of `after` ('|' between), each one key event.
        struct CutLine {
            const char *tag, *during, *after, *expected;
        };
        for (const CutLine &cut : {
                 CutLine{"a cut line: Ctrl+C after the end is the shell's, and the line after it goes", "ls -", "l|\x03|pwd|\r",
                         "\x03pwd\r"},
                 CutLine{"a cut line: its end as CR LF in one piece goes whole", "touch ans", "wered|\r\n|ls|\r", "ls\r"},
                 CutLine{"a cut line: its tail and the next line typed at once", "touch ans", "wered\rls\r", "ls\r"},
                 CutLine{"an Enter the run took ends the line: the next, typed at once, goes", "x\r", "ls\r", "ls\r"},
             }) {
            row(cut.tag, [cut](Rig &r) {
                r.runTransfer(true);
                r.receive("START");
                for (const char key : QByteArray(cut.during))
                    r.session.type(QByteArray(1, key));
                r.receive("END");
                for (const QByteArray &piece : QByteArray(cut.after).split('|'))
                    r.session.type(piece);
                return QString::fromLatin1(r.conn->written);
            }, cut.expected);
        }
        // Each key restarts the wait, in the run and after it, so a line typed
        // slowly is swallowed whole however long it takes. A round in which
        // the machine held a key back near the limit proves nothing and is
        // played again.
        row("a cut line typed a key each 300 ms is swallowed whole", [](Rig &) {
            constexpr int kRounds = 5;
            for (int round = 0; round < kRounds; ++round) {
                Rig r;
                QElapsedTimer since;
                qint64 longest = 0;
                const auto slowly = [&](const QByteArray &keys) {
                    for (const char key : keys) {
                        if (since.isValid()) {
                            QTest::qWait(300);
                            longest = qMax(longest, since.elapsed());
                        }
                        r.session.type(QByteArray(1, key));
                        since.start();
                    }
                };
                r.runTransfer(true);
                r.receive("START");
                slowly("rm -");
                r.receive("END");
                slowly("rf x\r");
                r.session.type("ls\r");
                if (longest < OpenSession::kCutLineKeyGapMs - 200)
                    return QString::fromLatin1(r.conn->written);
            }
            return QStringLiteral("in each of %1 rounds a key came near a second after the one before").arg(kRounds);
        }, "ls\r");
        row("a run that fails or is cancelled drops what the connection still holds; one that succeeds keeps its last answer", [](Rig &r) {
            QString drops;
            for (const QByteArray end : {"START GONE", "START END", "START \x1b", "\x1b"}) {
                r.runTransfer(true);
                if (end.startsWith("START"))
                    r.receive("START");
                if (end.endsWith('\x1b'))
                    r.session.type("\x1b");
                else
                    r.receive(end);
                drops += QString::number(r.conn->discarded);
            }
            return drops;
        }, "1123");
        row("Enter while connecting opens nothing", [](Rig &r) {
            r.conn->opened = false;
            r.session.type("\r");
            const int whileConnecting = r.reopens;
            emit r.conn->connectionError(QStringLiteral("refused"));
            r.session.type("\r");
            return QStringLiteral("%1 %2").arg(whileConnecting).arg(r.reopens);
        }, "0 1");
        row("a report that carries its own sign gets no second one", [](Rig &r) {
            emit r.conn->connectionError(QStringLiteral("⚠ Host key verification failed: x"));
            return QString::number(QString::fromUtf8(r.view.shown).count(QChar(u'⚠')));
        }, "1");
        row("connected is no longer connecting", [](Rig &r) {
            emit r.conn->connected();
            return QStringLiteral("%1 %2").arg(r.session.isConnecting()).arg(r.view.states.join(','));
        }, "0 connected");
        row("sent bytes are logged once", [](Rig &r) {
            QPointer<SessionLogger> logger = r.log();
            r.session.send("hv-sent\r");
            return QString::number(r.logged(logger).count("hv-sent"));
        }, "1");
        row("text send shows the peer's words", [](Rig &r) {
            QPointer<SessionLogger> logger = r.log();
            r.runTransfer(false);
            r.receive("Error: disk full\r\n");
            return QString::fromLatin1(r.view.shown) + QString::number(r.logged(logger).count("disk full"));
        }, "Error: disk full\r\n1");
        row("binary: the shell's words until the peer starts", [](Rig &r) {
            r.runTransfer(true);
            r.receive("rz: command not found\r\n");
            return QString::fromLatin1(r.view.shown + "|" + r.transfer.fed);
        }, "rz: command not found\r\n|rz: command not found\r\n");
        row("binary: the stream is the transfer's once started, back after the end", [](Rig &r) {
            QPointer<SessionLogger> logger = r.log();
            r.runTransfer(true);
            r.receive("START");
            r.receive("\x18\x01\x02");
            r.receive("END");
            r.receive("$ ");
            return QString::fromLatin1(r.view.shown) + QString::number(r.logged(logger).contains("END"));
        }, "$ 0");
        row("binary: the tail after a cancel is dropped until the line is quiet", [](Rig &r) {
            r.runTransfer(true);
            r.receive("START");
            r.session.type("\x1b");
            r.receive("\x18\x18\x18 tail\x8f"); // a block cut short
            waitOutQuiet();
            r.receive("$ ");
            return QString::fromLatin1(r.view.shown);
        }, "$ ");
        row("binary: a peer that gave up gets the same quiet, its words in the read drawn", [](Rig &r) {
            r.runTransfer(true);
            r.receive("START");
            r.receive("GONE bye\r\n");
            r.receive("\x01 tail\x8f");
            waitOutQuiet();
            r.receive("$ ");
            return QString::fromLatin1(r.view.shown);
        }, " bye\r\n$ ");
        row("binary: a ZMODEM sender's cancel and the shell's words in one read", [](Rig &r) {
            ZmodemTransfer zmodem;
            r.session.handOver(&zmodem, true);
            zmodem.startReceive([&r](const QByteArray &b) { r.session.sendUnlogged(b); }, r.session.id(), r.dir.path());
            r.receive(Zmodem::hexHeader(Zmodem::ZRQINIT, QByteArray(4, '\0')));
            r.conn->written.clear();
            r.receive(QByteArray(10, 0x18) + QByteArray(10, '\b') + "END=130\r\n$ ");
            return QString::fromLatin1(r.view.shown + "|" + r.conn->written);
        }, "END=130\r\n$ |");
        // A receiver gone amid a send leaves its shell echoing what it read
        // of ours, in the quiet too: all of that is drawn, however long, and
        // nothing of rz's frames.
        row("binary: a ZMODEM send whose receiver gave up, then its shell's words and echo", [](Rig &r) {
            ZmodemTransfer zmodem;
            r.session.handOver(&zmodem, true);
            if (!writeFile(r.dir.filePath("f"), QByteArray(1 << 20, 'f')))
                return QString("no file");
            zmodem.startSend([&r](const QByteArray &b) { r.session.sendUnlogged(b); }, r.session.id(), {r.dir.filePath("f")});
            const auto rz = [](int type) { return Zmodem::hexHeader(quint8(type), QByteArray(4, '\0')).chopped(1) + "\x8a"; };
            r.receive(rz(Zmodem::ZRINIT) + "\x11");
            r.receive(rz(Zmodem::ZRPOS));
            r.receive(QByteArray(5, 0x18) + QByteArray(5, '\b'));
            r.view.shown.clear();
            QByteArray echo;
            for (int i = 0; echo.size() < 6000; ++i)
                echo += "\xe4*f" + QByteArray::number(i);
            r.receive(rz(Zmodem::ZACK) + "rz: caught signal 15\r\n$ " + echo.left(3000));
            r.receive(echo.mid(3000));
            waitOutQuiet();
            return QString::number(r.view.shown == "rz: caught signal 15\r\n$ " + echo);
        }, "1");
        row("binary: a ZMODEM send ended by the receiver's ZFIN, the rest of its line in the next read", [](Rig &r) {
            ZmodemTransfer zmodem;
            r.session.handOver(&zmodem, true);
            zmodem.startSend([&r](const QByteArray &b) { r.session.sendUnlogged(b); }, r.session.id(), {});
            r.receive(Zmodem::hexHeader(Zmodem::ZRINIT, QByteArray(4, '\0')).chopped(1) + "\x8a\x11");
            r.receive(Zmodem::hexHeader(Zmodem::ZFIN, QByteArray(4, '\0')).chopped(1)); // up to its CR
            r.receive("\x8a" "END=0\r\n$ ");
            return QString::fromLatin1(r.view.shown);
        }, "END=0\r\n$ ");
        // The command's output and the peer's greeting come in one read with
        // its first frame on a busy machine: drawn once, before the run
        // takes the stream; a poll among the words drawn before the run was
        // chosen does not draw them again.
        struct Greeting {
            const char *tag;
            bool send, drawnBefore;
            const char *read, *drawn; // drawn: whether the peer started, and the screen
        };
        for (const Greeting &g : {Greeting{"XMODEM send: rx's greeting and its poll", true, false,
                                           "READY\r\nrx: ready to receive f\r\nC", "1 READY\r\nrx: ready to receive f\r\n"},
                                  Greeting{"XMODEM receive: sx's words and its first block", false, false,
                                           "sx: f\r\n\x01\x01\xfe", "1 sx: f\r\n"},
                                  Greeting{"XMODEM send: a poll drawn before the run", true, true,
                                           "rx: ready to receive f\r\nC", "1 rx: ready to receive f\r\nC"}}) {
            row(qPrintable(QStringLiteral("binary: words in front of the peer's first frame, %1").arg(g.tag)), [g](Rig &r) {
                if (g.drawnBefore)
                    r.receive(g.read);
                XmodemTransfer x;
                x.setManualClock(true);
                r.session.handOver(&x, true);
                const auto out = [&r](const QByteArray &b) { r.session.sendUnlogged(b); };
                if (g.send && writeFile(r.dir.filePath("f"), "abc"))
                    x.startSend(out, r.session.id(), {r.dir.filePath("f")}, XmodemTransfer::Xmodem);
                else
                    x.startReceive(out, r.session.id(), r.dir.filePath("f"), XmodemTransfer::Xmodem);
                if (g.drawnBefore)
                    r.session.offerLastWords();
                else
                    r.receive(g.read);
                return QStringLiteral("%1 ").arg(x.peerStarted()) + QString::fromLatin1(r.view.shown);
            }, g.drawn);
        }
        // rz typed before a send speaks first; its header's line end is
        // drawn by no run. The same bytes elsewhere in a host's text stay.
        const QByteArray zrinit = Zmodem::hexHeader(Zmodem::ZRINIT, QByteArray(4, '\0')).chopped(1) + "\x8a\x11";
        for (const int cut : {int(zrinit.size()), 4, int(zrinit.size()) - 2, int(zrinit.size()) - 1}) {
            row(qPrintable(QStringLiteral("no run: a receiver's first header, read in two at %1").arg(cut)),
                [zrinit, cut](Rig &r) {
                    r.receive("rz ready." + zrinit.left(cut));
                    r.receive(zrinit.mid(cut) + "!\x8a\r\n");
                    return QString::fromLatin1(r.view.shown.replace(zrinit.left(zrinit.size() - 2), "<h>"));
                }, "rz ready.<h>!\u008a\r\n");
        }
        // A line redrawn after a bare CR in a legacy 8-bit encoding can
        // begin with 0x8A (GBK's 奮, Shift_JIS's 完): the host's text, whole.
        // Hex, reads apart at '|'.
        for (const auto &[tag, reads] : {std::pair{"GBK, in one read", "cfc2d4d8d6d0 0d 8a5ef459 0d0a"},
                                         std::pair{"Shift_JIS, its CR ending the read before", "8f88979d9286 0d|8aae97b9 0d0a"}}) {
            row(qPrintable(QStringLiteral("no run: a line redrawn after a bare CR, %1").arg(tag)), [reads = reads](Rig &r) {
                for (const QByteArray &read : QByteArray(reads).split('|'))
                    r.receive(QByteArray::fromHex(read));
                return QString::fromLatin1(r.view.shown.toHex());
            }, qPrintable(QString::fromLatin1(reads).remove(u' ').remove(u'|')));
        }
        // A shell that took the run's tail as typed keys echoes it for as
        // long as it reads: its words are drawn while it goes on, the tail
        // before them not.
        row("binary: a host that goes on talking after a failed run is drawn while it talks", [](Rig &r) {
            r.runTransfer(true);
            r.receive("START");
            r.receive("GONE");
            r.receive("\x18\x18\x18 tail\x8f");
            QElapsedTimer talking;
            talking.start();
            for (int n = 0; r.view.shown.isEmpty() && talking.elapsed() < 8000; ++n) {
                r.receive("echo " + QByteArray::number(n) + ' ');
                QTest::qWait(100);
            }
            return QString::fromLatin1(r.view.shown.left(14));
        }, "echo 0 echo 1 ");
        row("binary: the peer's farewell and the prompt in the quiet are drawn after it", [](Rig &r) {
            r.runTransfer(true);
            r.receive("START");
            r.session.type("\x1b");
            r.receive("\x90\x18\x18\x08\x08" "bye\r\n" "\xe4\xb8\xbb\xe6\x9c\xba$ ");
            waitOutQuiet();
            return QString::fromUtf8(r.view.shown);
        }, "bye\r\n主机$ ");
        // The tail ends in a character cut short, or in bytes shaped as one
        // that no text holds (a surrogate, past U+10FFFF): none of them is
        // drawn in front of the shell's words.
        for (const QByteArray &cut : {QByteArray("\xe4\xb8"), QByteArray("\xed\xa0\x80"), QByteArray("\xf4\x90\x80\x80")}) {
            row(qPrintable("binary: the words after a cancel's tail that ends in " + cut.toHex(' ')), [cut](Rig &r) {
                r.runTransfer(true);
                r.receive("START");
                r.session.type("\x1b");
                r.receive("\x18\x18" + cut + "bye\r\n$ ");
                // Nothing shown at all fails on the comparison.
                (void)QTest::qWaitFor([&r] { return !r.view.shown.isEmpty(); }, 5000);
                return QString::fromLatin1(r.view.shown);
            }, "bye\r\n$ ");
        }
        row("connection dies with log, capture and transfer active", [](Rig &r) {
            QPointer<SessionLogger> logger = r.log();
            r.session.startCapture(r.dir.filePath("cap"));
            r.runTransfer(true);
            emit r.conn->connectionError(QStringLiteral("reset"));
            settle();
            return QStringLiteral("%1 %2 %3 %4 %5").arg(r.transfer.isActive()).arg(r.session.isCapturing())
                .arg(!logger).arg(FakeConnection::alive).arg(r.view.states.join(','));
        }, "0 0 1 0 disconnected");
    }
    void lifecycle()
    {
        CheckTable<Rig>::run();
        if (QTest::currentTestFailed())
            return;
        settle();
        QCOMPARE(FakeConnection::alive, 0);
    }

    // Fifty tabs closed at once while one runs a transfer and every third a
    // capture: every connection goes, every capture file holds what came.
    void manySessionsClosedAtOnce()
    {
        QTemporaryDir dir;
        TerminalArea area;
        SessionHub hub(nullptr, &area, nullptr, nullptr);
        FakeTransfer transfer;
        for (int i = 0; i < 50; ++i) {
            const QString id = QStringLiteral("s%1").arg(i);
            area.addTerminal(id, id, QString(), QString());
            OpenSession *s = hub.ensure({id, id, QStringLiteral("raw")});
            auto *conn = new FakeConnection;
            s->adopt(conn, {});
            if (i % 3 == 0)
                s->startCapture(dir.filePath(id));
            if (i == 7) {
                s->handOver(&transfer, true);
                transfer.startSend({}, id, {}, 0);
            }
            emit conn->dataReceived("x" + id.toLatin1());
        }
        QCOMPARE(FakeConnection::alive, 50);
        for (int i = 0; i < 50; ++i)
            hub.closeTab(QStringLiteral("s%1").arg(i));
        settle();
        QCOMPARE(FakeConnection::alive, 0);
        QVERIFY(!transfer.isActive());
        QVERIFY(hub.sessions().isEmpty());
        QCOMPARE(readFile(dir.filePath("s48")), QByteArray("xs48"));
    }

    // A session's last words come before the line about its end, however
    // much the terminal still held back.
    void closedLineAfterLastOutput()
    {
        TerminalArea area;
        SessionHub hub(nullptr, &area, nullptr, nullptr);
        area.addTerminal(QStringLiteral("s"), QStringLiteral("s"), QString(), QString());
        auto *conn = new FakeConnection;
        hub.ensure({QStringLiteral("s")})->adopt(conn, {{}, [] { return QStringLiteral("hv-closed"); }});
        QByteArray flood;
        for (int i = 0; i < 20000; ++i)
            flood += "line " + QByteArray::number(i) + "\r\n";
        emit conn->dataReceived(flood + "hv-last\r\n");
        emit conn->disconnected();
        const auto text = [&] { return area.view(QStringLiteral("s"))->terminalEdit()->toPlainText(); };
        // 20000 lines drawn: seconds in the sanitizer build on a busy machine.
        QTRY_VERIFY_WITH_TIMEOUT(text().contains(u"hv-closed") && text().contains(u"hv-last"), 30000);
        QVERIFY2(text().indexOf(u"hv-last") < text().indexOf(u"hv-closed"), qPrintable(text().right(200)));
    }

    // What the last connection's program left on its tab, then a reopen and
    // what the new one sends: the screen, what a paste and Down send, and
    // the terminal's text.
    void reopenStartsAPlainTerminal_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("expected");
        QTest::newRow("full screen with bracketed paste")
            << QByteArray("kept\r\n\x1b[?2004h\x1b[?1049h\x1b[?1h\x1b[Hgrid") << QByteArray("$ ")
            << "line p \\e[B kept|$ ";
        QTest::newRow("modes set in line mode") << QByteArray("\x1b[?2004h\x1b[?1h\x1b=") << QByteArray("$ ")
                                                << "line p \\e[B $ ";
        QTest::newRow("sequence cut off") << QByteArray("\x1b[?20") << QByteArray("04h$ ") << "line p \\e[B 04h$ ";
        QTest::newRow("character cut off") << QByteArray("a\xe4\xb8") << QByteArray("b") << "line p \\e[B ab";
        QTest::newRow("a flood not yet drawn") << QByteArray("x\r\n").repeated(30000) + "\x1b[?1049h" << QByteArray("$ ")
                                               << "line p \\e[B x|$ ";
        QTest::newRow("the new program's own screen") << QByteArray("\x1b[?1049h") << QByteArray("\x1b[?2004h\x1b[?1049h")
                                                      << "grid \\e[200~p\\e[201~ \\e[B ";
    }
    void reopenStartsAPlainTerminal()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        TerminalArea area;
        SessionHub hub(nullptr, &area, nullptr, nullptr);
        const QString id = QStringLiteral("s");
        area.addTerminal(id, id, QString(), QString());
        OpenSession *session = hub.ensure({id});
        auto *old = new FakeConnection;
        session->adopt(old, {});
        emit old->dataReceived(before);
        auto *reopened = new FakeConnection;
        session->adopt(reopened, {});
        emit reopened->dataReceived(after);
        TerminalView *view = area.view(id);
        while (view->engine()->hasPendingData())
            view->engine()->drainReceived();
        QSignalSpy spy(view, &TerminalView::sendInput);
        QApplication::clipboard()->setText(QStringLiteral("p"));
        QTest::keyClick(view->terminalEdit(), Qt::Key_V, Qt::ControlModifier);
        QByteArray paste = spy.isEmpty() ? QByteArray() : spy.takeFirst().at(1).toByteArray();
        QTest::keyClick(view->terminalEdit(), Qt::Key_Down);
        QByteArray down = spy.isEmpty() ? QByteArray() : spy.takeFirst().at(1).toByteArray();
        // The first kept line and the last, the latest end of the text.
        const QStringList lines = view->terminalEdit()->toPlainText().split(u'\n', Qt::SkipEmptyParts);
        const QString text = lines.size() > 1 ? lines.first() + u'|' + lines.last() : lines.value(0);
        QTEST(QStringLiteral("%1 %2 %3 %4")
                  .arg(view->engine()->grid() ? "grid" : "line",
                       QString::fromLatin1(paste.replace("\x1b", "\\e")), QString::fromLatin1(down.replace("\x1b", "\\e")), text),
              "expected");
    }

    // What the road and the hub do to a tab: rows run on one hub, in order.
    void road_data()
    {
        QTest::addColumn<std::function<QString(SessionHub &, SessionRoad &)>>("check");
        QTest::addColumn<QString>("expected");
        using Check = std::function<QString(SessionHub &, SessionRoad &)>;
        const auto tabText = [](SessionHub &hub, const QString &id) {
            return hub.terminalArea()->view(id)->terminalEdit()->toPlainText();
        };
        QTest::newRow("a closed quick tab is forgotten") << Check([](SessionHub &hub, SessionRoad &road) {
            road.openQuickSession({QStringLiteral("raw"), QStringLiteral("q"), {}, QStringLiteral("127.0.0.1"), "1"});
            const QString id = SessionStore::instance().currentSessionId();
            const bool had = hub.session(id);
            hub.closeTab(id);
            road.connectSession(id);
            return QStringLiteral("%1 %2").arg(had).arg(hub.session(id) != nullptr);
        }) << "1 0";
        QTest::newRow("the 10000 scroll-back choice, and options reload it") << Check([](SessionHub &hub, SessionRoad &road) {
            const QString id = SessionStore::instance().addSession(QStringLiteral("sb"), QStringLiteral("raw"), {},
                                                                   QStringLiteral("h"), QStringLiteral("1"));
            AppSettings::instance().setValue("session/" + id + "/term/scrollback", QStringLiteral("10000"));
            road.activate(id);
            const int first = hub.terminalArea()->view(id)->scrollback();
            hub.dialogs.runSessionOptions = [id](QWidget *, const SessionInfo &info, const auto &apply) {
                AppSettings::instance().setValue("session/" + id + "/term/scrollback", QStringLiteral("50000"));
                apply(info);
            };
            SessionCommands(&hub, &road).sessionOptions(id);
            return QStringLiteral("%1 %2").arg(first).arg(hub.terminalArea()->view(id)->scrollback());
        }) << "10000 50000";
        QTest::newRow("user text is never an argument marker") << Check([tabText](SessionHub &hub, SessionRoad &road) {
            road.openQuickSession({QStringLiteral("raw"), QStringLiteral("q"), {}, QStringLiteral("fe80::1%2"), "9"});
            return QString::number(tabText(hub, SessionStore::instance().currentSessionId()).contains(u"fe80::1%2:9"));
        }) << "1";
        QTest::newRow("the shell line names the program started") << Check([tabText](SessionHub &hub, SessionRoad &road) {
            road.openQuickSession({QStringLiteral("local"), QStringLiteral("q")});
            const QString text = tabText(hub, SessionStore::instance().currentSessionId());
            return QString::number(text.contains(platform::loginShell()) && !text.contains(u"cmd"));
        }) << "1";
        QTest::newRow("the typed user reaches the login") << Check([](SessionHub &, SessionRoad &road) {
            NewSessionResult result{QStringLiteral("rlogin"), QStringLiteral("u"), {}, QStringLiteral("h"), {},
                                    QStringLiteral("alice")};
            const QString stored = road.saveNewSession(result);
            road.openQuickSession(result);
            return SshSignIn::savedUser(stored) + ' ' + SshSignIn::savedUser(SessionStore::instance().currentSessionId());
        }) << "alice alice";
        // Stored as its source text, a quick session's in memory only; what
        // the login reads is the method chosen.
        QTest::newRow("the chosen login method reaches the login") << Check([](SessionHub &, SessionRoad &road) {
            NewSessionResult result{QStringLiteral("ssh"), QStringLiteral("k"), {}, QStringLiteral("h")};
            result.auth = QStringLiteral("公钥认证");
            const QString stored = road.saveNewSession(result);
            QTimer::singleShot(0, [] { // the credentials prompt
                if (auto *prompt = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
                    prompt->reject();
            });
            road.openQuickSession(result);
            const QString quick = SessionStore::instance().currentSessionId();
            const SessionInfo info = *SessionStore::instance().findSession(stored);
            const auto method = [&](const QString &id) { return int(sshAuthMethodFor(SshSignIn::paramsFor(id, info).auth)); };
            return QStringLiteral("%1 %2 %3 %4").arg(AppSettings::instance().value("session/" + stored + "/conn/auth").toString())
                .arg(method(stored)).arg(method(quick)).arg(AppSettings::instance().settings()->contains("session/" + quick + "/conn/auth"));
        }) << "公钥认证 1 1 0";
        QTest::newRow("a quick login remembered keeps its method") << Check([](SessionHub &, SessionRoad &road) {
            NewSessionResult result{QStringLiteral("ssh"), QStringLiteral("k"), {}, QStringLiteral("127.0.0.1"), "1"};
            result.auth = QStringLiteral("公钥认证");
            answerCredentials(QStringLiteral("bob"), true);
            road.openQuickSession(result);
            const QString quick = SessionStore::instance().currentSessionId();
            return QString::number(int(sshAuthMethodFor(SshSignIn::paramsFor(quick, {}).auth)));
        }) << "1";
        // A double-click in the tree while the session is still connecting.
        QTest::newRow("a session still connecting is shown, not opened again") << Check([](SessionHub &hub, SessionRoad &road) {
            SessionStore &store = SessionStore::instance();
            const QString slow = store.addSession(QStringLiteral("slow"), QStringLiteral("raw"), {}, QStringLiteral("h"), "1");
            road.activate(slow);
            auto *conn = new FakeConnection;
            conn->opened = false;
            hub.session(slow)->adopt(conn, {[] { return QString(); }, {}});
            road.openQuickSession({QStringLiteral("raw"), QStringLiteral("q"), {}, QStringLiteral("127.0.0.1"), "1"});
            road.openOrShow(slow);
            return QStringLiteral("%1 %2").arg(hub.connection(slow) == conn)
                .arg(hub.terminalArea()->currentView() == hub.terminalArea()->view(slow));
        }) << "1 1";
        QTest::newRow("a refused save says why and opens nothing") << Check([](SessionHub &hub, SessionRoad &road) {
            NewSessionResult twice{QStringLiteral("ssh"), QStringLiteral("twice"), {}, QStringLiteral("h")};
            road.saveNewSession(twice);
            QString said;
            QTimer::singleShot(0, [&] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                said = box ? box->text() : QStringLiteral("no message");
                if (box)
                    box->accept();
            });
            const int before = hub.sessions().size();
            const QString id = road.saveNewSession(twice);
            return said + ' ' + QString::number(id.isEmpty() && hub.sessions().size() == before);
        }) << "Save failed: a session with the same name and protocol already exists in the target group. 1";
        // The files made folders: every save fails, the user hears it once per file.
        QTest::newRow("a failed save is told once, naming the file") << Check([](SessionHub &, SessionRoad &road) {
            const QString file = SessionStore::instance().filePath(SessionStore::sessionsFileName);
            QFile::remove(file);
            QDir().mkpath(file + "/x");
            road.saveNewSession({QStringLiteral("ssh"), QStringLiteral("lost 1"), {}, QStringLiteral("h")});
            road.saveNewSession({QStringLiteral("ssh"), QStringLiteral("lost 2"), {}, QStringLiteral("h")});
            const QString ini = AppSettings::instance().settings()->fileName();
            QFile::remove(ini);
            QDir().mkpath(ini + "/x");
            AppSettings::instance().setValue(QStringLiteral("hv/x"), 1);
            AppSettings::instance().sync();
            QString told = storeMessages().join('|');
            QDir(file).removeRecursively();
            QDir(ini).removeRecursively();
            return told.replace(file, "<file>").replace(ini, "<settings>");
        }) << "Could not save <settings>; this change will be lost when the program restarts.|"
              "Could not save <file>; this change will be lost when the program restarts.";
        QTest::newRow("a file kept aside at start is told, with the copy's name") << Check([](SessionHub &, SessionRoad &) {
            const QString file = SessionStore::instance().filePath(SessionStore::sessionsFileName);
            QFile f(file);
            f.open(QIODevice::WriteOnly);
            f.write("{ not json");
            f.close();
            SessionStore::instance().loadSessions();
            QString told = storeMessages().join('|');
            return told.replace(QRegularExpression(QRegularExpression::escape(file) + "\\.corrupt-[0-9_]+"), "<copy>");
        }) << "The sessions file could not be read; the original was kept as: <copy>";
    }
    void road()
    {
        QFETCH(std::function<QString(SessionHub &, SessionRoad &)>, check);
        TerminalArea area;
        SessionTree tree;
        SessionHub hub(nullptr, &area, &tree, nullptr);
        SessionRoad road(&hub);
        QTEST(check(hub, road), "expected");
        hub.closeAll();
    }

    // A password that cannot be sealed (the key file is damaged) is told
    // whether the login was asked for the terminal or for SFTP.
    void notSealedIsTold_data()
    {
        QTest::addColumn<bool>("sftp");
        QTest::newRow("terminal") << false;
        QTest::newRow("SFTP") << true;
    }
    void notSealedIsTold()
    {
        QFETCH(bool, sftp);
        const QString key = platform::secretKeyPath();
        QVERIFY(QDir().mkpath(QFileInfo(key).absolutePath()));
        writeFile(key, "bad");
        TerminalArea area;
        SessionHub hub(nullptr, &area, nullptr, nullptr);
        SessionRoad road(&hub);
        const QString id = SessionStore::instance().addSession(QTest::currentDataTag(), QStringLiteral("ssh"), {},
                                                               QStringLiteral("127.0.0.1"), QStringLiteral("9"));
        road.activate(id);
        answerCredentials(QStringLiteral("bob"), true);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Password could not be sealed"));
        sftp ? openSftpDialog(hub) : road.connectSession(id);
        const QString shown = area.view(id)->terminalEdit()->toPlainText();
        QFile::remove(key);
        for (QWidget *w : QApplication::topLevelWidgets())
            delete qobject_cast<SftpDialog *>(w);
        hub.closeAll();
        QVERIFY2(shown.contains(QStringLiteral("⚠ The password could not be sealed and was not remembered")), qPrintable(shown));
    }

    // One reading of an SSH session's settings and one prompt, for the
    // opener and the SFTP entry alike.
    void sshLogin_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("remember");
        QTest::addColumn<QString>("expected"); // port keep-alive | stored user/password | offered next time
        QTest::newRow("port 0 takes the default") << "s1" << "0" << false << "2222 15|/|";
        QTest::newRow("no port takes the default") << "s1" << "" << false << "2222 15|/|";
        QTest::newRow("port kept, nothing stored unless asked") << "s1" << " 2200 " << false << "2200 15|/|";
        QTest::newRow("remembered") << "s1" << "22" << true << "22 15|bob/sealed|bob";
        QTest::newRow("quick: for this run only") << "fast:9" << "22" << true << "22 60|/|bob";
    }
    void sshLogin()
    {
        QFETCH(QString, id);
        QFETCH(QString, port);
        QFETCH(bool, remember);
        AppSettings &settings = AppSettings::instance();
        settings.settings()->remove(QStringLiteral("session"));
        settings.setValue(QStringLiteral("default/sshPort"), 2222);
        settings.setValue(QStringLiteral("session/s1/conn/keepalive"), 15);
        SessionInfo info;
        info.host = QStringLiteral("h");
        info.port = port;
        SshConnectParams params = SshSignIn::paramsFor(id, info);
        answerCredentials(QStringLiteral("bob"), remember);
        QCOMPARE(SshSignIn::ask(nullptr, id, &params), SshSignIn::Answer::Given);
        const QString prefix = "session/" + id + "/conn/";
        const QString pass = settings.getString(prefix + "pass", QString());
        QString offered;
        answerCredentials(QStringLiteral("bob"), false, &offered);
        SshSignIn::ask(nullptr, id, &params);
        QTEST(QStringLiteral("%1 %2|%3/%4|%5")
                  .arg(QString::number(params.port), QString::number(params.keepalive),
                       settings.getString(prefix + "user", QString()), pass.isEmpty() ? QString() : "sealed", offered),
              "expected");
        // What an older run left under a quick session's number is gone at start.
        settings.setValue(QStringLiteral("session/fast:3/conn/user"), QStringLiteral("old"));
        SessionHub hub(nullptr, nullptr, nullptr, nullptr);
        QVERIFY(!settings.settings()->contains(QStringLiteral("session/fast:3/conn/user")));
    }
};

QTEST_MAIN(TestOpenSession)
#include "tst_opensession.moc"
