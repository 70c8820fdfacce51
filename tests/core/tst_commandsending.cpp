#include "core/commandsending.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using Chunks = QList<CommandChunk>;
Q_DECLARE_METATYPE(CommandChunk)

namespace {

// Chunks as readable text, so a failing comparison shows what differs.
QStringList describe(const Chunks &chunks)
{
    QStringList out;
    for (const CommandChunk &c : chunks)
        out << QString::number(c.delay) + ':' + QString::fromLatin1(c.bytes.toHex(' '));
    return out;
}

QByteArray joined(const Chunks &chunks)
{
    QByteArray all;
    for (const CommandChunk &c : chunks)
        all += c.bytes;
    return all;
}

} // namespace

class TestCommandSending : public QObject
{
    Q_OBJECT

private slots:
    void escapes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Chunks>("chunks");
        const CommandChunk pause{{}, kCommandPauseMs};
        QTest::newRow("empty") << "" << Chunks{};
        QTest::newRow("controls") << "a\\r\\n\\t\\b\\eb" << Chunks{{"a\r\n\t\b\x1b" "b", 0}};
        QTest::newRow("pause between") << "echo 1\\pecho 2\\r" << Chunks{{"echo 1", 0}, pause, {"echo 2\r", 0}};
        QTest::newRow("pause first, twice") << "\\p\\px" << Chunks{pause, pause, {"x", 0}};
        QTest::newRow("pause last") << "x\\p" << Chunks{{"x", 0}, pause};
        QTest::newRow("unknown kept") << "\\x41" << Chunks{{"\\x41", 0}};
        QTest::newRow("upper case kept") << "\\R\\P" << Chunks{{"\\R\\P", 0}};
        QTest::newRow("trailing backslash") << "a\\" << Chunks{{"a\\", 0}};
        QTest::newRow("lone backslash") << "\\" << Chunks{{"\\", 0}};
        // The first backslash is literal, the second starts an escape.
        QTest::newRow("backslash pair") << "\\\\r" << Chunks{{"\\\r", 0}};
        QTest::newRow("non-BMP then escape") << QString::fromUtf8("\xF0\x9F\x98\x80\\r")
                                             << Chunks{{"\xF0\x9F\x98\x80\r", 0}};
        QTest::newRow("CJK around pause") << QString::fromUtf8("中\\p文")
                                          << Chunks{{"\xE4\xB8\xAD", 0}, pause, {"\xE6\x96\x87", 0}};
    }

    void escapes()
    {
        QFETCH(QString, text);
        QFETCH(Chunks, chunks);
        QCOMPARE(describe(parseCommandEscapes(text)), describe(chunks));
    }

    // A command as sent to many sessions (escapes literal) and through the
    // timed sender to the current one (escapes applied).
    void lines_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QByteArray>("broadcast");
        QTest::addColumn<QByteArray>("timed");
        QTest::newRow("one") << "ls" << QStringList{"ls"} << QByteArray("ls\r") << QByteArray("ls\r");
        QTest::newRow("two, blank lines, CRLF") << "  a \r\n\r\n\n b\t" << QStringList{"a", "b"}
                                                << QByteArray("a\rb\r") << QByteArray("a\rb\r");
        QTest::newRow("typed line endings dropped") << "pwd\\n\nx \\r\\n " << QStringList{"pwd", "x"}
                                                    << QByteArray("pwd\rx\r") << QByteArray("pwd\rx\r");
        QTest::newRow("only blanks") << " \r\n \t\n\\r" << QStringList{} << QByteArray() << QByteArray();
        QTest::newRow("escape inside") << "echo a\\tb" << QStringList{"echo a\\tb"}
                                       << QByteArray("echo a\\tb\r") << QByteArray("echo a\tb\r");
    }

    void lines()
    {
        QFETCH(QString, command);
        QFETCH(QStringList, lines);
        QFETCH(QByteArray, broadcast);
        QFETCH(QByteArray, timed);
        QCOMPARE(splitCommandLines(command), lines);
        QCOMPARE(broadcastPayload(command), broadcast);
        QCOMPARE(joined(parseCommandEscapes(currentSessionText(command))), timed);
    }

    void hex_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("commas and blanks") << "0a,0B 0c" << true << QByteArray("\x0a\x0b\x0c");
        QTest::newRow("run together") << "ABCD1234" << true << QByteArray("\xab\xcd\x12\x34");
        QTest::newRow("tabs, newline, zero") << "\tff\n00 " << true << QByteArray("\xff\x00", 2);
        QTest::newRow("split pair") << "A B" << true << QByteArray("\xab");
        QTest::newRow("odd") << "ABC" << false << QByteArray();
        QTest::newRow("not hex") << "GG" << false << QByteArray();
        QTest::newRow("prefix") << "0x41" << false << QByteArray();
        QTest::newRow("sign") << "+F" << false << QByteArray();
        QTest::newRow("full-width digits") << QString::fromUtf8("０１") << false << QByteArray();
        QTest::newRow("empty") << "" << false << QByteArray();
        QTest::newRow("separators only") << " ,, " << false << QByteArray();
    }

    void hex()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QByteArray, bytes);
        bool ok = !valid;
        QCOMPARE(normalizeHexText(text, &ok), bytes);
        QCOMPARE(ok, valid);
        QCOMPARE(normalizeHexText(text), bytes);
    }

    // `dropAfter`: the target is destroyed inside that write (0: before the run).
    void sender_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("dropAfter");
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<bool>("complete");
        QTest::newRow("plain") << "ls\\r" << -1 << QList<QByteArray>{"ls\r"} << true;
        QTest::newRow("empty") << "" << -1 << QList<QByteArray>{} << true;
        QTest::newRow("pause only") << "\\p" << -1 << QList<QByteArray>{} << true;
        QTest::newRow("target gone first") << "ls\\r" << 0 << QList<QByteArray>{} << false;
        QTest::newRow("target gone in a pause") << "a\\pb" << 1 << QList<QByteArray>{"a"} << false;
        QTest::newRow("gone on last write") << "a" << 1 << QList<QByteArray>{"a"} << true;
    }

    void sender()
    {
        QFETCH(QString, text);
        QFETCH(int, dropAfter);
        QFETCH(QList<QByteArray>, writes);
        QFETCH(bool, complete);
        QObject parent;
        auto *target = new QObject;
        QList<QByteArray> written;
        auto write = [&](const QByteArray &bytes) {
            written << bytes;
            if (written.size() == dropAfter)
                delete target;
        };
        QPointer<CommandSender> run = CommandSender::send(text, target, write, &parent);
        if (dropAfter == 0)
            delete target;
        QSignalSpy done(run.data(), &CommandSender::finished);
        QVERIFY(done.wait(5000));
        QCOMPARE(written, writes);
        QCOMPARE(done.first().first().toBool(), complete);
        QTRY_VERIFY(run.isNull());
        if (dropAfter < 0)
            delete target;
    }

    // The pause is the behaviour here, so its length is measured.
    void pauseWaits()
    {
        QObject target;
        QElapsedTimer clock;
        QList<qint64> at;
        QByteArray all;
        CommandSender *run = CommandSender::send("echo 1\\pecho 2\\r", &target, [&](const QByteArray &b) {
            at << clock.elapsed();
            all += b;
        }, &target);
        clock.start();
        QSignalSpy done(run, &CommandSender::finished);
        QVERIFY(done.wait(5 * kCommandPauseMs));
        QCOMPARE(all, QByteArray("echo 1echo 2\r"));
        QCOMPARE(at.size(), 2);
        QVERIFY2(at[1] - at[0] >= kCommandPauseMs, qPrintable(QString::number(at[1] - at[0])));
    }

    // Runs on one target interleave in timer order, none is lost.
    void parallelRuns()
    {
        QObject target;
        QByteArray all;
        auto write = [&](const QByteArray &b) { all += b; };
        CommandSender::play({{"a", 0}, {"b", 5}}, &target, write, &target);
        CommandSender *last = CommandSender::play({{"1", 0}, {"2", 30}}, &target, write, &target);
        QSignalSpy done(last, &CommandSender::finished);
        QVERIFY(done.wait(5000));
        QCOMPARE(all, QByteArray("a1b2"));
    }
};

QTEST_GUILESS_MAIN(TestCommandSending)
#include "tst_commandsending.moc"
