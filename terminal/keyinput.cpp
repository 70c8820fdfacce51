#include "terminal/keyinput.h"

#include "core/debuglog.h"

namespace {

// A key that produced no text but means a control character with Ctrl held
// (some platforms leave the text empty for these).
QString controlText(int key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return QString(QChar(char16_t(key - Qt::Key_A + 1)));
    switch (key) {
    case Qt::Key_At:
    case Qt::Key_Space:
    case Qt::Key_2:
        return QString(QChar(char16_t(0)));
    case Qt::Key_BracketLeft:
        return QStringLiteral("\x1b");
    case Qt::Key_Backslash:
        return QStringLiteral("\x1c");
    case Qt::Key_BracketRight:
        return QStringLiteral("\x1d");
    case Qt::Key_AsciiCircum:
    case Qt::Key_6:
        return QStringLiteral("\x1e");
    case Qt::Key_Underscore:
    case Qt::Key_Slash:
        return QStringLiteral("\x1f");
    default:
        return QString();
    }
}

bool isModifierKey(int key)
{
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_NumLock:
        return true;
    default:
        return false;
    }
}

void chopLastCharacter(QString &s)
{
    if (s.isEmpty())
        return;
    const bool pair = s.size() >= 2 && s.back().isLowSurrogate() && s.at(s.size() - 2).isHighSurrogate();
    s.chop(pair ? 2 : 1);
}

} // namespace

QByteArray KeyInput::keyBytes(int key, bool app)
{
    switch (key) {
    case Qt::Key_Insert: return QByteArrayLiteral("\x1b[2~");
    case Qt::Key_Delete: return QByteArrayLiteral("\x1b[3~");
    case Qt::Key_Home: return app ? QByteArrayLiteral("\x1bOH") : QByteArrayLiteral("\x1b[H");
    case Qt::Key_End: return app ? QByteArrayLiteral("\x1bOF") : QByteArrayLiteral("\x1b[F");
    case Qt::Key_Up: return app ? QByteArrayLiteral("\x1bOA") : QByteArrayLiteral("\x1b[A");
    case Qt::Key_Down: return app ? QByteArrayLiteral("\x1bOB") : QByteArrayLiteral("\x1b[B");
    case Qt::Key_Right: return app ? QByteArrayLiteral("\x1bOC") : QByteArrayLiteral("\x1b[C");
    case Qt::Key_Left: return app ? QByteArrayLiteral("\x1bOD") : QByteArrayLiteral("\x1b[D");
    case Qt::Key_PageUp: return QByteArrayLiteral("\x1b[5~");
    case Qt::Key_PageDown: return QByteArrayLiteral("\x1b[6~");
    case Qt::Key_Backtab: return QByteArrayLiteral("\x1b[Z");
    case Qt::Key_F1: return QByteArrayLiteral("\x1bOP");
    case Qt::Key_F2: return QByteArrayLiteral("\x1bOQ");
    case Qt::Key_F3: return QByteArrayLiteral("\x1bOR");
    case Qt::Key_F4: return QByteArrayLiteral("\x1bOS");
    // The codes of the "xterm" terminal type that sessions announce: the
    // numbers skip 16 and 22, so F6 is 17 and F12 is 24.
    case Qt::Key_F5: return QByteArrayLiteral("\x1b[15~");
    case Qt::Key_F6: return QByteArrayLiteral("\x1b[17~");
    case Qt::Key_F7: return QByteArrayLiteral("\x1b[18~");
    case Qt::Key_F8: return QByteArrayLiteral("\x1b[19~");
    case Qt::Key_F9: return QByteArrayLiteral("\x1b[20~");
    case Qt::Key_F10: return QByteArrayLiteral("\x1b[21~");
    case Qt::Key_F11: return QByteArrayLiteral("\x1b[23~");
    case Qt::Key_F12: return QByteArrayLiteral("\x1b[24~");
    case Qt::Key_F13: return QByteArrayLiteral("\x1b[1;2P");
    case Qt::Key_F14: return QByteArrayLiteral("\x1b[1;2Q");
    default: return QByteArray();
    }
}

