#pragma once

#include "commands/completionengine.h"

#include <QStringList>

// Types the last character of each query (in turn, `samples` times) into a
// command window whose completion holds the candidates, and prints how long
// the popup took beyond the pause in typing, beside a bare timer's latency.
void measureKeystroke(const QVector<CompletionCandidate> &candidates, const QStringList &queries, int samples);
