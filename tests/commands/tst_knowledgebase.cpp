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
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&, i] { seen[i] = &commandKnowledgeBase(); sizes[i] = seen[i]->size(); });
        for (int i = 0; i < 4; ++i) {
            threads[i].join();
            QVERIFY(seen[i] == &commandKnowledgeBase() && sizes[i] == commandKnowledgeBase().size());
        }
    }

    // Keys are whole and case-sensitive; "?" marks a key that must exist
    // whatever its text, "" one that must not.
    void lookups_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        const char *rows[][2] = {
            {"tail -f", "实时跟踪文件追加"}, {"tail -F", "实时跟踪包括轮转"}, {"Get-ChildItem", "列出子项"}, {"Ctrl+C", "中断当前进程"},
            {"!?str", "重复包含 str 的最新命令"}, {"(( ))", "算术求值"}, {"!!", "?"}, {"less +F", "?"}, {"Alt+.", "?"}, {".", "?"},
            {"[", "?"}, {"[[", "?"}, {"tail", "?"}, {"watch -n", "?"}, {"sort -R", "?"}, {"g++", "?"}, {"acme.sh", "?"}, {"pg_dump", "?"},
            {"7z", "?"}, {"ctrl+c", ""}, {"get-childitem", ""}, {"((", ""}, {"tail -", ""}, {"less +f", ""}, {"Tail -f", ""}, {"", ""}};
        for (const auto &row : rows)
            QTest::newRow(*row[0] ? row[0] : "empty") << QString::fromUtf8(row[0]) << QString::fromUtf8(row[1]);
    }

    void lookups()
    {
        QFETCH(QString, key);
        QFETCH(QString, text);
        QCOMPARE(commandKnowledgeBase().contains(key), !text.isEmpty());
        if (text != QLatin1String("?"))
            QCOMPARE(commandKnowledgeBase().value(key), text);
    }

    // A description is one short line: 2 to 26 UTF-16 units of Chinese with
    // Latin names, a few ASCII signs and full-width parentheses only. Only
    // "tail -f" and "tail -F" fold together, which case-blind look-ups rely on.
    void everyEntryFollowsTheTextRules()
    {
        const QString asciiInText = QStringLiteral(" '+./"), asciiInKey = QStringLiteral(" !$()*+-.?[^_");
        const CommandKnowledgeBase &table = commandKnowledgeBase();
        QSet<QString> folded;
        for (auto it = table.cbegin(); it != table.cend(); ++it) {
            const QString &key = it.key(), &text = it.value();
            const QByteArray where = (key + " => " + text).toUtf8();
            folded.insert(key.toLower());
            QVERIFY2(key.size() >= 1 && key.size() <= 17, where);
            for (QChar c : key)
                QVERIFY2(c.unicode() < 0x80 && (c.isLetterOrNumber() || asciiInKey.contains(c)), where);
            QVERIFY2(text.size() >= 2 && text.size() <= 26 && text.trimmed() == text && !text.contains("  "), where);
            for (QChar c : text) {
                const char16_t u = c.unicode();
                QVERIFY2((u < 0x80 && (c.isLetterOrNumber() || asciiInText.contains(c))) || (u >= 0x4E00 && u <= 0x9FFF)
                             || u == 0xFF08 || u == 0xFF09, where);
            }
            QCOMPARE(text.count(QChar(0xFF08)), text.count(QChar(0xFF09)));
            // Nothing but the map's nodes is allocated: keys and texts refer to the literals.
            QVERIFY(!it.key().data_ptr().isMutable() && !it.value().data_ptr().isMutable());
        }
        QCOMPARE(folded.size(), table.size() - 1);
        QCOMPARE(table.value("ssh").constData(), table.constFind("ssh").value().constData());
    }
};

QTEST_GUILESS_MAIN(TestKnowledgeBase)
#include "tst_knowledgebase.moc"
