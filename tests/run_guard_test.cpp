// Whatever goes wrong around a run, it ends with one line and a status:
// standard input that cannot be read, and exceptions from deep inside.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>

#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "run/RunDriver.h"

namespace chartseal {
namespace {

namespace fs = std::filesystem;

using RunGuard = test::SongFolderTest;

// A stream whose reads fail as reading a directory does.
class FailingInput final : public std::streambuf {
protected:
    int_type underflow() override
    {
        throw RunError("standard input", "cannot read", std::make_error_code(std::errc::is_a_directory));
    }
};

TEST_F(RunGuard, UnreadableStandardInputIsAnErrorNotAnEmptyName)
{
    test::writeFile(at(".sm"), test::fiveCharts());
    FailingInput failing;
    for (const bool throws : {true, false}) {
        std::istream in(&failing);
        if (throws) in.exceptions(std::ios::badbit);
        std::ostringstream out, errors;
        EXPECT_EQ(RunDriver(in, out, errors, [] {}).run(), kExitOutputFailed);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(errors.str(), throws ? "chartseal: standard input: cannot read: Is a directory\n"
                                       : "chartseal: standard input: cannot read\n");
    }
    EXPECT_EQ(test::readFile(at(".sm")), test::fiveCharts());
}

// Throws the given exception from the reads of the chart's second opening.
test::FileOpsProbe::Before throwingAfterSecondOpen(std::function<void()> thrower)
{
    auto opened = std::make_shared<bool>(false);
    return [opened, thrower](const test::FileOpsProbe::Call& call) {
        if (call.is("openInFolder song.sm")) *opened = true;
        if (*opened && call.is("readAt")) thrower();
        return std::error_code();
    };
}

TEST_F(RunGuard, NoExceptionEscapesTheRun)
{
    const std::function<void()> throwers[] = {
        [] { throw std::bad_alloc(); },
        [] { throw std::length_error("basic_string::_M_create"); },
        [] { throw std::runtime_error("something unforeseen"); },
    };
    const std::string messages[] = {"out of memory", "out of memory", "something unforeseen"};
    for (int i = 0; i < 3; ++i) {
        fs::remove_all(dir());
        fs::create_directory(dir());
        test::writeFile(at("song.sm"), test::fiveCharts());
        test::FileOpsProbe ops(throwingAfterSecondOpen(throwers[i]));
        EXPECT_EQ(runTool(ops), kExitOutputFailed);
        const std::string line = err.str();
        EXPECT_NE(line.find(messages[i]), std::string::npos) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        EXPECT_EQ(test::readFile(at("song.sm")), test::fiveCharts());
        EXPECT_EQ(std::distance(fs::directory_iterator(dir()), {}), 1);
    }
}

}  // namespace
}  // namespace chartseal
