#include "terminal/inputmodes.h"

bool InputModes::setMode(int mode, bool on)
{
    switch (mode) {
    case 1: appCursorKeys = on; break;
    case 2004: bracketedPaste = on; break;
    default: return false;
    }
    return true;
}
