#pragma once

#include "ui/statuscolors.h"

#include <QByteArray>
#include <QString>

// Each byte as two upper-case hex digits, separated by single blanks.
QString toHexString(const QByteArray &bytes);


// One status line: `text` (already HTML) in a span of the colour; a line that
// reports a finished connection ends the line.
QString statusLine(const char *color, const QString &text, bool lineBreak = false);

// The hint of a tab that has not connected yet.
QString placeholderLine(const QString &text);

// Text from the user or a peer, made safe to put into a status line.
inline QString htmlText(const QString &text) { return text.toHtmlEscaped(); }
