// A plain, line-by-line model of the survey and the partition, written
// independently of ChartScanner so the two can be checked against each other.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace chartseal::test {

inline constexpr std::string_view kModelSpace(" \t\n\v\f\r", 6);

// The chart file's lines, without their line feeds.
inline std::vector<std::string_view> modelLines(std::string_view bytes)
{
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t lf = bytes.find('\n', pos);
        const std::size_t end = lf == std::string_view::npos ? bytes.size() : lf;
        lines.push_back(bytes.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

inline bool modelNames(std::string_view line, std::string_view keyword)
{
    const std::size_t start = line.find_first_not_of(kModelSpace);
    if (start == std::string_view::npos || line.substr(start, keyword.size()) != keyword) return false;
    return line.substr(start + keyword.size()).find_first_not_of(kModelSpace) != std::string_view::npos;
}

inline bool modelSeparator(std::string_view line)
{
    return line.substr(0, 17) == "//---------------" &&
           line.substr(17).find_first_not_of(kModelSpace) != std::string_view::npos;
}

struct ModelResult {
    std::array<int, 6> ordinals{};        // Easy, Medium, Hard, Challenge, Beginner, Edit
    std::array<std::string, 7> slots;     // slots[1] to slots[6]
    std::vector<int> slotOfLine;          // the slot each line went to
};

inline ModelResult modelRun(std::string_view bytes)
{
    static constexpr std::string_view keywords[] = {"Easy", "Medium", "Hard", "Challenge", "Beginner", "Edit"};
    ModelResult result;
    const std::vector<std::string_view> lines = modelLines(bytes);
    int counter = 1;
    for (const std::string_view line : lines) {
        for (int d = 0; d < 6; ++d) {
            if (modelNames(line, keywords[d])) {
                if (result.ordinals[d] == 0) result.ordinals[d] = counter++;
                break;
            }
        }
    }
    int current = 1;
    int next = 1;
    for (const std::string_view line : lines) {
        if (modelSeparator(line)) {
            for (int d = 0; d < 6; ++d) {
                if (result.ordinals[d] == next) {
                    current = d + 1;
                    ++next;
                    break;
                }
            }
        }
        result.slots[current] += std::string(line) + "\n";
        result.slotOfLine.push_back(current);
    }
    return result;
}

}  // namespace chartseal::test
