// The seal transform, done one key length at a time so the compiler can
// vectorise it.
#include "format/SealTransform.h"

#include <cstdint>

#include "format/SealKey.h"

namespace chartseal {

namespace {

// sign is +1 to seal and -1 to unseal; the sum wraps modulo 256.
template <int sign>
std::size_t transform(const char* in, char* out, std::size_t n, std::size_t keyIndex)
{
    const auto* src = reinterpret_cast<const std::uint8_t*>(in);
    auto* dst = reinterpret_cast<std::uint8_t*>(out);
    std::size_t i = 0;
    // Up to the next start of the key.
    while (i < n && keyIndex != 0) {
        dst[i] = static_cast<std::uint8_t>(src[i] + sign * SealKey[keyIndex]);
        ++i;
        keyIndex = keyIndex + 1 == SEAL_KEY_LENGTH ? 0 : keyIndex + 1;
    }
    // Whole key lengths.
    for (; n - i >= SEAL_KEY_LENGTH; i += SEAL_KEY_LENGTH) {
        for (std::size_t k = 0; k < SEAL_KEY_LENGTH; ++k) {
            dst[i + k] = static_cast<std::uint8_t>(src[i + k] + sign * SealKey[k]);
        }
    }
    for (; i < n; ++i, ++keyIndex) dst[i] = static_cast<std::uint8_t>(src[i] + sign * SealKey[keyIndex]);
    return keyIndex;
}

}  // namespace

std::size_t sealBytes(const char* in, char* out, std::size_t n, std::size_t keyIndex)
{
    return transform<1>(in, out, n, keyIndex % SEAL_KEY_LENGTH);
}

std::size_t unsealBytes(const char* in, char* out, std::size_t n, std::size_t keyIndex)
{
    return transform<-1>(in, out, n, keyIndex % SEAL_KEY_LENGTH);
}

}  // namespace chartseal
