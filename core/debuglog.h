#pragma once

#include <QString>

// A diagnostic trace, off unless HALVORSTEAD_DEBUG_LOG is set when the
// program starts. Callers test debugLogEnabled() before building costly texts.
// Never pass passwords, passphrases or typed bytes: log lengths instead.
bool debugLogEnabled();
void debugLog(const QString &text);

// The file the trace goes to (inside the per-user temporary folder).
QString debugLogPath();
