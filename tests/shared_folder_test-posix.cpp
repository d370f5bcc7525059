// Song folders shared with other users, as a careless or hostile one leaves
// them: stray files at output names, files another user holds open, links,
// groups the runner is not in, access lists, extended attributes, a
// file-size limit. Each run takes another user's and group's ids in a child
// process, as CI runs as root and would hide permission faults otherwise.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "AsUser-posix.h"
#include "FolderSnapshot-posix.h"
#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "run/RunDriver.h"
#include "console/StandardStreams.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::readFile;
namespace fs = std::filesystem;

using test::Identity;
constexpr uid_t kA = 1001, kB = 1002, kX = 1005;
constexpr gid_t kG = 3000;
const Identity root{0, 0, {}};
const Identity userA{kA, kA, {}};
const Identity userB{kB, kB, {}};
const Identity memberB{kB, kB, {kG}};

using Ran = test::ChildRan;

// One run of the tool, in a child that has taken the identity (and the
// file-size limit, where given) and treats signals as chartseal's main does.
Ran runAs(const Identity& who, const std::string& base, FileOps& ops = systemFileOps(),
          rlim_t fileLimit = RLIM_INFINITY)
{
    return test::asUser(
        who,
        [&](std::ostream& err) {
            std::istringstream in(base + "\n");
            std::ostringstream out;
            return RunDriver(in, out, err, [] {}, ops).run();
        },
        [&] {
            prepareStandardStreams();
            if (fileLimit != RLIM_INFINITY) {
                const struct rlimit limit {fileLimit, fileLimit};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
        });
}

// An access list as Linux stores it in system.posix_acl_access.
struct AclEntry {
    std::uint16_t tag, perm;
    std::uint32_t id;
};
constexpr std::uint16_t kUserObj = 1, kUser = 2, kGroupObj = 4, kMask = 0x10, kOther = 0x20;
constexpr std::uint32_t kNoId = 0xFFFFFFFF;

std::string aclValue(const std::vector<AclEntry>& entries)
{
    std::string value{'\x02', '\0', '\0', '\0'};
    for (const AclEntry& e : entries) {
        const unsigned char bytes[8] = {static_cast<unsigned char>(e.tag), static_cast<unsigned char>(e.tag >> 8),
                                        static_cast<unsigned char>(e.perm), static_cast<unsigned char>(e.perm >> 8),
                                        static_cast<unsigned char>(e.id), static_cast<unsigned char>(e.id >> 8),
                                        static_cast<unsigned char>(e.id >> 16), static_cast<unsigned char>(e.id >> 24)};
        value.append(reinterpret_cast<const char*>(bytes), 8);
    }
    return value;
}

std::optional<std::string> attribute(const std::string& path, const char* name)
{
    char value[1024];
    const ssize_t n = ::lgetxattr(path.c_str(), name, value, sizeof value);
    if (n < 0) return std::nullopt;
    return std::string(value, static_cast<std::size_t>(n));
}

struct Owner {
    uid_t uid;
    gid_t gid;
    mode_t mode;
};

Owner ownerOf(const std::string& path)
{
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

class SharedFolder : public test::TempDirTest {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) GTEST_SKIP() << "taking other users' ids needs root";
        TempDirTest::SetUp();
        // User A's folder, unless a case says otherwise.
        ASSERT_EQ(::chown(dir().c_str(), kA, kA), 0);
        ::chmod(dir().c_str(), 0755);
    }
    void TearDown() override
    {
        for (const int fd : held) ::close(fd);
        if (!elsewhere.empty()) fs::remove_all(elsewhere);
        if (::geteuid() == 0) TempDirTest::TearDown();
    }

public:
    std::string path(const std::string& name) const { return at(name); }
    std::string outName(int n) const { return at("song_" + std::to_string(n) + ".dat"); }
    void file(const std::string& name, const std::string& bytes, uid_t uid, gid_t gid, mode_t mode)
    {
        test::writeFile(at(name), bytes);
        ASSERT_EQ(::chown(at(name).c_str(), uid, gid), 0);
        ASSERT_EQ(::chmod(at(name).c_str(), mode), 0);
    }
    void chart(uid_t uid, gid_t gid, mode_t mode, const std::string& bytes = fiveCharts())
    {
        file("song.sm", bytes, uid, gid, mode);
    }
    void folder(uid_t uid, gid_t gid, mode_t mode)
    {
        ASSERT_EQ(::chown(dir().c_str(), uid, gid), 0);
        ASSERT_EQ(::chmod(dir().c_str(), mode), 0);
    }
    // A file another user opened for reading and writing before the run.
    void holdOpen(const std::string& name)
    {
        const int fd = ::open(at(name).c_str(), O_RDWR);
        ASSERT_GE(fd, 0) << name;
        held.push_back(fd);
    }
    // What the holder of a file opened before the run can do with it now.
    void expectHeldFilesSawNothing() const
    {
        for (const int fd : held) {
            struct stat st {};
            ASSERT_EQ(::fstat(fd, &st), 0);
            EXPECT_EQ(st.st_nlink, 0u) << "a file opened before the run is still one of its outputs";
            char buf[16];
            EXPECT_EQ(::pread(fd, buf, sizeof buf, 0), 0) << "a file opened before the run holds the run's bytes";
        }
    }
    int seal(const Identity& who = root) { return runAs(who, at("song")).status; }
    static std::string fiveCharts()
    {
        return test::songHeader() + chartBlock("Beginner") + chartBlock("Easy") + chartBlock("Medium") +
               chartBlock("Hard") + chartBlock("Challenge") + chartBlock("Edit");
    }
    static std::string finalChart() { return test::songHeader() + chartBlock("Easy") + "\n" + chartBlock("Medium") + "\n"; }
    // Every output of a finished run, the chart among them.
    std::vector<std::string> outputs() const
    {
        return {at("song.sm"), outName(2), outName(3), outName(4), outName(5), outName(6)};
    }
    // A second folder for what lies outside the song's.
    std::string makeElsewhere()
    {
        elsewhere = test::makeTempDir();
        return elsewhere;
    }

    std::vector<int> held;
    std::string elsewhere;
};

