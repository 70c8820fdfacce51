#include "commands/builtincommands.h"
#include "commands/completionengine.h"
#include "commands/completionsources.h"
#include "core/languagemanager.h"

#include <QDir>
#include <QFile>
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
        QTest::newRow("tab separates words, no-break space not") << QStringList{"a\tbc:4", nbsp + ":4"} << "bc" << QStringList{"a\tbc=30", nbsp + "=20"};
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
        QFETCH(QStringList, expected);
        CompletionEngine engine;
        engine.setCandidates(weighted(candidates));
        QCOMPARE(describe(engine.rank(query), "%1=%4"), expected);
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
        QFETCH(QStringList, expected);
        CompletionEngine engine;
        engine.setCandidates({{"stale", "", "a", 9}});
        engine.setCandidates(input);
        QCOMPARE(describe(engine.candidates()), expected);
    }

    // The list with no system named holds both, each name once (case ignored), a name of both systems
    // where Windows has it; weights and descriptions look names up case-sensitively, bar the folded pair.
    void builtinLists()
    {
        const QStringList linux = builtinLinuxCommands(), windows = builtinWindowsCommands(), merged = builtinCommandsFor(QString());
        QStringList folded = merged;
        for (QString &n : folded)
            n = n.toLower();
        QCOMPARE(folded.removeDuplicates(), 0);
        for (const QString &n : linux + windows)
            QVERIFY2(merged.contains(n, Qt::CaseInsensitive), qPrintable(n));
        for (const char *n : {"cd", "echo", "ping", "sort"})
            QVERIFY(merged.indexOf(QLatin1String(n)) < windows.size() && linux.contains(QLatin1String(n)));
        const std::pair<const char *, QStringList> keys[] = {{"windows", windows}, {"Windows ", windows}, {" CMD", windows},
            {"PowerShell", windows}, {"linux", linux}, {"MacOS", linux}, {"unix\t", linux}, {"auto", merged}, {"win", merged}, {"darwin", merged}};
        for (const auto &[key, list] : keys)
            QVERIFY2(builtinCommandsFor(key) == list, key);
        QVERIFY(builtinWeight("git") == 3.5 && builtinWeight("Git") == 2.0 && builtinWeight("ls-files") == 2.0);
        const QList<std::pair<QString, QString>> texts{
            {"DIR", "列出目录内容（类 DOS）"}, {"ctrl+c", "中断当前进程"}, {"get-childitem", "列出子项"},
            {"tail -f", "实时跟踪文件追加"}, {"tail -F", "实时跟踪包括轮转"}, {"TAIL -f", "实时跟踪包括轮转"}, // first key in table order
            {"pwdx", ""}, {"", ""}};
        for (const auto &[name, text] : texts)
            QVERIFY2(builtinDescription(name) == text, qPrintable(name));
    }

    // "reported,known,type,env" in, "key,path" out (path 1 when PATH executables are offered).
    void osKey_data()
    {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("ssh host said linux") << "linux,1,ssh,auto" << "linux,0";
        QTest::newRow("ssh host said windows") << "windows,1,ssh,auto" << "windows,0";
        QTest::newRow("report must match exactly") << "Linux,1,raw,auto" << ",0";
        QTest::newRow("report counts without a session") << "windows,0,," << "windows,0";
        QTest::newRow("local auto: this system and PATH") << ",1,local,auto" << "linux,1";
        QTest::newRow("local set to windows") << ",1,local, windows " << "windows,0";
        QTest::newRow("telnet") << ",1,telnet,auto" << "linux,0";
        QTest::newRow("rlogin") << ",1,rlogin," << "linux,0";
        QTest::newRow("serial set to linux") << ",1,serial,linux" << "linux,0";
        QTest::newRow("serial") << ",1,serial,auto" << ",0";
        QTest::newRow("no session") << ",0,local,auto" << ",0";
    }

    void osKey()
    {
        QFETCH(QString, in);
        QFETCH(QString, out);
        const QStringList f = in.split(',');
        const QString key = completionOsKey(f[0], f[1] == "1", f[2], f[3]);
        QCOMPARE(key + (offersPathExecutables(f[1] == "1", f[2], key) ? ",1" : ",0"), out);
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
        // Ties keep code-unit order: every Get-… cmdlet before "gc".
        QCOMPARE(describe(engine.rank("g"), "%1").join(' '),
                 "git status Get-ChildItem Get-Command Get-Content Get-Date Get-Help Get-Location Get-Process Get-Service Group-Object");
        QCOMPARE(describe(engine.rank("ls").mid(0, 1)), QStringList{"ls|列出目录内容||70"}); // history and built-in merged
        QCOMPARE(describe(engine.rank("KUB") + engine.rank("KUB")), QStringList(2, "kubectl||远端|36")); // weights left alone
        engine.maxResults = 0;
        QVERIFY(engine.rank("l").isEmpty());
        LanguageManager::setLanguage(QStringLiteral("en"));
        QVERIFY(completionSourceTag(CompletionSource::History) == "History" && completionSourceTag(CompletionSource::Builtin) == "Built-in");
        LanguageManager::setLanguage(QStringLiteral("zh"));
    }

    // Executables only (links followed, hidden ones kept), each name once,
    // in order; PATH is read once per process.
    void pathScan()
    {
        QTemporaryDir root;
        const QString a = root.filePath("a"), b = root.filePath("b");
        QVERIFY(root.isValid() && QDir().mkpath(a + "/sub") && QDir().mkpath(a + "/tool.d") && QDir().mkpath(b));
        const auto exec = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther;
        const QList<std::pair<QString, QFile::Permissions>> files{
            {a + "/tool", exec}, {a + "/Tool", exec}, {a + "/python3.11", exec}, {a + "/.hidden-tool", exec},
            {a + "/notes.txt", QFile::ReadOwner | QFile::WriteOwner}, {a + "/run-only", QFile::ExeOwner},
            {b + "/tool", exec}, {b + "/zeta", exec}};
        for (const auto &[path, perms] : files) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("#!/bin/sh\n") > 0 && f.setPermissions(perms));
        }
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
