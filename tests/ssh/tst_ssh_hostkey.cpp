// The host-key check against OpenSSH known-hosts files, with the real sshd
// presenting its key (every type on one server, RSA only on the other) and
// OpenSSH's ssh-keygen reading what we wrote; which file the setting names.

#include "sshtest.h"

#include "core/appsettings.h"
#include "core/datadir.h"
#include "core/languagemanager.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

using namespace sshtest;

namespace {

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size());
}

// "type base64" of a public key file.
QByteArray keyLine(const QString &pubFile)
{
    const QList<QByteArray> f = readFile(pubFile).simplified().split(' ');
    return f.size() >= 2 ? f[0] + ' ' + f[1] : QByteArray();
}

// One of a server's host keys; the main server's ECDSA key is the one asked
// for when nothing else is filed.
QByteArray serverKeyLine(int port = sshdPort(), const char *type = "ecdsa")
{
    return keyLine(port == rsaOnlyPort() ? sshdDir() + QStringLiteral("/rsa-only/host_rsa.pub")
                                         : sshdDir() + QStringLiteral("/host_%1.pub").arg(QLatin1String(type)));
}

QString knownHostName(int port = sshdPort()) { return QStringLiteral("[127.0.0.1]:%1").arg(port); }

// ssh-keygen run to its end (bounded); true when it succeeded.
bool keygen(const QStringList &args, QByteArray *out = nullptr)
{
    QProcess p;
    p.start(QStringLiteral("ssh-keygen"), args);
    const bool ok = p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out)
        *out = p.readAllStandardOutput();
    return ok;
}

} // namespace