struct Case {
    const char* name;
    std::function<void(SharedFolder&)> prepare;
    Identity runner;
    int status;
    std::string message;  // what the last line says after "chartseal: <dir>/", or ""
    // Checks after the run; none: the folder is exactly as it was.
    std::function<void(SharedFolder&)> check;
    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

class Shared : public SharedFolder, public ::testing::WithParamInterface<Case> {};

TEST_P(Shared, EachRunKeepsEveryChartAndGivesNoOneAccess)
{
    const Case& c = GetParam();
    c.prepare(*this);
    if (HasFatalFailure()) return;
    const auto before = test::snapshot(dir());
    const Ran ran = runAs(c.runner, at("song"));
    EXPECT_EQ(ran.status, c.status) << ran.err;
    if (c.message.empty()) {
        EXPECT_EQ(ran.err, "");
    } else {
        const std::string last = ran.err.substr(ran.err.rfind("chartseal: ") == std::string::npos ? 0 : ran.err.rfind("chartseal: "));
        EXPECT_EQ(last.rfind("chartseal: " + dir() + "/" + c.message, 0), 0u) << ran.err;
        EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1) << ran.err;
    }
    if (c.check) {
        c.check(*this);
    } else {
        EXPECT_EQ(test::snapshot(dir()), before);
    }
}

// A finished run's result, as the runner's files: each output with the
// chart's owner, group and mode.
void expectSealed(SharedFolder& f, Owner owner)
{
    EXPECT_EQ(readFile(f.path("song.sm")), SharedFolder::finalChart());
    EXPECT_FALSE(test::exists(f.outName(1)));
    EXPECT_EQ(readFile(f.outName(6)), test::sealed(chartBlock("Edit")));
    for (const std::string& name : f.outputs()) {
        const Owner has = ownerOf(name);
        EXPECT_EQ(has.uid, owner.uid) << name;
        EXPECT_EQ(has.gid, owner.gid) << name;
        EXPECT_EQ(has.mode, owner.mode) << name;
    }
}

const std::string kNotALeftover = "is not a leftover of an unfinished run on this chart, which is left unchanged";

// Each entry of a folder: its bytes, owner, group and mode.
std::map<std::string, std::string> contentsOf(const std::string& dir)
{
    std::map<std::string, std::string> all;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const Owner has = ownerOf(entry.path().string());
        all[entry.path().filename().string()] = std::to_string(has.uid) + ":" + std::to_string(has.gid) + " " +
                                                std::to_string(has.mode) + " " +
                                                readFile(entry.path().string()).value_or("<unreadable>");
    }
    return all;
}

