#pragma once

// The global dark style sheet, set on the application and put in front of
// the style sheets of windows that set their own.
extern const char appStyleSheet[];
