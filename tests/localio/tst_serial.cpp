#include "connections/serialconnection.h"
#include "core/languagemanager.h"
#include "platform/serialport.h"

#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A pseudo-terminal: the connection opens its terminal side as the port, the
// test plays the device on the master side. Terminal settings asked of the
// master are those of the terminal side, so they read back without a second
// open (which the port's exclusive claim refuses to anyone but root).
struct Pty {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QString port;

    Pty()
    {
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            port = QString::fromLocal8Bit(::ptsname(master));
    }
    ~Pty() { hangUp(); }
    void hangUp()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
};

QByteArray allByteValues(int size, int offset)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + offset) & 0xff);
    return data;
}

void configure(SerialConnection &c, const QString &port, int baud = 115200, int bits = 8, int stop = 1,
               int parity = 0, int flow = 0)
{
    c.setPortName(port);
    c.setBaudRate(baud);
    c.setDataBits(bits);
    c.setStopBits(stop);
    c.setParity(parity);
    c.setFlowControl(flow);
}

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT

private slots:
    void portNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("device");
        QTest::newRow("COM1") << "COM1" << "/dev/ttyS0";
        QTest::newRow("lower case") << "com7" << "/dev/ttyS6";
        QTest::newRow("Windows prefix") << "\\\\.\\COM7" << "/dev/ttyS6";
        QTest::newRow("empty") << "" << "/dev/ttyS0";
        QTest::newRow("bare name") << "ttyUSB0" << "/dev/ttyUSB0";
        QTest::newRow("path") << "/dev/serial/by-id/x" << "/dev/serial/by-id/x";
        QTest::newRow("COM0 is a name") << "COM0" << "/dev/COM0";
        QTest::newRow("COM with text") << "COM1x" << "/dev/COM1x";
    }
    void portNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, device);
        QCOMPARE(platform::serialDevicePath(name), device);
    }

    void settingsReachTheLine_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("stop");
        QTest::addColumn<int>("parity");
        QTest::addColumn<int>("flow");
        QTest::addColumn<uint>("cflagBits"); // within CSTOPB|PARODD|CMSPAR|CRTSCTS
        QTest::addColumn<uint>("iflagBits"); // within IXON|IXOFF
        QTest::newRow("115200 8N1") << 115200 << 8 << 1 << 0 << 0 << 0u << 0u;
        QTest::newRow("9600 7E2 rts/cts") << 9600 << 7 << 2 << 2 << 1 << uint(CSTOPB | CRTSCTS) << 0u;
        QTest::newRow("19200 8O1 xon/xoff") << 19200 << 8 << 1 << 1 << 2 << uint(PARODD) << uint(IXON | IXOFF);
        QTest::newRow("mark") << 57600 << 8 << 1 << 3 << 0 << uint(PARODD | CMSPAR) << 0u;
        QTest::newRow("space") << 38400 << 6 << 1 << 4 << 0 << uint(CMSPAR) << 0u;
        QTest::newRow("stop code 0 is one") << 4800 << 5 << 0 << 0 << 0 << 0u << 0u;
        QTest::newRow("stop code 4 is one") << 4800 << 8 << 4 << 0 << 0 << 0u << 0u;
        QTest::newRow("arbitrary rate") << 250000 << 8 << 1 << 0 << 0 << 0u << 0u;
        QTest::newRow("fast standard rate") << 3000000 << 8 << 1 << 0 << 0 << 0u << 0u;
    }
    void settingsReachTheLine()
    {
        QFETCH(int, baud);
        QFETCH(int, bits);
        QFETCH(int, stop);
        QFETCH(int, parity);
        QFETCH(int, flow);
        QFETCH(uint, cflagBits);
        QFETCH(uint, iflagBits);
        Pty pty;
        QVERIFY(!pty.port.isEmpty());
        SerialConnection c;
        configure(c, pty.port, baud, bits, stop, parity, flow);
        QVERIFY(c.open());
        termios t{};
        QCOMPARE(::tcgetattr(pty.master, &t), 0);
        // A pty keeps every byte 8 bits wide without a parity bit: it drops
        // CSIZE and PARENB, and keeps the rest of what was asked.
        const uint kept = CSTOPB | PARODD | CMSPAR | CRTSCTS;
        QCOMPARE(uint(t.c_cflag & kept), cflagBits);
        QCOMPARE(uint(t.c_iflag & (IXON | IXOFF | IXANY)), iflagBits);
        QCOMPARE(platform::serialBaudRate(pty.master), baud);
        // Raw: no echo, no line editing, no signals, no translation either way.
        QCOMPARE(uint(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)), 0u);
        QCOMPARE(uint(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK)), 0u);
        QCOMPARE(uint(t.c_oflag & OPOST), 0u);
        QCOMPARE(uint(t.c_cflag & (CLOCAL | CREAD)), uint(CLOCAL | CREAD));
    }

    // Failures are reported inside open(), through the error signal and the
    // result, and leave nothing open.
    void openFailures_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("stop");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<int>("err");
        QTest::newRow("missing device") << "/dev/hv-no-such-port" << 8 << 1 << "无法打开 %1（系统错误 %2）" << ENOENT;
        QTest::newRow("not a terminal") << "/dev/null" << 8 << 1 << "读取 %1 配置失败（系统错误 %2）" << ENOTTY;
        QTest::newRow("1.5 stop bits") << "PTY" << 8 << 3 << "配置 %1 失败（系统错误 %2）" << EINVAL;
        QTest::newRow("9 data bits") << "PTY" << 9 << 1 << "配置 %1 失败（系统错误 %2）" << EINVAL;
    }
    void openFailures()
    {
        QFETCH(QString, port);
        QFETCH(int, bits);
        QFETCH(int, stop);
        QFETCH(QString, pattern);
        QFETCH(int, err);
        Pty pty;
        if (port == QLatin1String("PTY"))
            port = pty.port;
        SerialConnection c;
        configure(c, port, 115200, bits, stop);
        QSignalSpy errors(&c, &Connection::connectionError);
        QVERIFY(!c.open());
        QVERIFY(!c.isOpen());
        const QString expected = LanguageManager::tr(pattern).arg(port, platform::systemErrorText(err));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.first().first().toString(), expected);
        QCOMPARE(c.lastError(), expected);
        // The refused port is free again.
        if (port == pty.port) {
            configure(c, port);
            QVERIFY(c.open());
        }
    }

    void portIsExclusiveUntilClosed()
    {
        Pty pty;
        SerialConnection first, second;
        first.setPortName(pty.port);
        second.setPortName(pty.port);
        QVERIFY(first.open());
        QVERIFY(first.open()); // already open: nothing happens
        QSignalSpy errors(&second, &Connection::connectionError);
        QVERIFY(!second.open());
        QCOMPARE(errors.count(), 1);
        QVERIFY(errors.first().first().toString().contains(platform::systemErrorText(EBUSY)));
        first.close();
        QVERIFY(!first.isOpen());
        QVERIFY(second.open());
    }

    // Both directions at once, as a device that talks while it listens.
    void allByteValuesBothWays()
    {
        Pty pty;
        SerialConnection c;
        QByteArray received;
        connect(&c, &Connection::dataReceived, this, [&](const QByteArray &d) { received += d; });
        configure(c, pty.port);
        c.setFlushInterval(10);
        QVERIFY(c.open());

        const int size = 64 * 1024;
        const QByteArray toFar = allByteValues(size, 0);
        const QByteArray fromFar = allByteValues(size, 3);
        for (int at = 0; at < size; at += 5000)
            c.write(toFar.mid(at, 5000));
        QByteArray atFar;
        qsizetype written = 0;
        char buf[8192];
        for (int round = 0; round < 20000 && (atFar.size() < size || received.size() < size); ++round) {
            QCoreApplication::processEvents();
            pollfd p{pty.master, short(POLLIN | (written < size ? POLLOUT : 0)), 0};
            if (::poll(&p, 1, 5) <= 0)
                continue;
            if ((p.revents & POLLOUT) && written < size) {
                const ssize_t n = ::write(pty.master, fromFar.constData() + written, size_t(qMin<qsizetype>(4096, size - written)));
                written += qMax<ssize_t>(n, 0);
            }
            const ssize_t n = ::read(pty.master, buf, sizeof buf);
            if (n > 0)
                atFar.append(buf, int(n));
        }
        QVERIFY(atFar == toFar);
        QVERIFY(received == fromFar);
    }

    // The worker hands over what it read once per flush interval; bytes that
    // come one by one (a device paced at 1 ms) arrive in batches.
    void slowBytesArriveInBatches()
    {
        Pty pty;
        SerialConnection c;
        QList<QByteArray> batches;
        connect(&c, &Connection::dataReceived, this, [&](const QByteArray &d) { batches << d; });
        configure(c, pty.port);
        c.setFlushInterval(10);
        QVERIFY(c.open());
        const int count = 200;
        const QByteArray sent = allByteValues(count, 1);
        for (int i = 0; i < count; ++i) {
            QCOMPARE(::write(pty.master, sent.constData() + i, 1), ssize_t(1));
            QThread::usleep(1000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(batches.join().size(), count, 10000);
        QVERIFY(batches.join() == sent);
        // About one batch per 10 ms; a slow machine only makes them bigger.
        QVERIFY2(batches.size() <= count / 3, qPrintable(QString::number(batches.size())));
    }

    // A hang-up is a read error, reported once; writing to the dead line or
    // to one never opened does nothing and reports nothing.
    void farEndClosingIsAnError()
    {
        Pty pty;
        SerialConnection c;
        configure(c, pty.port);
        QSignalSpy errors(&c, &Connection::connectionError);
        QSignalSpy disconnects(&c, &Connection::disconnected);
        QVERIFY(c.open());
        pty.hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 10000);
        const QString prefix = LanguageManager::tr(QStringLiteral("串口读取异常，连接已断开（系统错误 %1）")).section(QLatin1Char('%'), 0, 0);
        QVERIFY2(errors.first().first().toString().startsWith(prefix), qPrintable(errors.first().first().toString()));
        QVERIFY(!c.isOpen());
        QCOMPARE(disconnects.count(), 0);
        c.write("x");
        c.close(); // joins the worker: whatever it still emitted is queued now
        c.write("x");
        c.resize(100, 40);
        QCoreApplication::processEvents();
        QCOMPARE(errors.count(), 1);

        SerialConnection never;
        QSignalSpy none(&never, &Connection::connectionError);
        never.write("hello");
        never.resize(100, 40);
        never.close();
        QVERIFY(!never.isOpen());
        QCOMPARE(none.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
