#pragma once

#include "commands/completionengine.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

// Candidates longer than this are not offered: nobody completes to a
// megabyte of text, and matching and drawing such entries on every pause
// in typing would stall the window. Such commands stay in the history.
constexpr qsizetype MaxCandidateChars = 4096;

// What a session's candidates are made of, read from the stores. Two equal
// inputs give the same candidates (the PATH is read once per process), so
// an owner that gathers on every pause in typing can skip the gathering.
struct CompletionInputs {
    QStringList history; // oldest first
    QStringList buttons; // command, then label, of every button in order
    QStringList remote;  // what the host reported
    QString osKey;
    bool withPath = false;
    QString language; // of the source tags

    bool operator==(const CompletionInputs &o) const
    {
        return history == o.history && buttons == o.buttons && remote == o.remote && osKey == o.osKey &&
               withPath == o.withPath && language == o.language;
    }
    bool operator!=(const CompletionInputs &o) const { return !(*this == o); }
};

CompletionInputs completionInputs(const QString &sessionId, const QStringList &history);

// Everything completion offers for a session: its history (oldest first, as
// the caller keeps it), the quick-command buttons, the commands its host
// reported, the executables on the PATH for a local session, and the
// built-in names of the session's system.
QVector<CompletionCandidate> gatherCompletionCandidates(const CompletionInputs &inputs);
QVector<CompletionCandidate> gatherCompletionCandidates(const QString &sessionId, const QStringList &history);

// What to add after the typed text so that it becomes the chosen one: the
// rest of the chosen text, or of its first word, that starts with the typed
// text regardless of case. Empty when neither does, and when the rest holds
// a control character (a line end would run a command the user never saw).
QString completionInsertion(const QString &typed, const QString &chosen);

// The command window's side of completion, without widgets: the candidates
// of the current session, the pause in typing after which the input is
// ranked, and the rules that keep completion quiet (HEX input, several
// lines, a history walk, the query just ranked or accepted).
class CompletionGatherer : public QObject
{
    Q_OBJECT
public:
    static constexpr int PauseMs = 90;

    explicit CompletionGatherer(QObject *parent = nullptr);

    // Gathers the session's candidates afresh. When results are shown and
    // there is a query, they are ranked again after the pause.
    void rebuild(const QString &sessionId, const QStringList &history, bool resultsShown);
    // Replaces the candidates as they are (measuring tools, tests).
    void setCandidates(const QVector<CompletionCandidate> &candidates);

    // The input's whole text; every change restarts the pause.
    void setText(const QString &text);
    // HEX input completes nothing: on, the results are hidden; off, the
    // current text is ranked again after the pause.
    void setHex(bool on);
    // While the user walks the history, nothing is shown.
    void setWalkingHistory(bool walking) { walkingHistory = walking; }
    // The user took a suggestion: the text it put in the input is not
    // offered again.
    void accept(const QString &text);

    // The text to rank: the input when it is one line and not blank, and
    // HEX is off; otherwise empty.
    QString query() const;
    // The pause's single-shot timer; tests end a pause by calling update().
    QTimer &pause() { return timer; }
    const CompletionEngine &engine() const { return completionEngine; }

public slots:
    // Ranks the query (unless it was just ranked) and asks for the results
    // to be shown, or hidden when there are none.
    void update();

signals:
    void showRequested(const QVector<CompletionCandidate> &results);
    void hideRequested();

private:
    CompletionEngine completionEngine;
    QTimer timer;
    QString text;
    QString lastQuery;
    bool hex = false;
    bool walkingHistory = false;
};
