#pragma once

#include "connections/sshconnection.h"

#include <QString>

struct SessionInfo;
class QWidget;

// How an SSH session logs in, for the terminal's opener and the SFTP entry
// alike: one reading of the session's settings and one credentials prompt.
namespace SshSignIn {

// Host, port (a number above 0, else the default port setting), method,
// key, terminal type, remote command, known hosts and keep-alive. The host
// is empty when the session names none.
SshConnectParams paramsFor(const QString &id, const SessionInfo &info);

// The user typed when the session was made, offered at its first login.
void rememberUser(const QString &id, const QString &user);
// The login method chosen when the session was made (an SSH one only).
void rememberAuth(const QString &id, const QString &auth);
// The user a session logs in with when nothing asks: the saved or typed
// one, else the default user.
QString savedUser(const QString &id);

enum class Answer { Given, Cancelled, NoUser, NotSealed };
// Asks for the user and password, offering the saved ones, and fills them
// in. They are kept only when "remember" is ticked, and a quick session's
// only while the program runs. NotSealed: given, but the password could not
// be stored safely and was not.
Answer ask(QWidget *parent, const QString &id, SshConnectParams *params);
// The status line that tells a NotSealed answer, wherever the login was asked for.
QString notSealedLine();

} // namespace SshSignIn
