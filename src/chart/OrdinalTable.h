// Where each difficulty first appears in a chart file.
#pragma once

#include <array>
#include <string>

#include "chart/DifficultyTable.h"

namespace chartseal {

// One ordinal per difficulty, in kDifficultyTable order: 0 when the
// difficulty does not occur, otherwise 1, 2, 3, ... in the order of first
// appearance.
struct OrdinalTable {
    std::array<int, kDifficultyCount> ordinal{};

    bool present(int index) const { return ordinal[index] > 0; }
    // The index of the difficulty that holds the given ordinal, or -1.
    int indexOf(int value) const;
    // The ordinals as decimal numbers with nothing between them: "234510".
    std::string toLine() const;

    bool operator==(const OrdinalTable&) const = default;
};

}  // namespace chartseal
