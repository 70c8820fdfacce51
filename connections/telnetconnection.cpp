#include "connections/telnetconnection.h"

#include "connections/tcpstreamworker.h"
#include "core/languagemanager.h"

#include <algorithm>
#include <cstring>

namespace {

// A sub-negotiation longer than this is consumed but not kept: a peer that
// never sends IAC SE can hide its own data, not fill our memory.
constexpr int kMaxSubnegotiation = 512;
// Answers to one option without data in between; a password prompt that
// turns echo off and on again comes with text, a negotiation loop does not.
constexpr quint8 kMaxAnswersWithoutData = 4;

bool remoteMayEnable(quint8 option)
{
    using P = TelnetProtocol;
    return option == P::OptEcho || option == P::OptSuppressGoAhead || option == P::OptTerminalType
        || option == P::OptNaws || option == P::OptLinemode;
}

// LINEMODE (RFC 1184) is announced WONT and its sub-negotiation is not
// implemented, so a DO LINEMODE is refused.
bool localMayEnable(quint8 option)
{
    using P = TelnetProtocol;
    return option == P::OptSuppressGoAhead || option == P::OptTerminalType || option == P::OptNaws;
}

void appendCommand(QByteArray *out, quint8 command, quint8 option)
{
    out->append(char(TelnetProtocol::IAC));
    out->append(char(command));
    out->append(char(option));
}

// Inside a sub-negotiation a data byte 0xFF goes twice (RFC 854/1073).
void appendEscaped(QByteArray *out, quint8 byte)
{
    out->append(char(byte));
    if (byte == TelnetProtocol::IAC)
        out->append(char(byte));
}

} // namespace

TelnetProtocol::TelnetProtocol(const QByteArray &terminalType)
    : m_terminalType(terminalType)
{
    m_us.fill(State::No);
    m_him.fill(State::No);
}

QByteArray TelnetProtocol::start()
{
    QByteArray out;
    appendCommand(&out, DO, OptEcho);
    m_him[OptEcho] = State::WantYes;
    appendCommand(&out, WONT, OptEcho);
    appendCommand(&out, WILL, OptSuppressGoAhead);
    m_us[OptSuppressGoAhead] = State::WantYes;
    appendCommand(&out, DO, OptSuppressGoAhead);
    m_him[OptSuppressGoAhead] = State::WantYes;
    appendCommand(&out, WILL, OptTerminalType);
    m_us[OptTerminalType] = State::WantYes;
    appendCommand(&out, WILL, OptNaws);
    m_us[OptNaws] = State::WantYes;
    appendCommand(&out, WONT, OptLinemode);
    out += windowSizeReport();
    return out;
}

void TelnetProtocol::setSize(int cols, int rows)
{
    m_cols = qBound(0, cols, 0xFFFF);
    m_rows = qBound(0, rows, 0xFFFF);
}

bool TelnetProtocol::reportsWindowSize() const
{
    return m_us[OptNaws] == State::Yes || m_us[OptNaws] == State::WantYes;
}

QByteArray TelnetProtocol::windowSizeReport() const
{
    QByteArray out;
    out.append(char(IAC)).append(char(SB)).append(char(OptNaws));
    appendEscaped(&out, quint8(m_cols >> 8));
    appendEscaped(&out, quint8(m_cols));
    appendEscaped(&out, quint8(m_rows >> 8));
    appendEscaped(&out, quint8(m_rows));
    out.append(char(IAC)).append(char(SE));
    return out;
}

