// xfer_peer --protocol P (--send FILE... | --receive DIR [PEERFILE...])
//           [--link pty|pipe] [--peer-cmd CMD] [--peer-dir DIR] [--reference]
//           [--timeout SECONDS]
//
// Runs our transfer object against a real peer program (by default the lrzsz
// program of the other direction) and prints one line:
//   protocol=P direction=D bytes=N seconds=S MBps=X result=ok
// With --reference the lrzsz program of our side stands in for us, for
// comparison on the same link. Exits 0 only when the transfer succeeded.
//
// When receiving, PEERFILEs are what the default peer sends (XMODEM stores the
// first under its own name in DIR). When sending without --peer-dir the peer
// receives into a temporary folder that is removed afterwards.

#include "bench/xfer_peer/peerrun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>

#include <csignal>
#include <cstdio>

namespace {

int usage(const QString &why)
{
    QTextStream err(stderr);
    err << "xfer_peer: " << why << "\n"
        << "usage: xfer_peer --protocol " << peerProtocols().join(QLatin1Char('|'))
        << " (--send FILE... | --receive DIR [PEERFILE...]) [--link pty|pipe]"
           " [--peer-cmd CMD] [--peer-dir DIR] [--reference] [--timeout SECONDS]\n";
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    ::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);

    PeerRunSpec spec;
    bool haveDirection = false;
    bool reference = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const auto value = [&]() -> QString { return i + 1 < args.size() ? args.at(++i) : QString(); };
        if (a == QLatin1String("--protocol")) {
            spec.protocol = value();
        } else if (a == QLatin1String("--send")) {
            spec.send = true;
            haveDirection = true;
        } else if (a == QLatin1String("--receive")) {
            spec.send = false;
            haveDirection = true;
            spec.receiveDir = QFileInfo(value()).absoluteFilePath();
        } else if (a == QLatin1String("--link")) {
            const QString link = value();
            if (link != QLatin1String("pty") && link != QLatin1String("pipe"))
                return usage(QStringLiteral("--link is pty or pipe"));
            spec.link = link == QLatin1String("pipe") ? PeerLink::Pipe : PeerLink::Pty;
        } else if (a == QLatin1String("--peer-cmd")) {
            spec.peerCommand = value();
        } else if (a == QLatin1String("--peer-dir")) {
            spec.peerDir = QFileInfo(value()).absoluteFilePath();
        } else if (a == QLatin1String("--timeout")) {
            spec.timeoutMs = value().toInt() * 1000;
        } else if (a == QLatin1String("--reference")) {
            reference = true;
        } else if (a.startsWith(QLatin1String("--"))) {
            return usage(QStringLiteral("unknown option %1").arg(a));
        } else {
            spec.files << QFileInfo(a).absoluteFilePath();
        }
    }
    if (!peerProtocols().contains(spec.protocol))
        return usage(QStringLiteral("unknown protocol"));
    if (!haveDirection)
        return usage(QStringLiteral("--send or --receive is needed"));
    if (spec.send && spec.files.isEmpty())
        return usage(QStringLiteral("--send needs at least one file"));
    if (!spec.send && spec.files.isEmpty() && spec.peerCommand.isEmpty())
        return usage(QStringLiteral("--receive needs PEERFILEs or --peer-cmd"));
    if (spec.timeoutMs <= 0)
        spec.timeoutMs = 600000;

    QTemporaryDir scratch;
    if (spec.send && spec.peerDir.isEmpty())
        spec.peerDir = scratch.path();

    QElapsedTimer clock;
    clock.start();
    const bool verbose = qEnvironmentVariableIsSet("XFER_PEER_VERBOSE");
    const auto trace = [&](const QString &text, PeerRunControl &) {
        if (verbose)
            std::fprintf(stderr, "%8.3f %s\n", clock.nsecsElapsed() / 1e9, qPrintable(text));
    };
    const PeerRunResult result = reference ? runReference(spec) : runAgainstPeer(spec, trace);
    std::printf("%s\n", qPrintable(resultLine(spec.protocol, spec.send, result)));
    if (!result.ok && !result.peerStderr.isEmpty())
        std::fprintf(stderr, "peer said: %s\n", qPrintable(result.peerStderr));
    return result.ok ? 0 : 1;
}
