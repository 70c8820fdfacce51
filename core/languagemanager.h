#pragma once

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

namespace Lang {

// Announces a language switch to every window that shows translated text.
class LangSignalHub : public QObject
{
    Q_OBJECT
public:
    static LangSignalHub *instance();

signals:
    void languageChanged();

private:
    LangSignalHub() = default;
};

} // namespace Lang

// Every text the program shows is written in the code as a Chinese source
// text and looked up here when it is shown.
class LanguageManager
{
public:
    static QString tr(const QString &source);
    // For UTF-8 literals; a class's own static tr() would otherwise hide
    // this one and show the source text in every language.
    static QString tr(const char *source) { return tr(QString::fromUtf8(source)); }
    // A text with a count: the current language's form for `n` where it has
    // one for one and one for many, else its one text; "%n" becomes `n`.
    // Other placeholders are left to arg().
    static QString tr(const QString &source, qint64 n);
    static QString tr(const char *source, qint64 n) { return tr(QString::fromUtf8(source), n); }
    static void setLanguage(const QString &code);
    static QString currentLanguage();
    static QList<QPair<QString, QString>> availableLanguages();
    // Maps a text in any language back to its Chinese source text, or empty.
    // Both lookups also know the texts a translation had in earlier versions,
    // which settings stored then may hold.
    static QString sourceText(const QString &text);
    // The one of `sources` that `text` is, or a translation of in any
    // language; empty if none. Unlike sourceText this cannot pick another
    // source that shares the translation (Korean "추가" is "追加" and "添加").
    static QString sourceAmong(const QString &text, const QStringList &sources);
    // As sourceAmong, for a word typed by hand: its letter case and the
    // blanks around and between its words do not count ("regex ", "BLUE").
    static QString sourceOfTypedWord(const QString &text, const QStringList &sources);
    static Lang::LangSignalHub *hub();

    // The fixed order of the language list (code, native name).
    static const QList<QPair<QString, QString>> &languageNames();
};
