#include "core/commandsending.h"

#include <QRegularExpression>
#include <QTimer>

#include <algorithm>

QStringList splitCommandLines(const QString &text)
{
    static const QRegularExpression lineBreaks(QStringLiteral("[\r\n]+"));
    QStringList lines;
    for (const QString &part : text.split(lineBreaks, Qt::SkipEmptyParts)) {
        QString line = part.trimmed();
        while (line.endsWith(QLatin1String("\\r")) || line.endsWith(QLatin1String("\\n")))
            line = line.chopped(2).trimmed();
        if (!line.isEmpty())
            lines << line;
    }
    return lines;
}

QList<CommandChunk> parseCommandEscapes(const QString &text)
{
    QList<CommandChunk> chunks;
    QByteArray buffer;
    // Plain text is collected as a string and encoded in one go, so a
    // surrogate pair becomes its single four-byte sequence.
    QString plain;
    auto flushPlain = [&] {
        buffer += plain.toUtf8();
        plain.clear();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\\') || i + 1 == text.size()) {
            plain += c;
            continue;
        }
        char control = 0;
        switch (text.at(i + 1).unicode()) {
        case 'r': control = '\r'; break;
        case 'n': control = '\n'; break;
        case 't': control = '\t'; break;
        case 'b': control = '\b'; break;
        case 'e': control = '\x1b'; break;
        case 'p':
            flushPlain();
            if (!buffer.isEmpty())
                chunks.append({buffer, 0});
            buffer.clear();
            chunks.append({QByteArray(), kCommandPauseMs});
            ++i;
            continue;
        default:
            // Not an escape: the backslash stays and the next character is
            // read as usual (it may start an escape of its own).
            plain += c;
            continue;
        }
        flushPlain();
        buffer += control;
        ++i;
    }
    flushPlain();
    if (!buffer.isEmpty())
        chunks.append({buffer, 0});
    return chunks;
}

static int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

QByteArray normalizeHexText(const QString &text, bool *ok)
{
    QString clean;
    clean.reserve(text.size());
    for (const QChar c : text) {
        if (!c.isSpace() && c != QLatin1Char(','))
            clean += c.toUpper();
    }
    if (ok)
        *ok = false;
    if (clean.isEmpty() || clean.size() % 2 != 0)
        return {};
    // Digits are checked one by one: a number parser would also take "+F"
    // or a full-width digit as a value.
    QByteArray bytes;
    bytes.reserve(clean.size() / 2);
    for (qsizetype i = 0; i < clean.size(); i += 2) {
        const int high = hexValue(clean.at(i));
        const int low = hexValue(clean.at(i + 1));
        if (high < 0 || low < 0)
            return {};
        bytes += char(high << 4 | low);
    }
    if (ok)
        *ok = true;
    return bytes;
}

QByteArray broadcastPayload(const QString &command)
{
    QByteArray payload;
    for (const QString &line : splitCommandLines(command))
        payload += line.toUtf8() + '\r';
    return payload;
}

QString currentSessionText(const QString &command)
{
    QString text;
    for (const QString &line : splitCommandLines(command))
        text += line + QLatin1String("\\r");
    return text;
}

CommandSender *CommandSender::send(const QString &text, QObject *target, WriteFunction write, QObject *parent)
{
    return play(parseCommandEscapes(text), target, std::move(write), parent);
}

CommandSender *CommandSender::play(const QList<CommandChunk> &chunks, QObject *target, WriteFunction write,
                                   QObject *parent)
{
    return new CommandSender(chunks.isEmpty() ? QList<CommandChunk>{CommandChunk{}} : chunks, target,
                             std::move(write), parent);
}

CommandSender::CommandSender(const QList<CommandChunk> &chunks, QObject *target, WriteFunction write,
                             QObject *parent)
    : QObject(parent), chunks(chunks), target(target), write(std::move(write)), timer(new QTimer(this))
{
    timer->setSingleShot(true);
    // A coarse timer may fire up to 5% early, which would cut a pause short.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &CommandSender::step);
    timer->start(kCommandStepMs);
}

void CommandSender::step()
{
    if (index < chunks.size() && target) {
        const QByteArray bytes = chunks.at(index++).bytes;
        const bool refused = !bytes.isEmpty() && write && !write(bytes);
        if (!refused && index < chunks.size()) {
            timer->start(std::max(chunks.at(index).delay, kCommandStepMs));
            return;
        }
    }
    emit finished();
    deleteLater();
}
