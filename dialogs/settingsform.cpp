#include "dialogs/settingsform.h"

#include "core/appsettings.h"
#include "core/languagemanager.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QScopedPointer>
#include <QSettings>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTableWidget>

namespace {
struct TimestampPart {
    QString text;
    const char *token;
};

QList<TimestampPart> timestampParts()
{
    return {{LanguageManager::tr("年"), "yyyy"}, {LanguageManager::tr("月"), "MM"}, {LanguageManager::tr("日"), "dd"},     {LanguageManager::tr("时"), "HH"},
            {LanguageManager::tr("分"), "mm"},   {LanguageManager::tr("秒"), "ss"}, {LanguageManager::tr("毫秒"), "zzz"}};
}
const char *const timestampTokens[] = {"yyyy", "MM", "dd", "HH", "mm", "ss", "zzz"};

// Edits a cell of a column of words with the words offered in the user's
// language; anything else may still be typed (a "#rrggbb" colour). The
// combo's current text is its user property, so the base class moves the
// text in and out.
class WordDelegate : public QStyledItemDelegate
{
public:
    WordDelegate(const QStringList &words, QObject *parent)
        : QStyledItemDelegate(parent)
        , m_words(words)
    {
    }
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &, const QModelIndex &) const override
    {
        auto *box = new QComboBox(parent);
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        for (const QString &word : m_words)
            box->addItem(LanguageManager::tr(word));
        return box;
    }
    // The list opens on the cell's word, in whatever language or case the
    // cell holds it; the text shown is the cell's own.
    void setEditorData(QWidget *editor, const QModelIndex &index) const override
    {
        auto *box = static_cast<QComboBox *>(editor);
        const QString cell = index.data(Qt::EditRole).toString();
        const int at = int(m_words.indexOf(LanguageManager::sourceOfTypedWord(cell, m_words)));
        if (at >= 0)
            box->setCurrentIndex(at);
        box->setEditText(cell);
    }

private:
    QStringList m_words;
};
} // namespace

QLabel *addFormLabel(QVBoxLayout *layout, const QString &text)
{
    auto *label = new QLabel(text);
    label->setProperty("formLabel", true);
    layout->addWidget(label);
    return label;
}

QLabel *addSettingsSection(QVBoxLayout *layout, const QString &text)
{
    auto *label = new QLabel(text);
    label->setProperty("settingsSection", true);
    // Style sheets cannot tell a layout's first widget; the page's own
    // margin is enough above the first section.
    if (layout->count() == 0)
        label->setProperty("firstSection", true);
    layout->addWidget(label);
    return label;
}

QLabel *addFormHint(QVBoxLayout *layout, const QString &hint)
{
    auto *label = new QLabel(hint);
    label->setProperty("formHint", true);
    label->setWordWrap(true);
    layout->addWidget(label);
    return label;
}

QCheckBox *addFormCheck(QVBoxLayout *layout, const QString &text, bool checked, const QString &hint)
{
    auto *box = new QCheckBox(text);
    box->setChecked(checked);
    box->setProperty("formCheck", true);
    layout->addWidget(box);
    if (!hint.isEmpty())
        addFormHint(layout, hint);
    return box;
}

void setGreyPlaceholder(QLineEdit *edit, const QString &text)
{
    edit->setPlaceholderText(text);
    QPalette palette = edit->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setBrush(group, QPalette::PlaceholderText, QColor(122, 122, 122));
    edit->setPalette(palette);
}

void keepComboNarrow(QComboBox *combo)
{
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(10);
}

QLineEdit *addFormLineEdit(QVBoxLayout *layout, const QString &label, const QString &text, const QString &placeholder)
{
    addFormLabel(layout, label);
    auto *edit = new QLineEdit(text);
    if (!placeholder.isEmpty())
        setGreyPlaceholder(edit, placeholder);
    layout->addWidget(edit);
    return edit;
}

QSpinBox *addFormSpin(QVBoxLayout *layout, const QString &label, int value, int min, int max)
{
    addFormLabel(layout, label);
    auto *spin = new QSpinBox;
    spin->setRange(min, max);
    spin->setValue(value);
    layout->addWidget(spin);
    return spin;
}

QTableWidget *addSettingsTable(QVBoxLayout *layout, const QStringList &headers)
{
    auto *table = new QTableWidget(0, int(headers.size()));
    table->setHorizontalHeaderLabels(headers);
    table->setProperty("settingsTable", true);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->horizontalHeader()->setStretchLastSection(true);
    table->verticalHeader()->setVisible(false);
    layout->addWidget(table, 1);
    return table;
}

QString buildTimestampFormat(const QList<QCheckBox *> &checks)
{
    QStringList date, time;
    for (int i = 0; i < 6 && i < checks.size(); ++i) {
        if (checks.at(i)->isChecked())
            (i < 3 ? date : time) << QLatin1String(timestampTokens[i]);
    }
    const bool millis = checks.size() > 6 && checks.at(6)->isChecked();
    QStringList parts;
    if (!date.isEmpty())
        parts << date.join(QLatin1Char('-'));
    if (!time.isEmpty() || millis) {
        QString t = time.join(QLatin1Char(':'));
        if (millis)
            t = t.isEmpty() ? QStringLiteral("zzz") : t + QStringLiteral(".zzz");
        parts << t;
    }
    return parts.join(QLatin1Char(' '));
}

void syncTimestampChecks(const QString &text, const QList<QCheckBox *> &checks)
{
    for (int i = 0; i < checks.size() && i < 7; ++i) {
        const bool blocked = checks.at(i)->blockSignals(true);
        checks.at(i)->setChecked(text.contains(QLatin1String(timestampTokens[i])));
        checks.at(i)->blockSignals(blocked);
    }
}

