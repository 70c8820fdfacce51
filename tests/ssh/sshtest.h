#pragma once

// The fixture's two sshd servers (every host key type on one port, an RSA host key only on the
// next) and a recorder of a session.
#include "../connections/connectiontestsupport.h"
#include "core/languagemanager.h"
#include "tests/support/sshfixture.h"

#include <QTemporaryDir>
#include <QTest>

namespace sshtest {

inline QString sshdDir() { return fixturePath(QStringLiteral("ssh_sshd")); }
inline int rsaOnlyPort() { return kSshdPort + 1; }
inline QString keyPath(const char *name) { return sshdDir() + "/keys/" + name; }
inline QString password() { return FixtureAccount().password; }
inline QString passphrase() { return QStringLiteral("key-pass-2"); }
inline QString scratch(const QString &name) // removed when the test ends
{
    static QTemporaryDir dir;
    return dir.filePath(name);
}

// RSA signatures with SHA-2, which the servers insist on, came with libssh2 1.11.
#define HV_REQUIRE_SHA2_RSA()                                                                                     \
    if (LIBSSH2_VERSION_NUM < 0x010b00)                                                                          \
    QFAIL("needs libssh2 1.11 (RSA with SHA-2), not the system's " LIBSSH2_VERSION ": run scripts/fetch-libssh2")

inline SshConnectParams params(const QString &knownHosts, int port = kSshdPort, const QString &command = QString(),
                               const QString &host = QStringLiteral("127.0.0.1"))
{
    SshConnectParams p = fixtureSshParams(port, knownHosts);
    p.host = host;
    p.remoteCommand = command;
    return p;
}

struct SshSlot { SshConnection conn; };

// Everything the connection reports; a session settles when it ends one way or the other.
struct Recorder : SshSlot, testsupport::Recorder {
    QStringList commands;
    QString env;

    explicit Recorder(const SshConnectParams &p) : testsupport::Recorder(&conn)
    {
        conn.setParams(p);
        connect(&conn, &SshConnection::remoteEnv, this, [this](const QString &e, const QStringList &c) { env += e, commands = c; });
    }

    int events() const { return connects + disconnects + int(errors.size()); }
    bool settled() const { return !errors.isEmpty() || disconnects > 0; }
    QString joinedErrors() const { return errors.join(QLatin1Char('|')); }
    // Exactly one error, from the given message, and no connect or disconnect.
    bool failedWith(const char *message) const
    {
        const QString prefix = LanguageManager::tr(QString::fromUtf8(message)).section(QLatin1Char('%'), 0, 0);
        if (errors.size() == 1 && errors.first().startsWith(prefix) && connects + disconnects == 0)
            return true;
        qWarning("%s", qPrintable(joinedErrors()));
        return false;
    }

    // Bounded waits, false when the session ended first; a login may take long.
    bool waitSettled() { return QTest::qWaitFor([this] { return settled(); }, testsupport::kWaitMs); }
    bool runToEnd() { return conn.open() && waitSettled(); }
    bool waitConnected() { return QTest::qWaitFor([this] { return connects > 0 || settled(); }, testsupport::kWaitMs) && connects; }
    bool waitData(const QByteArray &needle)
    {
        return QTest::qWaitFor([&] { return data.contains(needle) || settled(); }, testsupport::kWaitMs) && data.contains(needle);
    }
};

} // namespace sshtest
