#include "core/sessionstore.h"
#include "tests/support/storetext.h"
#include "tests/support/testfiles.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>

namespace {

using Op = std::function<QVariant(SessionStore &)>;

QString add(SessionStore &store, const QString &name, const QString &group = QString(), const QString &type = "ssh")
{
    return store.addSession(name, type, group, QString(), QString());
}

QString idOf(const SessionStore &store, const QString &name, const QString &group)
{
    QList<SessionInfo> all = store.ungrouped();
    for (const SessionGroup &g : store.groups())
        all += g.sessions;
    const auto it = std::find_if(all.cbegin(), all.cend(), [&](const SessionInfo &s) { return s.name == name && s.group == group; });
    return it == all.cend() ? QString() : it->id;
}

// A stored session changed through updateSession.
Op update(const QString &name, const QString &group, const std::function<void(SessionInfo &)> &change)
{
    return [=](SessionStore &s) {
        SessionInfo record = *s.findSession(idOf(s, name, group));
        change(record);
        return s.updateSession(record);
    };
}

} // namespace

Q_DECLARE_METATYPE(Op)

class TestSessionStore : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_box;
    SessionStore::Folders m_folders;

    QString sessionsPath() const { return m_folders.data + "/halvorstead_sessions.json"; }
    QString buttonsPath() const { return m_folders.data + "/halvorstead_buttons.json"; }

