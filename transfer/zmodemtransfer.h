#pragma once

#include "transfer/inbandtransfer.h"
#include "transfer/zmodemframe.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>

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

public slots:
    void feed(const QByteArray &data) override;

protected:
    void cancelTransfer() override;
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
    bool seekSendFile(quint32 pos, const QString &failure);
    void answerFin();
    // A receiver's end: the sender's "OO" is taken, whatever follows it is
    // left for the terminal.
    void takeOverAndOut(const QByteArray &data);
    void endAfterFin();
    void nextFileAfter(bool announceSkip);

    void setState(State state); // and both counters to 0
    void abortTransfer(const QString &message);
    void finishTransfer(QString error);
    void resetSession();
    QString successText() const;
    QString sendOutcome() const;

    int m_subpacketKind = None;
    QByteArray m_finTail; // received since our ZFIN went out, or answered the sender's
    QByteArray m_lastHeader; // a ZFILE's file information rides along
    quint32 m_resumePos = 0;
    int m_windowSize = 65536;
    QString m_currentName;
    qint64 m_expectedSize = -1;
    quint32 m_receivedBytes = 0;
    int m_filesSent = 0;
    int m_filesUnopenable = 0;
    int m_initEchoes = 0; // ZRINITs still owed for our ZRQINITs
    Zmodem::FrameScanner m_scanner;
    int m_retries = 0;
    int m_idleTicks = 0;
};
