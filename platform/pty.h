#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace platform {

// Whether this system can give us pseudo-terminals (asked once, then cached).
bool pseudoTerminalsAvailable();

// Where a program would be started from: absolute names as they are, other
// names looked up on PATH. Empty when there is no such executable.
QString findExecutable(const QString &program);

// The login shells this system lists in /etc/shells that exist and can be
// run, in the file's order.
QStringList listedShells();
// The user's login shell: $SHELL when it is one of the listed shells, else
// /bin/sh.
QString loginShell();

// Whether the program on the terminal behind this master descriptor has it
// in its usual cooked state (signals from keys on) rather than raw, as
// transfer programs set it.
bool terminalInputIsCooked(int masterFd);

// A child process whose standard streams are the far side of a pseudo-
// terminal. It runs in a session of its own with the terminal as its
// controlling terminal, so the line discipline, job control and SIGWINCH work
// as in any terminal window.
class PtyProcess
{
public:
    PtyProcess() = default;
    ~PtyProcess(); // ends the child (as terminate) when still running
    PtyProcess(const PtyProcess &) = delete;
    PtyProcess &operator=(const PtyProcess &) = delete;

    // Starts program (an absolute path) with the arguments, TERM set to term
    // and the window size given. Fails with *err, also when the program cannot
    // be executed (the child reports that before it would have run).
    bool spawn(const QString &program, const QStringList &arguments, const QByteArray &term,
               int cols, int rows, int *err);

    int masterFd() const { return m_master; }   // non-blocking
    // Readable once the child has exited; -1 when the kernel offers no such
    // descriptor (then poll hasExited() now and then).
    int exitFd() const { return m_pidFd; }
    pid_t pid() const { return m_pid; }

    bool setWindowSize(int cols, int rows);
    // Whether the program on the terminal has it in its usual cooked state
    // (signals from keys on) rather than raw, as transfer programs set it.
    bool inputIsCooked() const;

    // Reaps the child when it has exited; true once it is gone.
    bool hasExited();
    // Sends SIGHUP to the child's process group, waits up to graceMs for the
    // child to end, then SIGKILL; reaps it and closes the terminal.
    void terminate(int graceMs);

private:
    bool waitExit(int timeoutMs);
    void closeDescriptors();

    int m_master = -1;
    int m_pidFd = -1;
    pid_t m_pid = -1;
    bool m_reaped = true;
};

} // namespace platform
