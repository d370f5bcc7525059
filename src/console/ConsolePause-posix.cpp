// Waiting for a key press on a POSIX terminal, or for a line from a script.
#include "console/ConsolePause.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

namespace chartseal {

namespace {

// The terminal settings to put back if a signal ends or stops the process
// mid-pause, and the single-key settings to take again when it goes on.
struct termios savedSettings;
struct termios keySettings;
int savedFd = -1;

constexpr int kRestoringSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};

extern "C" void restoreAndRaise(int sig)
{
    ::tcsetattr(savedFd, TCSANOW, &savedSettings);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Ctrl-Z: the shell gets the terminal as it was; after fg, the pause waits
// for one key again.
extern "C" void restoreAndStop(int)
{
    const int saved = errno;
    ::tcsetattr(savedFd, TCSANOW, &savedSettings);
    ::raise(SIGSTOP);
    ::tcsetattr(savedFd, TCSANOW, &keySettings);
    errno = saved;
}

// Continued after any stop (a SIGSTOP from elsewhere too).
extern "C" void takeKeysAgain(int)
{
    const int saved = errno;
    ::tcsetattr(savedFd, TCSANOW, &keySettings);
    errno = saved;
}

}  // namespace

bool ConsolePause::waitForKey()
{
    const int fd = STDIN_FILENO;
    if (!::isatty(fd)) return false;
    if (::tcgetattr(fd, &savedSettings) != 0) return true;
    savedFd = fd;
    keySettings = savedSettings;
    keySettings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keySettings.c_cc[VMIN] = 1;
    keySettings.c_cc[VTIME] = 0;

    struct Handler {
        int sig;
        void (*handler)(int);
    };
    const Handler handlers[] = {{SIGINT, restoreAndRaise},  {SIGTERM, restoreAndRaise}, {SIGQUIT, restoreAndRaise},
                                {SIGHUP, restoreAndRaise},  {SIGTSTP, restoreAndStop},  {SIGCONT, takeKeysAgain}};
    struct sigaction previous[std::size(handlers)];
    for (std::size_t i = 0; i < std::size(handlers); ++i) {
        struct sigaction action {};
        action.sa_handler = handlers[i].handler;
        sigemptyset(&action.sa_mask);
        for (const int sig : kRestoringSignals) sigaddset(&action.sa_mask, sig);
        ::sigaction(handlers[i].sig, &action, &previous[i]);
    }

    if (::tcsetattr(fd, TCSANOW, &keySettings) == 0) {
        // One read takes one key press, with all the bytes a special key sends.
        char key[32];
        while (::read(fd, key, sizeof key) < 0 && errno == EINTR) {
        }
        ::tcsetattr(fd, TCSANOW, &savedSettings);
    }

    for (std::size_t i = 0; i < std::size(handlers); ++i) ::sigaction(handlers[i].sig, &previous[i], nullptr);
    savedFd = -1;
    return true;
}

}  // namespace chartseal
