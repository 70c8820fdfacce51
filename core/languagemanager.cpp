#include "core/languagemanager.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QReadLocker>
#include <QReadWriteLock>
#include <QWriteLocker>

namespace {

using Table = QHash<QString, QString>;

struct LanguageState {
    QReadWriteLock lock;
    QString currentCode = QStringLiteral("zh");          // guarded by lock
    QHash<QString, Table> languages;                     // guarded by lock; filled once
    QHash<QString, QStringList> former;                  // source -> earlier shown texts; filled once
    QHash<QString, QHash<QString, QStringList>> numerus; // language -> source -> one, many; filled once
    const Table *current = nullptr;                      // guarded by lock
    bool switchedBefore = false;                         // guarded by lock
    bool loaded = false;                                 // guarded by lock
};

LanguageState &state()
{
    static LanguageState s;
    return s;
}

// The text of the "former" object of the table: translations that earlier
// versions showed and that settings stored then may still hold.
constexpr QLatin1String formerKey("former");
// Forms for one and for many, where a language's text has one for both.
constexpr QLatin1String numerusKey("numerus");

QHash<QString, Table> loadResource(QHash<QString, QStringList> *former, QHash<QString, QHash<QString, QStringList>> *numerus)
{
    QHash<QString, Table> out;
    QFile file(QStringLiteral(":/languages.json"));
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("LanguageManager: cannot open :/languages.json");
        return out;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        qWarning("LanguageManager: JSON parse error: %s", error.errorString().toUtf8().constData());
        return out;
    }
    const QJsonObject root = doc.object();
    const QJsonObject earlier = root.value(formerKey).toObject();
    for (auto it = earlier.begin(); it != earlier.end(); ++it)
        former->insert(it.key(), it.value().toVariant().toStringList());
    const QJsonObject forms = root.value(numerusKey).toObject();
    for (auto lang = forms.begin(); lang != forms.end(); ++lang) {
        const QJsonObject entries = lang.value().toObject();
        for (auto it = entries.begin(); it != entries.end(); ++it)
            (*numerus)[lang.key()].insert(it.key(), it.value().toVariant().toStringList());
    }
    for (auto lang = root.begin(); lang != root.end(); ++lang) {
        if (lang.key() == formerKey || lang.key() == numerusKey)
            continue;
        Table table;
        const QJsonObject entries = lang.value().toObject();
        table.reserve(entries.size());
        for (auto it = entries.begin(); it != entries.end(); ++it)
            table.insert(it.key(), it.value().toString()); // a non-string counts as empty
        out.insert(lang.key(), table);
    }
    return out;
}

// Loads the tables once; later calls are no-ops.
void ensureLoaded()
{
    LanguageState &s = state();
    {
        QReadLocker read(&s.lock);
        if (s.loaded)
            return;
    }
    QHash<QString, QStringList> former;
    QHash<QString, QHash<QString, QStringList>> numerus;
    QHash<QString, Table> tables = loadResource(&former, &numerus);
    QWriteLocker write(&s.lock);
    if (s.loaded)
        return;
    s.languages = std::move(tables);
    s.former = std::move(former);
    s.numerus = std::move(numerus);
    s.loaded = true;
}

} // namespace

namespace Lang {

LangSignalHub *LangSignalHub::instance()
{
    static LangSignalHub *hub = new LangSignalHub;
    return hub;
}

} // namespace Lang

const QList<QPair<QString, QString>> &LanguageManager::languageNames()
{
    static const QList<QPair<QString, QString>> names = {
        {QStringLiteral("en"), QStringLiteral("English")},
        {QStringLiteral("ja"), QStringLiteral("日本語")},
        {QStringLiteral("ko"), QStringLiteral("한국어")},
        {QStringLiteral("fr"), QStringLiteral("Français")},
        {QStringLiteral("de"), QStringLiteral("Deutsch")},
        {QStringLiteral("es"), QStringLiteral("Español")},
        {QStringLiteral("ru"), QStringLiteral("Русский")},
        {QStringLiteral("pt"), QStringLiteral("Português")},
        {QStringLiteral("ar"), QStringLiteral("العربية")},
        {QStringLiteral("hi"), QStringLiteral("हिन्दी")},
        {QStringLiteral("id"), QStringLiteral("Bahasa Indonesia")},
        {QStringLiteral("it"), QStringLiteral("Italiano")},
        {QStringLiteral("tr"), QStringLiteral("Türkçe")},
        {QStringLiteral("vi"), QStringLiteral("Tiếng Việt")},
        {QStringLiteral("zh"), QStringLiteral("中文")},
    };
    return names;
}

