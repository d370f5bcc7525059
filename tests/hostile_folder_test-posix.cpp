// Folders an operator or an attacker may have prepared: links, shared files
// and special files at the output names, private and set-ID charts, and
// standard streams that fail.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "FolderSnapshot-posix.h"
#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "run/RunDriver.h"

namespace chartseal {
namespace {

using test::chartBlock;
namespace fs = std::filesystem;

class HostileFolder : public test::TempDirTest {
protected:
    int runTool(FileOps& ops = systemFileOps())
    {
        std::istringstream in(at("song") + "\n");
        std::ostringstream out;
        err.str("");
        return RunDriver(in, out, err, [] {}, ops).run();
    }
    std::string outName(int n) { return at("song_" + std::to_string(n) + ".dat"); }
    std::ostringstream err;
};

struct Trap {
    const char* name;
    std::function<void(const std::string& dir)> prepare;  // in a folder holding song.sm
    std::string message;                                  // the line, after "chartseal: <dir>/"
    friend void PrintTo(const Trap& t, std::ostream* os) { *os << t.name; }
};

void link(const std::string& target, const std::string& name)
{
    ASSERT_EQ(::symlink(target.c_str(), name.c_str()), 0) << name;
}

class Refused : public HostileFolder, public ::testing::WithParamInterface<Trap> {};

TEST_P(Refused, BeforeAnythingChangesWithOneLineSayingWhy)
{
    test::writeFile(at("song.sm"), test::fiveCharts());
    GetParam().prepare(dir());
    const auto before = test::snapshot(dir());

    EXPECT_EQ(runTool(), kExitOutputFailed);
    std::string message = GetParam().message;  // other files are named by their whole path
    if (const std::size_t at = message.find("%DIR%"); at != std::string::npos) message.replace(at, 5, dir());
    EXPECT_EQ(err.str(), "chartseal: " + dir() + "/" + message + "\n");
    EXPECT_EQ(test::snapshot(dir()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Traps, Refused,
    ::testing::Values(
        Trap{"SealedFileLinkedToThePlainFile", [](const std::string& d) { link("song_1.dat", d + "/song_3.dat"); },
             "song_3.dat: is a symbolic link; outputs are never written through links"},
        Trap{"SealedFilesSharingOneFile",
             [](const std::string& d) {
                 test::writeFile(d + "/song_3.dat", "");
                 ASSERT_EQ(::link((d + "/song_3.dat").c_str(), (d + "/song_4.dat").c_str()), 0);
             },
             "song_4.dat: is the same file as %DIR%/song_3.dat"},
        Trap{"SealedFileLinkedToAnother",
             [](const std::string& d) {
                 test::writeFile(d + "/song_3.dat", "");
                 link("song_3.dat", d + "/song_4.dat");
             },
             "song_4.dat: is a symbolic link; outputs are never written through links"},
        Trap{"ChartLinkedToThePlainFile",
             [](const std::string& d) {
                 fs::rename(d + "/song.sm", d + "/song_1.dat");
                 link("song_1.dat", d + "/song.sm");
                 link("/dev/full", d + "/song_4.dat");
             },
             "song.sm: leads to the output file %DIR%/song_1.dat"},
        Trap{"ChartLinkedToASealedFile",
             [](const std::string& d) {
                 fs::rename(d + "/song.sm", d + "/song_3.dat");
                 link("song_3.dat", d + "/song.sm");
             },
             "song.sm: leads to the output file %DIR%/song_3.dat"},
        Trap{"ChartHardLinkedToASealedFile",
             [](const std::string& d) { ASSERT_EQ(::link((d + "/song.sm").c_str(), (d + "/song_6.dat").c_str()), 0); },
             "song_6.dat: is the same file as the chart %DIR%/song.sm"},
        Trap{"SealedFileWithALinkElsewhere",
             [](const std::string& d) {
                 test::writeFile(d + "/song_2.dat", "");
                 ASSERT_EQ(::link((d + "/song_2.dat").c_str(), (d + "/elsewhere").c_str()), 0);
             },
             "song_2.dat: has another hard link; outputs must be files of their own"},
        Trap{"FifoAtASealedName", [](const std::string& d) { ASSERT_EQ(::mkfifo((d + "/song_5.dat").c_str(), 0600), 0); },
             "song_5.dat: is a FIFO, not a regular file"},
        Trap{"LinkToADevice", [](const std::string& d) { link("/dev/null", d + "/song_5.dat"); },
             "song_5.dat: is a symbolic link; outputs are never written through links"},
        Trap{"DanglingLink", [](const std::string& d) { link("nowhere/x", d + "/song_4.dat"); },
             "song_4.dat: is a symbolic link; outputs are never written through links"},
        Trap{"DirectoryAtASealedName", [](const std::string& d) { fs::create_directory(d + "/song_3.dat"); },
             "song_3.dat: is a directory, not a regular file"},
        Trap{"DirectoryAtThePlainName", [](const std::string& d) { fs::create_directory(d + "/song_1.dat"); },
             "song_1.dat: is a directory, not a regular file"},
        Trap{"SocketAtASealedName",
             [](const std::string& d) {
                 const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
                 sockaddr_un address{};
                 address.sun_family = AF_UNIX;
                 const std::string name = d + "/song_2.dat";
                 ASSERT_LT(name.size(), sizeof address.sun_path);
                 name.copy(address.sun_path, name.size());
                 ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
                 ::close(s);
             },
             "song_2.dat: is a socket, not a regular file"},
        Trap{"AnotherFileAtASealedName", [](const std::string& d) { test::writeFile(d + "/song_4.dat", "x"); },
             "song_4.dat: is not a leftover of an unfinished run on this chart, which is left unchanged; "
             "if the song was sealed before, put it back first with: chartunseal --restore -- %DIR%/song; otherwise "
             "move the file away"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileFolder, ADeviceAtAnOutputNameIsRefused)
{
    test::writeFile(at("song.sm"), test::fiveCharts());
    if (::mknod(outName(5).c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) GTEST_SKIP() << "making a device needs root";
    EXPECT_EQ(runTool(), kExitOutputFailed);
    EXPECT_EQ(err.str(), "chartseal: " + outName(5) + ": is a character device, not a regular file\n");
    EXPECT_EQ(test::readFile(at("song.sm")), test::fiveCharts());
    EXPECT_FALSE(test::exists(outName(1)));
}

// Records, for each output, the mode it has right after it is created (at
// the first look at it) and the mode it has when its first byte is written.
struct ModeWatch {
    std::map<std::string, std::uint32_t> createdWith, atFirstByte;
    test::FileOpsProbe ops{[this](const test::FileOpsProbe::Call& call) {
        const std::string name = call.what.substr(call.what.find(' ') + 1);
        if (name.ends_with(".dat")) {
            if (call.is("status ") && createdWith.count(name) == 0) createdWith[name] = modeOf(call.handle);
            if (call.is("write ") && atFirstByte.count(name) == 0) atFirstByte[name] = modeOf(call.handle);
        }
        return std::error_code();
    }};
    std::uint32_t modeOf(FileHandle handle)
    {
        std::error_code ec;
        return systemFileOps().status(handle, ec).attributes.bits;
    }
};

TEST_F(HostileFolder, NoOutputIsEverMoreReadableThanTheChartNorCarriesSetIdBits)
{
    struct Case {
        mode_t chart;
        mode_t outputs;
    };
    for (const Case c : {Case{0600, 0600}, Case{0640, 0640}, Case{06755, 0755}, Case{01644, 0644}}) {
        SCOPED_TRACE("chart mode " + std::to_string(c.chart));
        fs::remove_all(dir());
        fs::create_directory(dir());
        test::writeFile(at("song.sm"), test::fiveCharts());
        test::writeFile(outName(2), "");  // an empty one from before, readable by all
        ASSERT_EQ(::chmod(outName(2).c_str(), 0666), 0);
        ASSERT_EQ(::chmod(at("song.sm").c_str(), c.chart), 0);

        ModeWatch watch;
        ASSERT_EQ(runTool(watch.ops), kExitSuccess) << err.str();
        for (const auto& [name, mode] : watch.createdWith) {
            EXPECT_EQ(mode & 077, 0u) << name << " created open to others";
        }
        EXPECT_EQ(watch.createdWith.size(), 6u);  // every output is a new file
        for (const auto& [name, mode] : watch.atFirstByte) EXPECT_EQ(mode, c.outputs) << name << " at its first byte";
        EXPECT_EQ(watch.atFirstByte.size(), 4u);  // the plain file and sealed files 3, 4 and 5
        for (const std::string& name : {at("song.sm"), outName(2), outName(3), outName(4), outName(5), outName(6)}) {
            struct stat st {};
            ASSERT_EQ(::stat(name.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.outputs) << name;
        }
    }
}

TEST_F(HostileFolder, AsRootTheOutputsKeepTheChartsOwnerAndGroup)
{
    if (::geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
    test::writeFile(at("song.sm"), test::fiveCharts());
    ASSERT_EQ(::chown(at("song.sm").c_str(), 4321, 8765), 0);
    ASSERT_EQ(runTool(), kExitSuccess) << err.str();
    for (const std::string& name : {at("song.sm"), outName(2), outName(3), outName(6)}) {
        struct stat st {};
        ASSERT_EQ(::stat(name.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 4321u) << name;
        EXPECT_EQ(st.st_gid, 8765u) << name;
    }
}

}  // namespace
}  // namespace chartseal
