#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTableWidget;
class QVBoxLayout;

// The vocabulary every options page is built from. Each helper appends a
// labelled row to a page's vertical layout (the page becomes the widgets'
// parent) and marks it with a dynamic property that the dialog's style sheet
// selects on: settingsSection, formLabel, formHint, formCheck, settingsTable,
// tsFormatRow. None of them reads or writes a setting; see optionpage.h for
// the builder that does.

QLabel *addSettingsSection(QVBoxLayout *layout, const QString &text);
QCheckBox *addFormCheck(QVBoxLayout *layout, const QString &text, bool checked, const QString &hint = QString());
QLabel *addFormHint(QVBoxLayout *layout, const QString &hint);
QLabel *addFormLabel(QVBoxLayout *layout, const QString &text);
QLineEdit *addFormLineEdit(QVBoxLayout *layout, const QString &label, const QString &text,
                           const QString &placeholder = QString());
// The range is set before the value, so an out-of-range value shows clamped.
QSpinBox *addFormSpin(QVBoxLayout *layout, const QString &label, int value, int min, int max);
QTableWidget *addSettingsTable(QVBoxLayout *layout, const QStringList &headers);
void setGreyPlaceholder(QLineEdit *edit, const QString &text);
// Sizes a combo by its column, not by its longest item (font names, long
// translations, a user's group names), so no dialog grows off the screen.
void keepComboNarrow(QComboBox *combo);

// A Qt date-time format line edit with one check box per component (year to
// millisecond). Ticking a box rebuilds the text; typing re-ticks the boxes
// whose token the text contains, without feeding back.
QLineEdit *addTimestampFormatRow(QVBoxLayout *layout, const QString &label, const QString &text);
QString buildTimestampFormat(const QList<QCheckBox *> &checks);
void syncTimestampChecks(const QString &text, const QList<QCheckBox *> &checks);

// Rows of cell texts into a table; cells beyond the column count are dropped,
// cells missing from a short row stay empty.
void fillSettingsTable(QTableWidget *table, const QList<QStringList> &rows);
// A column whose cells are words of a vocabulary: a cell that is one of
// `words` (source texts) or its translation into any language is read back
// by tableRows as that source text, so the store reads the same whatever
// language the user typed in. Its cells are edited in a combo that offers the
// words in the user's language.
void setColumnWords(QTableWidget *table, int column, const QStringList &words);
QList<QStringList> tableRows(const QTableWidget *table);

// Option tables live in the native store whatever store AppSettings uses, as
// an array `name` of entries holding one string list "row" each.
QList<QStringList> loadSettingsTable(const QString &name);
// Replaces the whole array, so a shorter table leaves no stale entries.
void saveSettingsTable(const QTableWidget *table, const QString &name);
