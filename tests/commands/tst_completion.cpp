#include "commands/builtincommands.h"
#include "commands/completionengine.h"
#include "commands/completionsources.h"
#include "core/languagemanager.h"
#include "tests/support/testfiles.h"

#include <QTemporaryDir>
#include <QTest>

using Candidates = QVector<CompletionCandidate>;
Q_DECLARE_METATYPE(Candidates)

namespace {

// "text:weight" items; "nan" parses as a weight that is not a number.
Candidates weighted(const QStringList &items)
{
    Candidates out;
    for (const QString &item : items)
        out.append({item.section(':', 0, -2), QString(), QStringLiteral("t"), item.section(':', -1).toDouble()});
    return out;
}

// Each candidate through a format of %1 text, %2 description, %3 tag, %4 weight.
QStringList describe(const Candidates &list, const char *format = "%1|%2|%3|%4")
{
    QStringList out;
    for (const CompletionCandidate &c : list)
        out << QString::fromUtf8(format).replace("%1", c.text).replace("%2", c.description).replace("%3", c.source)
                   .replace("%4", QString::number(c.weight));
    return out;
}

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
        const QString nbsp = QString("a") + QChar(0xA0) + "bc";
        QTest::newRow("history prefix beats built-in prefix") << QStringList{"git:3.5", "git status:6"} << "gi" << QStringList{"git status=54", "git=36"};
        QTest::newRow("exact, prefix, word, substring") << QStringList{"lsof:2", "ls:2", "sudo ls:2", "also:2"} << "ls"
                                                        << QStringList{"ls=40", "lsof=36", "sudo ls=30", "also=20"};
        QTest::newRow("a blank starts a word, a hyphen not") << QStringList{"git status:6", "git-status:6"} << "status"
                                                             << QStringList{"git status=45", "git-status=30"};
        QTest::newRow("later occurrence starts the word") << QStringList{"xstat stat:4"} << "stat" << QStringList{"xstat stat=30"};
        QTest::newRow("tab, CR separate words, no-break space not") << QStringList{"a\tbc:4", nbsp + ":4", "x\rbc:4"} << "bc"
                                                                  << QStringList{"a\tbc=30", "x\rbc=30", nbsp + "=20"};
        QTest::newRow("query with a blank is no word") << QStringList{"echo git status:4"} << "git status" << QStringList{"echo git status=20"};
        QTest::newRow("query trimmed, case ignored") << QStringList{"Git:4"} << "  GI \t" << QStringList{"Git=36"};
        QTest::newRow("upper case first on ties") << QStringList{"ls:2", "LS:2"} << "l" << QStringList{"LS=36", "ls=36"};
        QTest::newRow("history LS outranks built-in ls") << QStringList{"ls:3.5", "LS:6"} << "l" << QStringList{"LS=54", "ls=36"};
        QTest::newRow("factor between 0.4 and 1") << QStringList{"make:20", "make -j:-3"} << "make" << QStringList{"make=100", "make -j=36"};
        QTest::newRow("ninth history entry reaches 1") << QStringList{"a1:10", "a2:10.5"} << "a" << QStringList{"a1=90", "a2=90"};
        QTest::newRow("NaN weight counts as lowest") << QStringList{"ab:nan", "a:nan", "abc:5"} << "a" << QStringList{"abc=45", "a=40", "ab=36"};
        QTest::newRow("blank query") << QStringList{"ls:2"} << " \t " << QStringList{};
        QTest::newRow("no match, longer than every text") << QStringList{"ls:2"} << "lsx" << QStringList{};
        QStringList many;
        for (int i = 11; i >= 0; --i)
            many << QString("c%1:2").arg(i, 2, 10, QChar('0'));
        QTest::newRow("best ten of twelve") << many << "c" << QStringList(many.crbegin(), many.crbegin() + 10).replaceInStrings(":2", "=36");
    }

    void ranking()
    {
        QFETCH(QStringList, candidates);
        QFETCH(QString, query);
        CompletionEngine engine;
        engine.setCandidates(weighted(candidates));
        QTEST(describe(engine.rank(query), "%1=%4"), "expected");
    }

    void merging_data()
    {
        QTest::addColumn<Candidates>("input");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("history and built-in: top weight, knowledge text, no tag") << Candidates{{"ls", "", "历史", 6}, {"ls", "列出目录内容", "内置", 3.5}} << QStringList{"ls|列出目录内容||6"};
        QTest::newRow("resent: newest place") << Candidates{{"ls", "", "历史", 6}, {"pwd", "", "历史", 6.5}, {"ls", "", "历史", 7}}
                                              << QStringList{"ls||历史|7", "pwd||历史|6.5"};
        QTest::newRow("trimmed, blanks dropped") << Candidates{{" ls\t", "", "a", 2}, {"   ", "x", "a", 9}, {"", "", "a", 9}, {"ls", "", "a", 3}}
                                                 << QStringList{"ls||a|3"};
        QTest::newRow("case makes two") << Candidates{{"LS", "", "历史", 6}, {"ls", "d", "内置", 3.5}} << QStringList{"LS||历史|6", "ls|d|内置|3.5"};
        QTest::newRow("cleared tag stays cleared; first description, top weight")
            << Candidates{{"x", "", "a", 1}, {"x", "", "b", 1}, {"x", "", "a", 1}, {"y", "", "a", 5}, {"y", "d1", "a", 2}, {"y", "d2", "a", 4}}
            << QStringList{"x|||1", "y|d1|a|5"};
    }

    void merging()
    {
        QFETCH(Candidates, input);
        CompletionEngine engine;
        engine.setCandidates({{"stale", "", "a", 9}});
        engine.setCandidates(input);
        QTEST(describe(engine.candidates()), "expected");
    }

    // The list with no system named holds both, each name once (case ignored), a name of both systems
    // where Windows has it; weights and descriptions look names up case-sensitively, bar the folded pair.
    void builtinLists()
    {
        const QStringList linux = builtinLinuxCommands(), windows = builtinWindowsCommands(), merged = builtinCommandsFor(QString());
        QStringList folded = merged.join('\n').toLower().split('\n');
        QCOMPARE(folded.removeDuplicates(), 0);
        for (const QString &n : linux + windows)
            QVERIFY2(merged.contains(n, Qt::CaseInsensitive), qPrintable(n));
        for (const char *n : {"cd", "echo", "ping", "sort"})
            QVERIFY(merged.indexOf(QLatin1String(n)) < windows.size() && linux.contains(QLatin1String(n)));
        const std::pair<const char *, QStringList> keys[] = {{"windows", windows}, {"Windows ", windows}, {" CMD", windows},
            {"PowerShell", windows}, {"linux", linux}, {"MacOS", linux}, {"unix\t", linux}, {"auto", merged}, {"win", merged}, {"darwin", merged}};
        for (const auto &[key, list] : keys)
            QVERIFY2(builtinCommandsFor(key) == list, key);
        // Case-blind look-up: the first key in table order that folds to the name.
        QCOMPARE(builtinDescription("TAIL -f"), builtinDescription("tail -F"));
        QVERIFY(builtinDescription("tail -f") != builtinDescription("tail -F") && builtinDescription("pwdx").isEmpty());
        QVERIFY(builtinWeight("git") > builtinWeight("Git"));
    }

    void gatheredSources()
    {
        Candidates all;
        appendHistoryCandidates(all, {"git status", " ", "ls"});
        appendButtonCandidate(all, "  df -h ", "磁盘");
        appendButtonCandidate(all, "   ", "空");
        appendRemoteCandidates(all, {"kubectl", ""});
        appendPathCandidates(all, {"python3.11"});
        appendBuiltinCandidates(all, "windows");
        // Newer history weighs more; a blank button is dropped, a button's text trimmed.
        QCOMPARE(describe(all.mid(0, 7)), (QStringList{"git status||历史|6", " ||历史|6.5", "ls||历史|7", "df -h|磁盘|按钮|5",
                                                      "kubectl||远端|4", "python3.11||系统|3.5",
                                                      "attrib|" + builtinDescription("attrib") + "|内置|2"}));
        CompletionEngine engine;
        engine.setCandidates(all);
        QCOMPARE(describe(engine.candidates(), "%1").count("sort"), 1); // twice in the Windows list
        QCOMPARE(describe(engine.rank("ls").mid(0, 1)), QStringList{"ls|列出目录内容||70"}); // history and built-in merged
        QCOMPARE(describe(engine.rank("KUB") + engine.rank("KUB")), QStringList(2, "kubectl||远端|36")); // weights left alone
        engine.maxResults = 0;
        QVERIFY(engine.rank("l").isEmpty());
    }

    // Executables only (links followed, hidden ones kept), each name once,
    // in order; PATH is read once per process.
    void pathScan()
    {
        QTemporaryDir root;
        const QString a = root.filePath("a"), b = root.filePath("b");
        QVERIFY(QDir().mkpath(a + "/sub") && QDir().mkpath(a + "/tool.d"));
        const auto exec = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther;
        const QList<std::pair<QString, QFile::Permissions>> files{
            {a + "/tool", exec}, {a + "/Tool", exec}, {a + "/python3.11", exec}, {a + "/.hidden-tool", exec},
            {a + "/notes.txt", QFile::ReadOwner | QFile::WriteOwner}, {a + "/run-only", QFile::ExeOwner},
            {b + "/tool", exec}, {b + "/zeta", exec}};
        for (const auto &[path, perms] : files)
            QVERIFY(writeFile(path, "#!/bin/sh\n") && QFile::setPermissions(path, perms));
        for (const auto &[target, link] : {std::pair{"a/tool", "tool-link"}, {"a/notes.txt", "notes-link"},
                                           {"a/sub", "dir-link"}, {"missing", "dangling"}})
            QVERIFY(QFile::link(root.filePath(target), a + '/' + link));
        const QString path = QStringList{"", a, "", "  ", root.filePath("missing"), b, " " + a + " "}.join(':');
        QCOMPARE(scanPathExecutables(path), (QStringList{".hidden-tool", "Tool", "python3.11", "run-only", "tool", "tool-link", "zeta"}));
        QCOMPARE(scanPathExecutables(QString()), QStringList());
        qputenv("PATH", b.toLocal8Bit());
        QCOMPARE(pathExecutables(), (QStringList{"tool", "zeta"}));
        qputenv("PATH", a.toLocal8Bit());
        QCOMPARE(pathExecutables(), (QStringList{"tool", "zeta"}));
    }
};

QTEST_GUILESS_MAIN(TestCompletion)
#include "tst_completion.moc"
