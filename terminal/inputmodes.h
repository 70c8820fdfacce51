#pragma once

#include <QByteArray>
#include <Qt>

// What the terminal's keys, pastes and mouse send, as programs choose it
// with DECSET / DECRST and the keypad sequences. The modes belong to the
// terminal, not to a screen: programs set them on whichever screen is shown
// (mc asks for bracketed paste and the mouse between leaving and entering
// the alternate screen), and they hold until the program resets them or the
// terminal is reset. The engine owns the one instance; both renderers set
// it and the input encoders read it.
struct InputModes
{
    enum class MouseTracking { Off, Press, PressRelease, ButtonMotion, AnyMotion };
    enum class MouseEncoding { Normal, Utf8, Sgr, Urxvt };
    enum class MouseAction { Press, Release, Motion };

    bool appCursorKeys = false; // DECCKM (CSI ? 1 h / l)
    bool appKeypad = false;     // DECKPAM / DECKPNM (ESC = / ESC >)
    bool bracketedPaste = false;
    MouseTracking mouseTracking = MouseTracking::Off;
    MouseEncoding mouseEncoding = MouseEncoding::Normal;

    // DECSET (on) or DECRST of one private mode; false when it is no input
    // mode. Tracking and encoding are each one choice: the last mode set
    // wins, and resetting the chosen one goes back to none.
    bool setMode(int mode, bool on);
    void reset() { *this = InputModes(); }

    bool mouseWanted() const { return mouseTracking != MouseTracking::Off; }
    // The report of a mouse event at a cell (0-based), or nothing when the
    // modes ask for none of this kind or the cell cannot be written in the
    // chosen encoding. button: 0 left, 1 middle, 2 right, 3 none (motion
    // without a button), 4 wheel up, 5 wheel down.
    QByteArray mouseReport(MouseAction action, int button, Qt::KeyboardModifiers modifiers, int col,
                           int row) const;
};
