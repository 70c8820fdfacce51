#pragma once

// Helpers shared by the TFTP tests: real clients run while the event loop
// keeps serving, and a raw UDP client for what no client program sends.

#include "tests/support/testfiles.h"

#include <QEventLoop>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

namespace tftptest {

enum class Client { Hpa, Atftp };
enum class Op { Get, Put };

// Runs one transfer with a client program under timeout(1) (a client aimed at
// a silent port waits forever) in an event loop of its own, so that the
// server in this process answers at full speed. Returns the exit code, -1 when
// it did not end. tftp-hpa exits 0 even when the server refuses, so callers
// compare files.
inline int transfer(const QString &dir, Client c, Op op, quint16 port, const QString &remote, const QString &local,
                    const QString &host = "127.0.0.1")
{
    const bool get = op == Op::Get;
    const QStringList args = c == Client::Hpa
        ? QStringList{"tftp", host, QString::number(port), "-m", "binary", "-c", get ? "get" : "put",
                      get ? remote : local, get ? local : remote}
        : QStringList{"atftp", get ? "-g" : "-p", "-r", remote, "-l", local, host, QString::number(port)};
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&p, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(70 * 1000, &loop, &QEventLoop::quit);
    p.start("timeout", QStringList{"60"} + args);
    loop.exec();
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(2000);
        return -1;
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

inline QByteArray randomBytes(qint64 size)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(quint32(size) ^ 0x7f7f).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

// A hand-driven client for packets that no client program sends.
struct RawClient
{
    explicit RawClient(const QHostAddress &local = QHostAddress::LocalHost) { socket.bind(local, 0); }
    void send(const QByteArray &packet, quint16 port) { socket.writeDatagram(packet, QHostAddress::LocalHost, port); }
    // The next datagram and its source port; empty after five seconds of silence.
    QByteArray receive(quint16 *fromPort = nullptr)
    {
        if (!QTest::qWaitFor([this] { return socket.hasPendingDatagrams(); }, 5000))
            return {};
        QByteArray data(int(socket.pendingDatagramSize()), Qt::Uninitialized);
        socket.readDatagram(data.data(), data.size(), nullptr, fromPort);
        return data;
    }
    QUdpSocket socket;
};

inline QByteArray request(quint16 op, const QByteArray &name, const QByteArray &mode = "octet", const QByteArray &extra = {})
{
    return QByteArray(1, 0) + char(op) + name + '\0' + mode + '\0' + extra;
}

inline QByteArray packet(quint16 op, quint16 number, const QByteArray &payload = {})
{
    return QByteArray{} + char(op >> 8) + char(op) + char(number >> 8) + char(number) + payload;
}

inline QByteArray errorPacket(quint16 code, const char *message)
{
    return packet(5, code, QByteArray(message) + '\0');
}

} // namespace tftptest
