#pragma once

// Helpers shared by the TFTP tests: real clients run while the event loop
// keeps serving, and a raw UDP client for what no client program sends.

#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

namespace tftptest {

enum class Client { Hpa, Atftp };

inline bool clientsInstalled()
{
    return !QStandardPaths::findExecutable(QStringLiteral("tftp")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("atftp")).isEmpty();
}

// Runs a client program under timeout(1) (a client aimed at a silent port
// waits forever) in an event loop of its own, so that the server in this
// process answers at full speed. Returns the exit code, -1 when it did not end.
inline int runProgram(const QString &dir, const QStringList &args, int seconds = 60)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&p, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot((seconds + 10) * 1000, &loop, &QEventLoop::quit);
    p.start(QStringLiteral("timeout"), QStringList{QString::number(seconds)} + args);
    loop.exec();
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(2000);
        return -1;
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// The command line of one transfer; tftp-hpa exits 0 even when the server
// refuses, so callers compare files.
enum class Op { Get, Put };
inline QStringList clientArgs(Client c, Op op, quint16 port, const QString &remote, const QString &local,
                              const QString &host = QStringLiteral("127.0.0.1"))
{
    if (c == Client::Hpa)
        return {QStringLiteral("tftp"), host, QString::number(port), QStringLiteral("-m"), QStringLiteral("binary"),
                QStringLiteral("-c"), op == Op::Get ? QStringLiteral("get") : QStringLiteral("put"),
                op == Op::Get ? remote : local, op == Op::Get ? local : remote};
    return {QStringLiteral("atftp"), op == Op::Get ? QStringLiteral("-g") : QStringLiteral("-p"), QStringLiteral("-r"),
            remote, QStringLiteral("-l"), local, host, QString::number(port)};
}

inline QByteArray randomBytes(qint64 size)
{
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator gen(quint32(size) ^ 0x7f7f);
    for (qint64 i = 0; i < size; ++i)
        b[i] = char(gen.generate() & 0xff);
    return b;
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A hand-driven client for packets that no client program sends.
class RawClient
{
public:
    explicit RawClient(const QHostAddress &local = QHostAddress::LocalHost) { socket.bind(local, 0); }

    void send(const QByteArray &packet, quint16 port, const QHostAddress &to = QHostAddress::LocalHost)
    {
        socket.writeDatagram(packet, to, port);
    }
    // The next datagram and its source port; empty after five seconds of silence.
    QByteArray receive(quint16 *fromPort = nullptr)
    {
        if (!QTest::qWaitFor([this] { return socket.hasPendingDatagrams(); }, 5000))
            return {};
        QByteArray data(int(socket.pendingDatagramSize()), Qt::Uninitialized);
        quint16 port = 0;
        socket.readDatagram(data.data(), data.size(), nullptr, &port);
        if (fromPort)
            *fromPort = port;
        return data;
    }

    QUdpSocket socket;
};

inline QByteArray request(quint16 op, const QByteArray &name, const QByteArray &mode = "octet",
                          const QByteArray &extra = {})
{
    QByteArray p;
    p.append(char(0)).append(char(op)).append(name).append('\0').append(mode).append('\0').append(extra);
    return p;
}

inline QByteArray packet(quint16 op, quint16 number, const QByteArray &payload = {})
{
    QByteArray p;
    p.append(char(op >> 8)).append(char(op)).append(char(number >> 8)).append(char(number)).append(payload);
    return p;
}

inline QByteArray errorPacket(quint16 code, const char *message)
{
    return packet(5, code, QByteArray(message) + '\0');
}

} // namespace tftptest
