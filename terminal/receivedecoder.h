#pragma once

#include <QByteArray>
#include <QString>

// Bytes to text for one session: UTF-8 by default, GBK when the session's
// encoding is exactly "GBK". An incomplete character at the end of a slice
// waits in `decodeCarry` for the next slice. Combining marks beyond
// MaxMarksPerCharacter on one character are dropped (see limitMarks).
class ReceiveDecoder
{
public:
    // Written text stacks no more on a character (vowel, tone and
    // cantillation marks). Shaping takes a character with all its marks at
    // once: a screen of deeper stacks takes longer than a frame to draw, and
    // a stack thousands deep holds up every layout of its line.
    static constexpr int MaxMarksPerCharacter = 4;

    QString decodeReceived(const QByteArray &bytes);
    // Drops the marks past the limit, counting on from the previous call.
    QString limitMarks(QString text);

    QString encoding = QStringLiteral("默认");
    QByteArray decodeCarry;

private:
    QString decode(const QByteArray &bytes);
    int marksInRow = 0;
};

// The bounded receive buffer: the newest 2 MiB survive a flood, drained from
// the front in slices without moving the rest on every slice.
class ReceiveBuffer
{
public:
    static constexpr qsizetype Capacity = 2097152;
    static constexpr qsizetype SliceSize = 4096;

    // Returns the number of bytes dropped to stay within the capacity.
    qsizetype append(const QByteArray &bytes);
    QByteArray takeSlice();
    qsizetype size() const { return data.size() - start; }
    bool isEmpty() const { return size() == 0; }
    void clear();

private:
    QByteArray data;
    qsizetype start = 0;
    void compact();
};

// One block of HEX monitor lines as HTML: 16 bytes a line, offset, hex
// column padded to 47 characters, printable column (HTML-escaped).
QString hexDumpHtml(const QString &direction, const QByteArray &bytes, qint64 offset);
