#pragma once

#include <QString>

namespace platform {

// Installs handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT that run on
// an alternate stack (so a stack overflow is reported too) and use only
// async-signal-safe calls. A fatal signal appends a stack section to the crash
// log, writes a text dump (signal, faulting address, stack, loaded modules;
// never process memory, which may hold decrypted passwords) into dumpFolder,
// appends one crash line to the crash log and ends the process with code 1.
void installFatalSignalHandlers(const QString &crashLogPath, const QString &dumpFolder);

// For failures outside a signal (std::terminate): writes the text dump and the
// crash line, without a stack section in the crash log, then ends the process
// at once with exitCode. Needs installFatalSignalHandlers to have run.
[[noreturn]] void crashExit(const char *reason, int exitCode);

} // namespace platform
