// chartunseal --restore run by other users: a POSIX matter of owners,
// groups and mode bits, which Windows keeps in access lists instead.
#include <gtest/gtest.h>

namespace chartseal {
namespace {

TEST(RestoreAsAnotherUser, TheRestoredChartKeepsOwnerGroupAndModeWhereTheRunnerMayGiveThem)
{
    GTEST_SKIP() << "POSIX owners, groups and modes in forked children; on Windows the RestoreRoundTrip and "
                    "EndToEnd tests restore songs with the chart's file attributes";
}

}  // namespace
}  // namespace chartseal
