// --help and the man page say the same: every option and every exit status
// that one lists, the other lists too.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "TestSupport.h"

namespace chartseal {
namespace {

struct Program {
    std::string name;
    std::string binary;
    std::string page;  // the man page's source
    friend void PrintTo(const Program& p, std::ostream* os) { *os << p.name; }
};

struct Listed {
    std::set<std::string> options;
    std::set<std::string> statuses;
};

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.ends_with('\r')) line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The words of the text that are options: "-j", "--jobs", "--".
void addOptions(std::string text, std::set<std::string>& options)
{
    for (char& c : text) {
        if (c == ',' || c == '"' || c == '=') c = ' ';
    }
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (word.starts_with("-")) options.insert(word);
    }
}

// --help: under "Options:", each line that begins with an option names it
// (and its value) before two spaces; under "Exit status:", "  <status>:"
// begins each status.
Listed fromHelp(const std::string& help)
{
    Listed listed;
    std::string section;
    for (const std::string& line : linesOf(help)) {
        if (!line.empty() && line[0] != ' ') {
            section = line;
            continue;
        }
        // An option's names begin in the third column, a long one without
        // a short one in the seventh.
        const std::size_t start = line.find_first_not_of(' ');
        if (section == "Options:" && (start == 2 || start == 6) && line[start] == '-') {
            addOptions(line.substr(start, line.find("  ", start) - start), listed.options);
        } else if (section == "Exit status:" && start == 2) {
            listed.statuses.insert(line.substr(2, line.find(':') - 2));
        }
    }
    return listed;
}

// The man page: the tag after each .TP under OPTIONS and EXIT STATUS, its
// font macro and quotes dropped, "\-" read as "-".
Listed fromPage(const std::string& page)
{
    Listed listed;
    std::string section;
    bool tag = false;
    for (std::string line : linesOf(page)) {
        for (std::size_t at; (at = line.find("\\-")) != std::string::npos;) line.erase(at, 1);
        if (line.starts_with(".SH ")) {
            section = line.substr(4);
            tag = false;
            continue;
        }
        if (line == ".TP") {
            tag = true;
            continue;
        }
        if (!tag) continue;
        tag = false;
        const std::string text = line.starts_with(".") ? line.substr(std::min(line.find(' '), line.size())) : line;
        if (section == "OPTIONS") {
            addOptions(text, listed.options);
        } else if (section == "EXIT STATUS") {
            std::string status;
            for (const char c : text) {
                if (c != ' ' && c != '"') status += c;
            }
            listed.statuses.insert(status);
        }
    }
    return listed;
}

class HelpAndManual : public test::TempDirTest, public ::testing::WithParamInterface<Program> {};

TEST_P(HelpAndManual, ListTheSameOptionsAndExitStatuses)
{
    const test::ProcessResult help = test::runProgram(GetParam().binary, dir(), "", {"--help"});
    ASSERT_EQ(help.status, 0);
    const std::optional<std::string> page = test::readFile(GetParam().page);
    ASSERT_TRUE(page.has_value()) << GetParam().page;
    const Listed helped = fromHelp(help.out), documented = fromPage(*page);
    EXPECT_FALSE(helped.options.empty()) << help.out;
    EXPECT_FALSE(helped.statuses.empty()) << help.out;
    EXPECT_EQ(helped.options, documented.options);
    EXPECT_EQ(helped.statuses, documented.statuses);
}

INSTANTIATE_TEST_SUITE_P(Programs, HelpAndManual,
                         ::testing::Values(Program{"chartseal_library", CHARTSEAL_LIBRARY_BIN,
                                                   CHARTSEAL_DOC_DIR "/chartseal-library.1"},
                                           Program{"chartunseal", CHARTUNSEAL_BIN, CHARTSEAL_DOC_DIR "/chartunseal.1"}),
                         [](const ::testing::TestParamInfo<Program>& info) { return info.param.name; });

}  // namespace
}  // namespace chartseal
