#include "dialogs/optionpage.h"

#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/passwordprotection.h"
#include "core/sessionlogoptions.h"
#include "dialogs/settingsform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

QString OptionText::shown() const
{
    if (!source)
        return QString();
    const QString text = QString::fromUtf8(source);
    return translated ? LanguageManager::tr(text) : text;
}

OptionRow OptionRow::beside(int stretchFactor) const
{
    OptionRow row = *this;
    row.stretch = stretchFactor;
    return row;
}

OptionRow OptionRow::withSuffix(const char *text) const
{
    OptionRow row = *this;
    row.suffix = text;
    return row;
}

OptionRow OptionRow::withColumnWords(std::vector<QStringList> words) const
{
    OptionRow row = *this;
    row.columnWords = std::move(words);
    return row;
}

namespace {
OptionRow make(OptionKind kind, const char *key, OptionText label)
{
    OptionRow row;
    row.kind = kind;
    row.key = key;
    row.label = label;
    return row;
}

QStringList shownAll(const std::vector<OptionText> &texts)
{
    QStringList out;
    for (const OptionText &t : texts)
        out << t.shown();
    return out;
}

// A label above an editor, either as a form row or as one column of a row of
// editors side by side.
struct Placement {
    QVBoxLayout *page;
    QVBoxLayout *target;
    bool column;
};
} // namespace

OptionRow section(OptionText title) { return make(OptionKind::Section, nullptr, title); }

OptionRow hint(std::vector<OptionText> parts)
{
    OptionRow row = make(OptionKind::Hint, nullptr, {});
    row.items = std::move(parts);
    return row;
}

OptionRow check(const char *key, OptionText label, bool checked, OptionText hintText)
{
    OptionRow row = make(OptionKind::Check, key, label);
    row.number = checked ? 1 : 0;
    row.hint = hintText;
    return row;
}

OptionRow combo(const char *key, OptionText label, OptionText current, std::vector<OptionText> items)
{
    OptionRow row = make(OptionKind::Combo, key, label);
    row.text = current;
    row.items = std::move(items);
    return row;
}

OptionRow fontFamily(const char *key, OptionText label, OptionText current)
{
    OptionRow row = make(OptionKind::FontFamily, key, label);
    row.text = current;
    return row;
}

OptionRow line(const char *key, OptionText label, OptionText text, OptionText placeholder)
{
    OptionRow row = make(OptionKind::Line, key, label);
    row.text = text;
    row.hint = placeholder;
    return row;
}

OptionRow secret(const char *key, OptionText label) { return make(OptionKind::Secret, key, label); }

OptionRow spin(const char *key, OptionText label, int value, int min, int max)
{
    OptionRow row = make(OptionKind::Spin, key, label);
    row.number = value;
    row.min = min;
    row.max = max;
    return row;
}

OptionRow timestamp(const char *key, OptionText label, OptionText format)
{
    OptionRow row = make(OptionKind::Timestamp, key, label);
    row.text = format;
    return row;
}

OptionRow table(const char *name, std::vector<OptionText> headers, int maxHeight,
                std::vector<std::vector<OptionText>> samples)
{
    OptionRow row = make(OptionKind::Table, name, {});
    row.items = std::move(headers);
    row.max = maxHeight;
    row.samples = std::move(samples);
    return row;
}

OptionRow buttons(std::vector<OptionText> captions, bool addsRow)
{
    OptionRow row = make(OptionKind::Buttons, nullptr, {});
    row.items = std::move(captions);
    row.addsRow = addsRow;
    return row;
}

OptionRow custom(std::function<void(QVBoxLayout *, OptionBindings &)> build)
{
    OptionRow row = make(OptionKind::Custom, nullptr, {});
    row.build = std::move(build);
    return row;
}

OptionRow combo(const ChoiceSetting &setting, OptionText label)
{
    std::vector<OptionText> items;
    for (const char *choice : setting.choices) {
        if (choice)
            items.push_back(optiontext::tr(choice));
    }
    return combo(setting.key, label, optiontext::lit(setting.fallback), std::move(items));
}

