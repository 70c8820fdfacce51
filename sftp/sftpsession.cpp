#include "sftp/sftpsession.h"
#include "sftp/sftplanes.h"
#include "sftp/sftpuploadtarget.h"
#include "sftp/sftpwriter.h"

#include "core/languagemanager.h"

#include "platform/safefile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <cerrno>
#include <climits>
#include <cstring>

using sftpupload::randomTag;
using sftpupload::typeOf;

namespace {

// No step has a deadline of its own: a stop ends every wait.
constexpr int kNoDeadline = INT_MAX;
// Set-up steps against a server that has gone quiet give up after this.
constexpr int kSetUpDeadlineMs = 30000;
// Reads of this size keep four times as much requested ahead: the link stays
// busy where one 32 KiB request at a time would wait a round trip each.
constexpr qint64 kReadBlock = 2 * 1024 * 1024;
// A file this large goes up in two halves over two channels; over narrow
// channels one of kSplitNarrowAt, as what one of them carries is bound by
// its room rather than the link.
constexpr qint64 kSplitAt = 16 * 1024 * 1024;
constexpr qint64 kSplitNarrowAt = 1024 * 1024;
// SFTP channels for the small files of folder jobs: a server allows ten
// sessions per connection by default.
constexpr int kLanes = 6;
constexpr int kTidyGraceMs = kSftpStopGraceMs;
std::atomic<qint64> splitAtOverride{0};

// Temporary files of uploads that could not be taken back, by account: the
// next session there removes them.
QMutex leftoversMutex;
QHash<QString, QStringList> &leftovers()
{
    static QHash<QString, QStringList> paths;
    return paths;
}

qint64 now()
{
    return QDeadlineTimer::current().deadline();
}

} // namespace

SftpSession::SftpSession(const SshConnectParams &params, const char *goodbye)
    : ConnectionWorker(std::make_shared<ConnectionLink>())
    , m_params(params)
    , m_goodbye(goodbye)
    , m_login(params)
{
    m_flags.running = &m_link->running;
    m_flags.abort = &m_link->stopRequested;
    m_flags.waker = &m_link->waker;
}

SftpSession::~SftpSession() = default;

bool SftpSession::stop(unsigned long waitMs)
{
    // One budget for the whole stop: the grace for tidying up is part of
    // it, and leaves half of it for the worker to end once the socket is shut.
    const QDeadlineTimer deadline{qint64(waitMs)};
    const QDeadlineTimer grace{qMin<qint64>(qint64(waitMs) / 2, kTidyGraceMs)};
    // Known to the worker before it sees the stop: whatever it takes back
    // is done by then, or given up.
    m_graceEnds.store(grace.deadline());
    m_link->requestStop();
    // Read after the request: an upload that sets it later sees the stop
    // before it makes anything.
    if (m_tidying.load() && wait(grace))
        return true;
    {
        QMutexLocker lock(&m_sockMutex);
        if (m_sock.load() >= 0)
            platform::shutdownSocket(m_sock.load());
    }
    return wait(deadline);
}

void SftpSession::release(SftpSession *worker, unsigned long waitMs)
{
    if (!worker)
        return;
    worker->disconnect();
    if (worker->stop(waitMs) || !worker->isRunning()) {
        delete worker;
        return;
    }
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    if (worker->isFinished())
        worker->deleteLater();
}

void SftpSession::setSocket(int fd)
{
    QMutexLocker lock(&m_sockMutex);
    m_sock.store(fd);
}

void SftpSession::run()
{
    if (!beginRun())
        return;
    if (!sshGlobalAcquire()) {
        emit sigError(say("libssh2 初始化失败"));
        finishRun();
        return;
    }
    const int fd = connectToHost(m_params.host, m_params.port);
    if (fd >= 0) {
        setSocket(fd);
        if (setUp()) {
            takeBackLeftovers();
            ready();
            runJobs();
        }
    }
    tearDown();
    sshGlobalRelease();
    finishRun();
}

