#pragma once

#include "core/settingkeys.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <vector>

class QTableWidget;
class QVBoxLayout;
class QWidget;
class OptionBindings;

// How an options page is declared
// -------------------------------
// A page is a list of rows, read top to bottom by OptionBindings::buildPage:
//
//   using namespace optiontext;   // tr(): shown translated; lit(): shown as is
//   const std::vector<OptionRow> &proxyRows() {
//       static const std::vector<OptionRow> rows{
//           section(tr("全局代理")),
//           combo("proxy/type", tr("代理类型"), tr("无"), {tr("无"), tr("HTTP 代理"), lit("SOCKS5")}),
//           line("proxy/host", tr("主机"), lit("")).beside(2),
//           line("proxy/port", tr("端口"), lit("8080")).beside(1),
//           secret("proxy/pass", tr("密码（可选）")),
//           table("namedProxies", {tr("名称"), tr("类型")}, 120, {{tr("公司代理"), lit("HTTP")}}),
//       };
//       return rows;
//   }
//
// Consecutive rows marked beside() share one line, each a labelled column
// with that stretch factor.
//
// Keys and table names are written without any prefix. The bindings object
// carries the prefix: "" for the global dialog, "session/<id>/" for one
// session, so a session page reuses the same kind of table (or the very same
// rows) and every key and table lands under the session. Each editor is
// registered under its full key and gets that key as its object name; each
// table gets its bare name as object name.
//
// A dialog owns one OptionBindings, adds bindings.buildPage(rows) per page
// and, on apply, calls writeWidgets() (false: a password could not be
// sealed, tell the user), writeTables(), then AppSettings::sync():
//   OptionBindings bindings(QStringLiteral("session/") + id + QLatin1Char('/'));
//
// Texts go through tr() when the page is built. A combo choice is stored as
// its item's source text, so the file reads the same in every language; a
// choice an older file holds translated is matched through the item's own
// list. Sample table rows are stored as shown. Stored values of the wrong
// type fall back to the row's default.
// Whatever a row cannot say is a custom row: a function that appends to the
// page layout and may register editors with bind().

// A text of a page table: a Chinese source text and whether it is shown
// through the language layer.
struct OptionText {
    const char *source = nullptr;
    bool translated = false;
    QString shown() const;
};

namespace optiontext {
// Named tr so that the translation coverage check finds every table text.
constexpr OptionText tr(const char *source) { return OptionText{source, true}; }
constexpr OptionText lit(const char *source) { return OptionText{source, false}; }
} // namespace optiontext

enum class OptionKind { Section, Hint, Check, Combo, FontFamily, Line, Secret, Spin, Timestamp, Table, Buttons, Custom };

struct OptionRow {
    OptionKind kind = OptionKind::Section;
    const char *key = nullptr; // settings key or table name, without prefix
    OptionText label;          // section title, check text or the editor's label
    OptionText text;           // default of a combo, line edit or timestamp
    OptionText hint;           // hint under a check box, placeholder of a line edit
    int number = 0;            // default of a check box (0/1) or spin box
    int min = 0, max = 0;      // spin range; max is a table's maximum height
    std::vector<OptionText> items; // combo items, table headers, button captions, hint parts
    std::vector<std::vector<OptionText>> samples; // a table's rows while nothing is stored
    std::vector<QStringList> columnWords; // a table: per column, the source texts its cells mean
    const char *suffix = nullptr;  // spin box suffix
    int stretch = -1;          // >= 0: a labelled column beside its neighbours
    bool addsRow = false;      // buttons: the first one appends a row to the table above
    std::function<void(QVBoxLayout *, OptionBindings &)> build; // custom rows

    OptionRow beside(int stretchFactor = 0) const;
    OptionRow withSuffix(const char *text) const;
    // A table whose cells in these columns are words of a vocabulary (source
    // texts), stored as such whatever language they were typed in; an empty
    // list leaves a column free text.
    OptionRow withColumnWords(std::vector<QStringList> words) const;
};

