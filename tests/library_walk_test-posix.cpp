// What the library walk does with links at chart names, links to folders
// and charts named in another case, where names tell case apart: a chart
// name that is a link gets what a chartseal run given that name gets; what
// is left out is said in a line.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "cli/LibraryCommand.h"
#include "run/RunDriver.h"

namespace chartseal {
namespace {

namespace fs = std::filesystem;

// Every file under a folder, links followed, with its bytes; a link to
// nothing as such.
std::map<std::string, std::string> tree(const std::string& root)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        if (entry.is_symlink()) files[name + " ->"] = fs::read_symlink(entry.path()).string();
        if (entry.is_regular_file()) files[name] = test::readFile(entry.path().string()).value_or("<unreadable>");
    }
    return files;
}

struct LinkedChart {
    std::string name;
    // Makes <root>/songs with the link <root>/songs/<base>.sm in it.
    std::function<void(const std::string& root)> make;
    std::string base;
    friend void PrintTo(const LinkedChart& c, std::ostream* os) { *os << c.name; }
};

class LibraryWalk : public test::TempDirTest, public ::testing::WithParamInterface<LinkedChart> {};

TEST_P(LibraryWalk, AChartNameThatIsALinkGetsWhatAChartsealRunGivesIt)
{
    const std::string single = at("single"), library = at("library");
    GetParam().make(single);
    GetParam().make(library);
    std::istringstream in(single + "/songs/" + GetParam().base + "\n");
    std::ostringstream out, err;
    const int status = RunDriver(in, out, err, [] {}).run();

    std::ostringstream said, errors;
    const int libraryStatus = LibraryCommand(said, errors, false).run({library + "/songs"});
    EXPECT_EQ(libraryStatus, status == kExitSuccess ? kExitSuccess : kExitOutputFailed) << errors.str();
    EXPECT_EQ(tree(library), tree(single));
    std::string expected = err.str();
    if (!expected.empty()) {
        expected = "chartseal-library: " + expected.substr(std::string("chartseal: ").size());
        expected.replace(expected.find(single), single.size(), library);
    }
    EXPECT_EQ(errors.str(), expected);
    EXPECT_EQ(said.str().substr(0, 10), "1 song in ");
}

void makeSongs(const std::string& root)
{
    fs::create_directories(root + "/songs");
    fs::create_directories(root + "/elsewhere");
}

INSTANTIATE_TEST_SUITE_P(
    Links, LibraryWalk,
    ::testing::Values(LinkedChart{"WithinTheFolder",
                                  [](const std::string& root) {
                                      makeSongs(root);
                                      test::writeFile(root + "/songs/chart data", test::fiveCharts());
                                      fs::create_symlink("chart data", root + "/songs/inside.sm");
                                  },
                                  "inside"},
                      LinkedChart{"ALinkOfALinkWithinTheFolder",
                                  [](const std::string& root) {
                                      makeSongs(root);
                                      test::writeFile(root + "/songs/chart data", test::fiveCharts());
                                      fs::create_symlink("chart data", root + "/songs/step");
                                      fs::create_symlink("step", root + "/songs/inside.sm");
                                  },
                                  "inside"},
                      LinkedChart{"IntoAnotherFolder",
                                  [](const std::string& root) {
                                      makeSongs(root);
                                      test::writeFile(root + "/elsewhere/x.sm", test::fiveCharts());
                                      fs::create_symlink("../elsewhere/x.sm", root + "/songs/outside.sm");
                                  },
                                  "outside"},
                      LinkedChart{"ToNothing",
                                  [](const std::string& root) {
                                      makeSongs(root);
                                      fs::create_symlink("gone.txt", root + "/songs/dangling.sm");
                                  },
                                  "dangling"},
                      LinkedChart{"ToAFolder",
                                  [](const std::string& root) {
                                      makeSongs(root);
                                      fs::create_directories(root + "/songs/folder");
                                      fs::create_symlink("folder", root + "/songs/folder.sm");
                                  },
                                  "folder"}),
    [](const ::testing::TestParamInfo<LinkedChart>& info) { return info.param.name; });

// What the walk leaves out, each with a line on standard error; the rest of
// the library is sealed and the status is that of the songs.
TEST(LibraryWalkNotes, WhatIsLeftOutIsSaid)
{
    struct Case {
        std::string name;
        std::function<void(const std::string& songs)> make;
        std::string note;  // SONGS stands for the folder walked
        std::string left;  // a file below it that stays as it was
    };
    const std::vector<Case> cases{
        {"a link to a folder",
         [](const std::string& songs) {
             fs::create_directories(songs + "/../elsewhere");
             test::writeFile(songs + "/../elsewhere/far.sm", test::fiveCharts());
             fs::create_symlink("../elsewhere", songs + "/album");
         },
         "SONGS/album: a link to a folder; not followed", "album/far.sm"},
        {"a chart's name in capitals",
         [](const std::string& songs) { test::writeFile(songs + "/LOUD.SM", test::fiveCharts()); },
         "SONGS/LOUD.SM: not a chart: names here tell case apart, and a chart's ends in .sm; left out", "LOUD.SM"},
        {"an ending in mixed case",
         [](const std::string& songs) { test::writeFile(songs + "/quiet.Sm", test::fiveCharts()); },
         "SONGS/quiet.Sm: not a chart: names here tell case apart, and a chart's ends in .sm; left out", "quiet.Sm"},
        {"a link to a chart that is a song of its own",
         [](const std::string& songs) { fs::create_symlink("glass.sm", songs + "/twin.sm"); },
         "SONGS/twin.sm: a link to glass.sm, a chart sealed as its own song; left out", "twin_3.dat"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = test::makeTempDir(), songs = base + "/songs";
        fs::create_directories(songs);
        test::writeFile(songs + "/glass.sm", test::fiveCharts());
        c.make(songs);
        const std::optional<std::string> before = test::readFile(songs + "/" + c.left);
        std::ostringstream out, err;
        EXPECT_EQ(LibraryCommand(out, err, false).run({songs}), kExitSuccess);
        std::string note = c.note;
        note.replace(note.find("SONGS"), 5, songs);
        EXPECT_EQ(err.str(), "chartseal-library: " + note + "\n");
        EXPECT_EQ(out.str(), "1 song in 1 folder: 1 sealed, 0 already-sealed, 0 refused, 0 failed, 0 unreadable\n");
        EXPECT_EQ(test::readFile(songs + "/" + c.left), before);
        EXPECT_TRUE(test::exists(songs + "/glass_3.dat"));
        fs::remove_all(base);
    }
}

}  // namespace
}  // namespace chartseal
