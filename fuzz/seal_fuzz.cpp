// Fuzz target: sealing in arbitrary parts gives the formula's bytes, and
// unsealing gives back the input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "format/SealKey.h"
#include "format/SealTransform.h"

using namespace chartseal;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) return 0;
    const std::size_t part = 1 + (data[0] | data[1] << 8) % 700;
    const std::string in(reinterpret_cast<const char*>(data) + 2, size - 2);

    std::string sealed(in.size(), '\0');
    std::size_t keyIndex = 0;
    for (std::size_t pos = 0; pos < in.size(); pos += part) {
        const std::size_t n = std::min(part, in.size() - pos);
        keyIndex = sealBytes(in.data() + pos, sealed.data() + pos, n, keyIndex);
    }
    for (std::size_t i = 0; i < in.size(); ++i) {
        const auto expected = static_cast<std::uint8_t>(static_cast<std::uint8_t>(in[i]) + SealKey[i % SEAL_KEY_LENGTH]);
        if (static_cast<std::uint8_t>(sealed[i]) != expected) std::abort();
    }
    std::string back = sealed;
    unsealBytes(back.data(), back.data(), back.size(), 0);
    if (back != in) std::abort();
    return 0;
}
