#pragma once

#include "dialogs/basesettingsdialog.h"
#include "dialogs/optionpage.h"

class QComboBox;
class QSpinBox;
class QTableWidget;

// The program-wide options: fourteen pages of global settings keys and six
// option tables kept in the native store. Whatever closes it, the caller
// reloads the terminal fonts afterwards.
class GlobalOptionsDialog : public BaseSettingsDialog
{
    Q_OBJECT
public:
    explicit GlobalOptionsDialog(QWidget *parent = nullptr);

    const OptionBindings &bindings() const { return m_bindings; }
    QComboBox *fontFamilyCombo() const;
    QSpinBox *fontSizeSpin() const;

    static QList<QStringList> loadTable(const QString &name);
    static void saveTable(const QTableWidget *table, const QString &name);

protected:
    void applySettings() override;

private:
    OptionBindings m_bindings;
};
