// One run at a time, a chart that changes under the run, the leftovers of a
// run that did not finish, and stop signals during the output stage.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "run/RunDriver.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::readFile;
namespace fs = std::filesystem;

class RunSafety : public test::TempDirTest {
protected:
    const std::string header = test::songHeader();
    const std::string original = test::fiveCharts();
    const std::string final = test::fiveChartsPlain();

    int runTool(FileOps& ops = systemFileOps(), std::function<void()> secondPause = {})
    {
        std::istringstream in(at("song") + "\n");
        std::ostringstream out;
        err.str("");
        int pauses = 0;
        RunDriver driver(in, out, err, [&] {
            if (++pauses == 2 && secondPause) secondPause();
        }, ops);
        const int status = driver.run();
        interruptedBy = driver.interruptedBy();
        return status;
    }
    std::string outName(int n) { return at("song_" + std::to_string(n) + ".dat"); }
    void expectFinal()
    {
        EXPECT_EQ(readFile(at("song.sm")), final);
        EXPECT_FALSE(test::exists(outName(1)));
        EXPECT_EQ(readFile(outName(2)), "");
        EXPECT_EQ(readFile(outName(3)), test::sealed(chartBlock("Hard")));
        EXPECT_EQ(readFile(outName(4)), test::sealed(chartBlock("Challenge")));
        EXPECT_EQ(readFile(outName(5)), test::sealed(chartBlock("Beginner")));
        EXPECT_EQ(readFile(outName(6)), "");
    }
    // Only the chart is there, or with empty sealed files when there were.
    void expectUntouched(const std::string& chart, bool emptySealedFiles = false)
    {
        EXPECT_EQ(readFile(at("song.sm")), chart);
        EXPECT_FALSE(test::exists(outName(1)));
        for (int n = 2; n <= 6; ++n) {
            if (emptySealedFiles) {
                EXPECT_EQ(readFile(outName(n)), "") << n;
            } else {
                EXPECT_FALSE(test::exists(outName(n))) << n;
            }
        }
    }
    // The folder holding only the chart, and empty sealed files if asked.
    void freshFolder(bool emptySealedFiles)
    {
        fs::remove_all(dir());
        fs::create_directory(dir());
        test::writeFile(at("song.sm"), original);
        if (emptySealedFiles) {
            for (int n = 2; n <= 6; ++n) test::writeFile(outName(n), "");
        }
    }
    void appendToChart(const std::string& line)
    {
        std::ofstream chart(at("song.sm"), std::ios::binary | std::ios::app);
        chart.write(line.data(), static_cast<std::streamsize>(line.size()));
        ASSERT_TRUE(chart.good());
    }
    std::ostringstream err;
    int interruptedBy = 0;
};

TEST_F(RunSafety, AChartLockedByAnotherRunIsLeftAlone)
{
    test::writeFile(at("song.sm"), original);
    // Another run's lock, taken as a run takes it.
    File other = test::openForReading(at("song.sm"));
    FileLock otherLock;
    ASSERT_TRUE(otherLock.tryLock(other));
    EXPECT_EQ(runTool(), kExitOutputFailed);
    EXPECT_EQ(err.str(), "chartseal: " + at("song.sm") +
                             ": another chartseal run is sealing it; try again when it has finished\n");
    expectUntouched(original);
    otherLock.release();
    other.close();
    EXPECT_EQ(runTool(), kExitSuccess) << err.str();
    expectFinal();
}

TEST_F(RunSafety, AnEditDuringThePauseThatKeepsTheOrderGoesOn)
{
    test::writeFile(at("song.sm"), original);
    EXPECT_EQ(runTool(systemFileOps(), [&] { appendToChart("// edited during the pause\n"); }), kExitSuccess)
        << err.str();
    EXPECT_EQ(readFile(at("song.sm")), final);
    EXPECT_EQ(readFile(outName(4)), test::sealed(chartBlock("Challenge") + "// edited during the pause\n"));
}

TEST_F(RunSafety, AnEditDuringThePauseThatChangesTheOrderIsRefused)
{
    test::writeFile(at("song.sm"), original);
    const std::string edited = header + chartBlock("Easy") + chartBlock("Medium") + chartBlock("Hard");
    // Saved the way editors save: a new file renamed over the old.
    EXPECT_EQ(runTool(systemFileOps(), [&] {
        test::writeFile(at("song.sm.new"), edited);
        fs::rename(at("song.sm.new"), at("song.sm"));
    }),
              kExitOutputFailed);
    EXPECT_EQ(err.str(), "chartseal: " + at("song.sm") + ": changed after its survey; run chartseal again\n");
    expectUntouched(edited);
}

struct Change {
    enum How { append, save, shrink };
    const char* name;
    const char* when;  // the operation and output before which the chart changes
    How how;
    friend void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }
};

class ChangedWhileSealing : public RunSafety, public ::testing::WithParamInterface<Change> {};

