// Waiting for a key press on a POSIX terminal, or for a line from a script.
#include "app/ConsolePause.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

namespace chartseal {

namespace {

// The terminal settings to put back if a signal ends the process mid-pause.
struct termios savedSettings;
int savedFd = -1;

constexpr int kRestoringSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};

extern "C" void restoreAndRaise(int sig)
{
    ::tcsetattr(savedFd, TCSANOW, &savedSettings);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

bool ConsolePause::waitForKey()
{
    const int fd = STDIN_FILENO;
    if (!::isatty(fd)) return false;
    struct termios raw;
    if (::tcgetattr(fd, &savedSettings) != 0) return true;
    savedFd = fd;
    struct sigaction restore {};
    restore.sa_handler = restoreAndRaise;
    sigemptyset(&restore.sa_mask);
    struct sigaction previous[std::size(kRestoringSignals)];
    for (std::size_t i = 0; i < std::size(kRestoringSignals); ++i) {
        ::sigaction(kRestoringSignals[i], &restore, &previous[i]);
    }

    raw = savedSettings;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &raw) == 0) {
        // One read takes one key press, with all the bytes a special key sends.
        char key[32];
        while (::read(fd, key, sizeof key) < 0 && errno == EINTR) {
        }
        ::tcsetattr(fd, TCSANOW, &savedSettings);
    }

    for (std::size_t i = 0; i < std::size(kRestoringSignals); ++i) {
        ::sigaction(kRestoringSignals[i], &previous[i], nullptr);
    }
    savedFd = -1;
    return true;
}

}  // namespace chartseal
