#include "connections/sshconnection.h"

#include "core/languagemanager.h"

#include <QFile>
#include <QSet>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kConnectBudgetMs = 10000;
constexpr int kHandshakeTimeoutMs = 15000;
constexpr int kAuthTimeoutMs = 15000;
constexpr int kChannelTimeoutMs = 10000;
constexpr unsigned kChannelWindow = 2 * 1024 * 1024;
constexpr unsigned kChannelPacket = 32768;
constexpr int kReadBlock = 16384;
constexpr int kReadWhileBlocked = 4096;
constexpr int kSshDisconnectByApplication = 11;

QString yesNo(const void *p)
{
    return p ? QStringLiteral("yes") : QStringLiteral("no");
}

void wipe(QByteArray &secret)
{
    if (!secret.isEmpty())
        std::memset(secret.data(), 0, size_t(secret.size()));
    secret.clear();
}

} // namespace

SshAuthMethod sshAuthMethodFor(const QString &auth)
{
    QString src = LanguageManager::sourceText(auth);
    if (src.isEmpty())
        src = auth;
    if (src.contains(QStringLiteral("公钥")) || auth.contains(QLatin1String("publickey"), Qt::CaseInsensitive)
        || auth.contains(QLatin1String("Public Key"), Qt::CaseInsensitive))
        return SshAuthMethod::PublicKey;
    if (src.contains(QStringLiteral("键盘交互")) || auth.contains(QLatin1String("keyboard-interactive"), Qt::CaseInsensitive)
        || auth.contains(QLatin1String("Keyboard"), Qt::CaseInsensitive))
        return SshAuthMethod::KeyboardInteractive;
    return SshAuthMethod::Password;
}

QString sshRemoteOsFor(const QString &unameOutput)
{
    const QString os = unameOutput.trimmed().toLower();
    for (const char *unixLike : {"linux", "darwin", "bsd", "sunos", "aix"}) {
        if (os.contains(QLatin1String(unixLike)))
            return QStringLiteral("linux");
    }
    return QString();
}

QStringList sshRemoteCommandList(const QString &listing)
{
    QStringList out;
    QSet<QString> seen;
    seen.reserve(4096);
    const QStringList parts = listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const QString name = part.trimmed();
        if (name.size() < 2 || name.size() > 64)
            continue;
        bool plain = true;
        for (const QChar c : name) {
            if (c.isSpace() || c == QLatin1Char('/') || c == QLatin1Char('\\')) {
                plain = false;
                break;
            }
        }
        if (!plain || seen.contains(name))
            continue;
        seen.insert(name);
        out.append(name);
    }
    return out;
}

QList<bool> sshPromptsToAnswer(const QList<SshPrompt> &prompts, QList<QByteArray> *previousRound, bool *gaveUp)
{
    QList<bool> answer(prompts.size(), false);
    if (prompts.isEmpty())
        return answer; // an information round: nothing asked
    QList<QByteArray> texts;
    for (const SshPrompt &p : prompts)
        texts.append(p.text);
    // The same question again means the password was refused: giving it a
    // second time only costs another server delay.
    if (texts == *previousRound) {
        *gaveUp = true;
        return answer;
    }
    *previousRound = texts;
    // Only hidden prompts ask for a secret; an echoing one (a user name, a
    // menu choice) must not be shown the password.
    for (qsizetype i = 0; i < prompts.size(); ++i)
        answer[i] = !prompts[i].echo;
    return answer;
}

// ---------------------------------------------------------------------------

SshConnection::SshConnection(QObject *parent)
    : WorkerConnection(parent)
{
}

SshConnection::~SshConnection()
{
    close();
}

bool SshConnection::open()
{
    sshLog(QStringLiteral("connection open requested host=%1 port=%2").arg(m_params.host).arg(m_params.port));
    WorkerConnection::open();
    sshLog(QStringLiteral("worker thread started"));
    return true;
}

void SshConnection::close()
{
    sshLog(QStringLiteral("connection close requested"));
    WorkerConnection::close();
}

