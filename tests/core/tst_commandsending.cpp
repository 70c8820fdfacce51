#include "core/commandsending.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using Bytes = QList<QByteArray>;

class TestCommandSending : public QObject
{
    Q_OBJECT

private slots:
    // Chunks as "delay:bytes"; a pause shows as "1000:".
    void escapes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("chunks");
        QTest::newRow("controls") << "a\\r\\n\\t\\b\\eb" << QStringList{"0:a\r\n\t\b\x1b" "b"};
        QTest::newRow("pauses") << "\\pecho 1\\p\\pecho 2\\r\\p"
                                << QStringList{"1000:", "0:echo 1", "1000:", "1000:", "0:echo 2\r", "1000:"};
        // "\\\r": the first backslash is literal, the second starts an escape.
        QTest::newRow("not escapes") << "\\x41\\R\\P\\\\r\\" << QStringList{"0:\\x41\\R\\P\\\r\\"};
        QTest::newRow("non-BMP, CJK") << QString::fromUtf8("\xF0\x9F\x98\x80\\r中\\p文")
                                      << QStringList{QString::fromUtf8("0:\xF0\x9F\x98\x80\r中"), "1000:", "0:文"};
    }
    void escapes()
    {
        QFETCH(QString, text);
        QStringList out;
        for (const CommandChunk &c : parseCommandEscapes(text))
            out << QString::number(c.delay) + ':' + QString::fromUtf8(c.bytes);
        QTEST(out, "chunks");
    }

    // Many sessions get one CR per line and escapes as typed; HEX text
    // gives its bytes, or nothing and a failure when invalid.
    void payloads_data()
    {
        QTest::addColumn<bool>("hex");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("blank lines, typed endings") << false << "  a \r\n\r\n\n pwd\\n\t\nx \\r\\n "
                                                    << QByteArray("a\rpwd\rx\r");
        QTest::newRow("only blanks") << false << " \r\n \t\n\\r" << QByteArray();
        QTest::newRow("escape inside") << false << "echo\\t" << QByteArray("echo\\t\r");
        QTest::newRow("hex separators") << true << "0a,0B 0c\tF\nf00" << QByteArray("\x0a\x0b\x0c\xff\x00", 5);
        for (const char *bad : {"ABC", "GG", "0x41", "+F", "", " ,, ", "０１"})
            QTest::addRow("hex '%s'", bad) << true << QString::fromUtf8(bad) << QByteArray();
    }
    void payloads()
    {
        QFETCH(bool, hex);
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        bool ok = bytes.isEmpty();
        QCOMPARE(hex ? normalizeHexText(text, &ok) : broadcastPayload(text), bytes);
        QVERIFY(!hex || ok == !bytes.isEmpty());
    }

    // `drop`: the target is destroyed inside that write (0: before the run);
    // `refuse`: that write is refused.
    void sender_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("drop");
        QTest::addColumn<int>("refuse");
        QTest::addColumn<Bytes>("writes");
        QTest::newRow("pause") << "echo 1\\pecho 2\\r" << -1 << -1 << Bytes{"echo 1", "echo 2\r"};
        QTest::newRow("gone first") << "ls" << 0 << -1 << Bytes{};
        QTest::newRow("gone before pause") << "a\\pb" << 1 << -1 << Bytes{"a"};
        // The half after the pause is not sent alone.
        QTest::newRow("refused before pause") << "su\\psecret\\r" << -1 << 1 << Bytes{"su"};
    }
    void sender()
    {
        QFETCH(QString, text);
        QFETCH(int, drop);
        QFETCH(int, refuse);
        QFETCH(Bytes, writes);
        QObject parent;
        QPointer<QObject> target = new QObject(&parent);
        Bytes written;
        QList<qint64> at;
        QElapsedTimer clock;
        clock.start();
        QPointer<CommandSender> run = CommandSender::send(text, target, [&](const QByteArray &bytes) {
            written << bytes;
            at << clock.elapsed();
            if (written.size() == drop)
                delete target;
            return written.size() != refuse;
        }, &parent);
        if (drop == 0)
            delete target;
        QSignalSpy done(run.data(), &CommandSender::finished);
        QVERIFY(done.wait(5 * kCommandPauseMs));
        QCOMPARE(written, writes);
        QTRY_VERIFY(run.isNull());
        if (writes.size() == 2) // the pause is the behaviour here, so its length is measured
            QVERIFY2(at[1] - at[0] >= kCommandPauseMs, qPrintable(QString::number(at[1] - at[0])));
    }
};

QTEST_GUILESS_MAIN(TestCommandSending)
#include "tst_commandsending.moc"
