#include "core/sessionstore.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QJsonObject readJson(const QString &path)
{
    return QJsonDocument::fromJson(readFile(path)).object();
}

QString add(SessionStore &store, const QString &name, const QString &group = QString(),
            const QString &type = "ssh")
{
    return store.addSession(name, type, group, QString(), QString());
}

QStringList namesOf(const QList<SessionInfo> &list)
{
    QStringList out;
    for (const SessionInfo &s : list)
        out << s.name;
    return out;
}

} // namespace

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

    // ---- records ----

    void readSessionObject_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected");
        QTest::newRow("serial port from host") << QByteArray(R"({"host":"/dev/ttyUSB0"})") << "serial_port"
                                               << "/dev/ttyUSB0";
        QTest::newRow("empty serial port from host") << QByteArray(R"({"host":"COM3","serial_port":""})")
                                                     << "serial_port" << "COM3";
        QTest::newRow("no serial port, no host") << QByteArray("{}") << "serial_port" << "";
        QTest::newRow("numeric port keeps its digits") << QByteArray(R"({"port":22})") << "port" << "22";
        QTest::newRow("fractional port") << QByteArray(R"({"port":22.5})") << "port" << "22.5";
        QTest::newRow("name as number") << QByteArray(R"({"name":2024})") << "name" << "2024";
        QTest::newRow("host as number") << QByteArray(R"({"host":10})") << "serial_port" << "10";
        QTest::newRow("stored state ignored") << QByteArray(R"({"status":"connected"})") << "status" << "idle";
        QTest::newRow("env not text") << QByteArray(R"({"env_type":true})") << "env_type" << "auto";
        QTest::newRow("baud as text") << QByteArray(R"({"serial_baud":"9600"})") << "serial_baud" << "115200";
        QTest::newRow("baud fractional") << QByteArray(R"({"serial_baud":9600.5})") << "serial_baud" << "115200";
    }
    void readSessionObject()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, field);
        QFETCH(QString, expected);
        const SessionInfo s = SessionInfo::fromJson(QJsonDocument::fromJson(json).object(), "组");
        QCOMPARE(s.group, "组");
        QCOMPARE(s.toJson().value(field).toVariant().toString(), expected);
    }

    // ---- files ----

    void filesRoundTrip()
    {
        writeFile(sessionsPath(), R"({
          "groups": [
            {"name": "生产服务器", "icon": "🚀", "sessions": [
              {"id": "a1", "name": "数据库 主", "type": "ssh", "host": "db", "port": "2222", "status": "connected"}]},
            {"name": "空组", "sessions": []}],
          "sessions": [{"id": "b2", "name": "🐧 local", "type": "local", "serial_flow": 2}]})");
        writeFile(buttonsPath(), R"({"buttonGroups": [
            {"label": "常用", "buttons": [{"text": "列表 📂", "command": "ls -l\\r", "color": "green"}, {"text": "t"}]},
            {"label": "空", "buttons": []}]})");
        SessionStore store(m_folders);
        QCOMPARE(store.findSession("a1")->status, "idle");
        QCOMPARE(store.groups()[1].icon, "🗂️");
        store.setSessionStatus("a1", "connecting");
        store.addButton("空", ButtonCommand{"uptime", "uptime", {}});
        const QJsonObject saved = readJson(sessionsPath()).value("groups").toArray().at(0).toObject();
        QVERIFY(!saved.value("sessions").toArray().at(0).toObject().contains("group"));

        SessionStore again(m_folders);
        QCOMPARE(again.groups().size(), 2);
        const SessionInfo db = *again.findSession("a1");
        SessionInfo expected = *store.findSession("a1");
        expected.status = "idle"; // the state is never read back
        QCOMPARE(db.toJson(), expected.toJson());
        QCOMPARE(db.group, "生产服务器");
        QCOMPARE(again.findSession("b2")->serial_flow, 2);
        QCOMPARE(again.buttonGroups()[0].buttons[0].command, "ls -l\\r");
        QCOMPARE(again.buttonGroups()[0].buttons[1].color, QString());
        QCOMPARE(again.buttonGroups()[1].buttons[0].text, "uptime");
    }

    // A file that cannot be read, or only in part, is kept beside it as it
    // was before the first save over it (once); a key that is merely missing
    // is no loss.
    void damagedFilesAreKeptAside_data()
    {
        QTest::addColumn<bool>("buttons");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("kept");
        QTest::newRow("truncated") << false << QByteArray(R"({"groups": [{"name": "生产", "sessions": [{"id": "x")") << true;
        QTest::newRow("array at the top") << false << QByteArray(R"([{"id": "x", "name": "lost?"}])") << true;
        QTest::newRow("binary") << true << QByteArray("\x00\xff\xfe garbage", 12) << true;
        QTest::newRow("groups an object") << false << QByteArray(
            R"({"groups":{"name":"prod","sessions":[{"id":"a1","name":"db","type":"ssh"}]},)"
            R"("sessions":[{"id":"n1","name":2024,"type":"ssh","host":10}]})") << true;
        QTest::newRow("group sessions an object")
            << false << QByteArray(R"({"groups":[{"name":"g","sessions":{"id":"a"}}]})") << true;
        QTest::newRow("group not an object") << false << QByteArray(R"({"groups":["g"]})") << true;
        QTest::newRow("name an array") << false << QByteArray(R"({"sessions":[{"id":"a","name":["x"]}]})") << true;
        QTest::newRow("baud as text") << false << QByteArray(R"({"sessions":[{"id":"a","serial_baud":"9600"}]})") << true;
        QTest::newRow("unknown key") << false << QByteArray(R"({"sessions":[{"id":"a","colour":"red"}]})") << true;
        QTest::newRow("repeated id") << false << QByteArray(R"({"sessions":[{"id":"a"},{"id":"a"}]})") << true;
        QTest::newRow("missing keys") << false << QByteArray(R"({"sessions":[{"name":"x"}]})") << false;
        QTest::newRow("numbers as text") << false << QByteArray(R"({"sessions":[{"id":"a","name":7,"port":22}]})") << false;
        QTest::newRow("stored state of any kind") << false << QByteArray(R"({"sessions":[{"id":"a","status":5}]})") << false;
        QTest::newRow("button groups an object") << true << QByteArray(R"({"buttonGroups":{"label":"x"}})") << true;
        QTest::newRow("button unknown key") << true << QByteArray(R"({"buttonGroups":[{"label":"x","icon":1}]})") << true;
        QTest::newRow("button text a number") << true << QByteArray(R"({"buttonGroups":[{"buttons":[{"text":1}]}]})") << false;
    }
    void damagedFilesAreKeptAside()
    {
        QFETCH(bool, buttons);
        QFETCH(QByteArray, json);
        QFETCH(bool, kept);
        const QString path = buttons ? buttonsPath() : sessionsPath();
        writeFile(path, json);
        if (kept)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("was kept as .*\\.corrupt-\\d{8}_\\d{6}$"));
        SessionStore store(m_folders);
        for (int edit = 0; edit < 2; ++edit) {
            if (buttons)
                store.addButtonGroup("e" + QString::number(edit));
            else
                add(store, "e" + QString::number(edit));
        }
        const QStringList aside = QDir(m_folders.data).entryList({QFileInfo(path).fileName() + ".corrupt-*"});
        QCOMPARE(aside.size(), kept ? 1 : 0);
        if (kept)
            QCOMPARE(readFile(m_folders.data + QLatin1Char('/') + aside[0]), json);
        // The saved file holds what the store holds, numbers as their text.
        SessionStore again(m_folders);
        QCOMPARE(SessionStore::sessionsDocument(again.groups(), again.ungrouped()),
                 SessionStore::sessionsDocument(store.groups(), store.ungrouped()));
        QCOMPARE(SessionStore::buttonsDocument(again.buttonGroups()), SessionStore::buttonsDocument(store.buttonGroups()));
        if (QTest::currentDataTag() == QByteArray("groups an object")) {
            QCOMPARE(store.findSession("n1")->name, "2024");
            QCOMPARE(store.findSession("n1")->host, "10");
        }
    }

    void emptyDocumentsChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("sessions");
        QTest::addColumn<QByteArray>("buttons");
        QTest::newRow("empty arrays") << QByteArray(R"({"groups":[],"sessions":[]})")
                                      << QByteArray(R"({"buttonGroups":[]})");
        QTest::newRow("wrong kinds") << QByteArray(R"({"groups":5,"sessions":"x"})")
                                     << QByteArray(R"({"buttonGroups":{}})");
    }
    void emptyDocumentsChangeNothing()
    {
        QFETCH(QByteArray, sessions);
        QFETCH(QByteArray, buttons);
        SessionStore store(m_folders);
        add(store, "keep");
        store.addButton("g", ButtonCommand{"b", QString(), QString()});
        writeFile(sessionsPath(), sessions);
        writeFile(buttonsPath(), buttons);
        store.loadSessions();
        store.loadButtons();
        QCOMPARE(namesOf(store.ungrouped()), QStringList{"keep"});
        QCOMPARE(store.buttonGroups().size(), 1);
    }

    void missingAndRepeatedIdsAreRenewed()
    {
        writeFile(sessionsPath(), R"({"groups": [{"name": "g", "sessions": [
            {"id": "same", "name": "first", "type": "ssh"}, {"name": "no id", "type": "ssh"}]}],
            "sessions": [{"id": "same", "name": "second", "type": "ssh"}, {"id": "", "name": "blank", "type": "raw"}]})");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("had no id"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("had the repeated id same"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("had no id"));
        SessionStore store(m_folders);
        QCOMPARE(store.findSession("same")->name, "first");
        QSet<QString> ids;
        QList<SessionInfo> all = store.groups()[0].sessions + store.ungrouped();
        for (const SessionInfo &s : all)
            ids.insert(s.id);
        QCOMPARE(ids.size(), 4);
        QVERIFY(!ids.contains(QString()));

        // Saved at once, so the new ids stay the same across starts, and every
        // session can now be removed.
        SessionStore again(m_folders);
        for (const SessionInfo &s : all)
            QVERIFY(again.removeSession(s.id));
    }

    void failedSaveKeepsChangeInMemory()
    {
        const QString blocker = m_box->path() + "/file";
        writeFile(blocker, "x");
        SessionStore store({blocker + "/data", QString(), QString(), false});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to open session store: \".+\"$"));
        QVERIFY(!add(store, "s").isEmpty());
        QCOMPARE(store.ungrouped().size(), 1);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to open button store: "));
        store.addButtonGroup("g");
        QCOMPARE(store.buttonGroups().size(), 1);
    }

    // ---- operations ----

    void addSessionRules()
    {
        SessionStore store(m_folders);
        QVERIFY(!add(store, "web").isEmpty());
        QVERIFY(add(store, "web").isEmpty());
        QVERIFY(add(store, QString()).isEmpty());
        QVERIFY(!add(store, "web", QString(), "telnet").isEmpty());
        QVERIFY(!add(store, "Web").isEmpty());
        // The same name and type elsewhere is no conflict; a new group is made.
        const QString id = store.addSession("web", "ssh", "新组", "h", "22");
        QVERIFY(!id.isEmpty());
        QVERIFY(add(store, "web", "新组").isEmpty());
        QVERIFY(!add(store, "web", "other").isEmpty());

        const QJsonObject saved = readJson(sessionsPath());
        const QJsonObject group = saved.value("groups").toArray().at(0).toObject();
        QCOMPARE(group.value("name").toString(), "新组");
        QCOMPARE(group.value("icon").toString(), "🗂️");
        QCOMPARE(group.value("sessions").toArray().at(0).toObject().value("id").toString(), id);
        QCOMPARE(store.findSession(id)->group, "新组");
        QCOMPARE(saved.value("sessions").toArray().size(), 3);
    }

    void updateSessionRules()
    {
        SessionStore store(m_folders);
        const QString a = add(store, "a");
        const QString b = add(store, "b");
        add(store, "c", "g");

        SessionInfo edit = *store.findSession(a);
        edit.type = "telnet";
        edit.icon = "x";
        edit.status = "connected";
        edit.host = "new-host";
        QVERIFY(store.updateSession(edit));
        const SessionInfo updated = *store.findSession(a);
        QCOMPARE(updated.type, "ssh");
        QCOMPARE(updated.icon, "🌐");
        QCOMPARE(updated.status, "idle");
        QCOMPARE(updated.host, "new-host");
        QCOMPARE(namesOf(store.ungrouped()), (QStringList{"b", "a"})); // moved to the end

        edit = *store.findSession(b);
        edit.name = "a";
        QVERIFY(!store.updateSession(edit)); // "a"/ssh is taken in the same list
        edit.group = "h";
        QVERIFY(store.updateSession(edit)); // a new group is created for it
        QCOMPARE(store.groups().last().name, "h");
        QCOMPARE(store.groups().last().icon, "🗂️");
        QCOMPARE(store.findSession(b)->group, "h");
        QCOMPARE(namesOf(store.ungrouped()), QStringList{"a"});

        edit.id.clear();
        QVERIFY(!store.updateSession(edit));
        edit.id = "unknown";
        QVERIFY(!store.updateSession(edit));
        // The check uses the type the session keeps: "c" stays ssh, so it may
        // not take the name of the ssh session "a" even when asked as telnet.
        edit = store.groups()[0].sessions[0];
        edit.group.clear();
        edit.name = "a";
        edit.type = "telnet";
        QVERIFY(!store.updateSession(edit));
        QCOMPARE(SessionStore(m_folders).groups().size(), 2);
    }

    void renameSessionRules_data()
    {
        QTest::addColumn<QString>("newName");
        QTest::addColumn<bool>("grouped");
        QTest::addColumn<QString>("result");
        QTest::newRow("trimmed") << "  new  " << true << "new";
        QTest::newRow("blanks only") << "   " << true << "web";
        QTest::newRow("taken in own group") << "db" << true << "web";
        QTest::newRow("taken in ungrouped list") << "loose" << true << "web";
        QTest::newRow("taken by another type") << "tel" << true << "tel";
        QTest::newRow("taken only in another group") << "far" << true << "far";
        QTest::newRow("ungrouped, name in a group") << "db" << false << "db";
        QTest::newRow("ungrouped, taken") << "loose" << false << "web";
    }
    void renameSessionRules()
    {
        QFETCH(QString, newName);
        QFETCH(bool, grouped);
        QFETCH(QString, result);
        SessionStore store(m_folders);
        const QString group = grouped ? "g" : QString();
        const QString id = store.addSession("web", "ssh", group, QString(), QString());
        add(store, "db", "g");
        add(store, "tel", "g", "telnet");
        add(store, "loose");
        add(store, "far", "other");
        store.renameSession(id, newName);
        QCOMPARE(store.findSession(id)->name, result);
        QCOMPARE(SessionStore(m_folders).findSession(id)->name, result);
    }

    void removalAndCurrentSession()
    {
        SessionStore store(m_folders);
        const QString a = add(store, "a", "g");
        const QString b = add(store, "b");
        QVERIFY(!store.removeSession(QString()));
        QVERIFY(!store.removeSession("nope"));
        store.setCurrentSessionId(b);
        QVERIFY(store.removeSession(b));
        QCOMPARE(store.currentSessionId(), QString());
        QVERIFY(!store.findSession(b));

        store.setCurrentSessionId(a);
        store.removeGroup("other");
        QCOMPARE(store.currentSessionId(), a);
        store.removeGroup("g");
        QCOMPARE(store.currentSessionId(), QString());
        QVERIFY(store.groups().isEmpty());
        QVERIFY(SessionStore(m_folders).groups().isEmpty());
    }

    void groupRules()
    {
        SessionStore store(m_folders);
        store.addGroup("prod");
        store.addGroup("prod");
        store.addGroup(QString());
        store.addGroup("test");
        const QString id = add(store, "s", "prod");
        store.renameGroup("prod", "test");   // taken
        store.renameGroup("prod", "prod");   // taken by itself
        store.renameGroup("prod", "  ");
        store.renameGroup(QString(), "y");
        QCOMPARE(store.groups()[0].name, "prod");
        store.renameGroup("prod", " Test ");  // differs in case only
        QCOMPARE(store.groups()[0].name, "Test");
        QCOMPARE(store.findSession(id)->group, "Test");
        QCOMPARE(store.groups().size(), 2);
    }

    void buttonRules()
    {
        SessionStore store(m_folders);
        store.addButtonGroup("g");
        store.addButtonGroup("g");
        store.addButtonGroup(QString());
        QCOMPARE(store.buttonGroups().size(), 1);
        const ButtonCommand ls{"ls", "ls\\r", QString()};
        store.addButton(QString(), ls);
        store.addButton("g", ButtonCommand{QString(), "x", QString()});
        store.addButton("g", ls);
        store.addButton("g", ls);
        store.addButton("new", ls); // creates the group
        QCOMPARE(store.buttonGroups().size(), 2);
        QCOMPARE(store.buttonGroups()[0].buttons.size(), 2);

        store.removeButton("g", "ls"); // the first only
        QCOMPARE(store.buttonGroups()[0].buttons.size(), 1);
        store.updateButton("g", "ls", "new",
                           ButtonCommand{"pwd", "pwd", QString()});
        QCOMPARE(store.buttonGroups()[0].buttons.size(), 0); // the group stays when emptied
        QCOMPARE(store.buttonGroups()[1].buttons.last().text, "pwd");
        store.updateButton("new", "pwd", "g", ButtonCommand{});
        QCOMPARE(store.buttonGroups()[1].buttons.size(), 1);
        QCOMPARE(store.buttonGroups()[0].buttons.size(), 0);
        QCOMPARE(SessionStore(m_folders).buttonGroups()[1].buttons.size(), 1);
    }

    // ---- first start ----

    void filesBesideTheProgramAreCopiedIn_data()
    {
        QTest::addColumn<bool>("inApp");
        QTest::addColumn<bool>("inAppData");
        QTest::addColumn<bool>("customData");
        QTest::addColumn<QString>("expected");
        QTest::newRow("program folder") << true << false << false << "app";
        QTest::newRow("program folder wins") << true << true << true << "app";
        QTest::newRow("data location, custom folder") << false << true << true << "appdata";
        QTest::newRow("data location, default folder") << false << true << false << "";
    }
    void filesBesideTheProgramAreCopiedIn()
    {
        QFETCH(bool, inApp);
        QFETCH(bool, inAppData);
        QFETCH(bool, customData);
        QFETCH(QString, expected);
        const auto seed = [](const QString &folder, const QString &name) {
            writeFile(folder + "/halvorstead_sessions.json",
                      QString(R"({"sessions": [{"id": "%1", "name": "%1"}]})").arg(name).toUtf8());
            writeFile(folder + "/halvorstead_buttons.json",
                      QString(R"({"buttonGroups": [{"label": "%1"}]})").arg(name).toUtf8());
        };
        if (inApp)
            seed(m_folders.appDir, "app");
        if (inAppData)
            seed(m_folders.appData, "appdata");
        m_folders.customData = customData;
        SessionStore store(m_folders);
        QCOMPARE(namesOf(store.ungrouped()).join(QString()), expected);
        QCOMPARE(store.buttonGroups().isEmpty() ? QString() : store.buttonGroups()[0].label, expected);

        // A file already in the data folder is never replaced.
        seed(m_folders.data, "own");
        seed(m_folders.appDir, "app");
        QCOMPARE(namesOf(SessionStore(m_folders).ungrouped()), QStringList{"own"});
    }

    void processStoreUsesTheDataFolder()
    {
        const QString data = m_box->path() + "/env-data";
        qputenv("HALVORSTEAD_DATA_DIR", data.toUtf8());
        SessionStore &store = SessionStore::instance();
        QCOMPARE(SessionStore::defaultFolders().data, data);
        QVERIFY(SessionStore::defaultFolders().customData);
        store.addGroup("g");
        QVERIFY(QFile::exists(data + "/halvorstead_sessions.json"));
    }
};

QTEST_GUILESS_MAIN(TestSessionStore)
#include "tst_sessionstore.moc"
