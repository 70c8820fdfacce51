#pragma once

#include "transfer/inbandtransfer.h"
#include "transfer/linkclock.h"
#include "transfer/zmodemframe.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>

// ZMODEM (16-bit CRC) in both directions inside a session's byte stream:
// sends a list of files, or receives any number into one folder. Driven by
// feed() and a one-second tick like the other transfer objects; status texts
// and summaries are plain Chinese texts shown as they stand.
class ZmodemTransfer : public InbandTransfer
{
    Q_OBJECT
public:
    enum State {
        Idle = 0,
        RxWaitFile = 1,
        RxData = 2,
        RxFrameEnd = 3,
        TxWaitInit = 4,
        TxFileOffered = 5,
        TxData = 6,
        TxEofSent = 7,
        TxFinSent = 8,
        RxFinAnswered = 9, // our ZFIN is out; the sender's "OO" is still to come
    };
    enum SubpacketKind { None = 0, FileInfo = 1, Attention = 2, FileData = 3 };

    static constexpr int kMaxSubpacketData = Zmodem::kMaxSubpacketData;

    explicit ZmodemTransfer(QObject *parent = nullptr);
    ~ZmodemTransfer() override;

    void startSend(TransferSendFn sendFn, const QString &sessionId, const QStringList &files,
                   int variant = 0) override;
    void startReceive(TransferSendFn sendFn, const QString &sessionId, const QString &directory,
                      int variant = 0) override;
    int bufferedBytes() const { return m_scanner.bufferedBytes(); }
    // A receiver says only hex headers and CANs.
    TailFilter hostPartOfTail() const override { return m_isSender ? Zmodem::withoutReceiverFrames : nullptr; }
    // A window of data is being written, a piece at a time.
    bool writingWindow() const { return m_windowLeft > 0; }
    // How far the data may run ahead of the receiver's last ZACK now.
    quint32 aheadBound() const { return m_ahead; }
    // What went out past the receiver's last ZACK, while a file's data goes.
    qint64 pastConfirmed() const { return writingWindow() ? m_sendFile.pos() - m_ackedPos : 0; }
    // The clock the sender measures the link by and paces its writing by;
    // nullptr: the machine's. Set while no run goes; it must outlive this object.
    void setLinkClock(LinkClock *clock);

    // What every end that tells the peer sends, the user's cancel included:
    // an even run of CANs (five stop lrzsz), then what leaves a shell's line
    // as it was should the peer be gone: Ctrl+G closes a Ctrl+X prefix that
    // our data may have left open (and is no command alone), Ctrl+U takes
    // back whatever of ours the line holds (readline, zle, a cooked tty).
    static const QByteArray &stopSequence();
    // Each frame of data goes in a bracketed paste of its own (see
    // kPasteOpen in the sender): decided as a send starts.
    bool pastesFrames() const { return m_pasteFrames; }

public slots:
    void feed(const QByteArray &data) override;

protected:
    void cancelTransfer() override;
    void shellTookOver(const QByteArray &words) override;
    // sz announces itself with ZRQINIT, rz with ZRINIT.
    bool peerSpeaksFirst() const override { return true; }

private slots:
    void onTick() override;

private:
    // Input side
    void processInput();
    void handleHeader(int type, const QByteArray &bytes);
    void handleReceiverHeader(int type, const QByteArray &bytes);
    void handleSenderHeader(int type, const QByteArray &bytes);
    void handleSubpacket(QByteArrayView data, int endType);
    void acceptFileInfo(const QByteArray &info);
    void acceptEof(quint32 pos);
    void writeFileData(QByteArrayView data, int endType);
    void skipOffer();

    // Output side
    void sendHexHeader(quint8 type, const QByteArray &bytes);
    void sendBinaryHeader(quint8 type, const QByteArray &bytes);
    void sendZrinit();
    void sendZrqinit();
    void offerNextFile();
    void sendDataBurst();
    // Writes the window on while the connection has room for it, a few
    // subpackets at a time, and comes back after the event loop has turned,
    // so that what the receiver says meanwhile is read between them.
    void writeWindow();
    // A ZACK of the receiver for `pos`: the round trip and the rate it says
    // the link has, and from them how far the data may run ahead.
    void learnLink(quint32 pos);
    // A ZACK, not the stream's first, for data that went out before any
    // came back: the window opens to the rate shown by how late it came.
    void openByLateness(quint32 pos, qint64 now, qint64 bareUs);
    quint32 ackSpacing() const;
    // The bound at most twice what it was a round trip ago.
    void capGrowth(qint64 now);
    void startLinkClock();
    qint64 linkUs() const { return (m_clock ? m_clock->nowUs() : machineUs()) - m_linkStartUs; }
    // What this read brought may have waited for us rather than
    // come as the link carried it: the event loop has been held up (a busy
    // machine took the processor from us), which the beat shows by
    // running late. Such a read's ZACKs come bunched and late for reasons
    // of ours: an offer's answer among them tells no bare round trip, and
    // they tell no rate over a span of their own. Their lateness past a bare
    // round trip known before still shows the least the link carried.
    // How long what arrived now may have waited for us; 0: it did not.
    qint64 heldUpFor(qint64 now) const;
    void beat();
    // The offer answered: the round trip before any data, and the bound the
    // first stream starts from.
    void learnRoundTrip();
    void markOffered();
    // What runs ahead on a link of `rate` bytes a second and that round trip.
    quint32 aheadFor(qint64 rate, qint64 rttUs, int gain) const;
    // The most that may run ahead: see kAheadMost.
    quint32 aheadMost() const;
    // Whether a ZRPOS for `pos` asks for the stream we are already resending.
    bool resendOnItsWay(quint32 pos) const;
    bool mayWriteAhead() const;
    // Progress up to `at` of the file being sent, when its percentage moved;
    // false when a listener ended the run.
    bool reportSent(qint64 at);
    // An empty subpacket on the open data frame that asks for a ZACK.
    void askForAck();
    qint64 queueBound() const; // what the connection may hold of ours before the next piece
    // Bytes of the peer's side, host words taken out: to the scanner.
    // `after`: what follows `data` in the read, the host's if `data` ends the run.
    void take(const QByteArray &data, bool started, const QByteArray &after = {});
    // Whether what arrived says the receiver has gone: bytes that are no
    // frames (our own data echoed by a shell) where a receiver says nothing
    // but headers.
    bool echoedIn(const QByteArray &read, bool heard);
    // Whether a subpacket's end or a header's start is in `read`.
    static bool framesIn(QByteArrayView read);
    bool seekSendFile(quint32 pos, const QString &failure);
    void answerFin();
    // A receiver's end: the sender's "OO" is taken, whatever follows it is
    // left for the terminal.
    void takeOverAndOut(const QByteArray &data);
    void endAfterFin();
    // The file on offer is through: sent, or skipped by the receiver.
    void nextFileAfter(bool skipped);
    // A line of the receiver's own words while a file is on offer or sent.
    void notePeerWords(const QByteArray &line);
    QString skipReason(const QString &name) const;

