#pragma once

// Line mode breaks a received line that does not fit the terminal's width
// into rows, one block each, as a terminal with automatic margins does: the
// cursor moves by rows, and line editors find the rows where they left them.
// A row that goes on with the line above carries a mark in its block's user
// state (as xterm and konsole keep a wrapped flag per row), so that whatever
// takes text out of the document (copy, find, print) joins the rows again,
// and a new width can lay the same lines out afresh.

#include <QString>
#include <QTextBlock>
#include <QTextCursor>

class QTextDocument;

namespace wrappedlines {

// The user state of a row that continues the line above; any other value
// (a new block has -1) starts a line.
constexpr int ContinuesAbove = 0x57524150;

inline bool continuesAbove(const QTextBlock &block)
{
    return block.userState() == ContinuesAbove;
}

inline void markContinues(QTextBlock block, bool on)
{
    if (block.isValid() && continuesAbove(block) != on)
        block.setUserState(on ? ContinuesAbove : -1);
}

// The text between two document positions, one line end per line: the
// breaks between the rows of a wrapped line are left out.
QString joinedText(const QTextDocument *doc, int from, int to);
QString joinedText(const QTextDocument *doc);

// Searches the lines (rows joined) forward from a document position,
// without regard to case; the match, selected, or a null cursor. A match
// may run across the break between two rows of one line.
QTextCursor findInLines(QTextDocument *doc, const QString &text, int from);

// Lays the lines of the document out again at a width in cells, but for
// its last keepRows rows: the rows of each wrapped line are joined and broken
// anew where the width ends; a line that fits stays as it is. Character
// formats go with their text, and cursors on the document keep their places.
void reflow(QTextDocument *doc, int columns, int keepRows);

// The display width of the text of a row, in cells.
int rowWidth(const QTextBlock &block);

} // namespace wrappedlines
