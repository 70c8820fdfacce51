#pragma once

#include "commands/completionengine.h"

#include <QStringList>

// How the owners of a CompletionEngine (the command window, a terminal's
// inline completion) turn their sources into candidates, so that both give
// the same tags and weights. Tags are translated when the candidate is made.

enum class CompletionSource { History, Button, Remote, System, Builtin };

QString completionSourceTag(CompletionSource source);

// history is oldest first; newer entries weigh more (6.0 + 0.5 per place).
void appendHistoryCandidates(QVector<CompletionCandidate> &out, const QStringList &history);
// One quick-command button; a blank command gives nothing. Weight 5.0.
void appendButtonCandidate(QVector<CompletionCandidate> &out, const QString &command, const QString &label);
// Names the remote host reported. Weight 4.0.
void appendRemoteCandidates(QVector<CompletionCandidate> &out, const QStringList &names);
// Executables of the local PATH. Weight 3.5.
void appendPathCandidates(QVector<CompletionCandidate> &out, const QStringList &names);
// The built-in names for an operating-system key, with their descriptions
// and popular (3.5) or plain (2.0) weights.
void appendBuiltinCandidates(QVector<CompletionCandidate> &out, const QString &osKey);

// The key of the system this program runs on: local sessions complete with
// its names and with the PATH executables.
QString localSystemKey();

// The operating-system key of a session: what its host reported ("linux" or
// "windows" exactly), else the session's env_type when it names one, else
// its type (local: this system; ssh, telnet, rlogin: "linux"); empty (both
// lists) when nothing decides or no session is known.
QString completionOsKey(const QString &reportedOs, bool sessionKnown, const QString &sessionType,
                        const QString &envType);

// PATH executables are offered only to a known local session completing
// with this system's names.
bool offersPathExecutables(bool sessionKnown, const QString &sessionType, const QString &osKey);