OptionRow inheritingCombo(const ChoiceSetting &setting, OptionText label)
{
    OptionRow row = combo(setting, label);
    row.text = optiontext::tr(keys::inheritChoice);
    row.items.insert(row.items.begin(), row.text);
    return row;
}

OptionRow fontFamily(const TextSetting &setting, OptionText label)
{
    return fontFamily(setting.key, label, optiontext::lit(setting.fallback));
}

OptionRow line(const TextSetting &setting, OptionText label, OptionText placeholder)
{
    return line(setting.key, label, optiontext::lit(setting.fallback), placeholder);
}

OptionRow spin(const IntSetting &setting, OptionText label, int min, int max)
{
    return spin(setting.key, label, setting.fallback, min, max);
}

bool readOptionBool(const QString &key, bool fallback)
{
    const QVariant v = AppSettings::instance().value(key);
    if (!v.isValid())
        return fallback;
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    // Text stores (INI, the native store on Linux) hand booleans back as text.
    const QString text = v.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    return fallback;
}

int readOptionInt(const QString &key, int fallback)
{
    const QVariant v = AppSettings::instance().value(key);
    bool ok = false;
    const int n = v.isValid() ? v.toInt(&ok) : 0;
    return ok ? n : fallback;
}

QString readOptionString(const QString &key, const QString &fallback)
{
    const QVariant v = AppSettings::instance().value(key);
    if (!v.isValid() || !v.canConvert<QString>())
        return fallback;
    // A list stored under a text key (a table saved in the wrong place) has
    // no single text; keep the default rather than show an empty field.
    if (v.typeId() == QMetaType::QStringList || v.typeId() == QMetaType::QVariantList)
        return fallback;
    return v.toString();
}

namespace {
// The value an editor stands for, as it is written to the store.
QVariant editorValue(QWidget *w)
{
    if (auto *box = qobject_cast<QCheckBox *>(w))
        return box->isChecked();
    if (auto *edit = qobject_cast<QLineEdit *>(w))
        return edit->text();
    if (auto *combo = qobject_cast<QComboBox *>(w)) {
        const QVariant source = combo->currentData();
        return source.isValid() ? source.toString() : combo->currentText();
    }
    if (auto *box = qobject_cast<QSpinBox *>(w))
        return box->value();
    return QVariant();
}

// False when a number or a flag is stored that the editor could not show
// (clamped, or no number at all): then what it shows is what counts.
bool showsStoredValue(const QString &fullKey, QWidget *w)
{
    const QVariant stored = AppSettings::instance().value(fullKey);
    if (!stored.isValid())
        return true;
    if (auto *box = qobject_cast<QSpinBox *>(w)) {
        bool number = false;
        const int n = stored.toInt(&number);
        return number && n == box->value();
    }
    if (auto *box = qobject_cast<QCheckBox *>(w))
        return readOptionBool(fullKey, !box->isChecked()) == box->isChecked();
    return true;
}
} // namespace

void OptionBindings::bind(const QString &key, QWidget *editor)
{
    const QString full = m_prefix + key;
    editor->setObjectName(full);
    widgets.insert(full, editor);
    if (showsStoredValue(full, editor))
        shown.insert(full, editorValue(editor));
    else
        shown.remove(full);
}

void OptionBindings::bindSecret(const QString &key, QWidget *editor)
{
    bind(key, editor);
    const QString full = m_prefix + key;
    secrets.insert(full);
    // A password kept in clear or in the legacy form is sealed anew.
    const QString stored = readOptionString(full, QString());
    if (!stored.isEmpty() && !isCurrentlyProtected(stored))
        shown.remove(full);
}

void OptionBindings::bindTable(const QString &name, QTableWidget *table)
{
    table->setObjectName(name);
    tables.insert(name, table);
    shownTables.insert(name, tableRows(table));
}

QWidget *OptionBindings::buildPage(const std::vector<OptionRow> &rows)
{
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(20, 20, 24, 20);
    layout->setSpacing(10);
    appendRows(layout, rows);
    layout->addStretch(1);
    return page;
}

