#include "commands/knowledge/commandknowledgebase.h"

#include <QSet>
#include <QTest>

#include <thread>

class TestKnowledgeBase : public QObject
{
    Q_OBJECT

private slots:
    // Must stay first: it makes the very first calls of the process.
    void concurrentFirstCallsShareOneCompleteTable()
    {
        const CommandKnowledgeBase *seen[4] = {};
        qsizetype sizes[4] = {};
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&, i] {
                seen[i] = &commandKnowledgeBase();
                sizes[i] = seen[i]->size();
            });
        }
        for (auto &t : threads)
            t.join();
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(seen[i], &commandKnowledgeBase());
            QCOMPARE(sizes[i], commandKnowledgeBase().size());
        }
    }

    void keysInCaseSensitiveOrder()
    {
        const CommandKnowledgeBase &table = commandKnowledgeBase();
        const QStringList keys = table.keys();
        for (qsizetype i = 1; i < keys.size(); ++i)
            QVERIFY2(keys[i - 1] < keys[i], qPrintable(keys[i - 1] + " / " + keys[i]));

        // Upper case sorts first, so the two follow forms are met F before f.
        QVERIFY(keys.indexOf("tail -F") < keys.indexOf("tail -f"));
        QVERIFY(keys.indexOf("VBoxManage") < keys.indexOf("agg"));

        QSet<QString> folded;
        for (const QString &k : keys)
            folded.insert(k.toLower());
        QCOMPARE(folded.size(), keys.size() - 1); // only "tail -f" and "tail -F" fold together
    }

    void tellingEntries_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        const char *rows[][2] = {
            {"tail -f", "实时跟踪文件追加"}, {"tail -F", "实时跟踪包括轮转"}, {"Get-ChildItem", "列出子项"},
            {"Ctrl+C", "中断当前进程"},       {"!?str", "重复包含 str 的最新命令"}, {"(( ))", "算术求值"},
        };
        for (const auto &row : rows)
            QTest::newRow(row[0]) << QString::fromUtf8(row[0]) << QString::fromUtf8(row[1]);
    }

    void tellingEntries()
    {
        QFETCH(QString, key);
        QFETCH(QString, text);
        QCOMPARE(commandKnowledgeBase().value(key), text);
    }

    void wholeKeysAndCaseSensitivity()
    {
        const CommandKnowledgeBase &table = commandKnowledgeBase();
        for (const char *key : {"(( ))", "!!", "!?str", "less +F", "Alt+.", ".", "[", "[[", "tail", "watch -n",
                                "sort -R", "g++", "acme.sh", "pg_dump", "7z"})
            QVERIFY2(table.contains(QString::fromLatin1(key)), key);
        for (const char *absent : {"ctrl+c", "get-childitem", "((", "tail -", "less +f", "Tail -f", ""})
            QVERIFY2(!table.contains(QString::fromLatin1(absent)), absent);
    }

    // A description is one short line: 2 to 26 UTF-16 units of Chinese with
    // Latin names, a few ASCII signs and full-width parentheses only.
    void everyEntryFollowsTheTextRules()
    {
        const QString asciiInText = QStringLiteral(" '+./");
        const QString asciiInKey = QStringLiteral(" !$()*+-.?[^_");
        const CommandKnowledgeBase &table = commandKnowledgeBase();
        for (auto it = table.cbegin(); it != table.cend(); ++it) {
            const QString &key = it.key();
            const QString &text = it.value();
            const QByteArray where = (key + " => " + text).toUtf8();
            QVERIFY2(key.size() >= 1 && key.size() <= 17, where);
            for (QChar c : key)
                QVERIFY2(c.unicode() < 0x80 && (c.isLetterOrNumber() || asciiInKey.contains(c)), where);
            QVERIFY2(text.size() >= 2 && text.size() <= 26, where);
            QVERIFY2(text.trimmed() == text && !text.contains("  "), where);
            for (QChar c : text) {
                const char16_t u = c.unicode();
                const bool ok = (u < 0x80 && (c.isLetterOrNumber() || asciiInText.contains(c))) ||
                                (u >= 0x4E00 && u <= 0x9FFF) || u == 0xFF08 || u == 0xFF09;
                QVERIFY2(ok, where);
            }
            QCOMPARE(text.count(QChar(0xFF08)), text.count(QChar(0xFF09)));
        }
    }

    // Nothing but the map's nodes is allocated: keys and texts refer to the
    // literals, and copies share them.
    void textsReferToReadOnlyData()
    {
        const CommandKnowledgeBase &table = commandKnowledgeBase();
        for (auto it = table.cbegin(); it != table.cend(); ++it) {
            QVERIFY(!it.key().data_ptr().isMutable());
            QVERIFY(!it.value().data_ptr().isMutable());
        }
        const QString copy = table.value("ssh");
        QCOMPARE(copy.constData(), table.constFind("ssh").value().constData());
    }
};

QTEST_GUILESS_MAIN(TestKnowledgeBase)
#include "tst_knowledgebase.moc"
