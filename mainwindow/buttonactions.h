#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class SendingActions;
class SessionHub;
class QWidget;

// What the add/edit dialog of a quick command hands back when accepted.
struct CommandEdit {
    QString group, title, command;
};

// The quick-command dialogs of the command window, plugged in by the window;
// one that is not there answers "cancelled".
struct ButtonDialogs {
    // Asks for a new button-group name (trimmed).
    std::function<std::optional<QString>(QWidget *parent)> askGroupName;
    // Asks for a button: the groups offered, the one selected, edit mode,
    // and the title and characters to start from.
    std::function<std::optional<CommandEdit>(QWidget *parent, const QStringList &groups, const QString &group,
                                             bool edit, const QString &title, const QString &command)>
        editCommand;
};

// The command window's quick-command requests: they change the store's
// button groups and have the command window rebuild its buttons; a clicked
// button's characters go to the current session.
class ButtonActions : public QObject
{
    Q_OBJECT
public:
    ButtonActions(SessionHub *hub, SendingActions *sending);

    ButtonDialogs dialogs;

    void buttonCommand(const QString &cmd);
    void buttonScript(const QString &script);
    void addButtonGroup();
    void addCommand(const QString &defaultGroup);
    void editCommand(const QString &group, const QString &title);
    void deleteCommand(const QString &group, const QString &title);

private:
    void reloadButtons() const;

    SessionHub *hub;
    SendingActions *sending;
};
