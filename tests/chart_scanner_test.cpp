// The matching rules, the survey and the partition.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "ReferenceModel.h"
#include "TestSupport.h"
#include "chart/ChartScanner.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::songHeader;

struct MatchCase {
    std::string line;
    std::string keyword;
    bool names;
    friend void PrintTo(const MatchCase& c, std::ostream* os) { *os << '"' << c.line << "\" " << c.keyword; }
};

class NamesDifficulty : public ::testing::TestWithParam<MatchCase> {};

TEST_P(NamesDifficulty, FollowsTheScanningRules)
{
    const MatchCase& c = GetParam();
    EXPECT_EQ(ChartScanner::namesDifficulty(c.line, c.keyword), c.names) << '"' << c.line << '"';
}

INSTANTIATE_TEST_SUITE_P(Table, NamesDifficulty,
                         ::testing::Values(MatchCase{"     Easy:", "Easy", true},
                                           MatchCase{"Easy:", "Easy", true},
                                           MatchCase{"\t\v\f\r Medium:", "Medium", true},
                                           MatchCase{"     Hard x", "Hard", true},
                                           MatchCase{"     Hard \t\r x", "Hard", true},
                                           MatchCase{"     Editor", "Edit", true},
                                           MatchCase{"     Challenge:\r", "Challenge", true},
                                           MatchCase{std::string("     Easy\0", 10), "Easy", true},
                                           MatchCase{"     Easy", "Easy", false},
                                           MatchCase{"     Easy   ", "Easy", false},
                                           MatchCase{"     Easy\r", "Easy", false},
                                           MatchCase{"     easy:", "Easy", false},
                                           MatchCase{"     EASY:", "Easy", false},
                                           MatchCase{"     Eas", "Easy", false},
                                           MatchCase{"x    Easy:", "Easy", false},
                                           MatchCase{"#Easy:", "Easy", false},
                                           MatchCase{"     Editor", "Easy", false},
                                           MatchCase{"", "Easy", false},
                                           MatchCase{"          ", "Beginner", false}));

struct SeparatorCase {
    std::string line;
    bool separator;
    friend void PrintTo(const SeparatorCase& c, std::ostream* os) { *os << '"' << c.line << '"'; }
};

class IsSeparator : public ::testing::TestWithParam<SeparatorCase> {};

TEST_P(IsSeparator, FollowsTheScanningRules)
{
    EXPECT_EQ(ChartScanner::isSeparator(GetParam().line), GetParam().separator) << '"' << GetParam().line << '"';
}

INSTANTIATE_TEST_SUITE_P(Table, IsSeparator,
                         ::testing::Values(SeparatorCase{"//---------------step-single - Easy---", true},
                                           SeparatorCase{"//---------------x", true},
                                           SeparatorCase{"//----------------", true},  // sixteenth hyphen follows
                                           SeparatorCase{"//--------------- \t x", true},
                                           SeparatorCase{"//---------------", false},
                                           SeparatorCase{"//---------------   \r", false},
                                           SeparatorCase{"//--------------x", false},  // fourteen hyphens
                                           SeparatorCase{" //---------------x", false},
                                           SeparatorCase{"\t//---------------x", false},
                                           SeparatorCase{"/---------------x", false},
                                           SeparatorCase{"", false}));

// A chart file in a scratch folder, read through both passes.
class Scan : public test::TempDirTest {
protected:
    OrdinalTable survey(const std::string& bytes)
    {
        test::writeFile(at("c.sm"), bytes);
        ChartStream stream = scanner.openChart(at("c.sm"));
        return ChartScanner::survey(stream);
    }
    SlotSet partition(const std::string& bytes)
    {
        const OrdinalTable ordinals = survey(bytes);
        ChartStream stream = scanner.openChart(at("c.sm"));
        SlotSet slots;
        ChartScanner::partition(stream, ordinals, slots);
        return slots;
    }
    // The bytes of one slot, read back from the chart through its ranges.
    std::string bytes(const Slot& slot)
    {
        ChartStream chart = scanner.openChart(at("c.sm"));
        std::vector<char> buffer(4099);  // smaller than a range, so that ranges come in pieces
        std::string out;
        readSlot(slot, chart.file(), buffer, [&](char* data, std::size_t n) { out.append(data, n); });
        return out;
    }
    std::array<std::string, 6> contents(const SlotSet& slots)
    {
        return {bytes(slots.str1), bytes(slots.str2), bytes(slots.str3),
                bytes(slots.str4), bytes(slots.str5), bytes(slots.str6)};
    }
    ChartScanner scanner;
};

