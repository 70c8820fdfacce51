#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/sshcredentialsdialog.h"
#include "mainwindow/sessiontree.h"
#include "ui/groupdialogs.h"
#include "ui/titlebar.h"

#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTreeWidget>

namespace {
// The texts a tree shows, "group/" prefixed to children, hidden items left out.
QStringList visible(QTreeWidget *tree)
{
    QStringList out;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem *top = tree->topLevelItem(i);
        if (top->isHidden())
            continue;
        out << top->text(0);
        for (int c = 0; c < top->childCount(); ++c) {
            if (!top->child(c)->isHidden())
                out << top->text(0) + QLatin1Char('/') + top->child(c)->text(0);
        }
    }
    return out;
}
} // namespace

class TestSessionTree : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SessionStore &store = SessionStore::instance();
        store.addGroup(QStringLiteral("Lab"));
        store.addGroup(QStringLiteral("Empty"));
        store.addSession(QStringLiteral("router"), QStringLiteral("telnet"), QStringLiteral("Lab"), QStringLiteral("h"), "23");
        store.addSession(QStringLiteral("Build"), QStringLiteral("ssh"), QStringLiteral("Lab"), QStringLiteral("h"), "22");
        store.addSession(QStringLiteral("console"), QStringLiteral("serial"), QString(), QStringLiteral("COM1"), "9600");
        LanguageManager::setLanguage(QStringLiteral("en"));
    }

    void filter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        const QString router = QStringLiteral("Lab/router  [telnet]"), build = QStringLiteral("Lab/Build  [ssh]");
        QTest::newRow("empty") << "" << QStringList{"Lab", router, build, "Empty", "console  [serial]"};
        QTest::newRow("type, any case, blanks") << " SSH " << QStringList{"Lab", build};
        QTest::newRow("group name only") << "lab" << QStringList{"Lab"};
        QTest::newRow("top-level session") << "serial" << QStringList{"console  [serial]"};
    }
    void filter()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        SessionTree tree;
        auto *view = tree.findChild<QTreeWidget *>();
        tree.findChild<QLineEdit *>()->setText(text);
        QCOMPARE(visible(view), expected);
        // A refresh keeps the filter applied to the new items.
        tree.refresh();
        QCOMPARE(visible(view), expected);
        if (!text.isEmpty() && expected.size() > 1)
            QVERIFY(view->topLevelItem(0)->isExpanded());
    }

    void enterActivates()
    {
        SessionTree tree;
        auto *view = tree.findChild<QTreeWidget *>();
        QSignalSpy activated(&tree, &SessionTree::sessionActivated);
        QSignalSpy connects(&tree, &SessionTree::sessionConnect);
        QTreeWidgetItem *group = view->topLevelItem(0);
        emit view->itemActivated(group, 0);
        QVERIFY(!group->isExpanded());
        emit view->itemActivated(group->child(0), 0);
        QCOMPARE(activated.size(), 1);
        QCOMPARE(activated.first().first().toString(), group->child(0)->data(0, SessionTree::SessionIdRole).toString());
        QCOMPARE(connects.size(), 0);
    }

    void groupDialogs_data()
    {
        QTest::addColumn<bool>("rename");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("title"); // the window system's and the frame's
        QTest::newRow("new, blanks around") << false << "  ops  " << "ops" << "📁 New Group";
        QTest::newRow("new, blanks only") << false << "   " << "" << "📁 New Group";
        QTest::newRow("rename, typing replaces") << true << "Prod " << "Prod" << "Rename Group";
        QTest::newRow("rename a session") << true << " db 2" << "db 2" << "Rename Session";
    }
    void groupDialogs()
    {
        QFETCH(bool, rename);
        QFETCH(QString, typed);
        LanguageManager::setLanguage(QStringLiteral("en"));
        std::unique_ptr<QDialog> dialog;
        const bool session = QTest::currentDataTag() == QByteArray("rename a session");
        if (session)
            dialog = std::make_unique<RenameSessionDialog>(QStringLiteral("db"));
        else if (rename)
            dialog = std::make_unique<RenameGroupDialog>(QStringLiteral("Lab"));
        else
            dialog = std::make_unique<NewGroupDialog>();
        QFETCH(QString, title);
        QCOMPARE(dialog->windowTitle(), title);
        QVERIFY(dialog->findChild<TitleBar *>()); // the frame is the program's own: no system title bar
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        QTest::keyClicks(dialog->findChild<QLineEdit *>(QStringLiteral("nameEdit")), typed);
        QTest::keyClick(dialog->focusWidget(), Qt::Key_Return);
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        const QString name = session ? static_cast<RenameSessionDialog *>(dialog.get())->name()
                             : rename ? static_cast<RenameGroupDialog *>(dialog.get())->groupName()
                                      : static_cast<NewGroupDialog *>(dialog.get())->groupName();
        QTEST(name, "expected");
    }

    void credentials_data()
    {
        QTest::addColumn<QString>("savedUser");
        QTest::addColumn<QString>("savedPassword");
        QTest::addColumn<QString>("typed"); // into the focused field
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("user saved: focus stays on user") << "ad" << "" << "min" << "admin" << "";
        QTest::newRow("nothing saved: user trimmed") << "" << "" << "  bob  " << "bob" << "";
        QTest::newRow("password keeps blanks") << "u" << " p w " << "" << "u" << " p w ";
    }
    void credentials()
    {
        QFETCH(QString, savedUser);
        QFETCH(QString, savedPassword);
        QFETCH(QString, typed);
        SshCredentialsDialog dialog(QStringLiteral("<i>h</i>"));
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.setDefaults(savedUser, savedPassword);
        QTest::keyClick(dialog.focusWidget(), Qt::Key_End);
        QTest::keyClicks(dialog.focusWidget(), typed);
        QTest::keyClick(dialog.findChild<QLineEdit *>(QStringLiteral("passwordEdit")), Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const SshCredentials c = dialog.credentials();
        QTEST(c.user, "user");
        QTEST(c.password, "password");
        QVERIFY(!c.remember);
        const QString host = dialog.findChild<QLabel *>(QStringLiteral("hostLabel"))->text();
        QVERIFY(QTextDocumentFragment::fromHtml(host).toPlainText().contains(QStringLiteral("<i>h</i>")));
    }

    // Last, since it fills the store: a saved file of 5,000 sessions in 200
    // groups with 500-character, right-to-left, CJK and emoji names. The
    // filter finds them; a name longer than the pane ends at its edge (full
    // name in the tool tip) instead of scrolling the pane sideways.
    void manyLongNames()
    {
        const QStringList kinds{QStringLiteral("خادم"), QStringLiteral("服务器"), QStringLiteral("🚀"), QStringLiteral("x")};
        SessionStore &store = SessionStore::instance();
        const int before = int(visible(SessionTree().findChild<QTreeWidget *>()).size());
        QList<SessionGroup> groups = store.groups();
        for (int g = 0; g < 200; ++g) {
            SessionGroup group{QStringLiteral("g%1").arg(g), QString(), {}};
            for (int i = 0; i < 25; ++i)
                group.sessions << makeSessionInfo(kinds.at(i % 4).repeated(i % 5 ? 1 : 500 / kinds.at(i % 4).size())
                                                      + QString::number(i),
                                                  QStringLiteral("ssh"), QStringLiteral("h"), QStringLiteral("22"),
                                                  SerialParams(), group.name);
            groups << group;
        }
        QFile file(store.filePath(QLatin1String(SessionStore::sessionsFileName)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(SessionStore::sessionsDocument(groups, store.ungrouped())) > 0);
        file.close();
        store.loadSessions();
        SessionTree tree;
        tree.resize(240, 600);
        tree.show();
        auto *view = tree.findChild<QTreeWidget *>();
        tree.findChild<QLineEdit *>()->setText(QStringLiteral("服务器1"));
        QCOMPARE(visible(view).size(), 200 * (1 + 3)); // each group, with 服务器1, 服务器13 and 服务器17
        tree.findChild<QLineEdit *>()->clear();
        QCOMPARE(visible(view).size(), before + 200 + 5000);
        QCOMPARE(view->horizontalScrollBar()->maximum(), 0);
        QTreeWidgetItem *longest = view->findItems(QStringLiteral("🚀🚀"), Qt::MatchStartsWith | Qt::MatchRecursive).first();
        QVERIFY(view->fontMetrics().horizontalAdvance(longest->text(0)) > view->viewport()->width());
        QCOMPARE(longest->toolTip(0), longest->text(0));
    }
};

QTEST_MAIN(TestSessionTree)
#include "tst_sessiontree.moc"
