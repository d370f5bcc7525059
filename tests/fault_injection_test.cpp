// A failure injected at every file operation of a run in turn: the chart file
// holds its old bytes or exactly its new bytes, never anything else.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "MemoryFileSystem.h"
#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "run/RunDriver.h"

namespace chartseal {
namespace {

struct Scenario {
    const char* name;
    bool leftoversBefore;  // a run killed before its replacement left its files
    friend void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
};

class FaultInjection : public test::TempDirTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(FaultInjection, EveryFailedOperationLeavesTheChartWholeAndSaysSoOnce)
{
    using test::chartBlock;
    const std::string header = test::songHeader();
    const std::string original = header + chartBlock("Beginner") + chartBlock("Easy") + chartBlock("Medium") +
                                 chartBlock("Hard") + chartBlock("Challenge") + chartBlock("Edit");
    const std::string final = header + chartBlock("Easy") + "\n" + chartBlock("Medium") + "\n";
    const std::array<std::string, 7> expectedSealed{
        "", "", "", test::sealed(chartBlock("Hard")), test::sealed(chartBlock("Challenge")), test::sealed(chartBlock("Beginner")),
        test::sealed(chartBlock("Edit"))};
    const std::string base = at("song");
    auto outFile = [&](int n) { return base + "_" + std::to_string(n) + ".dat"; };
    const auto rerunEndsWithTheFinalResult = [&] {
        std::istringstream in(base + "\n");
        std::ostringstream out, err;
        ASSERT_EQ(RunDriver(in, out, err, [] {}).run(), kExitSuccess) << err.str();
        ASSERT_EQ(test::readFile(base + ".sm"), final);
        ASSERT_FALSE(test::exists(outFile(1)));
        for (int n = 2; n <= 6; ++n) ASSERT_EQ(test::readFile(outFile(n)), expectedSealed[n]) << "file " << n;
    };

