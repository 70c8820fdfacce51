// Measures completion as the command window uses it: a rebuild of the
// candidates (100 history entries, 50 buttons, 5,000 remote names, 3,000 PATH
// names and the built-in names of both systems) and the ranking of typical
// queries against them. The straightforward forms of the description
// look-up and of ranking (lower-casing and splitting every candidate for
// every query, walking the whole table for every name without an exact key)
// run beside them as the reference. Then a PATH of 50,000 executables and a
// query of 1 MiB, and the time from a key in the command window to the popup
// drawn (keystroke.cpp). Without a display it draws offscreen.
#include "commands/builtincommands.h"
#include "commands/completionengine.h"
#include "commands/completiongatherer.h"
#include "commands/completionsources.h"
#include "commands/knowledge/commandknowledgebase.h"
#include "core/languagemanager.h"
#include "keystroke.h"

#include <QApplication>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

QStringList history;
QStringList buttons;
QStringList remoteNames;
QStringList pathNames;

void makeInputs()
{
    const QStringList verbs{"git", "docker", "kubectl", "systemctl", "tail", "grep", "ssh", "make", "python3", "ls"};
    const QStringList objects{"status", "logs -f web", "get pods", "restart nginx", "-F /var/log/syslog",
                              "-rn TODO src", "admin@10.0.0.7", "-j8 all", "manage.py migrate", "-la /etc"};
    for (int i = 0; i < 100; ++i)
        history << verbs[i % 10] + ' ' + objects[(i / 10 + i) % 10] + QString::number(i);
    for (int i = 0; i < 50; ++i)
        buttons << QStringLiteral("show interface GigabitEthernet0/%1").arg(i);
    // Remote hosts report their commands in mixed case, much as compgen lists them.
    for (int i = 0; i < 5000; ++i)
        remoteNames << QStringLiteral("%1%2-%3").arg(i % 3 ? "cmd" : "Tool").arg(i).arg(verbs[i % 10]);
    for (int i = 0; i < 3000; ++i)
        pathNames << QStringLiteral("%1-helper%2").arg(verbs[(i * 7) % 10]).arg(i);
}

QVector<CompletionCandidate> gather()
{
    QVector<CompletionCandidate> all;
    all.reserve(history.size() + 64);
    appendHistoryCandidates(all, history);
    for (const QString &b : buttons)
        appendButtonCandidate(all, b, QStringLiteral("端口"));
    appendRemoteCandidates(all, remoteNames);
    appendPathCandidates(all, pathNames);
    appendBuiltinCandidates(all, QString());
    return all;
}

// The look-up that walks the table for every name without an exact key.
QString walkingDescription(const QString &name)
{
    const CommandKnowledgeBase &table = commandKnowledgeBase();
    const auto exact = table.constFind(name);
    if (exact != table.cend())
        return exact.value();
    const QString lower = name.toLower();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        if (it.key().toLower() == lower)
            return it.value();
    }
    return QString();
}

// Ranking that lower-cases and splits each candidate on each query.
QVector<CompletionCandidate> splittingRank(const QVector<CompletionCandidate> &candidates, const QString &query)
{
    const QString q = query.trimmed().toLower();
    QVector<CompletionCandidate> out;
    if (q.isEmpty())
        return out;
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    for (const CompletionCandidate &c : candidates) {
        const QString t = c.text.toLower();
        int base = 0;
        if (t == q)
            base = 100;
        else if (t.startsWith(q))
            base = 90;
        else {
            const QStringList words = t.split(blanks, Qt::SkipEmptyParts);
            if (std::any_of(words.cbegin(), words.cend(), [&](const QString &w) { return w.startsWith(q); }))
                base = 75;
            else if (t.contains(q))
                base = 50;
        }
        if (!base)
            continue;
        CompletionCandidate r = c;
        r.weight = base * std::clamp(c.weight / 10.0, 0.4, 1.0);
        out.append(r);
    }
    std::sort(out.begin(), out.end(), [](const CompletionCandidate &a, const CompletionCandidate &b) {
        return a.weight != b.weight ? a.weight > b.weight : a.text < b.text;
    });
    if (out.size() > 10)
        out.resize(10);
    return out;
}

bool sameResults(const QVector<CompletionCandidate> &a, const QVector<CompletionCandidate> &b)
{
    return std::equal(a.cbegin(), a.cend(), b.cbegin(), b.cend(), [](const auto &x, const auto &y) {
        return x.text == y.text && x.weight == y.weight;
    });
}

