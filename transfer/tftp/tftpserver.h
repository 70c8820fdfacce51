#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class QUdpSocket;

// A small TFTP server (RFC 1350): octet mode only, 512-byte blocks in lock
// step, no option negotiation, one UDP socket per transfer. It runs on the
// thread that owns it and reports what happens as finished, translated log
// texts through logLine(); the dialog and the headless tool attach to that.
class TftpServer : public QObject
{
    Q_OBJECT
public:
    // Requests beyond this many running transfers are turned away, and
    // beyond fewer from one address, so that one client cannot hold them all.
    static constexpr int maxTransfers = 64;
    static constexpr int maxTransfersPerClient = 8;

    // What a datagram on the listening socket asks for. A name is served by
    // its last component only, inside the served folder, whatever folders
    // lead to it ("/boot.bin", "\\pxe\\boot.bin", "a/b/boot.bin"). One whose
    // last component is none ("", ".", "..", a trailing separator), one
    // relative to a drive ("C:x.bin"), or one that holds control characters
    // or is not UTF-8, is refused as unsafe.
    struct Request {
        enum Kind { Ignore, BadMode, Unsafe, Read, Write };
        Kind kind = Ignore;
        QByteArray rawName; // as sent
        QString name;       // Read and Write: the base name
    };
    static Request parseRequest(const QByteArray &datagram);
    // The file a request's base name stands for inside the folder.
    static QString servedPath(const QString &folder, const QString &name);

    explicit TftpServer(QObject *parent = nullptr);
    ~TftpServer() override;

    // Binds the listening socket. On failure the server stays stopped and
    // errorText receives the network library's text.
    bool start(quint16 port, const QHostAddress &address = QHostAddress::Any, QString *errorText = nullptr);
    // Drops every running transfer without a word to its client and removes
    // the temporary files of unfinished uploads.
    void stop();
    bool isRunning() const { return m_listener != nullptr; }
    quint16 localPort() const;

    // The folder requests are served from, read at every request; an empty
    // folder refuses all requests.
    void setRootFolder(const QString &folder) { m_rootFolder = folder; }
    QString rootFolder() const { return m_rootFolder; }

    int transferCount() const { return int(m_transfers.size()); }
    // The time-out tick; one second unless a test shortens it.
    void setTickInterval(int milliseconds) { m_tick.setInterval(milliseconds); }

signals:
    void logLine(const QString &text);

private slots:
    void onRequestReady();
    void onDataReady();
    void onAckReady();
    void onTransferTick();

private:
    struct TftpTransfer;

    void handleRequest(const QByteArray &datagram, const QHostAddress &sender, quint16 senderPort);
    void startUpload(TftpTransfer *t, const QString &path, const QString &name);
    void startDownload(TftpTransfer *t, const QString &path, const QString &name);
    bool sendNextBlock(TftpTransfer *t);
    void readAhead(TftpTransfer *t);
    void handleOneDatagram(QObject *sender, void (TftpServer::*handle)(TftpTransfer *, const char *, qint64));
    void handleAck(TftpTransfer *t, const char *datagram, qint64 size);
    void handleData(TftpTransfer *t, const char *datagram, qint64 size);
    void finishUpload(TftpTransfer *t);
    void refuse(const QHostAddress &to, quint16 port, quint16 code, const char *message, const QString &logText);
    TftpTransfer *transferForSender(QObject *sender) const;
    void sendError(TftpTransfer *t, quint16 code, const char *message);
    void endTransfer(TftpTransfer *t, const QString &text);
    void discardTransfer(TftpTransfer *t);

    QString m_rootFolder;
    QUdpSocket *m_listener = nullptr;
    QList<TftpTransfer *> m_transfers;
    QTimer m_tick;
};
