// chartunseal --restore: round trips over charts of many shapes, the
// refusals, a held lock, a failure at every file operation and a power cut
// after every one.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "MemoryFileSystem.h"
#include "TestSupport.h"
#include "output/Permissions.h"
#include "console/ExitStatus.h"
#include "run/RestoreSong.h"
#include "run/RunDriver.h"

namespace chartseal {

using test::exists;
namespace {

using test::chartBlock;
using test::readFile;
using test::songHeader;

// The names a song's state is made of: the chart, the six output names and
// the restore's own two.
std::vector<std::string> songNames(const std::string& base)
{
    std::vector<std::string> names{base + ".sm"};
    for (int n = 1; n <= 6; ++n) names.push_back(base + "_" + std::to_string(n) + ".dat");
    names.push_back(restoreTemporaryName(base));
    names.push_back(restoreMarkName(base));
    return names;
}

using Snapshot = std::map<std::string, std::optional<std::string>>;

Snapshot snapshot(const std::string& base)
{
    Snapshot s;
    for (const std::string& name : songNames(base)) s[name] = readFile(name);
    return s;
}

// The lines of the text, sorted: every line once, whatever the order.
std::vector<std::string> sortedLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

int restore(FileOps& ops, const std::string& base, std::string& messages)
{
    std::ostringstream err;
    const int status = restoreSongs(ops, {base}, err);
    messages = err.str();
    return status;
}

struct Shape {
    const char* name;
    std::string chart;
    // What the restore gives back where it is not the chart itself: a last
    // line without a line feed gets one.
    std::optional<std::string> restored = std::nullopt;
    friend void PrintTo(const Shape& s, std::ostream* os) { *os << s.name; }
};

std::string blocks(const std::vector<std::string>& difficulties, const std::string& style = "step-single",
                   const std::string& eol = "\n", const std::string& between = "")
{
    std::string text;
    for (const std::string& d : difficulties) text += between + chartBlock(d, style, eol);
    return text;
}

const std::vector<Shape> kShapes = {
    {"FiveCharts", test::fiveCharts()},
    {"TwoPlayStyles", songHeader() + blocks({"Beginner", "Easy", "Medium", "Hard", "Challenge"}) +
                          blocks({"Beginner", "Easy", "Medium", "Hard", "Challenge"}, "step-double")},
    {"PlayStylesInterleaved", songHeader() + chartBlock("Easy") + chartBlock("Easy", "step-double") +
                                  chartBlock("Hard") + chartBlock("Hard", "step-double") + chartBlock("Medium") +
                                  chartBlock("Edit", "step-double") + chartBlock("Challenge")},
    // Sealed files keep no order of charts that each name their own
    // difficulty first: they come back from Beginner up.
    {"HardestFirst", songHeader() + blocks({"Edit", "Challenge", "Hard", "Medium", "Easy", "Beginner"}),
     songHeader() + blocks({"Beginner", "Easy", "Medium", "Hard", "Challenge", "Edit"})},
    {"NoSeparatorLines", songHeader() + "#NOTES:\n     step-single:\n     Medium:\n     2:\n1000\n;\n"},
    {"NoSeparatorLinesNoDifficulty", songHeader() + "#NOTES:\n1000\n;\n"},
    {"CrLfLineEnds", songHeader("\r\n") + blocks({"Beginner", "Easy", "Medium", "Hard", "Challenge"}, "step-single",
                                                 "\r\n", "\r\n")},
    {"BlankLinesBeforeSeparators",
     songHeader() + "\n\n" + blocks({"Beginner", "Easy", "Medium", "Hard", "Challenge"}, "step-single", "\n", "\n\n")},
    {"BlankLinesAndTwoStyles", songHeader() + blocks({"Easy", "Medium", "Challenge"}, "step-single", "\n", "\n") +
                                   blocks({"Easy", "Medium", "Challenge"}, "step-double", "\n", "\n") + "\n\n"},
    {"LastLineWithoutLineFeed", test::fiveCharts().substr(0, test::fiveCharts().size() - 1), test::fiveCharts()},
    {"OnlyEasyAndMediumWithTrailingBlankLines", songHeader() + chartBlock("Easy") + "\n" + chartBlock("Medium") + "\n\n"},
    {"OnlyEasy", songHeader() + chartBlock("Easy")},
    {"MediumNamedButWithoutItsChart", songHeader() + chartBlock("Hard") + "     Medium: named in passing\n"},
    {"EmptyChart", ""},
    // Lines longer than any buffer of the run: one of notes, and one that
    // names Hard after a long run of spaces, which gives Hard its ordinal
    // (and the Hard chart its place) before Medium.
    {"LongLines", songHeader() + chartBlock("Easy") + std::string(300000, '1') + "\n" + std::string(300000, ' ') +
                      "Hard: named after a long run of spaces\n" + chartBlock("Medium") + chartBlock("Hard") +
                      chartBlock("Challenge")},
};

class RestoreRoundTrip : public test::TempDirTest, public ::testing::WithParamInterface<Shape> {
protected:
    int seal()
    {
        std::istringstream in(at("song") + "\n");
        std::ostringstream out, err;
        const int status = RunDriver(in, out, err, [] {}, systemFileOps()).run();
        sealMessages = err.str();
        return status;
    }
    std::string sealMessages;
};

TEST_P(RestoreRoundTrip, GivesBackEveryLineOnceAndIsStableOverRoundTrips)
{
    const Shape& shape = GetParam();
    const std::string expected = shape.restored.value_or(shape.chart);
    test::writeFile(at("song.sm"), shape.chart);
    ASSERT_EQ(seal(), kExitSuccess) << sealMessages;
    const Snapshot firstSeal = snapshot(at("song"));

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string messages;
        ASSERT_EQ(restore(systemFileOps(), at("song"), messages), 0) << messages;
        EXPECT_EQ(messages, "");
        Snapshot restored = snapshot(at("song"));
        EXPECT_EQ(restored[at("song.sm")], expected);
        for (const auto& [name, bytes] : restored) {
            if (name != at("song.sm")) {
                EXPECT_FALSE(bytes.has_value()) << name << " is left";
            }
        }
        // Sealing the restored chart gives the first seal's files again.
        ASSERT_EQ(seal(), kExitSuccess) << sealMessages;
        EXPECT_EQ(snapshot(at("song")), firstSeal);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, RestoreRoundTrip, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.name); });