bool SftpSession::setUp()
{
    const auto fail = [this](const QString &message) {
        if (keepRunning())
            emit sigError(message);
        return false;
    };
    // The login is the session's user data: the keyboard-interactive
    // callback finds its password there.
    m_session = libssh2_session_init_ex(nullptr, nullptr, nullptr, &m_login);
    if (!m_session)
        return fail(say("libssh2_session_init 失败"));
    libssh2_session_set_blocking(m_session, 0);
    preferFastCiphers(m_session);
    preferFiledHostKeyTypes(m_session, m_params.host, m_params.port, m_params.knownHostsPath);
    const int sock = socket();
    int rc = retryWhileBusy("sftp-handshake", [&] { return libssh2_session_handshake(m_session, sock); }, m_session,
                            sock, m_flags, kSetUpDeadlineMs);
    if (rc != 0)
        return fail(say("SSH 握手失败：%1").arg(lastErrorText()));
    // Anything but a verified or newly filed key is refused: a key that
    // cannot be checked is no safer than one that differs.
    const KnownHostCheck check = checkKnownHost(m_session, m_params.host, m_params.port, m_params.knownHostsPath);
    if (check.result != KnownHostOk)
        return fail(say("⚠ 主机密钥校验失败：%1（%2）").arg(m_params.host, check.message));
    if (!keepRunning())
        return false;
    if (!m_login.run(m_session, sock, m_flags, kSetUpDeadlineMs)) {
        const QString why = m_login.failure();
        return fail(say("SSH 认证失败：%1").arg(why.isEmpty() ? say("未知错误") : why));
    }
    while (keepRunning() && !(m_sftp = libssh2_sftp_init(m_session))) {
        if (libssh2_session_last_errno(m_session) != LIBSSH2_ERROR_EAGAIN)
            break;
        waitIo();
    }
    if (!m_sftp)
        return fail(say("打开 SFTP 通道失败：%1").arg(lastErrorText()));
    return keepRunning();
}

SftpLanes *SftpSession::lanes()
{
    if (!m_lanes) {
        m_lanes = std::make_unique<SftpLanes>(m_session, [this] { waitIo(); }, [this] { return keepRunning(); },
                                              [this] { return mayGoOn(); });
        m_lanes->open(kLanes);
    }
    return m_lanes->open(0) > 0 ? m_lanes.get() : nullptr;
}

void SftpSession::dropStalledLanes()
{
    if (!m_lanes)
        return;
    for (const QString &path : m_lanes->takeLeftBehind())
        leftBehind(path);
    // Closed with the session: a stuck channel's closing is waited on, and
    // a stop first shuts the socket under it.
    m_stalledLanes.push_back(std::move(m_lanes));
    takeBackLeftovers();
}

void SftpSession::setSplitAt(qint64 bytes)
{
    splitAtOverride.store(bytes);
}

QString SftpSession::stalled(qint64 acked, qint64 size) const
{
    return say("服务器 %1 秒没有进展，最后确认了 %2 / %3 字节")
        .arg(QString::number(kSftpStallMs / 1000), QString::number(acked), QString::number(size));
}

namespace {

// libssh2 has a packet out in part, and sends nothing else until it is whole.
bool sending(LIBSSH2_SESSION *session)
{
    return libssh2_session_block_directions(session) & LIBSSH2_SESSION_BLOCK_OUTBOUND;
}

// After sshShutLink: a request libssh2 sent only in part is finished by the
// next write on its channel, whatever that write holds.
void finishCutRequest(LIBSSH2_SFTP *sftp)
{
    libssh2_channel_write(libssh2_sftp_get_channel(sftp), "", 0);
}

} // namespace

