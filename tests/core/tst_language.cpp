#include "core/languagemanager.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

class TestLanguage : public QObject
{
    Q_OBJECT

private slots:
    // Runs first: the very first switch announces nothing.
    void firstSwitchIsSilent()
    {
        QSignalSpy spy(LanguageManager::hub(), &Lang::LangSignalHub::languageChanged);
        LanguageManager::setLanguage(QStringLiteral("en"));
        QCOMPARE(spy.count(), 0);
        QCOMPARE(LanguageManager::currentLanguage(), QStringLiteral("en"));
        LanguageManager::setLanguage(QStringLiteral("en"));
        QCOMPARE(spy.count(), 1); // announced even when unchanged
        LanguageManager::setLanguage(QStringLiteral("de"));
        QCOMPARE(spy.count(), 2);
    }

    void translate()
    {
        LanguageManager::setLanguage(QStringLiteral("en"));
        QCOMPARE(LanguageManager::tr(QStringLiteral("公钥认证")), QStringLiteral("Public Key"));
        QCOMPARE(LanguageManager::tr(QStringLiteral("表中没有的文字")), QStringLiteral("表中没有的文字"));
        QCOMPARE(LanguageManager::tr(QString()), QString());
        LanguageManager::setLanguage(QStringLiteral("zh"));
        QCOMPARE(LanguageManager::tr(QStringLiteral("公钥认证")), QStringLiteral("公钥认证"));
    }

    void unknownCodeSelectsChinese()
    {
        LanguageManager::setLanguage(QStringLiteral("xx"));
        QCOMPARE(LanguageManager::currentLanguage(), QStringLiteral("zh"));
        LanguageManager::setLanguage(QString());
        QCOMPARE(LanguageManager::currentLanguage(), QStringLiteral("zh"));
    }

    void sourceText()
    {
        for (const char *lang : {"en", "ja", "zh"}) {
            LanguageManager::setLanguage(QLatin1String(lang));
            QCOMPARE(LanguageManager::sourceText(QStringLiteral("Public Key")), QStringLiteral("公钥认证"));
            QCOMPARE(LanguageManager::sourceText(QStringLiteral("公钥认证")), QStringLiteral("公钥认证"));
            QCOMPARE(LanguageManager::sourceText(QStringLiteral("公開鍵認証")), QStringLiteral("公钥认证"));
            QCOMPARE(LanguageManager::sourceText(QStringLiteral("no such text")), QString());
            QCOMPARE(LanguageManager::sourceText(QString()), QString());
        }
    }

    void receiversCanTranslateAtOnce()
    {
        LanguageManager::setLanguage(QStringLiteral("zh"));
        QString seen;
        auto c = connect(LanguageManager::hub(), &Lang::LangSignalHub::languageChanged, this,
                         [&] { seen = LanguageManager::tr(QStringLiteral("公钥认证")); });
        LanguageManager::setLanguage(QStringLiteral("fr"));
        disconnect(c);
        QCOMPARE(seen, QStringLiteral("Clé publique"));
    }

    // Every Chinese text the code hands to tr() must have all fourteen
    // translations; otherwise a user of that language sees Chinese.
    void everySourceTextIsTranslated()
    {
        QFile res(QStringLiteral(":/languages.json"));
        QVERIFY(res.open(QIODevice::ReadOnly));
        const QJsonObject root = QJsonDocument::fromJson(res.readAll()).object();
        const QStringList codes{"en", "ja", "ko", "fr", "de", "es", "ru", "pt", "ar", "hi", "id", "it", "tr", "vi"};

        // tr("..."), tr(QStringLiteral("...")), tr(u"...")
        const QRegularExpression call(QStringLiteral(
            "\\btr\\(\\s*(?:QStringLiteral\\(\\s*)?(?:u8|u)?\"((?:[^\"\\\\\\n]|\\\\.)*)\""));
        QStringList missing;
        int checked = 0;
        const QString root_ = QStringLiteral(HV_SOURCE_DIR);
        QDirIterator it(root_, {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString rel = path.mid(root_.size() + 1);
            if (rel.startsWith(QLatin1String("build")) || rel.startsWith(QLatin1String("tests/")) ||
                rel.startsWith(QLatin1Char('.')))
                continue;
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QString text = QString::fromUtf8(f.readAll());
            for (auto m = call.globalMatch(text); m.hasNext();) {
                const QString source = unescape(m.next().captured(1));
                bool chinese = false;
                for (QChar ch : source)
                    chinese = chinese || ch.unicode() >= 0x80;
                if (!chinese)
                    continue;
                ++checked;
                for (const QString &code : codes) {
                    if (root.value(code).toObject().value(source).toString().isEmpty())
                        missing << QStringLiteral("%1: \"%2\" lacks %3").arg(rel, source, code);
                }
            }
        }
        if (!missing.isEmpty())
            QFAIL(qPrintable(missing.mid(0, 40).join(QLatin1Char('\n'))));
        qInfo("checked %d tr() texts", checked);
    }

private:
    static QString unescape(const QString &s)
    {
        QString out;
        for (int i = 0; i < s.size(); ++i) {
            if (s[i] != QLatin1Char('\\') || i + 1 == s.size()) {
                out += s[i];
                continue;
            }
            const QChar c = s[++i];
            if (c == QLatin1Char('n')) out += QLatin1Char('\n');
            else if (c == QLatin1Char('t')) out += QLatin1Char('\t');
            else if (c == QLatin1Char('r')) out += QLatin1Char('\r');
            else out += c;
        }
        return out;
    }
};

QTEST_GUILESS_MAIN(TestLanguage)
#include "tst_language.moc"
