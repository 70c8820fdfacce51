#include "connections/serialconnection.h"
#include "core/languagemanager.h"
#include "platform/serialport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Two linked ptys made by socat: the connection opens one end, the test
// plays the device on the other.
struct SocatPair {
    QTemporaryDir dir;
    QProcess socat;
    QString a, b;

    bool start()
    {
        a = dir.filePath(QStringLiteral("a"));
        b = dir.filePath(QStringLiteral("b"));
        socat.start(QStringLiteral("socat"),
                    {QStringLiteral("pty,raw,echo=0,link=") + a, QStringLiteral("pty,raw,echo=0,link=") + b});
        if (!socat.waitForStarted(5000))
            return false;
        for (int i = 0; i < 500 && !(QFileInfo::exists(a) && QFileInfo::exists(b)); ++i)
            QThread::msleep(10);
        return QFileInfo::exists(a) && QFileInfo::exists(b);
    }
    ~SocatPair()
    {
        socat.terminate();
        socat.waitForFinished(3000);
    }
};

// The far end as a raw non-blocking descriptor.
int openRaw(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// A connection on one end of a pair, the test's raw descriptor on the other.
struct Line {
    SocatPair pair;
    SerialConnection conn;
    int far = -1;

    bool open(qint64 flushInterval)
    {
        if (!pair.start() || (far = openRaw(pair.b)) < 0)
            return false;
        conn.setPortName(pair.a);
        conn.setFlushInterval(flushInterval);
        return conn.open();
    }
    ~Line()
    {
        if (far >= 0)
            ::close(far);
    }
};

QByteArray allByteValues(int size, int offset)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + offset) & 0xff);
    return data;
}

