// tftp_serve --root DIR --port P [--bind ADDR]
// Runs the TFTP engine headless until SIGINT or SIGTERM, printing its log.
#include "core/languagemanager.h"
#include "transfer/tftp/tftpserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int)
{
    stopRequested = true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption rootOpt(QStringLiteral("root"), QStringLiteral("Folder to serve."), QStringLiteral("DIR"));
    const QCommandLineOption portOpt(QStringLiteral("port"), QStringLiteral("UDP port."), QStringLiteral("P"));
    const QCommandLineOption bindOpt(QStringLiteral("bind"), QStringLiteral("Address to listen on (default: any)."),
                                     QStringLiteral("ADDR"));
    const QCommandLineOption quietOpt(QStringLiteral("quiet"), QStringLiteral("Print no log lines."));
    parser.addOptions({rootOpt, portOpt, bindOpt, quietOpt});
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOpt).toUInt(&portOk);
    if (!parser.isSet(rootOpt) || !portOk || port == 0 || port > 65535) {
        std::fprintf(stderr, "usage: tftp_serve --root DIR --port P [--bind ADDR] [--quiet]\n");
        return 2;
    }
    QHostAddress address(QHostAddress::Any);
    if (parser.isSet(bindOpt) && !address.setAddress(parser.value(bindOpt))) {
        std::fprintf(stderr, "tftp_serve: not an address: %s\n", qPrintable(parser.value(bindOpt)));
        return 2;
    }

    LanguageManager::setLanguage(QStringLiteral("en"));
    TftpServer server;
    server.setRootFolder(parser.value(rootOpt));
    if (!parser.isSet(quietOpt)) {
        QObject::connect(&server, &TftpServer::logLine, [](const QString &line) {
            std::printf("[%s] %s\n", qPrintable(QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))),
                        line.toUtf8().constData());
            std::fflush(stdout);
        });
    }
    QString error;
    if (!server.start(quint16(port), address, &error)) {
        std::fprintf(stderr, "tftp_serve: cannot bind port %u: %s\n", port, qPrintable(error));
        return 1;
    }
    std::printf("tftp_serve: listening on port %u, root %s\n", port, qPrintable(parser.value(rootOpt)));
    std::fflush(stdout);

    // A signal handler may only set a flag; the loop notices it shortly after,
    // and the server's stop then removes unfinished uploads.
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (stopRequested)
            app.quit();
    });
    poll.start(100);
    const int rc = app.exec();
    server.stop();
    return rc;
}
