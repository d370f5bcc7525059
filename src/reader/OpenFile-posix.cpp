// POSIX names are bytes: the name is used as it is.
#include "reader/OpenFile.h"

namespace chartseal::reader {

std::FILE* openForReading(const char* path)
{
    return std::fopen(path, "rb");
}

}  // namespace chartseal::reader
