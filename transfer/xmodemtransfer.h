#pragma once

#include "transfer/inbandtransfer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// XMODEM (one file) and YMODEM (a batch) in both directions inside a
// session's byte stream. The owner links the connection's received bytes to
// feed(), hands over a send function at the start and shows the two signals;
// the object never blocks: every step consumes what it can and returns, and
// a one-second tick counts the peer's silence.
//
// Status texts and summaries are plain Chinese texts shown as they stand.
class XmodemTransfer : public InbandTransfer
{
    Q_OBJECT
public:
    // The `mode` argument of the start operations. The main window only
    // passes Xmodem and Ymodem; the other two serve peers that need them.
    enum Mode {
        Xmodem = 0,         // 128-byte blocks; the receiver asks for CRC first
        Ymodem = 1,         // batch with header blocks, 1024-byte blocks
        Xmodem1k = 2,       // XMODEM with 1024-byte blocks when sending
        XmodemChecksum = 3, // XMODEM whose receiver asks for checksum blocks
    };

    enum State {
        Idle = 0,
        WaitReceiver = 1,
        HeaderSent = 2,
        SendingData = 3,
        EotSent = 4,
        BatchEndSent = 5,
        Polling = 6,
        Receiving = 7,
    };

    explicit XmodemTransfer(QObject *parent = nullptr);
    ~XmodemTransfer() override;

    void startSend(TransferSendFn sendFn, const QString &sessionId, const QStringList &files, int mode) override;
    void startReceive(TransferSendFn sendFn, const QString &sessionId, const QString &path, int mode) override;
    // Received bytes not consumed yet (bounded whatever the peer sends).
    int bufferedBytes() const { return int(m_rxBuffer.size()); }

public slots:
    void feed(const QByteArray &data) override;

protected:
    void cancelTransfer() override;
    // The receiver polls first; a sender waits silently.
    bool peerSpeaksFirst() const override { return m_isSender; }
    void hostLineOpening() override;
    // The host's words wait for the peer's own time-out and a second: a
    // peer that lost what was last sent is silent that long, alive. A
    // prompt among them is the shell's own: the peer is gone.
    int settleTicks() const override;

private slots:
    void onTick() override;

private:
    // Bytes that only a peer that keeps talking could pile up: a partial
    // 1024-byte block with its header and trailer fits many times over.
    static constexpr int kMaxPendingBytes = 8192;

    bool isYmodem() const { return m_mode == Ymodem; }
    int dataBlockSize() const { return (m_mode == Ymodem || m_mode == Xmodem1k) ? 1024 : 128; }
    bool isSending() const { return m_state >= WaitReceiver && m_state <= BatchEndSent; }
    // Sending: the receiver has acknowledged every block of every file, and
    // of plain XMODEM's one file the end is out (rx drops its answer to it
    // now and then as it exits).
    bool allFilesAcknowledged() const
    {
        return isSending() && (isYmodem() ? m_fileIndex >= m_files.size() : m_state == EotSent);
    }

    // Sending: the receiver's next word is a 'C' (for a file's data, or for
    // the next header).
    bool pollOwed() const
    {
        return (m_state == HeaderSent && m_headerAcked) || (m_state == EotSent && m_awaitingHeaderRequest);
    }
    // Sending, the end is out: the receiver's answer to it is all it owes.
    bool lastStep() const { return m_state == BatchEndSent || (m_state == EotSent && !isYmodem()); }

    void poll(char byte);
    void processInput();
    void processSender();
    void processReceiver();
    // `before`: the byte read before it (0 at a read's start).
    void handleSenderByte(char c, char before);
    // Sending, at the last step: the byte at `at` of m_rxBuffer is the
    // receiver's answer, not a byte of the host's words.
    bool endAnswerAt(qsizetype at) const;
    void wordsArrived(const QByteArray &words);
    // Where the prompt a shell drew at the end of `read` begins, with what
    // followed the receiver's last answer in front of it; -1 when none.
    static qsizetype promptTailAt(QByteArrayView read);
    static bool holdsPrompt(QByteArrayView words);
    // Sends a packet, unless a prompt came behind the answer it follows.
    void transmit(const QByteArray &packet);
    bool isPoll(int at) const; // the byte at `at` of m_rxBuffer, while waiting for the receiver
    void handleAcceptedBlock(quint8 number, const QByteArray &data);
    void handleHeader(const QByteArray &data);
    void handleEot();

