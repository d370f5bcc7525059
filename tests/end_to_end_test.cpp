// The built programs, run as an operator's script runs them, on either
// system: answers piped in, output and errors kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "ReferenceModel.h"
#include "TestSupport.h"
#include "console/ExitStatus.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::readFile;
using test::runProgram;
namespace fs = std::filesystem;

const std::string kPauses = "Press any key to continue . . .\nPress any key to continue . . .\n";

class EndToEnd : public test::TempDirTest {
protected:
    static std::string fiveCharts() { return test::fiveCharts(); }
    static std::string fiveChartsSealed() { return test::fiveChartsPlain(); }
    // The folder holds exactly the result of sealing fiveCharts() as base.
    void expectSealed(const std::string& base)
    {
        EXPECT_EQ(readFile(at(base + ".sm")), fiveChartsSealed()) << base;
        EXPECT_FALSE(test::exists(at(base + "_1.dat"))) << base;
        const std::string sealedFiles[] = {"", test::sealed(chartBlock("Hard")), test::sealed(chartBlock("Challenge")),
                                           test::sealed(chartBlock("Beginner")), ""};
        for (int n = 2; n <= 6; ++n) {
            EXPECT_EQ(readFile(at(base + "_" + std::to_string(n) + ".dat")), sealedFiles[n - 2]) << base << " file " << n;
        }
    }
};

TEST_F(EndToEnd, NamesWithSpacesFoldersAndAnyLettersAreUsedWhole)
{
    fs::create_directories(test::pathOf(at("my songs")));
    for (const std::string name : {"glass harbour", "my songs/glass harbour", "", "Café", "桜の歌 (edit)"}) {
        test::writeFile(at(name + ".sm"), fiveCharts());
        const test::ProcessResult r = runProgram(CHARTSEAL_BIN, dir(), name + "\n");
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_EQ(r.out, name + ".sm\n234510\n");
        EXPECT_EQ(r.err, kPauses);
        expectSealed(name);
    }
}

TEST_F(EndToEnd, AMissingChartEndsWithTheUnreadableStatusAndCreatesNothing)
{
    const test::ProcessResult r = runProgram(CHARTSEAL_BIN, dir(), "absent\n");
    EXPECT_EQ(r.status, test::statusAsSeen(kExitChartUnreadable));
    EXPECT_EQ(r.out, "absent.sm\n");
    EXPECT_EQ(r.err, "Press any key to continue . . .\nchartseal: absent.sm: " + test::noSuchFile() + "\n");
    EXPECT_TRUE(fs::is_empty(dir()));
}

TEST_F(EndToEnd, InputThatEndsAfterTheNameDoesNotHang)
{
    test::writeFile(at("song.sm"), fiveCharts());
    // No line feed, no answers for the pauses: the run must finish at once
    // (the launcher stops it after a minute, with status 124).
    const test::ProcessResult r = runProgram(CHARTSEAL_BIN, dir(), "song");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "song.sm\n234510\n");
}

TEST_F(EndToEnd, SealedFilesAlreadyThereAreRefusedAndKept)
{
    test::writeFile(at("song.sm"), fiveCharts());
    ASSERT_EQ(runProgram(CHARTSEAL_BIN, dir(), "song\n").status, 0);
    const test::ProcessResult again = runProgram(CHARTSEAL_BIN, dir(), "song\n\n\n");
    EXPECT_EQ(again.status, kExitOutputFailed);
    EXPECT_EQ(again.err, kPauses + "chartseal: song_3.dat: already holds sealed charts; to seal the song again, put it back first with: chartunseal --restore -- song\n");
    expectSealed("song");
}

// Five empty sealed files and no plain file: what a run with nothing to
// seal leaves, or placeholders.
struct EmptySealedFilesCase {
    const char* name;
    std::string chart;
    int status;
    std::string err;  // after the pauses
    friend void PrintTo(const EmptySealedFilesCase& c, std::ostream* os) { *os << c.name; }
};

