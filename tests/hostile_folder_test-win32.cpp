// Folders an operator may have prepared, on Windows: device names, folders
// and hard links at the output names. The POSIX cases that have no Windows
// form are listed as skipped, with the reason.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "run/RunDriver.h"
#include "chart/ChartScanner.h"
#include "output/OutputWriter.h"

namespace chartseal {
namespace {

using test::chartBlock;
namespace fs = std::filesystem;

class HostileFolder : public test::SongFolderTest {
protected:
    static std::string fiveCharts() { return test::fiveCharts(); }
};

TEST_F(HostileFolder, AFolderAtAnyOutputNameIsRefusedBeforeAnythingChanges)
{
    for (int n = 1; n <= 6; ++n) {
        SCOPED_TRACE("output " + std::to_string(n));
        fs::remove_all(dir());
        fs::create_directory(dir());
        test::writeFile(at("song.sm"), fiveCharts());
        fs::create_directory(outName(n));
        EXPECT_EQ(runTool(), kExitOutputFailed);
        EXPECT_EQ(err.str(), "chartseal: " + outName(n) + ": is a directory, not a regular file\n");
        EXPECT_EQ(chart(), fiveCharts());
        EXPECT_EQ(std::distance(fs::directory_iterator(dir()), {}), 2);
    }
}

TEST_F(HostileFolder, ADeviceNameIsNoChart)
{
    // "NUL.sm" names the null device on Windows, whatever the folder.
    std::istringstream in(at("NUL") + "\n");
    std::ostringstream out;
    EXPECT_EQ(RunDriver(in, out, err, [] {}).run(), kExitChartUnreadable);
    EXPECT_NE(err.str().find("not a regular file"), std::string::npos) << err.str();
    EXPECT_TRUE(fs::is_empty(dir()));
}

TEST_F(HostileFolder, ADeviceNameAtAnOutputNameIsRefused)
{
    // "NUL.x_1.dat" names the null device too: the part before the first dot
    // is what counts. (A run could only meet it with a chart that is NUL
    // itself, so the output stage is asked directly.)
    test::writeFile(at("song.sm"), fiveCharts());
    File folder = openFolderOf(systemFileOps(), at("song.sm"));
    ChartStream stream = ChartScanner().openChartInFolder(folder, "song.sm", at("song.sm"));
    const OrdinalTable ordinals;
    const SlotSet slots;
    const SongPlan plan(at("NUL.x"), ordinals, slots);
    OutputWriter writer(systemFileOps(), folder, at("NUL.x"), "song.sm", at("song.sm"));
    try {
        writer.prepare(plan, slots, stream, stream.file().identity());
        writer.inspect();
        FAIL() << "a device name was taken for an output";
    } catch (const RunError& e) {
        EXPECT_EQ(std::string(e.what()), at("NUL.x_1.dat") + ": is a character device, not a regular file");
    }
    EXPECT_EQ(chart(), fiveCharts());
}

TEST_F(HostileFolder, AnOutputWithAnotherHardLinkIsRefused)
{
    test::writeFile(at("song.sm"), fiveCharts());
    test::writeFile(at("elsewhere.txt"), "");
    fs::create_hard_link(at("elsewhere.txt"), outName(3));
    EXPECT_EQ(runTool(), kExitOutputFailed);
    EXPECT_EQ(err.str(), "chartseal: " + outName(3) + ": has another hard link; outputs must be files of their own\n");
    EXPECT_EQ(chart(), fiveCharts());
}

TEST(HostileFolderPosixOnly, SymbolicLinksFifosSocketsAndDevicesAtOutputNames)
{
    GTEST_SKIP() << "symbolic links are not created under wine, and FIFOs, sockets and device nodes in a folder "
                    "are POSIX things; the refusal of a link or special file is tested on Linux";
}

TEST(HostileFolderPosixOnly, PermissionBitsSetIdBitsAndOwnersOfTheOutputs)
{
    GTEST_SKIP() << "Windows files have attributes and access lists, not POSIX permission bits or owners; the "
                    "attributes the outputs take are tested in WindowsOutput";
}

}  // namespace
}  // namespace chartseal
