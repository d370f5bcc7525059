// One run of the tool, from the operator's line to the exit status.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

#include "io/FileOps.h"

namespace chartseal {

class RunDriver {
public:
    // in gives the base name; out receives the chart file name and the
    // ordinal line; err receives one line per failure; pause waits for the
    // operator; every file operation goes through ops.
    RunDriver(std::istream& in, std::ostream& out, std::ostream& err, std::function<void()> pause,
              FileOps& ops = systemFileOps());

    // For a process that ends right after the run: once the output stage
    // has begun, stop signals stay held back to the end of the process (one
    // that interrupted the output stage is still reported by interruptedBy).
    void holdStopSignalsUntilExit() { holdUntilExit_ = true; }

    // Runs once and returns the exit status (see ExitStatus.h). No exception
    // leaves it.
    int run();

    // The stop signal that interrupted the output stage, or 0. The run has
    // undone its work; the process should now end by that signal.
    int interruptedBy() const { return interruptedBy_; }

private:
    // The stages in order; every way but success out of them is a RunError
    // (or an exception of the standard library), which run() turns into the
    // status.
    void runStages();
    void printLine(const std::string& line);
    // One line on the error stream: "chartseal: <message>".
    void report(const std::string& message);

    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    std::function<void()> pause_;
    FileOps& ops_;
    int interruptedBy_ = 0;
    bool holdUntilExit_ = false;
    std::string inPath_;  // the chart file name, once read
};

}  // namespace chartseal
