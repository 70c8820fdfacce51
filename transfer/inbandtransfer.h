#pragma once

#include "transfer/transfercommon.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <utility>

// What the window's transfer launcher, xfer_peer and the tests need of an
// in-band transfer object (XMODEM/YMODEM, ZMODEM, Kermit): start it in
// either direction, feed it the session's bytes, let time pass, cancel it,
// and hear how far it got and how it ended.
//
// Time is a one-second tick. It comes from a timer of the object's own,
// or, once setManualClock(true) has been called, only from tick(), so that a
// test can let minutes of silence pass at once.
class InbandTransfer : public QObject
{
    Q_OBJECT
public:
    enum Outcome {
        Succeeded,
        Failed,    // a protocol failure, a time-out, the peer gave up, a file error
        Cancelled, // cancel(), or the object destroyed while active
    };
    Q_ENUM(Outcome)

    // `variant` picks a flavour of the protocol where there is one
    // (XmodemTransfer::Mode); the others take 0. Sending takes paths of
    // files; receiving takes a folder, or for plain XMODEM, which carries no
    // name, the file to write.
    virtual void startSend(TransferSendFn sendFn, const QString &sessionId, const QStringList &files,
                           int variant = 0) = 0;
    virtual void startReceive(TransferSendFn sendFn, const QString &sessionId, const QString &target,
                              int variant = 0) = 0;
    // Tells the peer and ends the transfer as cancelled; nothing while idle.
    // Called by a listener of this object's own signals, in the middle of a
    // protocol step, it takes effect when that step is over, so the step
    // never goes on with the transfer half torn down.
    void cancel();
    // One second passes.
    void tick();
    // Takes effect from the next start on (turning it on also stops the
    // timer of a running transfer).
    void setManualClock(bool manual);

    bool isActive() const { return m_state != 0; }
    // The session of the running transfer, or of the last one.
    QString sessionId() const { return m_sessionId; }
    // 0 when idle, else a protocol state of the class.
    int state() const { return m_state; }
    // True once the running transfer has seen the peer's first valid frame
    // (ZRINIT/ZRQINIT, XMODEM's 'C'/NAK/SOH/STX, Kermit's S packet). Until
    // then whatever arrives is more likely the shell's words ("command not
    // found") than protocol, and the session shows it to the user.
    bool peerStarted() const { return m_peerStarted; }
    // What the last feed brought after the run had ended (the host speaking
    // again, such as a shell's prompt); emptied by the call.
    QByteArray takeUnconsumed() { return std::exchange(m_unconsumed, {}); }
    // What arrives after a run that did not succeed may be the peer's tail
    // (data it still had on its way, its answer to our cancel) as well as
    // the host's words. Where the peer's part is only frames that can be
    // told (a receiver's), the host's part is what this leaves of it, and
    // the rest, however long, is the host's to show: a shell echoing what
    // a dead receiver left it. Null where the peer's tail can be anything
    // (its data), and all but the host's last words is held back.
    using TailFilter = QByteArray (*)(const QByteArray &);
    virtual TailFilter hostPartOfTail() const { return nullptr; }
    // Of bytes the peer may have had a part in, what follows its last byte
    // that is no text is the host's own (the peer's farewell, the prompt);
    // the rest is dropped.
    static QByteArray hostPartAtEnd(const QByteArray &read);
    // The user is typing a line to the host (a shell) while the run waits
    // for its peer. Nothing of ours may land inside that line, where it
    // would spoil the command that is to start the peer: while it is open
    // the run sends nothing, its time-outs counting on as before, and polls
    // again from the next tick after the line is sent. A peer that waits
    // silently for our first frame is sent it again at once. The peer's
    // first frame ends the hold too.
    void setHostLineOpen(bool open);

    // The owner's means to drop what is queued for the host and not yet
    // written (the connection's send queue). Kept across runs.
    void setDiscardFn(std::function<void()> discard) { m_discardFn = std::move(discard); }
    // What the connection still holds of what it was given; -1 once it is
    // gone or closed. Kept across runs; a sender paces itself by it, so that
    // little of ours is on its way when the peer leaves.
    void setBacklog(std::function<qint64()> backlog) { m_backlogFn = std::move(backlog); }
    // Whether the line editor that started the peer (a shell's) takes a
    // bracketed paste, as its output showed; asked as a send starts. Kept
    // across runs; none: it does not.
    void setPasteProbe(std::function<bool()> probe) { m_pasteProbe = std::move(probe); }

signals:
    void statusMessage(const QString &id, const QString &plainText);
    void transferFinished(const QString &id, bool ok, const QString &summary);
    // bytesTotal is -1 when the peer did not say how long the file is.
    void progressChanged(qint64 bytesDone, qint64 bytesTotal, const QString &fileName);
    // Emitted once per transfer, after the last statusMessage and just before
    // transferFinished; text is that last status text.
    void resultReady(InbandTransfer::Outcome outcome, const QString &text);
    // Emitted once per transfer, when peerStarted() turns true.
    void peerStartedChanged();
    // A line of the host's own (a `wall` message, a background job's
    // output) came in the middle of the run, and the peer spoke on after it:
    // the line is the user's to see, and the run goes on.
    void hostTextShown(const QByteArray &text);

public slots:
    virtual void feed(const QByteArray &data) = 0;

protected:
    explicit InbandTransfer(QObject *parent = nullptr);