TEST_F(Scan, BeginnerFirstOrderGivesTheOrdinalsAndSlots)
{
    const std::string header = songHeader();
    const std::string chart = header + chartBlock("Beginner") + chartBlock("Easy") + chartBlock("Medium") +
                              chartBlock("Hard") + chartBlock("Challenge");
    EXPECT_EQ(survey(chart).toLine(), "234510");
    EXPECT_EQ(contents(partition(chart)),
              (std::array<std::string, 6>{header + chartBlock("Easy"), chartBlock("Medium"), chartBlock("Hard"),
                                          chartBlock("Challenge"), chartBlock("Beginner"), ""}));
}

TEST_F(Scan, RepeatedDifficultiesJoinTheLastSurveyedSlot)
{
    // The second play style repeats the difficulties: ordinals do not move,
    // and once every ordinal is used, later charts stay in the current slot.
    const std::string header = songHeader();
    const std::string single = chartBlock("Easy") + chartBlock("Hard");
    const std::string twice = chartBlock("Easy", "step-double") + chartBlock("Hard", "step-double");
    EXPECT_EQ(survey(header + single + twice).toLine(), "102000");
    EXPECT_EQ(contents(partition(header + single + twice)),
              (std::array<std::string, 6>{header + chartBlock("Easy"), "", chartBlock("Hard") + twice, "", "", ""}));
}

TEST_F(Scan, KeepsCarriageReturnsAndAppendsLineFeeds)
{
    const std::string header = songHeader("\r\n");
    const std::string chart = header + chartBlock("Medium", "step-single", "\r\n") +
                              chartBlock("Edit", "step-single", "\r\n");
    EXPECT_EQ(survey(chart).toLine(), "010002");
    EXPECT_EQ(contents(partition(chart)),
              (std::array<std::string, 6>{header, chartBlock("Medium", "step-single", "\r\n"), "", "", "",
                                          chartBlock("Edit", "step-single", "\r\n")}));
}

TEST_F(Scan, LinesAreKeptWholeWhateverTheirBytes)
{
    struct Case {
        const char* what;
        std::string bytes;
        std::string slot1;  // everything before the separator
        std::string slot3;
    };
    const std::string longLine(3 * ChartStream::kDefaultBufferSize + 17, 'x');
    const std::string zeros("a\0b\0\0c", 6);
    const std::string hard = chartBlock("Hard");
    const Case cases[] = {
        {"long line", longLine + "\n" + hard, longLine + "\n", hard},
        {"long separator", "h\n//---------------" + longLine + "\n     Hard:\n",
         "h\n", "//---------------" + longLine + "\n     Hard:\n"},
        {"zero bytes", zeros + "\n" + hard + zeros + "\n", zeros + "\n", hard + zeros + "\n"},
        {"no final line feed", "h\n" + hard + "0000", "h\n", hard + "0000\n"},
        {"no final line feed, carriage return", "h\r\n" + hard + "0000\r", "h\r\n", hard + "0000\r\n"},
        {"empty lines", "\n\n" + hard + "\n\n", "\n\n", hard + "\n\n"},
        {"empty file", "", "", ""},
        {"lone line feed", "\n", "\n", ""},
    };
    for (const Case& c : cases) {
        const SlotSet slots = partition(c.bytes);
        EXPECT_EQ(bytes(slots.str1), c.slot1) << c.what;
        EXPECT_EQ(bytes(slots.str3), c.slot3) << c.what;
        EXPECT_EQ(slots.totalSize(), c.slot1.size() + c.slot3.size()) << c.what;
    }
}