void SshConnection::resize(int cols, int rows)
{
    m_params.cols = cols;
    m_params.rows = rows;
    WorkerConnection::resize(cols, rows);
}

void SshConnection::setParams(const SshConnectParams &params)
{
    m_params = params;
    // The base hands its size to each new worker's link.
    m_cols = params.cols;
    m_rows = params.rows;
}

ConnectionWorker *SshConnection::createWorker(std::shared_ptr<ConnectionLink> link)
{
    return new Worker(std::move(link), m_params);
}

void SshConnection::connectExtraSignals(ConnectionWorker *worker)
{
    // A report a stopped worker queued before it was cut off must not reach
    // the session that replaced it.
    connect(static_cast<Worker *>(worker), &Worker::sigRemoteEnv, this,
            [this, gen = generation()](const QString &env, const QStringList &commands) {
                if (gen == generation())
                    emit remoteEnv(env, commands);
            });
}

// ---------------------------------------------------------------------------

SshConnection::Worker::Worker(std::shared_ptr<ConnectionLink> link, const SshConnectParams &params)
    : ConnectionWorker(std::move(link))
    , m_params(params)
{
    m_flags.running = &m_link->running;
    m_flags.abort = &m_link->stopRequested;
    m_flags.waker = &m_link->waker;
}

SshConnection::Worker::~Worker()
{
    wipe(m_kbdPassword);
}

QString SshConnection::Worker::lastErrorOrUnknown(LIBSSH2_SESSION *session) const
{
    const QString message = sshLastError(session);
    return message.isEmpty() ? LanguageManager::tr("未知错误") : message;
}

