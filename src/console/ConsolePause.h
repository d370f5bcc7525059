// The pause between the stages of a run.
#pragma once

#include <iosfwd>

namespace chartseal {

// Writes "Press any key to continue . . ." to err, then waits: for one key
// press when standard input is a terminal or console (a terminal's settings
// are restored afterwards, also when a signal such as Ctrl-C ends the
// process), otherwise for one line of in, returning at once at the end of
// input. Never starts a shell or command processor.
class ConsolePause {
public:
    ConsolePause(std::istream& in, std::ostream& err) : in_(in), err_(err) {}
    void operator()();

private:
    // Each system's own: true once a key was pressed on the terminal or
    // console of standard input; false when standard input is none.
    static bool waitForKey();
    void skipLine();

    std::istream& in_;
    std::ostream& err_;
};

}  // namespace chartseal
