// Giving a new file what it takes over from the chart, the same on every
// system through the seam.
#include "output/Permissions.h"

namespace chartseal {

bool givesAccessList(FileOps& ops, File& folder)
{
    const std::string inherited = defaultAccessListAttribute();
    if (inherited.empty()) return false;
    std::error_code ec;
    bool gives = false;
    for (const ExtendedAttribute& attribute : ops.extendedAttributes(folder.handle(), ec)) {
        gives = gives || attribute.name == inherited;
    }
    if (ec) throw RunError(folder.path(), "cannot read extended attributes", ec);
    return gives;
}

void takeChartAttributes(FileOps& ops, File& file, const std::string& shownAs, const FileAttributes& has,
                         const FileAttributes& wanted, const std::vector<ExtendedAttribute>& chartExtended,
                         bool folderGivesAccessList)
{
    const FileHandle handle = file.handle();
    std::error_code ec;
    bool groupKept = true;
    // Only root may give a file away, and a member of the chart's group may
    // still give it the group; otherwise the output stays the runner's, and
    // its group's bits go.
    if (has.owner != wanted.owner || has.group != wanted.group) {
        ops.setOwner(handle, wanted.owner, wanted.group, ec);
        if (ec == std::errc::operation_not_permitted && has.group != wanted.group) {
            ops.setOwner(handle, kKeepOwner, wanted.group, ec);
            if (ec == std::errc::operation_not_permitted) {
                groupKept = false;
                ec.clear();
            }
        } else if (ec == std::errc::operation_not_permitted) {
            ec.clear();
        }
        if (ec) throw RunError(shownAs, "cannot set owner", ec);
    }

    // Every extended attribute of the chart, its access list (narrowed where
    // the group could not be kept) among them. An access list the folder
    // gave the new file goes where the chart has none.
    const std::string accessList = accessListAttribute();
    bool hasAccessList = false;
    for (const ExtendedAttribute& attribute : chartExtended) {
        std::string value = attribute.value;
        if (attribute.name == accessList) {
            hasAccessList = true;
            if (!groupKept) value = accessListWithoutGroupAccess(value);
        }
        ops.setExtendedAttribute(handle, attribute.name, value, ec);
        if (ec) throw RunError(shownAs, "cannot copy extended attribute " + shownName(attribute.name), ec);
    }
    if (!accessList.empty() && !hasAccessList && folderGivesAccessList) {
        ops.setExtendedAttribute(handle, accessList, std::nullopt, ec);
        if (ec) throw RunError(shownAs, "cannot remove the folder's access list", ec);
    }
    // A POSIX access list sets the permission bits as well (the group's are
    // its mask): narrowed for a group not kept, they are left as it set them.
    if (hasAccessList && !groupKept) return;
    std::uint32_t bits = outputAttributeBits(wanted.bits);
    if (!groupKept) bits = withoutGroupAccess(bits);
    if (outputAttributeBits(file.status().attributes.bits) != bits) {
        ops.setAttributes(handle, bits, ec);
        if (ec) throw RunError(shownAs, "cannot set permissions", ec);
    }
}

}  // namespace chartseal
