// The output stage: what the chart file and the sealed files hold afterwards,
// and what a failure leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "ReferenceModel.h"
#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "run/RunDriver.h"
#include "chart/ChartStream.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::readFile;

using Output = test::SongFolderTest;

struct OutcomeRow {
    const char* plainSecond;
    std::vector<std::string> charts;  // in file order
    std::string keptSlot;             // difficulty whose chart stays plain after slot 1, or ""
    friend void PrintTo(const OutcomeRow& row, std::ostream* os) { *os << row.plainSecond; }
};

class OutcomeTable : public Output, public ::testing::WithParamInterface<OutcomeRow> {};

TEST_P(OutcomeTable, ChartAndSealedFilesHoldExactlyTheirBytes)
{
    const OutcomeRow& row = GetParam();
    const std::map<std::string, int> slotOf{{"Easy", 1},      {"Medium", 2},   {"Hard", 3},
                                            {"Challenge", 4}, {"Beginner", 5}, {"Edit", 6}};
    std::string file = test::songHeader();
    std::array<std::string, 7> slot;
    slot[1] = file;
    for (const std::string& d : row.charts) {
        file += chartBlock(d);
        slot[slotOf.at(d)] += chartBlock(d);
    }
    test::writeFile(at("song.sm"), file);

    ASSERT_EQ(runTool(), kExitSuccess) << err.str();
    EXPECT_EQ(err.str(), "");

    const int kept = row.keptSlot.empty() ? 0 : slotOf.at(row.keptSlot);
    EXPECT_EQ(chart(), slot[1] + "\n" + (kept ? slot[kept] + "\n" : ""));
    EXPECT_FALSE(test::exists(at("song_1.dat")));
    for (int n = 2; n <= 6; ++n) {
        const bool isSealed = kept >= 2 && n > kept;
        EXPECT_EQ(outFile(n), isSealed ? test::sealed(slot[n]) : "") << "file " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OutcomeTable,
    ::testing::Values(OutcomeRow{"Medium", {"Beginner", "Easy", "Medium", "Hard", "Challenge", "Edit"}, "Medium"},
                      OutcomeRow{"Hard", {"Hard", "Easy", "Edit", "Challenge", "Beginner"}, "Hard"},
                      OutcomeRow{"Challenge", {"Easy", "Beginner", "Challenge", "Edit"}, "Challenge"},
                      OutcomeRow{"Beginner", {"Edit", "Beginner", "Easy"}, "Beginner"},
                      OutcomeRow{"Edit", {"Easy", "Edit"}, "Edit"},
                      OutcomeRow{"OnlyEasy", {"Easy"}, ""},
                      OutcomeRow{"NothingNamed", {}, ""},
                      OutcomeRow{"MediumWithoutEasy", {"Challenge", "Medium"}, "Medium"}),
    [](const auto& info) { return std::string(info.param.plainSecond); });

class LastLineUnended : public Output, public ::testing::WithParamInterface<const char*> {};

TEST_P(LastLineUnended, GetsItsLineFeedInWhicheverSlotItEnds)
{
    // The chart whose last line has no line feed is the given difficulty's.
    std::vector<std::string> order{"Beginner", "Easy", "Medium", "Hard", "Challenge", "Edit"};
    std::rotate(order.begin(), std::find(order.begin(), order.end(), GetParam()) + 1, order.end());
    std::string file = test::songHeader();
    for (const std::string& d : order) file += chartBlock(d);
    file.pop_back();
    test::writeFile(at("song.sm"), file);

    ASSERT_EQ(runTool(), kExitSuccess) << err.str();
    const test::ModelResult model = test::modelRun(file);
    EXPECT_EQ(chart(), model.slots[1] + "\n" + model.slots[2] + "\n");
    for (int n = 3; n <= 6; ++n) EXPECT_EQ(outFile(n), test::sealed(model.slots[n])) << "file " << n;
}

INSTANTIATE_TEST_SUITE_P(InEachSlot, LastLineUnended,
                         ::testing::Values("Easy", "Medium", "Hard", "Challenge", "Beginner", "Edit"));

TEST_F(Output, LinesLongerThanTheReadBufferAreKeptWholeInPlainAndSealedSlots)
{
    const std::string longLine(3 * ChartStream::kDefaultBufferSize + 11, 'x');
    const std::string easy = chartBlock("Easy") + longLine + "\n";
    const std::string hard = chartBlock("Hard") + longLine + "\r\n" + longLine;
    test::writeFile(at("song.sm"), test::songHeader() + longLine + "\n" + easy + chartBlock("Medium") + hard);
    ASSERT_EQ(runTool(), kExitSuccess) << err.str();
    EXPECT_EQ(chart(), test::songHeader() + longLine + "\n" + easy + "\n" + chartBlock("Medium") + "\n");
    EXPECT_EQ(outFile(3), test::sealed(hard + "\n"));
}

TEST_F(Output, DifficultiesWithoutSeparatorsAddTwoLineFeeds)
{
    const std::string file = "#TITLE:x;\n     Easy:\n     Hard:\n0000\n";
    test::writeFile(at("song.sm"), file);
    ASSERT_EQ(runTool(), kExitSuccess);
    EXPECT_EQ(chart(), file + "\n\n");
    for (int n = 2; n <= 6; ++n) EXPECT_EQ(outFile(n), "");
}

TEST_F(Output, ASealedFileThatCannotBeWrittenLeavesTheChartAndRemovesTheOutputs)
{
    const std::string file = test::songHeader() + chartBlock("Easy") + chartBlock("Medium") + chartBlock("Challenge");
    test::writeFile(at("song.sm"), file);
    // As on a full disk.
    test::FileOpsProbe ops([](const test::FileOpsProbe::Call& call) {
        return call.is("write song_4.dat") ? std::make_error_code(std::errc::no_space_on_device) : std::error_code();
    });
    std::istringstream in(at("song") + "\n");
    std::ostringstream out;
    EXPECT_EQ(RunDriver(in, out, err, [] {}, ops).run(), kExitOutputFailed);
    EXPECT_EQ(err.str(), "chartseal: " + at("song_4.dat") + ": cannot write: No space left on device\n");
    EXPECT_EQ(chart(), file);
    EXPECT_EQ(createdOutputs(), 0);
}

TEST_F(Output, AnOutputFileThatCannotBeCreatedChangesNothing)
{
    const std::string file = test::songHeader() + chartBlock("Easy") + chartBlock("Hard");
    test::writeFile(at("song.sm"), file);
    std::filesystem::create_directory(at("song_1.dat"));

    EXPECT_EQ(runTool(), kExitOutputFailed);
    const std::string message = err.str();
    EXPECT_NE(message.find(at("song_1.dat") + ": is a directory"), std::string::npos) << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1);
    EXPECT_EQ(chart(), file);
    EXPECT_TRUE(std::filesystem::is_directory(at("song_1.dat")));
    EXPECT_EQ(createdOutputs(), 1);
}