void configure(SerialConnection &c, const QString &port, int baud, int bits, int stop, int parity, int flow)
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
        QTest::addColumn<uint>("cflagBits"); // within CSIZE|CSTOPB|PARENB|PARODD|CMSPAR|CRTSCTS
        QTest::addColumn<uint>("iflagBits"); // within IXON|IXOFF
        const uint none = 0;
        QTest::newRow("115200 8N1") << 115200 << 8 << 1 << 0 << 0 << uint(CS8) << none;
        QTest::newRow("9600 7E2 rts/cts") << 9600 << 7 << 2 << 2 << 1 << uint(CS7 | CSTOPB | PARENB | CRTSCTS) << none;
        QTest::newRow("19200 8O1 xon/xoff") << 19200 << 8 << 1 << 1 << 2 << uint(CS8 | PARENB | PARODD) << uint(IXON | IXOFF);
        QTest::newRow("mark") << 57600 << 8 << 1 << 3 << 0 << uint(CS8 | PARENB | PARODD | CMSPAR) << none;
        QTest::newRow("space") << 38400 << 6 << 1 << 4 << 0 << uint(CS6 | PARENB | CMSPAR) << none;
        QTest::newRow("stop code 0 is one") << 4800 << 5 << 0 << 0 << 0 << uint(CS5) << none;
        QTest::newRow("stop code 4 is one") << 4800 << 8 << 4 << 0 << 0 << uint(CS8) << none;
        QTest::newRow("arbitrary rate") << 250000 << 8 << 1 << 0 << 0 << uint(CS8) << none;
        QTest::newRow("fast standard rate") << 3000000 << 8 << 1 << 0 << 0 << uint(CS8) << none;
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
        SocatPair pair;
        QVERIFY(pair.start());
        SerialConnection c;
        configure(c, pair.a, baud, bits, stop, parity, flow);
        QVERIFY(c.open());
        QVERIFY(c.isOpen());

        // A second look at the same terminal (root passes the exclusive claim).
        const int fd = ::open(QFile::encodeName(pair.a).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 && errno == EBUSY)
            QSKIP("the exclusive claim keeps the test out (not running as root)");
        QVERIFY(fd >= 0);
        termios t{};
        QCOMPARE(::tcgetattr(fd, &t), 0);
        const int rate = platform::serialBaudRate(fd);
        ::close(fd);
        // A pty keeps every byte 8 bits wide without a parity bit: it drops
        // CSIZE and PARENB, and keeps the rest of what was asked.
        const uint kept = CSTOPB | PARODD | CMSPAR | CRTSCTS;
        QCOMPARE(uint(t.c_cflag & kept), cflagBits & kept);
        QCOMPARE(uint(t.c_iflag & (IXON | IXOFF | IXANY)), iflagBits);
        QCOMPARE(rate, baud);
        // Raw: no echo, no line editing, no signals, no translation either way.
        QCOMPARE(uint(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)), 0u);
        QCOMPARE(uint(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK)), 0u);
        QCOMPARE(uint(t.c_oflag & OPOST), 0u);
        QVERIFY(t.c_cflag & CLOCAL);
        QVERIFY(t.c_cflag & CREAD);
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
        QTest::newRow("1.5 stop bits") << "PAIR" << 8 << 3 << "配置 %1 失败（系统错误 %2）" << EINVAL;
        QTest::newRow("9 data bits") << "PAIR" << 9 << 1 << "配置 %1 失败（系统错误 %2）" << EINVAL;
    }
    void openFailures()
    {
        QFETCH(QString, port);
        QFETCH(int, bits);
        QFETCH(int, stop);
        QFETCH(QString, pattern);
        QFETCH(int, err);
        SocatPair pair;
        QVERIFY(pair.start());
        if (port == QLatin1String("PAIR"))
            port = pair.a;
        SerialConnection c;
        configure(c, port, 115200, bits, stop, 0, 0);
        QSignalSpy errors(&c, &Connection::connectionError);
        QVERIFY(!c.open());
        QVERIFY(!c.isOpen());
        QCOMPARE(errors.count(), 1);
        const QString expected = LanguageManager::tr(pattern).arg(port, platform::systemErrorText(err));
        QCOMPARE(errors.first().first().toString(), expected);
        QCOMPARE(c.lastError(), expected);
        // The refused port is free again.
        if (port == pair.a) {
            configure(c, port, 115200, 8, 1, 0, 0);
            QVERIFY(c.open());
        }
    }

    void portIsExclusiveUntilClosed()
    {
        SocatPair pair;
        QVERIFY(pair.start());
        SerialConnection first, second;
        first.setPortName(pair.a);
        second.setPortName(pair.a);
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

    void allByteValuesBothWays()
    {
        Line line;
        QByteArray received;
        connect(&line.conn, &Connection::dataReceived, this, [&](const QByteArray &d) { received += d; });
        QVERIFY(line.open(10));
        SerialConnection &c = line.conn;
        const int far = line.far;

        const int size = 64 * 1024;
        const QByteArray toFar = allByteValues(size, 0);
        const QByteArray fromFar = allByteValues(size, 3);
        for (int at = 0; at < size; at += 5000)
            c.write(toFar.mid(at, 5000));
        QByteArray atFar;
        qsizetype written = 0;
        char buf[8192];
        // Both directions at once, as a device that talks while it listens.
        for (int round = 0; round < 20000 && (atFar.size() < size || received.size() < size); ++round) {
            if (written < size) {
                const ssize_t n = ::write(far, fromFar.constData() + written, size_t(qMin<qsizetype>(4096, size - written)));
                if (n > 0)
                    written += n;
            }
            const ssize_t n = ::read(far, buf, sizeof buf);
            if (n > 0)
                atFar.append(buf, int(n));
            QTest::qWait(1);
        }
        QCOMPARE(atFar.size(), size);
        QVERIFY(atFar == toFar);
        QCOMPARE(received.size(), size);
        QVERIFY(received == fromFar);
    }

    void slowBytesArriveInBatches()
    {
        Line line;
        QList<QByteArray> batches;
        connect(&line.conn, &Connection::dataReceived, this, [&](const QByteArray &d) { batches << d; });
        QVERIFY(line.open(10));
        const int far = line.far;

        const int count = 200;
        const QByteArray sent = allByteValues(count, 1);
        for (int i = 0; i < count; ++i) {
            QCOMPARE(::write(far, sent.constData() + i, 1), ssize_t(1));
            QThread::usleep(1000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(batches.join().size(), count, 10000);
        QVERIFY(batches.join() == sent);
        // About one batch per 10 ms; a slow machine only makes them bigger.
        QVERIFY2(batches.size() <= count / 3, qPrintable(QString::number(batches.size())));
    }

    void farEndClosingIsAnError()
    {
        auto pair = std::make_unique<SocatPair>();
        QVERIFY(pair->start());
        SerialConnection c;
        c.setPortName(pair->a);
        QSignalSpy errors(&c, &Connection::connectionError);
        QSignalSpy disconnects(&c, &Connection::disconnected);
        QVERIFY(c.open());
        pair.reset();
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 10000);
        const QString prefix = LanguageManager::tr(QStringLiteral("串口读取异常，连接已断开（系统错误 %1）")).section(QLatin1Char('%'), 0, 0);
        QVERIFY2(errors.first().first().toString().startsWith(prefix), qPrintable(errors.first().first().toString()));
        QVERIFY(!c.isOpen());
        QCOMPARE(disconnects.count(), 0);
        // Writing to the dead line does nothing and reports nothing.
        c.write("x");
        c.close();
        c.write("x");
        QTest::qWait(20);
        QCOMPARE(errors.count(), 1);
    }

    void writeBeforeOpenAndResizeDoNothing()
    {
        SerialConnection c;
        QSignalSpy errors(&c, &Connection::connectionError);
        c.write("hello");
        c.resize(100, 40);
        c.close();
        QVERIFY(!c.isOpen());
        QCOMPARE(errors.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
