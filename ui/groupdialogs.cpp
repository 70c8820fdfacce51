#include "ui/groupdialogs.h"

#include "core/languagemanager.h"
#include "ui/boundedtext.h"
#include "ui/dialogframe.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
QLineEdit *nameField(QDialog *dialog, const QString &title, const QString &label = LanguageManager::tr("分组名称"),
                     const QString &placeholder = LanguageManager::tr("输入分组名称..."))
{
    dialog->setMinimumWidth(360);
    dialog->setStyleSheet(QStringLiteral("QDialog{background-color:#252526;color:#cccccc;}"));
    QVBoxLayout *layout = frameDialog(dialog, title, 16, 12).layout;
    auto *field = new QWidget(dialog);
    auto *fieldLayout = new QVBoxLayout(field);
    fieldLayout->setContentsMargins(0, 0, 0, 0);
    fieldLayout->addWidget(new QLabel(label, field));
    auto *edit = new QLineEdit(field);
    edit->setObjectName(QStringLiteral("nameEdit"));
    edit->setPlaceholderText(placeholder);
    fieldLayout->addWidget(edit);
    layout->addWidget(field);
    QDialogButtonBox *box = dialogButtons(dialog, LanguageManager::tr("确定"));
    box->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("primaryButton"));
    layout->addWidget(box);
    edit->setFocus();
    return edit;
}
} // namespace

NewGroupDialog::NewGroupDialog(QWidget *parent) : NewGroupDialog(LanguageManager::tr("📁 新建分组"), parent) {}

NewGroupDialog::NewGroupDialog(const QString &title, QWidget *parent) : QDialog(parent)
{
    nameEdit = nameField(this, title);
}

QString NewGroupDialog::groupName() const
{
    return nameEdit->text().trimmed();
}

RenameGroupDialog::RenameGroupDialog(const QString &currentName, QWidget *parent) : QDialog(parent)
{
    nameEdit = nameField(this, LanguageManager::tr("重命名分组"));
    nameEdit->setText(currentName);
    nameEdit->selectAll();
}

QString RenameGroupDialog::groupName() const
{
    return nameEdit->text().trimmed();
}

RenameSessionDialog::RenameSessionDialog(const QString &currentName, QWidget *parent) : QDialog(parent)
{
    nameEdit = nameField(this, LanguageManager::tr("重命名会话"), LanguageManager::tr("新名称："), QString());
    nameEdit->setText(currentName);
    nameEdit->selectAll();
}

QString RenameSessionDialog::name() const
{
    return nameEdit->text().trimmed();
}

DeleteConfirmDialog::DeleteConfirmDialog(QWidget *parent) : QDialog(parent)
{
    const DialogFrame frame = frameDialog(this, LanguageManager::tr("⚠️ 确认删除"), 16, 10);
    QWidget *body = frame.body;
    QVBoxLayout *layout = frame.layout;
    resize(400, 160);
    body->setStyleSheet(QStringLiteral("QWidget{background-color:#252526;}"));
    messageLabel = new QLabel(body);
    messageLabel->setObjectName(QStringLiteral("messageLabel"));
    messageLabel->setWordWrap(true);
    messageLabel->setTextFormat(Qt::RichText);
    messageLabel->setStyleSheet(QStringLiteral("color:#cccccc;font-size:13px;line-height:1.6;"));
    layout->addWidget(messageLabel);
    warningLabel = new QLabel(body);
    warningLabel->setObjectName(QStringLiteral("warningLabel"));
    warningLabel->setWordWrap(true);
    warningLabel->setStyleSheet(QStringLiteral("color:#dcdcaa;font-size:12px;"));
    warningLabel->hide();
    layout->addWidget(warningLabel);
    QDialogButtonBox *box = dialogButtons(this, LanguageManager::tr("删除"));
    box->button(QDialogButtonBox::Ok)
        ->setStyleSheet(QStringLiteral("QPushButton{background-color:#f44747;border-color:#f44747;color:#ffffff;"
                                       "padding:6px 16px;border-radius:3px;}"));
    layout->addWidget(box);
}

void DeleteConfirmDialog::setTarget(const QString &name, bool isGroup, int sessionCount)
{
    // Translated like every other text (a question left in Chinese in every
    // language would puzzle most users); the name is the user's own text: it
    // shows as written, never as markup.
    // A long name is shortened in the middle so the buttons stay on screen.
    const QString shown = boundedText(messageLabel, name);
    messageLabel->setText(LanguageManager::tr("确定要删除 <b style='color:#f44747;'>\"%1\"</b> 吗？").arg(shown.toHtmlEscaped()));
    const bool warn = isGroup && sessionCount >= 1;
    if (warn)
        warningLabel->setText(LanguageManager::tr("⚠️ 该分组包含 %1 个会话，删除后会话将移至根目录。").arg(sessionCount));
    warningLabel->setVisible(warn);
}
