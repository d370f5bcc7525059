// Holding back Ctrl-C, Ctrl-Break and the closing of the console window with
// a console control handler.
#include <windows.h>

#include <atomic>

#include "app/Interruptions.h"
#include "app/Interruptions-win32.h"

namespace chartseal {

namespace {

// The numbers the run reports them by, as the POSIX signals of the same
// meaning: the shell sees 128 plus the number.
constexpr int kInterrupt = 2;   // Ctrl-C, as SIGINT
constexpr int kBreak = 21;      // Ctrl-Break, as Windows' SIGBREAK
constexpr int kHangUp = 1;      // the console closed, the user logged off, as SIGHUP

std::atomic<int> arrived{0};
std::atomic<bool> holding{false};
// Set once the run has decided how to end and undone what it had to.
HANDLE settled = nullptr;

BOOL WINAPI holdBack(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT: arrived.store(kInterrupt); return TRUE;
    case CTRL_BREAK_EVENT: arrived.store(kBreak); return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The system ends the process once this returns: it waits (the
        // system allows some seconds) for the run to reach a checkpoint and
        // clean up.
        arrived.store(kHangUp);
        ::WaitForSingleObject(settled, 4500);
        return TRUE;
    default: return FALSE;
    }
}

}  // namespace

struct HeldInterruptions::State {
    bool untilExit = false;
};

HeldInterruptions::HeldInterruptions(bool untilExit) : state_(std::make_unique<State>())
{
    state_->untilExit = untilExit;
    arrived.store(0);
    if (settled == nullptr) settled = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::ResetEvent(settled);
    ::SetConsoleCtrlHandler(holdBack, TRUE);
    holding.store(true);
}

HeldInterruptions::~HeldInterruptions()
{
    holding.store(false);
    // Held until exit, the handler stays and takes every event from now on.
    if (!state_->untilExit) ::SetConsoleCtrlHandler(holdBack, FALSE);
    arrived.store(0);
    ::SetEvent(settled);
}

int HeldInterruptions::pending() const
{
    return arrived.load();
}

bool deliverConsoleEvent(unsigned long event)
{
    return holding.load() && holdBack(event);
}

// The run has undone its work and returns 128 plus the number from main; a
// closed console then ends the process as soon as the handler returns.
void endBySignal(int) {}

}  // namespace chartseal