class Restore : public test::SongFolderTest {
protected:
    void sealFiveCharts()
    {
        test::writeFile(at("song.sm"), test::fiveCharts());
        ASSERT_EQ(runTool(), kExitSuccess) << err.str();
    }
    int restoreSong(std::string& messages, FileOps& ops = systemFileOps())
    {
        return restore(ops, at("song"), messages);
    }
};

TEST_F(Restore, ASongEditedAfterSealingIsRestoredWithOneLineThatSaysItWouldBeSplitDifferently)
{
    sealFiveCharts();
    // An Edit chart added to the plain chart after sealing: sealing the
    // restored chart cannot give these sealed files back.
    const std::string plain = chart();
    const std::string edited = plain.substr(0, plain.size() - 1) + chartBlock("Edit") + "\n";
    test::writeFile(at("song.sm"), edited);
    std::string messages;
    ASSERT_EQ(restoreSong(messages), 0) << messages;
    EXPECT_EQ(messages, "chartunseal: " + at("song.sm") +
                            ": sealing the restored chart would split its charts differently from its sealed files; "
                            "restoring it all the same\n");
    EXPECT_EQ(sortedLines(chart()),
              sortedLines(songHeader() + blocks({"Easy", "Medium", "Edit", "Hard", "Challenge", "Beginner"})));
    EXPECT_EQ(createdOutputs(), 0);
}

