#pragma once

#include "terminal/inputmodes.h"

#include <QByteArray>
#include <QString>
#include <Qt>

// What one keyboard, input-method or paste event means: the bytes for the
// session and what the edit should do with its own document.
struct KeyAction
{
    QByteArray bytes;         // to send; empty sends nothing
    bool handled = true;      // false: only the edit's own handling runs
    bool moveToEnd = false;   // local echo: the edit's cursor goes to the end first
    bool applyLocally = false; // local echo: the edit also applies the event
    int eraseEcho = -1;       // >= 0: a Backspace whose echo brings this many extra BS
    bool hideCompletion = false;
    bool restartCompletion = false;
};

// Keyboard, input method and paste turned into bytes, without widgets. The
// edit fills in the session's flags and the screen's modes, hands over the
// event's data and carries out the returned action.
class KeyInput
{
public:
    // The bytes of a key without text (cursor, editing and function keys),
    // with the application forms of the cursor keys when asked for; empty
    // for any other key.
    static QByteArray keyBytes(int key, bool appCursorKeys = false);

    // lastCharBytes: the UTF-8 length of the document's last character
    // (what a Backspace erases on the remote line).
    KeyAction keyPress(int key, Qt::KeyboardModifiers modifiers, const QString &text,
                       int lastCharBytes = 1);
    KeyAction inputMethod(const QString &commit, const QString &preedit);
    KeyAction paste(const QString &text);

    bool localEcho = false;
    bool ptyEcho = false;
    bool specialKeys = false;
    bool bs08 = false;
    bool composing = false;
    bool hexActive = false;
    bool altScreenActive = false; // the screen grid is shown
    // The terminal's input modes (the engine owns them); none: all off.
    const InputModes *modes = nullptr;
    // The command line being typed, as far as it can be followed.
    QString typedLine;

private:
    bool collecting() const { return !hexActive && !altScreenActive; }
};
