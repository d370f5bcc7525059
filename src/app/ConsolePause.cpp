// Waiting for a key press on a terminal, or for a line from a script.
#include "app/ConsolePause.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <istream>
#include <ostream>
#include <string>

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

void ConsolePause::operator()()
{
    err_ << "Press any key to continue . . ." << std::flush;
    if (::isatty(fd_)) {
        waitForKey();
    } else {
        std::string ignored;
        try {
            std::getline(in_, ignored);
        } catch (const std::exception&) {
            // Input that cannot be read holds no answer to wait for.
        }
    }
    err_ << '\n' << std::flush;
}

void ConsolePause::waitForKey()
{
    struct termios raw;
    if (::tcgetattr(fd_, &savedSettings) != 0) return;
    savedFd = fd_;
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
    if (::tcsetattr(fd_, TCSANOW, &raw) == 0) {
        // One read takes one key press, with all the bytes a special key sends.
        char key[32];
        while (::read(fd_, key, sizeof key) < 0 && errno == EINTR) {
        }
        ::tcsetattr(fd_, TCSANOW, &savedSettings);
    }

    for (std::size_t i = 0; i < std::size(kRestoringSignals); ++i) {
        ::sigaction(kRestoringSignals[i], &previous[i], nullptr);
    }
    savedFd = -1;
}

}  // namespace chartseal