    void sendBlock(quint8 number, const QByteArray &data);
    void sendEot();
    void startDataPhase();
    void sendNextDataBlock();
    bool readNextBlock(QByteArray *data);
    void sendNextHeader();
    void reportProgress();
    bool openReceiveFile(const QString &peerName, qint64 size);
    bool writeReceived(const QByteArray &data);
    void enterSendState(State state);
    void resendOrAbort(const QString &message);
    // The receiver's answer to what was just sent: how long it took, and
    // the nudge for it is no longer due.
    void armNudge();
    // The same for what the receiver answers at once, as soon as it is out.
    void armOfferNudge();
    void answered(char c);
    void nudgeReceiver();

    void finishTransfer(QString error);
    void abortTransfer(const QString &message);
    void peerCancelled();
    // A held cancel goes, or ends the run, when the receiver has answered.
    bool heldCancelGoes();
    // The cancel's CANs once more, or the end when they went often enough.
    void tellReceiver();
    // Silence counts afresh from `ticks`, the next tick a whole second away.
    void quietFrom(int ticks);
    void peerLeft(const QString &text);
    void shellTookOver(const QByteArray &words) override;
    void heard();

    QByteArray m_rxBuffer;
    QByteArray m_notBlocks; // receiving: what came since the peer's last block and was none
    char m_lastPoll = 0; // the last poll that went out, while receiving
    char m_lastSeen = '\n'; // the last byte of the last read while waiting for the receiver

    int m_mode = Xmodem;
    quint8 m_blockNumber = 1;
    bool m_useCrc = true;
    QByteArray m_lastPacket;
    bool m_headerAcked = false;
    bool m_awaitingHeaderRequest = false; // YMODEM: EOT acknowledged, waiting for 'C'
    qint64 m_sendSize = 0; // size of the file being sent, fixed when it is opened
    qint64 m_sentBytes = 0;
    // rx and rb empty their input right after each answer: a block of ours
    // that comes before that (the machine let us run first) is lost, and
    // they wait 6 s before they ask again, 1 s after a byte that is no
    // block. A receiver silent far longer than it has been is nudged so.
    QTimer m_nudge;
    QElapsedTimer m_sentAt;
    qint64 m_slowestAnswerUs = 0; // of late: it decays block by block
    int m_answersTimed = 0;
    bool m_nudged = false; // since the last answer
    // A nudge went and nothing came back since: the receiver may be reading
    // it away with whatever follows.
    bool m_nudgeOut = false;
    // The user's cancel tells the receiver until it has gone: each time it
    // asks again, and after each quiet spell, so many times at most.
    static constexpr int kTellings = 5;
    static constexpr int kTellAgainTicks = 2;
    bool m_cancelHeld = false;
    int m_told = 0;
    // A prompt stood behind the receiver's last answer: what that answer
    // asked for was held back, the receiver being gone.
    bool m_withholding = false;
    bool m_withheld = false;
    bool m_promptBehind = false; // among the host's words now settling

    qint64 m_expectedSize = -1;
    qint64 m_receivedBytes = 0;
    quint8 m_lastBlock = 0;
    bool m_fileDataSeen = false; // a data block of the current file was accepted
    bool m_checkSettled = false; // CRC or checksum decided by an accepted block
    bool m_settleShortBlock = false;
    bool m_eotSeen = false;
    QString m_currentName;

    int m_retries = 0;
    int m_idleTicks = 0;
};