TEST_P(ChangedWhileSealing, TheChartIsNotReplacedAndKeepsTheChange)
{
    const std::string changed = original + "#APPENDED:while sealing;\n";
    freshFolder(false);
    bool saveRefused = false;
    test::FileOpsProbe ops(test::onceBefore(GetParam().when, [&] {
        switch (GetParam().how) {
        case Change::save: {
            test::writeFile(at("saved"), changed);
            std::error_code ec;
            fs::rename(at("saved"), at("song.sm"), ec);
            // Windows replaces no file that is open, as the run's chart is:
            // there the editor's save fails, and it keeps its text.
            saveRefused = static_cast<bool>(ec);
            break;
        }
        case Change::append: appendToChart("#APPENDED:while sealing;\n"); break;
        case Change::shrink: fs::resize_file(at("song.sm"), header.size()); break;
        }
    }));
    const int status = runTool(ops);
    ASSERT_GT(std::count_if(ops.calls().begin(), ops.calls().end(),
                            [&](const std::string& call) { return call.starts_with(GetParam().when); }),
              0);
    if (saveRefused) {
        EXPECT_EQ(status, kExitSuccess) << err.str();
        expectFinal();
        return;
    }
    EXPECT_EQ(status, kExitOutputFailed);
    EXPECT_EQ(err.str(), "chartseal: " + at("song.sm") + ": changed while it was being sealed; run chartseal again\n");
    expectUntouched(GetParam().how == Change::shrink ? header : changed);
}

INSTANTIATE_TEST_SUITE_P(Moments, ChangedWhileSealing,
                         ::testing::Values(Change{"AppendedAtTheFirstSealedByte", "write song_3.dat", Change::append},
                                           Change{"AppendedBeforeTheLastSync", "sync song_5.dat", Change::append},
                                           Change{"SavedByAnEditorWhileWriting", "write song_1.dat", Change::save},
                                           Change{"AppendedAfterThePartition", "statusInFolder song_1.dat", Change::append},
                                           Change{"AppendedWhileCreating", "createInFolder song_6.dat", Change::append},
                                           Change{"ShrunkBeforeTheSealedFiles", "createInFolder song_3.dat", Change::shrink},
                                           Change{"ShrunkWhileBeingCopied", "write song_1.dat", Change::shrink}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunSafety, TheLeftoversOfARunThatStoppedBeforeTheReplacementAreSealedAgain)
{
    // Killed while writing the plain file; and killed while sealing, once
    // the plain file was whole.
    for (const bool sealing : {false, true}) {
        SCOPED_TRACE(sealing ? "while sealing" : "while writing the plain file");
        freshFolder(false);
        test::writeFile(outName(1), sealing ? final : final.substr(0, 20));
        if (sealing) {
            test::writeFile(outName(3), test::sealed(chartBlock("Hard")));
            test::writeFile(outName(4), test::sealed(chartBlock("Challenge")).substr(0, 9) + std::string(40, '\0'));
            test::writeFile(outName(6), "");
        }
        EXPECT_EQ(runTool(), kExitSuccess) << err.str();
        EXPECT_EQ(err.str(),
                  "chartseal: " + outName(1) + ": left by a run that did not finish; sealing again from the chart\n");
        expectFinal();
    }
}

TEST_F(RunSafety, ARunThatStoppedInTheMiddleOfTheReplacementIsFinished)
{
    test::writeFile(at("song.sm"), original);
    ASSERT_EQ(runTool(), kExitSuccess);
    // What a cut in the middle of the rename leaves: both names for the new chart.
    fs::create_hard_link(at("song.sm"), outName(1));
    EXPECT_EQ(runTool(), kExitOutputFailed);
    EXPECT_EQ(err.str(), "chartseal: " + outName(1) + ": left by a run that stopped after replacing the chart; removed\n"
                         "chartseal: " + outName(3) + ": already holds sealed charts; to seal the song again, put it "
                         "back first with: chartunseal --restore -- " + at("song") + "\n");
    expectFinal();
}

struct Stop {
    test::StopRequest request;
    const char* when;
    int signal() const { return request.number; }
    friend void PrintTo(const Stop& s, std::ostream* os) { *os << s.request.name << " before " << s.when; }
};

// Each of the system's stop requests, before output steps of every kind.
std::vector<Stop> stops()
{
    const char* moments[] = {"createInFolder song_3.dat", "write song_1.dat", "write song_4.dat", "sync song_5.dat",
                             "sync song_4.dat"};
    const std::vector<test::StopRequest> requests = test::stopRequests();
    std::vector<Stop> all;
    for (std::size_t i = 0; i < std::size(moments); ++i) all.push_back({requests[i % requests.size()], moments[i]});
    return all;
}

class StopSignal : public RunSafety, public ::testing::WithParamInterface<Stop> {};

TEST_P(StopSignal, BeforeTheReplacementUndoesTheRunAndEndsByTheSignal)
{
    freshFolder(false);
    test::FileOpsProbe ops(test::onceBefore(GetParam().when, [] { test::sendStopRequest(GetParam().signal()); }));
    EXPECT_EQ(runTool(ops), 128 + GetParam().signal()) << err.str();
    EXPECT_EQ(interruptedBy, GetParam().signal());
    EXPECT_EQ(err.str(), "");
    expectUntouched(original);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::ValuesIn(stops()),
                         [](const auto& info) { return std::string(info.param.request.name) + std::to_string(info.index); });

TEST_F(RunSafety, AStopSignalAtTheReplacementLetsTheRunFinish)
{
    test::writeFile(at("song.sm"), original);
    // Past the last look for stop requests: the run goes on to its end.
    test::FileOpsProbe ops(test::onceBefore("renameInFolder", [] {
        test::sendStopRequest(test::stopRequests().front().number);
    }));
    EXPECT_EQ(runTool(ops), kExitSuccess) << err.str();
    EXPECT_EQ(interruptedBy, 0);
    expectFinal();
}

}  // namespace
}  // namespace chartseal