// The folder holds what the same runner's run on the same chart leaves in a
// clean folder of its own, byte for byte, owners and modes too.
void expectAsInACleanFolder(SharedFolder& f, const Identity& runner, const std::string& chart, Owner chartOwner)
{
    const std::string clean = f.makeElsewhere();
    ASSERT_EQ(::chown(clean.c_str(), runner.uid, runner.gid), 0);
    ASSERT_EQ(::chmod(clean.c_str(), 0755), 0);
    test::writeFile(clean + "/song.sm", chart);
    ASSERT_EQ(::chown((clean + "/song.sm").c_str(), chartOwner.uid, chartOwner.gid), 0);
    ASSERT_EQ(::chmod((clean + "/song.sm").c_str(), chartOwner.mode), 0);
    const Ran ran = runAs(runner, clean + "/song");
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(contentsOf(f.path("")), contentsOf(clean));
}

// A drop box of root's: user A may enter it and add files, not list it.
void dropBox(SharedFolder& f, mode_t mode)
{
    f.folder(0, 0, mode);
    f.chart(kA, kA, 0644);
}
void expectSealedInADropBox(SharedFolder& f, mode_t mode)
{
    expectAsInACleanFolder(f, userA, SharedFolder::fiveCharts(), {kA, kA, 0644});
    const Owner folder = ownerOf(f.path(""));
    EXPECT_EQ(folder.uid, 0u);
    EXPECT_EQ(folder.mode, mode);
}

const std::string kFiveEmptySealedFiles[] = {"song_2.dat", "song_3.dat", "song_4.dat", "song_5.dat", "song_6.dat"};

