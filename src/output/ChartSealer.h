// Sealing: each byte of a slot plus the key byte of its position, modulo 256.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "chart/SlotSet.h"
#include "io/FileOps.h"

namespace chartseal {

class ChartSealer {
public:
    // Writes the sealed form of every byte of slot, read back from chart, to
    // out: byte i becomes (slot[i] + SealKey[i mod 137]) mod 256. The key
    // index starts at 0 for every call, so each sealed file stands on its
    // own. afterBlock, when given, is called after each block written. Throws
    // RunError when a read or a write fails.
    static void sealSlot(const Slot& slot, File& chart, File& out, const std::function<void()>& afterBlock = {});

    // The sealed bytes of the slot, read back from chart through block and
    // sealed there, handed to take in pieces, in order; stops after limit
    // bytes and returns how many were given.
    static std::uint64_t sealedPieces(const Slot& slot, File& chart, std::vector<char>& block,
                                      const std::function<void(char* data, std::size_t n)>& take,
                                      std::uint64_t limit = UINT64_MAX);

    // The bytes of a sealed chart file, read from its start through block
    // and unsealed there, handed to take in pieces, in order; returns how
    // many. Throws RunError when a read fails.
    static std::uint64_t unsealedPieces(File& sealed, std::vector<char>& block,
                                        const std::function<void(const char* data, std::size_t n)>& take);

    // Bytes read, sealed and written at a time.
    static constexpr std::size_t kBlockSize = std::size_t{256} << 10;
};

}  // namespace chartseal
