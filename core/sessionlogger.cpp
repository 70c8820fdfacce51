#include "core/sessionlogger.h"

#include "core/datadir.h"
#include "core/languagemanager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

constexpr int kFlushIntervalMs = 500;
constexpr qsizetype kFlushAt = 65536;
constexpr qsizetype kMaxPendingLine = 1048576;
constexpr qint64 kMiB = 1048576;

const QString kSendOnly = QStringLiteral("仅发送");
const QString kReceiveOnly = QStringLiteral("仅接收");
const QString kBoth = QStringLiteral("收发都记录");
const QString kPlainText = QStringLiteral("纯文本");
const QString kHex = QStringLiteral("HEX");
const QString kDual = QStringLiteral("双份（文本+HEX）");
const QString kClear = QStringLiteral("清空");

// A session name or host put into a file name stays a single name inside the
// log folder, whatever the user or a saved session called it.
QString confined(QString value)
{
    value.replace(QLatin1Char('/'), QLatin1Char('_'));
    value.replace(QLatin1Char('\\'), QLatin1Char('_'));
    value.replace(QLatin1String(".."), QLatin1String("_"));
    return value;
}

QByteArray banner(const char *word, const QDateTime &now, const char *tail)
{
    return "\n========== " + QByteArray(word) + ' '
           + now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8() + " ==========\n" + tail;
}

} // namespace

SessionLogger::SessionLogger(const QString &sessionName, const QString &host, const SessionLogOptions &options,
                             QObject *parent)
    : QObject(parent), m_sessionName(sessionName), m_host(host), m_options(options),
      m_clock([] { return QDateTime::currentDateTime(); })
{
    m_timer.setInterval(kFlushIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &SessionLogger::flushBuffer);
}

SessionLogger::~SessionLogger()
{
    stop();
}

QString SessionLogger::buildFileName(const QString &sessionName, const QString &host,
                                     const SessionLogOptions &options, const QDateTime &now)
{
    // An empty folder would put logs at the root of the file system.
    QString folder = expandPathVariables(options.dir.isEmpty() ? QStringLiteral("%APPDATA%/logs") : options.dir);
    folder.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');

    QString pattern = options.file.isEmpty() ? QStringLiteral("%S_%M_%D_%h.log") : options.file;
    // Patterns are often written Windows-style; their own folders are meant.
    pattern.replace(QLatin1Char('\\'), QLatin1Char('/'));

    const QString name = confined(sessionName);
    const QString hostOrName = host.isEmpty() ? name : confined(host);
    struct Token {
        QLatin1String text;
        Qt::CaseSensitivity cs;
        QString value;
    };
    const Token tokens[] = {
        {QLatin1String("{name}"), Qt::CaseInsensitive, name},
        {QLatin1String("{date}"), Qt::CaseInsensitive, now.toString(QStringLiteral("yyyy-MM-dd"))},
        {QLatin1String("{time}"), Qt::CaseInsensitive, now.toString(QStringLiteral("HHmmss"))},
        {QLatin1String("{port}"), Qt::CaseInsensitive, name},
        {QLatin1String("%S"), Qt::CaseInsensitive, name},
        {QLatin1String("%D"), Qt::CaseInsensitive, now.toString(QStringLiteral("dd"))},
        {QLatin1String("%M"), Qt::CaseInsensitive, now.toString(QStringLiteral("MM"))},
        {QLatin1String("%H"), Qt::CaseSensitive, hostOrName},
        {QLatin1String("%h"), Qt::CaseSensitive, now.toString(QStringLiteral("HH"))},
    };
    // One pass, so a name that itself reads like a token is not expanded.
    QString out;
    for (qsizetype i = 0; i < pattern.size();) {
        const Token *hit = nullptr;
        for (const Token &t : tokens) {
            if (QStringView(pattern).mid(i, t.text.size()).compare(t.text, t.cs) == 0) {
                hit = &t;
                break;
            }
        }
        if (hit) {
            out += hit->value;
            i += hit->text.size();
        } else {
            out += pattern.at(i++);
        }
    }
    for (const QChar c : {u'<', u'>', u':', u'"', u'|', u'?', u'*'})
        out.replace(c, QLatin1Char('_'));
    return folder + out;
}

bool SessionLogger::isRecording() const
{
    return m_file && m_file->isOpen();
}

bool SessionLogger::openFile()
{
    closeFile();
    QString path = buildFileName(m_sessionName, m_host, m_options, m_clock());
    if (m_fileIndex > 0) {
        const QFileInfo info(path);
        path = info.path() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('.')
               + QString::number(m_fileIndex) + (info.suffix().isEmpty() ? QString() : '.' + info.suffix());
    }
    // A folder that cannot be made shows up as the open's own error.
    QDir().mkpath(QFileInfo(path).absolutePath());
    m_currentPath = path;

    auto file = std::make_unique<QFile>(path);
    const bool clear = m_options.startMode == kClear && m_fileIndex == 0;
    if (!file->open(QIODevice::WriteOnly | (clear ? QIODevice::Truncate : QIODevice::Append))) {
        m_openError = file->errorString();
        return false;
    }
    m_bytesWritten = file->size();
    m_file = std::move(file);
    return true;
}

void SessionLogger::closeFile()
{
    if (m_file) {
        m_file->close();
        m_file.reset();
    }
}

bool SessionLogger::start()
{
    if (m_file)
        stop();
    // A new start begins with the first file, cleared if so asked.
    m_fileIndex = 0;
    if (!openFile())
        return false;
    m_buffer.clear();
    for (QByteArray &line : m_pending)
        line.clear();
    m_sentEndedInCr = false;
    m_timer.start();
    if (!writeOut(banner("会话开始", m_clock(), ""))) {
        stop();
        return false;
    }
    return true;
}

