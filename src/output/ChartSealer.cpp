// Sealing a slot: read back from the chart in blocks, sealed in place, written.
#include "output/ChartSealer.h"

#include <vector>

#include "format/SealKey.h"
#include "format/SealTransform.h"

namespace chartseal {

std::uint64_t ChartSealer::sealedPieces(const Slot& slot, File& chart, std::vector<char>& block,
                                        const std::function<void(char* data, std::size_t n)>& take,
                                        std::uint64_t limit)
{
    std::size_t keyIndex = 0;
    return readSlot(
        slot, chart, block,
        [&](char* data, std::size_t n) {
            keyIndex = sealBytes(data, data, n, keyIndex);
            take(data, n);
        },
        limit);
}

std::uint64_t ChartSealer::unsealedPieces(File& sealed, std::vector<char>& block,
                                          const std::function<void(const char* data, std::size_t n)>& take)
{
    std::uint64_t offset = 0;  // every sealed file starts at key byte 0
    while (const std::size_t n = sealed.readAt(block.data(), block.size(), offset)) {
        unsealBytes(block.data(), block.data(), n, static_cast<std::size_t>(offset % SEAL_KEY_LENGTH));
        take(block.data(), n);
        offset += n;
    }
    return offset;
}

void ChartSealer::sealSlot(const Slot& slot, File& chart, File& out, const std::function<void()>& afterBlock)
{
    std::vector<char> block(kBlockSize);
    sealedPieces(slot, chart, block, [&](char* data, std::size_t n) {
        out.writeAll(data, n);
        if (afterBlock) afterBlock();
    });
}

}  // namespace chartseal
