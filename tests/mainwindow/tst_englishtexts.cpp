// In English, no Chinese where a text goes through translation: every text a
// user can read in the window, its menus, its dialogs, the SFTP pane and
// dialog, and the status lines of the in-band transfers. What stays Chinese
// on purpose (command descriptions) is not shown by any of these.
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/globaloptionsdialog.h"
#include "dialogs/newsessionwizard.h"
#include "dialogs/sessionoptionsdialog.h"
#include "dialogs/sshcredentialsdialog.h"
#include "mainwindow/contextmenus.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessionhub.h"
#include "sftp/widgets/remotedirtree.h"
#include "sftp/widgets/sftpdialog.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"
#include "transfer/kermittransfer.h"
#include "transfer/tftp/tftpserverdialog.h"
#include "transfer/xmodemtransfer.h"
#include "transfer/zmodemtransfer.h"
#include "ui/groupdialogs.h"
#include "tests/support/sshfixture.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QTreeWidget>

#include <algorithm>
#include <memory>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

bool chinese(const QString &text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        // Han characters, and the full-width punctuation Chinese texts carry.
        if ((u >= 0x3400 && u <= 0x9fff) || (u >= 0xf900 && u <= 0xfaff) || u == 0x3001 || u == 0x3002
            || u == 0xff08 || u == 0xff09 || u == 0xff0c || u == 0xff1a || u == 0xff1b)
            return true;
    }
    return false;
}

QString plain(const QString &text)
{
    return Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
}

// "class name: text" for every text a user can read under `root`. Language
// entries are named in their own language on purpose.
QStringList textsUnder(QWidget *root)
{
    QStringList found;
    const auto check = [&found](const QObject *o, const QString &text) {
        if (!text.isEmpty())
            found << QStringLiteral("%1 %2: %3").arg(QLatin1String(o->metaObject()->className()), o->objectName(), text);
    };
    const auto treeItem = [&](const QObject *o, const QTreeWidgetItem *item, auto &self) -> void {
        for (int c = 0; c < item->columnCount(); ++c)
            check(o, item->text(c) + item->toolTip(c));
        for (int i = 0; i < item->childCount(); ++i)
            self(o, item->child(i), self);
    };
    QList<QWidget *> widgets = root->findChildren<QWidget *>();
    widgets.prepend(root);
    for (QWidget *w : std::as_const(widgets)) {
        check(w, w->windowTitle() + w->toolTip());
        for (const QAction *a : w->actions()) {
            if (!a->objectName().startsWith(QLatin1String("actionLanguage_")))
                check(a, a->text() + a->toolTip());
        }
        if (auto *l = qobject_cast<QLabel *>(w))
            check(w, plain(l->text()));
        else if (auto *b = qobject_cast<QAbstractButton *>(w))
            check(w, b->text());
        else if (auto *e = qobject_cast<QLineEdit *>(w))
            check(w, e->text() + e->placeholderText());
        else if (auto *g = qobject_cast<QGroupBox *>(w))
            check(w, g->title());
        else if (auto *m = qobject_cast<QMenu *>(w))
            check(w, m->title());
        else if (auto *p = qobject_cast<QPlainTextEdit *>(w))
            check(w, p->toPlainText() + p->placeholderText());
        else if (auto *t = qobject_cast<QTextEdit *>(w))
            check(w, t->toPlainText() + t->placeholderText());
        if (auto *c = qobject_cast<QComboBox *>(w)) {
            for (int i = 0; i < c->count(); ++i)
                check(w, c->itemText(i));
        } else if (auto *tabs = qobject_cast<QTabBar *>(w)) {
            for (int i = 0; i < tabs->count(); ++i)
                check(w, tabs->tabText(i) + tabs->tabToolTip(i));
        } else if (auto *table = qobject_cast<QTableWidget *>(w)) {
            for (int c = 0; c < table->columnCount(); ++c) {
                if (const QTableWidgetItem *h = table->horizontalHeaderItem(c))
                    check(w, h->text());
                for (int r = 0; r < table->rowCount(); ++r)
                    if (const QTableWidgetItem *item = table->item(r, c))
                        check(w, item->text());
            }
        } else if (auto *list = qobject_cast<QListWidget *>(w)) {
            for (int i = 0; i < list->count(); ++i)
                check(w, list->item(i)->text());
        } else if (auto *tree = qobject_cast<QTreeWidget *>(w)) {
            treeItem(w, tree->headerItem(), treeItem);
            treeItem(w, tree->invisibleRootItem(), treeItem);
        }
    }
    return found;
}

// Chinese on purpose: the default group of the command buttons, which is
// data (the strip's group of that name), not a label.
const QStringList kKeptChinese{QStringLiteral(": 常用")};

QStringList chineseUnder(QWidget *root)
{
    QStringList found = textsUnder(root);
    found.removeIf([](const QString &line) {
        return !chinese(line) || std::any_of(kKeptChinese.cbegin(), kKeptChinese.cend(), [&](const QString &kept) {
            return line.endsWith(kept);
        });
    });
    return found;
}

