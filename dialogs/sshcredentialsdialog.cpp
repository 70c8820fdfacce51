#include "dialogs/sshcredentialsdialog.h"

#include "core/languagemanager.h"
#include "ui/boundedtext.h"
#include "ui/dialogframe.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

SshCredentialsDialog::SshCredentialsDialog(const QString &host, QWidget *parent) : QDialog(parent)
{
    setWindowTitle(LanguageManager::tr("SSH 登录凭证"));
    setMinimumWidth(380);
    setModal(true);
    setStyleSheet(QStringLiteral("QDialog{background-color:#252526;color:#cccccc;}"));
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 16, 16, 16);
    outer->setSpacing(10);
    auto *intro = new QLabel(LanguageManager::tr("连接到此主机需要用户名和密码"), this);
    intro->setWordWrap(true);
    intro->setStyleSheet(QStringLiteral("background:transparent;"));
    outer->addWidget(intro);

    auto *panel = new QWidget(this);
    panel->setStyleSheet(QStringLiteral("QWidget{background-color:#252526;}"));
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(10);
    auto *hostLabel = new QLabel(panel);
    // A long host name is shortened so the dialog keeps its width.
    const QString shownHost = boundedText(hostLabel, host);
    hostLabel->setText(LanguageManager::tr("连接到 <b>%1</b> 需要用户名和密码：").arg(shownHost.toHtmlEscaped()));
    hostLabel->setObjectName(QStringLiteral("hostLabel"));
    hostLabel->setTextFormat(Qt::RichText);
    hostLabel->setWordWrap(true);
    layout->addWidget(hostLabel);
    auto *form = new QFormLayout;
    form->setHorizontalSpacing(12);
    form->setVerticalSpacing(8);
    userEdit = new QLineEdit(panel);
    userEdit->setObjectName(QStringLiteral("userEdit"));
    userEdit->setPlaceholderText(LanguageManager::tr("用户名（如 root / admin）"));
    passwordEdit = new QLineEdit(panel);
    passwordEdit->setObjectName(QStringLiteral("passwordEdit"));
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setPlaceholderText(LanguageManager::tr("密码"));
    form->addRow(LanguageManager::tr("用户名"), userEdit);
    form->addRow(LanguageManager::tr("密码"), passwordEdit);
    layout->addLayout(form);
    rememberBox = new QCheckBox(LanguageManager::tr("记住密码（保存到本机会话配置）"), panel);
    rememberBox->setObjectName(QStringLiteral("rememberBox"));
    layout->addWidget(rememberBox);
    auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, panel);
    box->button(QDialogButtonBox::Ok)->setText(LanguageManager::tr("连接"));
    box->button(QDialogButtonBox::Cancel)->setText(LanguageManager::tr("取消"));
    for (QAbstractButton *button : box->buttons())
        button->setIcon(QIcon());
    connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(passwordEdit, &QLineEdit::returnPressed, this, &QDialog::accept);
    layout->addWidget(box);
    outer->addWidget(panel);
    // Enter in either field connects (the box's OK); on Cancel it cancels.
    routeEnterKey(this);
    userEdit->setFocus();
}

void SshCredentialsDialog::setDefaults(const QString &user, const QString &password)
{
    if (!user.isEmpty())
        userEdit->setText(user);
    if (!password.isEmpty())
        passwordEdit->setText(password);
    (password.isEmpty() ? userEdit : passwordEdit)->setFocus(Qt::OtherFocusReason);
}

SshCredentials SshCredentialsDialog::credentials() const
{
    return {userEdit->text().trimmed(), passwordEdit->text(), rememberBox->isChecked()};
}
