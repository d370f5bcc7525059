// Song folders shared with other users, on Windows: the POSIX cases, which
// take other users' ids, listed as skipped with the reason.
#include <gtest/gtest.h>

namespace chartseal {
namespace {

TEST(SharedFolderPosixOnly, OtherUsersGroupsAccessListsAndExtendedAttributes)
{
    GTEST_SKIP() << "the cases take other users' and groups' ids with setresuid, and copy POSIX access lists and "
                    "extended attributes; Windows access lists are not copied (the outputs get the folder's)";
}

}  // namespace
}  // namespace chartseal
