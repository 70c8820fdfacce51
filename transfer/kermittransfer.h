#pragma once

#include "transfer/inbandtransfer.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>

// Kermit in both directions inside a session's byte stream: a batch of files
// to a peer running "kermit -r", or into a folder from a peer running
// "kermit -s". One packet is in flight at a time; the owner links the
// connection's received bytes to feed(), hands over a send function at the
// start and shows the two signals. A one-second tick counts the silence.
//
// Status texts and summaries are plain Chinese texts shown as they stand.
class KermitTransfer : public InbandTransfer
{
    Q_OBJECT
public:
    enum State {
        Idle = 0,
        AwaitSendInit = 1,  // receiver: NAKs until the sender's S arrives
        ReceivePackets = 2, // receiver: S acknowledged, takes F A D Z B E
        AwaitReply = 3,     // sender: the packet in flight waits for its ACK
        Closing = 4,        // receiver: B acknowledged; a repeat of it is taken, unanswered
        Cancelling = 5,     // cancelled by the user: our error packet answers the peer's next packet
        Leaving = 6,        // the shell is back: its Ctrl+C goes at the next tick
    };

    // The kind of packet the sender has in flight.
    enum Phase {
        NoPhase = 0,
        SentInit = 1,
        SentFileHeader = 2,
        SentData = 3,
        SentEof = 4,
        SentBreak = 5,
    };

    explicit KermitTransfer(QObject *parent = nullptr);
    ~KermitTransfer() override;

    void startSend(TransferSendFn sendFn, const QString &sessionId, const QStringList &files,
                   int variant = 0) override;
    void startReceive(TransferSendFn sendFn, const QString &sessionId, const QString &directory,
                      int variant = 0) override;
    int checkType() const { return m_checkType; }

public slots:
    void feed(const QByteArray &data) override;

protected:
    void cancelTransfer() override;
    // A sender starts with its S packet, and a receiver that has not seen
    // our S asks for it with a NAK of its own.
    bool peerSpeaksFirst() const override { return true; }

private slots:
    void onTick() override;

private:
    void resetLink();
    void scanPackets();
    // readEnded: at the end of a read, where a packet begun may prove text.
    void noticeHostWords(bool readEnded);
    // Whether the shell's words follow the packets of the read in hand: the
    // peer sent them and left, and its shell would take our answers as typed.
    bool wordsBehindPackets() const;
    // An answer that the host's words hold back (ours here, or the frame's
    // while they settle) leaves the peer silent until its own time-out.
    void send(const QByteArray &bytes)
    {
        if (m_answersHeld || (settling() && !ending())) {
            m_answerWithheld = true;
            m_withheld = bytes;
        }
        if (!m_answersHeld)
            InbandTransfer::send(bytes);
    }
    // A live peer whose answer the host's words held back, or dropped with
    // the queue, says nothing until it gets it: the words settle a second
    // longer, and then tell by their shape (see shellTookOver()).
    int settleTicks() const override;
    // Something that is no line stands behind the host's words: a prompt.
    bool promptBehindWords() const;
    // Only the shell's own words or its prompt show that the peer has gone;
    // lines alone may be a host that talks while the peer waits on us.
    bool shellShown() const override { return m_shellSpoke || promptBehindWords(); }
    void shellTookOver(const QByteArray &words) override;
    // What the peer waits on, asked for again after the host's lines: the
    // answer they held back, else the packet in flight or a NAK of the one due.
    void askAgain();
    // The one resend a bad packet may have: the last packet again, or a NAK.
    void answerBadPacket();
    void peerLeft(const QString &text);
    void heard();
    void feedClosing();
    void endClosing(const QByteArray &hostWords);
    void handlePacket(int seq, char type, const QByteArray &data);
    void answerWithCancel(int seq, char type);
    void tellBlind();
    void onCancellingTick();
    void handleSenderPacket(int seq, char type, const QByteArray &data);
    void handleReceiverPacket(int seq, char type, const QByteArray &data);
    void acceptSendInit(int seq, const QByteArray &data);
    void receiveFileHeader(int seq, const QByteArray &data);
    void receiveData(int seq, const QByteArray &data);
    void receiveEof(int seq, const QByteArray &data);

    void advanceSender();
    void openNextFile();
    void sendDataPacket();
    bool fillSendBuffer();

    int dataRoom() const;
    int expectedSeq() const { return (m_lastSeq + 1) & 63; }
    void sendPacket(char type, const QByteArray &data);
    void keepAndSend(const QByteArray &packet);
    void sendAck(int seq, const QByteArray &data = QByteArray());
    void sendNak(int seq);
    // seq: the packet it answers; -1 for the one in flight (ours) or due next (the sender's).
    void sendError(const QString &text, int seq = -1);

    void finishTransfer(QString error);
    // The packet just read ends the run (the receiver's ACK of our B, the
    // peer's error): what follows it in that read is the host's, and must be
    // there before the end is told.
    void finishAfterPacket(const QString &error);
    void abortTransfer(const QString &message, const QString &peerText = QString());

    int m_phase = NoPhase;
    int m_filesSent = 0;
    qint64 m_sendSize = 0;
    qint64 m_sendPos = 0;     // file bytes already carried by data packets
    qint64 m_reportedPos = -1; // of this file, in the last progress report
    QByteArray m_sendBuffer;  // read ahead of m_sendPos
    int m_sendBufferPos = 0;
    int m_sendSeq = -1;
    QByteArray m_lastPacket;
    int m_peerMaxLen = 94;
    int m_eolChar = 13;
    char m_ctlPrefix = '#';
    int m_checkType = 1;

    QString m_currentName;
    qint64 m_receivedBytes = 0;
    int m_lastSeq = -1;
    bool m_repeatHeld = false; // the first repeat of m_lastSeq came, and went unanswered

    QByteArray m_rxBuffer;
    QByteArray m_notPackets; // what came since the peer's last packet and was none
    int m_packetEnd = -1; // where the packet being handled ends in m_rxBuffer
    int m_retries = 0;    // bad packets and time-outs since the last good packet
    int m_naks = 0;       // NAKs of the packet in flight
    int m_outOfStep = 0;  // replies naming another packet than the one in flight
    int m_waitTicks = 0;
    bool m_answersHeld = false; // while a packet of a read that wordsBehindPackets() is handled
    bool m_answerWithheld = false; // since the peer was last heard, an answer of ours never went
    QByteArray m_withheld;         // that answer
    // While Cancelling: the number our error packet answers the peer's
    // packet under (-1: no packet yet), a second cancel, error packets sent
    // without a turn.
    int m_cancelAnswer = -1;
    bool m_cancelUrgent = false;
    bool m_toldBlind = false;
    // Host words settling have seen a tick (set by settleTicks(), which the
    // frame asks once per tick while they settle).
    mutable bool m_wordsTicked = false;
    mutable int m_quietTicks = 0; // since the peer was last heard
    // The peer has repeated itself at its time-out in this run. gkermit
    // does so once a run only: after that it waits on us for ever, and its
    // silence no longer tells whether it lives.
    bool m_peerTimedOut = false;
    bool m_wordsLineEnded = false; // the host's last words ended with a line end
    bool m_shellSpoke = false; // since the peer was last heard: a job's end or a complaint, in the shell's words
    QString m_leavingText; // the end of a run Leaving
};