void SshConnection::Worker::run()
{
    ConnectionLink &link = *m_link;
    if (link.stopRequested.load())
        return;
    link.running.store(true);
    // A stop that slipped in between would otherwise be undone by the line above.
    if (link.stopRequested.load()) {
        link.running.store(false);
        return;
    }
    m_clock.start();
    sshLog(QStringLiteral("worker start host=%1 port=%2 user=%3 auth=%4 keepalive=%5")
               .arg(m_params.host).arg(m_params.port).arg(m_params.user, m_params.auth).arg(m_params.keepalive));

    if (!sshGlobalAcquire()) {
        sshLog(QStringLiteral("libssh2_init failed"));
        emit sigError(LanguageManager::tr("libssh2 初始化失败"));
        link.running.store(false);
        return;
    }
    sshLog(QStringLiteral("libssh2_init success"));

    const int sock = tcpConnect();
    if (sock < 0) {
        sshLog(QStringLiteral("worker exits after TCP failure elapsed=%1ms").arg(elapsed()));
        cleanup(nullptr, -1, nullptr);
        return;
    }

    // The worker is the session's user data: the keyboard-interactive
    // callback finds its password there.
    LIBSSH2_SESSION *session = libssh2_session_init_ex(nullptr, nullptr, nullptr, this);
    if (!session) {
        sshLog(QStringLiteral("libssh2_session_init returned null sock=%1").arg(sock));
        emit sigError(LanguageManager::tr("libssh2_session_init 失败"));
        cleanup(nullptr, sock, nullptr);
        return;
    }
    sshLog(QStringLiteral("session created sock=%1").arg(sock));
    libssh2_session_set_blocking(session, 0);
    libssh2_session_set_timeout(session, kHandshakeTimeoutMs);
    preferFiledHostKeyTypes(session, m_params.host, m_params.port, m_params.knownHostsPath);

    int rc = retryWhileBusy("handshake", [&] { return libssh2_session_handshake(session, sock); }, session, sock,
                            m_flags, kHandshakeTimeoutMs);
    if (rc != 0) {
        const QString message = sshLastError(session);
        sshLog(QStringLiteral("handshake error rc=%1 last_errno=%2 message=%3 abort=%4")
                   .arg(rc).arg(libssh2_session_last_errno(session))
                   .arg(message.isEmpty() ? QStringLiteral("<none>") : message).arg(aborted() ? 1 : 0));
        emit sigError(aborted() ? LanguageManager::tr("连接被用户取消")
                                : LanguageManager::tr("SSH 握手失败（%1ms 超时）：%2")
                                      .arg(kHandshakeTimeoutMs)
                                      .arg(message.isEmpty() ? LanguageManager::tr("未知错误") : message));
        cleanup(session, sock, nullptr);
        return;
    }

    // Anything but a verified or newly filed key is refused: a key that
    // cannot be checked is no safer than one that differs.
    QString hostKeyMessage;
    if (checkKnownHost(session, m_params.host, m_params.port, m_params.knownHostsPath, &hostKeyMessage) != KnownHostOk) {
        sshLog(QStringLiteral("hostkey refused: %1").arg(hostKeyMessage));
        emit sigError(LanguageManager::tr("⚠ 主机密钥校验失败：%1（%2）").arg(hostKeyMessage, m_params.host));
        cleanup(session, sock, nullptr);
        return;
    }
    if (!hostKeyMessage.isEmpty())
        sshLog(QStringLiteral("hostkey: %1").arg(hostKeyMessage));

    sshLog(QStringLiteral("authentication begin method=%1").arg(m_params.auth));
    if (!authenticate(session)) {
        sshLog(QStringLiteral("authentication failed elapsed=%1ms").arg(elapsed()));
        cleanup(session, sock, nullptr);
        return;
    }
    sshLog(QStringLiteral("authentication success elapsed=%1ms").arg(elapsed()));

    if (link.running.load() && !aborted())
        probeRemoteEnv(session, sock);

    LIBSSH2_CHANNEL *channel = openChannel(session, sock, kChannelTimeoutMs, 100);
    if (!channel) {
        const QString message = sshLastError(session);
        sshLog(QStringLiteral("channel-open error last_errno=%1 message=%2 abort=%3")
                   .arg(libssh2_session_last_errno(session))
                   .arg(message.isEmpty() ? QStringLiteral("<none>") : message).arg(aborted() ? 1 : 0));
        emit sigError(aborted() ? LanguageManager::tr("连接被用户取消")
                                : LanguageManager::tr("打开 SSH 通道失败（超时）：%1").arg(lastErrorOrUnknown(session)));
        sshLog(QStringLiteral("channel open failed elapsed=%1ms").arg(elapsed()));
        cleanup(session, sock, nullptr);
        return;
    }
    sshLog(QStringLiteral("channel open success elapsed=%1ms").arg(elapsed()));

    if (!startChannel(session, channel, sock)) {
        cleanup(session, sock, channel);
        return;
    }

    if (m_params.keepalive > 0)
        libssh2_keepalive_config(session, 1, unsigned(m_params.keepalive));
    m_lastKeepalive = elapsed();

    link.connectedFlag.store(true);
    emit sigConnected();
    sshLog(QStringLiteral("worker connected elapsed=%1ms").arg(elapsed()));

    const bool peerClosed = link.running.load() && runLoop(session, channel, sock);
    sshLog(QStringLiteral("worker loop exit running=%1 abort=%2 peerClosed=%3")
               .arg(link.running.load() ? 1 : 0).arg(aborted() ? 1 : 0).arg(peerClosed ? 1 : 0));
    // Cleared before the news goes out, so that a listener that asks at once
    // already sees the link closed.
    if (peerClosed) {
        link.connectedFlag.store(false);
        emit sigDisconnected();
    }
    cleanup(session, sock, channel);
}

