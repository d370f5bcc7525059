// Opening a sealed file by a name held as UTF-8, on each system.
#pragma once

#include <cstdio>

namespace chartseal::reader {

// The file opened for reading bytes; nullptr, with errno set, on failure.
std::FILE* openForReading(const char* path);

}  // namespace chartseal::reader
