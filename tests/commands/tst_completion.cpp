#include "commands/builtincommands.h"
#include "commands/completionengine.h"
#include "commands/completionsources.h"
#include "core/languagemanager.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

Q_DECLARE_METATYPE(QVector<CompletionCandidate>)

namespace {

// "text:weight" items; "nan" stands for a weight that is not a number.
QVector<CompletionCandidate> weighted(const QStringList &items)
{
    QVector<CompletionCandidate> out;
    for (const QString &item : items) {
        const qsizetype colon = item.lastIndexOf(':');
        const QString w = item.mid(colon + 1);
        out.append({item.left(colon), QString(), QStringLiteral("t"),
                    w == "nan" ? std::nan("") : w.toDouble()});
    }
    return out;
}

QStringList scored(const QVector<CompletionCandidate> &results)
{
    QStringList out;
    for (const CompletionCandidate &c : results)
        out << c.text + '=' + QString::number(c.weight);
    return out;
}

QStringList texts(const QVector<CompletionCandidate> &list)
{
    QStringList out;
    for (const CompletionCandidate &c : list)
        out << c.text;
    return out;
}

// "text|description|tag|weight" per candidate.
QStringList describe(const QVector<CompletionCandidate> &list)
{
    QStringList out;
    for (const CompletionCandidate &c : list)
        out << QStringList{c.text, c.description, c.source, QString::number(c.weight)}.join('|');
    return out;
}

bool makeFile(const QString &path, QFile::Permissions perms)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("#!/bin/sh\n") > 0 && f.setPermissions(perms);
}

const QFile::Permissions kExec = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                  QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
const QFile::Permissions kPlain = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;

} // namespace

