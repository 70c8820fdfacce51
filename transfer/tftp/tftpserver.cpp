#include "transfer/tftp/tftpserver.h"

#include "core/languagemanager.h"
#include "platform/commitfile.h"
#include "platform/safefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QUdpSocket>

#include <algorithm>
#include <cerrno>

namespace {

enum Opcode : quint16 { OpRrq = 1, OpWrq = 2, OpData = 3, OpAck = 4, OpError = 5 };

constexpr int blockSize = 512;
constexpr int maxDataPacket = blockSize + 4;
constexpr int downloadResends = 5;     // resends of the last DATA before giving up
constexpr int uploadIdleTicks = 31;    // silent ticks an upload survives
// Larger than any legal packet so that oversized datagrams are seen whole
// enough to be recognised instead of being silently truncated to size.
constexpr int receiveBuffer = 65536;

quint16 word(const char *p)
{
    return quint16((quint8(p[0]) << 8) | quint8(p[1]));
}

void putWord(QByteArray &out, quint16 v)
{
    out.append(char(v >> 8));
    out.append(char(v & 0xff));
}

QByteArray makeAck(quint16 block)
{
    QByteArray p;
    putWord(p, OpAck);
    putWord(p, block);
    return p;
}

QByteArray makeError(quint16 code, const char *message)
{
    QByteArray p;
    putWord(p, OpError);
    putWord(p, code);
    p.append(message);
    p.append('\0');
    return p;
}

// A dual-stack socket reports IPv4 clients as ::ffff:a.b.c.d. Answering from
// an IPv6 socket works only while the system allows mapped addresses, so the
// client is answered on the family it really used.
QHostAddress plainAddress(const QHostAddress &address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    const Q_IPV6ADDR a = address.toIPv6Address();
    for (int i = 0; i < 10; ++i) {
        if (a[i] != 0)
            return address;
    }
    if (a[10] != 0xff || a[11] != 0xff)
        return address;
    return QHostAddress(quint32((a[12] << 24) | (a[13] << 16) | (a[14] << 8) | a[15]));
}

// Names that must not reach the file system: control characters (log
// injection, terminal escapes) and byte strings that are not UTF-8 (they
// would not name the file the client asked for). Folders in a name, a leading
// "/" or "\\" included, are no reason to refuse: network-boot clients send
// absolute paths, and only the last component is ever used.
bool isUnsafeName(const QByteArray &raw, QString *decoded)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    *decoded = utf8.decode(raw);
    if (utf8.hasError())
        return true;
    return std::any_of(raw.cbegin(), raw.cend(), [](char c) { return quint8(c) < 0x20 || c == 0x7f; });
}

// "C:name" is, for a Windows client, a name in the current folder of drive
// C: neither a plain name nor a path whose last component could stand for it.
bool isDriveRelative(const QString &name)
{
    return name.size() >= 2 && name[1] == QLatin1Char(':') && name[0].unicode() < 0x80 && name[0].isLetter();
}

QString printable(const QByteArray &raw)
{
    QString s = QString::fromUtf8(raw);
    for (QChar &c : s) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    }
    return s;
}

} // namespace

struct TftpServer::TftpTransfer
{
    QUdpSocket *socket = nullptr;
    QFile file;
    quint16 block = 0;
    QByteArray lastPacket;
    QByteArray nextPacket; // download: the block after lastPacket, read ahead
    bool readFailed = false;
    int idleTicks = 0;
    bool upload = false;
    bool finalSent = false;
    QString finalPath;
    QHostAddress client;
    QString peer;
    QString name;      // base name shown in log lines
    QString tempPath;  // upload: the ".part-" file
    qint64 size = 0;   // download: file size; upload: bytes written
};

TftpServer::TftpServer(QObject *parent) : QObject(parent)
{
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, &TftpServer::onTransferTick);
}

TftpServer::~TftpServer()
{
    stop();
}

bool TftpServer::start(quint16 port, const QHostAddress &address, QString *errorText)
{
    if (m_listener)
        return true;
    auto *listener = new QUdpSocket(this);
    if (!listener->bind(address, port, QAbstractSocket::DefaultForPlatform)) {
        if (errorText)
            *errorText = listener->errorString();
        listener->deleteLater();
        return false;
    }
    m_listener = listener;
    connect(m_listener, &QUdpSocket::readyRead, this, &TftpServer::onRequestReady);
    m_tick.start();
    return true;
}

void TftpServer::stop()
{
    for (TftpTransfer *t : std::as_const(m_transfers))
        discardTransfer(t);
    m_transfers.clear();
    m_tick.stop();
    if (m_listener) {
        m_listener->disconnect(this);
        // Closed now so that the port can be bound again at once.
        m_listener->close();
        m_listener->deleteLater();
        m_listener = nullptr;
    }
}

