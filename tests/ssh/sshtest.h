#pragma once

// Shared by the SSH tests: the sshd started by tests/fixtures/sshd.sh and a
// recorder that opens one SshConnection and keeps everything it reports.

#include "connections/sshconnection.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

namespace sshtest {

inline QString sshdDir() { return qEnvironmentVariable("HV_SSHD_DIR"); }
inline int sshdPort() { return qEnvironmentVariableIntValue("HV_SSHD_PORT"); }
inline QString keyPath(const char *name) { return sshdDir() + QStringLiteral("/keys/") + QLatin1String(name); }
// The fixture makes the account for the run, with a random password.
inline QString fixtureValue(const char *name)
{
    QFile f(sshdDir() + QLatin1Char('/') + QLatin1String(name));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll().trimmed()) : QString();
}
inline QString user() { return fixtureValue("user"); }
inline QString password() { return fixtureValue("password"); }
inline QString passphrase() { return QStringLiteral("key-pass-2"); }

inline SshConnectParams params(const QString &host = QStringLiteral("127.0.0.1"))
{
    SshConnectParams p;
    p.host = host;
    p.port = sshdPort();
    p.user = user();
    p.password = password();
    p.auth = QStringLiteral("Password Auth");
    p.keepalive = 0;
    return p;
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

// One of the server's host key lines ("ecdsa-sha2-nistp256 AAAA..."); the
// ECDSA key is the one libssh2 asks for when nothing else is filed.
inline QByteArray serverKeyLine(const char *type = "ecdsa")
{
    const QString path = sshdDir() + QStringLiteral("/host_%1.pub").arg(QLatin1String(type));
    const QList<QByteArray> f = readFile(path).simplified().split(' ');
    return f.size() >= 2 ? f[0] + ' ' + f[1] : QByteArray();
}

inline QString knownHostName()
{
    return QStringLiteral("[127.0.0.1]:%1").arg(sshdPort());
}

// Runs a program to its end (bounded) and gives its exit code.
inline int run(const QString &program, const QStringList &args, QByteArray *out = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(20000))
        return -1;
    if (out)
        *out = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

struct Recorder {
    SshConnection conn;
    QByteArray data;
    QStringList errors;
    int connected = 0;
    int disconnected = 0;
    int remoteEnvs = 0;
    QString env;
    QStringList commands;

    explicit Recorder(const SshConnectParams &p)
    {
        conn.setParams(p);
        QObject::connect(&conn, &Connection::dataReceived, [this](const QByteArray &d) { data += d; });
        QObject::connect(&conn, &Connection::connectionError, [this](const QString &m) { errors << m; });
        QObject::connect(&conn, &Connection::connected, [this] { ++connected; });
        QObject::connect(&conn, &Connection::disconnected, [this] { ++disconnected; });
        QObject::connect(&conn, &SshConnection::remoteEnv, [this](const QString &e, const QStringList &c) {
            ++remoteEnvs;
            env = e;
            commands = c;
        });
    }

    int events() const { return connected + disconnected + int(errors.size()); }
    bool settled() const { return !errors.isEmpty() || disconnected > 0; }

    // Waits (bounded) until the session ends one way or the other.
    bool waitSettled(int ms = 30000) { return QTest::qWaitFor([this] { return settled(); }, ms); }
    bool waitConnected(int ms = 30000)
    {
        return QTest::qWaitFor([this] { return connected > 0 || settled(); }, ms) && connected > 0;
    }
    bool waitData(const QByteArray &needle, int ms = 20000)
    {
        return QTest::qWaitFor([&] { return data.contains(needle) || settled(); }, ms) && data.contains(needle);
    }
};

} // namespace sshtest