TEST_F(Scan, NearMissLinesNeitherCountNorSwitch)
{
    const std::string chart = "     easy:\n"
                              "     Easy\n"
                              "#NOTES: Hard:\n"
                              " //---------------x\n"
                              "//--------------x\n"
                              "//---------------\n"
                              "     Medium:\n"
                              "//---------------real\n"
                              "after\n";
    EXPECT_EQ(survey(chart).toLine(), "010000");
    const SlotSet slots = partition(chart);
    EXPECT_EQ(bytes(slots.str1), chart.substr(0, chart.find("//---------------real")));
    EXPECT_EQ(bytes(slots.str2), "//---------------real\nafter\n");
}

TEST_F(Scan, WithoutDifficultiesEverythingStaysInSlotOne)
{
    const std::string chart = songHeader() + "//---------------a\nx\n//---------------b\ny";
    EXPECT_EQ(survey(chart).toLine(), "000000");
    EXPECT_EQ(bytes(partition(chart).str1), chart + "\n");
}

TEST_F(Scan, SurveyIsTheSameWhateverTheBufferSize)
{
    // Lines cross the buffer's end; difficulty lines stand first, last (with
    // no line feed), right after one another and after more candidate lines
    // than one batch holds.
    std::string batches = "     Hard:\n";
    for (int i = 0; i < 5000; ++i) batches += "     step-single:\n0000\nM000\n";
    batches += chartBlock("Challenge", "step-single", "\r\n") + chartBlock("Medium") + "Beginner x";
    const std::string charts[] = {
        batches,
        std::string("Easy\n\tMedium\0\n//---------------a\n", 34),
        "     Easy:\n     Hard:\n     Edit:\nM\n     Medium:\n",
        "0000\n     Challenge:\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n     Beginner:",
    };
    for (const std::string& chart : charts) {
        test::writeFile(at("c.sm"), chart);
        std::string expected;
        for (const int o : test::modelRun(chart).ordinals) expected += std::to_string(o);
        for (const bool vectorised : {true, false}) {
            ChartStream::allowVectorisedSearch(vectorised);
            for (const std::size_t size : {21u, 22u, 30u, 33u, 34u, 35u, 66u, 4096u, 1u << 20}) {
                ChartStream stream(test::openForReading(at("c.sm")), size);
                EXPECT_EQ(ChartScanner::survey(stream).toLine(), expected)
                    << "buffer of " << size << (vectorised ? ", vectorised" : ", byte by byte");
            }
        }
        ChartStream::allowVectorisedSearch(true);
    }
}

TEST_F(Scan, LinesLongerThanTheBufferAreJudgedAndKeptWhole)
{
    // White space runs longer than the buffer before a keyword, after a
    // keyword and after a separator's hyphens: the line still counts. The
    // same lines with nothing after the run count for nothing.
    const std::string run(3 * ChartStream::kDefaultBufferSize, ' ');
    const std::string tabs(ChartStream::kDefaultBufferSize + 5, '\t');
    const std::string header = "#TITLE:x;\n" + std::string(2 * ChartStream::kDefaultBufferSize, 'x') + "\n";
    const std::string chart = header + "//---------------" + run + "a\n" + run + "Hard:\n" + "     Easy" + tabs + "\n" +
                              "//---------------" + tabs + "\n" + "Challenge" + run + ":" + run + "\n" +
                              "//---------------b\n" + run + "Easy" + run;
    EXPECT_EQ(survey(chart).toLine(), "001200");  // Hard, then Challenge; the Easy lines name nothing
    const SlotSet slots = partition(chart);
    const std::size_t second = chart.find("//---------------b");
    EXPECT_EQ(bytes(slots.str1), header);
    EXPECT_EQ(bytes(slots.str3), chart.substr(header.size(), second - header.size()));
    EXPECT_EQ(bytes(slots.str4), chart.substr(second) + "\n");
    EXPECT_EQ(bytes(slots.str2) + bytes(slots.str5) + bytes(slots.str6), "");
    EXPECT_EQ(slots.totalSize(), chart.size() + 1);
}

TEST_F(Scan, OpenChartRefusesWhatIsNotARegularFile)
{
    EXPECT_THROW(scanner.openChart(at("missing.sm")), RunError);
    EXPECT_THROW(scanner.openChart(dir()), RunError);
    EXPECT_THROW(scanner.openChart("/dev/null"), RunError);
}

}  // namespace
}  // namespace chartseal
