// The six slots that the partition fills with the lines of a chart file.
#pragma once

#include <cstddef>
#include <string>

namespace chartseal {

// Slot N holds whole chart-file lines, each followed by one line feed.
struct SlotSet {
    std::string str1, str2, str3, str4, str5, str6;

    // Slot by number, 1 to 6.
    std::string& slot(int number) { return this->*member(number); }
    const std::string& slot(int number) const { return this->*member(number); }

    std::size_t totalSize() const
    {
        return str1.size() + str2.size() + str3.size() + str4.size() + str5.size() + str6.size();
    }

private:
    static std::string SlotSet::*member(int number)
    {
        static constexpr std::string SlotSet::*members[] = {
            &SlotSet::str1, &SlotSet::str2, &SlotSet::str3, &SlotSet::str4, &SlotSet::str5, &SlotSet::str6,
        };
        return members[number - 1];
    }
};

}  // namespace chartseal
