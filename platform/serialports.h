#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// The serial lines this machine has, as device base names ("ttyS0",
// "ttyUSB0", "ttyACM1"), read from the kernel's tty class folder. Only
// entries backed by a device count (virtual consoles and ptys have none);
// 8250-style ports that the kernel lists without a UART behind them (type 0)
// are left out. Sorted by name stem, then by number. `classDir` lets tests
// hand in a fake tree.
QStringList listSerialPorts(const QString &classDir = QStringLiteral("/sys/class/tty"));

} // namespace platform
