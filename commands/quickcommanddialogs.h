#pragma once

#include "ui/groupdialogs.h"

class QComboBox;
class QPlainTextEdit;

// Asks for the name of a new quick-command group; groupName() gives it
// trimmed.
class AddButtonGroupDialog : public NewGroupDialog
{
    Q_OBJECT
public:
    explicit AddButtonGroupDialog(QWidget *parent = nullptr);
};

// Adds a quick command, or edits one when mode is the translated "修改"
// (only then are title and command shown). Accepts whatever is entered.
class AddCommandDialog : public QDialog
{
    Q_OBJECT
public:
    AddCommandDialog(const QStringList &groups, const QString &defaultGroup, const QString &mode,
                     const QString &title, const QString &command, QWidget *parent = nullptr);

    QString group() const;
    QString title() const;   // trimmed
    QString command() const; // exactly as typed

private:
    QComboBox *groupBox = nullptr;
    QLineEdit *titleEdit = nullptr;
    QPlainTextEdit *commandEdit = nullptr;
};
