// Known hosts through the SFTP workers against OpenSSH's sshd: a key filed
// once however many sessions meet the host at the same moment, and a key that
// differs from the file, or a file that cannot be read or written, refused
// with the file named.

#include "sftprig.h"

#include "core/languagemanager.h"

#include <atomic>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

using namespace sftprig;

class TestSftpHostKeys : public QObject
{
    Q_OBJECT

    QTemporaryDir m_local;
    Server m_server;
    int m_rows = 0;

    QString localPath(const QString &name) { return m_local.filePath(QStringLiteral("%1-%2").arg(++m_rows).arg(name)); }

private slots:
    void initTestCase()
    {
        SFTP_RIG_NEEDS_ROOT();
        LanguageManager::setLanguage(QStringLiteral("zh"));
        m_server = plainServer();
        QVERIFY2(!m_server.user().isEmpty(), "fixture sshd not running");
    }

    // Sessions that meet a host at the same moment (a terminal and the files
    // beside it) file its key once.
    void hostKeyFiledOnce()
    {
        const QString knownHosts = localPath(QStringLiteral("known_hosts"));
        std::atomic<int> shaken{0};
        std::vector<std::thread> sessions;
        for (int i = 0; i < 16; ++i)
            sessions.emplace_back([&] {
                const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in at{AF_INET, htons(quint16(m_server.port)), {htonl(INADDR_LOOPBACK)}, {}};
                LIBSSH2_SESSION *s = libssh2_session_init();
                const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 && libssh2_session_handshake(s, fd) == 0;
                for (++shaken; shaken < 16;) // then all of them check at once
                    std::this_thread::yield();
                (void)(ok && checkKnownHost(s, QStringLiteral("127.0.0.1"), m_server.port, knownHosts).result == KnownHostOk);
                libssh2_session_free(s);
                ::close(fd);
            });
        std::for_each(sessions.begin(), sessions.end(), [](std::thread &t) { t.join(); });
        QCOMPARE(readFile(knownHosts).count('\n'), 1);
    }

    // A server whose key differs from the one on file is refused, and so
    // is one whose key cannot be checked against the file or filed in it;
    // each refusal names the file.
    void changedHostKey_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("another key filed") << "other";
        QTest::newRow("a folder in its place: cannot be read") << "folder";
        QTest::newRow("under a file: cannot be written") << "under a file";
    }
    void changedHostKey()
    {
        QFETCH(QString, file);
        QString knownHosts = localPath(QStringLiteral("known_hosts"));
        const QList<QByteArray> other = readFile(m_server.dir() + QStringLiteral("/rsa-only/host_rsa.pub")).split(' ');
        if (file == QLatin1String("other")) {
            QVERIFY(writeFile(knownHosts, QStringLiteral("[127.0.0.1]:%1 ").arg(m_server.port).toUtf8() + other[0] + ' ' + other[1] + '\n'));
        } else if (file == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(knownHosts));
        } else {
            QVERIFY(writeFile(knownHosts, ""));
            knownHosts += QStringLiteral("/known_hosts");
        }
        Tree tree(m_server.params(knownHosts));
        QVERIFY(!tree.waitReady());
        QVERIFY2(tree.errors.value(0).startsWith(QStringLiteral("⚠ 主机密钥校验失败：127.0.0.1")) && tree.errors[0].contains(knownHosts),
                 qPrintable(tree.errors.join('|')));
    }
};

QTEST_GUILESS_MAIN(TestSftpHostKeys)
#include "tst_sftphostkeys.moc"
