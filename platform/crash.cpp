#include "platform/crash.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>
#include <ucontext.h>

// Everything reachable from the signal handler below is async-signal-safe:
// open/read/write/close, time, backtrace (preloaded at install) and our own
// formatting. No malloc, no stdio, no locale, no dladdr.

namespace platform {

namespace {

constexpr int kMaxFrames = 64;
constexpr int kMaxModules = 512;
constexpr size_t kPathMax = 4096;

char g_crashLog[kPathMax];
char g_dumpFolder[kPathMax];
long g_utcOffset = 0;             // seconds east of UTC, read at install
std::atomic<int> g_entered{0};
alignas(16) char g_altStack[1 << 16];

char g_maps[1 << 18];             // /proc/self/maps, read at crash time
struct Module { uintptr_t start, end, offset; const char *path; size_t pathLen; };
Module g_modules[kMaxModules];
int g_moduleCount = 0;

// A fixed buffer that never allocates; text that does not fit is cut.
struct Line {
    char buf[1024];
    size_t len = 0;
    Line &str(const char *s, size_t n)
    {
        while (n-- && len < sizeof buf)
            buf[len++] = *s++;
        return *this;
    }
    Line &str(const char *s) { return str(s, std::strlen(s)); }
    Line &num(uint64_t v, int base, int width)
    {
        char tmp[24];
        int n = 0;
        do {
            const int d = int(v % unsigned(base));
            tmp[n++] = char(d < 10 ? '0' + d : 'A' + d - 10);
            v /= unsigned(base);
        } while (v && n < int(sizeof tmp));
        while (n < width && n < int(sizeof tmp))
            tmp[n++] = '0';
        while (n && len < sizeof buf)
            buf[len++] = tmp[--n];
        return *this;
    }
    Line &hex(uint64_t v, int width = 0) { return num(v, 16, width); }
    Line &dec(uint64_t v, int width = 0) { return num(v, 10, width); }
};

void writeAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        p += w;
        n -= size_t(w);
    }
}

void writeLine(int fd, const Line &l) { writeAll(fd, l.buf, l.len); }

int openAppend(const char *path)
{
    return ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

struct Civil { int y, mo, d, h, mi, s; };

Civil localNow()
{
    const int64_t t = int64_t(::time(nullptr)) + g_utcOffset;
    int64_t days = t / 86400;
    int64_t secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    // Gregorian date from days since 1970-01-01 (H. Hinnant's algorithm).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int d = int(doy - (153 * mp + 2) / 5 + 1);
    const int m = int(mp < 10 ? mp + 3 : mp - 9);
    const int y = int(yoe + era * 400 + (m <= 2));
    return {y, m, d, int(secs / 3600), int(secs / 60 % 60), int(secs % 60)};
}

// "yyyyMMdd_HHmmss"
void stamp(Line &l, const Civil &c)
{
    l.dec(uint64_t(c.y), 4).dec(uint64_t(c.mo), 2).dec(uint64_t(c.d), 2).str("_");
    l.dec(uint64_t(c.h), 2).dec(uint64_t(c.mi), 2).dec(uint64_t(c.s), 2);
}

// "yyyy-MM-dd HH:mm:ss"
void isoStamp(Line &l, const Civil &c)
{
    l.dec(uint64_t(c.y), 4).str("-").dec(uint64_t(c.mo), 2).str("-").dec(uint64_t(c.d), 2).str(" ");
    l.dec(uint64_t(c.h), 2).str(":").dec(uint64_t(c.mi), 2).str(":").dec(uint64_t(c.s), 2);
}

const char *signalName(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
    }
}

uintptr_t parseHex(const char *&p, const char *end)
{
    uintptr_t v = 0;
    for (; p < end; ++p) {
        const char c = *p;
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        v = v * 16 + uintptr_t(d);
    }
    return v;
}

// Executable mappings with a file behind them, from /proc/self/maps.
void loadModules()
{
    g_moduleCount = 0;
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, g_maps + total, sizeof g_maps - 1 - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += size_t(n);
        if (total >= sizeof g_maps - 1)
            break;
    }
    ::close(fd);
    const char *p = g_maps;
    const char *end = g_maps + total;
    while (p < end && g_moduleCount < kMaxModules) {
        const char *eol = p;
        while (eol < end && *eol != '\n')
            ++eol;
        // start-end perms offset dev inode path
        const char *q = p;
        const uintptr_t start = parseHex(q, eol);
        if (q < eol && *q == '-')
            ++q;
        const uintptr_t stop = parseHex(q, eol);
        while (q < eol && *q == ' ')
            ++q;
        const bool exec = (eol - q) >= 3 && q[2] == 'x';
        while (q < eol && *q != ' ')
            ++q;
        while (q < eol && *q == ' ')
            ++q;
        const uintptr_t offset = parseHex(q, eol);
        for (int field = 0; field < 2; ++field) { // dev, inode
            while (q < eol && *q == ' ')
                ++q;
            while (q < eol && *q != ' ')
                ++q;
        }
        while (q < eol && *q == ' ')
            ++q;
        if (exec && q < eol && *q == '/')
            g_modules[g_moduleCount++] = {start, stop, offset, q, size_t(eol - q)};
        p = eol + 1;
    }
}

const Module *moduleFor(uintptr_t pc)
{
    for (int i = 0; i < g_moduleCount; ++i)
        if (pc >= g_modules[i].start && pc < g_modules[i].end)
            return &g_modules[i];
    return nullptr;
}

