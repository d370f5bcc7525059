// The stages of a run, in order: dialogue, survey, report, partition, output.
#include "app/RunDriver.h"

#include <cerrno>
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

// A run that must not go on, though nothing is wrong with the chart file:
// ends with kExitOutputFailed.
class Refusal : public FileError {
public:
    using FileError::FileError;
};

// A stop signal seen at a checkpoint of the output stage.
struct Interrupted {
    int signal;
};

// The whole first line, without its line feed or carriage return and line
// feed; empty when the input ends before any byte. A read error is an error,
// not an empty name.
std::string readBaseName(std::istream& in)
{
    std::string path;
    std::getline(in, path);
    if (in.bad()) throw Refusal("standard input", "cannot read");
    const bool endedByLineFeed = !in.eof();
    if (endedByLineFeed && !path.empty() && path.back() == '\r') path.pop_back();
    return path;
}

// The name with its zero bytes shown as "\0", for a message.
std::string printable(const std::string& name)
{
    std::string shown;
    for (const char c : name) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    return shown;
}

// Opens the chart for the partition and takes its lock: open, lock, then make
// sure the name still leads to the locked file, since a run that finished in
// between may have renamed a new file over it.
ChartStream openLocked(ChartScanner& scanner, FileOps& ops, const std::string& inPath, FileLock& lock)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        ChartStream fin = scanner.openChart(inPath);
        if (!lock.tryLock(ops, fin.file())) {
            throw Refusal(inPath, "another chartseal run is sealing it; try again when it has finished");
        }
        FileStatus named;
        if (ops.statusOf(inPath, named) != 0) throw FileError::fromErrno(inPath, errno);
        if (named.identity.sameFile(fin.file().identity())) return fin;
        lock.release();
    }
    throw Refusal(inPath, "keeps being replaced; run chartseal again");
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

bool RunDriver::printLine(const std::string& line)
{
    out_ << line << '\n' << std::flush;
    if (out_) return true;
    report("standard output: write error");
    return false;
}

int RunDriver::run()
{
    // Memory running out, or a size no string can hold (a chart cut to a
    // huge sparse size), ends the run like any other failure, naming the
    // chart once its name is known.
    const auto outOfMemory = [this] { report(inPath_.empty() ? "out of memory" : inPath_ + ": out of memory"); };
    try {
        return runStages();
    } catch (const std::bad_alloc&) {
        outOfMemory();
    } catch (const std::length_error&) {
        outOfMemory();
    } catch (const std::exception& e) {
        report(e.what());
    }
    return kExitOutputFailed;
}

int RunDriver::runStages()
{
    auto fail = [this](const std::exception& e, int status) {
        report(e.what());
        return status;
    };
    std::string path;
    try {
        path = readBaseName(in_);
    } catch (const FileError& e) {
        return fail(e, kExitOutputFailed);
    }
    inPath_ = path + ".sm";
    const std::string& inPath = inPath_;
    if (!printLine(inPath)) return kExitOutputFailed;
    pause_();

    ChartScanner scanner(ops_);
    OrdinalTable ordinals;
    FileIdentity surveyed;
    try {
        if (inPath.find('\0') != std::string::npos) throw FileError(printable(inPath), "file name holds a zero byte");
        ChartStream fin = scanner.openChart(inPath);
        surveyed = fin.file().identity();
        ordinals = ChartScanner::survey(fin);
        fin.close();
    } catch (const FileError& e) {
        return fail(e, kExitChartUnreadable);
    }

    if (!printLine(ordinals.toLine())) return kExitOutputFailed;
    pause_();

    // From its second opening to its replacement, the chart is locked: one
    // run at a time per chart.
    FileLock chartLock;
    std::optional<ChartStream> fin;
    FileIdentity expected;
    try {
        fin.emplace(openLocked(scanner, ops_, inPath, chartLock));
        expected = fin->file().identity();
        if (!(expected == surveyed)) {
            // Edited during the pause: the ordinal line may no longer describe
            // it. The same survey goes on; another is refused.
            if (!(ChartScanner::survey(*fin) == ordinals) || !(fin->file().identity() == expected)) {
                throw Refusal(inPath, "changed after its survey; run chartseal again");
            }
            fin->rewind();
        }
    } catch (const Refusal& e) {
        return fail(e, kExitOutputFailed);
    } catch (const FileError& e) {
        return fail(e, kExitChartUnreadable);
    }

    HeldInterruptions interruptions(holdUntilExit_);
    auto checkpoint = [&interruptions] {
        if (const int sig = interruptions.pending()) throw Interrupted{sig};
    };
    try {
        OutputWriter writer(ops_, checkpoint);
        const FileStatus chart = fin->file().status();
        const OutputWriter::Leftover leftover = writer.checkOutputs(path, inPath, chart);
        switch (leftover) {
        case OutputWriter::Leftover::none: break;
        case OutputWriter::Leftover::beforeReplacement:
            report(OutputWriter::outPath(path, 1) + ": left by a run that did not finish; sealing again from the chart");
            break;
        case OutputWriter::Leftover::afterReplacement:
            report(OutputWriter::outPath(path, 1) + ": left by a run that stopped after replacing the chart; removed");
            break;
        }
        writer.checkNoSealedCharts(leftover);
        writer.createFiles(path, chart);
        SlotSet slots;
        try {
            ChartScanner::partition(*fin, ordinals, slots);
        } catch (const FileError& e) {
            return fail(e, kExitChartUnreadable);
        }
        writer.writeOutputs(inPath, ordinals, slots, *fin, expected);
        // The last handle of the replaced chart goes while stop signals are
        // still held: freeing a large file's blocks takes a while.
        chartLock.release();
    } catch (const Interrupted& stop) {
        interruptedBy_ = stop.signal;
        return 128 + stop.signal;
    } catch (const FileError& e) {
        return fail(e, kExitOutputFailed);
    }
    return kExitSuccess;
}

}  // namespace chartseal