// Microseconds per run, best of five rounds.
double perRun(int runs, const std::function<void()> &work)
{
    double best = 1e300;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < runs; ++i)
            work();
        best = std::min(best, timer.nsecsElapsed() / 1000.0 / runs);
    }
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    LanguageManager::setLanguage(QStringLiteral("en"));
    makeInputs();

    QElapsedTimer first;
    first.start();
    const qsizetype tableSize = commandKnowledgeBase().size();
    std::printf("knowledge base first build    %9.1f us  (%lld entries)\n", first.nsecsElapsed() / 1000.0,
                static_cast<long long>(tableSize));
    first.restart();
    const qsizetype pathCount = pathExecutables().size();
    std::printf("PATH scan of this machine     %9.1f us  (%lld names)\n", first.nsecsElapsed() / 1000.0,
                static_cast<long long>(pathCount));

    const QStringList builtins = builtinCommandsFor(QString());
    qsizetype sink = 0;
    const double indexed = perRun(20, [&] {
        for (const QString &n : builtins)
            sink += builtinDescription(n.toUpper()).size();
    });
    const double walked = perRun(20, [&] {
        for (const QString &n : builtins)
            sink += walkingDescription(n.toUpper()).size();
    });
    std::printf("describe 368 names, any case  %9.1f us  (reference walking the table: %.1f us)\n", indexed, walked);

    CompletionEngine engine;
    QVector<CompletionCandidate> gathered;
    const double rebuild = perRun(20, [&] {
        gathered = gather();
        engine.setCandidates(gathered);
    });
    std::printf("rebuild (gather + merge)      %9.1f us  (%lld candidates, aim < 10000 us)\n", rebuild,
                static_cast<long long>(engine.candidates().size()));

    const QStringList queries{"g", "gi", "git st", "status", "tool", "cmd42", "-", "zzz", "Get-", "helper29"};
    double worst = 0, sum = 0, refSum = 0;
    for (const QString &q : queries) {
        const double us = perRun(50, [&] { sink += engine.rank(q).size(); });
        const double ref = perRun(10, [&] { sink += splittingRank(engine.candidates(), q).size(); });
        if (!sameResults(engine.rank(q), splittingRank(engine.candidates(), q)))
            std::printf("  results differ from the reference for \"%s\"\n", qPrintable(q));
        std::printf("rank \"%s\"%*s%9.1f us  (reference splitting every candidate: %.1f us)\n", qPrintable(q),
                    int(24 - q.size()), "", us, ref);
        worst = std::max(worst, us);
        sum += us;
        refSum += ref;
    }
    std::printf("rank, mean of %lld queries      %9.1f us  (worst %.1f us, reference mean %.1f us, aim < 1000 us)\n",
                static_cast<long long>(queries.size()), sum / queries.size(), worst, refSum / queries.size());

    // Hostile sizes: a PATH of 50,000 executables, and a query of 1 MiB.
    QStringList bigPath;
    for (int i = 0; i < 50000; ++i)
        bigPath << QStringLiteral("%1-tool%2").arg(QLatin1String(i % 2 ? "gx" : "zz")).arg(i);
    CompletionEngine big;
    const double bigRebuild = perRun(5, [&] {
        QVector<CompletionCandidate> all = gathered;
        appendPathCandidates(all, bigPath);
        big.setCandidates(all);
    });
    std::printf("rebuild with 50,000 PATH names %8.1f us  (%lld candidates)\n", bigRebuild,
                static_cast<long long>(big.candidates().size()));
    // The terminal gathers on every pause in typing unless its sources are
    // unchanged; telling that is what a pause costs then.
    const CompletionInputs before = completionInputs(QStringLiteral("fast:bench"), history);
    const double unchanged =
        perRun(200, [&] { sink += completionInputs(QStringLiteral("fast:bench"), history) == before; });
    std::printf("terminal pause, same sources   %9.2f us  (reference gathering anew with 50,000 PATH names: %.1f us)\n",
                unchanged, bigRebuild);
    for (const QString &q : {QStringLiteral("g"), QStringLiteral("gx-tool4"), QStringLiteral("zzz")}) {
        const double us = perRun(20, [&] { sink += big.rank(q).size(); });
        const double ref = perRun(3, [&] { sink += splittingRank(big.candidates(), q).size(); });
        std::printf("rank \"%s\" in 50,000 more%*s%9.1f us  (reference splitting every candidate: %.1f us)\n",
                    qPrintable(q), int(12 - q.size()), "", us, ref);
    }
    const QString huge(1 << 20, QLatin1Char('g'));
    const double hugeUs = perRun(5, [&] { sink += big.rank(huge).size(); });
    const double hugeRef = perRun(1, [&] { sink += splittingRank(big.candidates(), huge).size(); });
    std::printf("rank a 1 MiB query             %9.1f us  (reference: %.1f us)\n", hugeUs, hugeRef);

    measureKeystroke(gathered, {"g", "gi", "git st", "status", "tool", "cmd42", "Get-", "helper29", "ls", "do"}, 300);
    return sink == -1;
}
