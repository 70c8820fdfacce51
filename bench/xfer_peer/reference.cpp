// The summary line of xfer_peer and the protocols it knows.
#include "tests/support/peerrun.h"

QStringList peerProtocols()
{
    return QStringLiteral("xmodem xmodem-crc xmodem-1k ymodem zmodem kermit").split(QLatin1Char(' '));
}

QString resultLine(const QString &protocol, bool send, const PeerRunResult &result)
{
    const double mbps = result.seconds > 0 ? result.bytes / 1048576.0 / result.seconds : 0;
    return QStringLiteral("protocol=%1 direction=%2 bytes=%3 seconds=%4 MBps=%5 result=%6")
        .arg(protocol, send ? QStringLiteral("send") : QStringLiteral("receive"))
        .arg(result.bytes)
        .arg(result.seconds, 0, 'f', 3)
        .arg(mbps, 0, 'f', 2)
        .arg(result.ok ? QStringLiteral("ok") : QStringLiteral("failed: ") + result.summary);
}
