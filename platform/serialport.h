#pragma once

#include <QString>

namespace platform {

// Line settings in the numbering that saved sessions carry.
struct SerialSettings {
    int baud = 115200;
    int dataBits = 8;   // 5..8
    int stopBits = 1;   // 1 one, 2 two, 3 one and a half (refused); any other: one
    int parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int flow = 0;       // 0 none, 1 RTS/CTS, 2 XON/XOFF
};

// The device a session's port name stands for: "COM3" is /dev/ttyS2, a name
// that begins with "/" is used as it is, any other name lives in /dev. The
// "\\.\" prefix of names saved on Windows is ignored; empty means "COM1".
QString serialDevicePath(const QString &portName);

// Opens the device for reading and writing, non-blocking, without making it
// our controlling terminal, and takes it for ourselves: TIOCEXCL keeps other
// programs out, an exclusive lock keeps out other connections of ours (which
// TIOCEXCL lets through when we run as root). Returns -1 with *err on failure
// (EBUSY when the port is held).
int openSerial(const QString &devicePath, int *err);

// Fails with *err when the device is not a terminal.
bool checkSerial(int fd, int *err);

// Raw mode with the given settings. Fails with *err (EINVAL for settings the
// line cannot have, such as 1.5 stop bits or 9 data bits).
bool configureSerial(int fd, const SerialSettings &settings, int *err);

// The rate the line runs at now, whether standard or arbitrary; -1 on failure.
int serialBaudRate(int fd);

// Drops whatever waits in the input and output queues.
void purgeSerial(int fd);

void closeSerial(int fd);

// "5: Input/output error": the error number and the system's own words.
QString systemErrorText(int err);

} // namespace platform
