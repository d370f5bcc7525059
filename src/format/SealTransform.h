// The seal transform: each byte plus the key byte of its position, modulo
// 256. With the key, it is all a reader of sealed files needs; this layer
// depends on nothing else of the project.
#pragma once

#include <cstddef>

namespace chartseal {

// The transforms in both directions over n bytes (in and out may be the same
// buffer), starting at key index keyIndex (taken modulo the key length);
// they return the key index of the byte after the last, so that a long input
// can be taken in parts.
std::size_t sealBytes(const char* in, char* out, std::size_t n, std::size_t keyIndex);
std::size_t unsealBytes(const char* in, char* out, std::size_t n, std::size_t keyIndex);

}  // namespace chartseal
