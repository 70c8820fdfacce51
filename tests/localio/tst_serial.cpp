#include "../connections/pausecheck.h"
#include "connections/serialconnection.h"
#include "core/languagemanager.h"
#include "platform/serialport.h"

#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <thread>
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

// An open connection on the pty, and everything it received.
struct Line {
    Pty pty;
    SerialConnection c;
    QList<QByteArray> received;
    qint64 bytes = 0;

    Line()
    {
        c.setPortName(pty.port);
        c.setFlushInterval(10);
        QObject::connect(&c, &Connection::dataReceived, &c, [this](const QByteArray &d) {
            received << d;
            bytes += d.size();
        });
    }
};

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
        QTest::newRow("Windows prefix") << "\\\\.\\COM7" << "/dev/ttyS6";
        QTest::newRow("COM0 is a name") << "COM0" << "/dev/COM0";
    }
    void portNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, device);
        QCOMPARE(platform::serialDevicePath(name), device);
    }

    void settingsReachTheLine_data()
    {
        QTest::addColumn<QList<int>>("settings"); // baud, data bits, stop code, parity, flow
        QTest::addColumn<uint>("cflagBits");      // within CSTOPB|PARODD|CMSPAR|CRTSCTS
        QTest::addColumn<uint>("iflagBits");      // within IXON|IXOFF|IXANY
        QTest::newRow("115200 8N1") << QList<int>{115200, 8, 1, 0, 0} << 0u << 0u;
        QTest::newRow("9600 7E2 rts/cts") << QList<int>{9600, 7, 2, 2, 1} << uint(CSTOPB | CRTSCTS) << 0u;
        QTest::newRow("19200 8O1 xon/xoff") << QList<int>{19200, 8, 1, 1, 2} << uint(PARODD) << uint(IXON | IXOFF);
        QTest::newRow("mark") << QList<int>{57600, 8, 1, 3, 0} << uint(PARODD | CMSPAR) << 0u;
        QTest::newRow("stop code 0 is one") << QList<int>{4800, 5, 0, 0, 0} << 0u << 0u;
        QTest::newRow("arbitrary rate") << QList<int>{250000, 8, 1, 0, 0} << 0u << 0u;
    }
    void settingsReachTheLine()
    {
        QFETCH(QList<int>, settings);
        QFETCH(uint, cflagBits);
        QFETCH(uint, iflagBits);
        Line line;
        QVERIFY(!line.pty.port.isEmpty());
        line.c.setBaudRate(settings[0]);
        line.c.setDataBits(settings[1]);
        line.c.setStopBits(settings[2]);
        line.c.setParity(settings[3]);
        line.c.setFlowControl(settings[4]);
        QVERIFY(line.c.open());
        termios t{};
        QCOMPARE(::tcgetattr(line.pty.master, &t), 0);
        // A pty keeps every byte 8 bits wide without a parity bit: it drops
        // CSIZE and PARENB, and keeps the rest of what was asked.
        QCOMPARE(uint(t.c_cflag & (CSTOPB | PARODD | CMSPAR | CRTSCTS)), cflagBits);
        QCOMPARE(uint(t.c_iflag & (IXON | IXOFF | IXANY)), iflagBits);
        QCOMPARE(platform::serialBaudRate(line.pty.master), settings[0]);
        // Raw: no echo, no line editing, no signals, no translation either way.
        QCOMPARE((t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)) | (t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK)) | (t.c_oflag & OPOST), 0u);
        QCOMPARE(uint(t.c_cflag & (CLOCAL | CREAD)), uint(CLOCAL | CREAD));
    }

    // Failures are reported inside open(), through the error signal and the
    // result, and leave nothing open: the refused port is free again. A port
    // is held by the first connection until it closes; opening that one
    // again changes nothing.
    void openFailures_data()
    {
        QTest::addColumn<QString>("port"); // "PTY": a free pty, "HELD": one held by another connection
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("stop");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<int>("err");
        QTest::newRow("missing device") << "/dev/hv-no-such-port" << 8 << 1 << "无法打开 %1（系统错误 %2）" << ENOENT;
        QTest::newRow("not a terminal") << "/dev/null" << 8 << 1 << "读取 %1 配置失败（系统错误 %2）" << ENOTTY;
        QTest::newRow("1.5 stop bits") << "PTY" << 8 << 3 << "配置 %1 失败（系统错误 %2）" << EINVAL;
        QTest::newRow("held") << "HELD" << 8 << 1 << "无法打开 %1（系统错误 %2）" << EBUSY;
    }
    void openFailures()
    {
        QFETCH(QString, port);
        QFETCH(int, bits);
        QFETCH(int, stop);
        QFETCH(QString, pattern);
        QFETCH(int, err);
        Pty pty;
        SerialConnection holder, c;
        holder.setPortName(pty.port);
        QVERIFY(port != "HELD" || (holder.open() && holder.open()));
        if (port == "PTY" || port == "HELD")
            port = pty.port;
        c.setPortName(port);
        c.setDataBits(bits);
        c.setStopBits(stop);
        QSignalSpy errors(&c, &Connection::connectionError);
        QVERIFY(!c.open());
        QVERIFY(!c.isOpen());
        const QString expected = LanguageManager::tr(pattern).arg(port, platform::systemErrorText(err));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.first().first().toString(), expected);
        QCOMPARE(c.lastError(), expected);
        holder.close();
        QVERIFY(!holder.isOpen());
        c.setDataBits(8);
        c.setStopBits(1);
        QVERIFY(port != pty.port || c.open());
    }

    // A device faster than its reader, that listens while it talks: paused,
    // its bytes wait in the line; resumed, they arrive whole. What we wrote
    // meanwhile reaches it whole too; every byte value goes both ways.
    void pausedReadingHoldsBackTheDevice()
    {
        Line line;
        QVERIFY(line.c.open());
        const QByteArray sent = allByteValues(8 * 1024 * 1024, 5), toFar = allByteValues(64 * 1024, 0);
        for (int at = 0; at < toFar.size(); at += 5000)
            line.c.write(toFar.mid(at, 5000));
        QByteArray atFar;
        std::atomic<bool> abandon{false};
        std::thread device([&] {
            char buf[8192];
            for (qsizetype at = 0; (at < sent.size() || atFar.size() < toFar.size()) && !abandon;) {
                pollfd p{line.pty.master, short(POLLIN | (at < sent.size() ? POLLOUT : 0)), 0};
                if (::poll(&p, 1, 100) <= 0)
                    continue;
                if (p.revents & POLLOUT)
                    at += qMax<ssize_t>(::write(line.pty.master, sent.constData() + at, size_t(qMin<qsizetype>(65536, sent.size() - at))), 0);
                if (p.revents & POLLIN)
                    atFar.append(buf, int(qMax<ssize_t>(::read(line.pty.master, buf, sizeof buf), 0)));
            }
        });
        pausecheck::pauseAtFirstBytes(line.c, [&] { return line.bytes; }, [&] { return line.bytes >= sent.size(); });
        abandon = true;
        device.join();
        QVERIFY(line.received.join() == sent);
        QVERIFY(atFar == toFar);
    }

    // A hang-up is a read error, reported once; writing to the dead line or
    // to one never opened does nothing and reports nothing.
    void farEndClosingIsAnError()
    {
        Line line;
        QSignalSpy errors(&line.c, &Connection::connectionError);
        QSignalSpy disconnects(&line.c, &Connection::disconnected);
        QVERIFY(line.c.open());
        line.pty.hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 10000);
        const QString prefix = LanguageManager::tr("串口读取异常，连接已断开（系统错误 %1）").section('%', 0, 0);
        QVERIFY2(errors.first().first().toString().startsWith(prefix), qPrintable(errors.first().first().toString()));
        QVERIFY(!line.c.isOpen());
        QCOMPARE(disconnects.count(), 0);
        SerialConnection never;
        QSignalSpy none(&never, &Connection::connectionError);
        for (SerialConnection *c : {&line.c, &never, &line.c}) {
            c->write("x");
            c->resize(100, 40);
            c->close(); // joins the worker: whatever it still emitted is queued now
        }
        QCoreApplication::processEvents();
        QCOMPARE(errors.count() + none.count(), 1);
        QVERIFY(!never.isOpen());
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
