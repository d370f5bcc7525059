// What the report tests share: a library of songs, a whole-tree picture to
// compare before and after, a search for temporary report files, and the
// decoding of a report's chart names.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "cli/LibraryCommand.h"

namespace chartseal::test {

// Every entry under a folder, by its path below it: what it is, and a
// file's bytes or a link's target.
inline std::map<std::string, std::string> wholeTree(const std::string& root)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(pathOf(root))) {
        // Said as it is: a link is not followed.
        const auto relative = entry.path().lexically_relative(pathOf(root)).u8string();
        const std::string name(relative.begin(), relative.end());
        if (entry.is_symlink()) {
            entries[name] = "link to " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            entries[name] = "folder";
        } else if (entry.is_regular_file()) {
            entries[name] = "file: " + readFile(entry.path().string()).value_or("<unreadable>");
        } else {
            entries[name] = "special";
        }
    }
    return entries;
}

// Every temporary report under the folder.
inline std::vector<std::string> partialsUnder(const std::string& root)
{
    std::vector<std::string> found;
    for (const auto& [name, what] : wholeTree(root)) {
        if (name.find(".partial") != std::string::npos) found.push_back(name);
    }
    return found;
}

// Appends the UTF-8 form of a code point.
inline void appendUtf8(std::string& out, unsigned cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The bytes of the JSON string that starts at line[at] (its opening quote),
// decoded as JSON says, with a lone \udc80..\udcff taken as the byte it
// stands for, as Python's surrogateescape does; at is left after the closing
// quote. Fails the test on anything JSON does not allow.
inline std::string decodeJsonString(const std::string& line, std::size_t& at)
{
    std::string out;
    EXPECT_EQ(line.at(at), '"');
    ++at;
    const auto hex4 = [&](std::size_t from) {
        unsigned value = 0;
        for (std::size_t i = from; i < from + 4; ++i) {
            const char c = line.at(i);
            value = value * 16 + static_cast<unsigned>(c >= 'a' ? c - 'a' + 10 : c >= 'A' ? c - 'A' + 10 : c - '0');
        }
        return value;
    };
    while (line.at(at) != '"') {
        const auto c = static_cast<unsigned char>(line[at]);
        EXPECT_GE(c, 0x20u) << "a raw control byte in " << line;
        if (c != '\\') {
            out += line[at++];
            continue;
        }
        const char e = line.at(at + 1);
        at += 2;
        switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
            unsigned cp = hex4(at);
            at += 4;
            if (cp >= 0xD800 && cp <= 0xDBFF && line.compare(at, 2, "\\u") == 0 && hex4(at + 2) >= 0xDC00 &&
                hex4(at + 2) <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (hex4(at + 2) - 0xDC00);
                at += 6;
                appendUtf8(out, cp);
            } else if (cp >= 0xDC80 && cp <= 0xDCFF) {
                out += static_cast<char>(cp - 0xDC00);
            } else {
                EXPECT_FALSE(cp >= 0xD800 && cp <= 0xDFFF) << "a lone surrogate that stands for no byte";
                appendUtf8(out, cp);
            }
            break;
        }
        default: ADD_FAILURE() << "no such JSON escape: \\" << e;
        }
    }
    ++at;
    return out;
}

// The chart names of a report, each line's "chart" decoded.
inline std::vector<std::string> reportedCharts(const std::string& report)
{
    std::vector<std::string> charts;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        const std::string key = "{\"chart\":";
        EXPECT_EQ(line.rfind(key, 0), 0u) << line;
        std::size_t at = key.size();
        charts.push_back(decodeJsonString(line, at));
    }
    return charts;
}

// A folder of its own for each test, and chartseal-library run in this
// process on it, as a command line would run it.
class LibraryCommandTest : public TempDirTest {
protected:
    struct Ran {
        int status;
        std::string out, err;
    };
    Ran run(const std::vector<std::string>& args, FileOps& ops = systemFileOps())
    {
        std::ostringstream out, err;
        LibraryCommand command(out, err, false, 1024, ops);
        const int status = command.run(args);
        return {status, out.str(), err.str()};
    }
};

class LibraryReportTest : public LibraryCommandTest {
protected:
    // Three songs in two album folders; one of them sealed already, so that
    // sealed files are there too.
    void makeLibrary()
    {
        std::filesystem::create_directories(pathOf(at("songs/album one")));
        std::filesystem::create_directories(pathOf(at("songs/album two")));
        writeFile(at("songs/album one/glass harbour.sm"), fiveCharts());
        writeFile(at("songs/album two/edit last.sm"), songHeader() + chartBlock("Edit") + chartBlock("Easy") +
                                                          chartBlock("Hard"));
        for (const auto& [name, bytes] : fiveChartsSealedFolder("lantern")) writeFile(at("songs/album two/" + name), bytes);
        std::filesystem::create_directories(pathOf(at("elsewhere")));
    }
    std::string root() const { return at("songs"); }
};

}  // namespace chartseal::test
