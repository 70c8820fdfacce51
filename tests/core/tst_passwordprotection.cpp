#include "core/appsettings.h"
#include "core/passwordprotection.h"
#include "platform/dataprotection.h"
#include "tests/support/testfiles.h"

#include <QMutex>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
QMutex g_syncedLock;
QStringList g_synced;
} // namespace

// Counts the code's fsync calls by the path each one flushed; the key is only
// durable when its file was flushed before it was published, and its folder
// after.
extern "C" int fsync(int fd)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof target);
    if (n > 0) {
        QMutexLocker lock(&g_syncedLock);
        g_synced << QString::fromLocal8Bit(target, int(n));
    }
    return int(::syscall(SYS_fsync, fd));
}

namespace {

const QString kPrefix = "session/5b1d9c1e-0000-4000-8000-00000000abcd/";

// A value in the legacy form: the UTF-16 units sealed without the fixed entropy.
QString legacyValue(const QString &password)
{
    QByteArray sealed;
    const QByteArray units(reinterpret_cast<const char *>(password.utf16()), password.size() * 2);
    if (!platform::protectBlob(units, QByteArray(), &sealed))
        return QString();
    return "dpapi:" + QString::fromLatin1(sealed.toBase64());
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : mode_t(-1);
}

} // namespace

class TestPasswordProtection : public QObject
{
    Q_OBJECT

    QString m_box;
    QString m_config; // the XDG configuration folder every case starts with

    void useConfig(const QString &folder) { qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder)); }
    QString keyFolder() const { return qEnvironmentVariable("XDG_CONFIG_HOME") + "/Halvorstead"; }
    QStringList keyFolderFiles() const { return QDir(keyFolder()).entryList(QDir::Files | QDir::Hidden); }

