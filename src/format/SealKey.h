// The fixed key of the sealed-file format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace chartseal {

inline constexpr std::size_t SEAL_KEY_LENGTH = 137;

// Every value lies from 10 to 29. The values are part of the sealed-file
// format: every reader of sealed chart files holds this same table, so it
// never changes.
extern const std::array<std::uint8_t, SEAL_KEY_LENGTH> SealKey;

}  // namespace chartseal