KeyAction KeyInput::keyPress(int key, Qt::KeyboardModifiers mods, const QString &eventText, int lastCharBytes)
{
    KeyAction a;
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        a.moveToEnd = localEcho;
        a.applyLocally = localEcho && bs08;
        typedLine.clear();
        a.hideCompletion = true;
        a.bytes = QByteArrayLiteral("\r");
        return a;
    }
    if (key == Qt::Key_Backspace) {
        if (composing) {
            a.handled = false;
            return a;
        }
        a.moveToEnd = localEcho;
        chopLastCharacter(typedLine);
        a.restartCompletion = true;
        const int erased = qMax(1, lastCharBytes);
        if (localEcho)
            a.applyLocally = true;
        else if (!ptyEcho && bs08)
            a.eraseEcho = erased - 1;
        a.bytes = bs08 ? QByteArray(erased, '\x08') : QByteArrayLiteral("\x7f");
        if (debugLogEnabled()) {
            debugLog(QStringLiteral("KEY Backspace: localEcho=%1 bs08=%2 L=%3 (send %4)")
                         .arg(int(localEcho))
                         .arg(int(bs08))
                         .arg(erased)
                         .arg(bs08 ? QStringLiteral("0x08 x%1").arg(erased) : QStringLiteral("0x7F x1")));
        }
        return a;
    }
    if (key == Qt::Key_Tab) {
        typedLine.clear();
        a.hideCompletion = true;
        a.bytes = QByteArrayLiteral("\t");
        return a;
    }

    // The table's keys send the table's bytes even when the platform gives
    // them text: X11 gives Delete the text DEL, the byte of Backspace.
    if (specialKeys) {
        a.bytes = keyBytes(key, modes && modes->appCursorKeys);
        if (!a.bytes.isEmpty()) {
            typedLine.clear();
            a.hideCompletion = true;
            return a;
        }
    }
    QString text = eventText;
    if ((mods & Qt::ControlModifier) && (text.isEmpty() || text.at(0).unicode() >= 0x20))
        text = controlText(key).isEmpty() ? text : controlText(key);
    if (!text.isEmpty()) {
        if (composing)
            return a;
        const char16_t first = text.at(0).unicode();
        // With Alt the letter is a Meta key for the host's line editor (a
        // word back, a word forward): it adds nothing to the typed command,
        // and the host's line no longer follows what was typed.
        if (first >= 0x20 && first != 0x7f && !(mods & Qt::AltModifier)) {
            if (collecting()) {
                typedLine += text;
                a.restartCompletion = true;
            }
        } else {
            typedLine.clear();
            a.hideCompletion = true;
        }
        a.moveToEnd = localEcho;
        a.applyLocally = localEcho;
        // Alt sends ESC before the key, which shells and editors read as Meta.
        if (mods & Qt::AltModifier)
            a.bytes = QByteArrayLiteral("\x1b");
        a.bytes += text.toUtf8();
        return a;
    }

    if (!isModifierKey(key)) {
        typedLine.clear();
        a.hideCompletion = true;
    }
    a.handled = false;
    return a;
}

KeyAction KeyInput::inputMethod(const QString &commit, const QString &preedit)
{
    KeyAction a;
    if (!commit.isEmpty()) {
        a.bytes = commit.toUtf8();
        if (collecting() && commit.at(0).unicode() >= 0x20) {
            typedLine += commit;
            a.restartCompletion = true;
        }
    }
    composing = !preedit.isEmpty();
    // With local echo the composition shows in the document as well; the
    // committed text goes to the session either way.
    a.moveToEnd = localEcho;
    a.applyLocally = localEcho;
    return a;
}

KeyAction KeyInput::paste(const QString &pasted)
{
    KeyAction a;
    a.applyLocally = localEcho;
    QString text = pasted;
    if (modes && modes->bracketedPaste) {
        // An ESC inside the text could end the bracket early and let the
        // pasted text act as typed commands.
        text.remove(QChar(0x1b));
        if (!text.contains(u'\n') && collecting())
            typedLine += text;
        a.bytes = QByteArrayLiteral("\x1b[200~") + text.toUtf8() + QByteArrayLiteral("\x1b[201~");
        return a;
    }
    if (altScreenActive) {
        // Full-screen programs take Enter as CR; a CR LF pair is one line end.
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\r"));
        text.replace(u'\n', u'\r');
    }
    if (!text.contains(u'\n') && collecting())
        typedLine += text;
    a.bytes = text.toUtf8();
    return a;
}
