// Holding back SIGINT, SIGTERM, SIGHUP and SIGQUIT with the signal mask.
#include "console/Interruptions.h"

#include <signal.h>

#include <ctime>

namespace chartseal {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

}  // namespace

struct HeldInterruptions::State {
    sigset_t held;
    sigset_t previous;
    bool untilExit = false;
};

HeldInterruptions::HeldInterruptions(bool untilExit) : state_(std::make_unique<State>())
{
    state_->untilExit = untilExit;
    sigemptyset(&state_->held);
    for (const int sig : kStopSignals) {
        // A blocked signal stays pending even when ignored: one that the
        // process was started with ignored (nohup) is left alone.
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&state_->held, sig);
    }
    ::sigprocmask(SIG_BLOCK, &state_->held, &state_->previous);
}

HeldInterruptions::~HeldInterruptions()
{
    const struct timespec now {};
    while (pending() != 0 && ::sigtimedwait(&state_->held, nullptr, &now) > 0) {
    }
    if (!state_->untilExit) ::sigprocmask(SIG_SETMASK, &state_->previous, nullptr);
}

int HeldInterruptions::pending() const
{
    sigset_t waiting;
    if (::sigpending(&waiting) != 0) return 0;
    for (const int sig : kStopSignals) {
        if (sigismember(&state_->held, sig) == 1 && sigismember(&waiting, sig) == 1) return sig;
    }
    return 0;
}

void endOnStopRequests() {}

void endBySignal(int sig)
{
    ::signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);
}

}  // namespace chartseal
