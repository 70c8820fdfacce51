// hv_delayshell: a shell as a remote host runs it, for the tests of a
// session's own path. The program named by HV_DELAY_SHELL (default
// /bin/bash) runs on a terminal of its own, and every byte between that
// terminal and ours is held HV_DELAY_MS milliseconds each way (default 25).
// The line's shape, each way, from the environment as well (bytes, bytes a
// second, milliseconds; unset or 0: none): HV_DELAY_RATE, HV_DELAY_HOLD
// (what the line holds at most, as an SSH channel's window), and a rate
// that drops mid-run, HV_DELAY_SLOW_RATE from HV_DELAY_SLOW_AFTER bytes or
// HV_DELAY_SLOW_AFTER_MS on.
// Our terminal is made raw: the far one edits lines and sends signals, as a
// host's does. Exits as the program did, once its last bytes are passed on.

#include "tests/support/delaypump.h"

#include <QByteArray>

#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <thread>

int main()
{
    const QByteArray program = qEnvironmentVariableIsSet("HV_DELAY_SHELL") ? qgetenv("HV_DELAY_SHELL") : "/bin/bash";
    const int delayMs = qEnvironmentVariableIsSet("HV_DELAY_MS") ? qEnvironmentVariableIntValue("HV_DELAY_MS") : 25;
    winsize size{};
    ::ioctl(STDIN_FILENO, TIOCGWINSZ, &size);
    termios ours{};
    if (::tcgetattr(STDIN_FILENO, &ours) == 0) {
        ::cfmakeraw(&ours);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &ours);
    }
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, size.ws_row > 0 ? &size : nullptr);
    if (child < 0)
        return 126;
    if (child == 0) {
        ::unsetenv("HV_DELAY_SHELL");
        ::execl(program.constData(), program.constData(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::signal(SIGPIPE, SIG_IGN);
    const auto number = [](const char *name) { return qgetenv(name).toLongLong(); };
    LineShape line{delayMs, number("HV_DELAY_RATE"), number("HV_DELAY_HOLD")};
    line.slowAfterBytes = number("HV_DELAY_SLOW_AFTER");
    line.slowAfterMs = number("HV_DELAY_SLOW_AFTER_MS");
    line.slowRate = number("HV_DELAY_SLOW_RATE");
    // Keyboard to the far terminal ends with us; the far terminal's output
    // ends when the program and everything it started have closed it.
    std::thread(pumpDelayed, STDIN_FILENO, master, line, -1, nullptr).detach();
    pumpDelayed(master, STDOUT_FILENO, line);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}