void SftpSession::tearDown()
{
    // Every SFTP channel of the session, the lanes' first.
    QList<LIBSSH2_SFTP *> channels;
    if (m_lanes)
        channels += m_lanes->takeChannels();
    for (const std::unique_ptr<SftpLanes> &lanes : m_stalledLanes)
        channels += lanes->takeChannels();
    m_lanes.reset();
    m_stalledLanes.clear();
    for (LIBSSH2_SFTP **sftp : {&m_second, &m_sftp}) {
        if (*sftp)
            channels.append(std::exchange(*sftp, nullptr));
    }
    channels += std::exchange(m_stuck, {});
    // Freeing a channel or a session reads until the peer answers; with the
    // link shut, that ends at once. A request cut short on any channel not
    // yet freed is finished first, into nothing. (Closing an SFTP channel
    // frees its SFTP state: only libssh2_sftp_shutdown may do that.)
    qsizetype freed = 0;
    const auto shutLink = [&] {
        sshShutLink(m_session, socket());
        for (qsizetype i = freed; i < channels.size(); ++i)
            finishCutRequest(channels[i]);
    };
    const auto goodbye = [&] {
        if (!m_session) {
            platform::shutdownSocket(socket());
            return;
        }
        int rc = sshLastWords(m_session, nullptr, m_goodbye, false);
        for (int i = 0; i < 5 && rc == LIBSSH2_ERROR_EAGAIN; ++i) {
            waitSocket(m_session, socket(), 20);
            rc = sshLastWords(m_session, nullptr, m_goodbye, false);
        }
        shutLink();
        sshLastWords(m_session, nullptr, m_goodbye, true);
    };
    // A stopped worker waits for no answers: over a long round trip one
    // per channel would outlast the stop's grace.
    if (!keepRunning())
        goodbye();
    for (; freed < channels.size(); ++freed) {
        // Bounded: after a stop the link is shut and this ends at once. A
        // server that does not answer in time loses its courtesy.
        LIBSSH2_SFTP *sftp = channels[freed];
        int rc = 0;
        for (int i = 0; i < 20 && (rc = libssh2_sftp_shutdown(sftp)) == LIBSSH2_ERROR_EAGAIN; ++i)
            waitSocket(m_session, socket(), 20);
        if (rc == LIBSSH2_ERROR_EAGAIN) {
            shutLink();
            libssh2_sftp_shutdown(sftp);
        }
    }
    if (m_session) {
        if (keepRunning())
            goodbye();
        sshFreeSession(m_session, socket());
        m_session = nullptr;
    }
    QMutexLocker lock(&m_sockMutex);
    const int fd = m_sock.exchange(-1);
    if (fd >= 0)
        platform::closeSocket(fd);
}

int SftpSession::retry(const char *label, const std::function<int()> &once)
{
    const auto step = [&] {
        const int rc = once();
        return rc == LIBSSH2_ERROR_EAGAIN && sftpChannelGone(m_sftp) ? LIBSSH2_ERROR_CHANNEL_CLOSED : rc;
    };
    if (keepRunning() || !m_tidying.load())
        return retryWhileBusy(label, step, m_session, socket(), m_flags, kNoDeadline);
    // Taking back after a stop: only for what is left of the grace.
    const qint64 left = m_graceEnds.load() - now();
    if (left <= 0)
        return LIBSSH2_ERROR_TIMEOUT;
    static const std::atomic<bool> alive{true};
    SshStopFlags tidying;
    tidying.running = &alive;
    return retryWhileBusy(label, step, m_session, socket(), tidying, int(qMin<qint64>(left, kTidyGraceMs)));
}

bool SftpSession::mayGoOn() const
{
    return keepRunning() || (m_tidying.load() && now() < m_graceEnds.load());
}

QString SftpSession::temporaryName(const QString &finalPath) const
{
    return sftpnames::joinRemotePath(sftpnames::remoteParent(finalPath), QStringLiteral(".hv-upload-") + randomTag());
}

QString SftpSession::account() const
{
    return QStringLiteral("%1@%2:%3").arg(m_params.user, m_params.host, QString::number(m_params.port));
}

void SftpSession::leftBehind(const QString &path) const
{
    sshLog(QStringLiteral("sftp upload: %1 left behind, for the next session to remove").arg(path));
    QMutexLocker lock(&leftoversMutex);
    leftovers()[account()].append(path);
}

void SftpSession::takeBackLeftovers()
{
    QStringList paths;
    {
        QMutexLocker lock(&leftoversMutex);
        paths = leftovers().take(account());
    }
    for (const QString &path : std::as_const(paths)) {
        // One that is gone already needs nothing more; one that cannot be
        // removed now is tried again by the next session.
        if (!keepRunning() || (!removeFile(path) && sftpStatus() != LIBSSH2_FX_NO_SUCH_FILE))
            leftBehind(path);
    }
}

SftpSession::Tidying::Tidying(SftpSession *session)
    : m_session(session)
    , m_was(session->m_tidying.exchange(true))
{
}

SftpSession::Tidying::~Tidying()
{
    m_session->m_tidying.store(m_was);
}