QByteArray TelnetProtocol::encode(const QByteArray &data)
{
    if (std::none_of(data.cbegin(), data.cend(), [](char c) { return quint8(c) == IAC || c == '\r' || c == '\n'; }))
        return data;
    QByteArray out;
    out.reserve(data.size() + data.size() / 8 + 2);
    const int n = data.size();
    for (int i = 0; i < n; ++i) {
        const char c = data[i];
        if (quint8(c) == IAC) {
            out.append(c).append(c);
        } else if (c == '\r') {
            out.append("\r\n", 2);
            if (i + 1 < n && data[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out.append("\r\n", 2);
        } else {
            out.append(c);
        }
    }
    return out;
}

QByteArray TelnetProtocol::setBinary(bool wanted)
{
    m_binaryWanted = wanted;
    QByteArray out;
    const auto ask = [&](State &state, quint8 yes, quint8 no) {
        if (wanted && state != State::Yes && state != State::WantYes) {
            appendCommand(&out, yes, OptBinary);
            state = State::WantYes;
        } else if (!wanted && state != State::No && state != State::WantNo) {
            appendCommand(&out, no, OptBinary);
            state = State::WantNo;
        }
    };
    ask(m_us[OptBinary], WILL, WONT);
    ask(m_him[OptBinary], DO, DONT);
    return out;
}

QByteArray TelnetProtocol::encodeTransparent(const QByteArray &data) const
{
    const bool binary = m_us[OptBinary] == State::Yes;
    QByteArray out;
    out.reserve(data.size() + data.size() / 64 + 2);
    for (const char c : data) {
        out.append(c);
        if (quint8(c) == IAC)
            out.append(c);
        else if (c == '\r' && !binary)
            out.append('\0');
    }
    return out;
}

bool TelnetProtocol::mayEnable(bool remoteSide, quint8 option) const
{
    if (option == OptBinary)
        return m_binaryWanted;
    return remoteSide ? remoteMayEnable(option) : localMayEnable(option);
}

QByteArray TelnetProtocol::receive(const QByteArray &bytes, QByteArray *replies)
{
    QByteArray data;
    data.reserve(bytes.size());
    const char *p = bytes.constData();
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char ch = p[i];
        const quint8 c = quint8(ch);
        switch (m_parse) {
        case Parse::Data: {
            // Plain data runs up to the next IAC: copy it in one piece.
            const void *iac = std::memchr(p + i, IAC, size_t(n - i));
            const qsizetype end = iac ? static_cast<const char *>(iac) - p : n;
            data.append(p + i, end - i);
            if (end > i && m_answeredSinceData) {
                m_answers.fill(0);
                m_answeredSinceData = false;
            }
            i = end;
            if (iac)
                m_parse = Parse::Iac;
            break;
        }
        case Parse::Iac:
            if (c == IAC) {
                data.append(ch);
                m_answeredSinceData = false;
                m_answers.fill(0);
                m_parse = Parse::Data;
            } else if (c >= WILL && c <= DONT) {
                m_command = c;
                m_parse = Parse::Option;
            } else if (c == SB) {
                m_sub.clear();
                m_parse = Parse::Sub;
            } else {
                m_parse = Parse::Data; // NOP, GA, DM, a stray SE: dropped
            }
            break;
        case Parse::Option:
            negotiate(m_command, c, replies);
            m_parse = Parse::Data;
            break;
        case Parse::Sub:
            if (c == IAC)
                m_parse = Parse::SubIac;
            else if (m_sub.size() < kMaxSubnegotiation)
                m_sub.append(ch);
            break;
        case Parse::SubIac:
            if (c == SE) {
                subnegotiation(replies);
                m_parse = Parse::Data;
            } else {
                if (c == IAC && m_sub.size() < kMaxSubnegotiation)
                    m_sub.append(ch);
                m_parse = Parse::Sub;
            }
            break;
        }
    }
    return data;
}

void TelnetProtocol::negotiate(quint8 command, quint8 option, QByteArray *replies)
{
    const bool remoteSide = command == WILL || command == WONT;
    const bool enable = command == WILL || command == DO;
    State &state = remoteSide ? m_him[option] : m_us[option];
    const quint8 yes = remoteSide ? DO : WILL;
    const quint8 no = remoteSide ? DONT : WONT;
    const bool acceptable = mayEnable(remoteSide, option);
    const bool answers = enable ? state == State::No : state == State::Yes;
    if (answers) {
        quint8 &count = m_answers[(remoteSide ? 256 : 0) + option];
        if (count >= kMaxAnswersWithoutData)
            return;
        ++count;
        m_answeredSinceData = true;
    }

    if (enable) {
        switch (state) {
        case State::No:
            if (acceptable) {
                state = State::Yes;
                appendCommand(replies, yes, option);
                // Window size agreed only now (RFC 1073): report it.
                if (!remoteSide && option == OptNaws)
                    *replies += windowSizeReport();
            } else {
                appendCommand(replies, no, option);
            }
            break;
        case State::WantYes:
            state = State::Yes; // the peer's answer to our request
            break;
        case State::WantNo:
            state = State::No;  // our refusal answered by an enable: RFC 1143 error case
            break;
        case State::Yes:
            break;
        }
    } else {
        if (state == State::Yes)
            appendCommand(replies, no, option);
        state = State::No;
    }
}

void TelnetProtocol::subnegotiation(QByteArray *replies)
{
    if (m_sub.size() >= 2 && quint8(m_sub[0]) == OptTerminalType && quint8(m_sub[1]) == TtypeSend) {
        replies->append(char(IAC)).append(char(SB)).append(char(OptTerminalType)).append(char(TtypeIs));
        for (const char c : m_terminalType)
            appendEscaped(replies, quint8(c));
        replies->append(char(IAC)).append(char(SE));
    }
    m_sub.clear();
}

class TelnetConnection::Worker : public TcpStreamWorker
{
public:
    Worker(std::shared_ptr<ConnectionLink> link, Target target, const QByteArray &terminalType, bool telnetMode)
        : TcpStreamWorker(std::move(link), std::move(target))
        , m_telnet(terminalType)
        , m_telnetMode(telnetMode)
    {
    }

protected:
    QByteArray greeting() override
    {
        if (!m_telnetMode)
            return QByteArray();
        m_telnet.setSize(link().pendingCols.load(), link().pendingRows.load());
        return m_telnet.start();
    }

    void sizeChanged() override
    {
        if (!m_telnetMode)
            return;
        m_telnet.setSize(link().pendingCols.load(), link().pendingRows.load());
        if (m_telnet.reportsWindowSize())
            sendNow(m_telnet.windowSizeReport());
    }

    // A transfer asks for binary mode as it starts and gives it up when it
    // ends; the chunks queued meanwhile go out unchanged but for IAC (and CR
    // where the peer refused).
    void eachPass() override
    {
        if (m_telnetMode && link().transparent != m_binaryWanted) {
            m_binaryWanted = !m_binaryWanted;
            sendNow(m_telnet.setBinary(m_binaryWanted));
        }
    }

    QByteArray encodeOutgoing(const QByteArray &chunk) override
    {
        if (!m_telnetMode)
            return chunk;
        eachPass();
        return m_binaryWanted ? m_telnet.encodeTransparent(chunk) : TelnetProtocol::encode(chunk);
    }

    QByteArray decodeIncoming(const QByteArray &bytes) override
    {
        if (!m_telnetMode)
            return bytes;
        QByteArray replies;
        const QByteArray data = m_telnet.receive(bytes, &replies);
        sendNow(replies); // answers go before the data of the same read is shown
        return data;
    }

    QString readErrorText(int err) const override
    {
        return LanguageManager::tr("Telnet 读取错误：%1").arg(err);
    }

    QString sendErrorText(int err) const override
    {
        return LanguageManager::tr("Telnet 发送错误：%1").arg(err);
    }

private:
    TelnetProtocol m_telnet;
    bool m_telnetMode;
    bool m_binaryWanted = false;
};

TelnetConnection::TelnetConnection(QObject *parent)
    : WorkerConnection(parent)
{
}

TelnetConnection::~TelnetConnection()
{
    close();
}

ConnectionWorker *TelnetConnection::createWorker(std::shared_ptr<ConnectionLink> link)
{
    TcpStreamWorker::Target target;
    target.host = host;
    target.port = port;
    return new Worker(std::move(link), target, terminalType.toUtf8(), telnetMode);
}
