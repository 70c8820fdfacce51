// Fails on purpose in the way its argument names, with the program's diagnostics installed, so a
// test can look at what the failure left behind.
#include "app/diagnostics.h"

#include <QCoreApplication>

// In the page at address 0, which is never mapped: the write faults as a
// write through null does, but the undefined-behaviour sanitizer, which
// checks stores through null itself, lets it reach the signal handler.
static volatile int *nullTarget = reinterpret_cast<volatile int *>(sizeof(int) * 4);

[[gnu::noinline]] static int recurse(int depth)
{
    volatile char pad[4096] = {char(depth)};
    return depth < (1 << 30) ? recurse(depth + 1) + pad[0] : 0;
}

int main(int argc, char **argv)
{
    installDiagnostics();
    QCoreApplication app(argc, argv);
    const QByteArray mode = argc > 1 ? argv[1] : "";
    qWarning("child warning %s", mode.constData());
    if (mode == "segv")
        *nullTarget = 42;
    else if (mode == "abort")
        std::abort();
    else if (mode == "terminate")
        std::terminate();
    return mode == "overflow" ? recurse(0) : 0;
}
