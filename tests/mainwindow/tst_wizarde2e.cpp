// A session made with the wizard connects to the test's SSH server, and a
// terminal option changed in the session's options dialog reaches its open
// view at once.
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/newsessionwizard.h"
#include "dialogs/sessionoptionsdialog.h"
#include "tests/mainwindow/windowtesting.h"

#include <QDir>
#include <QPushButton>
#include <QSpinBox>

class TestWizardEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(QDir::homePath() + QStringLiteral("/data")));
        LanguageManager::setLanguage(QStringLiteral("en"));
        QVERIFY2(!fixtureText("ssh_sshd/password").isEmpty(), "the sshd fixture has not run (no ssh_sshd/password)");
    }

    void wizardSessionConnectsAndFollowsItsOptions()
    {
        Window win;
        ModalAnswerer user;
        int wizards = 0, options = 0, fontSize = 0;
        user.other = [&](QWidget *modal) {
            const auto set = [modal](const char *name, const QString &text) {
                auto *edit = modal->findChild<QLineEdit *>(name);
                edit ? edit->setText(text) : qWarning("no %s", name);
            };
            if (auto *w = qobject_cast<NewSessionWizard *>(modal)) {
                ++wizards;
                w->selectProtocol(QStringLiteral("ssh"));
                w->nextStep();
                set("hostEdit", QStringLiteral("127.0.0.1"));
                set("portEdit", QString::number(kSshdPort));
                set("userEdit", user.user);
                w->nextStep();
                set("nameEdit", QStringLiteral("wizard made"));
                w->accept();
            } else if (auto *o = qobject_cast<SessionOptionsDialog *>(modal)) {
                ++options;
                for (QSpinBox *spin : o->findChildren<QSpinBox *>(QRegularExpression("/term/fontSize$")))
                    spin->setValue(fontSize);
                o->findChild<QPushButton *>(QStringLiteral("primaryButton"))->click();
            }
        };
        win.w.onNewSession();
        QTRY_COMPARE_WITH_TIMEOUT(wizards, 1, kWait);

        // Saved to the tree, current, and connected through the prompt.
        const QString id = SessionStore::instance().currentSessionId();
        const SessionInfo saved = SessionStore::instance().findSession(id).value_or(SessionInfo());
        QCOMPARE(saved.name + ' ' + saved.port, QStringLiteral("wizard made %1").arg(kSshdPort));
        QTRY_COMPARE_WITH_TIMEOUT(SessionStore::instance().findSession(id)->status, QStringLiteral("connected"), kWait);
        QCOMPARE(user.prompts, 1);
        win.type(id, QStringLiteral("echo hv-$((40+2))"));
        QTRY_VERIFY_WITH_TIMEOUT(win.screen(id).contains(QLatin1String("hv-42")), kWait);

        // The options dialog's font size reaches the open view when it closes.
        TerminalView *view = win.area()->view(id);
        fontSize = view->fontPixelSize() + 5;
        win.w.onSessionOptions(id);
        QCOMPARE(options, 1);
        QCOMPARE(view->fontPixelSize(), fontSize);
        QCOMPARE(SessionStore::instance().findSession(id)->status, QStringLiteral("connected"));
    }
};

QTEST_MAIN(TestWizardEndToEnd)
#include "tst_wizarde2e.moc"