OptionRow section(OptionText title);
OptionRow hint(std::vector<OptionText> parts);
OptionRow check(const char *key, OptionText label, bool checked, OptionText hintText = {});
OptionRow combo(const char *key, OptionText label, OptionText current, std::vector<OptionText> items);
// An editable combo of the installed font families.
OptionRow fontFamily(const char *key, OptionText label, OptionText current);
OptionRow line(const char *key, OptionText label, OptionText text, OptionText placeholder = {});
// A password: shown unsealed with echo off, stored sealed (protectSecret).
OptionRow secret(const char *key, OptionText label);
OptionRow spin(const char *key, OptionText label, int value, int min, int max);
OptionRow timestamp(const char *key, OptionText label, OptionText format);
OptionRow table(const char *name, std::vector<OptionText> headers, int maxHeight,
                std::vector<std::vector<OptionText>> samples);
// Plain buttons left to right; with addsRow the first appends an empty row to
// the table declared before it.
OptionRow buttons(std::vector<OptionText> captions, bool addsRow = false);
OptionRow custom(std::function<void(QVBoxLayout *, OptionBindings &)> build);

// Rows of the settings that readers elsewhere share: key and default come
// from the one declaration; a choice's items are its choices, translated.
OptionRow combo(const ChoiceSetting &setting, OptionText label);
// A session's own choice: "inherit" first and by default, then the choices.
OptionRow inheritingCombo(const ChoiceSetting &setting, OptionText label);
OptionRow fontFamily(const TextSetting &setting, OptionText label);
OptionRow line(const TextSetting &setting, OptionText label, OptionText placeholder = {});
OptionRow spin(const IntSetting &setting, OptionText label, int min, int max);

// Typed reads of the settings store that fall back to the default when the
// stored value is absent or cannot be read as that type.
bool readOptionBool(const QString &key, bool fallback);
int readOptionInt(const QString &key, int fallback);
QString readOptionString(const QString &key, const QString &fallback);

// The editors and tables of one dialog, by full key and bare table name.
class OptionBindings
{
public:
    // Everything: apply writes every editor and table, so the store holds
    // what the dialog showed. Changes: apply writes only what the user
    // changed (see writeWidgets).
    enum class Writes { Everything, Changes };
    explicit OptionBindings(const QString &prefix = QString(), Writes writes = Writes::Everything)
        : m_prefix(prefix), m_writes(writes)
    {
    }

    QString prefix() const { return m_prefix; }
    // A page widget in the common page layout, built from the rows.
    QWidget *buildPage(const std::vector<OptionRow> &rows);
    void appendRows(QVBoxLayout *layout, const std::vector<OptionRow> &rows);

    // Registers an editor under prefix + key and names it so.
    void bind(const QString &key, QWidget *editor);
    void bindSecret(const QString &key, QWidget *editor);
    void bindTable(const QString &name, QTableWidget *table);

    QWidget *widget(const QString &fullKey) const { return widgets.value(fullKey); }
    const QMap<QString, QWidget *> &boundWidgets() const { return widgets; }
    const QMap<QString, QTableWidget *> &boundTables() const { return tables; }

    // Writes the bound editors in key order: check box as bool, line edit
    // as its text, combo box as its item's source text (an editable one as
    // its text), spin box as int. With Writes::Changes an editor left as it
    // was shown writes nothing, so an unchanged OK keeps every stored value
    // as it stands (an inheriting choice, a choice stored in another
    // language, a key never written); written all the same are a spin or
    // check box whose stored value it could not show (out of range, no
    // number) and a password stored unsealed or in the legacy form, which
    // is sealed. A password that cannot be sealed is not written; returns
    // false then. Neither is one that could not be unsealed and was left
    // unedited.
    bool writeWidgets();
    // Writes the bound tables (with Writes::Changes, those that changed) to
    // the native store under prefix + name.
    void writeTables();

private:
    QString m_prefix;
    Writes m_writes;
    QMap<QString, QWidget *> widgets;
    QMap<QString, QTableWidget *> tables;
    QSet<QString> secrets;
    QSet<QString> unreadableSecrets;
    // What each editor and table showed when it was bound (or last wrote),
    // for Writes::Changes. Editors that must be written whatever happens
    // have no entry.
    QMap<QString, QVariant> shown;
    QMap<QString, QList<QStringList>> shownTables;
};
