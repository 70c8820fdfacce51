#include "mainwindow/opensession.h"

#include "connections/connection.h"
#include "core/debuglog.h"
#include "core/languagemanager.h"
#include "core/sessionlogger.h"
#include "mainwindow/statuslines.h"
#include "transfer/inbandtransfer.h"

#include <QFile>

#include <cctype>

namespace {
// Enough for a receiver's greeting and its first polls.
constexpr qsizetype kLastWordsBytes = 64;

QString error(const QString &text)
{
    // Some reports carry their own sign; one is enough.
    const bool signed_ = text.startsWith(u'⚠');
    return statusLine(StatusColor::error, signed_ ? text : QStringLiteral("⚠ ") + text);
}

QString addressOf(const QObject *object)
{
    return QString::number(quintptr(object));
}
} // namespace

OpenSession::OpenSession(const TabSessionInfo &tab, SessionView *view, QObject *parent)
    : QObject(parent), m_tab(tab), m_view(view)
{
    m_quiet.setSingleShot(true);
    // Without this the prompt that follows a cancel is lost with the tail,
    // and the user, seeing none, thinks the session hung.
    connect(&m_quiet, &QTimer::timeout, this, &OpenSession::releaseHeld);
}

void OpenSession::releaseHeld()
{
    m_quiet.stop();
    const QByteArray held = std::exchange(m_quietHeld, {});
    showReceived(m_heldFilter ? m_heldFilter(held) : InbandTransfer::hostPartAtEnd(held));
}

OpenSession::~OpenSession()
{
    m_view = nullptr; // whoever showed the session may be going too
    close();
}

void OpenSession::line(const QString &html) const
{
    if (m_view)
        m_view->showLine(id(), html);
}

bool OpenSession::isOpen() const
{
    return m_connection && m_connection->isOpen();
}

void OpenSession::adopt(Connection *connection, const ConnectionReports &reports)
{
    close();
    if (m_view)
        m_view->beginConnection(id());
    m_pasteWatch.reset();
    m_connection = connection;
    connection->setParent(this);
    const QPointer<Connection> guard(connection);
    const auto current = [this, guard] { return guard && guard == m_connection; };
    // Direct: every hop between the transport and the screen is felt as
    // typing latency, and the order of data and reports must hold.
    connect(connection, &Connection::dataReceived, this, [this, current](const QByteArray &bytes) {
        if (current())
            received(bytes);
    });
    connect(connection, &Connection::connectionError, this, [this, current, reports](const QString &message) {
        if (current())
            connectionReport(QStringLiteral("disconnected"), error(htmlText(message)), reports.closeAfterError);
    });
    connect(connection, &Connection::sendQueueFull, this, [this, current] {
        if (current())
            line(statusLine(StatusColor::warning,
                            QStringLiteral("⚠ ") + LanguageManager::tr(QStringLiteral("发送队列已满，数据未发送"))));
    });
    if (reports.connectedLine) {
        m_connecting = true;
        connect(connection, &Connection::connected, this, [this, current, made = reports.connectedLine] {
            if (current())
                connectionReport(QStringLiteral("connected"), made(), false);
        });
    }
    if (reports.closedLine) {
        connect(connection, &Connection::disconnected, this, [this, current, reports] {
            if (current())
                connectionReport(QStringLiteral("disconnected"), reports.closedLine(), reports.closeAfterPeerClose);
        });
    }
}

void OpenSession::connectionReport(const QString &state, const QString &html, bool closeAfter)
{
    m_connecting = false;
    line(html);
    if (m_view)
        m_view->showState(id(), state);
    if (closeAfter)
        closeLater();
}

void OpenSession::closeLater()
{
    // Never inside the connection's own emission; and only if nothing has
    // replaced the connection meanwhile.
    QTimer::singleShot(0, this, [this, guard = m_connection] {
        if (guard && guard == m_connection)
            close();
    });
}

bool OpenSession::send(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    m_connection->write(bytes);
    if (m_logger)
        m_logger->logSent(bytes);
    return true;
}

void OpenSession::sendUnlogged(const QByteArray &bytes)
{
    if (isOpen())
        m_connection->write(bytes);
}

