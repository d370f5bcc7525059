// The signals that ask a run to stop (Ctrl-C, a closed terminal, a request to
// terminate) while the output stage can still undo what it did.
#pragma once

#include <memory>

namespace chartseal {

// While it lives, the stop signals are held back instead of ending the
// process, and pending() tells whether one arrived; the output stage looks at
// it between its steps. On its end, the signals still held back are dropped:
// the run has decided how to end, by endBySignal or normally. Signals that the
// process was started with ignored stay ignored. With untilExit, they stay
// held back (and dropped) after its end, for a process that ends right after
// the run: a signal in its last moments cannot then end a run that has done
// its work.
class HeldInterruptions {
public:
    explicit HeldInterruptions(bool untilExit = false);
    ~HeldInterruptions();
    HeldInterruptions(const HeldInterruptions&) = delete;
    HeldInterruptions& operator=(const HeldInterruptions&) = delete;

    // The signal number of a stop signal that arrived and is held back, or 0.
    int pending() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// From now on, a stop request that no HeldInterruptions holds back ends the
// process at once, with the status of its signal, in every stage of a run,
// the dialogue and the pauses included. POSIX systems do this by the
// signals' own default; Windows needs a console handler for it.
void endOnStopRequests();

// Ends the process by signal sig, as if it had never been held back, so that
// its parent sees the signal; returns only where the system does not allow it.
void endBySignal(int sig);

}  // namespace chartseal