quint16 TftpServer::localPort() const
{
    return m_listener ? m_listener->localPort() : 0;
}

void TftpServer::onRequestReady()
{
    QByteArray buffer(receiveBuffer, Qt::Uninitialized);
    while (m_listener && m_listener->hasPendingDatagrams()) {
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 n = m_listener->readDatagram(buffer.data(), buffer.size(), &sender, &senderPort);
        if (n < 0 || sender.isNull() || senderPort == 0)
            continue;
        handleRequest(QByteArray(buffer.constData(), n), plainAddress(sender), senderPort);
    }
}

TftpServer::Request TftpServer::parseRequest(const QByteArray &datagram)
{
    Request r;
    if (datagram.size() < 4)
        return r;
    const quint16 op = word(datagram.constData());
    if (op != OpRrq && op != OpWrq)
        return r;
    const int nameEnd = datagram.indexOf('\0', 2);
    if (nameEnd < 0)
        return r;
    const int modeEnd = datagram.indexOf('\0', nameEnd + 1);
    if (modeEnd < 0)
        return r;
    const QString mode = QString::fromLatin1(datagram.mid(nameEnd + 1, modeEnd - nameEnd - 1)).toLower();
    if (mode != QLatin1String("octet") && mode != QLatin1String("binary")) {
        r.kind = Request::BadMode;
        return r;
    }
    r.rawName = datagram.mid(2, nameEnd - 2);
    QString fullName;
    const bool unsafe = isUnsafeName(r.rawName, &fullName);
    const int sep = std::max(fullName.lastIndexOf(QLatin1Char('/')), fullName.lastIndexOf(QLatin1Char('\\')));
    r.name = fullName.mid(sep + 1);
    // A name without a file part must not fall back to the folder itself.
    if (unsafe || r.name.isEmpty() || r.name == QLatin1String(".") || r.name == QLatin1String("..")
        || (sep < 0 && isDriveRelative(fullName))) {
        r.kind = Request::Unsafe;
        r.name.clear();
        return r;
    }
    r.kind = op == OpWrq ? Request::Write : Request::Read;
    return r;
}

QString TftpServer::servedPath(const QString &folder, const QString &name)
{
    // Not QDir::filePath: it takes a name starting with ':' for a resource
    // path and returns it alone, which the file system reads as relative to
    // the working folder.
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

void TftpServer::handleRequest(const QByteArray &datagram, const QHostAddress &sender, quint16 senderPort)
{
    const Request r = parseRequest(datagram);
    if (r.kind == Request::Ignore)
        return;
    if (r.kind == Request::BadMode) {
        m_listener->writeDatagram(makeError(0, "only octet mode"), sender, senderPort);
        return;
    }
    const QString peer = QStringLiteral("%1:%2").arg(sender.toString(), QString::number(senderPort));
    if (r.kind == Request::Unsafe) {
        refuse(sender, senderPort, 2, "access violation",
               LanguageManager::tr("[%1] 拒绝不安全的文件名：%2").arg(peer, printable(r.rawName)));
        return;
    }
    const QString &name = r.name;
    // An empty folder would mean whatever the process's working folder is.
    const QString folder = m_rootFolder;
    if (folder.isEmpty()) {
        refuse(sender, senderPort, 2, "access violation",
               LanguageManager::tr("[%1] 未设置服务目录，拒绝请求：%2").arg(peer, name));
        return;
    }
    const auto fromSender = std::count_if(m_transfers.cbegin(), m_transfers.cend(),
                                          [&](const TftpTransfer *t) { return t->client == sender; });
    if (fromSender >= maxTransfersPerClient) {
        refuse(sender, senderPort, 0, "too many transfers from this address",
               LanguageManager::tr("[%1] 该地址同时传输数已达上限，拒绝请求：%2").arg(peer, name));
        return;
    }
    if (m_transfers.size() >= maxTransfers) {
        refuse(sender, senderPort, 0, "server busy",
               LanguageManager::tr("[%1] 同时传输数已达上限，拒绝请求：%2").arg(peer, name));
        return;
    }

    auto *t = new TftpTransfer;
    t->upload = r.kind == Request::Write;
    t->client = sender;
    t->peer = peer;
    t->name = name;
    t->socket = new QUdpSocket(this);
    t->socket->connectToHost(sender, senderPort);
    if (t->socket->state() != QAbstractSocket::ConnectedState) {
        t->socket->deleteLater();
        delete t;
        return;
    }
    m_transfers.append(t);

    const QString path = servedPath(folder, name);
    // The client asked for a path the folder does not have: say which file
    // stands for it, so that a wrong guess is seen in the log.
    if (r.rawName != name.toUtf8())
        emit logLine(LanguageManager::tr("[%1] 请求 %2，对应服务目录中的文件 %3").arg(peer, printable(r.rawName), QDir::toNativeSeparators(path)));
    if (t->upload)
        startUpload(t, path, name);
    else
        startDownload(t, path, name);
}

void TftpServer::refuse(const QHostAddress &to, quint16 port, quint16 code, const char *message, const QString &logText)
{
    m_listener->writeDatagram(makeError(code, message), to, port);
    emit logLine(logText);
}

void TftpServer::startUpload(TftpTransfer *t, const QString &path, const QString &name)
{
    t->finalPath = path;
    int fd = -1;
    // Never reuse a name: a file or link already there is someone else's.
    if (platform::isReplaceableTarget(path)) {
        for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
            t->tempPath = path + QStringLiteral(".part-") + QString::number(QRandomGenerator::global()->generate(), 16);
            fd = platform::createExclusive(t->tempPath);
            if (fd < 0 && errno != EEXIST)
                break;
        }
    }
    if (fd < 0 || !t->file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            QFile::remove(t->tempPath); // created but not adopted
        t->tempPath.clear();
        sendError(t, 2, "cannot create file");
        endTransfer(t, LanguageManager::tr("上传 %1 失败：无法创建文件").arg(name));
        return;
    }
    t->socket->write(makeAck(0));
    connect(t->socket, &QUdpSocket::readyRead, this, &TftpServer::onDataReady);
    emit logLine(LanguageManager::tr("[%1] 上传开始：%2").arg(t->peer, name));
}