void OptionBindings::appendRows(QVBoxLayout *layout, const std::vector<OptionRow> &rows)
{
    QHBoxLayout *columns = nullptr; // the open row of side-by-side editors
    QTableWidget *lastTable = nullptr;
    for (const OptionRow &row : rows) {
        if (row.stretch < 0) {
            columns = nullptr;
        } else if (!columns) {
            columns = new QHBoxLayout;
            columns->setSpacing(12);
            layout->addLayout(columns);
        }
        QVBoxLayout *target = layout;
        if (columns) {
            target = new QVBoxLayout;
            target->setContentsMargins(0, 0, 0, 0);
            target->setSpacing(5);
            columns->addLayout(target, row.stretch);
            // Editors of different heights side by side: labels stay level.
            columns->setAlignment(target, Qt::AlignTop);
            // Marked like a form label, so both kinds of row read alike.
            auto *label = new QLabel(row.label.shown());
            label->setProperty("formLabel", true);
            target->addWidget(label);
        }
        const QString key = row.key ? QString::fromUtf8(row.key) : QString();
        QWidget *editor = nullptr;
        switch (row.kind) {
        case OptionKind::Section:
            addSettingsSection(layout, row.label.shown());
            break;
        case OptionKind::Hint: {
            QString text;
            for (const OptionText &part : row.items)
                text += part.shown();
            addFormHint(layout, text);
            break;
        }
        case OptionKind::Check:
            editor = addFormCheck(target, row.label.shown(), readOptionBool(m_prefix + key, row.number != 0),
                                  row.hint.shown());
            break;
        case OptionKind::Combo: {
            if (!columns)
                addFormLabel(target, row.label.shown());
            auto *box = new QComboBox;
            QStringList sources;
            for (const OptionText &item : row.items) {
                box->addItem(item.shown(), QString::fromUtf8(item.source));
                sources << QString::fromUtf8(item.source);
            }
            // Stored as the source text, so a file means the same in every
            // language; older files hold the shown text of some language.
            const QString stored = readOptionString(m_prefix + key, QString::fromUtf8(row.text.source));
            box->setCurrentIndex(qMax(0, int(sources.indexOf(LanguageManager::sourceAmong(stored, sources)))));
            target->addWidget(box);
            editor = box;
            break;
        }
        case OptionKind::FontFamily: {
            auto *box = new QComboBox;
            box->setEditable(true);
            box->addItems(QFontDatabase::families());
            box->setCurrentText(readOptionString(m_prefix + key, row.text.shown()));
            target->addWidget(box);
            editor = box;
            break;
        }
        case OptionKind::Line:
        case OptionKind::Secret: {
            const QString stored = readOptionString(m_prefix + key, row.text.shown());
            const QString text = row.kind == OptionKind::Secret ? unprotectSecret(stored) : stored;
            // Sealed on another machine or with a lost key file: shown empty,
            // and kept unless the user edits the field.
            const bool unreadable = row.kind == OptionKind::Secret && text.isEmpty() && !stored.isEmpty();
            QLineEdit *edit = nullptr;
            if (columns) {
                edit = new QLineEdit(text);
                if (!row.hint.shown().isEmpty())
                    setGreyPlaceholder(edit, row.hint.shown());
                target->addWidget(edit);
            } else {
                edit = addFormLineEdit(target, row.label.shown(), text, row.hint.shown());
            }
            if (row.kind == OptionKind::Secret)
                edit->setEchoMode(QLineEdit::Password);
            if (unreadable) {
                setGreyPlaceholder(edit, LanguageManager::tr("已保存的密码无法在本机解密；留空则保留原值"));
                unreadableSecrets.insert(m_prefix + key);
            }
            editor = edit;
            break;
        }
        case OptionKind::Spin: {
            const int value = readOptionInt(m_prefix + key, row.number);
            QSpinBox *box = nullptr;
            if (columns) {
                box = new QSpinBox;
                box->setRange(row.min, row.max);
                box->setValue(value);
                target->addWidget(box);
            } else {
                box = addFormSpin(target, row.label.shown(), value, row.min, row.max);
            }
            if (row.suffix)
                box->setSuffix(QString::fromUtf8(row.suffix));
            editor = box;
            break;
        }
        case OptionKind::Timestamp: {
            QString stored = readOptionString(m_prefix + key, row.text.shown());
            const QString inherit = QString::fromUtf8(keys::inheritChoice);
            if (LanguageManager::sourceAmong(stored, {inherit}) == inherit)
                stored.clear();
            editor = addTimestampFormatRow(target, row.label.shown(), timestampFormat(stored));
            break;
        }
        case OptionKind::Table: {
            lastTable = addSettingsTable(layout, shownAll(row.items));
            // Held at its height: sharing the page's spare room with the final
            // stretch, it would show a row or two.
            if (row.max > 0)
                lastTable->setFixedHeight(row.max);
            for (int c = 0; c < int(row.columnWords.size()); ++c)
                setColumnWords(lastTable, c, row.columnWords[size_t(c)]);
            QList<QStringList> stored = loadSettingsTable(m_prefix + key);
            if (stored.isEmpty()) {
                for (const auto &sample : row.samples)
                    stored << shownAll(sample);
            }
            fillSettingsTable(lastTable, stored);
            lastTable->resizeColumnsToContents();
            // The style's cell padding is not in the size hints.
            for (int c = 0; c + 1 < lastTable->columnCount(); ++c)
                lastTable->setColumnWidth(c, qBound(80, lastTable->columnWidth(c) + 24, 260));
            bindTable(key, lastTable);
            break;
        }
        case OptionKind::Buttons: {
            auto *buttonRow = new QHBoxLayout;
            for (const OptionText &caption : row.items) {
                auto *button = new QPushButton(caption.shown());
                button->setObjectName(QStringLiteral("plainButton"));
                button->setCursor(Qt::PointingHandCursor);
                if (row.addsRow && lastTable && buttonRow->isEmpty()) {
                    QTableWidget *target = lastTable;
                    QObject::connect(button, &QPushButton::clicked, target, [target] {
                        target->insertRow(target->rowCount());
                        target->scrollToBottom();
                    });
                }
                buttonRow->addWidget(button);
            }
            buttonRow->addStretch(1);
            layout->addLayout(buttonRow);
            break;
        }
        case OptionKind::Custom:
            row.build(layout, *this);
            break;
        }
        if (auto *box = qobject_cast<QComboBox *>(editor))
            keepComboNarrow(box);
        if (editor) {
            if (row.kind == OptionKind::Secret)
                bindSecret(key, editor);
            else
                bind(key, editor);
        }
    }
}

