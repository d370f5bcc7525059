// The six slots that the partition fills with the lines of a chart file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "chart/ChartNames.h"
#include "io/FileOps.h"

namespace chartseal {

// Bytes of the chart file, from offset on.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool operator==(const ByteRange&) const = default;
};

// One slot: whole chart-file lines, each followed by one line feed. It is
// kept as the ranges of the chart that hold those lines, in file order, so
// that no slot's bytes are held in memory; the chart's last line, when it
// has no line feed, receives one at the end of its slot.
struct Slot {
    std::vector<ByteRange> ranges;
    bool addedLineFeed = false;
    ChartList charts;  // the charts whose lines it holds, by the partition

    std::uint64_t size() const;
    bool empty() const { return size() == 0; }
    // Appends the range, joining it to the last one where they touch.
    void add(ByteRange range);
    bool operator==(const Slot&) const = default;
};

struct SlotSet {
    Slot str1, str2, str3, str4, str5, str6;

    // Slot by number, 1 to 6.
    Slot& slot(int number) { return this->*member(number); }
    const Slot& slot(int number) const { return this->*member(number); }

    std::uint64_t totalSize() const;

private:
    static Slot SlotSet::*member(int number)
    {
        static constexpr Slot SlotSet::*members[] = {
            &SlotSet::str1, &SlotSet::str2, &SlotSet::str3, &SlotSet::str4, &SlotSet::str5, &SlotSet::str6,
        };
        return members[number - 1];
    }
};

// Reads the slot's bytes back from the chart into buffer, in pieces of at
// most buffer.size() bytes, and hands each piece to take, in order, to use or
// change in place; the added line feed comes last. Stops after limit bytes;
// returns how many were given. Throws RunError when the chart cannot be
// read (the chart unreadable), and when it is shorter than the slot says (a
// refusal: it changed since the partition).
std::uint64_t readSlot(const Slot& slot, File& chart, std::vector<char>& buffer,
                       const std::function<void(char* data, std::size_t n)>& take,
                       std::uint64_t limit = UINT64_MAX);

}  // namespace chartseal