int SshConnection::Worker::tcpConnect()
{
    ConnectionLink &link = *m_link;
    sshLog(QStringLiteral("connect begin host=%1 port=%2").arg(m_params.host).arg(m_params.port));
    QString why;
    QList<platform::SocketAddress> addresses;
    bool cancelled = false;
    if (m_params.port > 0 && m_params.port <= 65535)
        addresses = platform::resolveTcpCancellable(m_params.host, quint16(m_params.port), &link.running,
                                                    &link.waker, &why, &cancelled);
    else
        why = QStringLiteral("port out of range");
    if (cancelled) {
        sshLog(QStringLiteral("getaddrinfo abandoned on stop elapsed=%1ms").arg(elapsed()));
        return -1;
    }
    if (addresses.isEmpty()) {
        sshLog(QStringLiteral("getaddrinfo failed rc=%1 elapsed=%2ms").arg(why).arg(elapsed()));
        emit sigError(LanguageManager::tr("无法解析主机：%1").arg(m_params.host));
        return -1;
    }
    // Bytes typed before the link is up leave after it; a pending wake
    // would only make the connect wait in short naps.
    link.waker.drain();

    // One budget for every address: a host whose first address hangs gets
    // no attempt on the next within the same ten seconds.
    const qint64 deadline = elapsed() + kConnectBudgetMs;
    int sock = -1;
    for (const platform::SocketAddress &address : addresses) {
        const qint64 left = deadline - elapsed();
        if (!link.running.load() || aborted() || left <= 0) {
            sshLog(QStringLiteral("connect stop before address=%1 running=%2 abort=%3")
                       .arg(address.text()).arg(link.running.load() ? 1 : 0).arg(aborted() ? 1 : 0));
            break;
        }
        platform::ConnectOptions options;
        options.timeoutMs = int(left);
        options.running = &link.running;
        options.waker = &link.waker;
        int err = 0;
        sock = platform::connectTcp(address, options, &err);
        if (sock >= 0) {
            sshLog(QStringLiteral("TCP connected address=%1 elapsed=%2ms").arg(address.text()).arg(elapsed()));
            break;
        }
        sshLog(QStringLiteral("TCP connect failed address=%1 error=%2").arg(address.text(), platform::errorString(err)));
    }
    if (sock < 0) {
        sshLog(QStringLiteral("connect failed elapsed=%1ms running=%2 abort=%3")
                   .arg(elapsed()).arg(link.running.load() ? 1 : 0).arg(aborted() ? 1 : 0));
        emit sigError(LanguageManager::tr("无法连接到 %1:%2").arg(m_params.host).arg(m_params.port));
        return -1;
    }
    m_socket = sock;
    sshLog(QStringLiteral("connect end sock=%1 elapsed=%2ms").arg(sock).arg(elapsed()));
    return sock;
}

bool SshConnection::Worker::authenticate(LIBSSH2_SESSION *session)
{
    const QByteArray user = m_params.user.toUtf8();
    QByteArray password = m_params.password.toUtf8();
    const int sock = m_socket;
    int rc = LIBSSH2_ERROR_AUTHENTICATION_FAILED;
    switch (sshAuthMethodFor(m_params.auth)) {
    case SshAuthMethod::PublicKey: {
        const QByteArray privateKey = QFile::encodeName(m_params.privateKey);
        QByteArray publicKey = QFile::encodeName(m_params.publicKey);
        if (publicKey.isEmpty() && !privateKey.isEmpty()) {
            publicKey = privateKey + ".pub";
            // Without the ".pub" beside it, libssh2 derives the public key
            // from the private one instead of failing.
            if (!QFile::exists(QFile::decodeName(publicKey)))
                publicKey.clear();
        }
        sshLog(QStringLiteral("publickey private=%1 public=%2 passphraseLength=%3")
                   .arg(m_params.privateKey, QFile::decodeName(publicKey)).arg(password.size()));
        rc = retryWhileBusy(
            "auth-publickey",
            [&] {
                return libssh2_userauth_publickey_fromfile_ex(session, user.constData(), unsigned(user.size()),
                                                              publicKey.isEmpty() ? nullptr : publicKey.constData(),
                                                              privateKey.constData(),
                                                              password.isEmpty() ? nullptr : password.constData());
            },
            session, sock, m_flags, kAuthTimeoutMs);
        break;
    }
    case SshAuthMethod::KeyboardInteractive:
        rc = authenticateKeyboardInteractive(session) ? 0 : LIBSSH2_ERROR_AUTHENTICATION_FAILED;
        break;
    case SshAuthMethod::Password:
        sshLog(QStringLiteral("password length=%1").arg(password.size()));
        rc = retryWhileBusy(
            "auth-password",
            [&] {
                return libssh2_userauth_password_ex(session, user.constData(), unsigned(user.size()),
                                                    password.constData(), unsigned(password.size()), nullptr);
            },
            session, sock, m_flags, kAuthTimeoutMs);
        if (rc != 0 && !aborted())
            rc = authenticateKeyboardInteractive(session) ? 0 : LIBSSH2_ERROR_AUTHENTICATION_FAILED;
        break;
    }
    wipe(password);
    if (rc == 0)
        return true;
    QString message = sshLastError(session);
    if (m_kbdGaveUp)
        message = QStringLiteral("Authentication failed (keyboard-interactive)");
    sshLog(QStringLiteral("authentication error rc=%1 last_errno=%2 message=%3")
               .arg(rc).arg(libssh2_session_last_errno(session)).arg(message.isEmpty() ? QStringLiteral("<none>") : message));
    emit sigError(aborted() ? LanguageManager::tr("连接被用户取消")
                            : LanguageManager::tr("SSH 认证失败：%1")
                                  .arg(message.isEmpty() ? LanguageManager::tr("未知错误") : message));
    return false;
}