class FiveEmptySealedFiles : public EndToEnd, public ::testing::WithParamInterface<EmptySealedFilesCase> {};

TEST_P(FiveEmptySealedFiles, AreLeftoversUnlessTheRunWouldSealNothing)
{
    const EmptySealedFilesCase& c = GetParam();
    test::writeFile(at("song.sm"), c.chart);
    for (int n = 2; n <= 6; ++n) test::writeFile(at("song_" + std::to_string(n) + ".dat"), "");
    const test::ProcessResult r = runProgram(CHARTSEAL_BIN, dir(), "song\n\n\n");
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err, kPauses + c.err);
    if (c.status == 0) {
        expectSealed("song");
    } else {
        EXPECT_EQ(readFile(at("song.sm")), c.chart);
        for (int n = 2; n <= 6; ++n) EXPECT_EQ(readFile(at("song_" + std::to_string(n) + ".dat")), "") << n;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir()), {}), 6);
}

INSTANTIATE_TEST_SUITE_P(
    Charts, FiveEmptySealedFiles,
    ::testing::Values(EmptySealedFilesCase{"WithChartsToSeal", test::fiveCharts(), 0, ""},
                      EmptySealedFilesCase{"WithNothingToSeal",
                                           test::songHeader() + chartBlock("Easy") + chartBlock("Medium"),
                                           kExitOutputFailed,
                                           "chartseal: song.sm: is sealed already (its sealed files song_2.dat to "
                                           "song_6.dat are there); to change it, put it back first with: "
                                           "chartunseal --restore -- song\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, ADirectoryAtASealedNameIsRefusedBeforeAnythingChanges)
{
    test::writeFile(at("song.sm"), fiveCharts());
    fs::create_directory(test::pathOf(at("song_4.dat")));
    const test::ProcessResult r = runProgram(CHARTSEAL_BIN, dir(), "song\n\n\n");
    EXPECT_EQ(r.status, kExitOutputFailed);
    EXPECT_EQ(r.err, kPauses + "chartseal: song_4.dat: is a directory, not a regular file\n");
    EXPECT_EQ(readFile(at("song.sm")), fiveCharts());
    EXPECT_TRUE(fs::is_directory(test::pathOf(at("song_4.dat"))));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir()), {}), 2);
}

TEST_F(EndToEnd, OfTwoRunsAtOnceOneSealsAndTheOtherIsRefused)
{
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fs::remove_all(dir());
        fs::create_directory(dir());
        test::writeFile(at("song.sm"), fiveCharts());
        auto first = std::make_unique<test::Process>(CHARTSEAL_BIN, dir(), "song\n\n\n");
        auto second = std::make_unique<test::Process>(CHARTSEAL_BIN, dir(), "song\n\n\n");
        const test::ProcessResult a = first->wait(), b = second->wait();
        EXPECT_EQ(std::min(a.status, b.status), 0) << a.err << b.err;
        EXPECT_EQ(std::max(a.status, b.status), kExitOutputFailed) << a.err << b.err;
        // Refused while the other seals, or after it: by the sealed files it
        // left, or by the chart it replaced after this one's survey.
        const std::string& refused = a.status == 0 ? b.err : a.err;
        EXPECT_TRUE(refused.find("another chartseal run is sealing it") != std::string::npos ||
                    refused.find("already holds sealed charts") != std::string::npos ||
                    refused.find("changed after its survey") != std::string::npos)
            << refused;
        expectSealed("song");
    }
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
        const test::ProcessResult r = runProgram(CHARTUNSEAL_BIN, dir(), "", {s.file});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, s.slot) << s.file;
    }
    const test::ProcessResult all = runProgram(CHARTUNSEAL_BIN, dir(), "", {"song_3.dat", "song_4.dat"});
    EXPECT_EQ(all.out, chartBlock("Hard") + chartBlock("Challenge"));

    const test::ProcessResult missing = runProgram(CHARTUNSEAL_BIN, dir(), "", {"song_3.dat", "nope.dat"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, chartBlock("Hard"));
    EXPECT_EQ(missing.err, "chartunseal: nope.dat: " + test::noSuchFile() + "\n");

    // A failing input is that file's failure, whatever its name, and the
    // files after it are still unsealed.
    const test::ProcessResult named =
        runProgram(CHARTUNSEAL_BIN, dir(), "", {"standard output.dat", "song_3.dat", "also missing.dat"});
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(named.out, chartBlock("Hard"));
    EXPECT_EQ(named.err, "chartunseal: standard output.dat: " + test::noSuchFile() + "\n" +
                             "chartunseal: also missing.dat: " + test::noSuchFile() + "\n");
}

