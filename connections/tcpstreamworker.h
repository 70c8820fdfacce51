#pragma once

#include "connections/connection.h"

// The worker loop that Telnet, raw TCP and RLogin share: connect, greet,
// then per pass take a resize, drain the send queue and wait for input, the
// wake descriptor or 100 ms. Only this thread touches (and closes) the
// socket; the GUI thread reaches it through the link's flags and waker.
class TcpStreamWorker : public ConnectionWorker
{
    Q_OBJECT
public:
    struct Target {
        QString host;
        int port = 0;
        int bindPortLow = 0; // > 0: local port from this range (RLogin wants < 1024)
        int bindPortHigh = 0;
    };

    TcpStreamWorker(std::shared_ptr<ConnectionLink> link, Target target);

protected:
    void run() final;

    // Bytes sent once the socket is up, before connected is reported.
    virtual QByteArray greeting() { return QByteArray(); }
    // The size in the link changed (resizePending was taken).
    virtual void sizeChanged() {}
    // Once a pass (after every wake), before queued chunks are taken.
    virtual void eachPass() {}
    // The wire form of one queued chunk.
    virtual QByteArray encodeOutgoing(const QByteArray &chunk) { return chunk; }
    // The data part of received bytes; may answer through sendNow().
    virtual QByteArray decodeIncoming(const QByteArray &bytes) { return bytes; }
    // Whether to watch TCP urgent data, and what to do with an urgent byte.
    virtual bool wantsUrgent() const { return false; }
    virtual void urgentByte(quint8) {}
    // "Telnet 读取错误：%1" and the like, %1 being the error number.
    virtual QString readErrorText(int err) const = 0;
    virtual QString sendErrorText(int err) const = 0;

    // Sends what the socket takes now and keeps the rest for the loop, which
    // sends it as the socket becomes writable while it goes on reading: a
    // peer that echoes (or answers) while we send can never stall us both.
    // A failure is a link error: it is remembered, the loop ends at its next
    // check and reports it (a reset or broken pipe as the peer's close,
    // anything else as an error).
    bool sendNow(const QByteArray &bytes);
    bool linkFailed() const { return m_sendError != 0; }

private:
    bool flush();
    qsizetype unsent() const { return m_out.size() - m_outAt; }
    void reportSendError();

    Target m_target;
    int m_fd = -1;
    int m_sendError = 0;
    QByteArray m_out;       // wire bytes not yet taken by the socket
    qsizetype m_outAt = 0;  // how much of m_out went out already
};
