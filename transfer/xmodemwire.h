#pragma once

#include <QtGlobal>

// The bytes of XMODEM and YMODEM, for the two halves of their engine.
namespace xmodem {

constexpr char SOH = 0x01; // a block of 128 data bytes
constexpr char STX = 0x02; // a block of 1024
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr char CAN = 0x18;
constexpr char SUB = 0x1A; // fills the last block of a file
constexpr char POLL_CRC = 'C';

constexpr int kRetryLimit = 10; // failures in a row
// How long rx, rb, sx and sb may say nothing while they wait for us, before
// they ask again: what they sent, or what we sent them, may have been lost
// (rx and rb flush their input on a terminal as they answer). rx and rb wait
// 13 s for the first block of a file and of every 128 (5 s for the others),
// then for a second of quiet on the line.
constexpr int kPeerTimeoutSeconds = 14;

// The arithmetic sum of a checksum block.
inline quint8 checksum(const char *data, int length)
{
    quint8 sum = 0;
    for (int i = 0; i < length; ++i)
        sum = quint8(sum + quint8(data[i]));
    return sum;
}

} // namespace xmodem
