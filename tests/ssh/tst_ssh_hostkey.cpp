// The host-key check against OpenSSH known-hosts files, with the real sshd
// presenting its key and OpenSSH's ssh-keygen reading what we wrote.

#include "sshtest.h"

#include "core/languagemanager.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace sshtest;

namespace {

enum class Outcome { Accepted, Refused };

// Another ed25519 key: what an impostor would present.
QByteArray foreignKeyLine(const QString &folder)
{
    const QString path = folder + QStringLiteral("/other_key");
    if (!QFile::exists(path))
        run(QStringLiteral("ssh-keygen"), {"-q", "-t", "ed25519", "-N", "", "-f", path});
    const QList<QByteArray> f = readFile(path + QStringLiteral(".pub")).simplified().split(' ');
    return f.size() >= 2 ? f[0] + ' ' + f[1] : QByteArray();
}

bool keygenFinds(const QString &file)
{
    QByteArray out;
    return run(QStringLiteral("ssh-keygen"), {"-F", knownHostName(), "-f", file}, &out) == 0 && out.contains(serverKeyLine());
}

} // namespace

Q_DECLARE_METATYPE(Outcome)

class TestSshHostKey : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    Recorder *connectWith(const QString &knownHosts)
    {
        SshConnectParams p = params();
        p.knownHostsPath = knownHosts;
        p.remoteCommand = QStringLiteral("echo hv-key-ok");
        auto *r = new Recorder(p);
        r->conn.open();
        r->waitSettled();
        return r;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        QVERIFY(!serverKeyLine().isEmpty());
        LanguageManager::setLanguage(QStringLiteral("en"));
    }

    void firstContactCreatesFileAndFolder()
    {
        const QString file = m_tmp.filePath(QStringLiteral("new/deeper/known_hosts"));
        QScopedPointer<Recorder> r(connectWith(file));
        QVERIFY2(r->errors.isEmpty(), qPrintable(r->errors.join(QLatin1Char('|'))));
        QVERIFY(r->data.contains("hv-key-ok"));
        QVERIFY(keygenFinds(file));
        const QByteArray written = readFile(file);
        QCOMPARE(written.count('\n'), 1);
        QVERIFY(written.contains(serverKeyLine()));

        // The next connection matches and leaves the file as it is.
        r.reset(connectWith(file));
        QVERIFY(r->errors.isEmpty());
        QCOMPARE(readFile(file), written);
    }

    void emptyPathMeansTheUsersFile()
    {
        const QString file = QDir::homePath() + QStringLiteral("/.ssh/known_hosts");
        QFile::remove(file);
        QScopedPointer<Recorder> r(connectWith(QString()));
        QVERIFY(r->errors.isEmpty());
        QVERIFY(keygenFinds(file));
    }

    // What the file holds before the connection, and what must follow.
    void existingFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<bool>("appends");
        const QByteArray own = serverKeyLine();
        const QByteArray other = foreignKeyLine(m_tmp.path());
        const QByteArray name = knownHostName().toUtf8();
        // Lines libssh2 cannot parse, which an OpenSSH user may well have.
        const QByteArray foreign = "# my hosts\n@cert-authority *.example.org " + other + "\n"
                                   "gitlab.example.org sk-ssh-ed25519@openssh.com AAAAGnNrLXNzaC1lZDI1NTE5QG9wZW5zc2guY29t x\n"
                                   "example.org " + other + "\n";
        QTest::newRow("foreign lines kept, one appended") << foreign + "tail.example.org " + other << Outcome::Accepted << true;
        QTest::newRow("matching entry") << name + ' ' + own + '\n' << Outcome::Accepted << false;
        QTest::newRow("matching entry after foreign lines") << foreign + name + ' ' + own + '\n' << Outcome::Accepted << false;
        // An OpenSSH user may hold only one of the server's keys: the server is
        // asked for that one instead of being taken for an impostor.
        QTest::newRow("only another type filed") << name + ' ' + serverKeyLine("ed25519") + '\n' << Outcome::Accepted << false;
        QTest::newRow("changed key") << name + ' ' + other + '\n' << Outcome::Refused << false;
        QTest::newRow("changed key after foreign lines") << foreign + name + ' ' + other + '\n' << Outcome::Refused << false;
        QTest::newRow("revoked key") << "@revoked * " + own + '\n' << Outcome::Refused << false;
        QTest::newRow("other port is another host") << "127.0.0.1 " + other + '\n' << Outcome::Accepted << true;
    }
    void existingFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(Outcome, outcome);
        QFETCH(bool, appends);
        const QString file = m_tmp.filePath(QStringLiteral("kh_%1").arg(QTest::currentDataTag()).replace(' ', '_'));
        writeFile(file, content);
        QScopedPointer<Recorder> r(connectWith(file));
        const QByteArray after = readFile(file);
        if (outcome == Outcome::Refused) {
            QCOMPARE(r->errors.size(), 1);
            const QString prefix = LanguageManager::tr(QStringLiteral("⚠ 主机密钥校验失败：%1（%2）")).section(QLatin1Char('%'), 0, 0);
            QVERIFY2(r->errors.first().startsWith(prefix), qPrintable(r->errors.first()));
            QVERIFY(r->errors.first().contains(QStringLiteral("127.0.0.1")));
            QCOMPARE(r->connected, 0);
            QCOMPARE(r->disconnected, 0);
            QCOMPARE(after, content); // never replaced
            return;
        }
        QVERIFY2(r->errors.isEmpty(), qPrintable(r->errors.join(QLatin1Char('|'))));
        QCOMPARE(r->connected, 1);
        if (!appends) {
            QCOMPARE(after, content);
            return;
        }
        QVERIFY(after.startsWith(content));
        const QByteArray added = after.mid(content.size());
        // A file without a final line feed gets one before our line.
        QCOMPARE(added.startsWith('\n'), !content.endsWith('\n'));
        QCOMPARE(added.trimmed().count('\n'), 0);
        QVERIFY(added.contains(serverKeyLine()));
        QVERIFY(keygenFinds(file));
    }

    void linkedFileStaysALink()
    {
        const QString real = m_tmp.filePath(QStringLiteral("dotfiles_known_hosts"));
        const QString link = m_tmp.filePath(QStringLiteral("linked_known_hosts"));
        writeFile(real, "example.org " + foreignKeyLine(m_tmp.path()) + '\n');
        QVERIFY(QFile::link(real, link));
        QScopedPointer<Recorder> r(connectWith(link));
        QVERIFY2(r->errors.isEmpty(), qPrintable(r->errors.join(QLatin1Char('|'))));
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(keygenFinds(real));
    }

    void hashedEntryMatches()
    {
        const QString file = m_tmp.filePath(QStringLiteral("kh_hashed"));
        writeFile(file, knownHostName().toUtf8() + ' ' + serverKeyLine() + '\n');
        QCOMPARE(run(QStringLiteral("ssh-keygen"), {"-H", "-f", file}), 0);
        const QByteArray hashed = readFile(file);
        QVERIFY(hashed.startsWith("|1|"));
        QScopedPointer<Recorder> r(connectWith(file));
        QVERIFY(r->errors.isEmpty());
        QCOMPARE(readFile(file), hashed);
    }
};

QTEST_GUILESS_MAIN(TestSshHostKey)
#include "tst_ssh_hostkey.moc"
