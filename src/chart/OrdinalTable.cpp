// Ordinal look-up and the console form of the table.
#include "chart/OrdinalTable.h"

namespace chartseal {

int OrdinalTable::indexOf(int value) const
{
    for (int i = 0; i < kDifficultyCount; ++i) {
        if (ordinal[i] == value) return i;
    }
    return -1;
}

std::string OrdinalTable::toLine() const
{
    std::string line;
    for (const int value : ordinal) line += std::to_string(value);
    return line;
}

}  // namespace chartseal
