#pragma once

#include "transfer/inbandtransfer.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>

// ZMODEM frames: the bytes both directions put on the wire. Free functions so
// that the exact encodings can be checked on their own.
namespace Zmodem {

enum FrameType : quint8 {
    ZRQINIT = 0, ZRINIT = 1, ZSINIT = 2, ZACK = 3, ZFILE = 4, ZSKIP = 5, ZNAK = 6, ZABORT = 7,
    ZFIN = 8, ZRPOS = 9, ZDATA = 10, ZEOF = 11, ZFERR = 12, ZCRC = 13, ZCHALLENGE = 14,
    ZCOMPL = 15, ZCAN = 16, ZFREECNT = 17, ZCOMMAND = 18,
};

enum EndType : quint8 { ZCRCE = 0x68, ZCRCG = 0x69, ZCRCQ = 0x6A, ZCRCW = 0x6B };

constexpr char ZPAD = 0x2A;
constexpr char ZDLE = 0x18;

// The four header bytes of a position, least significant byte first.
QByteArray position(quint32 pos);
quint32 positionOf(const QByteArray &headerBytes);

// ZDLE escaping: every control character and its high-bit twin (ZDLE itself
// among them) as ZDLE and the byte XOR 0x40; 0x7F and 0xFF as ZDLE 'l' and
// ZDLE 'm', the only forms every receiver takes for them.
QByteArray escape(const QByteArray &data);
// "**" ZDLE "B", 14 lower-case hex digits of type, bytes and CRC, CR LF.
QByteArray hexHeader(quint8 type, const QByteArray &bytes);
// "*" ZDLE "A", then type, bytes and CRC escaped.
QByteArray binaryHeader(quint8 type, const QByteArray &bytes);
// Escaped data, ZDLE and the end byte, escaped CRC of data and end byte.
QByteArray dataSubpacket(const QByteArray &data, quint8 end);

} // namespace Zmodem

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
    };
    enum SubpacketKind { None = 0, FileInfo = 1, Attention = 2, FileData = 3 };

    // The longest data subpacket taken: what senders use by default. Longer
    // ones are refused like a bad CRC instead of being buffered without end.
    static constexpr int kMaxSubpacketData = 1024;

    explicit ZmodemTransfer(QObject *parent = nullptr);
    ~ZmodemTransfer() override;

    void startSend(TransferSendFn sendFn, const QString &sessionId, const QStringList &files,
                   int variant = 0) override;
    void startReceive(TransferSendFn sendFn, const QString &sessionId, const QString &directory,
                      int variant = 0) override;
    int bufferedBytes() const { return int(m_rxBuffer.size() - m_rxStart); }

public slots:
    void feed(const QByteArray &data) override;

protected:
    void cancelTransfer() override;

private slots:
    void onTick() override;

private:
    // Input side
    void processInput();
    bool parseHeader();
    int parseDataSubpacket();
    void consume(int count);
    void handleHeader(int type, const QByteArray &bytes);
    void handleReceiverHeader(int type, const QByteArray &bytes);
    void handleSenderHeader(int type, const QByteArray &bytes);
    void handleSubpacket(const QByteArray &data, int endType);
    void acceptFileInfo(const QByteArray &info);
    void acceptEof(quint32 pos);
    void writeFileData(const QByteArray &data, int endType);
    void skipOffer();

    // Output side
    void sendHexHeader(quint8 type, const QByteArray &bytes);
    void sendBinaryHeader(quint8 type, const QByteArray &bytes);
    void sendDataSubpacket(const QByteArray &data, quint8 end);
    void sendRaw(const QByteArray &bytes);
    void sendZrinit();
    void sendZrqinit();
    void offerNextFile();
    void sendDataBurst();
    bool seekSendFile(quint32 pos, const QString &failure);
    void answerFin();
    void nextFileAfter(bool announceSkip);

    void setState(State state); // and both counters to 0
    void abortTransfer(const QString &message);
    void finishTransfer(QString error);
    void resetSession();
    void emitStatus(const QString &text);
    QString successText() const;
    QString sendOutcome() const;

    QString m_directory;
    int m_subpacketKind = None;
    TransferSendFn m_sendFn;
    QStringList m_files;
    int m_fileIndex = 0;
    QFile m_sendFile;
    QByteArray m_lastHeader; // a ZFILE's file information rides along
    quint32 m_resumePos = 0;
    int m_windowSize = 65536;
    ReceivedFile m_recvFile;
    QString m_currentName;
    qint64 m_expectedSize = -1;
    quint32 m_receivedBytes = 0;
    int m_filesSent = 0;
    int m_filesUnopenable = 0;
    int m_initEchoes = 0; // ZRINITs still owed for our ZRQINITs
    QByteArray m_rxBuffer;
    int m_rxStart = 0; // consumed bytes at the front of m_rxBuffer
    bool m_isSender = false;
    int m_retries = 0;
    int m_idleTicks = 0;
    int m_lastPercent = -1;
    quint64 m_generation = 0;

    // Where the scan of a data subpacket stands, so that one arriving in
    // pieces is decoded once, not again from its start on every feed.
    struct SubpacketScan {
        int offset = 0;   // bytes of the subpacket looked at, from m_rxStart
        QByteArray data;  // decoded so far
        int end = -1;     // the end byte, once seen
        QByteArray crc;   // decoded CRC bytes after it
    } m_scan;
};
