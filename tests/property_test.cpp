// Generated charts through whole runs: every line ends up in the plain chart
// or in exactly one sealed file, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sstream>

#include "ReferenceModel.h"
#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "run/RunDriver.h"

namespace chartseal {
namespace {

// A random chart file built from the pieces that matter to the scanner.
std::string generateChart(std::mt19937& random)
{
    auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    static const char* const difficulties[] = {"Easy", "Medium", "Hard", "Challenge", "Beginner", "Edit"};
    static const char* const nearMisses[] = {
        "     easy:",         "     MEDIUM:",        "#NOTES: Hard:",        "x    Challenge:",
        "\tHard:",            "\v\fBeginner x",      "\r     Edit:",          "     Easy",
        "     Hard \r",       "//--------------x",  "//----------------x",  " //---------------x",
        "//---------------",  "//--------------- \r", "     Editor",          "",
    };
    const bool crlf = pick(4) == 0;
    const std::string eol = crlf ? "\r\n" : "\n";
    std::string chart;
    auto addLine = [&](const std::string& line) { chart += line + eol; };

    for (int i = pick(5); i > 0; --i) addLine("#TAG" + std::to_string(i) + ":value;");
    const int charts = pick(9);
    for (int c = 0; c < charts; ++c) {
        const std::string style = pick(3) == 0 ? "step-double" : "step-single";
        const std::string difficulty = difficulties[pick(6)];
        if (pick(6) != 0) addLine("//---------------" + style + " - " + difficulty + "---");
        addLine("#NOTES:");
        addLine("     " + style + ":");
        addLine(std::string(pick(8), ' ') + difficulty + ":");
        for (int row = pick(12); row > 0; --row) {
            switch (pick(10)) {
            case 0: addLine(nearMisses[pick(std::size(nearMisses))]); break;
            case 1: addLine(std::string(1 + pick(200000), 'x')); break;  // a long line
            case 2: addLine(std::string("00\0" "1", 4)); break;          // a zero byte
            case 3: addLine(","); break;
            default: addLine(pick(2) ? "1000" : "00100100"); break;
            }
        }
    }
    if (!chart.empty() && pick(4) == 0) chart.resize(chart.size() - eol.size());  // no final line feed
    return chart;
}

std::vector<std::string> sortedLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    for (const std::string_view line : test::modelLines(bytes)) lines.emplace_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

class GeneratedCharts : public test::TempDirTest {};

TEST_F(GeneratedCharts, EveryLineLandsOnceAndTheRestIsEmpty)
{
    constexpr int kCases = 400;
    for (int seed = 0; seed < kCases; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(static_cast<unsigned>(seed));
        const std::string input = generateChart(random);
        const std::string base = at("case" + std::to_string(seed));
        test::writeFile(base + ".sm", input);

        std::istringstream in(base + "\n");
        std::ostringstream out, err;
        ASSERT_EQ(RunDriver(in, out, err, [] {}).run(), kExitSuccess) << err.str();

        // The ordinals are 0 or 1..k, each once, in the order of first appearance.
        const test::ModelResult model = test::modelRun(input);
        std::string expectedLine;
        for (const int o : model.ordinals) expectedLine += std::to_string(o);
        ASSERT_EQ(out.str(), base + ".sm\n" + expectedLine + "\n");
        // The tool's own line: each difficulty 0, or one of 1..k, each once.
        const std::string toolLine = out.str().substr(out.str().find('\n') + 1);
        ASSERT_EQ(toolLine.size(), 7u) << toolLine;
        std::vector<int> present;
        for (const char digit : toolLine.substr(0, 6)) {
            if (digit != '0') present.push_back(digit - '0');
        }
        std::sort(present.begin(), present.end());
        for (std::size_t i = 0; i < present.size(); ++i) ASSERT_EQ(present[i], static_cast<int>(i) + 1);

        // The chart is slot 1, a line feed, and the plain second slot with its line feed.
        int plain = 0;
        for (const int d : {1, 2, 3, 4, 5}) {  // Medium, Hard, Challenge, Beginner, Edit
            if (plain == 0 && model.ordinals[d] > 0) plain = d + 1;
        }
        const std::string chart = test::readFile(base + ".sm").value();
        ASSERT_EQ(chart, model.slots[1] + "\n" + (plain ? model.slots[plain] + "\n" : ""));
        ASSERT_FALSE(test::exists(base + "_1.dat"));

        // Plain lines and unsealed lines are the input's lines, each once.
        std::string everything = chart;
        for (int n = 2; n <= 6; ++n) {
            const std::string sealed = test::readFile(base + "_" + std::to_string(n) + ".dat").value();
            if (plain < 2 || n <= plain) {
                ASSERT_EQ(sealed, "") << "file " << n;
            }
            everything += test::unsealed(sealed);
        }
        std::string inputWithExtras = input;
        if (!input.empty() && input.back() != '\n') inputWithExtras += '\n';
        inputWithExtras += plain ? "\n\n" : "\n";
        ASSERT_EQ(sortedLines(everything), sortedLines(inputWithExtras));

        for (const auto& entry : std::filesystem::directory_iterator(dir())) std::filesystem::remove(entry.path());
    }
}

}  // namespace
}  // namespace chartseal
