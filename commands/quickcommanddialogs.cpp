#include "commands/quickcommanddialogs.h"

#include "core/languagemanager.h"
#include "ui/boundedtext.h"
#include "ui/dialogframe.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

using Lm = LanguageManager;

AddButtonGroupDialog::AddButtonGroupDialog(QWidget *parent)
    : NewGroupDialog(Lm::tr(QStringLiteral("添加分组")), parent)
{
    if (auto *box = findChild<QDialogButtonBox *>())
        box->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("plainButton"));
}

AddCommandDialog::AddCommandDialog(const QStringList &groups, const QString &defaultGroup, const QString &mode,
                                   const QString &title, const QString &command, QWidget *parent)
    : QDialog(parent)
{
    const bool editing = mode == Lm::tr(QStringLiteral("修改"));
    setMinimumWidth(440);
    setStyleSheet(QStringLiteral("QDialog{background-color:#252526;color:#cccccc;}"));
    QVBoxLayout *layout =
        frameDialog(this, editing ? Lm::tr(QStringLiteral("修改快捷命令")) : Lm::tr(QStringLiteral("添加快捷命令")), 16, 10)
            .layout;

    layout->addWidget(new QLabel(Lm::tr(QStringLiteral("分组")), this));
    groupBox = new QComboBox(this);
    groupBox->addItems(groups);
    if (!defaultGroup.isEmpty() && groups.contains(defaultGroup))
        groupBox->setCurrentIndex(groups.indexOf(defaultGroup));
    boundComboWidth(groupBox);
    layout->addWidget(groupBox);

    layout->addWidget(new QLabel(Lm::tr(QStringLiteral("标题")), this));
    titleEdit = new QLineEdit(this);
    titleEdit->setPlaceholderText(Lm::tr(QStringLiteral("按钮显示名称...")));
    layout->addWidget(titleEdit);

    layout->addWidget(new QLabel(Lm::tr(QStringLiteral("发送字符")), this));
    commandEdit = new QPlainTextEdit(this);
    commandEdit->setPlaceholderText(Lm::tr(QStringLiteral("输入要发送的字符...")));
    commandEdit->setMinimumHeight(80);
    commandEdit->setMaximumHeight(140);
    layout->addWidget(commandEdit);
    if (editing) {
        titleEdit->setText(title);
        commandEdit->setPlainText(command);
    }

    // The escapes that the sender turns into control characters and pauses,
    // in aligned columns.
    const QString escapes[] = {
        QStringLiteral("\\r - ") + Lm::tr(QStringLiteral("发送回车 (CR)")),
        QStringLiteral("\\p - ") + Lm::tr(QStringLiteral("暂停一秒")),
        QStringLiteral("\\e - ") + Lm::tr(QStringLiteral("发送 ESC 字符")),
        QStringLiteral("\\n - ") + Lm::tr(QStringLiteral("发送换行 (LF)")),
        QStringLiteral("\\t - ") + Lm::tr(QStringLiteral("发送制表符")),
        QStringLiteral("\\b - ") + Lm::tr(QStringLiteral("发送退格")),
    };
    auto *help = new QWidget(this);
    help->setStyleSheet(QStringLiteral("QLabel{color:#858585;font-size:11px;}"));
    auto *grid = new QGridLayout(help);
    grid->setContentsMargins(0, 4, 0, 4);
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(2);
    for (int i = 0; i < int(std::size(escapes)); ++i)
        grid->addWidget(new QLabel(escapes[i], help), i / 3, i % 3);
    layout->addWidget(help);

    QDialogButtonBox *box = dialogButtons(this, editing ? Lm::tr(QStringLiteral("保存")) : Lm::tr(QStringLiteral("确定")));
    box->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("primaryButton"));
    box->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("plainButton"));
    layout->addWidget(box);
    titleEdit->setFocus();
}

QString AddCommandDialog::group() const
{
    return groupBox->currentText();
}

QString AddCommandDialog::title() const
{
    return titleEdit->text().trimmed();
}

QString AddCommandDialog::command() const
{
    return commandEdit->toPlainText();
}
