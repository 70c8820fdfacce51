#pragma once

#include "connections/connection.h"

#include <QPointer>
#include <QProcess>
#include <QStringList>

// A shell on the user's own machine. Normally the shell runs on a pseudo-
// terminal driven by a worker thread; on a system without pseudo-terminals it
// runs as a plain child process driven by signals on the caller's thread.
class LocalShellConnection : public WorkerConnection
{
    Q_OBJECT
public:
    explicit LocalShellConnection(QObject *parent = nullptr);
    ~LocalShellConnection() override;

    void setShell(const QString &name) { m_shell = name; }
    QString shell() const { return m_shell; }
    // TERM for programs in the shell; empty: "xterm-256color".
    void setTerminalType(const QString &term) { m_term = term; }

    // Whether shells run on a pseudo-terminal here (cached for the process).
    static bool isConPtySupported();
    // Tests use this to drive the plain-process fallback on a system that has
    // pseudo-terminals.
    static void setPseudoTerminalDisabled(bool disabled);

    // What a shell name starts: the program and its arguments. An absolute
    // path runs as itself, a name listed in /etc/shells as that shell, "cmd", an empty
    // or unknown name as the user's login shell. WSL, and PowerShell without
    // pwsh, exist only on Windows: an empty list and the program's name in
    // *unavailable.
    static QStringList shellCommandLine(const QString &name, QString *unavailable = nullptr);

    // Line ends as the shell should get them: one CR per Enter, as from a
    // terminal keyboard; one LF for a program that reads a pipe.
    static QByteArray toTerminalLineEnds(const QByteArray &data);
    static QByteArray toProcessLineEnds(const QByteArray &data);

    bool open() override;
    void close() override;
    void write(const QByteArray &data) override;
    qint64 pendingBytes() const override;

    class Worker;

protected:
    ConnectionWorker *createWorker(std::shared_ptr<ConnectionLink> link) override;

private:
    void startProcess();
    void releaseProcess();
    void endProcess(); // asks it to end, kills it after 500 ms
    bool writeDirect(const QByteArray &data);

    QString m_shell;
    QString m_term;
    QPointer<QProcess> m_process; // fallback mode only
};
