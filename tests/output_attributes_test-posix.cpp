// What the outputs take from the chart on POSIX systems: permission bits,
// and the file at the end of a symbolic link.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"
#include "console/ExitStatus.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::readFile;

using PosixOutput = test::SongFolderTest;

TEST_F(PosixOutput, TheChartKeepsItsPermissionBits)
{
    test::writeFile(at("song.sm"), chartBlock("Easy") + chartBlock("Hard"));
    ASSERT_EQ(::chmod(at("song.sm").c_str(), 0640), 0);
    ASSERT_EQ(runTool(), kExitSuccess);
    struct stat st {};
    ASSERT_EQ(::stat(at("song.sm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(PosixOutput, ALinkWithinTheFolderHasItsTargetReplaced)
{
    const std::string file = chartBlock("Easy") + chartBlock("Medium") + chartBlock("Hard");
    test::writeFile(at("real.sm"), file);
    ASSERT_EQ(::symlink("real.sm", at("link.sm").c_str()), 0);
    ASSERT_EQ(::symlink("./link.sm", at("song.sm").c_str()), 0);

    ASSERT_EQ(runTool(), kExitSuccess) << err.str();
    EXPECT_TRUE(std::filesystem::is_symlink(at("song.sm")));
    EXPECT_EQ(readFile(at("real.sm")), chartBlock("Easy") + "\n" + chartBlock("Medium") + "\n");
    EXPECT_EQ(outFile(3), test::sealed(chartBlock("Hard")));
}

// A chart linked from elsewhere: replacing it there would leave its sealed
// files here, where others may read them; writing here for it might be
// writing where the link's owner chose.
TEST_F(PosixOutput, ALinkIntoAnotherFolderOrFileSystemIsRefusedWithoutChangingAnything)
{
    const std::string file = chartBlock("Easy") + chartBlock("Medium") + chartBlock("Hard");
    std::filesystem::create_directory(at("store"));
    const std::string shm = "/dev/shm/chartseal-test-" + std::to_string(::getpid()) + ".sm";
    for (const std::string& target : {std::string("store/real.sm"), at("store/real.sm"), shm}) {
        SCOPED_TRACE(target);
        test::writeFile(target.starts_with("/") ? target : at(target), file);
        std::filesystem::remove(at("song.sm"));
        ASSERT_EQ(::symlink(target.c_str(), at("song.sm").c_str()), 0);
        EXPECT_EQ(runTool(), kExitOutputFailed);
        EXPECT_EQ(err.str(), "chartseal: " + at("song.sm") +
                                 ": is a symbolic link into another folder; seal the chart in its own folder\n");
        EXPECT_EQ(readFile(target.starts_with("/") ? target : at(target)), file);
        EXPECT_EQ(createdOutputs(), 0);
    }
    ::unlink(shm.c_str());
}

}  // namespace
}  // namespace chartseal