INSTANTIATE_TEST_SUITE_P(
    Folders, Shared,
    ::testing::Values(
        // Charts lost before: a stray file at an output name was emptied.
        Case{"AStrayPlainFileBesideASealedSong",
             [](SharedFolder& f) {
                 f.chart(kA, kA, 0644);
                 ASSERT_EQ(f.seal(), 0);
                 f.file("song_1.dat", "", kB, kB, 0666);
             },
             root, 1, "song_1.dat: " + kNotALeftover, nullptr},
        Case{"AnotherProgramsFileAtThePlainName",
             [](SharedFolder& f) {
                 f.chart(kA, kA, 0644);
                 f.file("song_1.dat", "volume=7\n", kA, kA, 0644);
             },
             userA, 1, "song_1.dat: " + kNotALeftover, nullptr},
        Case{"ASealedFileOfAnotherChart",
             [](SharedFolder& f) {
                 f.chart(kA, kA, 0644);
                 f.file("song_3.dat", test::sealed(chartBlock("Hard", "step-double")), kA, kA, 0644);
             },
             userA, 1, "song_3.dat: " + kNotALeftover, nullptr},
        Case{"AChartWithASecondHardLink",
             [](SharedFolder& f) {
                 f.chart(kA, kA, 0644);
                 fs::create_directory(f.path("backup"));
                 fs::create_hard_link(f.path("song.sm"), f.path("backup/song.sm"));
             },
             userA, 1, "song.sm: has another hard link; its other names would keep every chart in plain text", nullptr},
        // Access gained before: outputs took another user's files, or
        // landed where others read them.
        Case{"AChartLinkedIntoAPrivateFolder",
             [](SharedFolder& f) {
                 const std::string other = f.makeElsewhere();
                 ::chmod(other.c_str(), 0700);
                 test::writeFile(other + "/real.sm", SharedFolder::fiveCharts());
                 ASSERT_EQ(::symlink((other + "/real.sm").c_str(), f.path("song.sm").c_str()), 0);
             },
             root, 1, "song.sm: is a symbolic link into another folder; seal the chart in its own folder", nullptr},
        Case{"AnotherUsersLinkToARootOnlyFileAndAPlainFileHeldOpen",
             [](SharedFolder& f) {
                 f.folder(kB, kB, 0755);
                 f.file("secret.sm", SharedFolder::fiveCharts(), 0, 0, 0600);
                 ASSERT_EQ(::symlink("secret.sm", f.path("song.sm").c_str()), 0);
                 ASSERT_EQ(::lchown(f.path("song.sm").c_str(), kB, kB), 0);
                 f.file("song_1.dat", "", kB, kB, 0666);
                 f.holdOpen("song_1.dat");
             },
             root, 0, "song_1.dat: left by a run that did not finish; sealing again from the chart",
             [](SharedFolder& f) {
                 f.expectHeldFilesSawNothing();
                 // The holder writes through its descriptor: no output changes.
                 ASSERT_EQ(::pwrite(f.held[0], "owned", 5, 0), 5);
                 EXPECT_EQ(readFile(f.path("secret.sm")), SharedFolder::finalChart());
                 const Owner secret = ownerOf(f.path("secret.sm"));
                 EXPECT_EQ(secret.uid, 0u);
                 EXPECT_EQ(secret.mode, 0600u);
                 for (int n = 2; n <= 6; ++n) EXPECT_EQ(ownerOf(f.outName(n)).mode, 0600u) << n;
             }},
        Case{"AnotherUsersEmptySealedFileHeldOpenInAStickyFolder",
             [](SharedFolder& f) {
                 f.folder(0, 0, 01777);
                 f.chart(kA, kA, 0600);
                 f.file("song_6.dat", "", kB, kB, 0666);
                 f.holdOpen("song_6.dat");
             },
             root, 0, "",
             [](SharedFolder& f) {
                 f.expectHeldFilesSawNothing();
                 expectSealed(f, {kA, kA, 0600});
             }},
        Case{"AGroupTheRunnerIsNotIn",
             [](SharedFolder& f) {
                 f.folder(kA, kA, 0755);
                 f.chart(kA, kG, 0644);
             },
             userA, 0, "",
             // The runner's own group gets nothing; the chart's group, now
             // among the others, no more than it had.
             [](SharedFolder& f) { expectSealed(f, {kA, kA, 0604}); }},
        Case{"AGroupTheRunnerIsNotInThatOthersMayNotRead",
             [](SharedFolder& f) {
                 f.folder(kA, kA, 0755);
                 f.chart(kA, kG, 0640);
             },
             userA, 0, "", [](SharedFolder& f) { expectSealed(f, {kA, kA, 0600}); }},
        Case{"AnAccessListEntryForOneUser",
             [](SharedFolder& f) {
                 f.chart(kA, kA, 0600);
                 const std::string acl = aclValue({{kUserObj, 6, kNoId}, {kUser, 4, kX}, {kGroupObj, 0, kNoId},
                                                   {kMask, 4, kNoId}, {kOther, 0, kNoId}});
                 ASSERT_EQ(::setxattr(f.path("song.sm").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
             },
             root, 0, "",
             [](SharedFolder& f) {
                 const std::string acl = aclValue({{kUserObj, 6, kNoId}, {kUser, 4, kX}, {kGroupObj, 0, kNoId},
                                                   {kMask, 4, kNoId}, {kOther, 0, kNoId}});
                 expectSealed(f, {kA, kA, 0640});
                 for (const std::string& name : f.outputs()) {
                     EXPECT_EQ(attribute(name, "system.posix_acl_access"), acl) << name;
                 }
             }},
        Case{"AFolderDefaultAccessListThatWouldWidenTheOutputs",
             [](SharedFolder& f) {
                 f.chart(kA, kA, 0640);
                 const std::string acl = aclValue({{kUserObj, 7, kNoId}, {kUser, 6, kX}, {kGroupObj, 5, kNoId},
                                                   {kMask, 7, kNoId}, {kOther, 5, kNoId}});
                 ASSERT_EQ(::setxattr(f.path("").c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0), 0);
             },
             userA, 0, "",
             [](SharedFolder& f) {
                 expectSealed(f, {kA, kA, 0640});
                 for (const std::string& name : f.outputs()) {
                     EXPECT_EQ(attribute(name, "system.posix_acl_access"), std::nullopt) << name;
                 }
             }},
        Case{"AnAccessListAndAGroupTheRunnerIsNotIn",
             [](SharedFolder& f) {
                 f.chart(kA, kG, 0640);
                 const std::string acl = aclValue({{kUserObj, 6, kNoId}, {kUser, 4, kX}, {kGroupObj, 4, kNoId},
                                                   {kMask, 4, kNoId}, {kOther, 4, kNoId}});
                 ASSERT_EQ(::setxattr(f.path("song.sm").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
             },
             userA, 0, "",
             [](SharedFolder& f) {
                 // The runner's group gets nothing; the named user keeps
                 // what it had.
                 const std::string acl = aclValue({{kUserObj, 6, kNoId}, {kUser, 4, kX}, {kGroupObj, 0, kNoId},
                                                   {kMask, 4, kNoId}, {kOther, 4, kNoId}});
                 expectSealed(f, {kA, kA, 0644});
                 for (const std::string& name : f.outputs()) {
                     EXPECT_EQ(attribute(name, "system.posix_acl_access"), acl) << name;
                 }
             }},
        Case{"ExtendedAttributesOfTheChart",
             [](SharedFolder& f) {
                 f.chart(kA, kA, 0644);
                 ASSERT_EQ(::setxattr(f.path("song.sm").c_str(), "user.origin", "glass harbour", 13, 0), 0);
             },
             userA, 0, "",
             [](SharedFolder& f) {
                 expectSealed(f, {kA, kA, 0644});
                 for (const std::string& name : f.outputs()) {
                     EXPECT_EQ(attribute(name, "user.origin"), "glass harbour") << name;
                 }
             }},
        // False refusals before: a second member of a group folder could
        // not change the first member's files, though nothing differed.
        Case{"ASecondMemberOfAGroupFolder",
             [](SharedFolder& f) {
                 f.folder(0, kG, 02775);
                 f.chart(kA, kG, 0664);
                 f.file("song_2.dat", "", kA, kG, 0664);
                 f.file("song_6.dat", "", kA, kG, 0664);
             },
             memberB, 0, "", [](SharedFolder& f) { expectSealed(f, {kB, kG, 0664}); }},
        // False refusals before: five empty sealed files, which a run with
        // nothing to seal leaves, beside a chart since given charts to seal.
        Case{"FiveEmptySealedFilesBesideAChartWithChartsToSeal",
             [](SharedFolder& f) {
                 f.chart(kA, kA, 0644);
                 for (const std::string& name : kFiveEmptySealedFiles) f.file(name, "", kA, kA, 0644);
             },
             userA, 0, "",
             [](SharedFolder& f) {
                 expectAsInACleanFolder(f, userA, SharedFolder::fiveCharts(), {kA, kA, 0644});
             }},
        // A drop box: the chart can be read and the folder written.
        Case{"ADropBoxOfRoot", [](SharedFolder& f) { dropBox(f, 0733); }, userA, 0, "",
             [](SharedFolder& f) { expectSealedInADropBox(f, 0733); }},
        Case{"AStickyDropBoxOfRoot", [](SharedFolder& f) { dropBox(f, 01733); }, userA, 0, "",
             [](SharedFolder& f) { expectSealedInADropBox(f, 01733); }},
        Case{"ADropBoxWithFiveEmptySealedFiles",
             [](SharedFolder& f) {
                 dropBox(f, 01733);
                 for (const std::string& name : kFiveEmptySealedFiles) f.file(name, "", kA, kA, 0644);
             },
             userA, 0, "", [](SharedFolder& f) { expectSealedInADropBox(f, 01733); }},
        // Running twice is running once, also with nothing to seal.
        Case{"FiveEmptySealedFilesBesideAChartWithNothingToSeal",
             [](SharedFolder& f) {
                 f.chart(kA, kA, 0644, test::songHeader() + chartBlock("Easy") + chartBlock("Medium"));
                 for (const std::string& name : kFiveEmptySealedFiles) f.file(name, "", kA, kA, 0644);
             },
             userA, 1, "song.sm: is sealed already (its sealed files ", nullptr},
        Case{"ASongWithNothingToSealSealedAgain",
             [](SharedFolder& f) {
                 f.chart(kA, kA, 0644, test::songHeader() + chartBlock("Easy") + chartBlock("Medium"));
                 ASSERT_EQ(f.seal(userA), 0);
             },
             userA, 1, "song.sm: is sealed already (its sealed files ", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SharedFolder, ASongWithNothingToSealChangesNoByteWhenSealedAgain)
{
    // The message names the folder twice; the table above checks its start.
    chart(kA, kA, 0644, test::songHeader() + chartBlock("Easy") + chartBlock("Medium"));
    ASSERT_EQ(seal(userA), 0);
    const auto before = test::snapshot(dir());
    for (int again = 0; again < 3; ++again) {
        const Ran ran = runAs(userA, at("song"));
        EXPECT_EQ(ran.status, 1);
        EXPECT_EQ(ran.err, "chartseal: " + at("song.sm") + ": is sealed already (its sealed files " + outName(2) +
                               " to " + outName(6) + " are there); to change it, put it back first with: "
                               "chartunseal --restore -- " + at("song") + "\n");
        EXPECT_EQ(test::snapshot(dir()), before);
    }
}

TEST_F(SharedFolder, ADropBoxWhoseFileSystemCannotBeSyncedIsRefusedWithNothingChanged)
{
    // A system that cannot sync a whole file system for the runner (as
    // Windows cannot) leaves no way to make a drop box's changes durable.
    test::FileOpsProbe ops([](const test::FileOpsProbe::Call& call) {
        return call.is("syncFileSystem") ? std::make_error_code(std::errc::operation_not_supported) : std::error_code();
    });
    for (const mode_t mode : {mode_t{0733}, mode_t{01733}}) {
        SCOPED_TRACE(mode);
        dropBox(*this, mode);
        const auto before = test::snapshot(dir());
        const Ran ran = runAs(userA, at("song"), ops);
        EXPECT_EQ(ran.status, 1);
        EXPECT_EQ(ran.err, "chartseal: " + dir() +
                               ": cannot be read (Permission denied), so the run cannot make its changes to it "
                               "durable; the chart is left unchanged\n");
        EXPECT_EQ(test::snapshot(dir()), before);
        EXPECT_EQ(ownerOf(dir()).mode, mode);
    }
}

TEST_F(SharedFolder, AFileSizeLimitIsAFailedWriteWithNothingLeft)
{
    // A sealed chart far larger than the limit, which the plain part is not.
    std::string hard = chartBlock("Hard");
    for (int i = 0; i < 20000; ++i) hard += "0101\n";
    chart(kA, kA, 0644, test::songHeader() + chartBlock("Easy") + chartBlock("Medium") + hard);
    const auto before = test::snapshot(dir());
    const Ran ran = runAs(userA, at("song"), systemFileOps(), 64 << 10);
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.err, "chartseal: " + outName(3) + ": cannot write: File too large\n");
    EXPECT_EQ(test::snapshot(dir()), before);
}

TEST_F(SharedFolder, AsRootAFailureToGiveTheOutputsTheChartsOwnerIsNotIgnored)
{
    chart(1234, 1234, 0644);
    const auto before = test::snapshot(dir());
    test::FileOpsProbe ops([](const test::FileOpsProbe::Call& call) {
        return call.is("setOwner") ? std::make_error_code(std::errc::io_error) : std::error_code();
    });
    const Ran ran = runAs(root, at("song"), ops);
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.err, "chartseal: " + outName(1) + ": cannot set owner: Input/output error\n");
    EXPECT_EQ(test::snapshot(dir()), before);
}

// A FAT file system, which has neither owners nor permission bits: mounted
// through FUSE, where fusefat is installed.
TEST(FatFileSystem, IsSealedAsAnyOther)
{
    if (::geteuid() != 0 || std::system("command -v fusefat > /dev/null && command -v mkfs.vfat > /dev/null") != 0 ||
        !fs::exists("/dev/fuse")) {
        GTEST_SKIP() << "needs root, /dev/fuse, fusefat and mkfs.vfat (Debian's fusefat and dosfstools)";
    }
    const std::string work = test::makeTempDir();
    const std::string image = work + "/fat.img", mount = work + "/mnt";
    fs::create_directory(mount);
    ASSERT_EQ(std::system(("truncate -s 8M " + image + " && mkfs.vfat " + image + " > /dev/null").c_str()), 0);
    if (std::system(("fusefat -o rw+ " + image + " " + mount + " > /dev/null 2>&1").c_str()) != 0) {
        fs::remove_all(work);
        GTEST_SKIP() << "fusefat could not mount an image here";
    }
    const std::string chart = test::songHeader() + chartBlock("Easy") + chartBlock("Medium") + chartBlock("Hard");
    test::writeFile(mount + "/song.sm", chart);
    const Ran first = runAs(root, mount + "/song");
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(readFile(mount + "/song.sm"), test::songHeader() + chartBlock("Easy") + "\n" + chartBlock("Medium") + "\n");
    EXPECT_EQ(readFile(mount + "/song_3.dat"), test::sealed(chartBlock("Hard")));
    EXPECT_FALSE(test::exists(mount + "/song_1.dat"));
    const Ran again = runAs(root, mount + "/song");
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already holds sealed charts"), std::string::npos) << again.err;
    EXPECT_EQ(std::system(("fusermount -u " + mount + " 2> /dev/null || umount " + mount).c_str()), 0);
    fs::remove_all(work);
}

}  // namespace
}  // namespace chartseal
