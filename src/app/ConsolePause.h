// The pause between the stages of a run.
#pragma once

#include <iosfwd>

namespace chartseal {

// Writes "Press any key to continue . . ." to err, then waits: for one key
// press when fd is a terminal (its settings are restored afterwards, also
// when a signal such as Ctrl-C ends the process), otherwise for one line of
// in, returning at once at the end of input. Never starts a shell.
class ConsolePause {
public:
    ConsolePause(std::istream& in, int fd, std::ostream& err) : in_(in), fd_(fd), err_(err) {}
    void operator()();

private:
    void waitForKey();

    std::istream& in_;
    int fd_;
    std::ostream& err_;
};

}  // namespace chartseal