    virtual void onTick() = 0;
    // The protocol's own cancel: the peer is told, then the transfer ends.
    virtual void cancelTransfer() = 0;
    // The last three signals of a transfer; error is empty on success.
    void announceEnd(const QString &statusText, const QString &error);
    // Called by an engine when it recognises the peer's first valid frame;
    // later calls do nothing. A start resets it.
    void markPeerStarted();
    void resetPeerStarted() { m_peerStarted = false; }
    // Every valid frame or packet of the peer (not only the first): it is
    // there, one resend into silence is allowed again, and host words that
    // came before it were a line of the host's amid a live run (shown, see
    // hostTextShown()).
    void heardPeer();
    // The peer's first frame came behind `words` in one read, which the
    // session then hands the run alone: the command's output and the
    // peer's greeting in front of it are the host's, drawn before the run
    // takes the stream. Nothing once the peer has started.
    void wordsBeforePeer(const QByteArray &words)
    {
        if (!m_peerStarted && !words.isEmpty())
            emit hostTextShown(words);
    }
    // Asked before sending again what the peer has not answered (a timed-out
    // block, a window, a packet with file data). True once after the peer
    // was last heard, false after that. Silence alone is no proof that the
    // peer has gone: a stopped peer (Ctrl+Z, SIGSTOP, a loaded host) goes on
    // where it was. After that one resend only small probes go out (a
    // header, a NAK), so that what lands in a shell, if the peer did die,
    // stays a few bytes; the run ends on the protocol's own patience, its
    // retries times its time-out.
    bool mayResend() { return std::exchange(m_resendAllowed, false); }
    // The engine found a line of the host's own words where the peer's
    // frames should come. A peer killed leaves the shell to say so
    // ("Killed", a prompt behind a command's output, a complaint about what
    // of ours it read); a live peer's run can carry them too (a `wall`
    // message, a background job). Which it was is told by what follows: a
    // frame of the peer within the settling time (heardPeer()), or none,
    // and the run ends through shellTookOver(). Meanwhile nothing of ours
    // goes out (see send()), and the engine's time-outs wait.
    void hostWordsArrived(const QByteArray &words);
    // Host words wait for their settling time to tell them apart.
    bool settling() const { return !m_hostWords.isEmpty(); }
    // Ticks the settling time lasts: one, or the peer's own time-out and
    // more where the peer is silent because it waits on us.
    virtual int settleTicks() const { return 1; }
    // Whether the words settling now show the shell back. An engine that
    // tells a line of a host that talks from them says no to such a line: a
    // cancel then shows the line and tells the peer as at any other time.
    virtual bool shellShown() const { return true; }
    // The settling time has passed with no frame of the peer after the
    // host's words: the shell is back. The engine ends the run with
    // peerGoneText(), `words` the host's (m_unconsumed), and nothing of ours
    // typed into the shell but what makes its line clean. This one ends
    // it writing nothing.
    virtual void shellTookOver(const QByteArray &words);
    // The run is ending: what is queued for the host and not yet written is
    // dropped, so that a peer that left is not followed by a queue of our
    // data typed into its shell. What the engine writes after this are the
    // run's last bytes. cancel() calls it first; announceEnd() calls it for a
    // run that fails when the engine did not (a successful run keeps its last
    // answer, which the peer waits for).
    void beginEnding();
    bool ending() const { return m_ending; }
    // Whether beginEnding() dropped anything of ours: the peer then never
    // got our last frame, or got it cut short.
    bool droppedAtEnding() const { return m_droppedAtEnding; }
    // A cancel the engine carries out later (it waits for its turn to tell
    // the peer): the run still ends as cancelled.
    void cancelLater() { m_cancelLater = true; }
    // Drops what is queued for the host and not yet written, the run going on.
    void dropQueued()
    {
        if (m_discardFn)
            m_discardFn();
    }
    // A file received without a length: whether `done` bytes are worth a
    // report, per 4 KiB of a small file, per 64 KiB up to a MiB and per MiB
    // after, so that a large one does not fill the terminal with status
    // lines. m_lastPercent holds the KiB last told.
    bool amountToTell(qint64 done);
    // See setBacklog(); 0 when the owner gave no means to know.
    qint64 backlog() const { return m_backlogFn ? m_backlogFn() : 0; }
    // See setPasteProbe().
    bool editorTakesPaste() const { return m_pasteProbe && m_pasteProbe(); }
    // Text a shell prints where frames should come (a prompt, "command not
    // found", "caught signal"): printable text with a line end and no
    // protocol framing. Tells that the peer has gone and the shell is back.
    static bool looksLikeHostWords(QByteArrayView read);
    // How a run ends whose peer has been seen to leave, in every protocol.
    static QString peerGoneText();
    // Where in `read` the first such line begins; -1 when none is there.
    static qsizetype hostWordsAt(QByteArrayView read);
    // What followed the host's words until the run ended: the line end
    // theirs came without, and the host's words from there, less what is
    // left of the peer's last frames (see hostWordsIn()).
    static QByteArray wordsAfter(const QByteArray &rest);
    // Takes the first line of `read` out, its line ends included.
    static QByteArray takeLine(QByteArray *read);

