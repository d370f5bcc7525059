// Holding back Ctrl-C, Ctrl-Break and the closing of the console window with
// a console control handler.
#include <windows.h>

#include <atomic>

#include "console/ExitStatus.h"
#include "console/Interruptions.h"
#include "console/Interruptions-win32.h"

namespace chartseal {

namespace {

// The numbers the run reports them by, as the POSIX signals of the same
// meaning: the shell sees 128 plus the number.
constexpr int kInterrupt = 2;   // Ctrl-C, as SIGINT
constexpr int kBreak = 21;      // Ctrl-Break, as Windows' SIGBREAK
constexpr int kHangUp = 1;      // the console closed, the user logged off, as SIGHUP

std::atomic<int> arrived{0};
std::atomic<bool> holding{false};
std::atomic<bool> installed{false};
// Set once the run has decided how to end and undone what it had to.
HANDLE settled = nullptr;

// The number an event stands for, or 0 for events not ours.
int numberOf(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT: return kInterrupt;
    case CTRL_BREAK_EVENT: return kBreak;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: return kHangUp;
    default: return 0;
    }
}

BOOL WINAPI holdBack(DWORD event)
{
    const int number = numberOf(event);
    if (number == 0) return FALSE;
    if (!holding.load()) {
        // Nothing to undo: the dialogue, a pause, the survey. The console is
        // as the run found it (a pause reads keys without changing its
        // modes); the process ends with the status of the signal.
        ::ExitProcess(static_cast<UINT>(exitStatusForSignal(number)));
    }
    arrived.store(number);
    if (number == kHangUp) {
        // The system ends the process once this returns: it waits (the
        // system allows some seconds) for the run to reach a checkpoint and
        // clean up.
        ::WaitForSingleObject(settled, 4500);
    }
    return TRUE;
}

void install()
{
    if (settled == nullptr) settled = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!installed.exchange(true)) ::SetConsoleCtrlHandler(holdBack, TRUE);
}

}  // namespace

struct HeldInterruptions::State {
    bool untilExit = false;
};

HeldInterruptions::HeldInterruptions(bool untilExit) : state_(std::make_unique<State>())
{
    state_->untilExit = untilExit;
    arrived.store(0);
    install();
    ::ResetEvent(settled);
    holding.store(true);
}

HeldInterruptions::~HeldInterruptions()
{
    // Held until exit, every event from now on is taken and dropped.
    if (!state_->untilExit) holding.store(false);
    arrived.store(0);
    ::SetEvent(settled);
}

int HeldInterruptions::pending() const
{
    return arrived.load();
}

void endOnStopRequests()
{
    install();
}

bool deliverConsoleEvent(unsigned long event)
{
    return holding.load() && holdBack(event);
}

// The run has undone its work and returns 128 plus the number from main; a
// closed console then ends the process as soon as the handler returns.
void endBySignal(int) {}

}  // namespace chartseal
