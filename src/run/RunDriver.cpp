// The stages of a run, in order: dialogue, survey, report, partition, output.
#include "run/RunDriver.h"

#include <istream>
#include <optional>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "console/ExitStatus.h"
#include "console/Interruptions.h"
#include "run/SealJob.h"

namespace chartseal {

namespace {

// The whole first line, without its line feed or carriage return and line
// feed; empty when the input ends before any byte. A read error is an error,
// not an empty name.
std::string readBaseName(std::istream& in)
{
    std::string path;
    std::getline(in, path);
    if (in.bad()) throw RunError("standard input", "cannot read");
    const bool endedByLineFeed = !in.eof();
    if (endedByLineFeed && !path.empty() && path.back() == '\r') path.pop_back();
    return path;
}

// Where the name typed already ends in .sm, so that "<name>.sm.sm" is
// missing while "<name>.sm" is there: which name to type instead.
std::string typedWithEnding(FileOps& ops, const std::string& chartPath, const RunError& error)
{
    if (error.failure() != Failure::chartUnreadable || !chartPath.ends_with(".sm.sm")) return {};
    FileStatus st;
    std::error_code ec;
    if (ops.statusOfPath(chartPath, st, ec) || ec) return {};
    const std::string typed = chartPath.substr(0, chartPath.size() - 3);
    if (!ops.statusOfPath(typed, st, ec) || ec || st.kind == FileKind::directory) return {};
    return "; type the name without .sm: " + shownName(typed.substr(0, typed.size() - 3));
}

}  // namespace

RunDriver::RunDriver(std::istream& in, std::ostream& out, std::ostream& err, std::function<void()> pause,
                     FileOps& ops)
    : in_(in), out_(out), err_(err), pause_(std::move(pause)), ops_(ops)
{
}

void RunDriver::report(const std::string& message)
{
    // One write for the whole line, so that the lines of runs that share a
    // log never interleave.
    err_ << ("chartseal: " + message + "\n") << std::flush;
}

void RunDriver::printLine(const std::string& line)
{
    out_ << line << '\n' << std::flush;
    if (!out_) throw RunError("standard output", "write error");
}

int RunDriver::run()
{
    // Every way a run can end but success comes here, and leaves with one
    // line (none for a stop) and its status. Memory running out, or a size
    // no string can hold (a chart cut to a huge sparse size), ends the run
    // like any other failure, naming the chart once its name is known.
    try {
        runStages();
        return kExitSuccess;
    } catch (...) {
        const RunError e = currentError(inPath_);
        if (e.failure() == Failure::interrupted) {
            interruptedBy_ = e.signal();
        } else {
            report(e.what() + typedWithEnding(ops_, inPath_, e));
        }
        return exitStatusFor(e);
    }
}

void RunDriver::runStages()
{
    const std::string path = readBaseName(in_);
    // Stop signals are held from the chart's locking on, until the job has
    // let go of everything (declared first, it goes last).
    std::optional<HeldInterruptions> interruptions;
    SealJob job(ops_, path);
    inPath_ = job.chartPath();
    printLine(inPath_);
    pause_();

    printLine(job.survey().toLine());
    pause_();

    // From its second opening to its replacement, the chart is locked: one
    // run at a time per chart.
    job.lockAndPartition();
    interruptions.emplace(holdUntilExit_);
    job.seal(
        [&interruptions] {
            if (const int sig = interruptions->pending()) throw RunError::interrupted(sig);
        },
        [this](const std::string& line) { report(line); });
}

}  // namespace chartseal
