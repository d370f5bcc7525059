// The built programs, run as an operator's script runs them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::readFile;
using test::runProgram;

class EndToEnd : public test::TempDirTest {
protected:
    std::string fiveCharts()
    {
        return test::songHeader() + chartBlock("Beginner") + chartBlock("Easy") + chartBlock("Medium") +
               chartBlock("Hard") + chartBlock("Challenge");
    }
};

TEST_F(EndToEnd, NamesWithSpacesAndFoldersAreUsedWhole)
{
    std::filesystem::create_directories(at("my songs"));
    struct Case {
        std::string name;  // as typed
        std::string folder;
    };
    for (const Case& c : {Case{"glass harbour", ""}, Case{"my songs/glass harbour", "my songs/"}, Case{"", ""}}) {
        test::writeFile(at(c.name + ".sm"), fiveCharts());
        const test::ProcessResult r = runProgram(CHARTSEAL_BIN, dir(), c.name + "\n");
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, c.name + ".sm\n234510\n");
        EXPECT_EQ(r.err, "Press any key to continue . . .\nPress any key to continue . . .\n");
        EXPECT_FALSE(test::exists(at(c.name + "_1.dat")));
        for (int n = 2; n <= 6; ++n) EXPECT_TRUE(test::exists(at(c.name + "_" + std::to_string(n) + ".dat")));
        EXPECT_EQ(readFile(at(c.name + ".sm")),
                  test::songHeader() + chartBlock("Easy") + "\n" + chartBlock("Medium") + "\n");
    }
}

TEST_F(EndToEnd, AMissingChartExitsWith255AndCreatesNothing)
{
    const test::ProcessResult r = runProgram(CHARTSEAL_BIN, dir(), "absent\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "absent.sm\n");
    EXPECT_EQ(r.err, "Press any key to continue . . .\nchartseal: absent.sm: No such file or directory\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir()));
}

TEST_F(EndToEnd, InputThatEndsAfterTheNameDoesNotHang)
{
    test::writeFile(at("song.sm"), fiveCharts());
    // No line feed, no answers for the pauses: the run must finish at once.
    const test::ProcessResult r = runProgram("timeout", dir(), "song", "10 " CHARTSEAL_BIN);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "song.sm\n234510\n");
}

TEST_F(EndToEnd, UnsealingGivesBackEachSealedSlot)
{
    test::writeFile(at("song.sm"), fiveCharts());
    ASSERT_EQ(runProgram(CHARTSEAL_BIN, dir(), "song\n").status, 0);
    const struct {
        const char* file;
        std::string slot;
    } sealedFiles[] = {{"song_2.dat", ""},
                       {"song_3.dat", chartBlock("Hard")},
                       {"song_4.dat", chartBlock("Challenge")},
                       {"song_5.dat", chartBlock("Beginner")},
                       {"song_6.dat", ""}};
    for (const auto& s : sealedFiles) {
        const test::ProcessResult r = runProgram(CHARTUNSEAL_BIN, dir(), "", s.file);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, s.slot) << s.file;
    }
    const test::ProcessResult all = runProgram(CHARTUNSEAL_BIN, dir(), "", "song_3.dat song_4.dat");
    EXPECT_EQ(all.out, chartBlock("Hard") + chartBlock("Challenge"));

    const test::ProcessResult missing = runProgram(CHARTUNSEAL_BIN, dir(), "", "song_3.dat nope.dat");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, chartBlock("Hard"));
    EXPECT_EQ(missing.err, "chartunseal: nope.dat: No such file or directory\n");
}

TEST_F(EndToEnd, TheBundledExampleIsSealedAsDocumented)
{
    std::filesystem::copy_file(CHARTSEAL_EXAMPLE, at("song.sm"));
    const std::string original = readFile(at("song.sm")).value();
    const test::ProcessResult r = runProgram(CHARTSEAL_BIN, dir(), "song\n\n\n");
    ASSERT_EQ(r.status, 0) << r.err;
    // The example holds Beginner, Easy, Medium, Hard and Challenge charts for
    // two play styles: Easy and Medium stay, the rest is sealed.
    EXPECT_EQ(r.out, "song.sm\n234510\n");
    const std::string kept = readFile(at("song.sm")).value();
    const test::ProcessResult unsealed =
        runProgram(CHARTUNSEAL_BIN, dir(), "", "song_2.dat song_3.dat song_4.dat song_5.dat song_6.dat");
    EXPECT_EQ(kept.size() + unsealed.out.size(), original.size() + 2);
    EXPECT_NE(kept.find("     Medium:"), std::string::npos);
    EXPECT_EQ(kept.find("     Hard:"), std::string::npos);
    EXPECT_NE(unsealed.out.find("     Beginner:"), std::string::npos);
}

}  // namespace
}  // namespace chartseal
