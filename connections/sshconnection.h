#pragma once

#include "connections/connection.h"
#include "connections/sshsupport.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <libssh2.h>

// What an SSH session needs to open; copied by value into each worker (and
// by the SFTP panels, which open sessions of their own).
struct SshConnectParams {
    QString host;
    int port = 22;
    QString user;
    QString password;      // also the passphrase of the key file
    QString auth;          // the method as the options show it, in any UI language
    QString privateKey;
    QString publicKey;     // empty: privateKey + ".pub"
    QString term = QStringLiteral("xterm");
    QString remoteCommand; // empty: a shell
    QString knownHostsPath; // empty: ~/.ssh/known_hosts; never "no check"
    int cols = 80;
    int rows = 24;
    int keepalive = 60;    // seconds; 0 or less: none
};

enum class SshAuthMethod { Password, PublicKey, KeyboardInteractive };

// The method an options text asks for, whatever language it was saved in.
SshAuthMethod sshAuthMethodFor(const QString &auth);
// "linux" for the Unix-like systems that `uname -s` names, else empty.
QString sshRemoteOsFor(const QString &unameOutput);
// Command names from the remote listing: trimmed, 2 to 64 characters, no
// blank, control or format character, "/" or backslash, each once, in
// first-seen order.
QStringList sshRemoteCommandList(const QString &listing);

// One keyboard-interactive prompt as the server sent it.
struct SshPrompt {
    QByteArray text;
    bool echo = false;
};

// Which prompts of one keyboard-interactive round get the password: only those
// that do not echo. A round that repeats the previous one's prompts means the
// answer was refused: nothing is answered and *gaveUp is set. *previousRound
// carries the prompts from round to round.
QList<bool> sshPromptsToAnswer(const QList<SshPrompt> &prompts, QList<QByteArray> *previousRound, bool *gaveUp);

// Logs a session in as the options ask: a key file, keyboard-interactive, or
// a password with keyboard-interactive after a refusal. The session's abstract
// pointer (the last argument of libssh2_session_init_ex) must lead to this
// object: the keyboard-interactive callback finds the password there. Shared
// by the terminal connection and the SFTP workers.
class SshLogin
{
public:
    explicit SshLogin(const SshConnectParams &params);
    ~SshLogin();
    SshLogin(const SshLogin &) = delete;
    SshLogin &operator=(const SshLogin &) = delete;

    // True when the server took the login; else failure() says why.
    bool run(LIBSSH2_SESSION *session, int sock, const SshStopFlags &flags, int timeoutMs);
    // The library's reason for the last refusal; empty when it gave none.
    QString failure() const { return m_failure; }

    // The keys a public-key login without a key of its own tries, those of
    // ~/.ssh that exist, in the order OpenSSH's client tries them: id_rsa,
    // id_ecdsa, id_ecdsa_sk, id_ed25519, id_ed25519_sk.
    static QStringList defaultIdentities(const QString &home);

private:
    int publicKey(const std::function<int(const char *, const std::function<int()> &)> &retry,
                  const QString &privateKey, const QByteArray &password);
    bool keyboardInteractive(const std::function<int(const char *, const std::function<int()> &)> &retry);
    static LIBSSH2_USERAUTH_KBDINT_RESPONSE_FUNC(keyboardInteractiveResponse);

    SshConnectParams m_params;
    LIBSSH2_SESSION *m_session = nullptr;
    QString m_failure;
    QByteArray m_kbdPassword;           // UTF-8, wiped after each attempt
    QList<QByteArray> m_kbdLastPrompts; // the previous round, to notice a re-ask
    bool m_kbdGaveUp = false;
};

// The SSH transport of a terminal tab: TCP connect, handshake, host-key
// check, authentication, the remote-environment probe, then a session channel
// with a pseudo-terminal running a shell or a command.
class SshConnection : public WorkerConnection
{
    Q_OBJECT
public:
    class Worker;

    explicit SshConnection(QObject *parent = nullptr);
    ~SshConnection() override;

    bool open() override;
    void close() override;
    void resize(int cols, int rows) override;

    const SshConnectParams &params() const { return m_params; }
    void setParams(const SshConnectParams &params);
    // Writes the sessions of the next opens through send instead of the
    // socket (tests: a link that stalls in the middle of a packet).
    using SendFunction = LIBSSH2_SEND_FUNC((*));
    void setSendFunction(SendFunction send) { m_send = send; }

signals:
    void remoteEnv(const QString &env, const QStringList &commands);

protected:
    ConnectionWorker *createWorker(std::shared_ptr<ConnectionLink> link) override;
    void connectExtraSignals(ConnectionWorker *worker) override;
    QString debugTag() const override { return QStringLiteral("[SSH]"); }

private:
    SshConnectParams m_params;
    SendFunction m_send = nullptr;
};

class SshConnection::Worker : public ConnectionWorker
{
    Q_OBJECT
public:
    Worker(std::shared_ptr<ConnectionLink> link, const SshConnectParams &params, SendFunction send);
    ~Worker() override;

signals:
    void sigRemoteEnv(const QString &env, const QStringList &commands);

protected:
    void run() override;

private:
    enum class End { Failed, Stopped, PeerClosed };

    End runSession();
    // The one way a failure is reported: message, or the stop when the user
    // closed the tab meanwhile; tells the caller to end.
    End fail(const QString &message);
    bool authenticate();
    void probeRemoteEnv();
    QString runExecCapture(const QString &command, int timeoutMs, int byteLimit);
    LIBSSH2_CHANNEL *openChannel(int timeoutMs, int waitMs);
    bool startChannel();
    void closeChannel(LIBSSH2_CHANNEL *channel);
    QString lastErrorOrUnknown() const;
    // False on a link error, which it has reported.
    bool flushSendQueue();
    // Sends a keepalive when one is due; false on a link error, which it has reported.
    bool keepAlive();
    End runLoop();
    void cleanup();
    int retry(const char *label, const std::function<int()> &step, int timeoutMs);
    void wait(int timeoutMs) { waitSocket(m_session, m_socket, timeoutMs, &m_link->waker); }

    bool aborted() const { return m_link->stopRequested.load(); }
    qint64 elapsed() const { return m_clock.elapsed(); }

    SshConnectParams m_params;
    SendFunction m_send;
    SshLogin m_login;                 // the session's abstract pointer
    SshStopFlags m_flags;             // running/abort/waker of m_link
    int m_socket = -1;
    LIBSSH2_SESSION *m_session = nullptr;
    LIBSSH2_CHANNEL *m_channel = nullptr;
    QByteArray m_readBuffer;
    qint64 m_lastKeepalive = 0;
    QElapsedTimer m_clock;
};