// "#NN 0xPC module!symbol+0xDISP": no symbol look-up is safe here, so the
// symbol stays empty and the displacement is the offset inside the file,
// which addr2line turns into a function and line.
void writeFrames(int fd, void *const *frames, int count)
{
    for (int i = 0; i < count; ++i) {
        const uintptr_t pc = reinterpret_cast<uintptr_t>(frames[i]);
        if (pc == 0)
            break;
        Line l;
        l.str("#").dec(uint64_t(i), 2).str(" 0x").hex(pc, 12).str(" ");
        const Module *m = moduleFor(pc);
        if (m) {
            const char *base = m->path + m->pathLen;
            while (base > m->path && base[-1] != '/')
                --base;
            l.str(base, size_t(m->path + m->pathLen - base)).str("!+0x").hex(pc - m->start + m->offset);
        } else {
            l.str("?!+0x0");
        }
        l.str("\n");
        writeLine(fd, l);
    }
}

void writeModules(int fd)
{
    for (int i = 0; i < g_moduleCount; ++i) {
        const Module &m = g_modules[i];
        Line l;
        l.str("0x").hex(m.start, 12).str("-0x").hex(m.end, 12).str(" +0x").hex(m.offset).str(" ");
        l.str(m.path, m.pathLen).str("\n");
        writeLine(fd, l);
    }
}

// Writes the dump and the crash line; returns nothing, fails quietly.
void writeDumpAndCrashLine(const char *reason, int sig, uintptr_t faultAddr, uintptr_t pc,
                           void *const *frames, int frameCount)
{
    const Civil now = localNow();
    Line path;
    path.str(g_dumpFolder).str("/halvorstead_crash_");
    stamp(path, now);
    path.str(".dmp");
    char dumpPath[sizeof path.buf + 1];
    std::memcpy(dumpPath, path.buf, path.len);
    dumpPath[path.len] = '\0';

    const int dfd = ::open(dumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (dfd >= 0) {
        Line head;
        head.str("Halvorstead crash report\nreason: ").str(reason).str("\ntime: ");
        isoStamp(head, now);
        head.str("\npid: ").dec(uint64_t(::getpid())).str("\n");
        if (sig) {
            head.str("signal: ").dec(uint64_t(sig)).str(" ").str(signalName(sig)).str("\n");
            head.str("fault address: 0x").hex(faultAddr, 16).str("\n");
            head.str("instruction: 0x").hex(pc, 16).str("\n");
        }
        head.str("\nstack:\n");
        writeLine(dfd, head);
        writeFrames(dfd, frames, frameCount);
        Line mods;
        mods.str("\nmodules:\n");
        writeLine(dfd, mods);
        writeModules(dfd);
        ::close(dfd);
    }

    const int lfd = openAppend(g_crashLog);
    if (lfd >= 0) {
        Line l;
        stamp(l, now);
        l.str(" CRASH(").str(reason).str(") dump=").str(dumpPath).str("\n");
        writeLine(lfd, l);
        ::close(lfd);
    }
}

void waitForOtherCrash()
{
    // Another thread is already reporting and will end the process.
    for (;;)
        ::pause();
}

void onFatalSignal(int sig, siginfo_t *info, void *context)
{
    if (g_entered.fetch_add(1) != 0)
        waitForOtherCrash();

    uintptr_t pc = 0;
#if defined(__x86_64__)
    if (context)
        pc = uintptr_t(static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    if (context)
        pc = uintptr_t(static_cast<ucontext_t *>(context)->uc_mcontext.pc);
#else
    (void)context;
#endif
    const uintptr_t addr = info ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;

    loadModules();
    void *frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);

    const int fd = openAppend(g_crashLog);
    if (fd >= 0) {
        Line head;
        head.str("---- stack (signal=").dec(uint64_t(sig)).str(" ").str(signalName(sig));
        head.str(" addr=0x").hex(addr, 16).str(" pc=0x").hex(pc, 16).str(") ");
        isoStamp(head, localNow());
        head.str("\n");
        writeLine(fd, head);
        writeFrames(fd, frames, count);
        ::close(fd);
    }
    writeDumpAndCrashLine(signalName(sig), sig, addr, pc, frames, count);
    ::_exit(1);
}

void copyPath(char *dst, const QString &src)
{
    const QByteArray native = QFile::encodeName(src);
    const size_t n = std::min(size_t(native.size()), kPathMax - 1);
    std::memcpy(dst, native.constData(), n);
    dst[n] = '\0';
}

} // namespace

void installFatalSignalHandlers(const QString &crashLogPath, const QString &dumpFolder)
{
    copyPath(g_crashLog, crashLogPath);
    copyPath(g_dumpFolder, dumpFolder);

    tzset();
    const time_t now = ::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    g_utcOffset = local.tm_gmtoff;

    // The first backtrace loads the unwinder, which allocates: do it now.
    void *warm[2];
    ::backtrace(warm, 2);

    stack_t ss{};
    ss.ss_sp = g_altStack;
    ss.ss_size = sizeof g_altStack;
    ::sigaltstack(&ss, nullptr);

    struct sigaction sa{};
    sa.sa_sigaction = onFatalSignal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        ::sigaction(sig, &sa, nullptr);
}

void crashExit(const char *reason, int exitCode)
{
    if (g_entered.fetch_add(1) != 0)
        waitForOtherCrash();
    loadModules();
    void *frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    writeDumpAndCrashLine(reason, 0, 0, 0, frames, count);
    ::_exit(exitCode);
}

} // namespace platform