    long injected = 0;
    for (long k = 1;; ++k) {
        SCOPED_TRACE("failing operation " + std::to_string(k));
        std::filesystem::remove_all(dir());
        std::filesystem::create_directory(dir());
        test::writeFile(base + ".sm", original);
        // Another user's chart, where the run may give files away: the
        // outputs' owner is set, and that can fail too.
        test::giveAway(base + ".sm", 1234, 1234);
        if (GetParam().leftoversBefore) {
            test::writeFile(outFile(1), final);
            test::writeFile(outFile(4), expectedSealed[4].substr(0, 100));
        }

        const std::error_code error = std::make_error_code(k % 2 ? std::errc::io_error : std::errc::no_space_on_device);
        std::string failed;
        test::FileOpsProbe ops([&](const test::FileOpsProbe::Call& call) {
            if (call.number != k) return std::error_code();
            failed = call.what;
            return error;
        });
        std::istringstream in(base + "\n");
        std::ostringstream out, err;
        const int status = RunDriver(in, out, err, [] {}, ops).run();
        if (ops.count() < k) {
            ASSERT_EQ(status, kExitSuccess) << err.str();
            break;  // the run completed without reaching operation k
        }
        ++injected;
        SCOPED_TRACE("which was " + failed);

        const std::string chart = test::readFile(base + ".sm").value_or("<missing>");
        ASSERT_TRUE(chart == original || chart == final);
        if (status == kExitSuccess) {
            // Only where it lost nothing: a file that was only read, or a
            // lock, closed with an error.
            ASSERT_TRUE(failed.starts_with("close ")) << "a failed " << failed << " was reported as success";
            ASSERT_EQ(chart, final);
            ASSERT_FALSE(test::exists(outFile(1)));
            for (int n = 2; n <= 6; ++n) ASSERT_EQ(test::readFile(outFile(n)), expectedSealed[n]) << "file " << n;
            continue;
        }
        // The chart read back for the survey, the partition or the sealing:
        // the same status wherever it fails.
        if (failed == "readAt song.sm" || failed.starts_with("openForReading") || failed == "openInFolder song.sm") {
            ASSERT_EQ(test::statusAsSeen(status), test::statusAsSeen(kExitChartUnreadable)) << err.str();
        }
        // The last line is the failure; a line before it may say that the
        // leftovers were found.
        const std::string message = err.str();
        const auto lines = std::count(message.begin(), message.end(), '\n');
        ASSERT_TRUE(lines == 1 || (GetParam().leftoversBefore && lines == 2)) << message;
        ASSERT_EQ(message.rfind("chartseal: ", 0), 0u) << message;

        if (chart == original) {
            // No sealed file of this run is left without the plain file that
            // tells it for an unfinished run's; a run afterwards finishes the job.
            if (!GetParam().leftoversBefore && !test::exists(outFile(1))) {
                for (int n = 2; n <= 6; ++n) ASSERT_FALSE(test::exists(outFile(n))) << "file " << n;
            }
            rerunEndsWithTheFinalResult();
        } else {
            // Replaced, then a later step failed: every sealed file is complete.
            ASSERT_FALSE(test::exists(outFile(1)));
            for (int n = 2; n <= 6; ++n) ASSERT_EQ(test::readFile(outFile(n)), expectedSealed[n]) << "file " << n;
        }
    }
    EXPECT_GT(injected, 40);  // a run of this chart takes that many file operations
    RecordProperty("injected", static_cast<int>(injected));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultInjection,
                         ::testing::Values(Scenario{"FreshFolder", false}, Scenario{"LeftoversOfAKilledRun", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Two faults: every operation of a run fails in turn, and with it each
// operation after it, which is the clean-up's. Whatever is left, the chart
// is whole, and the next run finishes the job by itself, or refuses a chart
// that is sealed already; never does it take an unfinished run for a
// finished one.
TEST(CleanUpUnderFaults, EveryFailedCleanUpStepLeavesAFolderTheNextRunFinishes)
{
    using test::chartBlock;
    using test::MemoryFileSystem;
    const std::string original = test::fiveCharts();
    const std::string final = test::fiveChartsPlain();
    const std::map<std::string, std::string> finalFolder = test::fiveChartsSealedFolder();
    const auto run = [](FileOps& ops, std::string& messages) {
        std::istringstream in("song\n");
        std::ostringstream out, err;
        const int status = RunDriver(in, out, err, [] {}, ops).run();
        messages = err.str();
        return status;
    };
    const auto folderOf = [](const MemoryFileSystem& fs) {
        std::map<std::string, std::string> all;
        for (const std::string& name : fs.names()) all[name] = *fs.contents(name);
        return all;
    };
    const std::error_code error = std::make_error_code(std::errc::io_error);

    long runs = 0;
    std::string messages;
    for (long first = 1;; ++first) {
        SCOPED_TRACE("first failure at operation " + std::to_string(first));
        MemoryFileSystem once;
        once.addFile("song.sm", original);
        test::FileOpsProbe single(test::failing(first, error), once);
        if (run(single, messages) == kExitSuccess) break;  // past the last operation
        const long total = single.count();
        for (long second = first + 1; second <= total + 1; ++second) {
            SCOPED_TRACE("second failure at operation " + std::to_string(second));
            MemoryFileSystem fs;
            fs.addFile("song.sm", original);
            std::string failed;
            test::FileOpsProbe ops(
                [&](const test::FileOpsProbe::Call& call) {
                    if (call.number != first && call.number != second) return std::error_code();
                    failed += call.what + "; ";
                    return error;
                },
                fs);
            const int status = run(ops, messages);
            ++runs;
            SCOPED_TRACE("which were " + failed);
            ASSERT_NE(status, kExitSuccess);
            const std::optional<std::string> chart = fs.contents("song.sm");
            ASSERT_TRUE(chart == original || chart == final);
            // What tells the next run how to finish stays while what it
            // covers is there: no sealed file without the plain file.
            if (chart == original && !fs.contents("song_1.dat")) {
                for (int n = 2; n <= 6; ++n) ASSERT_FALSE(fs.contents("song_" + std::to_string(n) + ".dat")) << n;
            }
            const int rerun = run(fs, messages);
            if (rerun != kExitSuccess) {
                ASSERT_EQ(chart, final) << "an unfinished run taken for a finished one: " << messages;
                ASSERT_NE(messages.find("already holds sealed charts"), std::string::npos) << messages;
            }
            ASSERT_EQ(folderOf(fs), finalFolder) << messages;
        }
    }
    std::cout << runs << " runs with two failed operations\n";
    RecordProperty("runs", static_cast<int>(runs));
    EXPECT_GT(runs, 500);
}

}  // namespace
}  // namespace chartseal