bool SshConnection::Worker::authenticateKeyboardInteractive(LIBSSH2_SESSION *session)
{
    m_kbdPassword = m_params.password.toUtf8();
    m_kbdLastPrompts.clear();
    m_kbdGaveUp = false;
    const QByteArray user = m_params.user.toUtf8();
    const int rc = retryWhileBusy(
        "auth-keyboard-interactive",
        [&] {
            // Once the callback has given up, the exchange is over for us;
            // the session is torn down without waiting for the server.
            if (m_kbdGaveUp)
                return int(LIBSSH2_ERROR_AUTHENTICATION_FAILED);
            return libssh2_userauth_keyboard_interactive_ex(session, user.constData(), unsigned(user.size()),
                                                            &Worker::keyboardInteractiveResponse);
        },
        session, m_socket, m_flags, kAuthTimeoutMs);
    wipe(m_kbdPassword);
    return rc == 0;
}

LIBSSH2_USERAUTH_KBDINT_RESPONSE_FUNC(SshConnection::Worker::keyboardInteractiveResponse)
{
    Q_UNUSED(name)
    Q_UNUSED(name_len)
    Q_UNUSED(instruction)
    Q_UNUSED(instruction_len)
    for (int i = 0; i < num_prompts; ++i) {
        responses[i].text = nullptr;
        responses[i].length = 0;
    }
    auto *worker = abstract ? static_cast<Worker *>(*abstract) : nullptr;
    if (!worker || num_prompts <= 0)
        return;
    QList<SshPrompt> asked;
    for (int i = 0; i < num_prompts; ++i)
        asked.append({QByteArray(reinterpret_cast<const char *>(prompts[i].text), int(prompts[i].length)), prompts[i].echo != 0});
    const QList<bool> answer = sshPromptsToAnswer(asked, &worker->m_kbdLastPrompts, &worker->m_kbdGaveUp);
    const QByteArray &password = worker->m_kbdPassword;
    int answered = 0;
    for (int i = 0; i < num_prompts; ++i) {
        if (!answer[i])
            continue;
        // libssh2 frees each answer with the session's allocator, the C heap.
        char *copy = static_cast<char *>(std::malloc(size_t(password.size()) + 1));
        if (!copy)
            continue;
        std::memcpy(copy, password.constData(), size_t(password.size()));
        copy[password.size()] = '\0';
        responses[i].text = copy;
        responses[i].length = unsigned(password.size());
        ++answered;
    }
    if (worker->m_kbdGaveUp)
        sshLog(QStringLiteral("keyboard-interactive: same %1 prompt(s) again, giving up").arg(num_prompts));
    sshLog(QStringLiteral("keyboard-interactive: %1 prompt(s), %2 answered").arg(num_prompts).arg(answered));
}