class TestCompletion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LanguageManager::setLanguage(QStringLiteral("zh")); }

    void ranking_data()
    {
        QTest::addColumn<QStringList>("candidates");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("recent history prefix beats built-in prefix")
            << QStringList{"git:3.5", "git status:6"} << "gi" << QStringList{"git status=54", "git=36"};
        QTest::newRow("exact, prefix, word, substring")
            << QStringList{"lsof:2", "ls:2", "sudo ls:2", "also:2"} << "ls"
            << QStringList{"ls=40", "lsof=36", "sudo ls=30", "also=20"};
        QTest::newRow("word after a blank") << QStringList{"git status:6"} << "status" << QStringList{"git status=45"};
        QTest::newRow("a hyphen does not start a word")
            << QStringList{"git-status:6"} << "status" << QStringList{"git-status=30"};
        QTest::newRow("a later occurrence starts the word")
            << QStringList{"xstat stat:4"} << "stat" << QStringList{"xstat stat=30"};
        QTest::newRow("tab separates words") << QStringList{"a\tbc:4"} << "bc" << QStringList{"a\tbc=30"};
        QTest::newRow("no-break space does not")
            << QStringList{QString("a") + QChar(0xA0) + "bc:4"} << "bc"
            << QStringList{QString("a") + QChar(0xA0) + "bc=20"};
        QTest::newRow("query with a blank is never a word")
            << QStringList{"echo git status:4"} << "git status" << QStringList{"echo git status=20"};
        QTest::newRow("query trimmed, case ignored")
            << QStringList{"Git:4"} << "  GI \t" << QStringList{"Git=36"};
        QTest::newRow("LS and ls stay apart, upper case first on ties")
            << QStringList{"ls:2", "LS:2"} << "l" << QStringList{"LS=36", "ls=36"};
        QTest::newRow("history LS outranks built-in ls")
            << QStringList{"ls:3.5", "LS:6"} << "l" << QStringList{"LS=54", "ls=36"};
        QTest::newRow("weight factor capped at 1") << QStringList{"make:20"} << "make" << QStringList{"make=100"};
        QTest::newRow("ninth history entry reaches 1")
            << QStringList{"a1:10", "a2:10.5"} << "a" << QStringList{"a1=90", "a2=90"};
        QTest::newRow("weight factor floored at 0.4") << QStringList{"make:-3"} << "make" << QStringList{"make=40"};
        QTest::newRow("a weight that is no number counts as lowest")
            << QStringList{"ab:nan", "a:nan", "abc:5"} << "a" << QStringList{"abc=45", "a=40", "ab=36"};
        QTest::newRow("blank query") << QStringList{"ls:2"} << " \t " << QStringList{};
        QTest::newRow("nothing matches") << QStringList{"ls:2"} << "x" << QStringList{};
        QTest::newRow("longer than every text") << QStringList{"ls:2"} << "lsx" << QStringList{};

        QStringList many;
        QStringList firstTen;
        for (int i = 11; i >= 0; --i)
            many << QString("c%1:2").arg(i, 2, 10, QChar('0'));
        for (int i = 0; i < 10; ++i)
            firstTen << QString("c%1=36").arg(i, 2, 10, QChar('0'));
        QTest::newRow("more than ten matches give the best ten") << many << "c" << firstTen;
    }

    void ranking()
    {
        QFETCH(QStringList, candidates);
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        CompletionEngine engine;
        engine.setCandidates(weighted(candidates));
        QCOMPARE(scored(engine.rank(query)), expected);
    }

    void rankKeepsDescriptionAndTagAndLeavesEngineAlone()
    {
        CompletionEngine engine;
        engine.setCandidates({{"ls", "列出目录内容", "内置", 2.0}});
        QCOMPARE(describe(engine.rank("L")), QStringList{"ls|列出目录内容|内置|36"});
        QCOMPARE(engine.candidates()[0].weight, 2.0);
        engine.maxResults = 0;
        QVERIFY(engine.rank("l").isEmpty());
    }

    void merging_data()
    {
        QTest::addColumn<QVector<CompletionCandidate>>("input");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("history and built-in: larger weight, knowledge text, no tag")
            << QVector<CompletionCandidate>{{"ls", "", "历史", 6}, {"ls", "列出目录内容", "内置", 3.5}}
            << QStringList{"ls|列出目录内容||6"};
        QTest::newRow("a command sent twice weighs as its newest place")
            << QVector<CompletionCandidate>{{"ls", "", "历史", 6}, {"pwd", "", "历史", 6.5}, {"ls", "", "历史", 7}}
            << QStringList{"ls||历史|7", "pwd||历史|6.5"};
        QTest::newRow("texts trimmed, blanks dropped")
            << QVector<CompletionCandidate>{{" ls\t", "", "a", 2}, {"   ", "x", "a", 9}, {"", "", "a", 9}, {"ls", "", "a", 3}}
            << QStringList{"ls||a|3"};
        QTest::newRow("case makes two candidates")
            << QVector<CompletionCandidate>{{"LS", "", "历史", 6}, {"ls", "d", "内置", 3.5}}
            << QStringList{"LS||历史|6", "ls|d|内置|3.5"};
        QTest::newRow("a cleared tag stays cleared")
            << QVector<CompletionCandidate>{{"x", "", "a", 1}, {"x", "", "b", 1}, {"x", "", "a", 1}}
            << QStringList{"x|||1"};
        QTest::newRow("first description wins, weight never drops")
            << QVector<CompletionCandidate>{{"x", "", "a", 5}, {"x", "d1", "a", 2}, {"x", "d2", "a", 4}}
            << QStringList{"x|d1|a|5"};
    }

    void merging()
    {
        QFETCH(QVector<CompletionCandidate>, input);
        QFETCH(QStringList, expected);
        CompletionEngine engine;
        engine.setCandidates({{"stale", "", "a", 9}});
        engine.setCandidates(input);
        QCOMPARE(describe(engine.candidates()), expected);
    }

    // The list with no system named holds both, each name once (case
    // ignored), a name of both systems where Windows has it.
    void mergedBuiltinList()
    {
        const QStringList linux = builtinLinuxCommands();
        const QStringList windows = builtinWindowsCommands();
        const QStringList merged = builtinCommandsFor(QString());
        QSet<QString> folded;
        for (const QString &n : merged)
            folded.insert(n.toLower());
        QCOMPARE(folded.size(), merged.size());
        for (const QString &n : linux + windows)
            QVERIFY2(merged.contains(n, Qt::CaseInsensitive), qPrintable(n));
        for (const char *n : {"cd", "echo", "ping", "sort"})
            QVERIFY(merged.indexOf(QLatin1String(n)) < windows.size() && linux.contains(QLatin1String(n)));
    }

    void listForKey_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("system");
        for (const char *k : {"windows", "Windows ", " CMD", "PowerShell"})
            QTest::newRow(k) << k << "windows";
        for (const char *k : {"linux", "MacOS", "unix\t"})
            QTest::newRow(k) << k << "linux";
        for (const char *k : {"", "auto", "win", "darwin"})
            QTest::newRow(*k ? k : "empty") << k << "both";
    }

    void listForKey()
    {
        QFETCH(QString, key);
        QFETCH(QString, system);
        const QStringList expected = system == "windows" ? builtinWindowsCommands()
                                     : system == "linux" ? builtinLinuxCommands()
                                                         : builtinCommandsFor(QString());
        QCOMPARE(builtinCommandsFor(key), expected);
    }

    void weightsAndDescriptions()
    {
        QCOMPARE(builtinWeight("git"), 3.5);
        QCOMPARE(builtinWeight("Git"), 2.0); // case counts
        QCOMPARE(builtinWeight("ls-files"), 2.0);
        const QList<std::pair<QString, QString>> texts{
            {"DIR", "列出目录内容（类 DOS）"},      {"ctrl+c", "中断当前进程"},
            {"get-childitem", "列出子项"},          {"tail -f", "实时跟踪文件追加"},
            {"tail -F", "实时跟踪包括轮转"},        {"TAIL -f", "实时跟踪包括轮转"}, // folded: first key in table order
            {"pwdx", ""},                           {"", ""}};
        for (const auto &[name, text] : texts)
            QVERIFY2(builtinDescription(name) == text, qPrintable(name));
    }

    void osKey_data()
    {
        QTest::addColumn<QString>("reported");
        QTest::addColumn<bool>("known");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("env");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("path");
        QTest::newRow("ssh host said linux") << "linux" << true << "ssh" << "auto" << "linux" << false;
        QTest::newRow("ssh host said windows") << "windows" << true << "ssh" << "auto" << "windows" << false;
        QTest::newRow("report must match exactly") << "Linux" << true << "raw" << "auto" << "" << false;
        QTest::newRow("report counts without a session") << "windows" << false << "" << "" << "windows" << false;
        QTest::newRow("local auto: this system and PATH") << "" << true << "local" << "auto" << "linux" << true;
        QTest::newRow("local set to windows") << "" << true << "local" << " windows " << "windows" << false;
        QTest::newRow("telnet") << "" << true << "telnet" << "auto" << "linux" << false;
        QTest::newRow("rlogin") << "" << true << "rlogin" << "" << "linux" << false;
        QTest::newRow("serial set to linux") << "" << true << "serial" << "linux" << "linux" << false;
        QTest::newRow("serial") << "" << true << "serial" << "auto" << "" << false;
        QTest::newRow("raw") << "" << true << "raw" << "auto" << "" << false;
        QTest::newRow("no session") << "" << false << "local" << "auto" << "" << false;
    }

    void osKey()
    {
        QFETCH(QString, reported);
        QFETCH(bool, known);
        QFETCH(QString, type);
        QFETCH(QString, env);
        QFETCH(QString, key);
        QFETCH(bool, path);
        const QString got = completionOsKey(reported, known, type, env);
        QCOMPARE(got, key);
        QCOMPARE(offersPathExecutables(known, type, got), path);
    }

    void gatheredSources()
    {
        QVector<CompletionCandidate> all;
        appendHistoryCandidates(all, {"git status", " ", "ls"});
        appendButtonCandidate(all, "  df -h ", "磁盘");
        appendButtonCandidate(all, "   ", "空");
        appendRemoteCandidates(all, {"kubectl", ""});
        appendPathCandidates(all, {"python3.11"});
        appendBuiltinCandidates(all, "windows");
        // Newer history weighs more; a blank button is dropped, a button's text trimmed.
        QCOMPARE(describe(all.mid(0, 7)),
                 (QStringList{"git status||历史|6", " ||历史|6.5", "ls||历史|7", "df -h|磁盘|按钮|5", "kubectl||远端|4",
                              "python3.11||系统|3.5", "attrib|" + builtinDescription("attrib") + "|内置|2"}));

        CompletionEngine engine;
        engine.setCandidates(all);
        // "sort" stands twice in the Windows list and once in the engine.
        QCOMPARE(texts(engine.candidates()).count("sort"), 1);
        // Ties keep code-unit order: every Get-… cmdlet before "gc".
        QCOMPARE(texts(engine.rank("g")),
                 (QStringList{"git status", "Get-ChildItem", "Get-Command", "Get-Content", "Get-Date",
                              "Get-Help", "Get-Location", "Get-Process", "Get-Service", "Group-Object"}));
        QCOMPARE(describe(engine.rank("ls").mid(0, 1)), QStringList{"ls|列出目录内容||70"}); // history and built-in merged
    }

    void tagsFollowTheLanguage()
    {
        LanguageManager::setLanguage(QStringLiteral("en"));
        QCOMPARE(completionSourceTag(CompletionSource::History), QStringLiteral("History"));
        QCOMPARE(completionSourceTag(CompletionSource::Builtin), QStringLiteral("Built-in"));
        LanguageManager::setLanguage(QStringLiteral("zh"));
        QCOMPARE(completionSourceTag(CompletionSource::Remote), QStringLiteral("远端"));
    }

    void pathScan()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString a = root.filePath("a"), b = root.filePath("b");
        QVERIFY(QDir().mkpath(a + "/sub") && QDir().mkpath(a + "/tool.d") && QDir().mkpath(b));
        QVERIFY(makeFile(a + "/tool", kExec));
        QVERIFY(makeFile(a + "/Tool", kExec));
        QVERIFY(makeFile(a + "/python3.11", kExec));
        QVERIFY(makeFile(a + "/.hidden-tool", kExec));
        QVERIFY(makeFile(a + "/notes.txt", kPlain));
        QVERIFY(makeFile(a + "/run-only", QFile::ExeOwner));
        QVERIFY(QFile::link(a + "/tool", a + "/tool-link"));
        QVERIFY(QFile::link(a + "/notes.txt", a + "/notes-link"));
        QVERIFY(QFile::link(a + "/sub", a + "/dir-link"));
        QVERIFY(QFile::link(root.filePath("missing"), a + "/dangling"));
        QVERIFY(makeFile(b + "/tool", kExec));
        QVERIFY(makeFile(b + "/zeta", kExec));

        const QString path = QStringList{"", a, "", "  ", root.filePath("missing"), b, " " + a + " "}.join(':');
        QCOMPARE(scanPathExecutables(path),
                 (QStringList{".hidden-tool", "Tool", "python3.11", "run-only", "tool", "tool-link", "zeta"}));
        QCOMPARE(scanPathExecutables(QString()), QStringList());

        // Read once per process: a later PATH is not seen.
        qputenv("PATH", b.toLocal8Bit());
        QCOMPARE(pathExecutables(), (QStringList{"tool", "zeta"}));
        qputenv("PATH", a.toLocal8Bit());
        QCOMPARE(pathExecutables(), (QStringList{"tool", "zeta"}));
    }
};

QTEST_GUILESS_MAIN(TestCompletion)
#include "tst_completion.moc"
