// The SSH code's pure rules: which authentication an options text selects,
// the command-name filter, the keyboard-interactive answers and the
// known-hosts setting. No server needed.

#include "connections/sshconnection.h"
#include "core/appsettings.h"
#include "core/datadir.h"
#include "core/languagemanager.h"

#include <QDir>
#include <QSettings>
#include <QTest>

Q_DECLARE_METATYPE(SshAuthMethod)

class TestSshRules : public QObject
{
    Q_OBJECT

private slots:
    // Beyond the texts the login tests use against the server.
    void authMethod_data()
    {
        QTest::addColumn<QString>("auth");
        QTest::addColumn<SshAuthMethod>("method");
        const auto pk = SshAuthMethod::PublicKey, ki = SshAuthMethod::KeyboardInteractive, pw = SshAuthMethod::Password;
        LanguageManager::setLanguage(QStringLiteral("de"));
        const QString germanPublicKey = LanguageManager::tr(QStringLiteral("公钥认证"));
        LanguageManager::setLanguage(QStringLiteral("en"));
        QVERIFY(germanPublicKey != QStringLiteral("公钥认证"));
        QTest::newRow("german public key") << germanPublicKey << pk;
        QTest::newRow("chinese keyboard") << QStringLiteral("键盘交互") << ki;
        QTest::newRow("protocol name") << QStringLiteral("keyboard-interactive") << ki;
        QTest::newRow("both: public key wins") << QStringLiteral("publickey,keyboard-interactive") << pk;
        QTest::newRow("kerberos takes password") << QStringLiteral("Kerberos (GSSAPI)") << pw;
        QTest::newRow("empty") << QString() << pw;
    }
    void authMethod()
    {
        QFETCH(QString, auth);
        QFETCH(SshAuthMethod, method);
        QCOMPARE(sshAuthMethodFor(auth), method);
    }

    void commandList()
    {
        const QString longest(64, QLatin1Char('x'));
        const QString tooLong(65, QLatin1Char('y'));
        const QString listing = QStringLiteral("ls\ngrep\r\n\n  ls  \na\n/usr/bin/vim\nmy cmd\nback\\slash\n")
                                + longest + QLatin1Char('\n') + tooLong + QStringLiteral("\ncd\ngrep\n");
        QCOMPARE(sshRemoteCommandList(listing),
                 (QStringList{QStringLiteral("ls"), QStringLiteral("grep"), longest, QStringLiteral("cd")}));
        QVERIFY(sshRemoteCommandList(QString()).isEmpty());
    }

    void keyboardInteractiveRounds()
    {
        const SshPrompt hidden{"Password: ", false};
        const SshPrompt shown{"Username: ", true};
        QList<QByteArray> previous;
        bool gaveUp = false;
        QCOMPARE(sshPromptsToAnswer({}, &previous, &gaveUp), QList<bool>{}); // information only
        QCOMPARE(sshPromptsToAnswer({shown, hidden}, &previous, &gaveUp), (QList<bool>{false, true}));
        QVERIFY(!gaveUp);
        const SshPrompt otp{"One-time code: ", false};
        QCOMPARE(sshPromptsToAnswer({otp}, &previous, &gaveUp), QList<bool>{true}); // a new question
        QVERIFY(!gaveUp);
        QCOMPARE(sshPromptsToAnswer({otp}, &previous, &gaveUp), QList<bool>{false}); // asked again: refused
        QVERIFY(gaveUp);
    }

    void knownHostsSetting_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("path");
        const QString fallback = QDir::homePath() + QStringLiteral("/.ssh/known_hosts");
        QTest::newRow("unset: own file in the data folder") << QVariant() << dataDir() + QStringLiteral("/known_hosts");
        QTest::newRow("windows form")
            << QVariant(QStringLiteral("%appdata%\\Halvorstead\\keys\\kh")) << dataDir() + QStringLiteral("/keys/kh");
        QTest::newRow("blank means the default, not no check") << QVariant(QStringLiteral("  ")) << fallback;
        QTest::newRow("plain path") << QVariant(QStringLiteral("/etc/hv/kh")) << QStringLiteral("/etc/hv/kh");
    }
    void knownHostsSetting()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, path);
        AppSettings &s = AppSettings::instance();
        if (stored.isValid())
            s.setValue(QStringLiteral("keys/knownHosts"), stored);
        else
            s.settings()->remove(QStringLiteral("keys/knownHosts"));
        QCOMPARE(configuredKnownHostsPath(), path);
    }
};

QTEST_GUILESS_MAIN(TestSshRules)
#include "tst_ssh_rules.moc"
