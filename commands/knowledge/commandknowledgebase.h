#pragma once

#include <QMap>
#include <QString>

// Command name (as a user types it: "tail -f", "Ctrl+C", "!!") to a one-line
// Chinese description, ordered by key in case-sensitive UTF-16 order.
// Keys and texts point into read-only data; readers must only look up and
// walk the const map so that it is never detached.
using CommandKnowledgeBase = QMap<QString, QString>;

// Built on the first call, once per process even under concurrent first
// calls, and never changed afterwards.
const CommandKnowledgeBase &commandKnowledgeBase();
