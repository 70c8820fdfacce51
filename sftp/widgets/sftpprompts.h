#pragma once

#include <QPoint>
#include <QString>

#include <functional>
#include <optional>

class QMenu;
class QWidget;

// Every question the remote tree and the SFTP dialog put to the user goes
// through here, so that a test can answer it instead of a person. The
// defaults are Qt's own dialogs.
struct SftpPrompts {
    // A line of text; nothing when cancelled.
    std::function<std::optional<QString>(QWidget *parent, const QString &title, const QString &label,
                                         const QString &text)>
        text;
    // Chosen paths; empty when cancelled.
    std::function<QString(QWidget *parent, const QString &caption, const QString &start)> saveFile;
    std::function<QString(QWidget *parent, const QString &caption)> openFile;
    std::function<QString(QWidget *parent, const QString &caption)> folder;
    // Yes or no, with no default button.
    std::function<bool(QWidget *parent, const QString &title, const QString &question)> confirm;
    // Runs a context menu at a global position (until an entry is chosen).
    std::function<void(QMenu *menu, const QPoint &globalPos)> runMenu;
};

// The process-wide prompts; assign a member to answer it differently.
SftpPrompts &sftpPrompts();
// Puts Qt's dialogs back.
void resetSftpPrompts();
