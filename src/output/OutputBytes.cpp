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

bool holdsOutputBytes(const SongPlan& plan, const SlotSet& slots, File& chart, std::vector<char>& block, int number,
                      File& file, std::uint64_t size, bool zerosMatch)
{
    std::vector<char> held(block.size());
    std::uint64_t offset = 0;
    bool matches = true;
    outputBytes(plan, slots, chart, block, number, [&](char* data, std::size_t n) {
        for (std::size_t done = 0; matches && done < n;) {
            const std::size_t got = file.readAt(held.data(), n - done, offset + done);
            if (got == 0) {
                matches = false;  // shorter than size: changed
                break;
            }
            for (std::size_t i = 0; i < got; ++i) {
                if (held[i] != data[done + i] && !(zerosMatch && held[i] == '\0')) matches = false;
            }
            done += got;
        }
        offset += n;
    }, size);
    return matches && offset == size;
}

}  // namespace chartseal
