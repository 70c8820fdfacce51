// Authentication against the real sshd of the fixture: every method and key
// format that succeeds, and the ways it fails.

#include "sshtest.h"

#include "core/debuglog.h"
#include "core/languagemanager.h"

#include <QDir>
#include <QTemporaryDir>

using namespace sshtest;

class TestSshAuth : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    SshConnectParams base(const QString &host = QStringLiteral("127.0.0.1"))
    {
        SshConnectParams p = params(host);
        p.knownHostsPath = m_tmp.filePath(QStringLiteral("known_hosts"));
        p.remoteCommand = QStringLiteral("echo hv-auth-ok");
        return p;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(!sshdDir().isEmpty() && sshdPort() > 0);
        QVERIFY(m_tmp.isValid());
        LanguageManager::setLanguage(QStringLiteral("en"));
    }

    void succeeds_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("auth");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("secret");
        const QString noKey;
        QTest::newRow("password") << "127.0.0.1" << "Password Auth" << noKey << password();
        QTest::newRow("password over ipv6") << "::1" << "Password Auth" << noKey << password();
        QTest::newRow("keyboard-interactive") << "127.0.0.1" << "Keyboard Interactive" << noKey << password();
        QTest::newRow("ed25519 openssh") << "127.0.0.1" << "Public Key" << keyPath("id_ed25519") << QString();
        QTest::newRow("ed25519 passphrase") << "127.0.0.1" << "公钥认证" << keyPath("id_ed25519_pass") << passphrase();
        QTest::newRow("rsa pem") << "127.0.0.1" << "Public Key" << keyPath("id_rsa_pem") << QString();
        QTest::newRow("rsa pem passphrase") << "::1" << "Public Key" << keyPath("id_rsa_pem_pass") << passphrase();
    }
    void succeeds()
    {
        QFETCH(QString, host);
        QFETCH(QString, auth);
        QFETCH(QString, key);
        QFETCH(QString, secret);
        SshConnectParams p = base(host);
        p.auth = auth;
        p.privateKey = key;
        p.password = secret;
        Recorder r(p);
        QVERIFY(r.conn.open());
        QVERIFY2(r.waitSettled(), "no outcome");
        QVERIFY2(r.errors.isEmpty(), qPrintable(r.errors.join(QLatin1Char('|'))));
        QCOMPARE(r.connected, 1);
        QCOMPARE(r.disconnected, 1); // the command ended
        QVERIFY(r.data.contains("hv-auth-ok"));
        QVERIFY(!r.conn.isOpen());
    }

    void keyWithoutPublicHalf()
    {
        // Only the private key on disk: the public half is derived from it.
        const QString copy = m_tmp.filePath(QStringLiteral("lonely_ed25519"));
        QVERIFY(QFile::copy(keyPath("id_ed25519"), copy));
        QVERIFY(!QFile::exists(copy + QStringLiteral(".pub")));
        SshConnectParams p = base();
        p.auth = QStringLiteral("Public Key");
        p.privateKey = copy;
        p.password.clear();
        Recorder r(p);
        r.conn.open();
        QVERIFY(r.waitSettled());
        QVERIFY2(r.errors.isEmpty(), qPrintable(r.errors.join(QLatin1Char('|'))));
        QVERIFY(r.data.contains("hv-auth-ok"));
    }

    void fails_data()
    {
        QTest::addColumn<QString>("auth");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("secret");
        // One wrong password only: each costs the server's PAM delay.
        QTest::newRow("wrong password") << "Password Auth" << QString() << QStringLiteral("not-the-password");
        QTest::newRow("missing key file") << "Public Key" << m_tmp.filePath(QStringLiteral("absent_key")) << QString();
        QTest::newRow("wrong passphrase") << "Public Key" << keyPath("id_ed25519_pass") << QStringLiteral("nope");
        QTest::newRow("passphrase missing") << "Public Key" << keyPath("id_rsa_pem_pass") << QString();
    }
    void fails()
    {
        QFETCH(QString, auth);
        QFETCH(QString, key);
        QFETCH(QString, secret);
        SshConnectParams p = base();
        p.auth = auth;
        p.privateKey = key;
        p.password = secret;
        Recorder r(p);
        r.conn.open();
        QVERIFY(r.waitSettled());
        QCOMPARE(r.errors.size(), 1);
        const QString prefix = LanguageManager::tr(QStringLiteral("SSH 认证失败：%1")).arg(QString());
        QVERIFY2(r.errors.first().startsWith(prefix), qPrintable(r.errors.first()));
        QCOMPARE(r.connected, 0);
        QCOMPARE(r.disconnected, 0); // an authentication failure is no disconnect
        QVERIFY(r.data.isEmpty());
    }

    // Runs last: every password and passphrase above went through the worker.
    void secretsStayOutOfTheDebugLog()
    {
        QVERIFY(debugLogEnabled());
        const QByteArray log = readFile(debugLogPath());
        QVERIFY(log.contains("[SSH] authentication begin"));
        for (const QString &secret : {password(), passphrase(), QStringLiteral("not-the-password")})
            QVERIFY2(!log.contains(secret.toUtf8()), qPrintable(secret));
    }
};

QTEST_GUILESS_MAIN(TestSshAuth)
#include "tst_ssh_auth.moc"
