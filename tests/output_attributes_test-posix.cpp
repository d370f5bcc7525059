// What the outputs take from the chart on POSIX systems: permission bits,
// and the file at the end of a symbolic link.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"
#include "app/ExitStatus.h"

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

TEST_F(PosixOutput, ALinkedChartHasItsTargetReplaced)
{
    std::filesystem::create_directory(at("store"));
    const std::string file = chartBlock("Easy") + chartBlock("Medium") + chartBlock("Hard");
    test::writeFile(at("store/real.sm"), file);
    ASSERT_EQ(::symlink("store/real.sm", at("song.sm").c_str()), 0);

    ASSERT_EQ(runTool(), kExitSuccess) << err.str();
    EXPECT_TRUE(std::filesystem::is_symlink(at("song.sm")));
    EXPECT_EQ(readFile(at("store/real.sm")), chartBlock("Easy") + "\n" + chartBlock("Medium") + "\n");
    EXPECT_EQ(outFile(3), test::sealed(chartBlock("Hard")));
}

TEST_F(PosixOutput, ALinkToAnotherFileSystemFailsWithoutChangingAnything)
{
    // /dev/shm is a memory file system, apart from the scratch folder's.
    struct stat shm {}, here {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(dir().c_str(), &here) != 0 || shm.st_dev == here.st_dev) {
        GTEST_SKIP() << "no second file system to link to";
    }
    const std::string target = "/dev/shm/chartseal-test-" + std::to_string(::getpid()) + ".sm";
    const std::string file = chartBlock("Easy") + chartBlock("Medium") + chartBlock("Hard");
    test::writeFile(target, file);
    ASSERT_EQ(::symlink(target.c_str(), at("song.sm").c_str()), 0);

    EXPECT_EQ(runTool(), kExitOutputFailed);
    EXPECT_EQ(err.str(), "chartseal: " + at("song.sm") + ": cannot replace: Invalid cross-device link\n");
    EXPECT_EQ(readFile(target), file);
    EXPECT_EQ(createdOutputs(), 0);
    ::unlink(target.c_str());
}

}  // namespace
}  // namespace chartseal