void SftpSession::waitIo()
{
    waitSocket(m_session, socket(), 100, &m_link->waker);
}

bool SftpSession::waitSftp()
{
    if (sftpChannelGone(m_sftp))
        return false;
    waitIo();
    return true;
}

LIBSSH2_SFTP_HANDLE *SftpSession::openRemote(const QString &path, unsigned long flags, long mode, int type)
{
    const QByteArray p = path.toUtf8();
    for (;;) {
        LIBSSH2_SFTP_HANDLE *h = libssh2_sftp_open_ex(m_sftp, p.constData(), unsigned(p.size()), flags, mode, type);
        if (h || libssh2_session_last_errno(m_session) != LIBSSH2_ERROR_EAGAIN || !mayGoOn() || !waitSftp())
            return h;
    }
}

LIBSSH2_SFTP_HANDLE *SftpSession::openSecond(const QString &path)
{
    // Opened once for the session, when a large file first needs it.
    if (!m_second && !m_noSecond) {
        m_second = sftpOpenChannel(m_session, [this] { waitIo(); }, [this] { return keepRunning(); });
        m_noSecond = !m_second && keepRunning();
    }
    const QByteArray p = path.toUtf8();
    while (m_second && keepRunning() && !sftpChannelGone(m_second)) {
        if (LIBSSH2_SFTP_HANDLE *h = libssh2_sftp_open_ex(m_second, p.constData(), unsigned(p.size()), LIBSSH2_FXF_WRITE,
                                                          0, LIBSSH2_SFTP_OPENFILE))
            return h;
        if (libssh2_session_last_errno(m_session) != LIBSSH2_ERROR_EAGAIN)
            break;
        waitIo();
    }
    return nullptr;
}

void SftpSession::renewChannels()
{
    // The fresh one first: Dropbear may hold a new channel back for a
    // minute while it closes one whose request was cut short.
    LIBSSH2_SFTP *fresh = sftpOpenChannel(m_session, [this] { waitIo(); }, [this] { return keepRunning(); });
    // The stuck ones are asked to close, and their answer is not waited
    // for: a server that has stopped answering closes a channel only once
    // its process ends, and the wait would hold the next job back for
    // nothing. Only the asking must go out whole, as libssh2 sends nothing
    // else while a packet is half sent. Those not closed at once are freed
    // with the session.
    for (LIBSSH2_SFTP **sftp : {&m_second, &m_sftp}) {
        int rc = 0;
        while (*sftp && (rc = libssh2_sftp_shutdown(*sftp)) == LIBSSH2_ERROR_EAGAIN && sending(m_session) && keepRunning())
            waitIo();
        if (*sftp && rc == LIBSSH2_ERROR_EAGAIN)
            m_stuck.append(*sftp);
        *sftp = nullptr;
    }
    m_noSecond = false;
    m_sftp = fresh;
    if (!m_sftp && keepRunning())
        emit sigError(say("打开 SFTP 通道失败：%1").arg(lastErrorText()));
}

bool SftpSession::closeRemote(LIBSSH2_SFTP_HANDLE *handle, LIBSSH2_SFTP_HANDLE *also, const QString &remove)
{
    // Side by side: one after the other costs a round trip more. A request
    // half sent holds back the others: libssh2 would finish it in their
    // place.
    const QByteArray p = remove.toUtf8();
    int removing = remove.isEmpty() ? -1 : LIBSSH2_ERROR_EAGAIN;
    retry("sftp-close", [&] {
        int rc = 0;
        if (removing == LIBSSH2_ERROR_EAGAIN)
            rc = removing = libssh2_sftp_unlink_ex(m_sftp, p.constData(), unsigned(p.size()));
        for (LIBSSH2_SFTP_HANDLE **h : {&handle, &also}) {
            if (rc == LIBSSH2_ERROR_EAGAIN && sending(m_session))
                return rc;
            if (*h && libssh2_sftp_close_handle(*h) == LIBSSH2_ERROR_EAGAIN)
                rc = LIBSSH2_ERROR_EAGAIN;
            else
                *h = nullptr;
        }
        return rc;
    });
    return removing == 0;
}

