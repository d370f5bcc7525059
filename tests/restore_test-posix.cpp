// chartunseal --restore run by other users in forked children, as CI runs
// as root and would hide permission faults otherwise: the restored chart
// keeps the chart's owner, group and mode, and loses its group's access
// where the runner may not give it that group.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "AsUser-posix.h"
#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "run/RestoreSong.h"
#include "run/RunDriver.h"

namespace chartseal {
namespace {

using test::readFile;

using test::Identity;
constexpr uid_t kA = 1001;
constexpr gid_t kG = 3000;

using Ran = test::ChildRan;

// chartunseal --restore base, in a child that has taken the identity.
Ran restoreAs(const Identity& who, const std::string& base)
{
    return test::asUser(who, [&](std::ostream& err) { return restoreSongs(systemFileOps(), {base}, err); });
}

class RestoreAsAnotherUser : public test::TempDirTest {};

TEST_F(RestoreAsAnotherUser, TheRestoredChartKeepsOwnerGroupAndModeWhereTheRunnerMayGiveThem)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as other users";
    struct Case {
        const char* name;
        Identity runner;
        uid_t owner;
        gid_t group;
        mode_t mode;
        gid_t groupAfter;
        mode_t modeAfter;
    };
    const std::vector<Case> cases = {
        {"root restores another user's song", {0, 0, {}}, 1234, 2345, 0604, 2345, 0604},
        {"its owner, a member of its group", {kA, kA, {kG}}, kA, kG, 0640, kG, 0640},
        {"its owner, not in its group: the group's access goes", {kA, kA, {}}, kA, kG, 0644, kA, 0604},
        {"a private chart", {kA, kA, {}}, kA, kA, 0600, kA, 0600},
    };
    ASSERT_EQ(::chmod(dir().c_str(), 0777), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = at(c.name);
        test::writeFile(base + ".sm", test::fiveCharts());
        ASSERT_EQ(::chown((base + ".sm").c_str(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod((base + ".sm").c_str(), c.mode), 0);
        std::istringstream in(base + "\n");
        std::ostringstream out, err;
        ASSERT_EQ(RunDriver(in, out, err, [] {}, systemFileOps()).run(), kExitSuccess) << err.str();

        const Ran ran = restoreAs(c.runner, base);
        ASSERT_EQ(ran.status, 0) << ran.err;
        EXPECT_EQ(ran.err, "");
        EXPECT_EQ(test::readFile(base + ".sm"), test::fiveCharts());
        struct stat st {};
        ASSERT_EQ(::stat((base + ".sm").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, c.owner);
        EXPECT_EQ(st.st_gid, c.groupAfter);
        EXPECT_EQ(st.st_mode & 07777, c.modeAfter);
        for (int n = 2; n <= 6; ++n) EXPECT_FALSE(test::exists(base + "_" + std::to_string(n) + ".dat")) << n;
        EXPECT_FALSE(test::exists(base + ".sm.restoring"));
        EXPECT_FALSE(test::exists(base + ".sm.restored"));
    }
}

// The way back that a refusal names is a command a shell takes as it is:
// pasted, it restores the song refused and no other, whatever its name.
class AdviceForAName : public test::TempDirTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(AdviceForAName, RestoresThatSongWhenPasted)
{
    const std::string song = GetParam();
    for (const std::string& name : {song, std::string("a")}) {
        test::writeFile(at(name + ".sm"), test::fiveCharts());
        ASSERT_EQ(test::runProgram(CHARTSEAL_BIN, dir(), name + "\n\n\n").status, 0) << name;
    }
    const test::ProcessResult again = test::runProgram(CHARTSEAL_BIN, dir(), song + "\n\n\n");
    ASSERT_EQ(again.status, kExitOutputFailed);
    const std::string advice = "put it back first with: chartunseal ";
    const std::size_t at = again.err.find(advice);
    ASSERT_NE(at, std::string::npos) << again.err;
    std::string command = again.err.substr(at + advice.size());
    command.erase(command.find('\n'));
    const test::ProcessResult pasted =
        test::runProgram("/bin/sh", dir(), "", {"-c", "\"$0\" " + command, CHARTUNSEAL_BIN});
    EXPECT_EQ(pasted.status, 0) << command << "\n" << pasted.err;
    EXPECT_EQ(readFile(this->at(song + ".sm")), test::fiveCharts());
    EXPECT_FALSE(test::exists(this->at(song + "_3.dat")));
    EXPECT_TRUE(test::exists(this->at("a_3.dat")));  // the other song stays sealed
}

INSTANTIATE_TEST_SUITE_P(Names, AdviceForAName, ::testing::Values("a b", "-x", "it's", "$HOME", "plain"));

}  // namespace
}  // namespace chartseal
