#include "commands/completiongatherer.h"

#include "commands/builtincommands.h"
#include "commands/completionsources.h"
#include "core/languagemanager.h"
#include "core/remoteenvregistry.h"
#include "core/sessionstore.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

bool isControl(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u <= 0x9f);
}

} // namespace

CompletionInputs completionInputs(const QString &sessionId, const QStringList &history)
{
    const SessionStore &store = SessionStore::instance();
    const std::optional<SessionInfo> session = store.findSession(sessionId);
    RemoteEnvRegistry &registry = remoteEnvRegistry();

    CompletionInputs in;
    in.history = history;
    const QList<ButtonGroup> groups = store.buttonGroups();
    for (const ButtonGroup &group : groups) {
        for (const ButtonCommand &button : group.buttons)
            in.buttons << button.command << button.text;
    }
    in.remote = registry.remoteCommands(sessionId);
    const QString type = session ? session->type : QString();
    in.osKey =
        completionOsKey(registry.remoteOs(sessionId), session.has_value(), type, session ? session->env_type : QString());
    in.withPath = offersPathExecutables(session.has_value(), type, in.osKey);
    in.language = LanguageManager::currentLanguage();
    return in;
}

QVector<CompletionCandidate> gatherCompletionCandidates(const CompletionInputs &in)
{
    QVector<CompletionCandidate> all;
    all.reserve(in.history.size() + 64);
    appendHistoryCandidates(all, in.history);
    for (qsizetype i = 0; i + 1 < in.buttons.size(); i += 2)
        appendButtonCandidate(all, in.buttons.at(i), in.buttons.at(i + 1));
    appendRemoteCandidates(all, in.remote);
    if (in.withPath)
        appendPathCandidates(all, pathExecutables());
    appendBuiltinCandidates(all, in.osKey);

    all.erase(std::remove_if(all.begin(), all.end(),
                             [](const CompletionCandidate &c) { return c.text.size() > MaxCandidateChars; }),
              all.end());
    return all;
}

QVector<CompletionCandidate> gatherCompletionCandidates(const QString &sessionId, const QStringList &history)
{
    return gatherCompletionCandidates(completionInputs(sessionId, history));
}

QString completionInsertion(const QString &typed, const QString &chosen)
{
    QString rest;
    if (chosen.startsWith(typed, Qt::CaseInsensitive)) {
        rest = chosen.mid(typed.size());
    } else {
        static const QRegularExpression blanks(QStringLiteral("\\s+"));
        const QStringList words = chosen.split(blanks, Qt::SkipEmptyParts);
        const auto word = std::find_if(words.cbegin(), words.cend(), [&typed](const QString &w) {
            return w.startsWith(typed, Qt::CaseInsensitive);
        });
        if (word != words.cend())
            rest = word->mid(typed.size());
    }
    if (std::any_of(rest.cbegin(), rest.cend(), isControl))
        return QString();
    return rest;
}

CompletionGatherer::CompletionGatherer(QObject *parent) : QObject(parent)
{
    completionEngine.maxResults = 10;
    timer.setSingleShot(true);
    timer.setInterval(PauseMs);
    connect(&timer, &QTimer::timeout, this, &CompletionGatherer::update);
}

void CompletionGatherer::rebuild(const QString &sessionId, const QStringList &history, bool resultsShown)
{
    setCandidates(gatherCompletionCandidates(sessionId, history));
    if (resultsShown && !query().isEmpty())
        timer.start();
}

void CompletionGatherer::setCandidates(const QVector<CompletionCandidate> &candidates)
{
    completionEngine.setCandidates(candidates);
    lastQuery.clear();
}

void CompletionGatherer::setText(const QString &newText)
{
    text = newText;
    timer.start();
}

void CompletionGatherer::setHex(bool on)
{
    hex = on;
    if (on) {
        timer.stop();
        emit hideRequested();
        return;
    }
    lastQuery.clear();
    timer.start();
}

void CompletionGatherer::accept(const QString &accepted)
{
    timer.stop();
    lastQuery = accepted;
    walkingHistory = false;
}

QString CompletionGatherer::query() const
{
    if (hex || text.isEmpty() || text.contains(QLatin1Char('\n')) || text.trimmed().isEmpty())
        return QString();
    return text;
}

void CompletionGatherer::update()
{
    const QString q = query();
    if (q.isEmpty()) {
        emit hideRequested();
        return;
    }
    if (q == lastQuery)
        return;
    lastQuery = q;
    if (walkingHistory) {
        emit hideRequested();
        return;
    }
    const QVector<CompletionCandidate> results = completionEngine.rank(q);
    if (results.isEmpty())
        emit hideRequested();
    else
        emit showRequested(results);
}