bool SftpSession::statRemote(const QString &path, LIBSSH2_SFTP_ATTRIBUTES *attrs, bool followLinks)
{
    const QByteArray p = path.toUtf8();
    const int type = followLinks ? LIBSSH2_SFTP_STAT : LIBSSH2_SFTP_LSTAT;
    return retry("sftp-stat", [&] {
               return libssh2_sftp_stat_ex(m_sftp, p.constData(), unsigned(p.size()), type, attrs);
           }) == 0;
}

bool SftpSession::realPath(const QString &path, QString *absolute)
{
    const QByteArray p = path.toUtf8();
    char buffer[512] = {};
    const int rc = retry("sftp-realpath", [&] {
        return libssh2_sftp_symlink_ex(m_sftp, p.constData(), unsigned(p.size()), buffer, sizeof buffer - 1,
                                       LIBSSH2_SFTP_REALPATH);
    });
    if (rc < 0)
        return false;
    *absolute = QString::fromUtf8(buffer, qsizetype(strnlen(buffer, sizeof buffer)));
    return true;
}

bool SftpSession::readFolder(const QString &path, QList<sftpnames::DirEntry> *entries, FolderFailure *why)
{
    LIBSSH2_SFTP_HANDLE *dir = openRemote(path, 0, 0, LIBSSH2_SFTP_OPENDIR);
    why->opened = dir != nullptr;
    if (!dir) {
        *why = {lastErrorText(), false, sftpStatus()};
        return false;
    }
    char name[512];
    bool ok = true;
    while (keepRunning()) {
        LIBSSH2_SFTP_ATTRIBUTES attrs;
        const int n = libssh2_sftp_readdir_ex(dir, name, sizeof name, nullptr, 0, &attrs);
        if (n == LIBSSH2_ERROR_EAGAIN && waitSftp())
            continue;
        if (n < 0) {
            ok = false;
            *why = {n == LIBSSH2_ERROR_EAGAIN ? QString::fromLatin1(kSftpGone) : lastErrorText(), true, sftpStatus()};
        }
        if (n <= 0)
            break;
        entries->append(sftpnames::decodeEntry(name, n, attrs));
    }
    closeRemote(dir);
    return ok && keepRunning();
}

bool SftpSession::makeFolder(const QString &path, bool acceptExisting)
{
    const QByteArray p = path.toUtf8();
    if (retry("sftp-mkdir", [&] { return libssh2_sftp_mkdir_ex(m_sftp, p.constData(), unsigned(p.size()), 0755); }) == 0)
        return true;
    if (!acceptExisting || !keepRunning())
        return false;
    // The look that follows leaves its own last error (a wait's "would
    // block") and clears the server's status: a name taken by something
    // else keeps the refusal's reason, the status in its text.
    const int code = libssh2_session_last_errno(m_session);
    const QByteArray refused = sshLastError(m_session).toUtf8();
    const QByteArray withStatus = lastErrorText().toUtf8();
    LIBSSH2_SFTP_ATTRIBUTES attrs;
    if (statRemote(path, &attrs, true) && (attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS)
        && LIBSSH2_SFTP_S_ISDIR(attrs.permissions))
        return true;
    libssh2_session_set_last_error(m_session, code, (sftpStatus() == 0 ? withStatus : refused).constData());
    return false;
}

bool SftpSession::removeFile(const QString &path)
{
    const QByteArray p = path.toUtf8();
    return retry("sftp-unlink", [&] { return libssh2_sftp_unlink_ex(m_sftp, p.constData(), unsigned(p.size())); }) == 0;
}

unsigned long SftpSession::sftpStatus() const
{
    return m_sftp ? libssh2_sftp_last_error(m_sftp) : 0;
}

QString SftpSession::lastErrorText() const
{
    QString text = sshLastError(m_session);
    if (text.isEmpty())
        text = say("未知错误");
    if (m_session && libssh2_session_last_errno(m_session) == LIBSSH2_ERROR_SFTP_PROTOCOL && sftpStatus() != 0)
        text += QStringLiteral(" (%1)").arg(sftpnames::statusText(sftpStatus()));
    return text;
}