TEST_F(EndToEnd, TheBundledExampleIsSealedToTheByte)
{
    fs::copy_file(CHARTSEAL_EXAMPLE, test::pathOf(at("song.sm")));
    const std::string original = readFile(at("song.sm")).value();
    const test::ProcessResult r = runProgram(CHARTSEAL_BIN, dir(), "song\n\n\n");
    ASSERT_EQ(r.status, 0) << r.err;
    // The example holds Beginner, Easy, Medium, Hard and Challenge charts for
    // two play styles: Easy and Medium stay, the rest is sealed. The tests'
    // own model of the partition and of the key give every expected byte.
    EXPECT_EQ(r.out, "song.sm\n234510\n");
    const test::ModelResult model = test::modelRun(original);
    EXPECT_EQ(readFile(at("song.sm")), model.slots[1] + "\n" + model.slots[2] + "\n");
    EXPECT_EQ(readFile(at("song_2.dat")), "");
    for (int n = 3; n <= 6; ++n) {
        EXPECT_EQ(readFile(at("song_" + std::to_string(n) + ".dat")), test::sealed(model.slots[n])) << n;
    }
    const test::ProcessResult unsealed =
        runProgram(CHARTUNSEAL_BIN, dir(), "", {"song_3.dat", "song_4.dat", "song_5.dat"});
    EXPECT_EQ(unsealed.out, model.slots[3] + model.slots[4] + model.slots[5]);
}

