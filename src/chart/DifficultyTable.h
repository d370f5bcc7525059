// The six difficulties a chart file can name, in their one fixed order.
#pragma once

#include <array>
#include <string_view>

namespace chartseal {

struct Difficulty {
    std::string_view keyword;  // as it stands on a difficulty line, letter case included
    int slot;                  // slot number, and number of the output file
};

inline constexpr int kDifficultyCount = 6;
inline constexpr int kSlotCount = 6;

// The order of every test over the difficulties and of the ordinal line.
// Beginner stands fifth, after Challenge: its slot and sealed file are 5.
inline constexpr std::array<Difficulty, kDifficultyCount> kDifficultyTable{{
    {"Easy", 1},
    {"Medium", 2},
    {"Hard", 3},
    {"Challenge", 4},
    {"Beginner", 5},
    {"Edit", 6},
}};

// Index of each difficulty in kDifficultyTable.
enum DifficultyIndex : int { kEasy = 0, kMedium, kHard, kChallenge, kBeginner, kEdit };

}  // namespace chartseal
