// What an output may take over from the chart it is made for: attribute
// bits, the access list, and whether a chart can be replaced at all; each
// system's rules in Permissions-posix.cpp and Permissions-win32.cpp.
#pragma once

#include <cstdint>
#include <string>

namespace chartseal {

// The attribute bits an output takes from the chart's: never set-ID or
// sticky bits on POSIX systems, never read-only or system bits on Windows.
std::uint32_t outputAttributeBits(std::uint32_t chartBits);
// The bits an output is created with: on POSIX systems the owner's bits of
// the chart, so that no one else may open it before it has its permissions.
std::uint32_t creationAttributeBits(std::uint32_t chartBits);
// Where the output cannot have the chart's group: the bits without access
// for its group, and without access for others that the chart's group did
// not have (its members are others for the output).
std::uint32_t withoutGroupAccess(std::uint32_t bits);

// The extended attribute that holds a file's access list, where the system
// keeps it in one ("system.posix_acl_access"); empty elsewhere.
std::string accessListAttribute();
// The extended attribute of a folder that gives its new files an access
// list ("system.posix_acl_default"); empty where there is none.
std::string defaultAccessListAttribute();
// The access list with the same change as withoutGroupAccess: no access for
// the owning group, and no more for others than that group had.
std::string accessListWithoutGroupAccess(const std::string& value);

// Why a chart with these attribute bits cannot be replaced, for a message;
// empty when it can. On Windows a read-only file cannot be replaced.
std::string replacementRefusal(std::uint32_t chartBits);

}  // namespace chartseal
