#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class CommandSender;
class OpenSession;
class SessionHub;

// Turns what the command window sends into bytes on the open connections:
// text for the current session goes through the escape language and the
// timed sender, text for several sessions is written at once line by line,
// HEX text goes to the current session. All of it is the user's input to
// the session, which keeps a waiting transfer's polls out of the command.
class SendingActions : public QObject
{
    Q_OBJECT
public:
    explicit SendingActions(SessionHub *hub);

    // target: "current", "all", "group" or "visible"; anything else counts
    // as "current".
    void commandSend(const QString &target, const QString &cmd, bool hex);
    // Plays `text` (escapes and pauses) on the open session and returns at once.
    CommandSender *sendCommandText(OpenSession *session, const QString &text);

    // The open sessions a target other than "current" reaches, in id order.
    // "group": those whose saved record is in the current session's group
    // (the top level counting as one); "visible": the session whose view the
    // tab area shows.
    QStringList targetSessions(const QString &target) const;

private:
    OpenSession *openSession(const QString &id) const;
    // The "[send]" line in the shown view, for a command that reached no
    // session.
    void showUnsent(const QString &tag, const QString &cmd) const;

    SessionHub *hub;
};
