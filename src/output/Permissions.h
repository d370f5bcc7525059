// What an output may take over from the chart it is made for: attribute
// bits, the access list, and whether a chart can be replaced at all; each
// system's rules in Permissions-posix.cpp and Permissions-win32.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/FileOps.h"

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
// Whether new files in the folder get an access list from it (its default
// access list), which an output must lose where the chart has none. Throws
// RunError, naming the folder, where its attributes cannot be read.
bool givesAccessList(FileOps& ops, File& folder);

// The access list with the same change as withoutGroupAccess: no access for
// the owning group, and no more for others than that group had.
std::string accessListWithoutGroupAccess(const std::string& value);

// Whether an output that holds these attributes has what it would take from
// a chart with those: on POSIX systems the chart's mode bits, without the
// group's where it does not have the chart's group, and the chart's owner or
// else the runner's (who may not give files away; the runner reads the
// chart); on Windows, where access comes from the folder's access list,
// always.
bool attributesAsTaken(const FileAttributes& output, const FileAttributes& chart);

// Why a chart with these attribute bits cannot be replaced, for a message;
// empty when it can. On Windows a read-only file cannot be replaced.
std::string replacementRefusal(std::uint32_t chartBits);

// The attribute bits a file this process makes anew gets by default: on
// POSIX systems 0666 less the process's umask; nothing on Windows.
std::uint32_t newFileBits();

// Gives a new file made for the chart the chart's owner and group where the
// runner may (else it stays the runner's, and its group's bits go), every
// extended attribute of the chart (its access list narrowed the same way),
// and its attribute bits; removes an access list the folder gave the file
// where the chart has none. has: the new file's attributes as its creation
// left them. Throws RunError, naming shownAs.
void takeChartAttributes(FileOps& ops, File& file, const std::string& shownAs, const FileAttributes& has,
                         const FileAttributes& chart, const std::vector<ExtendedAttribute>& chartExtended,
                         bool folderGivesAccessList);

}  // namespace chartseal