LIBSSH2_CHANNEL *SshConnection::Worker::openChannel(LIBSSH2_SESSION *session, int sock, int timeoutMs, int waitMs)
{
    const qint64 start = elapsed();
    sshLog(QStringLiteral("channel-open begin sock=%1 timeout=%2ms").arg(sock).arg(timeoutMs));
    int attempts = 0;
    while (m_link->running.load()) {
        if (aborted() || elapsed() - start >= timeoutMs)
            break;
        ++attempts;
        LIBSSH2_CHANNEL *channel = libssh2_channel_open_ex(session, "session", unsigned(std::strlen("session")),
                                                           kChannelWindow, kChannelPacket, nullptr, 0);
        if (channel) {
            sshLog(QStringLiteral("channel-open success attempts=%1 elapsed=%2ms").arg(attempts).arg(elapsed() - start));
            return channel;
        }
        const int code = libssh2_session_last_errno(session);
        if (code != LIBSSH2_ERROR_EAGAIN) {
            sshLog(QStringLiteral("channel-open failed rc=%1 attempts=%2").arg(code).arg(attempts));
            return nullptr;
        }
        if (attempts == 1 || attempts % 50 == 0)
            sshLog(QStringLiteral("channel-open EAGAIN attempts=%1 elapsed=%2ms").arg(attempts).arg(elapsed() - start));
        waitSocket(session, sock, waitMs, &m_link->waker);
    }
    sshLog(QStringLiteral("channel-open timeout/stop attempts=%1 elapsed=%2ms running=%3 abort=%4")
               .arg(attempts).arg(elapsed() - start).arg(m_link->running.load() ? 1 : 0).arg(aborted() ? 1 : 0));
    return nullptr;
}

bool SshConnection::Worker::startChannel(LIBSSH2_SESSION *session, LIBSSH2_CHANNEL *channel, int sock)
{
    const QByteArray term = m_params.term.toUtf8();
    int rc = retryWhileBusy(
        "pty-request",
        [&] {
            return libssh2_channel_request_pty_ex(channel, term.constData(), unsigned(term.size()), nullptr, 0, 80, 24,
                                                  0, 0);
        },
        session, sock, m_flags, 10000);
    // A refused pseudo-terminal is no error: the shell or command runs without one.
    if (rc == 0) {
        retryWhileBusy(
            "pty-size",
            [&] { return libssh2_channel_request_pty_size_ex(channel, m_params.cols, m_params.rows, 0, 0); },
            session, sock, m_flags, 5000);
    }

    const bool shell = m_params.remoteCommand.isEmpty();
    const QByteArray command = m_params.remoteCommand.toUtf8();
    rc = retryWhileBusy(
        shell ? "shell" : "exec",
        [&] {
            return shell ? libssh2_channel_process_startup(channel, "shell", 5, nullptr, 0)
                         : libssh2_channel_process_startup(channel, "exec", 4, command.constData(),
                                                           unsigned(command.size()));
        },
        session, sock, m_flags, 10000);
    if (rc != 0) {
        emit sigError(aborted() ? LanguageManager::tr("连接被用户取消")
                                : LanguageManager::tr("启动 shell/命令失败：%1").arg(lastErrorOrUnknown(session)));
        sshLog(QStringLiteral("shell/exec failed rc=%1 elapsed=%2ms").arg(rc).arg(elapsed()));
        return false;
    }
    sshLog(QStringLiteral("shell/exec success elapsed=%1ms").arg(elapsed()));
    return true;
}

void SshConnection::Worker::probeRemoteEnv(LIBSSH2_SESSION *session, int sock)
{
    const QString uname = runExecCapture(session, sock, QStringLiteral("uname -s"), 6000, 4096).trimmed().toLower();
    const QString env = sshRemoteOsFor(uname);
    if (env.isEmpty()) {
        sshLog(QStringLiteral("env probe skip uname='%1'").arg(uname));
        return;
    }
    const QString listing = runExecCapture(
        session, sock,
        QStringLiteral("bash -lc 'compgen -c | sort -u' 2>/dev/null || ls -1 /usr/local/sbin /usr/local/bin "
                       "/usr/sbin /usr/bin /sbin /bin 2>/dev/null"),
        12000, 512 * 1024);
    const QStringList commands = sshRemoteCommandList(listing);
    sshLog(QStringLiteral("env probe env=%1 commands=%2").arg(env).arg(commands.size()));
    emit sigRemoteEnv(env, commands);
}

