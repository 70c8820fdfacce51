#include "core/languagemanager.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

namespace {

// The program's own sources, not the tests': relative path -> text.
QMap<QString, QString> programSources()
{
    QMap<QString, QString> files;
    const QString top = HV_SOURCE_DIR;
    for (QDirIterator it(top, {"*.cpp", "*.h"}, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString rel = it.next().mid(top.size() + 1);
        QFile f(it.filePath());
        if (!rel.startsWith("build") && !rel.startsWith("tests/") && !rel.startsWith('.') && f.open(QIODevice::ReadOnly))
            files.insert(rel, QString::fromUtf8(f.readAll()));
    }
    return files;
}

// Lines of `.arg(...).arg(...)` chains on a text someone reads: a tr()
// call (or the workers' say/said), or a Chinese source text. Each arg()
// after the first would fill the placeholders that a path or a name given
// to an earlier one brought along.
QList<int> chainedFills(const QString &code)
{
    static const QRegularExpression chain(QStringLiteral(
        R"((?:\b(?:tr|translate|say|said)\s*|\bQStringLiteral\s*(?=\(\s*"[^"\n]*[^\x{0}-\x{7f}]))(\((?:[^()]++|(?1))*\))\s*\.\s*arg\s*(?1)\s*\.\s*arg\s*\()"));
    QList<int> lines;
    for (auto m = chain.globalMatch(code); m.hasNext();)
        lines << int(code.left(m.next().capturedStart()).count('\n') + 1);
    return lines;
}

} // namespace

class TestLanguage : public QObject
{
    Q_OBJECT

private slots:
    // Runs first: the very first switch announces nothing, every later one
    // does, even when the language stays.
    void switching()
    {
        QString seen = "-";
        QObject receiver;
        connect(LanguageManager::hub(), &Lang::LangSignalHub::languageChanged, &receiver,
                [&] { seen = LanguageManager::tr("公钥认证"); });
        const QList<QStringList> steps{{"en", "en", "-"}, {"en", "en", "Public Key"}, {"fr", "fr", "Clé publique"},
                                       {"xx", "zh", "公钥认证"}, {"", "zh", "公钥认证"}};
        for (const QStringList &step : steps) {
            LanguageManager::setLanguage(step[0]);
            QCOMPARE(LanguageManager::currentLanguage(), step[1]);
            QCOMPARE(seen, step[2]); // receivers translate at once
            seen.clear();
        }
    }

    // A stored choice keeps its meaning after its English text changed: the
    // earlier text still maps back, but never over a current translation,
    // and only to a source among the choices asked about.
    void earlierTextsMapBack_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("choices");
        QTest::addColumn<QString>("source"); // empty: none
        const QStringList auth{"密码认证", "公钥认证", "键盘交互"};
        QTest::newRow("current") << "Password Auth" << auth << "密码认证";
        QTest::newRow("earlier") << "Password Authentication" << auth << "密码认证";
        QTest::newRow("other language") << "パスワード認証" << auth << "密码认证";
        QTest::newRow("earlier, other choices") << "Password Authentication" << QStringList{"公钥认证"} << "";
        QTest::newRow("earlier clear") << "Overwrite" << QStringList{"追加", "清空"} << "清空";
        QTest::newRow("unknown") << "Password" << auth << "";
    }
    void earlierTextsMapBack()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, choices);
        QFETCH(QString, source);
        QCOMPARE(LanguageManager::sourceAmong(text, choices), source);
        if (!source.isEmpty())
            QCOMPARE(LanguageManager::sourceText(text), source);
    }

    // A count reads right in English for one and for many, where the other
    // languages' one text serves both.
    void countsReadRight_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("shown");
        const QString zsend = "Zmodem 发送完成（共 %1 个文件）", ksend = "Kermit 接收完成（%1 个文件）";
        QTest::newRow("en, one") << "en" << zsend << 1 << "Zmodem send complete (1 file in all)";
        QTest::newRow("en, none") << "en" << zsend << 0 << "Zmodem send complete (0 files in all)";
        QTest::newRow("en, many") << "en" << zsend << 8 << "Zmodem send complete (8 files in all)";
        QTest::newRow("en, Kermit, one") << "en" << ksend << 1 << "Kermit receive complete (1 file)";
        QTest::newRow("ja, one") << "ja" << ksend << 1 << "Kermit 受信完了（1 ファイル）";
        QTest::newRow("zh, one") << "zh" << zsend << 1 << "Zmodem 发送完成（共 1 个文件）";
        QTest::newRow("en, no forms of its own") << "en" << "%1 在此系统上不可用" << 1 << "1 is not available on this system";
    }
    void countsReadRight()
    {
        QFETCH(QString, language);
        QFETCH(QString, source);
        QFETCH(int, n);
        LanguageManager::setLanguage(language);
        QTEST(LanguageManager::tr(source, n).arg(n), "shown");
        LanguageManager::setLanguage("zh");
    }

    // Every Chinese text the code hands to tr() must have all fourteen
    // translations; otherwise a user of that language sees Chinese.
    void everySourceTextIsTranslated()
    {
        QFile res(":/languages.json");
        QVERIFY(res.open(QIODevice::ReadOnly));
        const QJsonObject root = QJsonDocument::fromJson(res.readAll()).object();
        const QStringList codes{"en", "ja", "ko", "fr", "de", "es", "ru", "pt", "ar", "hi", "id", "it", "tr", "vi"};
        // tr("..."), tr(QStringLiteral("...")), tr(u"...")
        const QRegularExpression call("\\btr\\(\\s*(?:QStringLiteral\\(\\s*)?(?:u8|u)?\"((?:[^\"\\\\\\n]|\\\\.)*)\"");
        const QRegularExpression escape(R"(\\(.))");
        QStringList missing;
        int checked = 0;
        const QMap<QString, QString> sources = programSources();
        for (auto file = sources.cbegin(); file != sources.cend(); ++file) {
            const QString &rel = file.key();
            for (auto m = call.globalMatch(file.value()); m.hasNext();) {
                QString source = m.next().captured(1);
                source.replace("\\n", "\n").replace("\\t", "\t").replace("\\r", "\r").replace(escape, "\\1");
                if (std::all_of(source.cbegin(), source.cend(), [](QChar ch) { return ch.unicode() < 0x80; }))
                    continue;
                ++checked;
                for (const QString &code : codes)
                    if (root.value(code).toObject().value(source).toString().isEmpty())
                        missing << QString("%1: \"%2\" lacks %3").arg(rel, source, code);
            }
        }
        QVERIFY2(missing.isEmpty(), qPrintable(missing.mid(0, 40).join('\n')));
        qInfo("checked %d tr() texts", checked);
    }

    // A text with two placeholders is filled by one arg() call: chained, a
    // file named "a%2" in "上传完成：%1（%2 字节）" came out as "a7（7 字节）".
    void textsFilledInOneCall_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("flagged");
        QTest::newRow("translated, chained") << "x = tr(\"完成 %1 %2\").arg(f(p)).arg(n);" << 1;
        QTest::newRow("through a helper, over lines") << "x = say(\"完成 %1 %2\")\n  .arg(p)\n  .arg(n);" << 1;
        QTest::newRow("source text, translated later") << "x = QStringLiteral(\"（%1 个：%2）\").arg(n).arg(p);" << 1;
        QTest::newRow("one call") << "x = Lm::tr(\"完成 %1 %2\").arg(p, QString::number(n));" << 0;
        QTest::newRow("nested, each in one call") << "x = tr(\"甲 %1\").arg(tr(\"乙 %1\").arg(p));" << 0;
        QTest::newRow("English trace line") << "log(QStringLiteral(\"n=%1 m=%2\").arg(n).arg(m));" << 0;
        QTest::newRow("the program's sources") << QString() << 0;
    }
    void textsFilledInOneCall()
    {
        QFETCH(QString, code);
        QFETCH(int, flagged);
        if (!code.isEmpty()) {
            QCOMPARE(chainedFills(code).size(), flagged);
            return;
        }
        QStringList found;
        const QMap<QString, QString> sources = programSources();
        QVERIFY(sources.size() > 100);
        for (auto file = sources.cbegin(); file != sources.cend(); ++file)
            for (int line : chainedFills(file.value()))
                found << QStringLiteral("%1:%2").arg(file.key(), QString::number(line));
        QVERIFY2(found.isEmpty(), qPrintable(found.join('\n')));
    }

    // A translation that lost or renumbered a placeholder shows its text
    // without the number or the name the source fills in (or with "%2"
    // standing in it). Order may differ between languages; the set may not.
    void translationsKeepPlaceholders()
    {
        QFile res(":/languages.json");
        QVERIFY(res.open(QIODevice::ReadOnly));
        const QJsonObject root = QJsonDocument::fromJson(res.readAll()).object();
        // Not a percentage written the Turkish way ("%100").
        const QRegularExpression marker(QStringLiteral("%(\\d{1,2})(?!\\d)"));
        const auto markers = [&](const QString &text) {
            QStringList found;
            for (auto m = marker.globalMatch(text); m.hasNext();)
                found << m.next().captured(1);
            found.sort();
            found.removeDuplicates();
            return found;
        };
        QStringList wrong;
        int checked = 0;
        for (auto language = root.begin(); language != root.end(); ++language) {
            const QJsonObject texts = language.value().toObject();
            for (auto text = texts.begin(); text != texts.end(); ++text) {
                if (!text.value().isString()) // the earlier texts of an entry
                    continue;
                ++checked;
                const QString translation = text.value().toString();
                if (markers(text.key()) != markers(translation))
                    wrong << QStringLiteral("%1: \"%2\" -> \"%3\"").arg(language.key(), text.key(), translation);
            }
        }
        // A language's forms for one and for many are whole texts too.
        const QJsonObject numerus = root.value("numerus").toObject();
        for (auto language = numerus.begin(); language != numerus.end(); ++language) {
            const QJsonObject texts = language.value().toObject();
            for (auto text = texts.begin(); text != texts.end(); ++text) {
                for (const QString &form : text.value().toVariant().toStringList()) {
                    if (markers(text.key()) != markers(form))
                        wrong << QStringLiteral("%1: \"%2\" -> \"%3\"").arg(language.key(), text.key(), form);
                }
            }
        }
        QVERIFY2(checked > 1000, qPrintable(QString::number(checked)));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.mid(0, 40).join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestLanguage)
#include "tst_language.moc"
