#include "platform/serialport.h"

#include <QRegularExpression>

// The kernel's own termios2 (any bit rate through BOTHER) is declared by
// <asm/termbits.h>, whose struct termios clashes with the C library's: this
// file therefore never includes <termios.h> and speaks to the line through
// ioctl only (TCGETS2/TCSETS2, TCFLSH).
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

QString serialDevicePath(const QString &portName)
{
    QString name = portName.trimmed();
    if (name.startsWith(QLatin1String("\\\\.\\")))
        name = name.mid(4);
    if (name.isEmpty())
        name = QStringLiteral("COM1");
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]{0,3})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto m = com.match(name);
    if (m.hasMatch())
        return QStringLiteral("/dev/ttyS%1").arg(m.captured(1).toInt() - 1);
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QStringLiteral("/dev/") + name;
}

int openSerial(const QString &devicePath, int *err)
{
    const QByteArray path = devicePath.toLocal8Bit();
    int fd;
    do {
        fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return -1;
    }
    // Not a terminal: refused later by checkSerial with a clearer message.
    ::ioctl(fd, TIOCEXCL);
    return fd;
}

bool checkSerial(int fd, int *err)
{
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) {
        *err = errno;
        return false;
    }
    return true;
}

namespace {

struct RateCode {
    int rate;
    tcflag_t code;
};

constexpr RateCode kStandardRates[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200},
    {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400},
    {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
    {500000, B500000}, {576000, B576000}, {921600, B921600}, {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t rateCode(int rate)
{
    for (const RateCode &r : kStandardRates) {
        if (r.rate == rate)
            return r.code;
    }
    return BOTHER;
}

// CS5 is 0: validity is asked separately.
bool validDataBits(int dataBits)
{
    return dataBits >= 5 && dataBits <= 8;
}

tcflag_t sizeFlag(int dataBits)
{
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

} // namespace

bool configureSerial(int fd, const SerialSettings &s, int *err)
{
    // 1.5 stop bits exist only for 5-bit bytes on a few UARTs, and termios
    // cannot ask for them at all: refuse rather than silently run with one.
    if (!validDataBits(s.dataBits) || s.stopBits == 3 || s.baud <= 0 || s.parity < 0 || s.parity > 4) {
        *err = EINVAL;
        return false;
    }
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) {
        *err = errno;
        return false;
    }
    // Raw: every byte passes unchanged in both directions. Parity is sent and
    // stripped but not checked (no INPCK): a checked error would replace the
    // byte by NUL, and the user would rather see what the line carried.
    tio.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL
                             | IXON | IXOFF | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    tio.c_oflag &= ~tcflag_t(OPOST);
    tio.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS
                             | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CREAD | CLOCAL | sizeFlag(s.dataBits);
    if (s.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    switch (s.parity) {
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break; // bit always 1
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;          // bit always 0
    default: break;
    }
    if (s.flow == 1)
        tio.c_cflag |= CRTSCTS;
    else if (s.flow == 2)
        tio.c_iflag |= IXON | IXOFF;
    tio.c_cflag |= rateCode(s.baud); // input rate: same as output
    tio.c_ispeed = tio.c_ospeed = speed_t(s.baud);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::ioctl(fd, TCSETS2, &tio) != 0) {
        *err = errno;
        return false;
    }
    // Raise DTR, and RTS unless the hardware handshake drives it. Lines
    // without modem control (ptys, some adapters) refuse this harmlessly.
    int lines = TIOCM_DTR | (s.flow == 1 ? 0 : TIOCM_RTS);
    ::ioctl(fd, TIOCMBIS, &lines);
    return true;
}

int serialBaudRate(int fd)
{
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0)
        return -1;
    return int(tio.c_ospeed);
}

void purgeSerial(int fd)
{
    ::ioctl(fd, TCFLSH, TCIOFLUSH);
}

void closeSerial(int fd)
{
    if (fd < 0)
        return;
    // The exclusive claim belongs to the terminal, not to this descriptor:
    // give it back in case someone else still holds the terminal open.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd); // releases the lock
}

QString systemErrorText(int err)
{
    return QStringLiteral("%1: %2").arg(err).arg(QString::fromLocal8Bit(::strerror(err)));
}

} // namespace platform