qint64 SftpSession::upload(const QString &localPath, const QString &remotePath, const Progress &progress, Failure *why)
{
    const auto failed = [why](Failure::Step step, const QString &detail) {
        *why = {step, detail};
        return qint64(-1);
    };
    LocalFile local;
    if (!openLocal(localPath, &local, why))
        return -1;
    UploadTarget target;
    target.createMode = sftpnames::newFileMode(sftpnames::modeOf(local.file.permissions()));
    const Tidying tidying(this);
    if (!keepRunning())
        return failed(Failure::Cancelled, QString());
    LIBSSH2_SFTP_HANDLE *h = openUploadTarget(remotePath, &target);
    if (!h) {
        // Stopped while its temporary file was being opened: the server
        // may have made it all the same.
        if (target.created)
            leftBehind(target.writePath);
        return failed(keepRunning() ? Failure::RemoteOpen : Failure::Cancelled, target.openError);
    }

    SftpWriter writer(m_session, local, [this] { waitIo(); }, [this] { return keepRunning(); },
                      [this] { return lastErrorText(); }, writeCalls());
    writer.add(m_sftp, h, 0);
    const qint64 splitAt = splitAtOverride.load() > 0                          ? splitAtOverride.load()
                           : sftpChannelGrant(m_sftp) < kSftpNarrowChannel ? kSplitNarrowAt
                                                                           : kSplitAt;
    LIBSSH2_SFTP_HANDLE *second = local.size >= splitAt ? openSecond(target.writePath) : nullptr;
    if (second)
        writer.add(m_second, second, local.size / 2);
    Failure failure;
    const SftpWriter::Outcome outcome = writer.run(progress);
    if (outcome == SftpWriter::Stalled || (outcome == SftpWriter::RemoteWrite && writer.cutShort())) {
        // Its channel takes nothing more, a close no more than a write: the
        // temporary file goes over a fresh one.
        failure = {Failure::RemoteWrite, outcome == SftpWriter::Stalled ? stalled(writer.acked(), local.size) : writer.error()};
        renewChannels();
        if (target.created && !(m_sftp && removeFile(target.writePath)))
            leftBehind(target.writePath);
        return failed(failure.step, failure.detail);
    }
    if (outcome == SftpWriter::LocalRead || outcome == SftpWriter::RemoteWrite)
        failure = {outcome == SftpWriter::LocalRead ? Failure::LocalRead : Failure::RemoteWrite, writer.error()};
    else if (!keepRunning())
        failure = {Failure::Cancelled, QString()};
    // No more than what libssh2 holds goes out after a stop: the window
    // keeps it to what the link moves in a fraction of the stop's grace, so
    // that the file can still be taken back.
    if (!writer.drain([this] { return mayGoOn(); })) {
        // The session can take no more: nothing else is asked.
        if (target.created)
            leftBehind(target.writePath);
        return failed(failure.step, failure.detail);
    }
    const qint64 acked = writer.acked();
    if (failure.step == Failure::None && (acked != local.size || !local.exact()))
        failure = {Failure::Size, QString()};
    if (failure.step == Failure::None && target.replace) {
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        attrs.flags = LIBSSH2_SFTP_ATTR_PERMISSIONS;
        attrs.permissions = target.permissions;
        retry("sftp-fsetstat", [&] { return libssh2_sftp_fstat_ex(h, &attrs, 1); });
    }
    // A stopped upload's name goes in the same round trip as its handles:
    // over a long one each request after another costs the stop a round
    // trip, and the name is what must not stay. A server that removes no
    // open file is asked again once they are closed.
    const bool dropped = failure.step == Failure::Cancelled && target.created && mayGoOn();
    bool removed = closeRemote(h, second, dropped ? target.writePath : QString());
    QString refused;
    if (failure.step == Failure::None && (target.replace || target.fresh) && !putInPlace(target, &refused))
        failure = {keepRunning() ? Failure::Replace : Failure::Cancelled, refused};
    if (failure.step == Failure::None)
        return acked;
    removed = removed || !target.created || (mayGoOn() && removeFile(target.writePath));
    if (!removed)
        leftBehind(target.writePath);
    return failed(failure.step, failure.detail);
}

