// What an output takes over from the chart, on POSIX systems: the mode bits
// and the POSIX access list as Linux stores it.
#include "output/Permissions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

namespace chartseal {

namespace {

// The POSIX access list as Linux stores it in its attribute: a 4-byte
// version, then 8-byte entries of tag, permissions and id, little-endian.
constexpr std::size_t kAclHeader = 4, kAclEntry = 8;
constexpr std::uint16_t kAclGroupObj = 0x04, kAclMask = 0x10, kAclOther = 0x20;

std::uint16_t get16(const std::string& s, std::size_t at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}

}  // namespace

std::uint32_t newFileBits()
{
    // The umask is read by setting it; set back at once, before any thread
    // of the run starts.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~static_cast<std::uint32_t>(mask);
}

std::uint32_t outputAttributeBits(std::uint32_t chartBits)
{
    return chartBits & 0777;
}

std::uint32_t creationAttributeBits(std::uint32_t chartBits)
{
    return chartBits & 0700;
}

std::uint32_t withoutGroupAccess(std::uint32_t bits)
{
    const std::uint32_t group = (bits >> 3) & 7;
    return (bits & 0700) | (bits & group);
}

bool attributesAsTaken(const FileAttributes& output, const FileAttributes& chart)
{
    // An owner the chart no longer has may read the output, and change its
    // mode, whatever the bits say.
    if (output.owner != chart.owner && output.owner != ::geteuid()) return false;
    std::uint32_t wanted = outputAttributeBits(chart.bits);
    if (output.group != chart.group) wanted = withoutGroupAccess(wanted);
    return outputAttributeBits(output.bits) == wanted;
}

std::string accessListAttribute()
{
    return "system.posix_acl_access";
}

std::string defaultAccessListAttribute()
{
    return "system.posix_acl_default";
}

std::string accessListWithoutGroupAccess(const std::string& value)
{
    if (value.size() < kAclHeader || (value.size() - kAclHeader) % kAclEntry != 0) return value;
    // What the owning group may do, through the mask where there is one.
    std::uint16_t group = 7, mask = 7;
    for (std::size_t at = kAclHeader; at < value.size(); at += kAclEntry) {
        if (get16(value, at) == kAclGroupObj) group = get16(value, at + 2);
        if (get16(value, at) == kAclMask) mask = get16(value, at + 2);
    }
    std::string narrowed = value;
    for (std::size_t at = kAclHeader; at < value.size(); at += kAclEntry) {
        const std::uint16_t tag = get16(value, at);
        std::uint16_t perm = get16(value, at + 2);
        if (tag == kAclGroupObj) perm = 0;
        if (tag == kAclOther) perm = static_cast<std::uint16_t>(perm & group & mask);
        narrowed[at + 2] = static_cast<char>(perm & 0xFF);
        narrowed[at + 3] = static_cast<char>(perm >> 8);
    }
    return narrowed;
}

std::string replacementRefusal(std::uint32_t)
{
    // The folder's permissions decide, and the rename reports them.
    return {};
}

}  // namespace chartseal
