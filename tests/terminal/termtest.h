#pragma once

// Shared by the terminal tests: escape-sequence literals and the screen as text.

#include "terminal/screengrid.h"

#include <QRegularExpression>
#include <QStringList>

namespace termtest {

// "\e" in a literal stands for ESC.
inline QString esc(const char *s) { return QString::fromUtf8(s).replace(QLatin1String("\\e"), QStringLiteral("\x1b")); }

// Rows with trailing blanks trimmed and trailing empty rows dropped, joined
// by "|", then the cursor as " @row,col" (0-based).
inline QString screenText(QStringList rows, int row, int col)
{
    rows.replaceInStrings(QRegularExpression(QStringLiteral(" +$")), QString());
    while (!rows.isEmpty() && rows.last().isEmpty())
        rows.removeLast();
    return rows.join(u'|') + QStringLiteral(" @%1,%2").arg(row).arg(col);
}

inline QString screenText(const ScreenGrid &g)
{
    QStringList rows;
    for (int r = 0; r < g.rowCount(); ++r)
        rows << g.rowText(r);
    return screenText(rows, g.cursorRow, g.cursorCol);
}

} // namespace termtest