void OpenSession::type(const QByteArray &bytes)
{
    if (InbandTransfer *running = transfer()) {
        // The keys themselves, not an arrow, a function key or a paste,
        // which carry ESC too and are meant for the host.
        if (bytes == "\x1b" || bytes == "\x03") {
            // The stop clears the shell's line itself.
            m_stopKeyAt.start();
            m_swallowedAt.invalidate();
            running->cancel();
        } else if (!offer(bytes) && !bytes.contains('\r') && !bytes.contains('\n')) {
            m_swallowedAt.start();
        } else {
            m_swallowedAt.invalidate();
        }
        return;
    }
    const QByteArray rest = afterCutLine(bytes);
    if (rest.isEmpty())
        return;
    if (rest.size() != bytes.size())
        return type(rest);
    // Esc pressed twice to stop a run that the first one already ended: the
    // second would reach the shell as the start of a key sequence (Meta) and
    // swallow the first key of the next command.
    if (bytes == "\x1b" && m_stopKeyAt.isValid() && m_stopKeyAt.elapsed() < kStopKeyRepeatMs) {
        m_stopKeyAt.invalidate();
        return;
    }
    // What the user typed can be a password: only its length is traced.
    if (debugLogEnabled())
        debugLog(QStringLiteral("onTerminalInput: id=%1 bytes=%2 conn=%3 isOpen=%4")
                     .arg(id(), QString::number(bytes.size()), QString::number(m_connection ? 1 : 0),
                          QString::number(isOpen() ? 1 : 0)));
    if (send(bytes))
        return;
    if (debugLogEnabled())
        debugLog(QStringLiteral("  -> DROP: no open serial connection for this id (byte never sent)"));
    // A session still opening is left to finish: a second attempt would ask
    // for credentials again.
    if (bytes == "\r" && !m_connecting)
        emit reopenRequested(id());
}

QByteArray OpenSession::afterCutLine(const QByteArray &bytes)
{
    if (!m_swallowedAt.isValid())
        return bytes;
    // A Ctrl+C is the user's to the shell, and so is a paste (its marks
    // must go whole); a pause, a line of its own.
    if (bytes == "\x03" || bytes.startsWith("\x1b[200~") || m_swallowedAt.elapsed() > kCutLineKeyGapMs) {
        m_swallowedAt.invalidate();
        return bytes;
    }
    const qsizetype end = [&] {
        const qsizetype cr = bytes.indexOf('\r'), lf = bytes.indexOf('\n');
        return cr < 0 ? lf : lf < 0 ? cr : qMin(cr, lf);
    }();
    if (end < 0) {
        m_swallowedAt.start();
        return {};
    }
    m_swallowedAt.invalidate();
    // A line end sent as CR LF goes whole.
    return bytes.mid(end + (bytes.mid(end, 2) == "\r\n" ? 2 : 1));
}

bool OpenSession::input(const QByteArray &bytes)
{
    if (offer(bytes))
        return true;
    // A command that vanished without a word would be taken for sent, and
    // what depends on it typed next.
    if (transfer())
        line(error(LanguageManager::tr(QStringLiteral("传输进行中，文本未发送"))));
    return false;
}

bool OpenSession::offer(const QByteArray &bytes)
{
    InbandTransfer *running = transfer();
    if (!running)
        return send(bytes);
    // Until the peer has answered, the host is a shell waiting for the
    // command that starts it (the status line asks for it).
    if (!m_binary || running->peerStarted())
        return false;
    // Opened even for a whole line: a poll may already sit in the shell's
    // line, and the shell would run it in front of the command.
    const QPointer<InbandTransfer> guard(running);
    running->setHostLineOpen(true);
    const bool sent = send(bytes);
    if (guard && (bytes.endsWith('\r') || bytes.endsWith('\n')))
        guard->setHostLineOpen(false);
    return sent;
}

void OpenSession::reply(const QByteArray &bytes)
{
    if (!transfer())
        send(bytes);
}

