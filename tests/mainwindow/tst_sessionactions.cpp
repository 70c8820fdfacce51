#include "connections/connection.h"
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionlogger.h"
#include "core/sessionstore.h"
#include "mainwindow/contextmenus.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessioncommands.h"
#include "mainwindow/sessiontree.h"
#include "mainwindow/statusbar.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"
#include "tests/support/modals.h"
#include "transfer/xmodemtransfer.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {
SessionStore &store() { return SessionStore::instance(); }

class FakeConnection : public Connection
{
public:
    using Connection::Connection;
    bool open() override { return opened = true; }
    void close() override { opened = false; }
    void write(const QByteArray &data) override { writes << QString::fromLatin1(data); }
    bool isOpen() const override { return opened; }
    void resize(int, int) override {}
    bool opened = true;
    QStringList writes;
};

// Answers any modal dialog but the credentials prompt: keeps a message box's text.
void answerModals(ModalAnswerer &modals, bool accept, QString *text = nullptr)
{
    modals.other = [=](QWidget *modal) {
        if (auto *box = qobject_cast<QMessageBox *>(modal); box && text)
            *text = box->text();
        accept ? static_cast<QDialog *>(modal)->accept() : static_cast<QDialog *>(modal)->reject();
    };
}

// The list of a group (the top level for none) as "name:type ...".
QString names(const QString &group)
{
    QList<SessionInfo> list = store().ungrouped();
    for (const SessionGroup &g : store().groups())
        list = g.name == group ? g.sessions : list;
    QStringList out;
    for (const SessionInfo &s : list)
        out << s.name + ':' + s.type;
    return out.join(' ');
}

// A window whose sessions are added to the store and shown in tabs.
struct Fixture {
    MainWindow w;
    SessionHub *hub = w.sessionHub();
    TerminalArea *area = w.findChild<TerminalArea *>();
    QMap<QString, QString> ids; // name -> id
    QMap<QString, FakeConnection *> fakes;

    QString add(const QString &name, const QString &group = {}, const QString &type = QStringLiteral("ssh"))
    {
        store().addGroup(group);
        const QString id = store().addSession(name, type, group, "h", "22");
        area->addTerminal(ids[name] = id, name, "idle", QString());
        return id;
    }
    void connect(const QString &name, const QString &id, bool open)
    {
        hub->ensure({ids[name] = id, name})->adopt(fakes[name] = new FakeConnection, {});
        fakes[name]->opened = open;
    }
    SessionLogger *logger(const QString &id, const QString &dir)
    {
        SessionLogOptions options;
        options.dir = dir;
        auto *logger = new SessionLogger("a", "h", options);
        hub->ensure({id})->setLogger(logger);
        return logger;
    }
    QString text(const QString &id) const
    {
        TerminalView *view = area->view(id);
        return view ? view->terminalEdit()->toPlainText() : QString();
    }
};
} // namespace

class TestSessionActions : public QObject
{
    Q_OBJECT
    QTemporaryDir box;

private slots:
    void init() { LanguageManager::setLanguage(QStringLiteral("en")); }
    void cleanup()
    {
        for (const SessionGroup &g : store().groups())
            store().removeGroup(g.name);
        for (const SessionInfo &s : store().ungrouped())
            store().removeSession(s.id);
    }

