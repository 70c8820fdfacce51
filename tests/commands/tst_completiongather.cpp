#include "commands/completiongatherer.h"
#include "core/languagemanager.h"
#include "core/remoteenvregistry.h"
#include "core/sessionstore.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Candidates = QVector<CompletionCandidate>;
Q_DECLARE_METATYPE(Candidates)

namespace {

// Which probe names a gathered list holds: the PATH executable, a name only
// Linux has, one only Windows has, the host's command, the button, and the
// history entry that is too long to offer.
QString probe(const Candidates &all)
{
    const auto has = [&all](const QString &text) {
        return std::any_of(all.cbegin(), all.cend(), [&](const CompletionCandidate &c) { return c.text == text; });
    };
    QStringList out;
    for (const char *name : {"hv-local-tool", "apt", "ipconfig", "remote-only", "df -h"})
        if (has(QString::fromLatin1(name)))
            out << QString::fromLatin1(name);
    if (has(QString(MaxCandidateChars + 1, 'x')))
        out << "huge";
    return out.join(' ');
}

} // namespace

class TestCompletionGather : public QObject
{
    Q_OBJECT

    QTemporaryDir pathDir;

private slots:
    void initTestCase()
    {
        LanguageManager::setLanguage(QStringLiteral("zh"));
        // PATH is scanned once per process: it holds one tool from the start.
        QFile tool(pathDir.filePath("hv-local-tool"));
        QVERIFY(tool.open(QIODevice::WriteOnly) && tool.write("#!/bin/sh\n") > 0 &&
                tool.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        qputenv("PATH", pathDir.path().toLocal8Bit());
        SessionStore::instance().addButtonGroup("g");
        SessionStore::instance().addButton("g", {"磁盘", " df -h ", ""});
    }

    void sourcesPerSystem_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("env");
        QTest::addColumn<QString>("reported");
        QTest::addColumn<QString>("expected");
        const QString both = "apt ipconfig remote-only df -h";
        QTest::newRow("local: Linux names and PATH") << "local" << "auto" << "" << "hv-local-tool apt remote-only df -h";
        QTest::newRow("local set to windows: no PATH") << "local" << "windows" << "" << "ipconfig remote-only df -h";
        QTest::newRow("ssh, nothing reported") << "ssh" << "auto" << "" << "apt remote-only df -h";
        QTest::newRow("ssh reported windows") << "ssh" << "auto" << "windows" << "ipconfig remote-only df -h";
        QTest::newRow("ssh reported an unknown system") << "ssh" << "auto" << "Plan 9\x01" << "apt remote-only df -h";
        QTest::newRow("serial: both lists") << "serial" << "auto" << "" << both;
        QTest::newRow("raw: both lists") << "raw" << "" << "" << both;
        QTest::newRow("quick connect: both lists") << "" << "" << "" << both;
        QTest::newRow("quick connect, host said linux") << "" << "" << "linux" << "apt remote-only df -h";
    }

    void sourcesPerSystem()
    {
        QFETCH(QString, type);
        QFETCH(QString, env);
        QFETCH(QString, reported);
        QFETCH(QString, expected);
        SessionStore &store = SessionStore::instance();
        QString id = QStringLiteral("fast:%1").arg(QTest::currentDataTag());
        if (!type.isEmpty()) {
            id = store.addSession(QTest::currentDataTag(), type, QString(), "h", "1");
            SessionInfo s = *store.findSession(id);
            s.env_type = env;
            QVERIFY(store.updateSession(s));
        }
        remoteEnvRegistry().setRemoteEnv(id, reported, {"remote-only", "  "});
        const Candidates all = gatherCompletionCandidates(id, {"ls", QString(MaxCandidateChars + 1, 'x')});
        QCOMPARE(probe(all), expected);
        QCOMPARE(all.first().text, QString("ls")); // history first
    }

    // text, hex, walking the history, then the pause ends: "show", "hide" or "" (nothing).
    void pauseAndRules_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("hex");
        QTest::addColumn<bool>("walking");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one line") << "gi" << false << false << "show git";
        QTest::newRow("untrimmed query still ranks") << "  gi" << false << false << "show git";
        QTest::newRow("no match") << "zzqq" << false << false << "hide";
        QTest::newRow("hex on") << "gi" << true << false << "hide";
        QTest::newRow("two lines") << "gi\nls" << false << false << "hide";
        QTest::newRow("blank") << " \t " << false << false << "hide";
        QTest::newRow("history walk") << "gi" << false << true << "hide";
        QTest::newRow("1 MiB query") << QString(1 << 20, 'g') << false << false << "hide";
    }

    void pauseAndRules()
    {
        QFETCH(QString, text);
        QFETCH(bool, hex);
        QFETCH(bool, walking);
        QFETCH(QString, expected);
        CompletionGatherer g;
        g.setCandidates({{"git", "", "t", 4}, {"ls", "", "t", 4}});
        if (hex)
            g.setHex(true);
        g.setWalkingHistory(walking);
        QSignalSpy shown(&g, &CompletionGatherer::showRequested);
        QSignalSpy hidden(&g, &CompletionGatherer::hideRequested);
        g.setText(text);
        // Nothing is ranked until the pause ends.
        QVERIFY(g.pause().isActive() && g.pause().interval() == 90 && shown.isEmpty());
        g.update();
        QString got = hidden.isEmpty() ? "" : "hide";
        if (!shown.isEmpty())
            got = "show " + shown.first().first().value<Candidates>().first().text;
        QCOMPARE(got, expected);
    }

    // A query ranked or accepted once is not ranked again until the
    // candidates change or HEX goes off.
    void sameQueryOnce()
    {
        CompletionGatherer g;
        QSignalSpy shown(&g, &CompletionGatherer::showRequested);
        g.setCandidates({{"git", "", "t", 4}});
        g.setText("gi");
        g.update();
        g.update();
        QCOMPARE(shown.size(), 1);
        g.setCandidates({{"git", "", "t", 4}});
        g.update();
        QCOMPARE(shown.size(), 2);
        g.setHex(true);
        g.setHex(false);
        QVERIFY(g.pause().isActive());
        g.update();
        QCOMPARE(shown.size(), 3);
        g.setText("git");
        g.accept("git");
        QVERIFY(!g.pause().isActive());
        g.update();
        QCOMPARE(shown.size(), 3);
        // A rebuild while results are shown ranks them again after the pause.
        g.setText("gi");
        g.rebuild("fast:none", {}, true);
        QVERIFY(g.pause().isActive());
    }

    void insertion_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("expected");
        QTest::newRow("prefix") << "gi" << "git" << "t";
        QTest::newRow("prefix in another case") << "GI" << "git" << "t";
        QTest::newRow("a later word") << "log" << "tail -f logs" << "s";
        QTest::newRow("no match") << "xy" << "git" << "";
        QTest::newRow("already complete") << "git" << "git" << "";
        QTest::newRow("line end in the rest") << "ec" << "echo\nrm -rf ~" << "";
        QTest::newRow("escape in the rest") << "ls" << "ls\x1b[2J" << "";
        QTest::newRow("C1 control in the rest") << "ls" << QString("ls") + QChar(0x9b) << "";
        QTest::newRow("tab inside the word match") << "ta" << "x\ttail" << "il";
    }

    void insertion()
    {
        QFETCH(QString, typed);
        QFETCH(QString, chosen);
        QFETCH(QString, expected);
        QCOMPARE(completionInsertion(typed, chosen), expected);
    }
};

QTEST_GUILESS_MAIN(TestCompletionGather)
#include "tst_completiongather.moc"
