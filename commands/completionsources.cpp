#include "commands/completionsources.h"

#include "commands/builtincommands.h"
#include "core/languagemanager.h"

namespace {

void appendNames(QVector<CompletionCandidate> &out, const QStringList &names, CompletionSource source,
                 double weight)
{
    const QString tag = completionSourceTag(source);
    for (const QString &name : names) {
        const QString text = name.trimmed();
        if (!text.isEmpty())
            out.append({text, QString(), tag, weight});
    }
}

} // namespace

QString completionSourceTag(CompletionSource source)
{
    switch (source) {
    case CompletionSource::History:
        return LanguageManager::tr(QStringLiteral("历史"));
    case CompletionSource::Button:
        return LanguageManager::tr(QStringLiteral("按钮"));
    case CompletionSource::Remote:
        return LanguageManager::tr(QStringLiteral("远端"));
    case CompletionSource::System:
        return LanguageManager::tr(QStringLiteral("系统"));
    case CompletionSource::Builtin:
        return LanguageManager::tr(QStringLiteral("内置"));
    }
    return QString();
}

void appendHistoryCandidates(QVector<CompletionCandidate> &out, const QStringList &history)
{
    const QString tag = completionSourceTag(CompletionSource::History);
    for (qsizetype i = 0; i < history.size(); ++i)
        out.append({history.at(i), QString(), tag, 6.0 + 0.5 * double(i)});
}

void appendButtonCandidate(QVector<CompletionCandidate> &out, const QString &command, const QString &label)
{
    const QString text = command.trimmed();
    if (!text.isEmpty())
        out.append({text, label, completionSourceTag(CompletionSource::Button), 5.0});
}

void appendRemoteCandidates(QVector<CompletionCandidate> &out, const QStringList &names)
{
    appendNames(out, names, CompletionSource::Remote, 4.0);
}

void appendPathCandidates(QVector<CompletionCandidate> &out, const QStringList &names)
{
    appendNames(out, names, CompletionSource::System, 3.5);
}

void appendBuiltinCandidates(QVector<CompletionCandidate> &out, const QString &osKey)
{
    const QString tag = completionSourceTag(CompletionSource::Builtin);
    const QStringList names = builtinCommandsFor(osKey);
    for (const QString &name : names) {
        const QString text = name.trimmed();
        if (!text.isEmpty())
            out.append({text, builtinDescription(text), tag, builtinWeight(text)});
    }
}

QString localSystemKey()
{
    return QStringLiteral("linux");
}

QString completionOsKey(const QString &reportedOs, bool sessionKnown, const QString &sessionType,
                        const QString &envType)
{
    const QString linux = QStringLiteral("linux");
    const QString windows = QStringLiteral("windows");
    if (reportedOs == linux || reportedOs == windows)
        return reportedOs;
    if (!sessionKnown)
        return QString();
    const QString env = envType.trimmed();
    if (env == linux || env == windows)
        return env;
    if (sessionType == QLatin1String("local"))
        return localSystemKey();
    if (sessionType == QLatin1String("ssh") || sessionType == QLatin1String("telnet") ||
        sessionType == QLatin1String("rlogin"))
        return linux;
    return QString();
}

bool offersPathExecutables(bool sessionKnown, const QString &sessionType, const QString &osKey)
{
    return sessionKnown && sessionType == QLatin1String("local") && osKey == localSystemKey();
}