class TestSshHostKey : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    // Another key of the type: what an impostor would present.
    QByteArray foreignKeyLine(const char *type)
    {
        const QString path = m_tmp.filePath(QStringLiteral("other_%1").arg(QLatin1String(type)));
        if (!QFile::exists(path))
            keygen({"-q", "-t", type, "-N", "", "-f", path});
        return keyLine(path + QStringLiteral(".pub"));
    }

    bool keygenFinds(const QString &file, int port = sshdPort())
    {
        QByteArray out;
        return keygen({"-F", knownHostName(port), "-f", file}, &out) && out.contains(serverKeyLine(port));
    }

    Recorder *connectWith(const QString &knownHosts, int port = sshdPort())
    {
        SshConnectParams p = params(QStringLiteral("127.0.0.1"), port);
        p.knownHostsPath = knownHosts;
        p.remoteCommand = QStringLiteral("echo hv-key-ok");
        auto *r = new Recorder(p);
        r->runToEnd();
        return r;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        QVERIFY2(!serverKeyLine().isEmpty() && !serverKeyLine(rsaOnlyPort()).isEmpty(), "fixture host keys missing");
        LanguageManager::setLanguage(QStringLiteral("en"));
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

    // What the file holds before the connection and what must follow: the
    // line of the entry that refuses the key, 0 for an accepted key.
    void existingFile_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("refusedAt");
        QTest::addColumn<bool>("appends");
        const int all = sshdPort(), rsa = rsaOnlyPort();
        const QByteArray own = serverKeyLine();
        const QByteArray other = foreignKeyLine("ed25519");
        const QByteArray name = knownHostName().toUtf8();
        const QByteArray rsaName = knownHostName(rsa).toUtf8();
        // Lines libssh2 cannot parse, which an OpenSSH user may well have.
        const QByteArray foreign = "# my hosts\n@cert-authority *.example.org " + other + "\n"
                                   "gitlab.example.org sk-ssh-ed25519@openssh.com AAAAGnNrLXNzaC1lZDI1NTE5QG9wZW5zc2guY29t x\n"
                                   "example.org " + other + "\n";
        QTest::newRow("foreign lines kept, one appended") << all << foreign + "tail.example.org " + other << 0 << true;
        QTest::newRow("matching entry after foreign lines") << all << foreign + name + ' ' + own + '\n' << 0 << false;
        // An OpenSSH user may hold only one of the server's keys: the server is
        // asked for that one instead of being taken for an impostor.
        QTest::newRow("only another type filed") << all << name + ' ' + serverKeyLine(all, "ed25519") + '\n' << 0 << false;
        QTest::newRow("changed key after foreign lines") << all << foreign + name + ' ' + other + '\n' << 5 << false;
        QTest::newRow("revoked key") << all << "example.org " + other + "\n@revoked * " + own + '\n' << 2 << false;
        const QString hashed = m_tmp.filePath(QStringLiteral("hashed"));
        writeFile(hashed, name + ' ' + own + '\n');
        QVERIFY(keygen({"-H", "-f", hashed}));
        QTest::newRow("hashed entry") << all << readFile(hashed) << 0 << false;
        QTest::newRow("other port is another host") << all << "127.0.0.1 " + other + '\n' << 0 << true;
        QTest::newRow("rsa host, first contact") << rsa << QByteArray() << 0 << true;
        QTest::newRow("rsa host, matching entry") << rsa << rsaName + ' ' + serverKeyLine(rsa) + '\n' << 0 << false;
        QTest::newRow("rsa host, changed key") << rsa << foreign + rsaName + ' ' + foreignKeyLine("rsa") + '\n' << 5 << false;
        QTest::newRow("rsa host, filed as ed25519") << rsa << rsaName + ' ' + other + '\n' << 1 << false;
    }
    void existingFile()
    {
        QFETCH(int, port);
        QFETCH(QByteArray, content);
        QFETCH(int, refusedAt);
        QFETCH(bool, appends);
        if (port == rsaOnlyPort())
            HV_REQUIRE_SHA2_RSA();
        // A folder per row; the empty row has none, which the connection must create.
        const QString dir = m_tmp.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'));
        const QString file = dir + QStringLiteral("/known_hosts");
        if (!content.isEmpty()) {
            QDir().mkpath(dir);
            writeFile(file, content);
        }
        QScopedPointer<Recorder> r(connectWith(file, port));
        const QByteArray after = readFile(file);
        if (refusedAt > 0) {
            QCOMPARE(r->errors.size(), 1);
            const QString &error = r->errors.first();
            const QString prefix = LanguageManager::tr(QStringLiteral("⚠ 主机密钥校验失败：%1（%2）")).section(QLatin1Char('%'), 0, 0);
            QVERIFY2(error.startsWith(prefix) && error.contains(QStringLiteral("127.0.0.1")), qPrintable(error));
            QVERIFY2(error.contains(QStringLiteral("%1:%2").arg(file).arg(refusedAt)), qPrintable(error));
            QCOMPARE(r->connected + r->disconnected, 0);
            QCOMPARE(after, content); // never replaced
            return;
        }
        QVERIFY2(r->errors.isEmpty(), qPrintable(r->joinedErrors()));
        QCOMPARE(r->connected, 1);
        if (!appends) {
            QCOMPARE(after, content);
            return;
        }
        QVERIFY(after.startsWith(content));
        const QByteArray added = after.mid(content.size());
        // A file without a final line feed gets one before our line.
        QCOMPARE(added.startsWith('\n'), !content.isEmpty() && !content.endsWith('\n'));
        QCOMPARE(added.trimmed().count('\n'), 0);
        QVERIFY(keygenFinds(file, port));
    }

    // An empty path means the user's own file, never no check; kept as a
    // link (as dotfile managers do), it is followed and stays a link.
    void emptyPathMeansTheUsersLinkedFile()
    {
        const QString real = m_tmp.filePath(QStringLiteral("dotfiles_known_hosts"));
        const QString link = QDir::homePath() + QStringLiteral("/.ssh/known_hosts");
        writeFile(real, "example.org " + foreignKeyLine("ed25519") + '\n');
        QVERIFY(QDir().mkpath(QFileInfo(link).path()) && QFile::link(real, link));
        QScopedPointer<Recorder> r(connectWith(QString()));
        QVERIFY2(r->errors.isEmpty(), qPrintable(r->joinedErrors()));
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(keygenFinds(real));
    }
};

QTEST_GUILESS_MAIN(TestSshHostKey)
#include "tst_ssh_hostkey.moc"
