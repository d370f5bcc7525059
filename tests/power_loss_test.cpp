// A power cut after every file operation of a run: each state the disk may
// be left in holds the chart whole, and a new run from it ends with exactly
// the result of a run that was never cut.
#include <gtest/gtest.h>

#include <sstream>

#include "MemoryFileSystem.h"
#include "TestSupport.h"
#include "output/Permissions.h"
#include "console/ExitStatus.h"
#include "run/RunDriver.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::MemoryFileSystem;
using State = MemoryFileSystem::State;
using test::DiskState;
using test::statesAfterPowerCut;

struct Scenario {
    const char* name;
    std::uint32_t chartMode;
    std::vector<std::string> emptyBefore;  // empty files at output names before the run
    bool dropBox = false;                   // a folder the runner may write but not read
    friend void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
};

class PowerLoss : public ::testing::TestWithParam<Scenario> {
protected:
    const std::string original = test::fiveCharts();
    const std::string final = test::fiveChartsPlain();
    const std::map<std::string, std::string> sealedFiles = [] {
        std::map<std::string, std::string> files = test::fiveChartsSealedFolder();
        files.erase("song.sm");
        return files;
    }();

    MemoryFileSystem startingFolder()
    {
        MemoryFileSystem fs;
        fs.addFile("song.sm", original, GetParam().chartMode);
        for (const std::string& name : GetParam().emptyBefore) fs.addFile(name, "");
        if (GetParam().dropBox) fs.denyReadingFolder();
        return fs;
    }
    static int run(MemoryFileSystem& fs, std::string& messages)
    {
        std::istringstream in("song\n");
        std::ostringstream out, err;
        const int status = RunDriver(in, out, err, [] {}, fs).run();
        messages = err.str();
        return status;
    }
    // The folder holds what a complete run leaves, and nothing else, each
    // file with the chart's mode.
    void expectFinal(const MemoryFileSystem& fs)
    {
        std::vector<std::string> expectedNames{"song.sm"};
        for (const auto& entry : sealedFiles) expectedNames.push_back(entry.first);
        std::sort(expectedNames.begin(), expectedNames.end());
        ASSERT_EQ(fs.names(), expectedNames);
        ASSERT_EQ(fs.contents("song.sm"), final);
        for (const auto& [name, bytes] : sealedFiles) ASSERT_EQ(fs.contents(name), bytes) << name;
        for (const std::string& name : expectedNames) {
            ASSERT_EQ(fs.mode(name), outputAttributeBits(GetParam().chartMode)) << name;
        }
    }
    // No file the run made has a permission bit that the chart lacks.
    void expectNoWiderMode(const MemoryFileSystem& fs)
    {
        for (const std::string& name : fs.names()) {
            const bool before = std::count(GetParam().emptyBefore.begin(), GetParam().emptyBefore.end(), name) > 0;
            if (name == "song.sm" || before) continue;
            const std::uint32_t allowed = GetParam().chartMode | outputAttributeBits(GetParam().chartMode);
            ASSERT_EQ(*fs.mode(name) & ~allowed, 0u) << name << " is wider than the chart";
        }
    }
};

TEST_P(PowerLoss, EveryStateHoldsTheChartAndARerunEndsWithTheFinalResult)
{
    MemoryFileSystem whole = startingFolder();
    std::string messages;
    ASSERT_EQ(run(whole, messages), kExitSuccess) << messages;
    expectFinal(whole);
    const long operations = whole.operations();

    long statesChecked = 0, zeroFilled = 0;
    for (long k = 1; k <= operations; ++k) {
        SCOPED_TRACE("power cut after operation " + std::to_string(k));
        MemoryFileSystem cut = startingFolder();
        cut.keepStateAfter(k);
        ASSERT_EQ(run(cut, messages), kExitSuccess) << messages;
        cut.finish();
        ASSERT_TRUE(cut.kept().has_value());

        for (const DiskState& state : statesAfterPowerCut(*cut.kept())) {
            SCOPED_TRACE(state.what);
            MemoryFileSystem after(state.disk);
            if (GetParam().dropBox) after.denyReadingFolder();
            const std::optional<std::string> chart = after.contents("song.sm");
            ASSERT_TRUE(chart == original || chart == final) << "the chart holds neither its old nor its new bytes";
            expectNoWiderMode(after);
            if (state.what.find("zero-filled") != std::string::npos) ++zeroFilled;
            if (chart == final) {
                for (const auto& [name, bytes] : sealedFiles) {
                    ASSERT_EQ(after.contents(name), bytes) << "replaced, but " << name << " is not complete";
                }
            }
            const int status = run(after, messages);
            if (status != kExitSuccess) {
                // The only refusal allowed: the chart is already sealed.
                ASSERT_EQ(status, kExitOutputFailed);
                ASSERT_EQ(chart, final) << messages;
                ASSERT_NE(messages.find("already holds sealed charts"), std::string::npos) << messages;
            }
            expectFinal(after);
            ++statesChecked;
        }
    }
    std::cout << "power cuts after " << operations << " operations, " << statesChecked << " disk states checked ("
              << zeroFilled << " with unsynced data zero-filled)\n";
    RecordProperty("operations", static_cast<int>(operations));
    RecordProperty("states", static_cast<int>(statesChecked));
    RecordProperty("zeroFilled", static_cast<int>(zeroFilled));
    EXPECT_GT(statesChecked, 4 * operations);
}

INSTANTIATE_TEST_SUITE_P(Folders, PowerLoss,
                         ::testing::Values(Scenario{"FreshFolder", 0640, {}},
                                           Scenario{"ReadOnlyChart", 0444, {}},
                                           Scenario{"EmptySealedFilesBefore", 0600, {"song_2.dat", "song_6.dat"}},
                                           Scenario{"FiveEmptySealedFilesBefore",
                                                    0600,
                                                    {"song_2.dat", "song_3.dat", "song_4.dat", "song_5.dat",
                                                     "song_6.dat"}},
                                           Scenario{"DropBox", 0640, {}, true},
                                           Scenario{"DropBoxWithFiveEmptySealedFiles",
                                                    0600,
                                                    {"song_2.dat", "song_3.dat", "song_4.dat", "song_5.dat",
                                                     "song_6.dat"},
                                                    true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chartseal
