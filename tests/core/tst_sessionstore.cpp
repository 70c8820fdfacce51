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

    QString sessionsPath() const { return m_folders.data + QStringLiteral("/halvorstead_sessions.json"); }
    QString buttonsPath() const { return m_folders.data + QStringLiteral("/halvorstead_buttons.json"); }

private slots:
    void init()
    {
        m_box.reset(new QTemporaryDir);
        const QString root = m_box->path();
        for (const char *sub : {"data", "app", "appdata"})
            QDir(root).mkdir(QLatin1String(sub));
        m_folders = {root + QStringLiteral("/data"), root + QStringLiteral("/app"), root + QStringLiteral("/appdata"),
                     true};
    }

    // ---- records ----

    void newRecordIcon_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("icon");
        QTest::newRow("ssh") << "ssh" << "🌐";
        QTest::newRow("upper-case ssh") << "SSH" << "🌐";
        QTest::newRow("telnet") << "telnet" << "📡";
        QTest::newRow("raw") << "raw" << "📡";
        QTest::newRow("serial") << "serial" << "🔌";
        QTest::newRow("local") << "local" << "💻";
        QTest::newRow("rlogin") << "rlogin" << "🖥️";
        QTest::newRow("empty") << "" << "🖥️";
    }
    void newRecordIcon()
    {
        QFETCH(QString, type);
        QFETCH(QString, icon);
        SerialParams serial;
        serial.serial_port = QStringLiteral("/dev/ttyS1");
        serial.serial_baud = 9600;
        const SessionInfo a = makeSessionInfo(QStringLiteral("n"), type, QStringLiteral("h"), QStringLiteral("22"),
                                              serial, QStringLiteral("g"));
        QCOMPARE(a.icon, icon);
        QCOMPARE(a.type, type); // kept as given, whatever its case
        QCOMPARE(a.status, QStringLiteral("idle"));
        QCOMPARE(a.env_type, QStringLiteral("auto"));
        QCOMPARE(a.group, QStringLiteral("g"));
        QCOMPARE(a.serial_port, QStringLiteral("/dev/ttyS1"));
        QCOMPARE(a.serial_baud, 9600);
        QVERIFY(!a.id.contains(QLatin1Char('{')));
        QCOMPARE(a.id.size(), 36);
        QVERIFY(a.id != makeSessionInfo(QString(), type, QString(), QString(), serial, QString()).id);
    }

    void readSessionObject_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("serial port from host") << QByteArray(R"({"host":"/dev/ttyUSB0"})") << "serial_port"
                                               << QVariant("/dev/ttyUSB0");
        QTest::newRow("empty serial port from host") << QByteArray(R"({"host":"COM3","serial_port":""})")
                                                     << "serial_port" << QVariant("COM3");
        QTest::newRow("no serial port, no host") << QByteArray("{}") << "serial_port" << QVariant("");
        QTest::newRow("numeric port keeps its digits") << QByteArray(R"({"port":22})") << "port" << QVariant("22");
        QTest::newRow("fractional port") << QByteArray(R"({"port":22.5})") << "port" << QVariant("");
        QTest::newRow("boolean port") << QByteArray(R"({"port":true})") << "port" << QVariant("");
        QTest::newRow("stored state ignored") << QByteArray(R"({"status":"connected"})") << "status"
                                              << QVariant("idle");
        QTest::newRow("missing env") << QByteArray("{}") << "env_type" << QVariant("auto");
        QTest::newRow("env not text") << QByteArray(R"({"env_type":3})") << "env_type" << QVariant("auto");
        QTest::newRow("missing icon") << QByteArray("{}") << "icon" << QVariant("");
        QTest::newRow("name not text") << QByteArray(R"({"name":7})") << "name" << QVariant("");
        QTest::newRow("baud") << QByteArray(R"({"serial_baud":9600})") << "serial_baud" << QVariant(9600);
        QTest::newRow("baud as text") << QByteArray(R"({"serial_baud":"9600"})") << "serial_baud"
                                      << QVariant(115200);
        QTest::newRow("baud fractional") << QByteArray(R"({"serial_baud":9600.5})") << "serial_baud"
                                         << QVariant(115200);
        QTest::newRow("data bits missing") << QByteArray("{}") << "serial_databits" << QVariant(8);
        QTest::newRow("stop bits") << QByteArray(R"({"serial_stopbits":3})") << "serial_stopbits" << QVariant(3);
        QTest::newRow("parity negative") << QByteArray(R"({"serial_parity":-1})") << "serial_parity"
                                         << QVariant(-1);
        QTest::newRow("flow missing") << QByteArray("{}") << "serial_flow" << QVariant(0);
    }
    void readSessionObject()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, field);
        QFETCH(QVariant, expected);
        const SessionInfo s = SessionInfo::fromJson(QJsonDocument::fromJson(json).object(), QStringLiteral("组"));
        QCOMPARE(s.group, QStringLiteral("组"));
        const QVariant actual = s.toJson().value(field).toVariant();
        QCOMPARE(actual.toString(), expected.toString());
    }

    // ---- files ----

    void sessionsFileRoundTrip()
    {
        writeFile(sessionsPath(), R"({
          "groups": [
            {"name": "生产服务器", "icon": "🚀", "future": 1, "sessions": [
              {"id": "a1", "name": "数据库 主", "type": "ssh", "icon": "🌐", "host": "db", "port": 2222,
               "status": "connected", "group": "bogus", "colour": "red"}]},
            {"name": "空组", "sessions": []},
            "not an object"
          ],
          "sessions": [{"id": "b2", "name": "🐧 local", "type": "local", "serial_flow": 2}]
        })");
        SessionStore store(m_folders);
        const QList<SessionGroup> groups = store.groups();
        QCOMPARE(groups.size(), 3);
        QCOMPARE(groups[0].name, QStringLiteral("生产服务器"));
        QCOMPARE(groups[0].icon, QStringLiteral("🚀"));
        QCOMPARE(groups[1].icon, QStringLiteral("🗂️"));
        QCOMPARE(groups[2].name, QString());
        const SessionInfo db = *store.findSession(QStringLiteral("a1"));
        QCOMPARE(db.group, QStringLiteral("生产服务器"));
        QCOMPARE(db.port, QStringLiteral("2222"));
        QCOMPARE(db.status, QStringLiteral("idle"));

        store.setSessionStatus(QStringLiteral("a1"), QStringLiteral("connecting"));
        const QJsonObject saved = readJson(sessionsPath());
        const QJsonObject group = saved.value("groups").toArray().at(0).toObject();
        QCOMPARE(group.keys(), (QStringList{"icon", "name", "sessions"}));
        const QJsonObject session = group.value("sessions").toArray().at(0).toObject();
        QCOMPARE(session.keys(), (QStringList{"env_type", "host", "icon", "id", "name", "port", "serial_baud",
                                              "serial_databits", "serial_flow", "serial_parity", "serial_port",
                                              "serial_stopbits", "status", "type"}));
        QCOMPARE(session.value("status").toString(), QStringLiteral("connecting"));
        QCOMPARE(session.value("port").toString(), QStringLiteral("2222"));
        QVERIFY(session.value("serial_baud").isDouble());
        const QJsonArray ungrouped = saved.value("sessions").toArray();
        QCOMPARE(ungrouped.size(), 1);
        QCOMPARE(ungrouped[0].toObject().value("serial_flow").toInt(), 2);
        QCOMPARE(saved.value("groups").toArray().at(1).toObject().value("icon").toString(), QStringLiteral("🗂️"));

        SessionStore again(m_folders);
        QCOMPARE(namesOf(again.ungrouped()), QStringList{QStringLiteral("🐧 local")});
        QCOMPARE(again.groups().size(), 3);
        QCOMPARE(again.findSession(QStringLiteral("a1"))->name, QStringLiteral("数据库 主"));
    }

    void buttonsFileRoundTrip()
    {
        writeFile(buttonsPath(), R"({"buttonGroups": [
            {"label": "常用", "buttons": [{"text": "列表 📂", "command": "ls -l\\r", "color": "green", "x": 1},
                                          {"text": "只有文字"}]},
            {"label": "空", "buttons": []}]})");
        SessionStore store(m_folders);
        QCOMPARE(store.buttonGroups().size(), 2);
        const ButtonCommand bare = store.buttonGroups()[0].buttons[1];
        QCOMPARE(bare.command, QString());
        QCOMPARE(bare.color, QString());

        store.addButton(QStringLiteral("空"), ButtonCommand{QStringLiteral("uptime"), QStringLiteral("uptime"), {}});
        const QJsonObject first =
            readJson(buttonsPath()).value("buttonGroups").toArray().at(0).toObject().value("buttons").toArray().at(0).toObject();
        QCOMPARE(first.keys(), (QStringList{"color", "command", "text"}));
        SessionStore again(m_folders);
        const QList<ButtonGroup> groups = again.buttonGroups();
        QCOMPARE(groups[0].label, QStringLiteral("常用"));
        QCOMPARE(groups[0].buttons[0].text, QStringLiteral("列表 📂"));
        QCOMPARE(groups[0].buttons[0].command, QStringLiteral("ls -l\\r"));
        QCOMPARE(groups[0].buttons[0].color, QStringLiteral("green"));
        QCOMPARE(groups[1].buttons.size(), 1);
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
        store.addSession(QStringLiteral("keep"), QStringLiteral("ssh"), QString(), QString(), QString());
        store.addButton(QStringLiteral("g"), ButtonCommand{QStringLiteral("b"), QString(), QString()});
        writeFile(sessionsPath(), sessions);
        writeFile(buttonsPath(), buttons);
        store.loadSessions();
        store.loadButtons();
        QCOMPARE(namesOf(store.ungrouped()), QStringList{QStringLiteral("keep")});
        QCOMPARE(store.buttonGroups().size(), 1);
    }

    // An unreadable file must survive: it is moved aside, never overwritten.
    void corruptFilesAreKeptAside_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("truncated") << QByteArray(R"({"groups": [{"name": "生产", "sessions": [{"id": "x")");
        QTest::newRow("array at the top") << QByteArray(R"([{"id": "x", "name": "lost?"}])");
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe garbage", 12);
    }
    void corruptFilesAreKeptAside()
    {
        QFETCH(QByteArray, bytes);
        writeFile(sessionsPath(), bytes);
        writeFile(buttonsPath(), bytes);
        const QRegularExpression kept(QStringLiteral("Unreadable store file .* was kept as .*\\.corrupt-\\d{8}_\\d{6}"));
        QTest::ignoreMessage(QtWarningMsg, kept);
        QTest::ignoreMessage(QtWarningMsg, kept);
        SessionStore store(m_folders);
        QVERIFY(store.groups().isEmpty());
        store.addSession(QStringLiteral("new"), QStringLiteral("ssh"), QString(), QString(), QString());
        store.addButtonGroup(QStringLiteral("new"));

        for (const QString &name : {QStringLiteral("halvorstead_sessions.json"), QStringLiteral("halvorstead_buttons.json")}) {
            const QStringList aside = QDir(m_folders.data).entryList({name + QStringLiteral(".corrupt-*")});
            QCOMPARE(aside.size(), 1);
            QCOMPARE(readFile(m_folders.data + QLatin1Char('/') + aside[0]), bytes);
        }
        QCOMPARE(namesOf(SessionStore(m_folders).ungrouped()), QStringList{QStringLiteral("new")});
    }

    void missingAndRepeatedIdsAreRenewed()
    {
        writeFile(sessionsPath(), R"({"groups": [{"name": "g", "sessions": [
            {"id": "same", "name": "first", "type": "ssh"}, {"name": "no id", "type": "ssh"}]}],
            "sessions": [{"id": "same", "name": "second", "type": "ssh"}, {"id": "", "name": "blank", "type": "raw"}]})");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("had no id")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("had the repeated id same")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("had no id")));
        SessionStore store(m_folders);
        QCOMPARE(store.findSession(QStringLiteral("same"))->name, QStringLiteral("first"));
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
        const QString blocker = m_box->path() + QStringLiteral("/file");
        writeFile(blocker, "x");
        SessionStore store({blocker + QStringLiteral("/data"), QString(), QString(), false});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to open session store: \".+\"$")));
        QVERIFY(!store.addSession(QStringLiteral("s"), QStringLiteral("ssh"), QString(), QString(), QString()).isEmpty());
        QCOMPARE(store.ungrouped().size(), 1);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to open button store: ")));
        store.addButtonGroup(QStringLiteral("g"));
        QCOMPARE(store.buttonGroups().size(), 1);
    }

    // ---- operations ----

    void addSessionRules()
    {
        SessionStore store(m_folders);
        const QString ssh = QStringLiteral("ssh");
        QVERIFY(!store.addSession(QStringLiteral("web"), ssh, QString(), QString(), QString()).isEmpty());
        QVERIFY(store.addSession(QStringLiteral("web"), ssh, QString(), QString(), QString()).isEmpty());
        QVERIFY(store.addSession(QString(), ssh, QString(), QString(), QString()).isEmpty());
        QVERIFY(!store.addSession(QStringLiteral("web"), QStringLiteral("telnet"), QString(), QString(), QString()).isEmpty());
        QVERIFY(!store.addSession(QStringLiteral("Web"), ssh, QString(), QString(), QString()).isEmpty());
        // The same name and type elsewhere is no conflict.
        const QString id = store.addSession(QStringLiteral("web"), ssh, QStringLiteral("新组"), QStringLiteral("h"), QStringLiteral("22"));
        QVERIFY(!id.isEmpty());
        QVERIFY(store.addSession(QStringLiteral("web"), ssh, QStringLiteral("新组"), QString(), QString()).isEmpty());
        QVERIFY(!store.addSession(QStringLiteral("web"), ssh, QStringLiteral("other"), QString(), QString()).isEmpty());

        const QJsonObject saved = readJson(sessionsPath());
        const QJsonObject group = saved.value("groups").toArray().at(0).toObject();
        QCOMPARE(group.value("name").toString(), QStringLiteral("新组"));
        QCOMPARE(group.value("icon").toString(), QStringLiteral("🗂️"));
        QCOMPARE(group.value("sessions").toArray().at(0).toObject().value("id").toString(), id);
        QCOMPARE(store.findSession(id)->group, QStringLiteral("新组"));
        QCOMPARE(saved.value("sessions").toArray().size(), 3);
    }

    void updateSessionRules()
    {
        SessionStore store(m_folders);
        const QString a = store.addSession(QStringLiteral("a"), QStringLiteral("ssh"), QString(), QString(), QString());
        const QString b = store.addSession(QStringLiteral("b"), QStringLiteral("ssh"), QString(), QString(), QString());
        store.addSession(QStringLiteral("c"), QStringLiteral("ssh"), QStringLiteral("g"), QString(), QString());

        SessionInfo edit = *store.findSession(a);
        edit.type = QStringLiteral("telnet");
        edit.icon = QStringLiteral("x");
        edit.status = QStringLiteral("connected");
        edit.host = QStringLiteral("new-host");
        QVERIFY(store.updateSession(edit));
        const SessionInfo updated = *store.findSession(a);
        QCOMPARE(updated.type, QStringLiteral("ssh"));
        QCOMPARE(updated.icon, QStringLiteral("🌐"));
        QCOMPARE(updated.status, QStringLiteral("idle"));
        QCOMPARE(updated.host, QStringLiteral("new-host"));
        QCOMPARE(namesOf(store.ungrouped()), (QStringList{"b", "a"})); // moved to the end

        edit = *store.findSession(b);
        edit.name = QStringLiteral("a");
        QVERIFY(!store.updateSession(edit)); // "a"/ssh is taken in the same list
        edit.group = QStringLiteral("h");
        QVERIFY(store.updateSession(edit)); // a new group is created for it
        QCOMPARE(store.groups().last().name, QStringLiteral("h"));
        QCOMPARE(store.groups().last().icon, QStringLiteral("🗂️"));
        QCOMPARE(store.findSession(b)->group, QStringLiteral("h"));
        QCOMPARE(namesOf(store.ungrouped()), QStringList{"a"});

        edit.id.clear();
        QVERIFY(!store.updateSession(edit));
        edit.id = QStringLiteral("unknown");
        QVERIFY(!store.updateSession(edit));
        // The check uses the type the session keeps: "c" stays ssh, so it may
        // not take the name of the ssh session "a" even when asked as telnet.
        edit = store.groups()[0].sessions[0];
        edit.group.clear();
        edit.name = QStringLiteral("a");
        edit.type = QStringLiteral("telnet");
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
        const QString group = grouped ? QStringLiteral("g") : QString();
        const QString id = store.addSession(QStringLiteral("web"), QStringLiteral("ssh"), group, QString(), QString());
        store.addSession(QStringLiteral("db"), QStringLiteral("ssh"), QStringLiteral("g"), QString(), QString());
        store.addSession(QStringLiteral("tel"), QStringLiteral("telnet"), QStringLiteral("g"), QString(), QString());
        store.addSession(QStringLiteral("loose"), QStringLiteral("ssh"), QString(), QString(), QString());
        store.addSession(QStringLiteral("far"), QStringLiteral("ssh"), QStringLiteral("other"), QString(), QString());
        store.renameSession(id, newName);
        QCOMPARE(store.findSession(id)->name, result);
        QCOMPARE(SessionStore(m_folders).findSession(id)->name, result);
    }

    void removalAndCurrentSession()
    {
        SessionStore store(m_folders);
        const QString a = store.addSession(QStringLiteral("a"), QStringLiteral("ssh"), QStringLiteral("g"), QString(), QString());
        const QString b = store.addSession(QStringLiteral("b"), QStringLiteral("ssh"), QString(), QString(), QString());
        QVERIFY(!store.removeSession(QString()));
        QVERIFY(!store.removeSession(QStringLiteral("nope")));
        store.setCurrentSessionId(b);
        QVERIFY(store.removeSession(b));
        QCOMPARE(store.currentSessionId(), QString());
        QVERIFY(!store.findSession(b));

        store.setCurrentSessionId(a);
        store.removeGroup(QStringLiteral("other"));
        QCOMPARE(store.currentSessionId(), a);
        store.removeGroup(QStringLiteral("g"));
        QCOMPARE(store.currentSessionId(), QString());
        QVERIFY(store.groups().isEmpty());
        QVERIFY(SessionStore(m_folders).groups().isEmpty());
    }

    void groupRules()
    {
        SessionStore store(m_folders);
        store.renameGroup(QStringLiteral("none"), QStringLiteral("x"));
        QVERIFY(QFile::exists(sessionsPath())); // saved even though nothing changed
        store.addGroup(QStringLiteral("prod"));
        store.addGroup(QStringLiteral("prod"));
        store.addGroup(QString());
        store.addGroup(QStringLiteral("test"));
        const QString id = store.addSession(QStringLiteral("s"), QStringLiteral("ssh"), QStringLiteral("prod"), QString(), QString());
        store.renameGroup(QStringLiteral("prod"), QStringLiteral("test"));   // taken
        store.renameGroup(QStringLiteral("prod"), QStringLiteral("prod"));   // taken by itself
        store.renameGroup(QStringLiteral("prod"), QStringLiteral("  "));
        store.renameGroup(QString(), QStringLiteral("y"));
        QCOMPARE(store.groups()[0].name, QStringLiteral("prod"));
        store.renameGroup(QStringLiteral("prod"), QStringLiteral(" Test "));  // differs in case only
        QCOMPARE(store.groups()[0].name, QStringLiteral("Test"));
        QCOMPARE(store.findSession(id)->group, QStringLiteral("Test"));
        QCOMPARE(store.groups().size(), 2);
    }

    void statusIsSavedButNotRestored()
    {
        SessionStore store(m_folders);
        const QString id = store.addSession(QStringLiteral("s"), QStringLiteral("ssh"), QString(), QString(), QString());
        store.setSessionStatus(id, QStringLiteral("connected"));
        store.setSessionStatus(QStringLiteral("nope"), QStringLiteral("connected"));
        QCOMPARE(store.findSession(id)->status, QStringLiteral("connected"));
        QCOMPARE(readJson(sessionsPath()).value("sessions").toArray().at(0).toObject().value("status").toString(),
                 QStringLiteral("connected"));
        QCOMPARE(SessionStore(m_folders).findSession(id)->status, QStringLiteral("idle"));
    }

    void buttonRules()
    {
        SessionStore store(m_folders);
        store.removeButton(QStringLiteral("none"), QStringLiteral("none"));
        QVERIFY(QFile::exists(buttonsPath())); // written even though nothing changed
        store.addButtonGroup(QStringLiteral("g"));
        store.addButtonGroup(QStringLiteral("g"));
        store.addButtonGroup(QString());
        QCOMPARE(store.buttonGroups().size(), 1);
        const ButtonCommand ls{QStringLiteral("ls"), QStringLiteral("ls\\r"), QString()};
        store.addButton(QString(), ls);
        store.addButton(QStringLiteral("g"), ButtonCommand{QString(), QStringLiteral("x"), QString()});
        store.addButton(QStringLiteral("g"), ls);
        store.addButton(QStringLiteral("g"), ls);
        store.addButton(QStringLiteral("new"), ls); // creates the group
        QCOMPARE(store.buttonGroups().size(), 2);
        QCOMPARE(store.buttonGroups()[0].buttons.size(), 2);

        store.removeButton(QStringLiteral("g"), QStringLiteral("ls")); // the first only
        QCOMPARE(store.buttonGroups()[0].buttons.size(), 1);
        store.updateButton(QStringLiteral("g"), QStringLiteral("ls"), QStringLiteral("new"),
                           ButtonCommand{QStringLiteral("pwd"), QStringLiteral("pwd"), QString()});
        QCOMPARE(store.buttonGroups()[0].buttons.size(), 0); // the group stays when emptied
        QCOMPARE(store.buttonGroups()[1].buttons.last().text, QStringLiteral("pwd"));
        store.updateButton(QStringLiteral("new"), QStringLiteral("pwd"), QStringLiteral("g"), ButtonCommand{});
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
            writeFile(folder + QStringLiteral("/halvorstead_sessions.json"),
                      QStringLiteral(R"({"sessions": [{"id": "%1", "name": "%1"}]})").arg(name).toUtf8());
            writeFile(folder + QStringLiteral("/halvorstead_buttons.json"),
                      QStringLiteral(R"({"buttonGroups": [{"label": "%1"}]})").arg(name).toUtf8());
        };
        if (inApp)
            seed(m_folders.appDir, QStringLiteral("app"));
        if (inAppData)
            seed(m_folders.appData, QStringLiteral("appdata"));
        m_folders.customData = customData;
        SessionStore store(m_folders);
        QCOMPARE(namesOf(store.ungrouped()).join(QString()), expected);
        QCOMPARE(store.buttonGroups().isEmpty() ? QString() : store.buttonGroups()[0].label, expected);

        // A file already in the data folder is never replaced.
        seed(m_folders.data, QStringLiteral("own"));
        seed(m_folders.appDir, QStringLiteral("app"));
        QCOMPARE(namesOf(SessionStore(m_folders).ungrouped()), QStringList{QStringLiteral("own")});
    }

    void processStoreUsesTheDataFolder()
    {
        const QString data = m_box->path() + QStringLiteral("/env-data");
        qputenv("HALVORSTEAD_DATA_DIR", data.toUtf8());
        SessionStore &store = SessionStore::instance();
        QCOMPARE(&store, &SessionStore::instance());
        QCOMPARE(SessionStore::defaultFolders().data, data);
        QVERIFY(SessionStore::defaultFolders().customData);
        store.addGroup(QStringLiteral("g"));
        QVERIFY(QFile::exists(data + QStringLiteral("/halvorstead_sessions.json")));
    }
};

QTEST_GUILESS_MAIN(TestSessionStore)
#include "tst_sessionstore.moc"
