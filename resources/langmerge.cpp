// Assembles the run-time translation table from the per-area fragments.
//
// A fragment maps each Chinese source text to its translations:
//   { "公钥认证": { "en": "Public Key", "ja": "...", ... }, ... }
// The output maps each language code to a table of source text to
// translation; "zh" maps every source text to itself. An entry may also list,
// under "former", texts that earlier versions showed for it: a setting
// stored as a shown text then still reads back after a translation changes;
// they go to the output's "former" object (source text to list). A text
// with a count may list, under "numerus", a language's forms for one and for
// many ({"en": ["%1 file", "%1 files"]}), where its own text has one form for
// both; they go to the output's "numerus" object (language to source text to
// forms), and the language's plain text stays the form for many. Every fragment entry
// must carry all fourteen other languages with non-empty texts, and a text
// defined in two fragments must agree, so that a missing or conflicting
// translation stops the build instead of showing Chinese to the user.

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStringList>

#include <algorithm>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: hv_langmerge OUTPUT [FRAGMENT...]\n");
        return 2;
    }
    const QStringList codes = {"en", "ja", "ko", "fr", "de", "es", "ru", "pt", "ar", "hi", "id", "it", "tr", "vi"};
    QHash<QString, QJsonObject> tables;
    QHash<QString, QString> definedIn;
    QJsonObject former;
    QHash<QString, QJsonObject> numerus;
    bool ok = true;

    for (int i = 2; i < args.size(); ++i) {
        QFile file(args[i]);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "%s: cannot open\n", qPrintable(args[i]));
            return 1;
        }
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            std::fprintf(stderr, "%s:%d: %s\n", qPrintable(args[i]), error.offset,
                         qPrintable(error.errorString()));
            return 1;
        }
        const QJsonObject fragment = doc.object();
        for (auto it = fragment.begin(); it != fragment.end(); ++it) {
            const QString source = it.key();
            const QJsonObject translations = it.value().toObject();
            const bool seen = definedIn.contains(source);
            for (const QString &code : codes) {
                const QString text = translations.value(code).toString();
                if (text.isEmpty()) {
                    std::fprintf(stderr, "%s: \"%s\" lacks \"%s\"\n", qPrintable(args[i]),
                                 source.toUtf8().constData(), qPrintable(code));
                    ok = false;
                    continue;
                }
                if (seen && tables[code].value(source).toString() != text) {
                    std::fprintf(stderr, "%s: \"%s\" in \"%s\" differs from %s\n", qPrintable(args[i]),
                                 source.toUtf8().constData(), qPrintable(code),
                                 qPrintable(definedIn.value(source)));
                    ok = false;
                }
                tables[code].insert(source, text);
            }
            const QJsonValue earlier = translations.value(QStringLiteral("former"));
            if (!earlier.isUndefined()) {
                const QJsonArray texts = earlier.toArray();
                const bool allTexts = earlier.isArray() && !texts.isEmpty()
                    && std::all_of(texts.begin(), texts.end(), [](const QJsonValue &v) { return !v.toString().isEmpty(); });
                if (!allTexts) {
                    std::fprintf(stderr, "%s: \"%s\" has a \"former\" that is not a list of texts\n", qPrintable(args[i]),
                                 source.toUtf8().constData());
                    ok = false;
                }
                former.insert(source, texts);
            }
            const QJsonObject forms = translations.value(QStringLiteral("numerus")).toObject();
            for (auto f = forms.begin(); f != forms.end(); ++f) {
                const QJsonArray list = f.value().toArray();
                const bool allTexts = list.size() == 2
                    && std::all_of(list.begin(), list.end(), [](const QJsonValue &v) { return !v.toString().isEmpty(); });
                if (!codes.contains(f.key()) || !allTexts || list.last().toString() != translations.value(f.key()).toString()) {
                    std::fprintf(stderr, "%s: \"%s\" has \"numerus\" for \"%s\" that is not its one and many forms, the latter its text\n",
                                 qPrintable(args[i]), source.toUtf8().constData(), qPrintable(f.key()));
                    ok = false;
                    continue;
                }
                numerus[f.key()].insert(source, list);
            }
            for (auto t = translations.begin(); t != translations.end(); ++t) {
                if (!codes.contains(t.key()) && t.key() != QLatin1String("former") && t.key() != QLatin1String("numerus")) {
                    std::fprintf(stderr, "%s: \"%s\" has unknown language \"%s\"\n", qPrintable(args[i]),
                                 source.toUtf8().constData(), qPrintable(t.key()));
                    ok = false;
                }
            }
            tables[QStringLiteral("zh")].insert(source, source);
            definedIn.insert(source, args[i]);
        }
    }
    if (!ok)
        return 1;

    QJsonObject root;
    root.insert(QStringLiteral("zh"), tables.value(QStringLiteral("zh")));
    for (const QString &code : codes)
        root.insert(code, tables.value(code));
    root.insert(QStringLiteral("former"), former);
    QJsonObject forms;
    for (auto it = numerus.cbegin(); it != numerus.cend(); ++it)
        forms.insert(it.key(), it.value());
    root.insert(QStringLiteral("numerus"), forms);
    QSaveFile out(args[1]);
    if (!out.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "%s: cannot write\n", qPrintable(args[1]));
        return 1;
    }
    out.write(QJsonDocument(root).toJson(QJsonDocument::Compact));
    return out.commit() ? 0 : 1;
}
