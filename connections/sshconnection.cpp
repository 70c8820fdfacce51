#include "connections/sshconnection.h"

#include "core/debuglog.h"
#include "core/languagemanager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kHandshakeTimeoutMs = 15000;
constexpr int kAuthTimeoutMs = 15000;
constexpr int kChannelTimeoutMs = 10000;
constexpr unsigned kChannelWindow = 2 * 1024 * 1024;
constexpr unsigned kChannelPacket = 32768;
constexpr int kReadBlock = 16384;
// Reads take all that libssh2 has decrypted, up to this; one block per signal.
constexpr int kReadBurst = 256 * 1024;

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
        // A name goes into completion and may be sent as typed: a control or
        // format character in it (an escape sequence, a bidi override) would
        // reach the remote shell or the screen as a hidden command.
        bool plain = true;
        for (const char32_t c : name.toUcs4()) {
            if (!QChar::isPrint(c) || QChar::isSpace(c) || c == U'/' || c == U'\\') {
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
    sshLog(QStringLiteral("connection open requested host=%1 port=%2").arg(m_params.host, QString::number(m_params.port)));
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
    return new Worker(std::move(link), m_params, m_send);
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

SshConnection::Worker::Worker(std::shared_ptr<ConnectionLink> link, const SshConnectParams &params, SendFunction send)
    : ConnectionWorker(std::move(link))
    , m_params(params)
    , m_send(send)
    , m_login(params)
    , m_readBuffer(kReadBurst, Qt::Uninitialized)
{
    m_flags.running = &m_link->running;
    m_flags.abort = &m_link->stopRequested;
    m_flags.waker = &m_link->waker;
}

SshConnection::Worker::~Worker() = default;

QString SshConnection::Worker::lastErrorOrUnknown() const
{
    const QString message = sshLastError(m_session);
    return message.isEmpty() ? LanguageManager::tr("未知错误") : message;
}

int SshConnection::Worker::retry(const char *label, const std::function<int()> &step, int timeoutMs)
{
    return retryWhileBusy(label, step, m_session, m_socket, m_flags, timeoutMs);
}

SshConnection::Worker::End SshConnection::Worker::fail(const QString &message)
{
    emit sigError(aborted() ? LanguageManager::tr("连接被用户取消") : message);
    return End::Failed;
}

void SshConnection::Worker::run()
{
    if (!beginRun())
        return;
    m_clock.start();
    sshLog(QStringLiteral("worker start host=%1 port=%2 user=%3 auth=%4 keepalive=%5")
               .arg(m_params.host, QString::number(m_params.port), m_params.user, m_params.auth,
                    QString::number(m_params.keepalive)));
    if (!sshGlobalAcquire()) {
        sshLog(QStringLiteral("libssh2_init failed"));
        fail(LanguageManager::tr("libssh2 初始化失败"));
        finishRun();
        return;
    }
    sshLog(QStringLiteral("libssh2_init success"));
    const End end = runSession();
    sshLog(QStringLiteral("worker loop exit running=%1 abort=%2 peerClosed=%3")
               .arg(m_link->running.load() ? 1 : 0).arg(aborted() ? 1 : 0).arg(end == End::PeerClosed ? 1 : 0));
    // Cleared before the news goes out, so that a listener that asks at once
    // already sees the link closed.
    if (end == End::PeerClosed) {
        m_link->connectedFlag.store(false);
        emit sigDisconnected();
    }
    cleanup();
    sshGlobalRelease();
}

SshConnection::Worker::End SshConnection::Worker::runSession()
{
    sshLog(QStringLiteral("connect begin host=%1 port=%2").arg(m_params.host, QString::number(m_params.port)));
    ConnectPlan plan;
    plan.sharedBudget = true;
    if (debugLogEnabled()) {
        plan.trace = sshLog;
        plan.clock = &m_clock;
    }
    m_socket = connectToHost(m_params.host, m_params.port, plan);
    if (m_socket < 0) {
        if (resolveFailed())
            sshLog(QStringLiteral("getaddrinfo failed rc=%1 elapsed=%2ms").arg(resolveCode()).arg(elapsed()));
        else
            sshLog(QStringLiteral("connect failed elapsed=%1ms running=%2 abort=%3")
                       .arg(elapsed()).arg(m_link->running.load() ? 1 : 0).arg(aborted() ? 1 : 0));
        sshLog(QStringLiteral("worker exits after TCP failure elapsed=%1ms").arg(elapsed()));
        return End::Failed; // reported by connectToHost
    }
    sshLog(QStringLiteral("connect end sock=%1 elapsed=%2ms").arg(m_socket).arg(elapsed()));

    // The login is the session's user data: the keyboard-interactive
    // callback finds its password there.
    m_session = libssh2_session_init_ex(nullptr, nullptr, nullptr, &m_login);
    if (!m_session) {
        sshLog(QStringLiteral("libssh2_session_init returned null sock=%1").arg(m_socket));
        return fail(LanguageManager::tr("libssh2_session_init 失败"));
    }
    sshLog(QStringLiteral("session created sock=%1").arg(m_socket));
    libssh2_session_set_blocking(m_session, 0);
    if (m_send)
        sshSetSendFunction(m_session, m_send);
    libssh2_session_set_timeout(m_session, kHandshakeTimeoutMs);
    preferFastCiphers(m_session);
    preferFiledHostKeyTypes(m_session, m_params.host, m_params.port, m_params.knownHostsPath);

    int rc = retry("handshake", [&] { return libssh2_session_handshake(m_session, m_socket); }, kHandshakeTimeoutMs);
    if (rc != 0) {
        const QString message = sshLastError(m_session);
        sshLog(QStringLiteral("handshake error rc=%1 last_errno=%2 message=%3 abort=%4")
                   .arg(QString::number(rc), QString::number(libssh2_session_last_errno(m_session)),
                        message.isEmpty() ? QStringLiteral("<none>") : message, QString::number(aborted() ? 1 : 0)));
        // The budget is named only when it ran out: a refused key exchange
        // fails at once and says why.
        if (rc == LIBSSH2_ERROR_TIMEOUT)
            return fail(LanguageManager::tr("SSH 握手失败（%1ms 超时）：%2")
                            .arg(QString::number(kHandshakeTimeoutMs), lastErrorOrUnknown()));
        return fail(LanguageManager::tr("SSH 握手失败：%1").arg(lastErrorOrUnknown()));
    }
    sshLog(QStringLiteral("methods kex=%1 hostkey=%2 cipher=%3/%4 mac=%5/%6")
               .arg(sshMethod(m_session, LIBSSH2_METHOD_KEX), sshMethod(m_session, LIBSSH2_METHOD_HOSTKEY),
                    sshMethod(m_session, LIBSSH2_METHOD_CRYPT_CS), sshMethod(m_session, LIBSSH2_METHOD_CRYPT_SC),
                    sshMethod(m_session, LIBSSH2_METHOD_MAC_CS), sshMethod(m_session, LIBSSH2_METHOD_MAC_SC)));

    // Anything but a verified or newly filed key is refused: a key that
    // cannot be checked is no safer than one that differs.
    const KnownHostCheck check = checkKnownHost(m_session, m_params.host, m_params.port, m_params.knownHostsPath);
    if (check.result != KnownHostOk) {
        sshLog(QStringLiteral("hostkey refused: %1").arg(check.message));
        return fail(LanguageManager::tr("⚠ 主机密钥校验失败：%1（%2）").arg(check.message, m_params.host));
    }
    if (!check.message.isEmpty())
        sshLog(QStringLiteral("hostkey: %1").arg(check.message));

    sshLog(QStringLiteral("authentication begin method=%1").arg(m_params.auth));
    if (!authenticate()) {
        sshLog(QStringLiteral("authentication failed elapsed=%1ms").arg(elapsed()));
        return End::Failed;
    }
    sshLog(QStringLiteral("authentication success elapsed=%1ms").arg(elapsed()));

    if (keepRunning())
        probeRemoteEnv();

    m_channel = openChannel(kChannelTimeoutMs, 100);
    if (!m_channel) {
        const QString message = sshLastError(m_session);
        sshLog(QStringLiteral("channel-open error last_errno=%1 message=%2 abort=%3")
                   .arg(QString::number(libssh2_session_last_errno(m_session)),
                        message.isEmpty() ? QStringLiteral("<none>") : message, QString::number(aborted() ? 1 : 0)));
        const End end = fail(LanguageManager::tr("打开 SSH 通道失败（超时）：%1").arg(lastErrorOrUnknown()));
        sshLog(QStringLiteral("channel open failed elapsed=%1ms").arg(elapsed()));
        return end;
    }
    sshLog(QStringLiteral("channel open success elapsed=%1ms").arg(elapsed()));
    if (!startChannel())
        return End::Failed;

    if (m_params.keepalive > 0)
        libssh2_keepalive_config(m_session, 1, unsigned(m_params.keepalive));
    m_lastKeepalive = elapsed();
    markConnected();
    sshLog(QStringLiteral("worker connected elapsed=%1ms").arg(elapsed()));
    return keepRunning() ? runLoop() : End::Stopped;
}

bool SshConnection::Worker::authenticate()
{
    if (m_login.run(m_session, m_socket, m_flags, kAuthTimeoutMs))
        return true;
    const QString message = m_login.failure();
    fail(LanguageManager::tr("SSH 认证失败：%1").arg(message.isEmpty() ? LanguageManager::tr("未知错误") : message));
    return false;
}

// ---------------------------------------------------------------------------

SshLogin::SshLogin(const SshConnectParams &params)
    : m_params(params)
{
}

SshLogin::~SshLogin()
{
    wipe(m_kbdPassword);
}

namespace {
// Not a library code: no key file was there to offer.
constexpr int kNoKeyTried = -10000;
} // namespace

bool SshLogin::run(LIBSSH2_SESSION *session, int sock, const SshStopFlags &flags, int timeoutMs)
{
    m_session = session;
    m_failure.clear();
    const auto retry = [&](const char *label, const std::function<int()> &step) {
        return retryWhileBusy(label, step, session, sock, flags, timeoutMs);
    };
    const QByteArray user = m_params.user.toUtf8();
    QByteArray password = m_params.password.toUtf8();
    int rc = LIBSSH2_ERROR_AUTHENTICATION_FAILED;
    QString keysTried;
    switch (sshAuthMethodFor(m_params.auth)) {
    case SshAuthMethod::PublicKey: {
        if (!m_params.privateKey.isEmpty()) {
            rc = publicKey(retry, m_params.privateKey, password);
            break;
        }
        // No key of the session's own: the user's usual identities, as the
        // command-line client would offer them.
        const QStringList tried = defaultIdentities(QDir::homePath());
        for (const QString &key : tried) {
            rc = publicKey(retry, key, password);
            if (rc == 0 || flags.stopped())
                break;
        }
        // A refusal names the files, so that the user sees which keys went.
        if (tried.isEmpty()) {
            rc = kNoKeyTried;
            keysTried = LanguageManager::tr("未找到私钥（已查找 %1）")
                            .arg(QDir::homePath() + QStringLiteral("/.ssh/{id_rsa, id_ecdsa, id_ecdsa_sk, id_ed25519, id_ed25519_sk}"));
        } else {
            keysTried = LanguageManager::tr("已尝试的私钥：%1").arg(tried.join(QStringLiteral(", ")));
        }
        break;
    }
    case SshAuthMethod::KeyboardInteractive:
        rc = keyboardInteractive(retry) ? 0 : LIBSSH2_ERROR_AUTHENTICATION_FAILED;
        break;
    case SshAuthMethod::Password:
        sshLog(QStringLiteral("password length=%1").arg(password.size()));
        rc = retry("auth-password", [&] {
            return libssh2_userauth_password_ex(session, user.constData(), unsigned(user.size()),
                                                password.constData(), unsigned(password.size()), nullptr);
        });
        if (rc != 0 && !flags.stopped())
            rc = keyboardInteractive(retry) ? 0 : LIBSSH2_ERROR_AUTHENTICATION_FAILED;
        break;
    }
    wipe(password);
    if (rc == 0)
        return true;
    m_failure = m_kbdGaveUp ? QStringLiteral("Authentication failed (keyboard-interactive)") : sshLastError(session);
    if (!keysTried.isEmpty())
        m_failure = rc == kNoKeyTried || m_failure.isEmpty() ? keysTried : m_failure + QStringLiteral("; ") + keysTried;
    sshLog(QStringLiteral("authentication error rc=%1 last_errno=%2 message=%3")
               .arg(rc).arg(libssh2_session_last_errno(session)).arg(m_failure.isEmpty() ? QStringLiteral("<none>") : m_failure));
    return false;
}

QStringList SshLogin::defaultIdentities(const QString &home)
{
    QStringList found;
    for (const char *name : {"id_rsa", "id_ecdsa", "id_ecdsa_sk", "id_ed25519", "id_ed25519_sk"}) {
        const QString path = home + QStringLiteral("/.ssh/") + QLatin1String(name);
        if (QFileInfo(path).isFile())
            found << path;
    }
    return found;
}

int SshLogin::publicKey(const std::function<int(const char *, const std::function<int()> &)> &retry,
                        const QString &privateKeyPath, const QByteArray &password)
{
    const QByteArray privateKey = QFile::encodeName(privateKeyPath);
    // A public key named in the settings goes with the private key named there.
    QByteArray publicKey = privateKeyPath == m_params.privateKey ? QFile::encodeName(m_params.publicKey) : QByteArray();
    if (publicKey.isEmpty() && !privateKey.isEmpty()) {
        publicKey = privateKey + ".pub";
        // Without the ".pub" beside it, libssh2 derives the public key
        // from the private one instead of failing.
        if (!QFile::exists(QFile::decodeName(publicKey)))
            publicKey.clear();
    }
    sshLog(QStringLiteral("publickey private=%1 public=%2 passphraseLength=%3")
               .arg(privateKeyPath, QFile::decodeName(publicKey), QString::number(password.size())));
    const QByteArray user = m_params.user.toUtf8();
    return retry("auth-publickey", [&] {
        return libssh2_userauth_publickey_fromfile_ex(m_session, user.constData(), unsigned(user.size()),
                                                      publicKey.isEmpty() ? nullptr : publicKey.constData(),
                                                      privateKey.constData(),
                                                      password.isEmpty() ? nullptr : password.constData());
    });
}

bool SshLogin::keyboardInteractive(const std::function<int(const char *, const std::function<int()> &)> &retry)
{
    m_kbdPassword = m_params.password.toUtf8();
    m_kbdLastPrompts.clear();
    m_kbdGaveUp = false;
    const QByteArray user = m_params.user.toUtf8();
    const int rc = retry("auth-keyboard-interactive", [&] {
        // Once the callback has given up, the exchange is over for us;
        // the session is torn down without waiting for the server.
        if (m_kbdGaveUp)
            return int(LIBSSH2_ERROR_AUTHENTICATION_FAILED);
        return libssh2_userauth_keyboard_interactive_ex(m_session, user.constData(), unsigned(user.size()),
                                                        &SshLogin::keyboardInteractiveResponse);
    });
    wipe(m_kbdPassword);
    return rc == 0;
}

LIBSSH2_USERAUTH_KBDINT_RESPONSE_FUNC(SshLogin::keyboardInteractiveResponse)
{
    Q_UNUSED(name)
    Q_UNUSED(name_len)
    Q_UNUSED(instruction)
    Q_UNUSED(instruction_len)
    for (int i = 0; i < num_prompts; ++i) {
        responses[i].text = nullptr;
        responses[i].length = 0;
    }
    auto *worker = abstract ? static_cast<SshLogin *>(*abstract) : nullptr;
    if (!worker || num_prompts <= 0)
        return;
    QList<SshPrompt> asked;
    // The prompt text is char in libssh2 1.10 and unsigned char in 1.11.
    for (int i = 0; i < num_prompts; ++i)
        asked.append({QByteArray(reinterpret_cast<const char *>(prompts[i].text), int(prompts[i].length)),
                      prompts[i].echo != 0});
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

LIBSSH2_CHANNEL *SshConnection::Worker::openChannel(int timeoutMs, int waitMs)
{
    const qint64 start = elapsed();
    sshLog(QStringLiteral("channel-open begin sock=%1 timeout=%2ms").arg(m_socket).arg(timeoutMs));
    int attempts = 0;
    while (keepRunning() && elapsed() - start < timeoutMs) {
        ++attempts;
        LIBSSH2_CHANNEL *channel = libssh2_channel_open_ex(m_session, "session", unsigned(std::strlen("session")),
                                                           kChannelWindow, kChannelPacket, nullptr, 0);
        if (channel) {
            sshLog(QStringLiteral("channel-open success attempts=%1 elapsed=%2ms").arg(attempts).arg(elapsed() - start));
            return channel;
        }
        const int code = libssh2_session_last_errno(m_session);
        if (code != LIBSSH2_ERROR_EAGAIN) {
            sshLog(QStringLiteral("channel-open failed rc=%1 attempts=%2").arg(code).arg(attempts));
            return nullptr;
        }
        if (attempts == 1 || attempts % 50 == 0)
            sshLog(QStringLiteral("channel-open EAGAIN attempts=%1 elapsed=%2ms").arg(attempts).arg(elapsed() - start));
        wait(waitMs);
    }
    sshLog(QStringLiteral("channel-open timeout/stop attempts=%1 elapsed=%2ms running=%3 abort=%4")
               .arg(attempts).arg(elapsed() - start).arg(m_link->running.load() ? 1 : 0).arg(aborted() ? 1 : 0));
    return nullptr;
}

bool SshConnection::Worker::startChannel()
{
    const QByteArray term = m_params.term.toUtf8();
    int rc = retry(
        "pty-request",
        [&] {
            return libssh2_channel_request_pty_ex(m_channel, term.constData(), unsigned(term.size()), nullptr, 0, 80,
                                                  24, 0, 0);
        },
        10000);
    // A refused pseudo-terminal is no error: the shell or command runs without one.
    if (rc == 0) {
        retry("pty-size", [&] { return libssh2_channel_request_pty_size_ex(m_channel, m_params.cols, m_params.rows, 0, 0); },
              5000);
    }

    const bool shell = m_params.remoteCommand.isEmpty();
    const QByteArray command = m_params.remoteCommand.toUtf8();
    rc = retry(
        shell ? "shell" : "exec",
        [&] {
            return shell ? libssh2_channel_process_startup(m_channel, "shell", 5, nullptr, 0)
                         : libssh2_channel_process_startup(m_channel, "exec", 4, command.constData(),
                                                           unsigned(command.size()));
        },
        10000);
    if (rc != 0) {
        sshLog(QStringLiteral("shell/exec failed rc=%1 elapsed=%2ms").arg(rc).arg(elapsed()));
        fail(LanguageManager::tr("启动 shell/命令失败：%1").arg(lastErrorOrUnknown()));
        return false;
    }
    sshLog(QStringLiteral("shell/exec success elapsed=%1ms").arg(elapsed()));
    return true;
}

void SshConnection::Worker::probeRemoteEnv()
{
    const QString uname = runExecCapture(QStringLiteral("uname -s"), 6000, 4096).trimmed().toLower();
    const QString env = sshRemoteOsFor(uname);
    if (env.isEmpty()) {
        sshLog(QStringLiteral("env probe skip uname='%1'").arg(uname));
        return;
    }
    const QString listing = runExecCapture(
        QStringLiteral("bash -lc 'compgen -c | sort -u' 2>/dev/null || ls -1 /usr/local/sbin /usr/local/bin "
                       "/usr/sbin /usr/bin /sbin /bin 2>/dev/null"),
        12000, 512 * 1024);
    const QStringList commands = sshRemoteCommandList(listing);
    sshLog(QStringLiteral("env probe env=%1 commands=%2").arg(env, QString::number(commands.size())));
    emit sigRemoteEnv(env, commands);
}

QString SshConnection::Worker::runExecCapture(const QString &command, int timeoutMs, int byteLimit)
{
    const qint64 start = elapsed();
    const auto expired = [&] { return elapsed() - start >= timeoutMs; };
    LIBSSH2_CHANNEL *channel = openChannel(timeoutMs, 50);
    if (!channel)
        return QString();

    const QByteArray utf8 = command.toUtf8();
    for (;;) {
        const int rc = libssh2_channel_process_startup(channel, "exec", 4, utf8.constData(), unsigned(utf8.size()));
        if (rc == 0)
            break;
        if (rc != LIBSSH2_ERROR_EAGAIN || !keepRunning() || expired()) {
            closeChannel(channel);
            return QString();
        }
        wait(50);
    }

    QByteArray output;
    QByteArray block(kReadBlock, Qt::Uninitialized);
    while (output.size() < byteLimit && keepRunning()) {
        const ssize_t n = libssh2_channel_read_ex(channel, 0, block.data(), size_t(block.size()));
        if (n > 0)
            output.append(block.constData(), qsizetype(n));
        else if (n == LIBSSH2_ERROR_EAGAIN && !expired())
            wait(50);
        else
            break;
    }
    closeChannel(channel);
    return QString::fromUtf8(output);
}

void SshConnection::Worker::closeChannel(LIBSSH2_CHANNEL *channel)
{
    for (int i = 0; i < 20 && keepRunning(); ++i) {
        if (libssh2_channel_send_eof(channel) != LIBSSH2_ERROR_EAGAIN)
            break;
        waitSocket(m_session, m_socket, 20);
    }
    libssh2_channel_close(channel);
    // Freeing waits for the server's close; the command has ended, so it is
    // normally there already. What is left is finished when the session goes.
    for (int i = 0; i < 20 && !aborted(); ++i) {
        if (libssh2_channel_free(channel) != LIBSSH2_ERROR_EAGAIN)
            break;
        waitSocket(m_session, m_socket, 20);
    }
}

bool SshConnection::Worker::flushSendQueue()
{
    return drainSendQueue([&](const QByteArray &chunk) {
        const char *p = chunk.constData();
        size_t left = size_t(chunk.size());
        while (left > 0) {
            if (!keepRunning())
                return true; // stopping: the rest is dropped with the queue
            const ssize_t n = libssh2_channel_write_ex(m_channel, 0, p, left);
            if (n > 0) {
                p += n;
                left -= size_t(n);
                continue;
            }
            if (n == LIBSSH2_ERROR_EAGAIN || n == 0) {
                // The peer's window is full: take what it sent meanwhile, so
                // a host that echoes a large paste keeps the window moving.
                ssize_t r;
                while (m_link->mayRead() && (r = libssh2_channel_read_ex(m_channel, 0, m_readBuffer.data(), size_t(m_readBuffer.size()))) > 0)
                    emit sigData(QByteArray(m_readBuffer.constData(), qsizetype(r)));
                wait(100);
                continue;
            }
            sshLog(QStringLiteral("channel write failed rc=%1 unsent=%2").arg(n).arg(left));
            m_link->connectedFlag.store(false);
            fail(LanguageManager::tr("SSH 发送失败，连接已断开：%1").arg(lastErrorOrUnknown()));
            return false;
        }
        return true;
    });
}

bool SshConnection::Worker::keepAlive()
{
    if (m_params.keepalive <= 0 || elapsed() - m_lastKeepalive < qint64(m_params.keepalive) * 1000)
        return true;
    int secondsToNext = 0;
    const int rc = libssh2_keepalive_send(m_session, &secondsToNext);
    sshLog(QStringLiteral("keepalive send ret=%1 secondsToNext=%2").arg(rc).arg(secondsToNext));
    if (rc != 0 && rc != LIBSSH2_ERROR_EAGAIN) {
        m_link->connectedFlag.store(false);
        fail(LanguageManager::tr("SSH 保活探测失败，连接已断开"));
        return false;
    }
    m_lastKeepalive = elapsed();
    return true;
}

SshConnection::Worker::End SshConnection::Worker::runLoop()
{
    ConnectionLink &link = *m_link;
    for (;;) {
        if (!keepRunning())
            return End::Stopped;
        if (link.resizePending.exchange(false)) {
            const int cols = link.pendingCols.load();
            const int rows = link.pendingRows.load();
            if (cols > 0 && rows > 0)
                retry("pty-resize", [&] { return libssh2_channel_request_pty_size_ex(m_channel, cols, rows, 0, 0); }, 5000);
        }
        if (!flushSendQueue())
            return End::PeerClosed;
        if (!link.mayRead()) {
            // Leaving the channel unread lets its window fill, so the server
            // stops sending; only the waker (resume, stop, input) or the
            // keepalive clock ends the nap.
            if (!keepAlive())
                return End::PeerClosed;
            waitSocket(nullptr, -1, 100, &link.waker);
            continue;
        }
        // One read takes everything the socket holds, up to the buffer: a
        // burst goes to the GUI thread as one block instead of one per packet.
        const ssize_t n = libssh2_channel_read_ex(m_channel, 0, m_readBuffer.data(), size_t(m_readBuffer.size()));
        if (n > 0) {
            emit sigData(QByteArray(m_readBuffer.constData(), qsizetype(n)));
            continue;
        }
        if (n != LIBSSH2_ERROR_EAGAIN || libssh2_channel_eof(m_channel)) {
            sshLog(n == 0 || n == LIBSSH2_ERROR_EAGAIN ? QStringLiteral("channel EOF detected")
                                                       : QStringLiteral("channel read ended rc=%1").arg(n));
            return End::PeerClosed;
        }
        if (!keepAlive())
            return End::PeerClosed;
        wait(100);
    }
}

void SshConnection::Worker::cleanup()
{
    sshLog(QStringLiteral("cleanup begin sock=%1 session=%2 channel=%3")
               .arg(m_socket).arg(yesNo(m_session), yesNo(m_channel)));
    if (m_session) {
        static const char goodbye[] = "Halvorstead disconnected";
        // The goodbye is one packet; give it a short, bounded chance to leave.
        int rc = sshLastWords(m_session, m_channel, goodbye, false);
        for (int i = 0; i < 5 && rc == LIBSSH2_ERROR_EAGAIN; ++i) {
            waitSocket(m_session, m_socket, 20);
            rc = sshLastWords(m_session, nullptr, goodbye, false);
        }
        sshShutLink(m_session, m_socket);
        sshLastWords(m_session, m_channel, goodbye, true);
        sshLastWords(m_session, m_channel, goodbye, true);
        if (m_channel) {
            libssh2_channel_free(m_channel);
            m_channel = nullptr;
        }
        sshFreeSession(m_session, m_socket);
        m_session = nullptr;
    }
    platform::closeSocket(m_socket);
    m_socket = -1;
    finishRun();
    sshLog(QStringLiteral("cleanup end"));
}