    // a, b in g1, c in g2, d on top, quick q; `open` names the open ones.
    // Writes as "name=bytes" per write once every run has ended; `line` is
    // what the shown view or the warning box says. "button" sends as a
    // command button does: escapes, no CR added. A name in upper case in
    // `open`: an XMODEM receive waits there, its first poll sent; after a
    // '*': a receive whose sender has begun holds the stream there.
    void sending_data()
    {
        for (const char *column : {"target", "command", "current", "shown", "open", "writes", "line"})
            QTest::addColumn<QString>(column);
        QTest::addColumn<bool>("hex");
        const auto row = [](const char *tag, const char *target, const char *cmd, const char *current,
                            const char *shown, const char *open, const char *writes, const char *line = "",
                            bool hex = false) {
            QTest::newRow(tag) << target << cmd << current << shown << open << writes << line << hex;
        };
        row("current, escapes", "current", "pwd\\n\necho\\t\\p", "a", "a", "abcdq", "a=pwd\recho\t|a=\r");
        row("all, once each", "all", "a\nb", "a", "a", "abdq", "a=a\rb\r|b=a\rb\r|d=a\rb\r|q=a\rb\r");
        row("group of the current", "group", "ls", "b", "c", "abcdq", "a=ls\r|b=ls\r");
        row("group, top level", "group", "ls", "d", "c", "abcdq", "d=ls\r");
        row("group, quick current", "group", "ls", "q", "c", "abcdq", "q=ls\r");
        row("visible", "visible", "ls", "a", "c", "abcdq", "c=ls\r");
        row("visible closed: current", "visible", "ls", "a", "c", "a", "a=ls\r");
        row("nothing open", "all", "<b>x", "a", "c", "", "", "[send] <b>x");
        row("only blanks", "all", " \n\t\\r", "a", "a", "abcdq", "");
        row("button, pause splits", "button", "a\\pb\\r", "q", "q", "q", "q=a|q=b\r");
        row("button, not connected", "button", "ls", "q", "q", "", "", "[send] ls");
        row("hex ignores target", "all", "0a,0B 0c", "b", "a", "abcdq", "b=\n\x0b\x0c", "", true);
        row("hex, current closed", "all", "0A", "b", "a", "a", "", "[send HEX] 0A", true);
        row("hex odd", "current", "ABC", "a", "a", "a", "", "Invalid HEX: \"ABC\"\nExample", true);
        row("hex, separators only", "current", " , ", "a", "a", "a", "", "Invalid HEX", true);
        row("current, a receive waits", "current", "sx f", "a", "a", "A", "a=C|a=\x15|a=sx f\r");
        row("all, a receive waits in one", "all", "ls", "a", "a", "aBd", "a=ls\r|b=C|b=\x15|b=ls\r|d=ls\r");
        row("hex, a receive waits", "current", "73 0d", "a", "a", "A", "a=C|a=\x15|a=s\r", "", true);
        const char *refused = "A transfer is in progress; the text was not sent";
        row("current, a transfer holds the stream", "current", "ls", "a", "a", "*a", "a=C", refused);
        row("button, a transfer holds the stream", "button", "ls\\r", "a", "a", "*a", "a=C", refused);
        row("hex, a transfer holds the stream", "current", "6c 73 0d", "a", "a", "*a", "a=C", refused, true);
        row("all, a transfer holds the stream in one", "all", "ls", "a", "b", "a*bd", "a=ls\r|b=C|d=ls\r", refused);
    }
    void sending()
    {
        QFETCH(QString, open);
        QFETCH(QString, shown);
        QFETCH(QString, line);
        Fixture f;
        for (const char *s : {"a:g1", "b:g1", "c:g2", "d:"}) {
            const QString name = QString(s).section(':', 0, 0);
            f.connect(name, f.add(name, QString(s).section(':', 1)), open.contains(name, Qt::CaseInsensitive));
        }
        XmodemTransfer waiting, holding;
        for (qsizetype i = 0; i < open.size(); ++i) {
            const bool held = i > 0 && open.at(i - 1) == u'*';
            XmodemTransfer *receive = held ? &holding : open.at(i).isUpper() ? &waiting : nullptr;
            if (OpenSession *s = receive ? f.hub->session(f.ids[open.at(i).toLower()]) : nullptr) {
                receive->setManualClock(true);
                s->handOver(receive, true);
                receive->startReceive([s](const QByteArray &b) { s->sendUnlogged(b); }, s->id(),
                                      box.filePath(held ? "h" : "x"), XmodemTransfer::Xmodem);
                if (held)
                    emit s->connection()->dataReceived("\x01\x01"); // a block begins
            }
        }
        f.connect("q", "fast:1", open.contains('q'));
        f.area->addTerminal(f.ids[shown], shown, "idle", QString()); // to the front
        QFETCH(QString, current);
        store().setCurrentSessionId(f.ids[current]);
        QString warning;
        ModalAnswerer modals;
        if (line.startsWith("Invalid"))
            answerModals(modals, true, &warning);
        QFETCH(QString, target);
        QFETCH(QString, command);
        QFETCH(bool, hex);
        if (target == "button")
            f.w.onButtonCommand(command);
        else
            f.w.onCommandSend(target, command, hex);
        const auto written = [&] {
            QStringList out;
            for (auto it = f.fakes.cbegin(); it != f.fakes.cend(); ++it)
                for (const QString &bytes : std::as_const(it.value()->writes))
                    out << it.key() + '=' + bytes;
            return out.join('|');
        };
        QFETCH(QString, writes);
        QTRY_COMPARE(written(), writes);
        // Nothing more comes later: a second send would match only for a moment.
        QTest::qWait(300);
        QCOMPARE(written(), writes);
        QVERIFY2((line.startsWith("Invalid") ? warning : f.text(f.ids[shown])).contains(line), qPrintable(warning));
    }

