// The real window on an X server: a session made with the wizard connects
// to the test's SSH server, and a terminal option changed in the session's
// options dialog reaches its open view at once.
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/newsessionwizard.h"
#include "dialogs/sessionoptionsdialog.h"
#include "dialogs/sshcredentialsdialog.h"
#include "mainwindow/mainwindow.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

namespace {
constexpr int kWait = 10000; // a bound against hanging, not a speed check
constexpr int kSshdPort = 22200 + HV_TEST_PORT_OFFSET;

QString fixture(const QString &file)
{
    QFile f(QStringLiteral(HV_BINARY_DIR "/fixtures/") + file);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
}

template <typename T> T *child(QWidget *parent, const QString &name)
{
    T *found = parent->findChild<T *>(name);
    if (!found)
        qWarning("no %s", qPrintable(name));
    return found;
}

// Plays the user in front of whichever modal dialog is up, as each step of
// the test wants it answered.
struct User : QTimer {
    int wizards = 0, prompts = 0, options = 0;
    int fontSize = 0;
    User()
    {
        connect(this, &QTimer::timeout, this, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible())
                return;
            if (auto *w = qobject_cast<NewSessionWizard *>(modal)) {
                ++wizards;
                w->selectProtocol(QStringLiteral("ssh"));
                w->nextStep();
                child<QLineEdit>(w, QStringLiteral("hostEdit"))->setText(QStringLiteral("127.0.0.1"));
                child<QLineEdit>(w, QStringLiteral("portEdit"))->setText(QString::number(kSshdPort));
                child<QLineEdit>(w, QStringLiteral("userEdit"))->setText(fixture("ssh_sshd/user"));
                w->nextStep();
                child<QLineEdit>(w, QStringLiteral("nameEdit"))->setText(QStringLiteral("wizard made"));
                w->accept();
            } else if (auto *d = qobject_cast<SshCredentialsDialog *>(modal)) {
                ++prompts;
                d->findChild<QLineEdit *>(QStringLiteral("userEdit"))->setText(fixture("ssh_sshd/user"));
                d->findChild<QLineEdit *>(QStringLiteral("passwordEdit"))->setText(fixture("ssh_sshd/password"));
                d->accept();
            } else if (auto *o = qobject_cast<SessionOptionsDialog *>(modal)) {
                ++options;
                for (QSpinBox *spin : o->findChildren<QSpinBox *>())
                    if (spin->objectName().endsWith(QLatin1String("/term/fontSize")))
                        spin->setValue(fontSize);
                child<QPushButton>(o, QStringLiteral("primaryButton"))->click();
            }
        });
        start(20);
    }
};
} // namespace

class TestWizardEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(QDir::homePath() + QStringLiteral("/data")));
        LanguageManager::setLanguage(QStringLiteral("en"));
        QVERIFY2(!fixture("ssh_sshd/password").isEmpty(), "the sshd fixture has not run (no ssh_sshd/password)");
    }

    void wizardSessionConnectsAndFollowsItsOptions()
    {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        User user;
        w.onNewSession();
        QTRY_COMPARE_WITH_TIMEOUT(user.wizards, 1, kWait);

        // Saved to the tree, current, and connected through the prompt.
        const QString id = SessionStore::instance().currentSessionId();
        const std::optional<SessionInfo> saved = SessionStore::instance().findSession(id);
        QVERIFY(saved);
        QCOMPARE(saved->name, QStringLiteral("wizard made"));
        QCOMPARE(saved->port, QString::number(kSshdPort));
        QTRY_COMPARE_WITH_TIMEOUT(SessionStore::instance().findSession(id)->status, QStringLiteral("connected"), kWait);
        QCOMPARE(user.prompts, 1);
        TerminalView *view = w.findChild<TerminalArea *>()->view(id);
        QVERIFY(view);
        QTest::keyClicks(view->terminalEdit(), QStringLiteral("echo hv-$((40+2))"));
        QTest::keyClick(view->terminalEdit(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(view->terminalEdit()->document()->toPlainText().contains(QLatin1String("hv-42")),
                                 kWait);

        // The options dialog's font size reaches the open view when it closes.
        user.fontSize = view->fontPixelSize() + 5;
        w.onSessionOptions(id);
        QCOMPARE(user.options, 1);
        QCOMPARE(view->fontPixelSize(), user.fontSize);
        QCOMPARE(SessionStore::instance().findSession(id)->status, QStringLiteral("connected"));
    }
};

QTEST_MAIN(TestWizardEndToEnd)
#include "tst_wizarde2e.moc"