void TftpServer::startDownload(TftpTransfer *t, const QString &path, const QString &name)
{
    const int fd = platform::openRegularForReading(path);
    if (fd < 0 || !t->file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        sendError(t, 1, "file not found");
        endTransfer(t, LanguageManager::tr("下载 %1 失败：文件不存在").arg(name));
        return;
    }
    t->size = t->file.size();
    if (!sendNextBlock(t))
        return;
    connect(t->socket, &QUdpSocket::readyRead, this, &TftpServer::onAckReady);
    emit logLine(LanguageManager::tr("[%1] 下载开始：%2 (%3 字节)").arg(t->peer, name, QString::number(t->size)));
}

// Reads the block after the one in flight into nextPacket, so that its ACK is
// answered without waiting for the file: the client is busy with the block
// meanwhile. A read error is kept for that answer.
void TftpServer::readAhead(TftpTransfer *t)
{
    QByteArray &p = t->nextPacket;
    p.resize(maxDataPacket); // the buffer of the block before last: no allocation
    const qint64 n = t->file.read(p.data() + 4, blockSize);
    if (n < 0) {
        t->readFailed = true;
        p.resize(0);
        return;
    }
    const quint16 block = quint16(t->block + 1); // wraps from 65535 to 0
    p[0] = 0;
    p[1] = char(OpData);
    p[2] = char(block >> 8);
    p[3] = char(block & 0xff);
    p.resize(4 + n);
}

// Sends the block after the current one. A read error ends the transfer with
// an ERROR instead of passing a short block off as the end of the file.
bool TftpServer::sendNextBlock(TftpTransfer *t)
{
    if (t->nextPacket.isEmpty())
        readAhead(t);
    if (t->readFailed) {
        sendError(t, 0, "file read failed");
        endTransfer(t, LanguageManager::tr("下载 %1 失败：读取文件出错").arg(t->name));
        return false;
    }
    ++t->block;
    std::swap(t->lastPacket, t->nextPacket);
    t->socket->write(t->lastPacket);
    t->finalSent = t->lastPacket.size() < maxDataPacket;
    t->nextPacket.resize(0);
    if (!t->finalSent)
        readAhead(t);
    return true;
}

TftpServer::TftpTransfer *TftpServer::transferForSender(QObject *sender) const
{
    auto *socket = qobject_cast<QUdpSocket *>(sender);
    if (!socket)
        return nullptr;
    for (TftpTransfer *t : m_transfers) {
        if (t->socket == socket)
            return t;
    }
    return nullptr;
}

// Hands one datagram of the sender's transfer to handle(). One, not all that
// are pending: the answer to it has just gone out, so the socket is empty
// until the peer replies, and asking again would cost a system call per
// block for nothing. A datagram left behind wakes the loop again.
void TftpServer::handleOneDatagram(QObject *sender, void (TftpServer::*handle)(TftpTransfer *, const char *, qint64))
{
    TftpTransfer *t = transferForSender(sender);
    if (!t)
        return;
    char buffer[receiveBuffer];
    const qint64 n = t->socket->readDatagram(buffer, sizeof buffer);
    if (n >= 4)
        (this->*handle)(t, buffer, n);
}

void TftpServer::onAckReady()
{
    handleOneDatagram(sender(), &TftpServer::handleAck);
}