TEST_F(Output, ASecondRunRefusesToEmptySealedFiles)
{
    const std::string file = test::songHeader() + chartBlock("Easy") + chartBlock("Medium") + chartBlock("Hard");
    test::writeFile(at("song.sm"), file);
    ASSERT_EQ(runTool(), kExitSuccess);
    const std::string prepared = chart();
    const std::string sealedHard = outFile(3);
    ASSERT_FALSE(sealedHard.empty());

    EXPECT_EQ(runTool(), kExitOutputFailed);
    EXPECT_EQ(err.str(), "chartseal: " + at("song_3.dat") + ": already holds sealed charts; to seal the song again, put it back first with: chartunseal --restore -- " + at("song") + "\n");
    EXPECT_EQ(chart(), prepared);
    EXPECT_EQ(outFile(3), sealedHard);
    EXPECT_FALSE(test::exists(at("song_1.dat")));
}

TEST_F(Output, SomeEmptySealedFilesAreReplacedByNewOnes)
{
    test::writeFile(at("song.sm"), chartBlock("Easy") + chartBlock("Medium") + chartBlock("Hard"));
    for (const int n : {3, 6}) test::writeFile(at("song_" + std::to_string(n) + ".dat"), "");
    ASSERT_EQ(runTool(), kExitSuccess) << err.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(outFile(3), test::sealed(chartBlock("Hard")));
    EXPECT_EQ(outFile(6), "");
}

}  // namespace
}  // namespace chartseal