TEST_F(Restore, RefusalsAreOneLineAndChangeNothing)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string reason;  // after "chartunseal: <folder>/"
    };
    const std::vector<Case> cases = {
        {"not sealed", [this] { test::writeFile(at("song.sm"), test::fiveCharts()); },
         "song.sm: is not sealed: none of its sealed files " + at("song_2.dat") + " to " + at("song_6.dat") +
             " is there"},
        {"a sealed file missing",
         [this] {
             sealFiveCharts();
             std::filesystem::remove(test::pathOf(at("song_4.dat")));
         },
         "song_4.dat: is missing: the song is not sealed whole, and is left as it is"},
        {"a plain output file of an unfinished seal",
         [this] {
             sealFiveCharts();
             test::writeFile(at("song_1.dat"), "");
         },
         "song_1.dat: is there: a chartseal run on this song did not finish; run chartseal on it first"},
        {"a stranger at the temporary name",
         [this] {
             sealFiveCharts();
             test::writeFile(at(restoreTemporaryName("song")), "not ours\n");
         },
         restoreTemporaryName("song") +
             ": is not a leftover of an unfinished restore of this song; move it away to restore it"},
        {"a stranger at the mark's name",
         [this] {
             sealFiveCharts();
             test::writeFile(at(restoreMarkName("song")), "not ours\n");
         },
         restoreMarkName("song") + ": is not a mark of chartunseal --restore; move it away to restore the song"},
        {"a plain chart without the lines sealing adds",
         [this] {
             sealFiveCharts();
             test::writeFile(at("song.sm"), chart().substr(0, chart().size() - 1));
         },
         "song.sm: does not end as a sealed chart does (with the empty lines sealing adds); the song is left as it is"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& name : songNames(at("song"))) std::filesystem::remove(test::pathOf(name));
        c.arrange();
        const Snapshot before = snapshot(at("song"));
        std::string messages;
        EXPECT_EQ(restoreSong(messages), 1);
        EXPECT_EQ(messages, "chartunseal: " + at(c.reason) + "\n");
        EXPECT_EQ(snapshot(at("song")), before);
    }
}

TEST_F(Restore, AHeldLockRefusesWithOneLineAndTheNextRunRestores)
{
    sealFiveCharts();
    const Snapshot before = snapshot(at("song"));
    {
        File held = test::openForReading(at("song.sm"));
        FileLock lock;
        ASSERT_TRUE(lock.tryLock(held));
        std::string messages;
        EXPECT_EQ(restoreSong(messages), 1);
        EXPECT_EQ(messages, "chartunseal: " + at("song.sm") + ": another run is using it; try again when it has finished\n");
        EXPECT_EQ(snapshot(at("song")), before);
    }
    std::string messages;
    ASSERT_EQ(restoreSong(messages), 0) << messages;
    EXPECT_EQ(chart(), test::fiveCharts());
}

TEST_F(Restore, OneFailingSongIsNamedAndTheOthersAreRestored)
{
    sealFiveCharts();
    test::writeFile(at("other.sm"), test::fiveCharts());
    std::ostringstream messages;
    EXPECT_EQ(restoreSongs(systemFileOps(), {at("other"), at("song")}, messages), 1);
    EXPECT_EQ(messages.str(), "chartunseal: " + at("other.sm") + ": is not sealed: none of its sealed files " +
                                  at("other_2.dat") + " to " + at("other_6.dat") + " is there\n");
    EXPECT_EQ(chart(), test::fiveCharts());
    EXPECT_EQ(createdOutputs(), 0);
}

// The song either sealed as it was or restored (its chart whole; sealed
// files and the restore's own names may linger for the next run).
void expectSealedOrRestored(const Snapshot& state, const Snapshot& sealedSong, const std::string& chartName,
                            const std::string& original)
{
    const std::optional<std::string>& chart = state.at(chartName);
    if (chart == original) return;
    ASSERT_EQ(chart, sealedSong.at(chartName)) << "the chart is neither sealed nor restored";
    for (const auto& [name, bytes] : sealedSong) {
        if (bytes) {
            ASSERT_EQ(state.at(name), bytes) << "sealed, but " << name << " is not as sealing left it";
        }
    }
}

