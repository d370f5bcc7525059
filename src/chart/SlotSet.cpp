// Slots as ranges of the chart, and reading them back.
#include "chart/SlotSet.h"

#include <algorithm>

#include "chart/ChartStream.h"

namespace chartseal {

std::uint64_t Slot::size() const
{
    std::uint64_t total = addedLineFeed ? 1 : 0;
    for (const ByteRange& range : ranges) total += range.length;
    return total;
}

void Slot::add(ByteRange range)
{
    if (range.length == 0) return;
    if (!ranges.empty() && ranges.back().offset + ranges.back().length == range.offset) {
        ranges.back().length += range.length;
    } else {
        ranges.push_back(range);
    }
}

std::uint64_t SlotSet::totalSize() const
{
    std::uint64_t total = 0;
    for (int number = 1; number <= 6; ++number) total += slot(number).size();
    return total;
}

std::uint64_t readSlot(const Slot& slot, File& chart, std::vector<char>& buffer,
                       const std::function<void(char* data, std::size_t n)>& take, std::uint64_t limit)
{
    std::uint64_t given = 0;
    for (const ByteRange& range : slot.ranges) {
        for (std::uint64_t done = 0; done < range.length && given < limit;) {
            const auto want = static_cast<std::size_t>(
                std::min<std::uint64_t>({buffer.size(), range.length - done, limit - given}));
            const std::size_t n = readChart(chart, buffer.data(), want, range.offset + done);
            if (n == 0) throw refusal(chart.path(), "changed while it was being sealed; run chartseal again");
            take(buffer.data(), n);
            done += n;
            given += n;
        }
    }
    if (slot.addedLineFeed && given < limit) {
        buffer[0] = '\n';
        take(buffer.data(), 1);
        ++given;
    }
    return given;
}

}  // namespace chartseal
