#pragma once

#include <QByteArray>
#include <QString>

// Each byte as two upper-case hex digits, separated by single blanks.
QString toHexString(const QByteArray &bytes);

// The colours of the lines the window writes into a session's terminal.
namespace StatusColor {
inline constexpr const char *success = "#4ec9b0";
inline constexpr const char *neutral = "#858585";
inline constexpr const char *warning = "#d7ba7d";
inline constexpr const char *error = "#ff6b6b";
}

// One status line: `text` (already HTML) in a span of the colour; a line that
// reports a finished connection ends the line.
QString statusLine(const char *color, const QString &text, bool lineBreak = false);

// The hint of a tab that has not connected yet.
QString placeholderLine(const QString &text);

// Text from the user or a peer, made safe to put into a status line.
inline QString htmlText(const QString &text) { return text.toHtmlEscaped(); }
