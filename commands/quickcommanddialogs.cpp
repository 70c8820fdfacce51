#include "commands/quickcommanddialogs.h"

#include "core/languagemanager.h"
#include "ui/boundedtext.h"
#include "ui/dialogframe.h"

#include <QComboBox>
#include <QDialogButtonBox>
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

    // The escapes that the sender turns into control characters and pauses.
    const QString gap4(4, QLatin1Char(' ')), gap11(11, QLatin1Char(' '));
    auto *help = new QLabel(QStringLiteral("\\r - sends a carriage return (CR)") + gap4 +
                                QStringLiteral("\\p - pauses for one second") + gap4 +
                                QStringLiteral("\\e - sends an escape\n\\n - sends a newline (LF)") + gap11 +
                                QStringLiteral("\\t - sends a tab") + gap11 + QStringLiteral("\\b - sends a backspace"),
                            this);
    help->setObjectName(QStringLiteral("escapeHelp"));
    help->setStyleSheet(QStringLiteral("color:#858585;font-size:11px;padding:4px 0;"));
    // Not wrapped: the dialog grows to hold each row of escapes whole,
    // where wrapping at its own width split an escape from its words.
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