    void setState(State state); // and both counters to 0
    // What an end sends to a peer that may have left its shell: `bytes`,
    // behind the end of a paste that our data may have left open.
    void sendToShell(const QByteArray &bytes);
    void abortTransfer(const QString &message);
    void finishTransfer(QString error);
    void resetSession();
    QString successText() const;
    QString sendOutcome() const;

    int m_subpacketKind = None;
    QByteArray m_finTail; // received since our ZFIN went out, or answered the sender's
    QByteArray m_lastHeader; // a ZFILE's file information rides along
    quint32 m_resumePos = 0;
    QString m_currentName;
    qint64 m_expectedSize = -1;
    quint32 m_receivedBytes = 0;
    int m_filesSent = 0;
    QStringList m_skipped; // files the receiver skipped, this run
    QString m_skipReason;  // what it said of the last one
    QStringList m_offerWords; // its lines since the current file was offered
    int m_initEchoes = 0; // ZRINITs still owed for our ZRQINITs
    qint64 m_windowLeft = 0; // bytes of the window still to be written
    quint32 m_ackedPos = 0; // the receiver's last confirmation inside the window
    // What the receiver's ZACKs tell of the link (sender).
    struct AckPoint {
        quint32 pos;
        qint64 sentUs;
    };
    std::deque<AckPoint> m_ackPoints; // ZACKs asked for and not yet come
    LinkClock *m_clock = nullptr; // nullptr: the machine's
    qint64 m_linkStartUs = -1;    // when the link began to be timed; -1: not yet
    qint64 m_minRttUs = 0;
    qint64 m_offeredUs = 0; // when the file's offer went out
    qint64 m_burstUs = 0;   // when the current stream started
    quint32 m_burstPos = 0; // and where
    qint64 m_firstAckUs = -1; // when its first ZACK came (-1: none yet)
    quint32 m_firstAckPos = 0;
    quint32 m_firstRoundBytes = 0; // of the stream, out when its first ZACK came
    qint64 m_streamBareUs = 0; // the bare round trip known when it came
    qint64 m_bareRttUs = 0; // the offers' answers, less what they may have waited for us
    bool m_resending = false; // the current stream answers a ZRPOS amid the data
    qint64 m_rate = 0; // bytes a second the receiver confirmed, at best lately
    // The best rate of this round trip and of the one before, and when this one began.
    qint64 m_peakNow = 0, m_peakBefore = 0;
    qint64 m_roundUs = 0;
    qint64 m_markUs = -1; // where the rate's current span began
    quint32 m_markPos = 0;
    int m_flatSamples = 0; // rate samples since it last grew much
    bool m_growing = true;  // the link has not yet shown itself full
    quint32 m_ahead = 0;
    qint64 m_growRoundUs = 0; // when the bound's current round trip began
    quint32 m_growBase = 0;   // and the bound then
    ClockTimer m_pump;
    ClockTimer m_beat; // runs while sending; see heldUpFor()
    qint64 m_beatDueUs = 0;
    qint64 m_heldSinceUs = -1; // when the loop was last on time, while the beat catches up
    qint64 m_readWaitUs = 0; // see heldUpFor(), of the read being taken
    int m_heard = 0;        // frames of the peer taken, for telling a read with none
    QByteArray m_unheard;   // sender: what came since the receiver's last header
    bool m_resyncing = false; // receiver: the rest of a frame we gave up on may still come
    bool m_resumeOwed = false; // receiver: a ZRPOS for a bad subpacket, sent once the read is seen
    bool m_pasteFrames = false; // sender: see pastesFrames()
    Zmodem::FrameScanner m_scanner;
    int m_retries = 0;
    int m_idleTicks = 0;
};
