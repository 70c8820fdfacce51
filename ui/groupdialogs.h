#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;

// Asks for the name of a new session group.
class NewGroupDialog : public QDialog
{
    Q_OBJECT
public:
    explicit NewGroupDialog(QWidget *parent = nullptr);
    QString groupName() const;

protected:
    // The same question under another title.
    NewGroupDialog(const QString &title, QWidget *parent);

private:
    QLineEdit *nameEdit = nullptr;
};

// Asks for a group's new name, starting from the current one.
class RenameGroupDialog : public QDialog
{
    Q_OBJECT
public:
    RenameGroupDialog(const QString &currentName, QWidget *parent = nullptr);
    QString groupName() const;

private:
    QLineEdit *nameEdit = nullptr;
};

// Asks for a session's new name in the program's own frame and title.
class RenameSessionDialog : public QDialog
{
    Q_OBJECT
public:
    RenameSessionDialog(const QString &currentName, QWidget *parent = nullptr);
    QString name() const;

private:
    QLineEdit *nameEdit = nullptr;
};

// Asks before a session or a group is deleted.
class DeleteConfirmDialog : public QDialog
{
    Q_OBJECT
public:
    explicit DeleteConfirmDialog(QWidget *parent = nullptr);
    void setTarget(const QString &name, bool isGroup, int sessionCount);

private:
    QLabel *messageLabel = nullptr;
    QLabel *warningLabel = nullptr;
};
