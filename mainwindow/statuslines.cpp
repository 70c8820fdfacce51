#include "mainwindow/statuslines.h"

QString toHexString(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString statusLine(const char *color, const QString &text, bool lineBreak)
{
    QString line = QStringLiteral("<span style='color:%1'>%2</span>").arg(QLatin1String(color), text);
    if (lineBreak)
        line += QStringLiteral("<br/>");
    return line;
}

QString placeholderLine(const QString &text)
{
    return QStringLiteral("<div>") + statusLine(StatusColor::neutral, text) + QStringLiteral("</div>");
}
