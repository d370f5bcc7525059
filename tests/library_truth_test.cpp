// What the library says is what the files hold: on charts of real shapes
// (two play styles, no separator lines, CRLF line ends, blank lines between
// charts), the preview's and the seal's report name the charts each file
// really holds, a check right after the seal passes, and exposed charts are
// told. The expected names are read off the files by this test's own simple
// reading of chart text, never by the code under test.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "cli/LibraryCommand.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::readFile;
namespace fs = std::filesystem;

// The names of the charts in chart text, as "<style> <difficulty>": each
// "#NOTES" line begins a chart (with or without a separator line before
// it); the style is the first line after it, the difficulty the third.
std::vector<std::string> chartsIn(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    const auto field = [](const std::string& line) {
        std::string f = line.substr(line.find_first_not_of(' '));
        return f.substr(0, f.size() - 1);  // without its colon
    };
    std::vector<std::string> names;
    for (std::size_t i = 0; i + 3 < lines.size(); ++i) {
        if (lines[i].starts_with("#NOTES")) names.push_back(field(lines[i + 1]) + " " + field(lines[i + 3]));
    }
    return names;
}

std::string jsonList(const std::vector<std::string>& items)
{
    std::string json = "[";
    for (const std::string& item : items) json += (json.size() > 1 ? ",\"" : "\"") + item + "\"";
    return json + "]";
}

struct Shape {
    const char* name;
    std::string chart;
    std::vector<std::string> exposed;  // what the chart file keeps beyond Easy and one more
};

std::string withoutSeparators(std::string text)
{
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("//---------------")) out += line + "\n";
    }
    return out;
}

class LibraryTruth : public test::TempDirTest, public ::testing::WithParamInterface<Shape> {
protected:
    struct Ran {
        int status;
        std::string out, err;
    };
    Ran run(const std::vector<std::string>& args)
    {
        std::ostringstream out, err;
        const int status = LibraryCommand(out, err, false).run(args);
        return {status, out.str(), err.str()};
    }
    // The files part of a report line as the files on disk hold them.
    std::string filesOnDisk(const std::string& base)
    {
        std::string json = "[";
        for (int n = 1; n <= 6; ++n) {
            const std::string suffix = n == 1 ? std::string(".sm") : std::string("_") + std::to_string(n) + ".dat";
            const std::string name = "song" + suffix;
            const std::string bytes = readFile(base + suffix).value_or("");
            json += std::string(n > 1 ? "," : "") + "{\"file\":\"" + name +
                    "\",\"charts\":" + jsonList(chartsIn(n == 1 ? bytes : test::unsealed(bytes))) + "}";
        }
        return json + "]";
    }
};

TEST_P(LibraryTruth, TheReportAndTheCheckNameWhatEachFileHolds)
{
    const std::string root = at("library");
    fs::create_directories(test::pathOf(root + "/album"));
    const std::string base = root + "/album/song";
    test::writeFile(base + ".sm", GetParam().chart);
    const std::string preview = at("preview.jsonl"), sealing = at("seal.jsonl"), checking = at("check.jsonl");

    const Ran previewed = run({"--dry-run", "--report", preview, root});
    const Ran sealed = run({"--report", sealing, root});
    ASSERT_EQ(sealed.status, kExitSuccess) << sealed.err;
    const std::string files = filesOnDisk(base);
    const Ran checked = run({"--check", "--report", checking, root});
    EXPECT_EQ(checked.status, kExitSuccess) << checked.err;
    EXPECT_EQ(checked.err, "");

    const std::string exposed = "\"exposed\":" + jsonList(GetParam().exposed);
    for (const auto& [what, report] : {std::pair{"preview", preview}, {"seal", sealing}, {"check", checking}}) {
        SCOPED_TRACE(what);
        const std::string line = readFile(report).value_or("");
        EXPECT_NE(line.find("\"files\":" + files + "," + exposed), std::string::npos) << line << "\nfiles: " << files;
    }
    const std::string summaryEnd = GetParam().exposed.empty() ? " unreadable\n" : " unreadable; 1 exposed\n";
    EXPECT_TRUE(previewed.out.ends_with(summaryEnd)) << previewed.out;
    EXPECT_TRUE(sealed.out.ends_with(summaryEnd)) << sealed.out;
    EXPECT_TRUE(checked.out.ends_with(summaryEnd)) << checked.out;
    EXPECT_NE(checked.out.find(": 1 prepared,"), std::string::npos) << checked.out;
}

const std::string kHeader = test::songHeader();
const auto single = [](const char* d) { return chartBlock(d, "dance-single"); };
const auto twin = [](const char* d) { return chartBlock(d, "dance-double"); };

