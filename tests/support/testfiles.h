#pragma once

// Whole-file reads and writes, and what the fixture servers leave for the tests in the build folder.

#include <QDir>
#include <QFile>
#include <QFileInfo>

inline bool writeFile(const QString &path, const QByteArray &bytes) // the folder is made first
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path) // empty when it cannot be read
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

#ifdef HV_BINARY_DIR
// The fixed loopback ports of tests/CMakeLists.txt, moved by HV_TEST_PORT_OFFSET.
constexpr int kSshdPort = HV_SSHD_PORT;       // every host key type; the next port: RSA only
constexpr int kSftpPort = HV_SFTP_PORT;       // the SFTP variants, one port each
constexpr int kXferTelnetdPort = HV_XFER_TELNETD_PORT;

// Built with the sanitizers: our own code runs several times slower than
// in a release build, while the peers' programs we time it against do not.
constexpr bool kInstrumented = HV_INSTRUMENTED;

// A fixture's state folder ("ssh_sshd", "conn_rlogind", "sftp_opendir"), or a file in it.
inline QString fixturePath(const QString &path) { return QStringLiteral(HV_BINARY_DIR "/fixtures/") + path; }
// A file the fixture wrote, trimmed; empty when the fixture has not run.
inline QString fixtureText(const QString &path) { return QString::fromUtf8(readFile(fixturePath(path)).trimmed()); }

// The throw-away login account the fixture made for the run, with a random password.
struct FixtureAccount {
    QString user, password;
    explicit FixtureAccount(const QString &fixture = QStringLiteral("ssh_sshd"))
        : user(fixtureText(fixture + "/user")), password(fixtureText(fixture + "/password")) {}
};
#endif