QString SshConnection::Worker::runExecCapture(LIBSSH2_SESSION *session, int sock, const QString &command,
                                              int timeoutMs, int byteLimit)
{
    const qint64 start = elapsed();
    const auto expired = [&] { return elapsed() - start >= timeoutMs; };
    if (!m_link->running.load())
        return QString();

    LIBSSH2_CHANNEL *channel = nullptr;
    for (;;) {
        channel = libssh2_channel_open_ex(session, "session", unsigned(std::strlen("session")), kChannelWindow,
                                          kChannelPacket, nullptr, 0);
        if (channel)
            break;
        if (aborted() || expired() || libssh2_session_last_errno(session) != LIBSSH2_ERROR_EAGAIN)
            return QString();
        waitSocket(session, sock, 50, &m_link->waker);
        if (!m_link->running.load())
            return QString();
    }

    const QByteArray utf8 = command.toUtf8();
    for (;;) {
        const int rc = libssh2_channel_process_startup(channel, "exec", 4, utf8.constData(), unsigned(utf8.size()));
        if (rc == 0)
            break;
        if (rc != LIBSSH2_ERROR_EAGAIN || aborted() || expired() || !m_link->running.load()) {
            closeChannel(session, channel, sock);
            return QString();
        }
        waitSocket(session, sock, 50, &m_link->waker);
    }

    QByteArray output;
    QByteArray block(kReadBlock, Qt::Uninitialized);
    while (output.size() < byteLimit && !aborted() && m_link->running.load()) {
        const ssize_t n = libssh2_channel_read_ex(channel, 0, block.data(), size_t(block.size()));
        if (n > 0) {
            output.append(block.constData(), qsizetype(n));
        } else if (n == LIBSSH2_ERROR_EAGAIN && !expired()) {
            waitSocket(session, sock, 50, &m_link->waker);
        } else {
            break;
        }
    }
    closeChannel(session, channel, sock);
    return QString::fromUtf8(output);
}

void SshConnection::Worker::closeChannel(LIBSSH2_SESSION *session, LIBSSH2_CHANNEL *channel, int sock)
{
    for (int i = 0; i < 20 && m_link->running.load() && !aborted(); ++i) {
        if (libssh2_channel_send_eof(channel) != LIBSSH2_ERROR_EAGAIN)
            break;
        waitSocket(session, sock, 20);
    }
    libssh2_channel_close(channel);
    // Freeing waits for the server's close; the command has ended, so it is
    // normally there already. What is left is finished when the session goes.
    for (int i = 0; i < 20 && !aborted(); ++i) {
        if (libssh2_channel_free(channel) != LIBSSH2_ERROR_EAGAIN)
            break;
        waitSocket(session, sock, 20);
    }
}

bool SshConnection::Worker::flushSendQueue(LIBSSH2_SESSION *session, LIBSSH2_CHANNEL *channel, int sock)
{
    char echo[kReadWhileBlocked];
    return drainSendQueue([&](const QByteArray &chunk) {
        const char *p = chunk.constData();
        size_t left = size_t(chunk.size());
        while (left > 0) {
            if (!keepRunning())
                return true; // stopping: the rest is dropped with the queue
            const ssize_t n = libssh2_channel_write_ex(channel, 0, p, left);
            if (n > 0) {
                p += n;
                left -= size_t(n);
                continue;
            }
            if (n == LIBSSH2_ERROR_EAGAIN || n == 0) {
                // The peer's window is full: take what it sent meanwhile, so
                // a host that echoes a large paste keeps the window moving.
                ssize_t r;
                while ((r = libssh2_channel_read_ex(channel, 0, echo, sizeof echo)) > 0)
                    emit sigData(QByteArray(echo, qsizetype(r)));
                waitSocket(session, sock, 100, &m_link->waker);
                continue;
            }
            sshLog(QStringLiteral("channel write failed rc=%1 unsent=%2").arg(n).arg(left));
            m_link->connectedFlag.store(false);
            emit sigError(LanguageManager::tr("SSH 发送失败，连接已断开：%1").arg(lastErrorOrUnknown(session)));
            return false;
        }
        return true;
    });
}

