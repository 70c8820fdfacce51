// The host-key check against OpenSSH known-hosts files, with ssh-keygen reading what we wrote.
#include "sshtest.h"

#include "core/appsettings.h"
#include "core/datadir.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

#include <optional>

using namespace sshtest;

namespace {

// "type base64" of a public key file.
QByteArray keyLine(const QString &pubFile)
{
    const QList<QByteArray> f = readFile(pubFile).simplified().split(' ');
    return f.size() >= 2 ? f[0] + ' ' + f[1] : QByteArray();
}

// One of a server's host keys; ECDSA is the one asked for when nothing else is filed.
QByteArray serverKeyLine(int port = kSshdPort, const char *type = "ecdsa")
{
    return keyLine(sshdDir() + (port == rsaOnlyPort() ? QString("/rsa-only/host_rsa.pub") : QString("/host_%1.pub").arg(type)));
}

QString knownHostName(int port = kSshdPort) { return QStringLiteral("[127.0.0.1]:%1").arg(port); }

// ssh-keygen run to its end (bounded): its output, or nothing when it failed.
std::optional<QByteArray> keygen(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("ssh-keygen"), args);
    if (p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return p.readAllStandardOutput();
    return std::nullopt;
}

} // namespace

class TestSshHostKey : public QObject
{
    Q_OBJECT

    // Another key of the type: what an impostor would present.
    QByteArray foreignKeyLine(const char *type)
    {
        const QString path = scratch(QString("other_%1").arg(type));
        if (!QFile::exists(path))
            keygen({"-q", "-t", type, "-N", "", "-f", path});
        return keyLine(path + ".pub");
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!serverKeyLine().isEmpty() && !serverKeyLine(rsaOnlyPort()).isEmpty(), "fixture host keys missing");
        LanguageManager::setLanguage(QStringLiteral("en"));
    }

    // Unset: our own file in the data folder, where the Windows form maps too; blank means the
    // user's default, never no check.
    void knownHostsSetting()
    {
        const std::pair<QString, QString> cases[] = {{QString(), dataDir() + "/known_hosts"},
            {"%appdata%\\Halvorstead\\keys\\kh", dataDir() + "/keys/kh"}, {"  ", QDir::homePath() + "/.ssh/known_hosts"}};
        for (const auto &[stored, path] : cases) {
            AppSettings::instance().settings()->remove("keys/knownHosts");
            if (!stored.isNull())
                AppSettings::instance().setValue("keys/knownHosts", stored);
            QCOMPARE(configuredKnownHostsPath(), path);
        }
    }

    // The file before the connection; the line of the entry refusing the key, 0 when the file is
    // kept as it is, -1 when our line is appended.
    void existingFile_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("outcome");
        const int all = kSshdPort, rsa = rsaOnlyPort();
        const QByteArray own = serverKeyLine(), other = foreignKeyLine("ed25519");
        const QByteArray name = knownHostName().toUtf8(), rsaName = knownHostName(rsa).toUtf8();
        // Lines libssh2 cannot parse, which an OpenSSH user may well have.
        const QByteArray foreign = "# my hosts\n@cert-authority *.example.org " + other + "\n"
                                   "gitlab.example.org sk-ssh-ed25519@openssh.com AAAAGnNrLXNzaC1lZDI1NTE5QG9wZW5zc2guY29t x\n"
                                   "example.org " + other + "\n";
        QTest::newRow("foreign lines kept, one appended") << all << foreign + "tail.example.org " + other << -1;
        QTest::newRow("matching entry after foreign lines") << all << foreign + name + ' ' + own + '\n' << 0;
        // Holding only one of the server's keys, the server is asked for that one, no impostor.
        QTest::newRow("only another type filed") << all << name + ' ' + serverKeyLine(all, "ed25519") + '\n' << 0;
        QTest::newRow("changed key after foreign lines") << all << foreign + name + ' ' + other + '\n' << 5;
        QTest::newRow("revoked key") << all << "example.org " + other + "\n@revoked * " + own + '\n' << 2;
        const QString hashed = scratch("hashed");
        QVERIFY(writeFile(hashed, name + ' ' + own + '\n') && keygen({"-H", "-f", hashed}));
        QTest::newRow("hashed entry") << all << readFile(hashed) << 0;
        QTest::newRow("other port is another host") << all << "127.0.0.1 " + other + '\n' << -1;
        QTest::newRow("rsa host, first contact, no folder") << rsa << QByteArray() << -1;
        QTest::newRow("rsa host, matching entry") << rsa << rsaName + ' ' + serverKeyLine(rsa) + '\n' << 0;
        QTest::newRow("rsa host, changed key") << rsa << foreign + rsaName + ' ' + foreignKeyLine("rsa") + '\n' << 5;
        QTest::newRow("rsa host, filed as ed25519") << rsa << rsaName + ' ' + other + '\n' << 1;
        QTest::newRow("empty path: the user's file, kept as a link") << all << "example.org " + other + '\n' << -1;
    }
    void existingFile()
    {
        QFETCH(int, port);
        QFETCH(QByteArray, content);
        QFETCH(int, outcome);
        const bool linked = QByteArray(QTest::currentDataTag()).contains("link");
        if (port == rsaOnlyPort())
            HV_REQUIRE_SHA2_RSA();
        // A folder per row, created by the connection for an empty row. The user's own file, kept as a
        // link (as dotfile managers do), is followed and stays a link.
        const QString dir = scratch(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'));
        const QString file = dir + "/known_hosts", link = QDir::homePath() + "/.ssh/known_hosts";
        QVERIFY(content.isEmpty() || (QDir().mkpath(dir) && writeFile(file, content)));
        QVERIFY(!linked || (QDir().mkpath(QFileInfo(link).path()) && QFile::link(file, link)));
        Recorder r(params(linked ? QString() : file, port, "echo hv-key-ok"));
        QVERIFY(r.runToEnd());
        const QByteArray after = readFile(file);
        if (outcome > 0) {
            QVERIFY(r.failedWith("⚠ 主机密钥校验失败：%1（%2）"));
            QVERIFY2(r.errors[0].contains("127.0.0.1") && r.errors[0].contains(QString("%1:%2").arg(file).arg(outcome)), qPrintable(r.errors[0]));
            QCOMPARE(after, content); // never replaced
            return;
        }
        QVERIFY2(r.errors.isEmpty() && r.connects == 1, qPrintable(r.joinedErrors()));
        QVERIFY(after.startsWith(content) && (outcome < 0 || after == content));
        if (outcome == 0)
            return;
        const QByteArray added = after.mid(content.size());
        // A file without a final line feed gets one before our line.
        QCOMPARE(added.startsWith('\n'), !content.isEmpty() && !content.endsWith('\n'));
        const QByteArray found = keygen({"-F", knownHostName(port), "-f", file}).value_or(QByteArray());
        QVERIFY(added.trimmed().count('\n') == 0 && found.contains(serverKeyLine(port)) && (!linked || QFileInfo(link).isSymLink()));
    }
};

QTEST_GUILESS_MAIN(TestSshHostKey)
#include "tst_ssh_hostkey.moc"