private slots:
    void initTestCase()
    {
        m_box = qEnvironmentVariable("HV_TEST_BOX");
        QVERIFY(!m_box.isEmpty());
        m_config = qEnvironmentVariable("XDG_CONFIG_HOME");
        qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(m_box + "/data"));
    }

    void init() { useConfig(m_config); }

    // A sealed value opens as its password (the older form too); text
    // without a prefix is a plain password; a sealed value that is damaged,
    // or read in the other form, opens as nothing.
    void storedValues_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("opened");
        QTest::addColumn<bool>("legacy");
        useConfig(m_config);
        for (const char *password : {"s3cret!", "密码🔑𝄞", "dpapi1:abc"})
            QTest::addRow("sealed '%s'", password) << protectSecret(password) << password << false;
        QTest::newRow("legacy") << legacyValue("旧密码 old") << "旧密码 old" << true;
        for (const char *plain : {"hunter2", "", "DPAPI1:AAAA", "Dpapi:AAAA", " dpapi1:AAAA"})
            QTest::addRow("plain '%s'", plain) << plain << plain << false;
        const QString good = protectSecret("password");
        const QByteArray blob = QByteArray::fromBase64(good.mid(7).toLatin1());
        const auto sealed = [](const QByteArray &bytes) { return "dpapi1:" + QString::fromLatin1(bytes.toBase64()); };
        QByteArray flipped = blob;
        flipped[flipped.size() - 20] = char(flipped.at(flipped.size() - 20) ^ 0x01);
        QTest::newRow("one bit changed") << sealed(flipped) << "" << false;
        QTest::newRow("truncated") << sealed(blob.chopped(1)) << "" << false;
        QTest::newRow("nothing after prefix") << "dpapi1:" << "" << false;
        QTest::newRow("not base64") << "dpapi1:@@@@!!" << "" << false;
        QTest::newRow("current blob as legacy") << "dpapi:" + good.mid(7) << "" << true;
        QTest::newRow("legacy blob as current") << "dpapi1:" + legacyValue("password").mid(6) << "" << false;
    }
    void storedValues()
    {
        QFETCH(QString, stored);
        QFETCH(QString, opened);
        QTEST(isLegacyProtected(stored), "legacy");
        QVERIFY(!QByteArray(QTest::currentDataTag()).startsWith("sealed") || !stored.contains(opened));
        if (opened.isEmpty() && !stored.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Saved password "));
        QCOMPARE(unprotectSecret(stored), opened);
    }

    // A value sealed under another account (another key) does not open;
    // neither opening nor an empty password makes a key.
    void anotherKeyDoesNotOpen()
    {
        const QString stored = protectSecret("mine");
        QVERIFY(stored.startsWith("dpapi1:") && stored != protectSecret("mine")); // a fresh nonce every time
        useConfig(m_box + "/other-user");
        QCOMPARE(protectSecret(QString()), QString());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Saved password "));
        QCOMPARE(unprotectSecret(stored), QString());
        QVERIFY(!QFile::exists(platform::secretKeyPath()));
        QVERIFY(!protectSecret("theirs").isEmpty());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Saved password "));
        QCOMPARE(unprotectSecret(stored), QString());
        useConfig(m_config);
        QCOMPARE(unprotectSecret(stored), "mine");
    }

    // A new key is private and flushed (file, then folder) before it counts;
    // a folder or key file that others can reach is narrowed on use. A key
    // that is a link, in a folder that is a link, or damaged is left as it
    // is: nothing is sealed, nothing replaced or written through it.
    void keyFiles_data()
    {
        QTest::addColumn<int>("folderMode"); // -1: the folders do not exist yet
        QTest::addColumn<int>("keyMode");    // -1: no key yet
        QTest::addColumn<int>("unusable");   // 0: usable; 1 key a link, 2 folder a link, 3 damaged
        QTest::newRow("first use") << -1 << -1 << 0;
        QTest::newRow("folder 0705") << 0705 << -1 << 0;
        QTest::newRow("key 0604") << 0700 << 0604 << 0;
        QTest::newRow("key file is a link") << -1 << -1 << 1;
        QTest::newRow("key folder is a link") << -1 << -1 << 2;
        QTest::newRow("damaged key") << -1 << -1 << 3;
    }
    void keyFiles()
    {
        QFETCH(int, folderMode);
        QFETCH(int, keyMode);
        QFETCH(int, unusable);
        const QString root = m_box + "/keys/" + QTest::currentDataTag();
        useConfig(root + "/.config");
        if (unusable) {
            const QString elsewhere = unusable == 3 ? keyFolder() : root + "/elsewhere";
            QVERIFY(QDir().mkpath(elsewhere));
            const QByteArray planted = unusable == 3 ? QByteArray("short") : QByteArray(32, 'k');
            const QString planting = elsewhere + "/secret.key";
            QVERIFY(writeFile(planting, planted));
            if (unusable == 2)
                QVERIFY(QDir().mkpath(root + "/.config") && QFile::link(elsewhere, keyFolder()));
            if (unusable == 1)
                QVERIFY(QDir().mkpath(keyFolder()) && QFile::link(planting, platform::secretKeyPath()));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Password could not be sealed"));
            QCOMPARE(protectSecret("p"), QString());
            QCOMPARE(readFile(planting), planted);
            QCOMPARE(QDir(elsewhere).entryList(QDir::Files), QStringList{"secret.key"});
            return;
        }
        if (folderMode >= 0)
            QVERIFY(QDir().mkpath(keyFolder()) && ::chmod(QFile::encodeName(keyFolder()).constData(), mode_t(folderMode)) == 0);
        if (keyMode >= 0) {
            QFile key(platform::secretKeyPath());
            QVERIFY(key.open(QIODevice::WriteOnly) && key.write(QByteArray(32, 'k')) == 32);
            QVERIFY(::fchmod(key.handle(), mode_t(keyMode)) == 0);
        }
        g_synced.clear();
        QVERIFY(!protectSecret("p").isEmpty());
        QCOMPARE(modeOf(keyFolder()), mode_t(0700));
        QCOMPARE(modeOf(platform::secretKeyPath()), mode_t(0600));
        QCOMPARE(keyFolderFiles(), QStringList{"secret.key"});
        const qsizetype file = g_synced.indexOf(QRegularExpression(".*/Halvorstead/secret\\.key\\.new-[^/]+"));
        QVERIFY2(keyMode >= 0 || (file >= 0 && g_synced.indexOf(keyFolder(), file) > file), qPrintable(g_synced.join(' ')));
    }

    // Many first uses at once must agree on one key: every value sealed by
    // any of them opens afterwards.
    void racingFirstUsesShareOneKey()
    {
        for (int round = 0; round < 10; ++round) {
            useConfig(m_box + "/race" + QString::number(round));
            QList<QString> results(8);
            QList<QThread *> threads;
            for (int i = 0; i < results.size(); ++i) {
                threads << QThread::create([&results, i] { results[i] = protectSecret(QString::number(i)); });
                threads.last()->start();
            }
            for (QThread *t : threads)
                t->wait();
            qDeleteAll(threads);
            for (int i = 0; i < results.size(); ++i)
                QCOMPARE(unprotectSecret(results[i]), QString::number(i));
            QCOMPARE(keyFolderFiles(), QStringList{"secret.key"});
        }
    }

    // Saving writes the user and the sealed password (an empty one removes
    // it); a failed seal keeps the previous password.
    void credentials()
    {
        AppSettings &s = AppSettings::instance();
        QVERIFY(::saveCredentials(kPrefix, "root", "old"));
        const QString stored = s.getString(kPrefix + "conn/pass", QString());
        QCOMPARE(readSavedPassword(kPrefix), "old");

        const QString root = m_box + "/broken";
        QVERIFY(QDir().mkpath(root + "/target") && QFile::link(root + "/target", root + "/Halvorstead"));
        useConfig(root);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Password could not be sealed"));
        QVERIFY(!::saveCredentials(kPrefix, "other", "new"));
        QCOMPARE(s.getString(kPrefix + "conn/user", QString()), "other");
        QCOMPARE(s.getString(kPrefix + "conn/pass", QString()), stored);
        useConfig(m_config);
        QCOMPARE(readSavedPassword(kPrefix), "old");

        QVERIFY(::saveCredentials(kPrefix, "admin", QString()));
        QCOMPARE(s.getString(kPrefix + "conn/user", QString()), "admin");
        QCOMPARE(s.getString(kPrefix + "conn/pass", "unset"), QString());

        // Reading rewrites a value in the legacy form, and only that.
        for (const QString password : {"老", "plain-pw", ""}) {
            const QString before = password == "老" ? legacyValue(password) : password;
            s.setValue(kPrefix + "conn/pass", before);
            QCOMPARE(readSavedPassword(kPrefix), password);
            const QString now = s.getString(kPrefix + "conn/pass", QString());
            QCOMPARE(now == before, !isLegacyProtected(before));
            QVERIFY(!isLegacyProtected(now) && unprotectSecret(now) == password);
        }
    }
};

QTEST_GUILESS_MAIN(TestPasswordProtection)
#include "tst_passwordprotection.moc"
