#pragma once

#include <QString>
#include <QStringList>

// Names that completion offers without the user having typed them before.
// All of these run on the GUI thread.

// Shell commands and builtins of Linux hosts (252 distinct names).
QStringList builtinLinuxCommands();
// Command-prompt names, then PowerShell cmdlets and aliases (149 entries;
// six names stand in both halves and are kept twice).
QStringList builtinWindowsCommands();
// "windows"/"cmd"/"powershell" and "linux"/"unix"/"macos" (any case, blanks
// around ignored) pick one list; any other key, the empty one included, gets
// both, the Windows names first, each name once regardless of case.
QStringList builtinCommandsFor(const QString &osKey);
// 3.5 for the handful of commands people type most, 2.0 for the rest; exact,
// case-sensitive names.
double builtinWeight(const QString &name);

// Names of the executable regular files (links followed) in the directories
// of the PATH, scanned once per process and sorted by UTF-16 code units.
QStringList pathExecutables();
// The uncached scan behind pathExecutables: pathValue is a PATH-style list
// separated by ':'; blank parts and missing directories are skipped and a
// name found in several directories is listed once.
QStringList scanPathExecutables(const QString &pathValue);
