#pragma once

// ui_bench sessions: opening 50 local shells from the tree and one command
// sent to all of them, in the real window on the current X display.
int sessionsBench(int argc, char **argv);