TEST_F(EndToEnd, RestoreGivesBackTheBundledExampleAndTheSameSealedFilesEachRoundTrip)
{
    fs::create_directories(test::pathOf(at("songs")));
    fs::copy_file(CHARTSEAL_EXAMPLE, test::pathOf(at("songs/glass harbour.sm")));
    test::writeFile(at("songs/-dash.sm"), fiveCharts());
    const std::string original = readFile(at("songs/glass harbour.sm")).value();
    std::map<std::string, std::optional<std::string>> firstSeal;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (const char* base : {"songs/glass harbour", "songs/-dash"}) {
            const test::ProcessResult sealing = runProgram(CHARTSEAL_BIN, dir(), std::string(base) + "\n\n\n");
            ASSERT_EQ(sealing.status, 0) << sealing.err;
        }
        for (int n = 2; n <= 6; ++n) {
            const std::string name = at("songs/glass harbour_" + std::to_string(n) + ".dat");
            if (round == 1) firstSeal[name] = readFile(name);
            EXPECT_EQ(readFile(name), firstSeal[name]) << name;
        }
        const test::ProcessResult restored =
            runProgram(CHARTUNSEAL_BIN, dir(), "", {"--restore", "--", "songs/glass harbour", "-dash-missing", "songs/-dash"});
        EXPECT_EQ(restored.status, 1);
        EXPECT_EQ(restored.out, "");
        EXPECT_EQ(restored.err, "chartunseal: -dash-missing.sm: " + test::noSuchFile() + "\n");
        EXPECT_EQ(readFile(at("songs/glass harbour.sm")), original);
        EXPECT_EQ(readFile(at("songs/-dash.sm")), fiveCharts());
        for (int n = 1; n <= 6; ++n) {
            EXPECT_FALSE(test::exists(at("songs/glass harbour_" + std::to_string(n) + ".dat"))) << n;
        }
    }
    const test::ProcessResult again = runProgram(CHARTUNSEAL_BIN, dir(), "", {"--restore", "songs/-dash"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "chartunseal: songs/-dash.sm: is not sealed: none of its sealed files songs/-dash_2.dat to "
                         "songs/-dash_6.dat is there\n");
    EXPECT_EQ(readFile(at("songs/-dash.sm")), fiveCharts());

    const test::ProcessResult help = runProgram(CHARTUNSEAL_BIN, dir(), "", {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("chartunseal --restore [--] BASE..."), std::string::npos) << help.out;
    const test::ProcessResult usage = runProgram(CHARTUNSEAL_BIN, dir(), "", {"--restore"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.err, "chartunseal: no song given; try 'chartunseal --help'\n");
}

// chartunseal's command line as users of command-line tools expect it.
struct UnsealUsage {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* outStart;  // what standard output begins with
    std::string err;       // standard error, whole
};

class UnsealCommandLine : public EndToEnd, public ::testing::WithParamInterface<UnsealUsage> {};

TEST_P(UnsealCommandLine, AnswersAsDocumented)
{
    const UnsealUsage& u = GetParam();
    const test::ProcessResult r = runProgram(CHARTUNSEAL_BIN, dir(), "", u.args);
    EXPECT_EQ(r.status, u.status) << r.err;
    EXPECT_EQ(r.out.rfind(u.outStart, 0), 0u) << r.out;
    EXPECT_EQ(r.err, u.err);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, UnsealCommandLine,
    ::testing::Values(
        UnsealUsage{"ShortHelp", {"-h"}, 0, "usage: chartunseal", ""},
        UnsealUsage{"HelpWinsOverAnError", {"--bogus", "--help"}, 0, "usage: chartunseal", ""},
        UnsealUsage{"HelpWinsOverVersion", {"--version", "-h"}, 0, "usage: chartunseal", ""},
        UnsealUsage{"ShortVersion", {"-V"}, 0, "chartunseal ", ""},
        UnsealUsage{"AnUnknownOption", {"--bogus", "song_3.dat"}, 2, "",
                    "chartunseal: unknown option --bogus; try 'chartunseal --help'\n"},
        UnsealUsage{"NoFile", {}, 2, "", "chartunseal: no file given; try 'chartunseal --help'\n"},
        UnsealUsage{"ADashNameAfterTheEndOfOptions", {"--", "-h"}, 1, "",
                    "chartunseal: -h: " + test::noSuchFile() + "\n"}),
    [](const ::testing::TestParamInfo<UnsealUsage>& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, TheLibraryProgramSealsAFolderOfSongsAndSaysSoOnOneLine)
{
    fs::create_directories(test::pathOf(at("songs/album")));
    test::writeFile(at("songs/album/one.sm"), fiveCharts());
    test::writeFile(at("songs/two.sm"), fiveCharts());
    const test::ProcessResult first = runProgram(CHARTSEAL_LIBRARY_BIN, dir(), "", {"songs"});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "2 songs in 2 folders: 2 sealed, 0 already-sealed, 0 refused, 0 failed, 0 unreadable\n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(readFile(at("songs/album/one.sm")), fiveChartsSealed());
    EXPECT_EQ(readFile(at("songs/two_4.dat")), test::sealed(chartBlock("Challenge")));
    const test::ProcessResult check = runProgram(CHARTSEAL_LIBRARY_BIN, dir(), "", {"--check", "songs"});
    EXPECT_EQ(check.status, 0) << check.err;
    const test::ProcessResult usage = runProgram(CHARTSEAL_LIBRARY_BIN, dir(), "", {});
    EXPECT_EQ(usage.status, 2);
}

}  // namespace
}  // namespace chartseal
