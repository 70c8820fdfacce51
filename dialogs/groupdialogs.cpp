#include "dialogs/groupdialogs.h"

#include "core/languagemanager.h"
#include "mainwindow/titlebar.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
// Room for a user's name inside a small dialog, in pixels.
constexpr int kNameWidth = 300;

// Not QObject::tr: every text goes through the program's own table.
QString lt(const char *source)
{
    return LanguageManager::tr(QString::fromUtf8(source));
}

// The frame every small dialog of the window shares: no system frame, the
// program's title bar on top. Returns the layout of the body below it.
QVBoxLayout *frame(QDialog *dialog, const QString &title, int spacing, QWidget **bodyOut = nullptr)
{
    dialog->setWindowFlags((dialog->windowFlags() & ~Qt::WindowSystemMenuHint) | Qt::FramelessWindowHint);
    dialog->setWindowTitle(title);
    auto *outer = new QVBoxLayout(dialog);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    auto *bar = new TitleBar(dialog, false);
    bar->setTitle(title);
    outer->addWidget(bar);
    auto *body = new QWidget(dialog);
    outer->addWidget(body, 1);
    auto *layout = new QVBoxLayout(body);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(spacing);
    if (bodyOut)
        *bodyOut = body;
    return layout;
}

QDialogButtonBox *buttons(QDialog *dialog, const QString &okText)
{
    auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Horizontal, dialog);
    box->button(QDialogButtonBox::Ok)->setText(okText);
    box->button(QDialogButtonBox::Cancel)->setText(lt("取消"));
    // The style's stock icons sit badly on the coloured buttons.
    for (QAbstractButton *button : box->buttons())
        button->setIcon(QIcon());
    QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return box;
}

QLineEdit *nameField(QDialog *dialog, const QString &title)
{
    dialog->setMinimumWidth(360);
    dialog->setStyleSheet(QStringLiteral("QDialog{background-color:#252526;color:#cccccc;}"));
    QVBoxLayout *layout = frame(dialog, title, 12);
    auto *field = new QWidget(dialog);
    auto *fieldLayout = new QVBoxLayout(field);
    fieldLayout->setContentsMargins(0, 0, 0, 0);
    fieldLayout->addWidget(new QLabel(lt("分组名称"), field));
    auto *edit = new QLineEdit(field);
    edit->setObjectName(QStringLiteral("nameEdit"));
    edit->setPlaceholderText(lt("输入分组名称..."));
    fieldLayout->addWidget(edit);
    layout->addWidget(field);
    QDialogButtonBox *box = buttons(dialog, lt("确定"));
    box->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("primaryButton"));
    layout->addWidget(box);
    edit->setFocus();
    return edit;
}
} // namespace

QVBoxLayout *smallDialogFrame(QDialog *dialog, const QString &title, int spacing)
{
    return frame(dialog, title, spacing);
}

QDialogButtonBox *smallDialogButtons(QDialog *dialog, const QString &okText)
{
    return buttons(dialog, okText);
}

NewGroupDialog::NewGroupDialog(QWidget *parent) : NewGroupDialog(lt("📁 新建分组"), parent) {}

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
    nameEdit = nameField(this, lt("重命名分组"));
    nameEdit->setText(currentName);
    nameEdit->selectAll();
}

QString RenameGroupDialog::groupName() const
{
    return nameEdit->text().trimmed();
}

DeleteConfirmDialog::DeleteConfirmDialog(QWidget *parent) : QDialog(parent)
{
    QWidget *body = nullptr;
    QVBoxLayout *layout = frame(this, lt("⚠️ 确认删除"), 10, &body);
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
    QDialogButtonBox *box = buttons(this, lt("删除"));
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
    const QString shown = messageLabel->fontMetrics().elidedText(name, Qt::ElideMiddle, kNameWidth);
    messageLabel->setText(lt("确定要删除 <b style='color:#f44747;'>\"%1\"</b> 吗？").arg(shown.toHtmlEscaped()));
    messageLabel->setToolTip(shown == name ? QString() : name);
    const bool warn = isGroup && sessionCount >= 1;
    if (warn)
        warningLabel->setText(lt("⚠️ 该分组包含 %1 个会话，删除后会话将移至根目录。").arg(sessionCount));
    warningLabel->setVisible(warn);
}