void OpenSession::received(const QByteArray &bytes)
{
    if (debugLogEnabled() && m_tab.type == QLatin1String("ssh"))
        debugLog(QStringLiteral("RX %1 bytes: %2").arg(bytes.size()).arg(toHexString(bytes)));
    if (m_capture && m_capture->write(bytes) != bytes.size()) {
        const QString why = m_capture->errorString();
        stopCapture();
        line(error(LanguageManager::tr(QStringLiteral("ASCII 捕获写入失败：%1")).arg(htmlText(why))));
    }
    if (m_quiet.isActive()) {
        // A sender's tail can be large; the host's last words are short.
        // Where the peer's part can be told from the host's, all of the
        // host's is drawn, what goes past the bound at once.
        m_quietHeld = m_heldFilter ? m_quietHeld + bytes : (m_quietHeld + bytes).right(kQuietHeldBytes);
        const qint64 left = kHoldAfterRunMs - m_heldSince.elapsed();
        if (left <= 0)
            return releaseHeld();
        if (m_heldFilter && m_quietHeld.size() > kQuietHeldBytes)
            showReceived(m_heldFilter(std::exchange(m_quietHeld, {})));
        m_quiet.start(int(std::min<qint64>(left, kQuietAfterCancelMs)));
        return;
    }
    if (m_binary) {
        if (const QPointer<InbandTransfer> running = transfer()) {
            running->feed(bytes);
            if (!running || !running->peerStarted())
                return showReceived(bytes);
            return;
        }
    }
    showReceived(withoutHeaderEnds(bytes));
}

namespace {

// A ZMODEM hex header ("*", ZDLE, "B", 14 hex digits, CR) ends just before `end`.
bool hexHeaderEndsAt(const QByteArray &text, qsizetype end)
{
    constexpr qsizetype kLength = 18;
    if (end < kLength || text.at(end - 1) != '\r' || text.mid(end - kLength, 3) != QByteArrayLiteral("*\x18" "B"))
        return false;
    for (qsizetype i = end - 15; i < end - 1; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text.at(i))))
            return false;
    }
    return true;
}

bool headerLineEnd(char c)
{
    return c == '\x8a' || c == '\x11';
}

} // namespace

QByteArray OpenSession::withoutHeaderEnds(const QByteArray &bytes)
{
    // A hex header's line goes on after its CR with LF with the high bit set
    // and XON. Its text is drawn over by that CR, but those two would be a
    // "�" on a line of their own: at every start of a receiver typed before
    // a send (it speaks first), and after a run that ended on the peer's
    // header, whose line end may come in the next read. No text of the
    // host's has them there.
    QByteArray out = bytes;
    qsizetype at = 0;
    if (std::exchange(m_headerEndOwed, false)) {
        while (at < out.size() && headerLineEnd(out.at(at)))
            ++at;
        out.remove(0, at);
    }
    if (!out.contains('\x8a') && !out.endsWith('\r'))
        return out;
    const qsizetype before = std::min<qsizetype>(m_lastWords.size(), 17);
    QByteArray seen = m_lastWords.right(before) + out;
    for (qsizetype i = before; i < seen.size(); ++i) {
        if (!hexHeaderEndsAt(seen, i))
            continue;
        qsizetype end = i;
        while (end < seen.size() && headerLineEnd(seen.at(end)))
            ++end;
        seen.remove(i, end - i);
    }
    m_headerEndOwed = hexHeaderEndsAt(seen, seen.size());
    return seen.mid(before);
}

void OpenSession::showReceived(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    m_lastWords = (m_lastWords + bytes).right(kLastWordsBytes);
    m_lastWordsAt.start();
    m_pasteWatch.see(bytes);
    if (m_view)
        m_view->showData(id(), bytes);
    if (m_logger)
        m_logger->logReceived(bytes);
}

void OpenSession::setLogger(SessionLogger *logger)
{
    stopLogger();
    m_logger = logger;
    logger->setParent(this);
    connect(logger, &SessionLogger::logError, this, [this](const QString &message) { line(error(htmlText(message))); });
}

void OpenSession::stopLogger()
{
    if (SessionLogger *logger = m_logger) {
        m_logger = nullptr;
        logger->stop();
        logger->deleteLater();
    }
}

bool OpenSession::startCapture(const QString &path)
{
    stopCapture();
    auto *file = new QFile(path, this);
    // Unbuffered: what arrived is in the file at once, and a full disk shows
    // on the write that meets it.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        delete file;
        line(error(LanguageManager::tr(QStringLiteral("无法创建：%1")).arg(htmlText(path))));
        return false;
    }
    m_capture = file;
    line(statusLine(StatusColor::success,
                    QStringLiteral("📥 ")
                        + LanguageManager::tr(QStringLiteral("ASCII 捕获开始 -> %1（菜单再次点击停止）")).arg(htmlText(path))));
    return true;
}

void OpenSession::stopCapture()
{
    QFile *file = std::exchange(m_capture, nullptr);
    if (!file)
        return;
    const QString name = file->fileName();
    file->close();
    delete file;
    line(statusLine(StatusColor::neutral,
                    QStringLiteral("📥 ") + LanguageManager::tr(QStringLiteral("ASCII 捕获已停止：%1")).arg(htmlText(name))));
}