private slots:
    void init()
    {
        m_box.reset(new QTemporaryDir);
        const QString root = m_box->path();
        for (const char *sub : {"data", "app", "appdata"})
            QDir(root).mkdir(QLatin1String(sub));
        m_folders = {root + "/data", root + "/app", root + "/appdata", true};
    }

    void filesRoundTrip()
    {
        writeFile(sessionsPath(), R"({"groups": [
            {"name": "生产", "icon": "🚀", "sessions": [{"id": "a1", "name": "数据库 主", "type": "ssh", "host": "db",
                                                     "port": "2222", "status": "connected", "serial_flow": 2}]},
            {"name": "空组", "sessions": []}], "sessions": [{"id": "b2", "name": "🐧", "type": "local"},
            {"id": "c3", "name": "c", "type": "serial", "host": "/dev/ttyUSB0", "port": 22.5},
            {"id": "d4", "name": "d", "type": "serial", "host": "COM3", "serial_port": ""}]})");
        writeFile(buttonsPath(), R"({"buttonGroups": [{"label": "常用", "buttons": [
            {"text": "列表 📂", "command": "ls -l\\r", "color": "green"}, {"text": "t"}]}, {"label": "空"}]})");
        SessionStore store(m_folders);
        QCOMPARE(store.groups()[1].icon, "🗂️");
        // The serial port was once kept in the host.
        const SessionInfo c3 = *store.findSession("c3");
        QCOMPARE(c3.serial_port + ' ' + c3.port + ' ' + store.findSession("d4")->serial_port, "/dev/ttyUSB0 22.5 COM3");
        store.setSessionStatus("a1", "connecting");
        store.addButton("空", ButtonCommand{"uptime", "uptime", {}});
        QVERIFY(!readFile(sessionsPath()).contains("\"group\""));

        SessionStore again(m_folders);
        QCOMPARE(sessionLayout(again), "生产(数据库 主) 空组() | 🐧:local c:serial d:serial");
        SessionInfo expected = *store.findSession("a1");
        expected.status = "idle"; // the state is never read back
        QCOMPARE(again.findSession("a1")->toJson(), expected.toJson());
        QCOMPARE(buttonLayout(again), "常用(列表 📂=ls -l\\r:green t=) 空(uptime)");
    }

    // A file that cannot be read, or only in part, is kept beside it as it
    // was before the first save over it (once); a key that is merely missing
    // is no loss.
    void damagedFilesAreKeptAside_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("kept");
        QTest::newRow("truncated") << QByteArray(R"({"groups": [{"name": "生产", "sessions": [{"id": "x")") << true;
        QTest::newRow("array at the top") << QByteArray(R"([{"id": "x", "name": "lost?"}])") << true;
        QTest::newRow("groups an object") << QByteArray(
            R"({"groups":{"name":"prod","sessions":[{"id":"a1","name":"db","type":"ssh"}]},)"
            R"("sessions":[{"id":"n1","name":2024,"type":"ssh","host":10}]})") << true;
        QTest::newRow("group sessions an object") << QByteArray(R"({"groups":[{"sessions":{"id":"a"}}]})") << true;
        QTest::newRow("baud as text") << QByteArray(R"({"sessions":[{"id":"a","serial_baud":"9600"}]})") << true;
        QTest::newRow("unknown key") << QByteArray(R"({"sessions":[{"id":"a","colour":"red"}]})") << true;
        QTest::newRow("repeated id") << QByteArray(R"({"sessions":[{"id":"a"},{"id":"a"}]})") << true;
        QTest::newRow("missing keys") << QByteArray(R"({"sessions":[{"name":"x"}]})") << false;
        QTest::newRow("numbers as text") << QByteArray(R"({"sessions":[{"id":"a","name":7,"port":22}]})") << false;
        QTest::newRow("button groups an object") << QByteArray(R"({"buttonGroups":{"label":"x"}})") << true;
        QTest::newRow("button text a number") << QByteArray(R"({"buttonGroups":[{"buttons":[{"text":1}]}]})") << false;
    }
    void damagedFilesAreKeptAside()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, kept);
        const bool buttons = json.contains("buttonGroups");
        const QString path = buttons ? buttonsPath() : sessionsPath();
        writeFile(path, json);
        if (kept)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("was kept as .*\\.corrupt-\\d{8}_\\d{6}$"));
        SessionStore store(m_folders);
        for (const QString name : {"e1", "e2"})
            buttons ? store.addButtonGroup(name) : void(add(store, name));
        const QStringList aside = QDir(m_folders.data).entryList({QFileInfo(path).fileName() + ".corrupt-*"});
        QCOMPARE(aside.size(), kept ? 1 : 0);
        if (kept)
            QCOMPARE(readFile(m_folders.data + QLatin1Char('/') + aside[0]), json);
        // The saved file holds what the store holds, numbers as their text.
        SessionStore again(m_folders);
        QCOMPARE(sessionLayout(again) + buttonLayout(again), sessionLayout(store) + buttonLayout(store));
        if (QTest::currentDataTag() == QByteArray("groups an object"))
            QCOMPARE(store.findSession("n1")->host, "10");
    }

    void emptyDocumentsChangeNothing()
    {
        SessionStore store(m_folders);
        add(store, "keep");
        store.addButtonGroup("g");
        writeFile(sessionsPath(), R"({"groups":[],"sessions":[]})");
        writeFile(buttonsPath(), R"({"buttonGroups":[]})");
        store.loadSessions();
        store.loadButtons();
        QCOMPARE(sessionLayout(store) + buttonLayout(store), "| keepg()");
    }

    // Saved at once, so the new ids stay the same across starts, and every
    // session can be removed.
    void missingAndRepeatedIdsAreRenewed()
    {
        writeFile(sessionsPath(), R"({"groups": [{"name": "g", "sessions": [{"id": "same", "name": "first"},
            {"name": "no id"}]}], "sessions": [{"id": "same", "name": "second"}, {"id": "", "name": "blank"}]})");
        SessionStore store(m_folders);
        QCOMPARE(store.findSession("same")->name, "first");
        SessionStore again(m_folders);
        for (const SessionInfo &s : store.groups()[0].sessions + store.ungrouped())
            QVERIFY(again.removeSession(s.id));
    }

    void failedSaveKeepsChangeInMemory()
    {
        writeFile(m_box->path() + "/file", "x");
        SessionStore store({m_box->path() + "/file/data", QString(), QString(), false});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to open session store: \".+\"$"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to open button store: "));
        QVERIFY(!add(store, "s").isEmpty());
        store.addButtonGroup("g");
        QCOMPARE(sessionLayout(store) + buttonLayout(store), "| sg()");
    }

    // Each operation on the same store; what it leaves is also what the file
    // holds. A refused operation changes nothing. Session rows give the
    // sessions' layout, button rows ("g(...)") the buttons'.
    void operations_data()
    {
        QTest::addColumn<Op>("op");
        QTest::addColumn<QVariant>("result");
        QTest::addColumn<QString>("expected");
        const QString before = "g(db web tel:telnet) other(far) | loose web";
        const auto rename = [](const QString &name, const QString &group, const QString &to) {
            return Op([=](SessionStore &s) { s.renameSession(idOf(s, name, group), to); return QVariant(); });
        };
        const auto added = [](const QString &name, const QString &group, const QString &type) {
            return Op([=](SessionStore &s) { return QVariant(!add(s, name, group, type).isEmpty()); });
        };
        // Removes what "what" does and tells whether the current session, db, is still current.
        const auto removeCurrent = [](const std::function<void(SessionStore &)> &what) {
            return Op([=](SessionStore &s) {
                const QString db = idOf(s, "db", "g");
                s.setCurrentSessionId(db);
                what(s);
                return QVariant(s.currentSessionId() == db);
            });
        };
        const auto button = [](const std::function<void(SessionStore &)> &what) {
            return Op([=](SessionStore &s) { what(s); return QVariant(); });
        };
        const ButtonCommand x{"x", "x\\r", {}};
        QTest::newRow("add taken") << added("db", "g", "ssh") << QVariant(false) << before;
        QTest::newRow("add other type") << added("db", "g", "raw") << QVariant(true) << "g(db web tel:telnet db:raw) other(far) | loose web";
        QTest::newRow("add to new group") << added("x", "new", "ssh") << QVariant(true) << "g(db web tel:telnet) other(far) new(x) | loose web";
        QTest::newRow("rename trimmed") << rename("db", "g", " new ") << QVariant() << "g(new web tel:telnet) other(far) | loose web";
        QTest::newRow("rename blanks") << rename("db", "g", "  ") << QVariant() << before;
        QTest::newRow("rename taken in group") << rename("db", "g", "web") << QVariant() << before;
        QTest::newRow("rename, other type") << rename("db", "g", "tel") << QVariant() << "g(tel web tel:telnet) other(far) | loose web";
        QTest::newRow("update keeps type and place") << update("db", "g", [](SessionInfo &r) { r.type = "raw"; r.status = "connected"; })
                                                     << QVariant(true) << "g(db web tel:telnet) other(far) | loose web";
        QTest::newRow("update renames in place") << update("web", "", [](SessionInfo &r) { r.name = "w2"; r.host = "h"; })
                                                 << QVariant(true) << "g(db web tel:telnet) other(far) | loose w2";
        QTest::newRow("update to another group goes last") << update("db", "g", [](SessionInfo &r) { r.group = "other"; })
                                                           << QVariant(true) << "g(web tel:telnet) other(far db) | loose web";
        QTest::newRow("update to a new group") << update("loose", "", [](SessionInfo &r) { r.group = "h"; })
                                               << QVariant(true) << "g(db web tel:telnet) other(far) h(loose) | web";
        QTest::newRow("update, kept type decides")
            << update("far", "other", [](SessionInfo &r) { r.group.clear(); r.name = "web"; r.type = "telnet"; }) << QVariant(false) << before;
        QTest::newRow("remove") << Op([](SessionStore &s) { return s.removeSession(idOf(s, "web", "")); })
                                << QVariant(true) << "g(db web tel:telnet) other(far) | loose";
        QTest::newRow("remove current") << removeCurrent([](SessionStore &s) { s.removeSession(idOf(s, "db", "g")); })
                                        << QVariant(false) << "g(web tel:telnet) other(far) | loose web";
        // A group's sessions move to the top level, numbered where the name
        // and type are taken there; the current one stays current.
        QTest::newRow("remove another group") << removeCurrent([](SessionStore &s) { s.removeGroup("other"); })
                                              << QVariant(true) << "g(db web tel:telnet) | loose web far";
        QTest::newRow("remove the current's group") << removeCurrent([](SessionStore &s) { s.removeGroup("g"); })
                                                    << QVariant(true) << "other(far) | loose web db web 1 tel:telnet";
        QTest::newRow("add group taken") << Op([](SessionStore &s) { s.addGroup("g"); s.addGroup(""); return QVariant(); })
                                         << QVariant() << before;
        QTest::newRow("rename group, case") << Op([](SessionStore &s) { s.renameGroup("g", " G "); return QVariant(); })
                                            << QVariant() << "G(db web tel:telnet) other(far) | loose web";
        QTest::newRow("add button group taken or empty") << button([](SessionStore &s) { s.addButtonGroup("g"); s.addButtonGroup(""); })
                                                         << QVariant() << "g(ls ls pwd)";
        QTest::newRow("add button without text or group")
            << button([](SessionStore &s) { s.addButton("g", {}); s.addButton("", {"x", "x", {}}); }) << QVariant() << "g(ls ls pwd)";
        QTest::newRow("remove the first only") << button([](SessionStore &s) { s.removeButton("g", "ls"); }) << QVariant() << "g(ls pwd)";
        QTest::newRow("group stays when emptied")
            << button([](SessionStore &s) { for (const char *t : {"ls", "ls", "pwd"}) s.removeButton("g", t); }) << QVariant() << "g()";
        QTest::newRow("update moves") << button([=](SessionStore &s) { s.updateButton("g", "pwd", "n", x); }) << QVariant() << "g(ls ls) n(x=x\\r)";
        QTest::newRow("update to no text removes") << button([](SessionStore &s) { s.updateButton("g", "pwd", "n", {}); })
                                                   << QVariant() << "g(ls ls)";
    }
    void operations()
    {
        QFETCH(Op, op);
        QFETCH(QString, expected);
        SessionStore store(m_folders);
        const char *seed[][3] = {{"db", "g", "ssh"}, {"web", "g", "ssh"}, {"tel", "g", "telnet"},
                                 {"far", "other", "ssh"}, {"loose", "", "ssh"}, {"web", "", "ssh"}};
        for (const auto &s : seed)
            add(store, s[0], s[1], s[2]);
        for (const char *text : {"ls", "ls", "pwd"})
            store.addButton("g", ButtonCommand{text, text, {}});
        QTEST(op(store), "result");
        const auto shown = [&](const SessionStore &s) { return expected.contains('|') ? sessionLayout(s) : buttonLayout(s); };
        QCOMPARE(shown(store), expected);
        QCOMPARE(shown(SessionStore(m_folders)), expected);
    }

    // Counts on from a number already there, past taken names and past 32 bits.
    void numberedName()
    {
        QCOMPARE(SessionStore::numberedName("web 1", {"web 1", "web 2"}), "web 3");
        QCOMPARE(SessionStore::numberedName("db \t 9", {}), "db 10");
        QCOMPARE(SessionStore::numberedName("x 99999999999", {}), "x 100000000000");
    }

    void filesBesideTheProgramAreCopiedIn_data()
    {
        QTest::addColumn<QStringList>("seeded"); // the folders that hold files
        QTest::addColumn<bool>("customData");
        QTest::addColumn<QString>("expected");
        QTest::newRow("program folder") << QStringList{"app"} << false << "app";
        QTest::newRow("program folder wins") << QStringList{"app", "appdata"} << true << "app";
        QTest::newRow("data location, custom folder") << QStringList{"appdata"} << true << "appdata";
    }
    void filesBesideTheProgramAreCopiedIn()
    {
        QFETCH(QStringList, seeded);
        QFETCH(bool, customData);
        QFETCH(QString, expected);
        const auto seed = [](const QString &folder, const QString &name) {
            writeFile(folder + "/halvorstead_sessions.json", QString(R"({"sessions": [{"id": "%1", "name": "%1", "type": "ssh"}]})").arg(name).toUtf8());
            writeFile(folder + "/halvorstead_buttons.json", QString(R"({"buttonGroups": [{"label": "%1"}]})").arg(name).toUtf8());
        };
        for (const QString &folder : seeded)
            seed(m_box->path() + '/' + folder, folder);
        m_folders.customData = customData;
        const SessionStore store(m_folders);
        QCOMPARE(sessionLayout(store) + buttonLayout(store), "| " + expected + expected + "()");

        // A file already in the data folder is never replaced.
        seed(m_folders.data, "own");
        QCOMPARE(sessionLayout(SessionStore(m_folders)), "| own");
    }

};

QTEST_GUILESS_MAIN(TestSessionStore)
#include "tst_sessionstore.moc"
