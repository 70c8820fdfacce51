#pragma once

#include <QString>
#include <QtGlobal>

// The program's own diagnostic files. They live in a per-user folder inside
// the temporary folder (see platform::privateTempDir), created 0600 without
// following links; their names are fixed.
QString qtLogPath();
QString crashLogPath();

// Installs the fatal-signal handlers, the terminate handler and the Qt
// message handler. Call first thing in main.
void installDiagnostics();

// Appends one line per Qt message to the Qt log:
// "yyyyMMdd_HHmmss [LEVEL] file:line message".
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

[[noreturn]] void terminateHandler();