    // Whether giving up should tell the peer: not when it never answered,
    // where the line is a shell's that would take the protocol's cancel as
    // typed keys. The user's cancel tells a peer that may be waiting
    // silently, but not one of a protocol whose peer always speaks first:
    // typed into the shell, a ZMODEM cancel leaves an odd run of CANs
    // (Ctrl+X, a key prefix in bash) that eats the user's next key.
    bool peerToBeTold() const { return m_peerStarted || (m_cancelling && !peerSpeaksFirst()); }
    virtual bool peerSpeaksFirst() const { return false; }
    bool hostLineOpen() const { return m_hostLineOpen; }
    // Of a read that carried the peer's cancel, the host's words after it:
    // what follows its last CAN, less the backspaces with which peers wipe
    // their CANs off a terminal, and less the data the peer still had: lrzsz
    // writes its CANs as a signal comes, and the block it was writing goes
    // out after them as it exits. Nothing goes back to a peer that gave up:
    // it has left, and our cancel would be typed into the shell.
    static QByteArray pastCancel(const QByteArray &read);
    // Called as a line opens, before it is marked open: the last chance to
    // take back what the line may already hold of ours.
    virtual void hostLineOpening() {}
    // Sends again the first frame a silent peer waits for, once a line is sent.
    virtual void askPeer() {}

    // The start of every run: whatever the last run left (its files, its
    // peer, its progress) is forgotten, the run is active in `state` before
    // its first report, so that a listener can cancel it, and the clock runs.
    void beginRun(TransferSendFn sendFn, const QString &sessionId, int state, bool sending,
                  const QStringList &files = {}, const QString &target = {});
    // Stops the clock and settles the files of a run ending with `error`
    // (see ReceivedFile::finish); returns the error the run ends with.
    QString settleFiles(QString error, qint64 expectedSize, bool commitPending);
    // Nothing while the user types a line to the host, nor while the host's
    // words settle (the shell may have taken the peer's place), but the
    // run's last words.
    void send(const QByteArray &bytes)
    {
        if (m_sendFn && !m_hostLineOpen && (m_hostWords.isEmpty() || m_ending))
            m_sendFn(bytes);
    }
    // False when a listener ended this run (or started another): the caller
    // must not go on with it.
    bool emitStatus(const QString &text);
    // Opens m_sendFile on the next of m_files, from m_fileIndex on, that
    // can be read; each that cannot is skipped with a status line and
    // counted in m_filesUnopenable. False when a listener ended the run
    // meanwhile; m_sendFile is then not to be touched.
    bool openNextSendFile();
    // A run started since `generation` was taken (by a listener) is not the
    // caller's to touch.
    bool sameRun(quint64 generation) const { return generation == m_generation && m_state != 0; }

    // For the destructors: the peer is told even from inside a step.
    void cancelAtDestruction()
    {
        m_stepDepth = 0;
        cancel();
    }

    // Held by every entry point (start, feed, tick) for the length of one
    // protocol step; a cancel asked for meanwhile runs when the last one ends.
    class Step
    {
    public:
        explicit Step(InbandTransfer *owner);
        ~Step();
        Step(const Step &) = delete;
        Step &operator=(const Step &) = delete;

    private:
        QPointer<InbandTransfer> m_owner; // a listener may delete it later, not now
    };

    // The tick source: a one-second timer, or nothing in manual mode.
    class Clock
    {
    public:
        explicit Clock(InbandTransfer *owner);
        // Also restarts a running clock: the next tick is a whole second away.
        void start();
        void stop() { m_timer.stop(); }
        void setManual(bool manual);

    private:
        QTimer m_timer;
        bool m_manual = false;
    };
    Clock m_tickTimer;
    QString m_sessionId;
    int m_state = 0;
    TransferSendFn m_sendFn;
    bool m_isSender = false;
    QStringList m_files;
    int m_fileIndex = 0;
    int m_filesUnopenable = 0; // this run's files that could not be read
    QString m_target; // the folder received files go to (plain XMODEM: the file)
    QFile m_sendFile;
    ReceivedFile m_recvFile;
    int m_lastPercent = -1;
    QByteArray m_unconsumed; // see takeUnconsumed(); set by an engine as its run ends
    quint64 m_generation = 0; // tells a run started from a signal handler apart

private:
    std::function<void()> m_discardFn;
    std::function<qint64()> m_backlogFn;
    std::function<bool()> m_pasteProbe;
    bool m_resendAllowed = false;
    QByteArray m_hostWords; // see hostWordsArrived(); settling while not empty
    int m_settledTicks = 0;
    bool m_ending = false;
    bool m_droppedAtEnding = false;
    bool m_cancelling = false;
    bool m_cancelLater = false;
    bool m_cancelPending = false;
    int m_stepDepth = 0;
    bool m_peerStarted = false;
    bool m_hostLineOpen = false;
};
