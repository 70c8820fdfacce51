#pragma once

#include "platform/socket.h"

#include <QString>

#include <atomic>
#include <functional>
#include <libssh2.h>

// Pieces shared by every thread that runs a libssh2 session of its own (the
// terminal connection and the SFTP workers): the library's start count, the
// busy-retry step, the socket wait and the known-hosts check. libssh2 runs
// non-blocking throughout, so each wait is at most 100 ms and a worker looks
// at its stop flags between waits.

// Debug lines of the SSH code: "[SSH] " + text, only when the debug log is on.
void sshLog(const QString &text);

// The process-wide start count of libssh2. Acquire before the first session
// of a thread; release once on every path out, on that thread, after its
// last session is freed.
bool sshGlobalAcquire();
void sshGlobalRelease();
int sshLibraryUsers();

// How a busy step learns that its worker is stopping. The waker, when given,
// cuts a wait short; waits drain it, so the caller re-reads its own state
// (queue, size, flags) after every wait.
struct SshStopFlags {
    const std::atomic<bool> *running = nullptr;
    const std::atomic<bool> *abort = nullptr;
    platform::Waker *waker = nullptr;

    bool stopped() const { return (running && !running->load()) || (abort && abort->load()); }
};

// Waits up to timeoutMs on the socket in the direction(s) libssh2 is blocked
// on (or only sleeps when it is blocked on neither), or until the waker fires.
void waitSocket(LIBSSH2_SESSION *session, int sock, int timeoutMs, platform::Waker *waker = nullptr);

// Runs step until it stops answering LIBSSH2_ERROR_EAGAIN. Gives
// LIBSSH2_ERROR_TIMEOUT when the deadline passes or, without a running flag,
// at the first would-block; a stop seen after a wait ends with the last
// result. Callers treat every non-zero result as failure.
int retryWhileBusy(const char *label, const std::function<int()> &step, LIBSSH2_SESSION *session, int sock,
                   const SshStopFlags &flags, int timeoutMs);

// The last packets of a session: the channel's end of file and close, then
// the goodbye (none when goodbye is null). Called once before the link is
// shut, then twice after sshShutLink with shut set, always from the same
// caller, for the reason given there. Gives the goodbye's result.
int sshLastWords(LIBSSH2_SESSION *session, LIBSSH2_CHANNEL *channel, const char *goodbye, bool shut);
// Puts send in place of the library's own socket writer.
void sshSetSendFunction(LIBSSH2_SESSION *session, LIBSSH2_SEND_FUNC((*send)));
// Ends a session's link for good: shuts its socket, so that no read waits on
// the peer, and takes every byte libssh2 still sends as gone.
//
// A packet libssh2 sent only in part holds back every other packet (a
// channel's close, the session's free: they would block forever) until the
// very call that began it is made again. Most keep their packet in the
// session; a channel's end of file keeps it on the stack, so it must be made
// from the same place.
void sshShutLink(LIBSSH2_SESSION *session, int sock);
// Frees the session with what is left of its channels, its link shut first.
void sshFreeSession(LIBSSH2_SESSION *session, int sock);

// The library's last error message, empty when it has none.
QString sshLastError(LIBSSH2_SESSION *session);

// The name a host key is filed under: the bare host on port 22, else "[host]:port".
QString sshKnownHostName(const QString &host, int port);

// ~/.ssh/known_hosts: what an empty known-hosts path stands for.
QString defaultKnownHostsPath();
// The known-hosts file the settings name ("keys/knownHosts", variables
// expanded, Windows separators turned), or the default when that is empty.
QString configuredKnownHostsPath();

// Before the handshake: asks the server first for the key types the
// known-hosts file (empty path: the default) already holds for this host, so
// that a host filed with only one of its keys shows that one rather than
// being taken for an impostor. Types never filed stay allowed after them;
// checkKnownHost then refuses such a key as a mismatch.
void preferFiledHostKeyTypes(LIBSSH2_SESSION *session, const QString &host, int port, const QString &knownHostsPath);

// Before the handshake: asks first for AES-GCM, which the CPU's AES and
// carry-less multiply instructions make the cheapest cipher to receive with
// (ChaCha20 runs in portable C in libssh2); the rest follow in the library's
// order.
void preferFastCiphers(LIBSSH2_SESSION *session);

// The method negotiated for one slot (LIBSSH2_METHOD_CRYPT_SC, ...), or "-".
QString sshMethod(LIBSSH2_SESSION *session, int methodType);

enum KnownHostResult {
    KnownHostOk = 0,           // matched, or first contact and now filed
    KnownHostMismatch = 1,     // differs from the filed key, or revoked
    KnownHostUnverifiable = 2, // could not be checked: the caller refuses it
};

struct KnownHostCheck {
    KnownHostResult result = KnownHostUnverifiable;
    // A translated reason for a refusal, or a note for the debug log.
    QString message;
    // The entry that refused the key (a differing or revoking line), 1-based.
    QString file;
    int line = 0;
};

// Checks the session's host key against an OpenSSH known-hosts file (an empty
// path means defaultKnownHostsPath()). A host not yet filed gets one line
// appended (a file that cannot be read, or cannot take the line, leaves the
// key unverifiable); the rest of the file is never rewritten, so entries
// libssh2 does not understand survive. A refusal names the file and line of
// the entry that refused the key, as OpenSSH's own client does.
KnownHostCheck checkKnownHost(LIBSSH2_SESSION *session, const QString &host, int port, const QString &knownHostsPath);