bool SshConnection::Worker::runLoop(LIBSSH2_SESSION *session, LIBSSH2_CHANNEL *channel, int sock)
{
    ConnectionLink &link = *m_link;
    QByteArray buffer(kReadBlock, Qt::Uninitialized);
    for (;;) {
        if (aborted())
            return false;
        if (link.resizePending.exchange(false)) {
            const int cols = link.pendingCols.load();
            const int rows = link.pendingRows.load();
            if (cols > 0 && rows > 0) {
                retryWhileBusy(
                    "pty-resize", [&] { return libssh2_channel_request_pty_size_ex(channel, cols, rows, 0, 0); },
                    session, sock, m_flags, 5000);
            }
        }
        if (!flushSendQueue(session, channel, sock))
            return true;
        if (libssh2_channel_eof(channel)) {
            sshLog(QStringLiteral("channel EOF detected"));
            return true;
        }
        const ssize_t n = libssh2_channel_read_ex(channel, 0, buffer.data(), size_t(buffer.size()));
        if (n > 0) {
            emit sigData(QByteArray(buffer.constData(), qsizetype(n)));
        } else if (n == LIBSSH2_ERROR_EAGAIN) {
            if (m_params.keepalive > 0 && elapsed() - m_lastKeepalive >= qint64(m_params.keepalive) * 1000) {
                int secondsToNext = 0;
                const int rc = libssh2_keepalive_send(session, &secondsToNext);
                sshLog(QStringLiteral("keepalive send ret=%1 secondsToNext=%2").arg(rc).arg(secondsToNext));
                if (rc != 0 && rc != LIBSSH2_ERROR_EAGAIN) {
                    link.connectedFlag.store(false);
                    emit sigError(LanguageManager::tr("SSH 保活探测失败，连接已断开"));
                    return true;
                }
                m_lastKeepalive = elapsed();
            }
            waitSocket(session, sock, 100, &link.waker);
        } else {
            sshLog(QStringLiteral("channel read ended rc=%1").arg(n));
            return true;
        }
        if (!link.running.load())
            return false;
    }
}

void SshConnection::Worker::cleanup(LIBSSH2_SESSION *session, int sock, LIBSSH2_CHANNEL *channel)
{
    sshLog(QStringLiteral("cleanup begin sock=%1 session=%2 channel=%3").arg(sock).arg(yesNo(session), yesNo(channel)));
    if (channel) {
        libssh2_channel_send_eof(channel);
        libssh2_channel_close(channel);
        libssh2_channel_free(channel);
    }
    if (session) {
        // The goodbye is one packet; give it a short, bounded chance to leave.
        for (int i = 0; i < 5; ++i) {
            if (libssh2_session_disconnect_ex(session, kSshDisconnectByApplication, "Halvorstead disconnected", "")
                != LIBSSH2_ERROR_EAGAIN)
                break;
            waitSocket(session, sock, 20);
        }
        // Freeing a session whose channels are not yet closed reads until the
        // peer answers; with the socket shut, that read ends at once instead
        // of spinning on a peer that never answers.
        platform::shutdownSocket(sock);
        libssh2_session_free(session);
    }
    platform::closeSocket(sock);
    m_socket = -1;
    sshGlobalRelease();
    wipe(m_kbdPassword);
    m_link->connectedFlag.store(false);
    m_link->running.store(false);
    sshLog(QStringLiteral("cleanup end"));
}
