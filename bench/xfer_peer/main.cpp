// xfer_peer --protocol P (--send FILE... | --receive DIR [PEERFILE...])
//           [--link pty|pipe] [--peer-cmd CMD] [--peer-dir DIR] [--reference]
//           [--timeout SECONDS] [--delay MS]
//
// Runs our transfer object against a real peer program (by default the lrzsz
// program of the other direction) and prints one line:
//   protocol=P direction=D bytes=N seconds=S MBps=X result=ok
// With --reference the lrzsz program of our side stands in for us, for
// comparison on the same link. --delay holds every byte that long each way
// between the peer's link and us (or the stand-in). Exits 0 only when the
// transfer succeeded.
//
// When receiving, PEERFILEs are what the default peer sends (XMODEM stores the
// first under its own name in DIR). When sending without --peer-dir the peer
// receives into a temporary folder that is removed afterwards.

#include "tests/support/peerrun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>

#include <csignal>
#include <cstdio>

// In reference.cpp.
QStringList peerProtocols(); // in the order the usage lists them
QString resultLine(const QString &protocol, bool send, const PeerRunResult &result); // the line printed

namespace {

int usage(const QString &why)
{
    QTextStream err(stderr);
    err << "xfer_peer: " << why << "\n"
        << "usage: xfer_peer --protocol " << peerProtocols().join(QLatin1Char('|'))
        << " (--send FILE... | --receive DIR [PEERFILE...]) [--link pty|pipe]"
           " [--peer-cmd CMD] [--peer-dir DIR] [--reference] [--timeout SECONDS] [--delay MS]\n";
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    ::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);

    PeerRunPlan plan;
    bool haveDirection = false;
    bool reference = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const auto value = [&]() -> QString { return i + 1 < args.size() ? args.at(++i) : QString(); };
        if (a == QLatin1String("--protocol")) {
            plan.protocol = value();
        } else if (a == QLatin1String("--send")) {
            plan.send = true;
            haveDirection = true;
        } else if (a == QLatin1String("--receive")) {
            plan.send = false;
            haveDirection = true;
            plan.receiveDir = QFileInfo(value()).absoluteFilePath();
        } else if (a == QLatin1String("--link")) {
            const QString link = value();
            if (link != QLatin1String("pty") && link != QLatin1String("pipe"))
                return usage(QStringLiteral("--link is pty or pipe"));
            plan.link = link == QLatin1String("pipe") ? PeerLink::Pipe : PeerLink::Pty;
        } else if (a == QLatin1String("--peer-cmd")) {
            plan.peerCommand = value();
        } else if (a == QLatin1String("--peer-dir")) {
            plan.peerDir = QFileInfo(value()).absoluteFilePath();
        } else if (a == QLatin1String("--timeout")) {
            plan.timeoutMs = value().toInt() * 1000;
        } else if (a == QLatin1String("--delay")) {
            plan.delayMs = value().toInt();
        } else if (a == QLatin1String("--reference")) {
            reference = true;
        } else if (a.startsWith(QLatin1String("--"))) {
            return usage(QStringLiteral("unknown option %1").arg(a));
        } else {
            plan.files << QFileInfo(a).absoluteFilePath();
        }
    }
    if (!peerProtocols().contains(plan.protocol))
        return usage(QStringLiteral("unknown protocol"));
    if (!haveDirection)
        return usage(QStringLiteral("--send or --receive is needed"));
    if (plan.send && plan.files.isEmpty())
        return usage(QStringLiteral("--send needs at least one file"));
    if (!plan.send && plan.files.isEmpty() && plan.peerCommand.isEmpty())
        return usage(QStringLiteral("--receive needs PEERFILEs or --peer-cmd"));
    if (plan.timeoutMs <= 0)
        plan.timeoutMs = 600000;

    QTemporaryDir scratch;
    if (plan.send && plan.peerDir.isEmpty())
        plan.peerDir = scratch.path();

    QElapsedTimer clock;
    clock.start();
    const bool verbose = qEnvironmentVariableIsSet("XFER_PEER_VERBOSE");
    const auto trace = [&](const QString &text, PeerRunControl &) {
        if (verbose)
            std::fprintf(stderr, "%8.3f %s\n", clock.nsecsElapsed() / 1e9, qPrintable(text));
    };
    const PeerRunResult result = reference ? runReference(plan) : runAgainstPeer(plan, trace);
    std::printf("%s\n", qPrintable(resultLine(plan.protocol, plan.send, result)));
    if (!result.ok && !result.peerStderr.isEmpty())
        std::fprintf(stderr, "peer said: %s\n", qPrintable(result.peerStderr));
    return result.ok ? 0 : 1;
}
