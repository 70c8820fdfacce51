// Every method and user key type against the fixture's sshd (OpenSSH's default algorithms), and the
// ways a login fails.
#include "sshtest.h"

#include "core/debuglog.h"

using namespace sshtest;

class TestSshAuth : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(!password().isEmpty(), "the sshd fixture has not run: run through ctest");
        LanguageManager::setLanguage(QStringLiteral("en"));
    }

    void login_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("auth");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("secret");
        QTest::addColumn<bool>("succeeds");
        const int all = kSshdPort;
        QTest::newRow("password") << all << "Password Auth" << QString() << password() << true;
        QTest::newRow("keyboard-interactive") << all << "Keyboard Interactive" << QString() << password() << true;
        // RSA keys must sign with SHA-2: the server refuses ssh-rsa (SHA-1).
        for (int port : {all, rsaOnlyPort()}) {
            const char *server = port == all ? "all host keys" : "rsa host key";
            for (const char *key : {"id_rsa_pem", "id_rsa", "id_ecdsa", "id_ed25519"}) {
                QTest::addRow("%s, %s", server, key) << port << "Public Key" << keyPath(key) << QString() << true;
                const QByteArray withPass = QByteArray(key) + "_pass";
                QTest::addRow("%s, %s", server, withPass.constData())
                    << port << "公钥认证" << keyPath(withPass.constData()) << passphrase() << true;
            }
        }
        // The method as saved by the options in another language, or as OpenSSH lists methods.
        LanguageManager::setLanguage("de");
        QTest::newRow("key, saved in German") << all << LanguageManager::tr("公钥认证") << keyPath("id_ed25519") << QString() << true;
        LanguageManager::setLanguage("en");
        QTest::newRow("key, OpenSSH's list") << all << "publickey,keyboard-interactive" << keyPath("id_ecdsa") << QString() << true;
        QTest::newRow("unknown method: password") << all << "Kerberos (GSSAPI)" << QString() << password() << true;
        // Only the private key on disk: the public half is derived from it.
        const QString lonely = scratch("lonely_ed25519");
        QFile::copy(keyPath("id_ed25519"), lonely);
        QTest::newRow("key without .pub") << all << "Public Key" << lonely << QString() << true;
        // The server grants this key no terminal: the command runs without one.
        QTest::newRow("no pty") << all << "Public Key" << keyPath("id_ed25519_nopty") << QString() << true;
        // One wrong password only: each costs the server's PAM delay.
        QTest::newRow("wrong password") << all << "Password Auth" << QString() << "not-the-password" << false;
        QTest::newRow("missing key file") << all << "Public Key" << lonely + "_absent" << QString() << false;
        QTest::newRow("wrong passphrase") << all << "Public Key" << keyPath("id_ed25519_pass") << "nope" << false;
        QTest::newRow("passphrase missing") << all << "Public Key" << keyPath("id_rsa_pass") << QString() << false;
    }

    // The secret never reaches the debug log; a failure is one error and no disconnect; a success
    // runs the command to its end.
    void login()
    {
        QFETCH(int, port);
        QFETCH(QString, auth);
        QFETCH(QString, key);
        QFETCH(QString, secret);
        QFETCH(bool, succeeds);
        if (key.contains(QLatin1String("rsa")) || port == rsaOnlyPort())
            HV_REQUIRE_SHA2_RSA();
        SshConnectParams p = params(scratch("known_hosts"), port, "echo hv-auth-ok");
        p.auth = auth;
        p.privateKey = key;
        p.password = secret;
        Recorder r(p);
        QVERIFY(r.runToEnd());
        const QByteArray log = readFile(debugLogPath());
        QVERIFY(log.contains("[SSH] authentication begin"));
        QVERIFY2(secret.isEmpty() || !log.contains(secret.toUtf8()), "secret in the debug log");
        if (succeeds) {
            QVERIFY2(r.errors.isEmpty(), qPrintable(r.joinedErrors()));
            QVERIFY(r.connects == 1 && r.disconnects == 1 && r.data.contains("hv-auth-ok") && !r.conn.isOpen());
        } else {
            QVERIFY(r.failedWith("SSH 认证失败：%1"));
        }
    }

    // No key in the session: the user's ~/.ssh keys in OpenSSH's order, a
    // key that cannot be used is passed over; a refusal names the files.
    // "name=fixture key" fills the test home's ~/.ssh, the ".pub" beside it.
    void defaultIdentities_data()
    {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("said"); // empty: logged in
        QTest::newRow("ed25519") << QStringList{"id_ed25519=id_ed25519"} << QString();
        QTest::newRow("locked ed25519, then ecdsa")
            << QStringList{"id_ed25519=id_ed25519_pass", "id_ecdsa=id_ecdsa", "id_rsa=id_rsa_pass"} << QString();
        QTest::newRow("rsa beside a name not tried") << QStringList{"id_dsa=id_ed25519", "id_rsa=id_rsa"} << QString();
        QTest::newRow("none works") << QStringList{"id_ecdsa=id_ecdsa_pass", "id_rsa=id_rsa_pass"}
                                    << "Keys tried: ~/.ssh/id_rsa, ~/.ssh/id_ecdsa";
        QTest::newRow("none works, ed25519 last")
            << QStringList{"id_ed25519=id_ed25519_pass", "id_ecdsa_sk=id_ecdsa_pass", "id_rsa=id_rsa_pass"}
            << "Keys tried: ~/.ssh/id_rsa, ~/.ssh/id_ecdsa_sk, ~/.ssh/id_ed25519";
        QTest::newRow("no keys") << QStringList{"id_dsa=id_ed25519"}
                                 << "No private key found (looked for ~/.ssh/{id_rsa, id_ecdsa, id_ecdsa_sk, id_ed25519, id_ed25519_sk})";
    }
    void defaultIdentities()
    {
        QFETCH(QStringList, keys);
        QFETCH(QString, said);
        if (qEnvironmentVariableIsEmpty("HV_TEST_BOX"))
            QFAIL("writes ~/.ssh: run through ctest, which gives the test a home of its own");
        if (QTest::currentDataTag() == QByteArray("rsa beside a name not tried"))
            HV_REQUIRE_SHA2_RSA();
        QDir ssh(QDir::homePath() + "/.ssh");
        ssh.removeRecursively();
        QVERIFY(ssh.mkpath("."));
        for (const QString &key : keys) {
            const QString name = key.section('=', 0, 0), from = keyPath(qPrintable(key.section('=', 1)));
            QVERIFY(QFile::copy(from, ssh.filePath(name)) && QFile::copy(from + ".pub", ssh.filePath(name + ".pub")));
        }
        SshConnectParams p = params(scratch("known_hosts"), kSshdPort, "echo hv-auth-ok");
        p.auth = QStringLiteral("公钥认证");
        Recorder r(p);
        QVERIFY(r.runToEnd());
        if (said.isEmpty()) {
            QVERIFY2(r.errors.isEmpty(), qPrintable(r.joinedErrors()));
            QVERIFY(r.data.contains("hv-auth-ok"));
            return;
        }
        QVERIFY(r.failedWith("SSH 认证失败：%1"));
        QVERIFY2(r.errors.first().endsWith(said.replace("~", QDir::homePath())), qPrintable(r.errors.first()));
    }
};

QTEST_GUILESS_MAIN(TestSshAuth)
#include "tst_ssh_auth.moc"
