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

class TestCompletionGather : public QObject
{
    Q_OBJECT
    QTemporaryDir pathDir;

private slots:
    void initTestCase()
    {
        LanguageManager::setLanguage(QStringLiteral("zh"));
        // PATH is scanned once per process: one tool on it from the start.
        QFile tool(pathDir.filePath("hv-local-tool"));
        QVERIFY(tool.open(QIODevice::WriteOnly) && tool.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        qputenv("PATH", pathDir.path().toLocal8Bit());
        SessionStore::instance().addButtonGroup("g");
        SessionStore::instance().addButton("g", {"磁盘", " df -h ", ""});
    }

    // Session type ("" for a quick-connect id), env_type, what the host reported; the names offered.
    void sourcesPerSystem_data()
    {
        QTest::addColumn<QStringList>("session");
        QTest::addColumn<QString>("expected");
        const QString both = "apt ipconfig remote-only df -h";
        QTest::newRow("local: Linux names and PATH") << QStringList{"local", "auto", ""} << "hv-local-tool apt remote-only df -h";
        QTest::newRow("local set to windows") << QStringList{"local", " windows ", ""} << "ipconfig remote-only df -h";
        QTest::newRow("ssh") << QStringList{"ssh", "auto", ""} << "apt remote-only df -h";
        QTest::newRow("ssh reported windows") << QStringList{"ssh", "auto", "windows"} << "ipconfig remote-only df -h";
        QTest::newRow("ssh reported an unknown system") << QStringList{"ssh", "auto", "Plan 9\x01"} << "apt remote-only df -h";
        QTest::newRow("serial") << QStringList{"serial", "auto", ""} << both;
        QTest::newRow("quick connect") << QStringList{"", "", ""} << both;
        QTest::newRow("quick connect, linux host") << QStringList{"", "", "linux"} << "apt remote-only df -h";
        QTest::newRow("raw, report not exactly linux") << QStringList{"raw", "auto", "Linux"} << both;
        QTest::newRow("rlogin, no env type") << QStringList{"rlogin", "", ""} << "apt remote-only df -h";
        QTest::newRow("serial set to linux") << QStringList{"serial", "linux", ""} << "apt remote-only df -h";
    }

    void sourcesPerSystem()
    {
        QFETCH(QStringList, session);
        SessionStore &store = SessionStore::instance();
        QString id = QString("fast:%1").arg(QTest::currentDataTag());
        if (!session[0].isEmpty()) {
            id = store.addSession(QTest::currentDataTag(), session[0], QString(), "h", "1");
            SessionInfo s = *store.findSession(id);
            s.env_type = session[1];
            QVERIFY(store.updateSession(s));
        }
        remoteEnvRegistry().setRemoteEnv(id, session[2], {"remote-only", "  "});
        const QString huge(MaxCandidateChars + 1, 'x');
        const Candidates all = gatherCompletionCandidates(id, {"ls", huge});
        QStringList offered;
        for (const QString &name : QStringList{"hv-local-tool", "apt", "ipconfig", "remote-only", "df -h", huge})
            if (std::any_of(all.cbegin(), all.cend(), [&](const CompletionCandidate &c) { return c.text == name; }))
                offered << name;
        QTEST(offered.join(' '), "expected");
        QCOMPARE(all.first().text, QString("ls"));
    }

    // text, HEX on or walking the history; what the end of the pause asks for.
    void pauseAndRules_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one line, untrimmed") << "  gi" << "" << "show git";
        QTest::newRow("no match") << "zzqq" << "" << "hide";
        QTest::newRow("hex on") << "gi" << "hex" << "hide";
        QTest::newRow("line break") << "gi\n" << "" << "hide";
        QTest::newRow("blank") << " \t " << "" << "hide";
        QTest::newRow("history walk") << "gi" << "walking" << "hide";
        QTest::newRow("1 MiB query") << QString(1 << 20, 'g') << "" << "hide";
    }

    void pauseAndRules()
    {
        QFETCH(QString, text);
        QFETCH(QString, state);
        CompletionGatherer g;
        g.setCandidates({{"git", "", "t", 4}, {"ls", "", "t", 4}});
        g.setHex(state == "hex");
        g.setWalkingHistory(state == "walking");
        QSignalSpy shown(&g, &CompletionGatherer::showRequested);
        QSignalSpy hidden(&g, &CompletionGatherer::hideRequested);
        g.setText(text);
        QVERIFY(g.pause().isActive() && g.pause().interval() == 90 && shown.isEmpty() && hidden.isEmpty());
        g.update();
        QTEST(shown.isEmpty() ? QString(hidden.isEmpty() ? "" : "hide") : "show " + shown[0][0].value<Candidates>()[0].text,
              "expected");
    }
};

QTEST_GUILESS_MAIN(TestCompletionGather)
#include "tst_completiongather.moc"
