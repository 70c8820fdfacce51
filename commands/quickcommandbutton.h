#pragma once

#include <QString>

#include <functional>

class QObject;
class QPushButton;
class QWidget;
struct ButtonCommand;

// One quick-command button as every strip of them makes it: the user's
// caption, the stripe of its colour, and a click that hands over the stored
// command, saying whether it names a script.
namespace quickcommand {

// The group filter's look beside a strip.
QString groupBoxStyleSheet();
QString buttonStyleSheet(const QString &color);
// A command names a script when it ends in ".vbs" or ".py", exactly.
bool isScript(const QString &command);

using ClickHandler = std::function<void(const QString &command, bool script)>;
// `onClick` runs in `context`, and no longer once `context` is gone.
QPushButton *makeButton(const ButtonCommand &entry, QWidget *parent, QObject *context, ClickHandler onClick);

// A click emits the owner's buttonScript or buttonCommand with the command.
template <class Owner>
QPushButton *makeButton(const ButtonCommand &entry, QWidget *parent, Owner *owner)
{
    return makeButton(entry, parent, owner, [owner](const QString &command, bool script) {
        if (script)
            emit owner->buttonScript(command);
        else
            emit owner->buttonCommand(command);
    });
}

} // namespace quickcommand
