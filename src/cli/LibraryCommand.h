// chartseal-library's command line: its options, its report file, its
// progress line and summary, around a LibraryRun.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>
#include <vector>

#include "io/FileOps.h"

namespace chartseal {

class LibraryCommand {
public:
    // out receives the summary line (or --help, --version), or with
    // "--report -" the report, and err the summary then; err one line per
    // song that was not sealed, prepared or previewed, and, where progress is
    // set (a terminal), one line that keeps being rewritten while the run
    // goes on.
    // openFiles is how many more files the process may open, which bounds
    // how many songs are worked on between two syncs, and on how many
    // threads.
    LibraryCommand(std::ostream& out, std::ostream& err, bool progress, std::size_t openFiles = 1024,
                   FileOps& ops = systemFileOps());

    // For a process that ends right after the run: stop signals stay held
    // back to the end (see RunDriver).
    void holdStopSignalsUntilExit() { holdUntilExit_ = true; }

    // Runs with the arguments (without the program's name) and returns the
    // exit status: 0, 1 (also where no song was found), 2 for a usage error
    // (one line on err), 128+n after a stop. --help wins over everything
    // else, then --version. --quiet leaves out the progress and summary
    // lines; every line about what was not done stays.
    int run(const std::vector<std::string>& args);

    // The least time between two drawings of the progress line.
    void setProgressInterval(std::chrono::milliseconds interval) { progressInterval_ = interval; }

    // Where "--files-from -" reads; without it, that is refused.
    void setInput(std::istream& in) { in_ = &in; }

    // The stop signal that ended the run, or 0.
    int interruptedBy() const { return interruptedBy_; }

private:
    // Writes to out, and flushes it; throws RunError where that fails.
    void writeOut(const std::string& text);

    std::ostream& out_;
    std::ostream& err_;
    bool progress_;
    std::size_t openFiles_;
    FileOps& ops_;
    std::istream* in_ = nullptr;
    bool holdUntilExit_ = false;
    std::chrono::milliseconds progressInterval_{100};
    int interruptedBy_ = 0;
};

}  // namespace chartseal
