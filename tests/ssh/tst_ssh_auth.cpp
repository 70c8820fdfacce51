// Authentication against the real sshd of the fixture, which keeps OpenSSH's
// default algorithms: every method and user key type, on a server with every
// host key type and on one with an RSA host key only, and the ways it fails;
// which method an options text selects, and the keyboard-interactive answers.

#include "sshtest.h"

#include "core/debuglog.h"
#include "core/languagemanager.h"

#include <QTemporaryDir>

using namespace sshtest;

Q_DECLARE_METATYPE(SshAuthMethod)

class TestSshAuth : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

private slots:
    void initTestCase()
    {
        QVERIFY2(!sshdDir().isEmpty() && sshdPort() > 0, "HV_SSHD_DIR/HV_SSHD_PORT not set: run through ctest");
        QVERIFY(m_tmp.isValid());
        LanguageManager::setLanguage(QStringLiteral("en"));
    }

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

    void login_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("auth");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("secret");
        QTest::addColumn<bool>("succeeds");
        const QString v4 = QStringLiteral("127.0.0.1");
        const int all = sshdPort();
        QTest::newRow("password") << v4 << all << "Password Auth" << QString() << password() << true;
        QTest::newRow("password over ipv6") << "::1" << all << "Password Auth" << QString() << password() << true;
        QTest::newRow("keyboard-interactive") << v4 << all << "Keyboard Interactive" << QString() << password() << true;
        // RSA keys must sign with SHA-2: the server refuses ssh-rsa (SHA-1).
        for (int port : {all, rsaOnlyPort()}) {
            const char *server = port == all ? "all host keys" : "rsa host key";
            for (const char *key : {"id_rsa_pem", "id_rsa", "id_ecdsa", "id_ed25519"}) {
                QTest::addRow("%s, %s", server, key) << v4 << port << "Public Key" << keyPath(key) << QString() << true;
                const QByteArray withPass = QByteArray(key) + "_pass";
                QTest::addRow("%s, %s", server, withPass.constData())
                    << v4 << port << "公钥认证" << keyPath(withPass.constData()) << passphrase() << true;
            }
        }
        // Only the private key on disk: the public half is derived from it.
        const QString lonely = m_tmp.filePath(QStringLiteral("lonely_ed25519"));
        QFile::copy(keyPath("id_ed25519"), lonely);
        QTest::newRow("key without .pub") << v4 << all << "Public Key" << lonely << QString() << true;
        // The server grants this key no terminal: the command runs without one.
        QTest::newRow("no pty") << v4 << all << "Public Key" << keyPath("id_ed25519_nopty") << QString() << true;

        // One wrong password only: each costs the server's PAM delay.
        QTest::newRow("wrong password") << v4 << all << "Password Auth" << QString() << "not-the-password" << false;
        QTest::newRow("missing key file") << v4 << all << "Public Key" << lonely + "_absent" << QString() << false;
        QTest::newRow("wrong passphrase") << v4 << all << "Public Key" << keyPath("id_ed25519_pass") << "nope" << false;
        QTest::newRow("passphrase missing") << v4 << all << "Public Key" << keyPath("id_rsa_pass") << QString() << false;
    }
    void login()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, auth);
        QFETCH(QString, key);
        QFETCH(QString, secret);
        QFETCH(bool, succeeds);
        if (key.contains(QLatin1String("rsa")) || port == rsaOnlyPort())
            HV_REQUIRE_SHA2_RSA();
        SshConnectParams p = params(host, port);
        p.knownHostsPath = m_tmp.filePath(QStringLiteral("known_hosts"));
        p.remoteCommand = QStringLiteral("echo hv-auth-ok");
        p.auth = auth;
        p.privateKey = key;
        p.password = secret;
        Recorder r(p);
        QVERIFY(r.runToEnd());
        QVERIFY(readFile(debugLogPath()).contains("[SSH] authentication begin"));
        QVERIFY2(secret.isEmpty() || !readFile(debugLogPath()).contains(secret.toUtf8()), "secret in the debug log");
        if (succeeds) {
            QVERIFY2(r.errors.isEmpty(), qPrintable(r.joinedErrors()));
            QCOMPARE(r.connected, 1);
            QCOMPARE(r.disconnected, 1); // the command ended
            QVERIFY(r.data.contains("hv-auth-ok"));
            QVERIFY(!r.conn.isOpen());
            return;
        }
        QCOMPARE(r.errors.size(), 1);
        const QString prefix = LanguageManager::tr(QStringLiteral("SSH 认证失败：%1")).arg(QString());
        QVERIFY2(r.errors.first().startsWith(prefix), qPrintable(r.errors.first()));
        QCOMPARE(r.connected + r.disconnected, 0); // an authentication failure is no disconnect
    }
};

QTEST_GUILESS_MAIN(TestSshAuth)
#include "tst_ssh_auth.moc"