    // A session is deleted only when the confirmation is accepted.
    void deleteAsksFirst_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("accepted") << true;
        QTest::newRow("cancelled") << false;
    }
    void deleteAsksFirst()
    {
        QFETCH(bool, accept);
        Fixture f;
        const QString id = f.add("doomed", "g");
        ModalAnswerer modals;
        answerModals(modals, accept);
        f.w.onSessionDelete(id);
        QCOMPARE(store().findSession(id).has_value(), !accept);
    }

    // A portable run copies its file's keys, and the option tables that stay
    // in the native store (clone() covers the native run).
    void cloneCopiesSettings()
    {
        std::unique_ptr<QSettings> native(AppSettings::openNativeStore());
        QSettings file(box.filePath("portable.ini"), QSettings::IniFormat);
        file.setValue("session/S/ssh/user", "u");
        file.setValue("session/S2/ssh/user", "another session");
        native->setValue("session/S/keywords/1/row", QStringList{"err", "子串", "red"});
        SessionCommands::copySessionSettings(&file, native.get(), "S", "N");
        QCOMPARE(file.value("session/N/ssh/user").toString(), QStringLiteral("u"));
        QVERIFY(!file.contains("session/N2/ssh/user"));
        QCOMPARE(native->value("session/N/keywords/1/row").toStringList(), (QStringList{"err", "子串", "red"}));
        native->remove("session");
    }

    // Only names of the same type in the same list count.
    void clone_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("layout");
        QTest::newRow("plain") << "w<b>" << "g" << "w<b>:ssh w<b> 2:ssh w<b> 1:telnet w<b> 1:ssh";
        QTest::newRow("top level") << "w<b> 1" << "" << "w<b> 1:ssh w<b> 2:ssh";
    }
    void clone()
    {
        QFETCH(QString, name);
        QFETCH(QString, group);
        Fixture f;
        for (const char *s : {"w<b>:g:ssh", "w<b> 2:g:ssh", "w<b> 1:g:telnet", "w<b> 1::ssh"})
            f.add(QString(s).section(':', 0, 0), QString(s).section(':', 1, 1), QString(s).section(':', 2));
        const QString id = f.ids[name];
        AppSettings::instance().setValue("session/" + id + "/ssh/user", "u");
        f.w.onCloneSession(id);
        QTEST(names(group), "layout");
        const QString clone = names(group).section(':', -2, -2).section(' ', 1);
        const SessionInfo copy = (group.isEmpty() ? store().ungrouped() : store().groups()[0].sessions).constLast();
        QCOMPARE(AppSettings::instance().value("session/" + copy.id + "/ssh/user").toString(), QStringLiteral("u"));
        QVERIFY(f.text(id).contains(QStringLiteral("Cloned: %1 → %2").arg(name, clone)));
    }

    // A double-click in the tree must not cut off what runs in the session's
    // tab: a live one is only brought to the front, a dead one reconnects.
    void treeChoice_data()
    {
        QTest::addColumn<bool>("open");
        QTest::newRow("connected: its tab") << true;
        QTest::newRow("closed: reconnects") << false;
    }
    void treeChoice()
    {
        QFETCH(bool, open);
        Fixture f;
        const QString id = store().addSession("far", "raw", QString(), "127.0.0.1", "9");
        f.area->addTerminal(f.ids["far"] = id, "far", "idle", QString());
        f.connect("far", id, open);
        FakeConnection *before = f.fakes["far"];
        f.add("other"); // to the front
        emit f.w.findChild<SessionTree *>()->sessionConnect(id);
        QCOMPARE(f.area->currentView()->id(), id);
        QCOMPARE(f.hub->connection(id) == before, open);
        QCOMPARE(before->opened, open);
    }

    // The bar follows the tab in front, whether the store knows its session
    // or it is a quick-connect one.
    void statusBarFollowsTab()
    {
        Fixture f;
        const auto bar = [&] {
            QStringList texts;
            for (const QLabel *label : f.w.findChild<StatusBar *>()->findChildren<QLabel *>())
                if (label->isVisibleTo(label->parentWidget()) && !label->text().isEmpty() && !label->text().contains(':'))
                    texts << label->text();
            return texts.join(" · ");
        };
        const QString stored = f.add("local1", QString(), "local");
        f.hub->showState(stored, "connected");
        f.w.onSessionActivated(stored);
        QCOMPARE(bar(), QStringLiteral("🌐 local1 · 🟢 Connected · local · ⚪ Not Recording"));
        f.hub->ensure({"fast:1", "tty", "serial"});
        f.hub->showState("fast:1", "disconnected");
        f.area->addTerminal("fast:1", "tty", "disconnected", QString());
        QCOMPARE(bar(), QStringLiteral("🌐 tty · 🔴 Disconnected · serial · ⚪ Not Recording"));
        f.area->addTerminal(stored, "local1", "connected", QString());
        QCOMPARE(bar(), QStringLiteral("🌐 local1 · 🟢 Connected · local · ⚪ Not Recording"));

        // A renamed session shows its new name in the bar while its tab is in
        // front; a session renamed behind another tab leaves the bar alone.
        const auto rename = [&](const QString &id, const QString &name) {
            f.hub->dialogs.runSessionOptions = [name](QWidget *, SessionInfo info, const auto &apply) {
                info.name = name;
                apply(info);
            };
            f.w.onSessionOptions(id);
        };
        rename(stored, "shell A");
        QCOMPARE(bar(), QStringLiteral("🌐 shell A · 🟢 Connected · local · ⚪ Not Recording"));
        const QString behind = f.add("behind", QString(), "local");
        f.area->addTerminal(stored, "shell A", "connected", QString());
        rename(behind, "renamed behind");
        QCOMPARE(bar(), QStringLiteral("🌐 shell A · 🟢 Connected · local · ⚪ Not Recording"));
    }

    // What the menus offer follows the session's state; the view's own
    // "Close" waits until its menu has returned.
    void menus_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("connection");
        QTest::addColumn<QString>("entries"); // the tab's, then the view's
        QTest::newRow("stored, connected, logging") << "web" << true << "Disconnect - Session Options... - Close|"
                                                       "- Stop Logging - Clear Screen - Disconnect Session Options... - Close";
        QTest::newRow("quick, gone") << "fast:1" << false << "Close|- Start Logging - Clear Screen - Close";
        QTest::newRow("deleted session") << "gone" << false << "|";
    }
    void menus()
    {
        QFETCH(QString, id);
        QFETCH(bool, connection);
        Fixture f;
        id = id == "web" ? f.add("web") : id;
        f.hub->ensure({"fast:1", "q"});
        if (connection)
            f.connect("x", id, true);
        SessionLogger *logger = f.logger(id, box.path()); // a deleted session's tab keeps its own
        QVERIFY(!connection || logger->start());
        int calls = 0;
        const auto other = [](const QString &) {}; // only "Close" is chosen
        ContextMenus menus(f.hub, {other, other, other, [&calls](const QString &) { ++calls; }});
        QMenu tab, view;
        menus.fillTabMenu(&tab, id);
        menus.fillViewMenu(&view, id);
        QStringList texts;
        for (QMenu *m : {&tab, &view}) {
            QStringList entries;
            for (QAction *a : m->actions())
                entries << (a->isSeparator() ? "-" : a->text());
            texts << entries.join(' ');
            for (QAction *a : m->actions())
                if (a->text() == "Close")
                    a->trigger();
        }
        QTEST(texts.join('|'), "entries");
        QCOMPARE(calls, id == "gone" ? 0 : 1);
        QTRY_COMPARE(calls, id == "gone" ? 0 : 2);
    }
};

QTEST_MAIN(TestSessionActions)
#include "tst_sessionactions.moc"