INSTANTIATE_TEST_SUITE_P(
    Shapes, LibraryTruth,
    ::testing::Values(
        Shape{"FiveChartsOneStyle", test::fiveCharts(), {}},
        // The first appearance of each difficulty decides the slots: the
        // second style's Easy takes Medium's place, plain, and Medium is
        // sealed with the Hard chart after it.
        Shape{"TwoStylesInterleaved",
              kHeader + single("Beginner") + single("Easy") + twin("Easy") + single("Medium") + twin("Hard"),
              {"dance-double Easy"}},
        Shape{"TwoStylesOneAfterTheOther",
              kHeader + single("Beginner") + single("Easy") + single("Medium") + single("Hard") + single("Challenge") +
                  twin("Beginner") + twin("Easy") + twin("Medium") + twin("Hard") + twin("Challenge"),
              {}},
        Shape{"AnEasyOfEachStyleAndNothingElse", kHeader + single("Easy") + twin("Easy"),
              {"dance-double Easy"}},
        Shape{"TwoStylesWhereTheSecondEasyStaysPlain", kHeader + single("Easy") + single("Medium") + twin("Easy"),
              {"dance-double Easy"}},
        Shape{"NoSeparatorLines",
              withoutSeparators(kHeader + single("Easy") + single("Medium") + single("Hard") + single("Edit")),
              {"dance-single Hard", "dance-single Edit"}},
        Shape{"CarriageReturnsAndLineFeeds",
              test::songHeader("\r\n") + chartBlock("Beginner", "dance-single", "\r\n") +
                  chartBlock("Easy", "dance-single", "\r\n") + chartBlock("Hard", "dance-single", "\r\n") +
                  chartBlock("Edit", "dance-double", "\r\n"),
              {}},
        Shape{"BlankLinesBetweenCharts",
              kHeader + "\n" + single("Edit") + "\n\n" + single("Easy") + "\n" + single("Hard") + "\n", {}}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

// A check says damaged only for what the files show, and not prepared only
// for a run that did not finish or a song never sealed.
struct Finding {
    const char* name;
    std::function<void(const std::string& base)> change;
    const char* result;
    std::string line;  // after the song's base name
};

class CheckFindings : public test::TempDirTest, public ::testing::WithParamInterface<Finding> {};

TEST_P(CheckFindings, AreSaidOfWhatTheFilesShowAlone)
{
    const std::string root = at("library");
    fs::create_directories(test::pathOf(root));
    const std::string base = root + "/song";
    test::writeFile(base + ".sm", test::fiveCharts());
    std::ostringstream out, err;
    ASSERT_EQ(LibraryCommand(out, err, false).run({root}), kExitSuccess) << err.str();
    GetParam().change(base);
    std::ostringstream checkOut, checkErr;
    EXPECT_EQ(LibraryCommand(checkOut, checkErr, false).run({"--check", root}), kExitOutputFailed);
    EXPECT_EQ(checkErr.str(), "chartseal-library: " + base + GetParam().line + "\n");
    EXPECT_NE(checkOut.str().find("1 " + std::string(GetParam().result)), std::string::npos) << checkOut.str();
}

INSTANTIATE_TEST_SUITE_P(
    Files, CheckFindings,
    ::testing::Values(
        Finding{"ASealedFileMissing", [](const std::string& b) { fs::remove(test::pathOf(b + "_4.dat")); }, "damaged",
                "_4.dat: missing"},
        Finding{"ASealedFileCutShort",
                [](const std::string& b) { test::writeFile(b + "_3.dat", readFile(b + "_3.dat")->substr(0, 40)); },
                "damaged", "_3.dat: is cut short"},
        Finding{"ASealedFileThatIsNotCharts", [](const std::string& b) { test::writeFile(b + "_5.dat", "plain text\n"); },
                "damaged", "_5.dat: does not read back as charts"},
        Finding{"AFolderAtASealedName",
                [](const std::string& b) {
                    fs::remove(test::pathOf(b + "_6.dat"));
                    fs::create_directory(test::pathOf(b + "_6.dat"));
                },
                "damaged", "_6.dat: is a directory"},
        Finding{"APlainFileOfARunThatDidNotFinish", [](const std::string& b) { test::writeFile(b + "_1.dat", ""); },
                "not-prepared", "_1.dat: a run did not finish, or another file stands at that name; run chartseal again, which finishes the run or says which it is"},
        Finding{"NoSealedFiles",
                [](const std::string& b) {
                    for (int n = 2; n <= 6; ++n) fs::remove(test::pathOf(b + "_" + std::to_string(n) + ".dat"));
                },
                "not-prepared", ".sm: not sealed"}),
    [](const ::testing::TestParamInfo<Finding>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chartseal
