// The stages of a run, in order: dialogue, survey, report, partition, output.
#include "app/RunDriver.h"

#include <istream>
#include <optional>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/ExitStatus.h"
#include "app/Interruptions.h"
#include "chart/ChartScanner.h"
#include "output/OutputWriter.h"

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

// Opens the chart for the partition, in its folder, and takes its lock:
// open, lock, then make sure the entry still leads to the locked file, since
// a run that finished in between may have renamed a new file over it.
ChartStream openLocked(ChartScanner& scanner, FileOps& ops, File& folder, const std::string& entry,
                       const std::string& inPath, FileLock& lock)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        ChartStream fin = scanner.openChartInFolder(folder, entry, inPath);
        if (!lock.tryLock(fin.file())) {
            throw refusal(inPath, "another chartseal run is sealing it; try again when it has finished");
        }
        FileStatus named;
        std::error_code ec;
        if (!ops.statusInFolder(folder.handle(), entry, named, ec)) {
            if (!ec) ec = std::make_error_code(std::errc::no_such_file_or_directory);
            throw RunError(inPath, ec.message(), Failure::chartUnreadable);
        }
        if (named.identity.sameFile(fin.file().identity())) return fin;
        lock.release();
    }
    throw refusal(inPath, "keeps being replaced; run chartseal again");
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
    const auto outOfMemory = [this] {
        report(inPath_.empty() ? "out of memory" : shownName(inPath_) + ": out of memory");
    };
    try {
        runStages();
        return kExitSuccess;
    } catch (const RunError& e) {
        if (e.failure() == Failure::interrupted) {
            interruptedBy_ = e.signal();
        } else {
            report(e.what());
        }
        return exitStatusFor(e);
    } catch (const std::bad_alloc&) {
        outOfMemory();
    } catch (const std::length_error&) {
        outOfMemory();
    } catch (const std::exception& e) {
        report(e.what());
    }
    return kExitOutputFailed;
}

void RunDriver::runStages()
{
    const std::string path = readBaseName(in_);
    inPath_ = path + ".sm";
    const std::string& inPath = inPath_;
    printLine(inPath);
    pause_();

    ChartScanner scanner(ops_);
    OrdinalTable ordinals;
    FileIdentity surveyed;
    {
        if (inPath.find('\0') != std::string::npos) {
            throw RunError(inPath, "file name holds a zero byte", Failure::chartUnreadable);
        }
        ChartStream fin = scanner.openChart(inPath);
        surveyed = fin.file().identity();
        ordinals = ChartScanner::survey(fin);
        fin.close();
    }
    printLine(ordinals.toLine());
    pause_();

    // From its second opening to its replacement, the chart is locked: one
    // run at a time per chart. Every name of the run is an entry of the
    // chart's folder, opened once.
    FileLock chartLock;
    std::optional<HeldInterruptions> interruptions;
    File folder = [&] {
        try {
            return openFolderOf(ops_, inPath);
        } catch (const RunError& e) {
            throw e.as(Failure::chartUnreadable);
        }
    }();
    const std::string entry = followLinksInFolder(folder, entryOf(inPath), inPath);
    ChartStream fin = openLocked(scanner, ops_, folder, entry, inPath, chartLock);
    const FileIdentity expected = fin.file().identity();
    if (!(expected == surveyed)) {
        // Edited during the pause: the ordinal line may no longer describe
        // it. The same survey goes on; another is refused.
        if (!(ChartScanner::survey(fin) == ordinals) || !(fin.file().identity() == expected)) {
            throw refusal(inPath, "changed after its survey; run chartseal again");
        }
        fin.rewind();
    }

    interruptions.emplace(holdUntilExit_);
    auto checkpoint = [&interruptions] {
        if (const int sig = interruptions->pending()) throw RunError::interrupted(sig);
    };
    SlotSet slots;
    ChartScanner::partition(fin, ordinals, slots);
    OutputWriter writer(ops_, folder, path, entry, inPath, checkpoint,
                        [this](const std::string& line) { report(line); });
    writer.writeOutputs(ordinals, slots, fin, expected);
    // The last handle of the replaced chart goes while stop signals are
    // still held: freeing a large file's blocks takes a while.
    chartLock.release();
}

}  // namespace chartseal
