#pragma once

struct SessionDialogs;

// Plugs the new-session wizard and the session options dialog into the
// window's dialog seam.
void installSessionDialogs(SessionDialogs &dialogs);
