// One run of the tool, from the operator's line to the exit status.
#pragma once

#include <functional>
#include <iosfwd>

#include "io/FileOps.h"

namespace chartseal {

class RunDriver {
public:
    // in gives the base name; out receives the chart file name and the
    // ordinal line; err receives one line per failure; pause waits for the
    // operator; every file operation goes through ops.
    RunDriver(std::istream& in, std::ostream& out, std::ostream& err, std::function<void()> pause,
              FileOps& ops = systemFileOps());

    // Runs once and returns the exit status (see ExitStatus.h).
    int run();

private:
    bool printLine(const std::string& line);

    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    std::function<void()> pause_;
    FileOps& ops_;
};

}  // namespace chartseal
