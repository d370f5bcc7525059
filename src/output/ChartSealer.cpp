// Sealing a slot: read back from the chart in blocks, sealed in place, written.
#include "output/ChartSealer.h"

#include <vector>

namespace chartseal {

void ChartSealer::sealSlot(const Slot& slot, File& chart, File& out, const std::function<void()>& afterBlock)
{
    std::vector<char> block(kBlockSize);
    std::size_t keyIndex = 0;
    readSlot(slot, chart, block, [&](char* data, std::size_t n) {
        keyIndex = sealBytes(data, data, n, keyIndex);
        out.writeAll(data, n);
        if (afterBlock) afterBlock();
    });
}

}  // namespace chartseal
