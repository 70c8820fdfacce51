#pragma once

// What the terminal's keys and pastes send, as programs choose it with
// DECSET / DECRST and the keypad sequences. The modes belong to the
// terminal, not to a screen: programs set them on whichever screen is shown
// (mc asks for bracketed paste between leaving and entering the alternate
// screen), and they hold until the program resets them or the terminal is
// reset. The engine owns the one instance; both renderers set it and the
// input encoders read it.
struct InputModes
{
    bool appCursorKeys = false; // DECCKM (CSI ? 1 h / l)
    bool appKeypad = false;     // DECKPAM / DECKPNM (ESC = / ESC >)
    bool bracketedPaste = false;

    // DECSET (on) or DECRST of one private mode; false when it is no input
    // mode.
    bool setMode(int mode, bool on);
    void reset() { *this = InputModes(); }
};
