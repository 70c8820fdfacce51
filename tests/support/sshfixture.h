#pragma once

// A password login to a fixture sshd (tests/fixtures/sshd.sh) as the account it made for the run.

#include "connections/sshconnection.h"
#include "tests/support/testfiles.h"

inline SshConnectParams fixtureSshParams(int port, const QString &knownHosts,
                                         const QString &fixture = QStringLiteral("ssh_sshd"))
{
    const FixtureAccount account(fixture);
    SshConnectParams p;
    p.host = QStringLiteral("127.0.0.1");
    p.port = port;
    p.user = account.user;
    p.password = account.password;
    p.auth = QStringLiteral("Password Auth");
    p.keepalive = 0; // nothing on the wire but what the test does
    p.knownHostsPath = knownHosts;
    return p;
}
