// Fails on purpose in the way its argument names, with the program's
// diagnostics installed, so a test can look at what the failure left behind.
#include "app/diagnostics.h"

#include <QCoreApplication>

#include <csignal>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace {

volatile int *nullTarget = nullptr;

volatile bool keepGoing = true;

[[gnu::noinline]] int recurse(int depth)
{
    volatile char pad[4096];
    pad[0] = char(depth);
    return keepGoing ? recurse(depth + 1) + pad[0] : 0;
}

} // namespace

int main(int argc, char **argv)
{
    installDiagnostics();
    QCoreApplication app(argc, argv);
    const char *mode = argc > 1 ? argv[1] : "";
    qWarning("child warning %s", mode);
    if (!std::strcmp(mode, "segv"))
        *nullTarget = 42;
    else if (!std::strcmp(mode, "abort"))
        std::abort();
    else if (!std::strcmp(mode, "fpe"))
        std::raise(SIGFPE);
    else if (!std::strcmp(mode, "overflow"))
        return recurse(0);
    else if (!std::strcmp(mode, "terminate"))
        std::terminate();
    else if (!std::strcmp(mode, "throw"))
        throw std::runtime_error("unhandled");
    return 0;
}
