// chartseal-library's report on Windows: a device is written through; the
// POSIX cases, listed as skipped with the reason.
#include <gtest/gtest.h>

#include "LibraryReportSupport.h"
#include "TestSupport.h"
#include "console/ExitStatus.h"

namespace chartseal {
namespace {

using test::LibraryReportTest;

TEST_F(LibraryReportTest, TheNullDeviceIsWrittenThroughAndNotReplaced)
{
    makeLibrary();
    const auto outside = test::wholeTree(at("elsewhere"));
    const Ran ran = run({"--report", "NUL", root()});
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    EXPECT_EQ(ran.out, "3 songs in 3 folders: 2 sealed, 1 already-sealed, 0 refused, 0 failed, 0 unreadable\n");
    EXPECT_EQ(ran.err, "");
    EXPECT_EQ(test::wholeTree(at("elsewhere")), outside);
    EXPECT_EQ(test::partialsUnder(dir()), std::vector<std::string>{});
}

TEST(LibraryReportPosixOnly, LinksFifosTerminalsAnyByteNamesAndAClosedPipe)
{
    GTEST_SKIP() << "symbolic links need a privilege on Windows (a link at the report name is refused there, as "
                    "links are not followed), FIFOs and terminals are POSIX files, names are UTF-16 and cannot hold "
                    "a newline, a backslash or bytes that are not UTF-8, and SIGPIPE is POSIX";
}

}  // namespace
}  // namespace chartseal
