// What the tests of chartseal-library --into share: runs of the command, the
// files under a folder, what in-place runs on copies of the songs leave (the
// outputs a run into OUT must equal), and the report's lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "LibraryReportSupport.h"
#include "TestSupport.h"
#include "cli/LibraryCommand.h"
#include "console/ExitStatus.h"
#include "run/RunDriver.h"

namespace chartseal::test {

// A name as the report's JSON writes it: within quotes, a backslash (in a
// Windows name) and a quote escaped.
inline std::string json(const std::string& name)
{
    std::string text = "\"";
    for (const char c : name) text += c == '\\' || c == '"' ? std::string("\\") + c : std::string(1, c);
    return text + "\"";
}

// A name below a folder, with "/" between its entries on every system.
inline std::string below(const std::filesystem::path& path, const std::string& root)
{
    const auto relative = path.lexically_relative(pathOf(root)).generic_u8string();
    return std::string(relative.begin(), relative.end());
}

// The record an output tree keeps of its songs, at its top.
inline constexpr const char* kTreeRecord = ".chartseal-outputs";

// Every regular file under a folder, by its name below it, with its bytes;
// an output tree's record of its songs aside.
inline std::map<std::string, std::string> files(const std::string& root)
{
    std::map<std::string, std::string> all;
    if (!exists(root)) return all;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(pathOf(root))) {
        if (entry.is_regular_file() && !entry.is_symlink() && below(entry.path(), root) != kTreeRecord) {
            all[below(entry.path(), root)] = readFile(entry.path().string()).value_or("<unreadable>");
        }
    }
    return all;
}

// The six outputs of the song at stem ("album/song"), in the order the
// report lists them.
inline std::vector<std::string> outputsOf(const std::string& stem)
{
    std::vector<std::string> names{stem + ".sm"};
    for (int n = 2; n <= 6; ++n) names.push_back(stem + "_" + std::to_string(n) + ".dat");
    return names;
}

class IntoTest : public LibraryCommandTest {
protected:
    std::string src() const { return at("src"); }
    std::string out() const { return at("out"); }

    // Each chart under root, by its path as the report names it, with the
    // place it has in OUT ("album/song.sm").
    static std::vector<std::pair<std::string, std::string>> chartsUnder(const std::string& root)
    {
        std::vector<std::pair<std::string, std::string>> charts;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(pathOf(root))) {
            const std::string name = below(entry.path(), root);
            if (entry.is_regular_file() && name.ends_with(".sm")) charts.emplace_back(root + "/" + name, name);
        }
        std::sort(charts.begin(), charts.end());
        return charts;
    }

    // In-place chartseal runs on copies: each chart copied, with its
    // permission bits, to its place in a new scratch folder (where given,
    // prepare then makes the copy more like the chart), and sealed there by
    // a run of its own, as run does (by default, by this process). Returns
    // the scratch folder.
    using Prepare = std::function<void(const std::string& chart, const std::string& copy)>;
    using SealCopy = std::function<void(const std::string& base)>;
    std::string sealCopies(const std::vector<std::pair<std::string, std::string>>& charts, const Prepare& prepare = {},
                           SealCopy run = {})
    {
        namespace fs = std::filesystem;
        const std::string scratch = at("in place " + std::to_string(++copies_));
        for (const auto& [chart, place] : charts) {
            const std::string copy = scratch + "/" + place;
            fs::create_directories(pathOf(copy).parent_path());
            fs::copy_file(pathOf(chart), pathOf(copy));
            fs::permissions(pathOf(copy), fs::status(pathOf(chart)).permissions());
            if (prepare) prepare(chart, copy);
            const std::string base = copy.substr(0, copy.size() - 3);
            if (run) {
                run(base);
                continue;
            }
            std::istringstream in(base + "\n");
            std::ostringstream said, err;
            EXPECT_EQ(RunDriver(in, said, err, [] {}).run(), kExitSuccess) << err.str();
        }
        return scratch;
    }
    // What they leave: the files of the scratch folder, by their names below it.
    std::map<std::string, std::string> sealedInPlace(const std::vector<std::pair<std::string, std::string>>& charts)
    {
        const std::string scratch = sealCopies(charts);
        auto sealed = files(scratch);
        std::filesystem::remove_all(pathOf(scratch));
        return sealed;
    }

    // The report's line of the chart.
    static std::string reportLine(const std::string& report, const std::string& chart)
    {
        std::istringstream lines(readFile(report).value_or(""));
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("{\"chart\":" + json(chart) + ",")) return line;
        }
        ADD_FAILURE() << "no line for " << chart << " in " << report;
        return "";
    }
    // The "changed" list of a report line, as it stands there.
    static std::string changedIn(const std::string& line)
    {
        const auto from = line.find("\"changed\":[");
        if (from == std::string::npos) return "<none>";
        return line.substr(from + 10, line.find(']', from) - from - 9);
    }
    // The names below OUT (or tree) as a JSON list of the names the report
    // shows.
    std::string shownList(const std::vector<std::string>& names, const std::string& tree = {}) const
    {
        std::string list = "[";
        for (const std::string& name : names) {
            if (list.size() > 1) list += ',';
            list += json((tree.empty() ? out() : tree) + "/" + name);
        }
        return list + "]";
    }

private:
    int copies_ = 0;
};

}  // namespace chartseal::test
