#include "output/OutputBytes.h"

#include "output/ChartSealer.h"

namespace chartseal {

std::uint64_t outputBytes(const SongPlan& plan, const SlotSet& slots, File& chart, std::vector<char>& block,
                          int number, const std::function<void(char* data, std::size_t n)>& take,
                          std::uint64_t limit)
{
    std::uint64_t given = 0;
    const auto lineFeed = [&] {
        if (given >= limit) return;
        block[0] = '\n';
        take(block.data(), 1);
        ++given;
    };
    if (number == 1) {
        given += readSlot(slots.str1, chart, block, take, limit);
        lineFeed();
        if (const int second = plan.plainSecondSlot()) {
            given += readSlot(slots.slot(second), chart, block, take, limit - given);
            lineFeed();
        }
        return given;
    }
    if (!plan.isSealed(number)) return 0;  // an output that stays empty
    return ChartSealer::sealedPieces(slots.slot(number), chart, block, take, limit);
}

}  // namespace chartseal
