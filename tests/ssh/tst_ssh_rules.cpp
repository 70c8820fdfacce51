// The SSH code's pure rules: which authentication an options text selects,
// which hosts count as Unix-like, the command-name filter, the name a host
// key is filed under, the keyboard-interactive answers and the known-hosts
// setting. No server needed.

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
    void authMethod_data()
    {
        QTest::addColumn<QString>("auth");
        QTest::addColumn<SshAuthMethod>("method");
        const auto pk = SshAuthMethod::PublicKey, ki = SshAuthMethod::KeyboardInteractive, pw = SshAuthMethod::Password;
        LanguageManager::setLanguage(QStringLiteral("de"));
        const QString germanPublicKey = LanguageManager::tr(QStringLiteral("公钥认证"));
        LanguageManager::setLanguage(QStringLiteral("en"));
        QVERIFY(germanPublicKey != QStringLiteral("公钥认证"));
        QTest::newRow("english public key") << QStringLiteral("Public Key") << pk;
        QTest::newRow("chinese public key") << QStringLiteral("公钥认证") << pk;
        QTest::newRow("german public key") << germanPublicKey << pk;
        QTest::newRow("publickey any case") << QStringLiteral("PUBLICKEY") << pk;
        QTest::newRow("keyboard interactive") << QStringLiteral("Keyboard Interactive") << ki;
        QTest::newRow("chinese keyboard") << QStringLiteral("键盘交互") << ki;
        QTest::newRow("protocol name") << QStringLiteral("keyboard-interactive") << ki;
        QTest::newRow("both: public key wins") << QStringLiteral("publickey,keyboard-interactive") << pk;
        QTest::newRow("password") << QStringLiteral("Password Auth") << pw;
        QTest::newRow("chinese password") << QStringLiteral("密码认证") << pw;
        QTest::newRow("kerberos takes password") << QStringLiteral("Kerberos (GSSAPI)") << pw;
        QTest::newRow("empty") << QString() << pw;
    }
    void authMethod()
    {
        QFETCH(QString, auth);
        QFETCH(SshAuthMethod, method);
        QCOMPARE(sshAuthMethodFor(auth), method);
    }

    void remoteOs_data()
    {
        QTest::addColumn<QString>("uname");
        QTest::addColumn<QString>("os");
        QTest::newRow("linux") << QStringLiteral("Linux\n") << QStringLiteral("linux");
        QTest::newRow("freebsd") << QStringLiteral("FreeBSD") << QStringLiteral("linux");
        QTest::newRow("darwin") << QStringLiteral("  Darwin  ") << QStringLiteral("linux");
        QTest::newRow("sunos") << QStringLiteral("SunOS") << QStringLiteral("linux");
        QTest::newRow("aix") << QStringLiteral("AIX") << QStringLiteral("linux");
        QTest::newRow("windows") << QStringLiteral("Windows_NT") << QString();
        QTest::newRow("nothing") << QString() << QString();
    }
    void remoteOs()
    {
        QFETCH(QString, uname);
        QFETCH(QString, os);
        QCOMPARE(sshRemoteOsFor(uname), os);
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

    void knownHostName_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("name");
        QTest::newRow("port 22") << QStringLiteral("example.org") << 22 << QStringLiteral("example.org");
        QTest::newRow("port 2222") << QStringLiteral("example.org") << 2222 << QStringLiteral("[example.org]:2222");
        QTest::newRow("ipv6") << QStringLiteral("::1") << 22200 << QStringLiteral("[::1]:22200");
    }
    void knownHostName()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, name);
        QCOMPARE(sshKnownHostName(host, port), name);
    }

    void knownHostsSetting_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("path");
        const QString fallback = QDir::homePath() + QStringLiteral("/.ssh/known_hosts");
        QTest::newRow("unset: own file in the data folder") << QVariant() << dataDir() + QStringLiteral("/known_hosts");
        QTest::newRow("windows form")
            << QVariant(QStringLiteral("%appdata%\\Halvorstead\\keys\\kh")) << dataDir() + QStringLiteral("/keys/kh");
        QTest::newRow("empty means the default, not no check") << QVariant(QString()) << fallback;
        QTest::newRow("blank") << QVariant(QStringLiteral("   ")) << fallback;
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
        QCOMPARE(defaultKnownHostsPath(), QDir::homePath() + QStringLiteral("/.ssh/known_hosts"));
    }

};

QTEST_GUILESS_MAIN(TestSshRules)
#include "tst_ssh_rules.moc"