bool SftpSession::openLocal(const QString &path, LocalFile *local, Failure *why) const
{
    unsigned long type = 0;
    const int fd = platform::openChosenForReading(path, &type);
    if (fd >= 0 && local->file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        local->size = local->file.size();
        return true;
    }
    const QString error = fd < 0 ? qt_error_string(errno) : local->file.errorString();
    const QString kind = fd < 0 ? notRegular(QFileInfo(QDir::cleanPath(path)).fileName(), type) : QString();
    *why = kind.isEmpty() ? Failure{Failure::LocalOpen, error} : Failure{Failure::NotRegular, kind};
    return false;
}

QString SftpSession::notRegular(const QString &name, unsigned long type) const
{
    if (type == 0 || type == LIBSSH2_SFTP_S_IFREG)
        return QString();
    const char *kind;
    switch (type) {
    case LIBSSH2_SFTP_S_IFCHR: kind = "字符设备"; break;
    case LIBSSH2_SFTP_S_IFBLK: kind = "块设备"; break;
    case LIBSSH2_SFTP_S_IFIFO: kind = "命名管道"; break;
    case LIBSSH2_SFTP_S_IFSOCK: kind = "套接字"; break;
    case LIBSSH2_SFTP_S_IFDIR: kind = "目录"; break;
    default: kind = "特殊文件"; break;
    }
    return say("%1 是%2，不是普通文件").arg(name, say(kind));
}

bool SftpSession::downloadable(const QString &remotePath, Failure *why)
{
    LIBSSH2_SFTP_ATTRIBUTES attrs;
    // One that cannot be looked at is left to the open, which says why.
    const QString kind = statRemote(remotePath, &attrs, true) ? notRegular(sftpnames::remoteName(remotePath), typeOf(attrs))
                                                              : QString();
    if (kind.isEmpty())
        return true;
    *why = {Failure::NotRegular, kind};
    return false;
}

void SftpSession::narrowNewFile(QFileDevice &file, unsigned long remotePermissions)
{
    file.setPermissions(file.permissions() & sftpnames::localPermissions(sftpnames::newFileMode(remotePermissions)));
}

qint64 SftpSession::download(const QString &remotePath, QIODevice *out, qint64 *stated, const Progress &progress,
                             Failure *why, const Opened &opened)
{
    const auto failed = [why](Failure::Step step, const QString &detail) {
        *why = {step, detail};
        return qint64(-1);
    };
    *stated = -1;
    LIBSSH2_SFTP_HANDLE *h = openRemote(remotePath, LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
    if (!h)
        return failed(keepRunning() ? Failure::RemoteOpen : Failure::Cancelled, lastErrorText());
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    if (retry("sftp-fstat", [&] { return libssh2_sftp_fstat_ex(h, &attrs, 0); }) == 0
        && (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE))
        *stated = qint64(qMin<quint64>(attrs.filesize, quint64(INT64_MAX)));
    // The name may have changed hands since it was looked at.
    if (const QString kind = notRegular(sftpnames::remoteName(remotePath), typeOf(attrs)); !kind.isEmpty()) {
        closeRemote(h);
        return failed(Failure::NotRegular, kind);
    }
    if (opened && (attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS))
        opened(attrs.permissions);

    QByteArray buffer(int(kReadBlock), Qt::Uninitialized);
    qint64 received = 0;
    int restarts = 0;
    Failure failure;
    while (keepRunning()) {
        const unsigned long status = sftpStatus();
        const ssize_t n = libssh2_sftp_read(h, buffer.data(), size_t(sftpReadRoom(*stated, received, kReadBlock)));
        if (n == LIBSSH2_ERROR_EAGAIN && waitSftp())
            continue;
        if (n == LIBSSH2_ERROR_EAGAIN) {
            failure = {Failure::RemoteRead, QString::fromLatin1(kSftpGone)};
            break;
        }
        if (n < 0 && sftpRestartRead(m_sftp, h, n, received, &restarts, status))
            continue;
        if (n > 0)
            restarts = 0;
        if (n < 0)
            failure = {Failure::RemoteRead, lastErrorText()};
        if (n <= 0)
            break;
        if (out->write(buffer.constData(), n) != n) {
            failure = {Failure::LocalWrite, out->errorString()};
            break;
        }
        received += n;
        progress(received);
    }
    closeRemote(h);
    if (failure.step == Failure::None && !keepRunning())
        failure = {Failure::Cancelled, QString()};
    if (failure.step != Failure::None)
        return failed(failure.step, failure.detail);
    return received;
}