// A serial line to open: the far side of a pseudo-terminal.
struct PtyLine {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QString path = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0
        ? QString::fromLocal8Bit(::ptsname(master)) : QString();
    ~PtyLine() { if (master >= 0) ::close(master); }
};

QString addSession(const QString &name, const QString &type, const QString &host, const QString &port,
                   const SerialParams &serial = {})
{
    return SessionStore::instance().addSession(name, type, QStringLiteral("Lab"), host, port, serial);
}

} // namespace

class TestEnglishTexts : public QObject
{
    Q_OBJECT
    QTemporaryDir box;

private slots:
    void initTestCase()
    {
        LanguageManager::setLanguage(QStringLiteral("en"));
        SessionStore::instance().addGroup(QStringLiteral("Lab"));
        // Kinds of every protocol, a serial one with odd parity and flow control.
        SerialParams serial;
        serial.serial_parity = 1;
        serial.serial_flow = 2;
        serial.serial_port = m_pty.path;
        addSession("serial", "serial", m_pty.path, "9600", serial);
        for (const char *type : {"ssh", "telnet", "raw", "rlogin", "local"})
            addSession(QString::fromLatin1(type), QString::fromLatin1(type), "127.0.0.1", "9");
        QVERIFY2(!m_pty.path.isEmpty(), "no pseudo-terminal for the serial session");
    }

    // The window with a tab of every kind; the serial one connected, so its
    // line settings are shown. Menus, tree, tool bar, status bar, tabs.
    void window()
    {
        MainWindow w;
        w.show();
        for (const SessionInfo &s : SessionStore::instance().groups().constFirst().sessions)
            w.onSessionActivated(s.id);
        const QString serial = SessionStore::instance().groups().constFirst().sessions.constFirst().id;
        w.onSessionConnect(serial);
        const auto shown = [&] { return w.findChild<TerminalArea *>()->view(serial)->terminalEdit()->toPlainText(); };
        QTRY_VERIFY2_WITH_TIMEOUT(shown().contains(m_pty.path), qPrintable(shown()), 30000); // the connection's readiness
        QStringList found = chineseUnder(&w);
        // The context menus of a tab and of its view.
        QMenu tab, view;
        const auto nothing = [](const QString &) {};
        ContextMenus menus(w.sessionHub(), {nothing, nothing, nothing, nothing, nothing});
        menus.fillTabMenu(&tab, serial);
        menus.fillViewMenu(&view, serial);
        found += chineseUnder(&tab) + chineseUnder(&view);
        w.sessionHub()->closeAll();
        QVERIFY2(found.isEmpty(), qPrintable(found.join('\n')));
    }

    void dialogs_data()
    {
        QTest::addColumn<std::function<QDialog *()>>("make");
        const auto row = [](const char *tag, std::function<QDialog *()> make) { QTest::newRow(tag) << make; };
        row("global options", [] { return new GlobalOptionsDialog; });
        for (const SessionInfo &s : SessionStore::instance().groups().constFirst().sessions) {
            QTest::addRow("session options, %s", qPrintable(s.type)) << std::function<QDialog *()>([s] {
                return new SessionOptionsDialog(s);
            });
        }
        for (const char *proto : {"ssh", "telnet", "serial", "raw", "local", "rlogin"}) {
            QTest::addRow("wizard, %s", proto) << std::function<QDialog *()>([proto] {
                auto *w = new NewSessionWizard;
                w->show();
                QTest::mouseClick(w->findChild<QFrame *>(QStringLiteral("card_") + QLatin1String(proto)), Qt::LeftButton);
                w->nextStep();
                return w;
            });
        }
        row("wizard, last step", [] {
            auto *w = new NewSessionWizard;
            w->nextStep();
            w->nextStep();
            return w;
        });
        row("new group", [] { return new NewGroupDialog; });
        row("rename group", [] { return new RenameGroupDialog("Lab"); });
        row("rename session", [] { return new RenameSessionDialog("db"); });
        row("delete group", [] {
            auto *d = new DeleteConfirmDialog;
            d->setTarget("Lab", true, 3);
            return d;
        });
        row("credentials", [] { return new SshCredentialsDialog("h"); });
        row("TFTP server", [] { return new TftpServerDialog; });
    }
    // Every page of each: a page is built when first shown.
    void dialogs()
    {
        QFETCH(std::function<QDialog *()>, make);
        std::unique_ptr<QDialog> dialog(make());
        dialog->show();
        if (auto *settings = qobject_cast<BaseSettingsDialog *>(dialog.get())) {
            for (int i = 0; i < settings->pageCount(); ++i)
                settings->showPage(i);
        }
        const QStringList found = chineseUnder(dialog.get());
        QVERIFY2(found.isEmpty(), qPrintable(found.join('\n')));
    }