void TftpServer::onDataReady()
{
    handleOneDatagram(sender(), &TftpServer::handleData);
}

void TftpServer::handleAck(TftpTransfer *t, const char *datagram, qint64)
{
    const quint16 op = word(datagram);
    if (op == OpError) {
        endTransfer(t, LanguageManager::tr("下载被客户端中止（错误码 %1）").arg(word(datagram + 2)));
        return;
    }
    // A duplicate ACK of an earlier block causes no resend: answering every
    // duplicate doubles all later traffic (the Sorcerer's Apprentice).
    if (op != OpAck || word(datagram + 2) != t->block)
        return;
    t->idleTicks = 0;
    if (t->finalSent) {
        endTransfer(t, LanguageManager::tr("下载完成：%1（%2 字节）").arg(t->name, QString::number(t->size)));
        return;
    }
    sendNextBlock(t);
}

void TftpServer::handleData(TftpTransfer *t, const char *datagram, qint64 n)
{
    if (n > maxDataPacket) {
        sendError(t, 4, "invalid DATA packet size");
        endTransfer(t, LanguageManager::tr("上传失败：DATA 包大小非法"));
        return;
    }
    const quint16 op = word(datagram);
    if (op == OpError) {
        endTransfer(t, LanguageManager::tr("上传被客户端中止（错误码 %1）").arg(word(datagram + 2)));
        return;
    }
    if (op != OpData)
        return;
    const quint16 block = word(datagram + 2);
    if (block == t->block) {
        // Our ACK was lost: acknowledge again, but do not write twice.
        t->socket->write(makeAck(t->block));
        return;
    }
    if (block != quint16(t->block + 1))
        return;
    const qint64 length = n - 4;
    if (t->file.write(datagram + 4, length) != length || t->file.error() != QFileDevice::NoError) {
        sendError(t, 3, "disk write failed");
        endTransfer(t, LanguageManager::tr("上传失败：本地写入错误"));
        return;
    }
    t->block = block;
    t->idleTicks = 0;
    t->size += length;
    if (length < blockSize) {
        finishUpload(t);
        return;
    }
    t->socket->write(makeAck(t->block));
}

// The last block is acknowledged only once the file is on disk under its
// final name: the client's "done" must mean the data is saved.
void TftpServer::finishUpload(TftpTransfer *t)
{
    if (!t->file.flush() || t->file.error() != QFileDevice::NoError || !platform::syncDescriptor(t->file.handle())) {
        sendError(t, 3, "disk write failed");
        endTransfer(t, LanguageManager::tr("上传失败：刷新文件失败"));
        return;
    }
    t->file.close();
    QString why;
    // The target may have turned into a link or a read-only file meanwhile.
    if (!platform::isReplaceableTarget(t->finalPath) || !platform::commitFile(t->tempPath, t->finalPath, &why)) {
        sendError(t, 3, "disk write failed");
        endTransfer(t, LanguageManager::tr("上传失败：提交文件失败"));
        return;
    }
    t->tempPath.clear();
    t->socket->write(makeAck(t->block));
    endTransfer(t, LanguageManager::tr("上传完成：%1（%2 字节）").arg(QFileInfo(t->finalPath).fileName(), QString::number(t->size)));
}

void TftpServer::onTransferTick()
{
    // From the last to the first, so that ending a record does not move the
    // ones still to be visited.
    for (int i = int(m_transfers.size()) - 1; i >= 0; --i) {
        TftpTransfer *t = m_transfers.at(i);
        if (!t->upload && !t->lastPacket.isEmpty()) {
            if (++t->idleTicks <= downloadResends)
                t->socket->write(t->lastPacket);
            else
                endTransfer(t, LanguageManager::tr("下载超时放弃：%1").arg(t->name));
        } else if (t->idleTicks < uploadIdleTicks) {
            ++t->idleTicks;
        } else {
            endTransfer(t, LanguageManager::tr("上传静默超时：%1").arg(QFileInfo(t->tempPath).fileName()));
        }
    }
}

void TftpServer::sendError(TftpTransfer *t, quint16 code, const char *message)
{
    t->socket->write(makeError(code, message));
}

void TftpServer::endTransfer(TftpTransfer *t, const QString &text)
{
    m_transfers.removeOne(t);
    discardTransfer(t);
    emit logLine(text);
}

// Closes the file, removes an unfinished upload's temporary file and lets the
// socket go later (it may be the sender of the slot that is running).
void TftpServer::discardTransfer(TftpTransfer *t)
{
    t->file.close();
    if (t->upload && !t->tempPath.isEmpty())
        QFile::remove(t->tempPath);
    t->socket->disconnect(this);
    t->socket->deleteLater();
    delete t;
}
