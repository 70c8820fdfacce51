#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Whether the host's line editor takes a bracketed paste, as its output
// shows it: an editor that does asks the terminal for the mode (CSI ? 2004
// h) while it reads a line, and drops it (CSI ? 2004 l) as it hands the line
// on. Until the host has shown either, it is taken not to; once it has, the
// connection's editors are taken to (a login from it on another host may
// lead to one that does not, which the sender's framing allows for).
class EditorPasteWatch
{
public:
    // Host output, as it is drawn.
    void see(QByteArrayView output);
    bool editorTakesPaste() const { return m_takesPaste; }
    void reset() { *this = EditorPasteWatch(); }

private:
    bool m_takesPaste = false;
    QByteArray m_carry; // the start of a sequence cut off at the end of a read
};