TEST_F(Restore, AFailureAtEveryOperationLeavesTheSongSealedOrRestoredAndARerunFinishes)
{
    sealFiveCharts();
    const Snapshot sealedSong = snapshot(at("song"));
    test::FileOpsProbe counting;
    std::string messages;
    ASSERT_EQ(restoreSong(messages, counting), 0) << messages;
    const long operations = counting.count();
    ASSERT_GT(operations, 30);
    std::cout << "a failure at each of " << operations << " operations\n";

    for (long k = 1; k <= operations; ++k) {
        const std::vector<std::string>& calls = counting.calls();
        SCOPED_TRACE("failing operation " + std::to_string(k) + ": " + calls[static_cast<std::size_t>(k - 1)]);
        for (const auto& [name, bytes] : sealedSong) {
            if (bytes) {
                test::writeFile(name, *bytes);
            } else {
                std::filesystem::remove(test::pathOf(name));
            }
        }
        test::FileOpsProbe failing(test::failing(k, std::make_error_code(std::errc::io_error)));
        const int status = restoreSong(messages, failing);
        if (status != 0) {
            EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1) << messages;
            EXPECT_EQ(messages.rfind("chartunseal: ", 0), 0u) << messages;
        }
        expectSealedOrRestored(snapshot(at("song")), sealedSong, at("song.sm"), test::fiveCharts());
        // Where only a sync after the last removal failed, the song is
        // restored whole, and a rerun finds nothing sealed.
        const bool whole = std::count_if(calls.begin(), calls.end(), [](const std::string& c) {
                               return c.starts_with("removeInFolder") && c.ends_with(".sm.restored");
                           }) == 1 &&
                           !exists(at(restoreMarkName("song"))) && createdOutputs() == 0;
        ASSERT_EQ(restoreSong(messages), whole ? 1 : 0) << messages;
        if (whole) {
            EXPECT_NE(messages.find("is not sealed"), std::string::npos) << messages;
        }
        Snapshot after = snapshot(at("song"));
        EXPECT_EQ(after[at("song.sm")], test::fiveCharts());
        for (const auto& [name, bytes] : after) {
            if (name != at("song.sm")) {
                EXPECT_FALSE(bytes.has_value()) << name << " is left";
            }
        }
    }
}

TEST(RestorePowerLoss, EveryStateIsSealedOrRestoredAndARerunFinishes)
{
    using test::MemoryFileSystem;
    const std::string original = test::fiveCharts();
    const auto sealedFolder = [] {
        MemoryFileSystem fs;
        for (const auto& [name, bytes] : test::fiveChartsSealedFolder()) fs.addFile(name, bytes, 0640);
        return fs;
    };
    Snapshot sealedSong;
    for (const std::string& name : songNames("song")) sealedSong[name] = sealedFolder().contents(name);
    const auto state = [](const MemoryFileSystem& fs) {
        Snapshot s;
        for (const std::string& name : songNames("song")) s[name] = fs.contents(name);
        return s;
    };
    const auto expectRestored = [&](const MemoryFileSystem& fs) {
        ASSERT_EQ(fs.names(), std::vector<std::string>{"song.sm"});
        ASSERT_EQ(fs.contents("song.sm"), original);
        ASSERT_EQ(fs.mode("song.sm"), outputAttributeBits(0640));
    };

    MemoryFileSystem whole = sealedFolder();
    std::string messages;
    ASSERT_EQ(restore(whole, "song", messages), 0) << messages;
    expectRestored(whole);
    const long operations = whole.operations();

    long statesChecked = 0;
    for (long k = 1; k <= operations; ++k) {
        SCOPED_TRACE("power cut after operation " + std::to_string(k));
        MemoryFileSystem cut = sealedFolder();
        cut.keepStateAfter(k);
        ASSERT_EQ(restore(cut, "song", messages), 0) << messages;
        cut.finish();
        ASSERT_TRUE(cut.kept().has_value());
        for (const test::DiskState& disk : test::statesAfterPowerCut(*cut.kept())) {
            SCOPED_TRACE(disk.what);
            MemoryFileSystem after(disk.disk);
            SCOPED_TRACE(after.contents(restoreMarkName("song")).value_or("<no mark>"));
            expectSealedOrRestored(state(after), sealedSong, "song.sm", original);
            // A song restored whole is not sealed any more: the rerun says so.
            const bool whole = after.names() == std::vector<std::string>{"song.sm"} && after.contents("song.sm") == original;
            ASSERT_EQ(restore(after, "song", messages), whole ? 1 : 0) << messages;
            if (whole) {
                ASSERT_NE(messages.find("is not sealed"), std::string::npos) << messages;
            }
            expectRestored(after);
            ++statesChecked;
        }
    }
    EXPECT_GT(statesChecked, 4 * operations);
}

}  // namespace
}  // namespace chartseal