QString LanguageManager::tr(const QString &source)
{
    LanguageState &s = state();
    QReadLocker read(&s.lock);
    if (s.current && !s.current->isEmpty()) {
        const auto it = s.current->constFind(source);
        if (it != s.current->constEnd() && !it->isEmpty())
            return *it;
    }
    return source;
}

QString LanguageManager::tr(const QString &source, qint64 n)
{
    QString text;
    {
        LanguageState &s = state();
        QReadLocker read(&s.lock);
        // Every language with forms of its own tells one from many alone.
        const QStringList forms = s.numerus.value(s.currentCode).value(source);
        if (forms.size() == 2)
            text = forms.at(n == 1 ? 0 : 1);
    }
    if (text.isEmpty())
        text = tr(source);
    return text.replace(QLatin1String("%n"), QString::number(n));
}

void LanguageManager::setLanguage(const QString &code)
{
    ensureLoaded();
    LanguageState &s = state();
    bool announce = false;
    {
        QWriteLocker write(&s.lock);
        QString chosen = code;
        const auto it = s.languages.constFind(chosen);
        if (chosen != QLatin1String("zh") && (it == s.languages.constEnd() || it->isEmpty()))
            chosen = QStringLiteral("zh");
        s.currentCode = chosen;
        const auto table = s.languages.constFind(chosen);
        s.current = table == s.languages.constEnd() ? nullptr : &table.value();
        announce = s.switchedBefore;
        s.switchedBefore = true;
    }
    // Emitted after the lock is released so receivers can call tr() at once.
    if (announce)
        emit hub()->languageChanged();
}

QString LanguageManager::currentLanguage()
{
    LanguageState &s = state();
    QReadLocker read(&s.lock);
    return s.currentCode;
}

QList<QPair<QString, QString>> LanguageManager::availableLanguages()
{
    ensureLoaded();
    LanguageState &s = state();
    QReadLocker read(&s.lock);
    QList<QPair<QString, QString>> out;
    for (const auto &pair : languageNames()) {
        if (pair.first == QLatin1String("zh") || !s.languages.value(pair.first).isEmpty())
            out.append(pair);
    }
    return out;
}

QString LanguageManager::sourceText(const QString &text)
{
    if (text.isEmpty())
        return QString();
    // Callers compare stored settings before any language may have been set.
    ensureLoaded();
    LanguageState &s = state();
    QReadLocker read(&s.lock);
    // A fixed order keeps the answer the same from run to run when two
    // languages happen to share a translation: the current language first,
    // then "zh", then the rest in the order of the language list.
    QStringList order{s.currentCode, QStringLiteral("zh")};
    for (const auto &pair : languageNames()) {
        if (!order.contains(pair.first))
            order.append(pair.first);
    }
    for (const QString &code : order) {
        const auto lang = s.languages.constFind(code);
        if (lang == s.languages.constEnd())
            continue;
        // Within one table several sources may share a translation; take the
        // smallest source so the choice does not depend on hash order.
        QString best;
        for (auto it = lang->constBegin(); it != lang->constEnd(); ++it) {
            if (it.value() == text && (best.isNull() || it.key() < best))
                best = it.key();
        }
        if (!best.isNull())
            return best;
    }
    QString best;
    for (auto it = s.former.constBegin(); it != s.former.constEnd(); ++it) {
        if (it->contains(text) && (best.isNull() || it.key() < best))
            best = it.key();
    }
    return best;
}

namespace {

// The first of `sources` that `same` accepts as itself, as one of its
// translations or as one of its earlier texts.
template <typename Same>
QString findSource(const QStringList &sources, const Same &same)
{
    for (const QString &source : sources) {
        if (same(source))
            return source;
    }
    ensureLoaded();
    LanguageState &s = state();
    QReadLocker read(&s.lock);
    for (const QString &source : sources) {
        for (const Table &table : std::as_const(s.languages)) {
            const auto shown = table.constFind(source);
            if (shown != table.constEnd() && same(*shown))
                return source;
        }
    }
    for (const QString &source : sources) {
        for (const QString &earlier : s.former.value(source)) {
            if (same(earlier))
                return source;
        }
    }
    return QString();
}

} // namespace

QString LanguageManager::sourceAmong(const QString &text, const QStringList &sources)
{
    if (text.isEmpty())
        return QString();
    return findSource(sources, [&text](const QString &shown) { return shown == text; });
}

QString LanguageManager::sourceOfTypedWord(const QString &text, const QStringList &sources)
{
    const QString word = text.simplified();
    if (word.isEmpty())
        return QString();
    return findSource(sources, [&word](const QString &shown) {
        return shown.simplified().compare(word, Qt::CaseInsensitive) == 0;
    });
}

Lang::LangSignalHub *LanguageManager::hub()
{
    return Lang::LangSignalHub::instance();
}
