#pragma once

#include "connections/connection.h"

#include <array>

// The Telnet side of a session, without any I/O: bytes in, data and answers
// out. Option negotiation follows RFC 1143 (the "Q method", without the
// queue bit): an option's state changes only on a request that changes it,
// and only such a change is answered, so two peers that both answer every
// request (or a peer that mirrors us) cannot loop. Peers whose states have
// drifted apart (messages that crossed) can still answer each other for
// ever, so an option is answered only a few times until data arrives again.
// Terminal type is RFC 1091, window size RFC 1073.
class TelnetProtocol
{
public:
    enum : quint8 {
        IAC = 0xFF, DONT = 0xFE, DO = 0xFD, WONT = 0xFC, WILL = 0xFB, SB = 0xFA, SE = 0xF0,
        OptBinary = 0, OptEcho = 1, OptSuppressGoAhead = 3, OptTerminalType = 24, OptNaws = 31, OptLinemode = 34,
        TtypeIs = 0, TtypeSend = 1,
    };
    enum class State : quint8 { No, Yes, WantNo, WantYes };

    explicit TelnetProtocol(const QByteArray &terminalType = "xterm");

    // What the client says first: DO ECHO, WONT ECHO, WILL SGA, DO SGA,
    // WILL TTYPE, WILL NAWS, WONT LINEMODE, then its window size.
    QByteArray start();
    // The data bytes in the received bytes; answers are appended to *replies.
    // A command cut by the end of the read is finished by the next call.
    QByteArray receive(const QByteArray &bytes, QByteArray *replies);

    void setSize(int cols, int rows);
    // Whether a size change is to be reported: NAWS not refused.
    bool reportsWindowSize() const;
    QByteArray windowSizeReport() const;

    State localState(quint8 option) const { return m_us[option]; }   // WILL/WONT side
    State remoteState(quint8 option) const { return m_him[option]; } // DO/DONT side

    // The wire form of typed bytes: IAC doubled, line ends sent as CR LF.
    static QByteArray encode(const QByteArray &data);

    // Asks for (or gives up) binary transmission in both directions
    // (RFC 856), for bytes that must arrive unchanged; returns what to send.
    // While wanted, the peer's own offers of it are accepted too.
    QByteArray setBinary(bool wanted);
    // The wire form of bytes that must arrive unchanged: IAC doubled, and,
    // unless the peer agreed to take binary from us, CR sent as CR NUL, which
    // an NVT peer turns back into a lone CR (RFC 854).
    QByteArray encodeTransparent(const QByteArray &data) const;

private:
    void negotiate(quint8 command, quint8 option, QByteArray *replies);
    bool mayEnable(bool remoteSide, quint8 option) const;
    void subnegotiation(QByteArray *replies);

    enum class Parse : quint8 { Data, Iac, Option, Sub, SubIac };
    QByteArray m_terminalType;
    int m_cols = 80;
    int m_rows = 24;
    Parse m_parse = Parse::Data;
    quint8 m_command = 0;   // WILL/WONT/DO/DONT waiting for its option byte
    QByteArray m_sub;       // sub-negotiation so far, bounded
    std::array<State, 256> m_us{};
    std::array<State, 256> m_him{};
    std::array<quint8, 512> m_answers{}; // per side and option, since the last data
    bool m_answeredSinceData = false;
    bool m_binaryWanted = false;
};

// Telnet (telnetMode) or raw TCP over one worker thread.
class TelnetConnection : public WorkerConnection
{
    Q_OBJECT
public:
    explicit TelnetConnection(QObject *parent = nullptr);
    ~TelnetConnection() override;

    QString host;
    int port = 23;
    QString terminalType = QStringLiteral("xterm");
    bool telnetMode = true;

    class Worker;

protected:
    ConnectionWorker *createWorker(std::shared_ptr<ConnectionLink> link) override;
};