bool OptionBindings::writeWidgets()
{
    AppSettings &store = AppSettings::instance();
    bool sealed = true;
    for (auto it = widgets.cbegin(); it != widgets.cend(); ++it) {
        const QVariant value = editorValue(it.value());
        const auto before = shown.constFind(it.key());
        if (!value.isValid() || (m_writes == Writes::Changes && before != shown.cend() && *before == value))
            continue;
        if (unreadableSecrets.contains(it.key()) && !qobject_cast<QLineEdit *>(it.value())->isModified())
            continue;
        QVariant written = value;
        if (secrets.contains(it.key()) && !value.toString().isEmpty()) {
            written = protectSecret(value.toString());
            // Never fall back to the clear text: keep what was stored.
            if (written.toString().isEmpty()) {
                sealed = false;
                continue;
            }
        }
        store.setValue(it.key(), written);
        shown.insert(it.key(), value);
    }
    return sealed;
}

void OptionBindings::writeTables()
{
    for (auto it = tables.cbegin(); it != tables.cend(); ++it) {
        const QList<QStringList> rows = tableRows(it.value());
        const auto before = shownTables.constFind(it.key());
        if (m_writes == Writes::Changes && before != shownTables.cend() && *before == rows)
            continue;
        saveSettingsTable(it.value(), m_prefix + it.key());
        shownTables.insert(it.key(), rows);
    }
}
