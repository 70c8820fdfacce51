#pragma once

class SessionHub;

// Opens a new SFTP dialog for the current tab's SSH session, as a child of
// the window; every call opens another one. A session that is not a stored
// SSH session, or has no host, gets a line in its tab instead.
void openSftpDialog(SessionHub &hub);