void SessionLogger::stop()
{
    m_timer.stop();
    flushBuffer();
    for (bool sent : {false, true}) {
        QByteArray &line = m_pending[sent];
        if (!line.isEmpty() && m_file)
            writeOut(head(stamp(), sent, false) + line + '\n');
        line.clear();
    }
    if (m_file && writeOut(banner("会话结束", m_clock(), "\n")))
        closeFile();
    m_timer.stop();
}

void SessionLogger::logReceived(const QByteArray &bytes)
{
    if (m_options.direction != kSendOnly)
        record(bytes, false);
}

void SessionLogger::logSent(const QByteArray &bytes)
{
    if (m_options.direction != kReceiveOnly)
        record(bytes, true);
}

QByteArray SessionLogger::stamp() const
{
    const QString format = timestampFormat(m_options.timestamp);
    return format.isEmpty() ? QByteArray() : '[' + m_clock().toString(format).toUtf8() + "] ";
}

QByteArray SessionLogger::head(const QByteArray &timestamp, bool sent, bool alwaysTag) const
{
    QByteArray out = timestamp;
    if (alwaysTag || m_options.direction == kBoth)
        out += sent ? "[TX] " : "[RX] ";
    return out + m_options.linePrefix.toUtf8();
}

void SessionLogger::record(const QByteArray &bytes, bool sent)
{
    if (!m_file || bytes.isEmpty())
        return;
    const QByteArray ts = stamp();
    const QString &mode = m_options.mode;

    if (mode.isEmpty() || mode == kPlainText) {
        const QByteArray h = head(ts, sent, false);
        if (h.isEmpty()) {
            m_buffer += bytes;
        } else if (sent) {
            recordTypedLines(bytes, h);
        } else {
            // A line is written under one head, so an unfinished one waits for
            // its LF; only the new bytes can hold one.
            QByteArray &pending = m_pending[0];
            qsizetype from = 0;
            qsizetype lf = pending.size();
            pending += bytes;
            while ((lf = pending.indexOf('\n', lf)) >= 0) {
                m_buffer += h;
                m_buffer += QByteArrayView(pending).sliced(from, lf + 1 - from);
                from = ++lf;
            }
            pending.remove(0, from);
            if (pending.size() >= kMaxPendingLine) {
                m_buffer += h + pending + '\n';
                pending.clear();
            }
        }
    } else if (mode == kHex) {
        m_buffer += head(ts, sent, true) + bytes.toHex(' ') + '\n';
    } else if (mode == kDual) {
        const QByteArray h = head(ts, sent, true);
        m_buffer += h + bytes;
        if (!bytes.endsWith('\n'))
            m_buffer += '\n';
        m_buffer += h + bytes.toHex(' ') + '\n';
    } else {
        return;
    }
    if (m_buffer.size() >= kFlushAt)
        flushBuffer();
}

void SessionLogger::recordTypedLines(const QByteArray &bytes, const QByteArray &h)
{
    // Enter sends a lone CR: a typed line ends at CR or at LF, so it is
    // written when it was typed, ahead of the host's answer, and reaches the
    // file with the next flush. CR LF, even split over two calls, is one
    // end; a lone CR is written as CR LF so the file keeps a line per record.
    QByteArray &pending = m_pending[1];
    QByteArrayView rest(bytes);
    if (m_sentEndedInCr && rest.startsWith('\n'))
        rest = rest.sliced(1);
    m_sentEndedInCr = false;
    while (!rest.isEmpty()) {
        const auto end = std::find_if(rest.begin(), rest.end(), [](char c) { return c == '\r' || c == '\n'; });
        const qsizetype length = end - rest.begin();
        pending += rest.first(length);
        if (end == rest.end())
            break;
        const bool cr = *end == '\r';
        m_buffer += h + pending + (cr ? "\r\n" : "\n");
        pending.clear();
        rest = rest.sliced(length + 1);
        if (cr && rest.isEmpty())
            m_sentEndedInCr = true;
        else if (cr && rest.startsWith('\n'))
            rest = rest.sliced(1);
    }
    if (pending.size() >= kMaxPendingLine) {
        m_buffer += h + pending + '\n';
        pending.clear();
    }
}

void SessionLogger::flushBuffer()
{
    if (!m_file || m_buffer.isEmpty())
        return;
    if (!writeOut(std::exchange(m_buffer, QByteArray())))
        return;
    if (m_options.rotate >= 1 && m_bytesWritten >= qint64(m_options.rotate) * kMiB) {
        m_timer.stop();
        closeFile();
        ++m_fileIndex;
        if (!openFile()) {
            // Without a word the user would believe the session is still logged.
            fail(m_openError);
            return;
        }
        m_timer.start();
    }
}

bool SessionLogger::writeOut(const QByteArray &bytes)
{
    // Writes into a file whose folder was removed land nowhere.
    if (!QFileInfo::exists(m_currentPath)) {
        fail(qt_error_string(ENOENT));
        return false;
    }
    if (m_file->write(bytes) != bytes.size() || !m_file->flush()) {
        fail(m_file->errorString());
        return false;
    }
    m_bytesWritten += bytes.size();
    return true;
}

void SessionLogger::fail(const QString &errorText)
{
    m_buffer.clear();
    for (QByteArray &line : m_pending)
        line.clear();
    closeFile();
    m_timer.stop();
    emit logError(LanguageManager::tr(QStringLiteral("日志写入失败，录制已停止：")) + errorText);
}
