#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;

struct SshCredentials {
    QString user;     // trimmed
    QString password; // as typed
    bool remember = false;
};

// Asks for the user name and password of an SSH host on every open.
class SshCredentialsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit SshCredentialsDialog(const QString &host, QWidget *parent = nullptr);

    void setDefaults(const QString &user, const QString &password);
    SshCredentials credentials() const;

private:
    QLineEdit *userEdit = nullptr;
    QLineEdit *passwordEdit = nullptr;
    QCheckBox *rememberBox = nullptr;
};
