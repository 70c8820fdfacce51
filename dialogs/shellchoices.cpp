#include "dialogs/shellchoices.h"

#include "core/languagemanager.h"
#include "platform/pty.h"

#include <QComboBox>

namespace {

bool meansDefaultShell(const QString &stored)
{
    const QString s = stored.trimmed();
    return s.isEmpty() || s == QStringLiteral("命令提示符 (cmd)") || s.compare(QLatin1String("cmd"), Qt::CaseInsensitive) == 0;
}

} // namespace

void fillShellCombo(QComboBox *combo, const QString &stored)
{
    combo->clear();
    const bool isDefault = meansDefaultShell(stored);
    combo->addItem(LanguageManager::tr(QStringLiteral("默认 Shell（%1）")).arg(platform::loginShell()),
                   isDefault ? stored : QString());
    for (const QString &shell : platform::listedShells())
        combo->addItem(shell, shell);
    if (isDefault)
        return;
    int at = combo->findData(stored);
    if (at < 0) {
        combo->addItem(stored, stored);
        at = combo->count() - 1;
    }
    combo->setCurrentIndex(at);
}

QString chosenShell(const QComboBox *combo)
{
    return combo->currentData().toString();
}
