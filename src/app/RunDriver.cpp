// The stages of a run, in order: dialogue, survey, report, partition, output.
#include "app/RunDriver.h"

#include <istream>
#include <new>
#include <ostream>
#include <string>
#include <utility>

#include "app/ExitStatus.h"
#include "chart/ChartScanner.h"
#include "output/OutputWriter.h"

namespace chartseal {

namespace {

// The whole first line, without its line feed or carriage return and line
// feed; empty when the input ends before any byte.
std::string readBaseName(std::istream& in)
{
    std::string path;
    std::getline(in, path);
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

}  // namespace

RunDriver::RunDriver(std::istream& in, std::ostream& out, std::ostream& err, std::function<void()> pause,
                     FileOps& ops)
    : in_(in), out_(out), err_(err), pause_(std::move(pause)), ops_(ops)
{
}

bool RunDriver::printLine(const std::string& line)
{
    out_ << line << '\n' << std::flush;
    if (out_) return true;
    err_ << "chartseal: standard output: write error\n" << std::flush;
    return false;
}

int RunDriver::run()
{
    const std::string path = readBaseName(in_);
    const std::string inPath = path + ".sm";
    if (!printLine(inPath)) return kExitOutputFailed;
    pause_();

    auto fail = [this](const std::exception& e, int status) {
        err_ << "chartseal: " << e.what() << '\n' << std::flush;
        return status;
    };

    ChartScanner scanner(ops_);
    OrdinalTable ordinals;
    SlotSet slots;
    try {
        if (inPath.find('\0') != std::string::npos) throw FileError(printable(inPath), "file name holds a zero byte");
        ChartStream fin = scanner.openChart(inPath);
        ordinals = ChartScanner::survey(fin);
        fin.close();
    } catch (const FileError& e) {
        return fail(e, kExitChartUnreadable);
    } catch (const std::bad_alloc&) {
        return fail(FileError(inPath, "out of memory"), kExitOutputFailed);
    }

    if (!printLine(ordinals.toLine())) return kExitOutputFailed;
    pause_();

    try {
        // The whole chart is read before any output file is created, so a
        // chart that fails to read leaves no output file created or emptied.
        ChartStream fin = scanner.openChart(inPath);
        ChartScanner::partition(fin, ordinals, slots);
        fin.close();
    } catch (const FileError& e) {
        return fail(e, kExitChartUnreadable);
    } catch (const std::bad_alloc&) {
        return fail(FileError(inPath, "out of memory"), kExitOutputFailed);
    }

    try {
        OutputWriter writer(ops_);
        writer.checkNoSealedCharts(path);
        writer.createFiles(path);
        writer.writeOutputs(inPath, ordinals, slots);
    } catch (const FileError& e) {
        return fail(e, kExitOutputFailed);
    } catch (const std::bad_alloc&) {
        return fail(FileError(inPath, "out of memory"), kExitOutputFailed);
    }
    return kExitSuccess;
}

}  // namespace chartseal
