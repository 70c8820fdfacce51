#include "dialogs/globaloptionsdialog.h"

#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "dialogs/optionpages/globalpages.h"
#include "dialogs/settingsform.h"

#include <QComboBox>
#include <QMessageBox>
#include <QSpinBox>

GlobalOptionsDialog::GlobalOptionsDialog(QWidget *parent)
    : BaseSettingsDialog(LanguageManager::tr(QStringLiteral("⚙️ 全局选项")), parent)
{
    for (const OptionPage &page : globalOptionPages())
        addPage(page.title.shown(), m_bindings.buildPage(page.rows()));
}

QComboBox *GlobalOptionsDialog::fontFamilyCombo() const
{
    return qobject_cast<QComboBox *>(m_bindings.widget(QString::fromUtf8(keys::fontFamily.key)));
}

QSpinBox *GlobalOptionsDialog::fontSizeSpin() const
{
    return qobject_cast<QSpinBox *>(m_bindings.widget(QString::fromUtf8(keys::fontSize.key)));
}

QList<QStringList> GlobalOptionsDialog::loadTable(const QString &name)
{
    return loadSettingsTable(name);
}

void GlobalOptionsDialog::saveTable(const QTableWidget *table, const QString &name)
{
    saveSettingsTable(table, name);
}

void GlobalOptionsDialog::applySettings()
{
    const bool sealed = m_bindings.writeWidgets();
    m_bindings.writeTables();
    AppSettings::instance().sync();
    if (!sealed) {
        QMessageBox::warning(this, LanguageManager::tr(QStringLiteral("保存密码失败")),
                             LanguageManager::tr(QStringLiteral("密码无法用本机密钥文件加密，本次输入的代理密码未被保存。\n为避免明文泄露，已保存的原值（若有）保持不变。")));
    }
}
