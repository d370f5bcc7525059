// The console dialogue of a run, in-process.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "run/RunDriver.h"

namespace chartseal {
namespace {

class Dialogue : public test::TempDirTest {
protected:
    int run(const std::string& input)
    {
        std::istringstream in(input);
        // Each pause records what standard output held when it began.
        return RunDriver(in, out, err, [this] { pausedAfter.push_back(out.str()); }).run();
    }
    std::ostringstream out, err;
    std::vector<std::string> pausedAfter;
};

TEST_F(Dialogue, EchoesTheChartNameAndTheOrdinalsEachBeforeAPause)
{
    for (const std::string lineEnd : {"\n", "\r\n", ""}) {
        std::filesystem::remove_all(dir());
        std::filesystem::create_directory(dir());
        test::writeFile(at("song.sm"), test::chartBlock("Beginner") + test::chartBlock("Easy") +
                                           test::chartBlock("Medium") + test::chartBlock("Hard") +
                                           test::chartBlock("Challenge"));
        out.str("");
        pausedAfter.clear();
        const std::string answers = lineEnd.empty() ? "" : "\n\n";
        EXPECT_EQ(run(at("song") + lineEnd + answers), kExitSuccess) << err.str();
        const std::string first = at("song.sm") + "\n";
        EXPECT_EQ(out.str(), first + "234510\n");
        EXPECT_EQ(pausedAfter, (std::vector<std::string>{first, first + "234510\n"}));
    }
    EXPECT_EQ(err.str(), "");
}

TEST_F(Dialogue, AMissingChartEndsTheRunAfterTheFirstPause)
{
    EXPECT_EQ(run(at("nothing") + "\n"), kExitChartUnreadable);
    EXPECT_EQ(out.str(), at("nothing.sm") + "\n");
    EXPECT_EQ(pausedAfter.size(), 1u);
    EXPECT_EQ(err.str(), "chartseal: " + at("nothing.sm") + ": " + test::noSuchFile() + "\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir()));
}

// A name typed with its .sm: the line says which to type, only where that
// name is a chart; the console lines, the pause and the status are as for
// any missing chart.
TEST_F(Dialogue, ANameTypedWithItsEndingSaysWhichNameToType)
{
    test::writeFile(at("Robotix.sm"), test::fiveCharts());
    std::filesystem::create_directory(at("Folder.sm"));
    struct Case {
        std::string typed;
        std::string hint;
    };
    for (const Case& c : {Case{"Robotix.sm", "; type the name without .sm: " + at("Robotix")},
                          Case{"Nothing.sm", ""},      // no Nothing.sm either
                          Case{"Folder.sm", ""},       // a folder, not a chart
                          Case{"Robotix.s", ""}}) {    // Robotix.s.sm: another name
        SCOPED_TRACE(c.typed);
        out.str("");
        err.str("");
        pausedAfter.clear();
        EXPECT_EQ(run(at(c.typed) + "\n"), kExitChartUnreadable);
        EXPECT_EQ(out.str(), at(c.typed) + ".sm\n");
        EXPECT_EQ(pausedAfter.size(), 1u);
        EXPECT_EQ(err.str(), "chartseal: " + at(c.typed) + ".sm: " + test::noSuchFile() + c.hint + "\n");
    }
    EXPECT_EQ(test::readFile(at("Robotix.sm")), test::fiveCharts());
}

TEST_F(Dialogue, UnreadableChartNamesAreReportedWithTheirReason)
{
    std::filesystem::create_directory(at("folder.sm"));
    struct Case {
        std::string input;
        std::string message;  // the name and reason; only the name where the reason is the system's own
    };
    const Case cases[] = {
        {at("folder") + "\n", at("folder.sm") + ": Is a directory"},
        {"", ".sm: " + test::noSuchFile()},
        {at("a") + std::string("\0b", 2) + "\n", at("a") + "\\0b.sm: file name holds a zero byte"},
        // Bytes that would move the cursor or colour a terminal or log, and
        // bytes that are not UTF-8, are shown escaped; UTF-8 is shown as it
        // is. (Windows calls such a name invalid, POSIX systems missing.)
        {at("x\rgone\x1b[31m\xff\t") + "\n", at("x\\rgone\\x1b[31m\\xff\\t") + ".sm: "},
        {at("caf\xc3\xa9 \xe2\x98\x86\xc3") + "\n", at("caf\xc3\xa9 \xe2\x98\x86\\xc3") + ".sm: "},
    };
    for (const Case& c : cases) {
        err.str("");
        EXPECT_EQ(run(c.input), kExitChartUnreadable);
        const std::string line = err.str();
        if (c.message.ends_with(": ")) {
            EXPECT_EQ(line.rfind("chartseal: " + c.message, 0), 0u) << line;
            EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        } else {
            EXPECT_EQ(err.str(), "chartseal: " + c.message + "\n");
        }
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir()), {}), 1);
}

TEST_F(Dialogue, AChartWithoutDifficultiesPrintsSixZerosAndIsStillRewritten)
{
    test::writeFile(at("plain.sm"), "#TITLE:x;\nline");
    EXPECT_EQ(run(at("plain") + "\n"), kExitSuccess);
    EXPECT_EQ(out.str(), at("plain.sm") + "\n000000\n");
    EXPECT_EQ(test::readFile(at("plain.sm")), "#TITLE:x;\nline\n\n");
}

TEST_F(Dialogue, AFailedStandardOutputStopsBeforeAnythingChanges)
{
    test::writeFile(at("song.sm"), test::chartBlock("Easy") + test::chartBlock("Hard"));
    out.setstate(std::ios::badbit);
    EXPECT_EQ(run(at("song") + "\n"), kExitOutputFailed);
    EXPECT_EQ(err.str(), "chartseal: standard output: write error\n");
    EXPECT_EQ(test::readFile(at("song.sm")), test::chartBlock("Easy") + test::chartBlock("Hard"));
}

}  // namespace
}  // namespace chartseal