InbandTransfer *OpenSession::transfer() const
{
    return m_transfer && m_transfer->isActive() ? m_transfer.data() : nullptr;
}

void OpenSession::offerLastWords()
{
    // Older than any receiver's wait for its sender: not a live poll.
    constexpr qint64 kFreshMs = 60000;
    InbandTransfer *running = transfer();
    if (running && m_binary && m_lastWordsAt.isValid() && m_lastWordsAt.elapsed() < kFreshMs) {
        // Drawn already: the run's words in front of the peer's poll in
        // them are not drawn again.
        const bool replaying = std::exchange(m_replaying, true);
        running->feed(m_lastWords);
        m_replaying = replaying;
    }
}

void OpenSession::handOver(InbandTransfer *transfer, bool binary)
{
    takeBack();
    m_transfer = transfer;
    m_binary = binary;
    m_quiet.stop();
    m_quietHeld.clear();
    m_headerEndOwed = false;
    // Binary bytes pass the transport's line-end handling untouched.
    if (binary && m_connection)
        m_connection->setTransparent(true);
    // A transfer paces itself by what the connection still holds, and takes
    // it back when its run ends: the peer may have left, and the shell that
    // took its place would read it as typed keys.
    transfer->setBacklog([guard = QPointer<OpenSession>(this)]() -> qint64 {
        return guard && guard->isOpen() ? guard->m_connection->pendingBytes() : -1;
    });
    transfer->setPasteProbe([guard = QPointer<OpenSession>(this)] { return guard && guard->m_pasteWatch.editorTakesPaste(); });
    transfer->setDiscardFn([guard = QPointer<OpenSession>(this)] {
        if (guard && guard->m_connection)
            guard->m_connection->discardQueued();
    });
    m_transferText = connect(transfer, &InbandTransfer::hostTextShown, this, [this](const QByteArray &text) {
        if (!m_replaying)
            showReceived(text);
    });
    m_transferEnd = connect(transfer, &InbandTransfer::resultReady, this, [this](InbandTransfer::Outcome outcome) {
        // What the peer still had in flight, or its own cancel when it gave
        // up, would be drawn as a screenful of binary.
        const bool tail = outcome != InbandTransfer::Succeeded && m_binary && m_transfer && m_transfer->peerStarted();
        m_headerEndOwed = m_binary && m_transfer && m_transfer->peerStarted();
        // What the host said after the protocol's last byte (a prompt), in
        // the read that ended the run or held until its closing time ran
        // out, must not be lost with the protocol's tail.
        if (m_transfer) {
            const QByteArray hostWords = m_transfer->takeUnconsumed();
            if (m_binary && m_transfer->peerStarted())
                showReceived(hostWords);
        }
        m_heldFilter = m_transfer ? m_transfer->hostPartOfTail() : nullptr;
        takeBack();
        if (tail) {
            m_quietHeld.clear();
            m_heldSince.start();
            m_quiet.start(kQuietAfterCancelMs);
        }
    });
}

void OpenSession::takeBack()
{
    if (!m_transfer)
        return;
    disconnect(m_transferEnd);
    disconnect(m_transferText);
    if (m_binary && m_connection)
        m_connection->setTransparent(false);
    m_transfer = nullptr;
    m_binary = false;
}

void OpenSession::close()
{
    if (debugLogEnabled())
        debugLog(QStringLiteral("[UI] closeConn begin id=%1 hasConn=%2").arg(id(), QString::number(m_connection ? 1 : 0)));
    m_connecting = false;
    if (InbandTransfer *running = transfer())
        running->cancel();
    takeBack();
    m_quiet.stop();
    m_quietHeld.clear();
    stopCapture();
    stopLogger();
    Connection *connection = m_connection;
    if (!connection)
        return;
    m_connection = nullptr;
    if (debugLogEnabled())
        debugLog(QStringLiteral("[UI] closeConn closing id=%1 conn=%2").arg(id(), addressOf(connection)));
    connection->close();
    // Handlers of other owners go with it too.
    disconnect(connection, nullptr, nullptr, nullptr);
    connection->deleteLater();
    if (debugLogEnabled())
        debugLog(QStringLiteral("[UI] closeConn scheduled deleteLater id=%1 conn=%2").arg(id(), addressOf(connection)));
}