    // What the SFTP pane and the SFTP dialog say when the login or the host
    // key is refused.
    void sftp_data()
    {
        QTest::addColumn<bool>("dialog");
        QTest::addColumn<QString>("refusal");
        for (const bool dialog : {false, true}) {
            const char *where = dialog ? "dialog" : "pane";
            QTest::addRow("%s, wrong password", where) << dialog << "password";
            QTest::addRow("%s, host key differs", where) << dialog << "hostkey";
        }
    }
    void sftp()
    {
        QFETCH(bool, dialog);
        QFETCH(QString, refusal);
        if (FixtureAccount().password.isEmpty())
            QFAIL("the sshd fixture has not run: run through ctest");
        const QString knownHosts = box.filePath(refusal + (dialog ? "d" : "p"));
        SshConnectParams params = fixtureSshParams(kSshdPort, knownHosts);
        if (refusal == "password") {
            params.password += "-wrong";
        } else {
            // Another key under the server's name.
            const QByteArray key = readFile(fixturePath("ssh_sshd/keys/id_ed25519.pub")).split(' ').value(1);
            QVERIFY(!key.isEmpty());
            writeFile(knownHosts, QStringLiteral("[127.0.0.1]:%1 ssh-ed25519 ").arg(kSshdPort).toUtf8() + key + "\n");
        }
        std::unique_ptr<QWidget> shown;
        if (dialog) {
            shown.reset(new SftpDialog(params));
        } else {
            auto *pane = new RemoteDirTree;
            pane->connectTo(params);
            shown.reset(pane);
        }
        shown->show();
        const QString sign = refusal == "password" ? "authentication failed" : "Host key verification failed";
        QTRY_VERIFY_WITH_TIMEOUT(textsUnder(shown.get()).join('\n').contains(sign, Qt::CaseInsensitive), 30000);
        const QStringList found = chineseUnder(shown.get());
        QVERIFY2(found.isEmpty(), qPrintable(found.join('\n')));
    }

    // Each engine run with no peer, to its end: cancelled, or given up after
    // its time-outs. The end is checked word for word, so that a text the
    // table lacks cannot pass as the Chinese one.
    void transferEngines_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<bool>("send");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QString>("end");
        QTest::newRow("xmodem send, cancelled") << "xmodem" << true << true << "Transfer cancelled by the user";
        QTest::newRow("ymodem receive, no sender")
            << "ymodem" << false << false << "No response to 30 polls, the peer has not started sending";
        QTest::newRow("zmodem send, cancelled") << "zmodem" << true << true << "Zmodem transfer cancelled by the user";
        QTest::newRow("zmodem receive, no sender")
            << "zmodem" << false << false << "The peer did not start sending (sz) within 5 minutes, giving up";
        QTest::newRow("kermit send, no receiver") << "kermit" << true << false << "The peer keeps not responding, aborting";
        QTest::newRow("kermit receive, no sender")
            << "kermit" << false << false << "The peer did not start sending within 2 minutes, giving up";
        QTest::newRow("kermit receive, cancelled") << "kermit" << false << true << "Kermit transfer cancelled by the user";
    }
    void transferEngines()
    {
        QFETCH(QString, protocol);
        QFETCH(bool, send);
        QFETCH(bool, cancel);
        QFETCH(QString, end);
        QTemporaryDir dir;
        QFile file(dir.filePath("f.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(3000, 'x')) == 3000);
        file.close();
        QStringList shown;
        QString last;
        std::unique_ptr<InbandTransfer> t; // after what it reports to: it may still report as it goes
        if (protocol == "zmodem")
            t = std::make_unique<ZmodemTransfer>();
        else if (protocol == "kermit")
            t = std::make_unique<KermitTransfer>();
        else
            t = std::make_unique<XmodemTransfer>();
        t->setManualClock(true);
        connect(t.get(), &InbandTransfer::statusMessage, this, [&](const QString &, const QString &text) { shown << text; });
        connect(t.get(), &InbandTransfer::resultReady, this, [&](InbandTransfer::Outcome, const QString &text) { last = text; });
        const TransferSendFn nowhere = [](const QByteArray &) {};
        const int variant = protocol == "ymodem" ? XmodemTransfer::Ymodem : 0;
        if (send)
            t->startSend(nowhere, "s", {file.fileName()}, variant);
        else
            t->startReceive(nowhere, "s", dir.path(), variant);
        if (cancel)
            t->cancel();
        for (int second = 0; second < 1000 && t->isActive(); ++second)
            t->tick();
        QCOMPARE(last, end);
        shown.removeIf([](const QString &text) { return !chinese(text); });
        QVERIFY2(shown.isEmpty(), qPrintable(shown.join('\n')));
    }

private:
    PtyLine m_pty;
};

QTEST_MAIN(TestEnglishTexts)
#include "tst_englishtexts.moc"