QLineEdit *addTimestampFormatRow(QVBoxLayout *layout, const QString &label, const QString &text)
{
    addFormLabel(layout, label);
    auto *row = new QWidget;
    row->setProperty("tsFormatRow", true);
    // The format on a line of its own, the date and the time components on
    // one line each below it: side by side the seven boxes leave the format
    // field no room and overflow the page in many languages.
    auto *rowLayout = new QVBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    rowLayout->setSpacing(6);
    QHBoxLayout *boxLines[2] = {new QHBoxLayout, new QHBoxLayout};
    auto *edit = new QLineEdit(text);
    setGreyPlaceholder(edit, LanguageManager::tr("勾选下方分量自动生成，或手动输入 Qt 格式"));
    edit->setToolTip(LanguageManager::tr("Qt 日期格式记号：yyyy=年  MM=月  dd=日  HH=时(24小时)  mm=分  ")
                     + LanguageManager::tr("ss=秒  zzz=毫秒(3位)\n示例：yyyy-MM-dd HH:mm:ss.zzz"));
    rowLayout->addWidget(edit);
    QList<QCheckBox *> checks;
    for (const TimestampPart &part : timestampParts()) {
        auto *box = new QCheckBox(part.text, row);
        box->setCursor(Qt::PointingHandCursor);
        boxLines[checks.size() < 3 ? 0 : 1]->addWidget(box, 0);
        checks << box;
    }
    for (QHBoxLayout *line : boxLines) {
        line->setSpacing(10);
        line->addStretch(1);
        rowLayout->addLayout(line);
    }
    layout->addWidget(row);
    for (QCheckBox *box : checks)
        QObject::connect(box, &QCheckBox::toggled, edit, [edit, checks] { edit->setText(buildTimestampFormat(checks)); });
    QObject::connect(edit, &QLineEdit::textEdited, edit, [checks](const QString &typed) { syncTimestampChecks(typed, checks); });
    syncTimestampChecks(text, checks);
    return edit;
}

void fillSettingsTable(QTableWidget *table, const QList<QStringList> &rows)
{
    // Thousands of rows would otherwise relayout once per cell.
    const bool updates = table->updatesEnabled();
    table->setUpdatesEnabled(false);
    table->setRowCount(int(rows.size()));
    const int columns = table->columnCount();
    for (int r = 0; r < rows.size(); ++r) {
        const QStringList &cells = rows.at(r);
        for (int c = 0; c < columns && c < cells.size(); ++c) {
            // A stored source text (a keyword sample's "正则", "红色") shows
            // in the user's language and goes back as it was while unedited:
            // the terminal reads the source texts.
            const QString shown = LanguageManager::tr(cells.at(c));
            auto *item = new QTableWidgetItem(shown);
            if (shown != cells.at(c))
                item->setData(Qt::UserRole, cells.at(c));
            table->setItem(r, c, item);
        }
    }
    table->setUpdatesEnabled(updates);
}

void setColumnWords(QTableWidget *table, int column, const QStringList &words)
{
    QTableWidgetItem *header = table->horizontalHeaderItem(column);
    if (!header || words.isEmpty())
        return;
    header->setData(Qt::UserRole, words);
    table->setItemDelegateForColumn(column, new WordDelegate(words, table));
}

QList<QStringList> tableRows(const QTableWidget *table)
{
    QList<QStringList> columnWords;
    for (int c = 0; c < table->columnCount(); ++c) {
        const QTableWidgetItem *header = table->horizontalHeaderItem(c);
        columnWords << (header ? header->data(Qt::UserRole).toStringList() : QStringList());
    }
    QList<QStringList> rows;
    rows.reserve(table->rowCount());
    for (int r = 0; r < table->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < table->columnCount(); ++c) {
            const QTableWidgetItem *item = table->item(r, c);
            const QString source = item ? item->data(Qt::UserRole).toString() : QString();
            QString cell = item ? item->text() : QString();
            if (!source.isEmpty() && cell == LanguageManager::tr(source)) {
                cell = source;
            } else if (!columnWords.at(c).isEmpty()) {
                const QString word = LanguageManager::sourceOfTypedWord(cell, columnWords.at(c));
                if (!word.isEmpty())
                    cell = word;
            }
            cells << cell;
        }
        rows << cells;
    }
    return rows;
}

QList<QStringList> loadSettingsTable(const QString &name)
{
    QScopedPointer<QSettings> store(AppSettings::openNativeStore());
    QList<QStringList> rows;
    const int count = store->beginReadArray(name);
    for (int i = 0; i < count; ++i) {
        store->setArrayIndex(i);
        rows << store->value(QStringLiteral("row")).toStringList();
    }
    store->endArray();
    return rows;
}

void saveSettingsTable(const QTableWidget *table, const QString &name)
{
    QScopedPointer<QSettings> store(AppSettings::openNativeStore());
    // Drop the entries of an earlier, longer save. Only the array's own
    // entries go: a table may share its name with a section of settings keys
    // ("keys" and "keys/knownHosts") when both live in the native store.
    store->beginGroup(name);
    const QStringList groups = store->childGroups();
    for (const QString &group : groups) {
        bool numeric = false;
        group.toInt(&numeric);
        if (numeric)
            store->remove(group);
    }
    store->remove(QStringLiteral("size"));
    store->endGroup();
    const QList<QStringList> rows = tableRows(table);
    store->beginWriteArray(name, int(rows.size()));
    for (int r = 0; r < rows.size(); ++r) {
        store->setArrayIndex(r);
        store->setValue(QStringLiteral("row"), rows.at(r));
    }
    store->endArray();
    store->sync();
}
