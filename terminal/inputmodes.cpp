#include "terminal/inputmodes.h"

#include <QString>

namespace {

using Tracking = InputModes::MouseTracking;
using Encoding = InputModes::MouseEncoding;

template<typename Choice>
void choose(Choice &current, Choice mode, Choice none, bool on)
{
    if (on)
        current = mode;
    else if (current == mode)
        current = none;
}

// One coordinate or button value of the byte encodings: 32 added, one byte
// up to 255, or (UTF-8 encoding) one character up to 2047.
bool putValue(QByteArray &out, int value, bool utf8)
{
    const int v = value + 32;
    if (v <= 127 || (!utf8 && v <= 255)) {
        out += char(v);
        return true;
    }
    if (!utf8 || v > 2047)
        return false;
    out += QString(QChar(v)).toUtf8();
    return true;
}

} // namespace

bool InputModes::setMode(int mode, bool on)
{
    switch (mode) {
    case 1: appCursorKeys = on; break;
    case 2004: bracketedPaste = on; break;
    case 9: choose(mouseTracking, Tracking::Press, Tracking::Off, on); break;
    case 1000: choose(mouseTracking, Tracking::PressRelease, Tracking::Off, on); break;
    case 1002: choose(mouseTracking, Tracking::ButtonMotion, Tracking::Off, on); break;
    case 1003: choose(mouseTracking, Tracking::AnyMotion, Tracking::Off, on); break;
    case 1005: choose(mouseEncoding, Encoding::Utf8, Encoding::Normal, on); break;
    case 1006: choose(mouseEncoding, Encoding::Sgr, Encoding::Normal, on); break;
    case 1015: choose(mouseEncoding, Encoding::Urxvt, Encoding::Normal, on); break;
    default: return false;
    }
    return true;
}

QByteArray InputModes::mouseReport(MouseAction action, int button, Qt::KeyboardModifiers modifiers, int col,
                                   int row) const
{
    if (col < 0 || row < 0 || button < 0 || button > 5)
        return {};
    switch (mouseTracking) {
    case Tracking::Off: return {};
    case Tracking::Press:
        if (action != MouseAction::Press)
            return {};
        break;
    case Tracking::PressRelease:
        if (action == MouseAction::Motion)
            return {};
        break;
    case Tracking::ButtonMotion:
        if (action == MouseAction::Motion && button == 3)
            return {};
        break;
    case Tracking::AnyMotion: break;
    }
    const bool wheel = button >= 4;
    if (wheel && action != MouseAction::Press)
        return {};
    int code = wheel ? 64 + button - 4 : button;
    if (action == MouseAction::Motion)
        code += 32;
    // The oldest mode reports the button alone.
    if (mouseTracking != Tracking::Press) {
        if (modifiers & Qt::ShiftModifier)
            code += 4;
        if (modifiers & Qt::AltModifier)
            code += 8;
        if (modifiers & Qt::ControlModifier)
            code += 16;
    }
    if (mouseEncoding == Encoding::Sgr) {
        // Only this encoding tells which button was released.
        return QStringLiteral("\x1b[<%1;%2;%3%4")
            .arg(code)
            .arg(col + 1)
            .arg(row + 1)
            .arg(QChar(action == MouseAction::Release ? u'm' : u'M'))
            .toLatin1();
    }
    if (action == MouseAction::Release)
        code = (code & ~3) | 3;
    if (mouseEncoding == Encoding::Urxvt)
        return QStringLiteral("\x1b[%1;%2;%3M").arg(code + 32).arg(col + 1).arg(row + 1).toLatin1();
    QByteArray out("\x1b[M");
    const bool utf8 = mouseEncoding == Encoding::Utf8;
    if (!putValue(out, code, false) || !putValue(out, col + 1, utf8) || !putValue(out, row + 1, utf8))
        return {};
    return out;
}
