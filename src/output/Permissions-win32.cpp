// What an output takes over from the chart, on Windows: the file attribute
// bits that do not stop it being written or replaced, and the chart's
// access list as it is.
#include "output/Permissions.h"

#include <windows.h>

namespace chartseal {

std::uint32_t newFileBits()
{
    return 0;
}

std::uint32_t outputAttributeBits(std::uint32_t chartBits)
{
    // A read-only output could not be written, nor put in the chart's place.
    return chartBits & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
}

std::string replacementRefusal(std::uint32_t chartBits)
{
    if (chartBits & FILE_ATTRIBUTE_READONLY) return "is read-only; clear its read-only attribute to seal it";
    return {};
}

std::uint32_t creationAttributeBits(std::uint32_t)
{
    return 0;
}

std::uint32_t withoutGroupAccess(std::uint32_t bits)
{
    return bits;
}

bool attributesAsTaken(const FileAttributes&, const FileAttributes&)
{
    return true;
}

std::string accessListAttribute()
{
    return "windows.dacl";
}

std::string defaultAccessListAttribute()
{
    return {};
}

std::string accessListWithoutGroupAccess(const std::string& value)
{
    return value;
}

}  // namespace chartseal
