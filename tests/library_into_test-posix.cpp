// chartseal-library --into on POSIX systems: every field of the sources'
// status kept, outputs that are right kept to the inode, the charts' modes
// taken and never more open (also while a new file is written), links,
// FIFOs and hard links in OUT never written through, a folder of songs that
// cannot be read keeping stale outputs from removal, other users' charts
// readable through OUT by no one who cannot read them, a user's own run, and
// one run at a time. The cases that take other ids run in forked children,
// as CI runs as root and would hide permission faults otherwise.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "AsUser-posix.h"
#include "LibraryIntoSupport.h"
#include "console/ExitStatus.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::files;
using test::IntoTest;
using test::outputsOf;
using test::readFile;
namespace fs = std::filesystem;

// Every entry under a folder (and the folder) with every field of its status
// but the access time: inode, mode, owner, links, size, modification and
// change times, and its bytes or a link's target.
std::map<std::string, std::string> statTree(const std::string& root)
{
    std::map<std::string, std::string> entries;
    const auto describe = [](const fs::path& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return std::string("<gone>");
        std::ostringstream what;
        what << "ino " << st.st_ino << " mode " << std::oct << st.st_mode << std::dec << " owner " << st.st_uid << ":"
             << st.st_gid << " links " << st.st_nlink << " size " << st.st_size << " mtime " << st.st_mtim.tv_sec << "."
             << st.st_mtim.tv_nsec << " ctime " << st.st_ctim.tv_sec << "." << st.st_ctim.tv_nsec;
        if (S_ISLNK(st.st_mode)) what << " -> " << fs::read_symlink(path).string();
        if (S_ISREG(st.st_mode)) what << ": " << readFile(path.string()).value_or("<unreadable>");
        return what.str();
    };
    if (!test::exists(root)) return entries;
    entries["."] = describe(root);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        entries[test::below(entry.path(), root)] = describe(entry.path());
    }
    return entries;
}

struct Stat {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    ino_t ino;
};
Stat statOf(const std::string& path)
{
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return {st.st_uid, st.st_gid, st.st_mode & 07777, st.st_ino};
}

using test::Identity;

// Runs work in a child that has taken the identity; its exit status.
int asUser(const Identity& who, const std::function<int()>& work)
{
    return test::asUser(who, [&](std::ostream&) { return work(); }).status;
}

bool canRead(const Identity& who, const std::string& path)
{
    return asUser(who, [&] {
        const int fd = ::open(path.c_str(), O_RDONLY);
        return fd >= 0 ? 0 : 1;
    }) == 0;
}

class IntoPosix : public IntoTest {
protected:
    void SetUp() override
    {
        IntoTest::SetUp();
        ::chmod(dir().c_str(), 0755);
    }
    // A run of the command by another user: its status and error lines.
    std::pair<int, std::string> runAs(const Identity& who, const std::vector<std::string>& args)
    {
        int channel[2];
        if (::pipe(channel) != 0) return {-1, "no pipe"};
        const int status = asUser(who, [&] {
            ::close(channel[0]);
            const Ran ran = run(args);
            if (::write(channel[1], ran.err.data(), ran.err.size()) < 0) return 98;
            return ran.status;
        });
        ::close(channel[1]);
        std::string err;
        char buf[4096];
        for (ssize_t n; (n = ::read(channel[0], buf, sizeof buf)) > 0;) err.append(buf, static_cast<std::size_t>(n));
        ::close(channel[0]);
        return {status, err};
    }
};

// The cases that take other users' ids.
class IntoOtherUsers : public IntoPosix {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) GTEST_SKIP() << "taking other users' ids needs root";
        IntoPosix::SetUp();
    }
};

constexpr mode_t kModes[] = {0644, 0640, 0600, 0444, 0604, 02750};

std::string octal(mode_t mode)
{
    std::ostringstream text;
    text << std::oct << mode;
    return text.str();
}

// The charts of several modes in a folder of 0750: the sources keep every
// field of their status, the outputs have the modes in-place runs give
// them, OUT's folder is no more open than the source folder, and a second
// run leaves each output's inode and times as they were.
TEST_F(IntoPosix, SourcesKeepEveryFieldAndOutputsTheModesARunInPlaceGives)
{
    fs::create_directories(src() + "/album");
    for (const mode_t mode : kModes) {
        const std::string chart = src() + "/album/m" + octal(mode) + ".sm";
        test::writeFile(chart, test::fiveCharts());
        ASSERT_EQ(::chmod(chart.c_str(), mode), 0);
    }
    ASSERT_EQ(::chmod((src() + "/album").c_str(), 0750), 0);
    const auto sources = statTree(src());
    const std::string scratch = sealCopies(chartsUnder(src()));

    ASSERT_EQ(run({"--into", out(), src()}).status, kExitSuccess);
    EXPECT_EQ(statTree(src()), sources);
    EXPECT_EQ(files(out()), files(scratch));
    for (const auto& [name, bytes] : files(scratch)) {
        EXPECT_EQ(statOf(out() + "/" + name).mode, statOf(scratch + "/" + name).mode) << name;
    }
    EXPECT_EQ(statOf(out() + "/album/m640.sm").mode, 0640u);
    EXPECT_EQ(statOf(out() + "/album/m2750_3.dat").mode, 0750u);
    EXPECT_EQ(statOf(out() + "/album").mode & ~0750u, 0u);

    const auto written = statTree(out());
    ASSERT_EQ(run({"--into", out(), src()}).status, kExitSuccess);
    EXPECT_EQ(statTree(out()), written);
    EXPECT_EQ(statTree(src()), sources);
}

// A chart's mode changed, its bytes not: its outputs are written anew with
// the new mode, and no new file of the run is ever more open than that,
// at any operation of the run; the other song's outputs stay as they are.
struct ModeChange {
    mode_t from, to;
    friend void PrintTo(const ModeChange& m, std::ostream* os) { *os << octal(m.from) << " to " << octal(m.to); }
};

class IntoModeChange : public IntoPosix, public ::testing::WithParamInterface<ModeChange> {};

TEST_P(IntoModeChange, WritesTheOutputsAgainWithTheNewModeAndNeverMoreOpen)
{
    fs::create_directories(src());
    const std::string chart = src() + "/a.sm";
    test::writeFile(chart, test::fiveCharts());
    test::writeFile(src() + "/b.sm", test::fiveCharts());
    ASSERT_EQ(::chmod(chart.c_str(), GetParam().from), 0);
    ASSERT_EQ(run({"--into", out(), src()}).status, kExitSuccess);
    const auto before = statTree(out());
    ASSERT_EQ(::chmod(chart.c_str(), GetParam().to), 0);

    std::string tooOpen;
    test::FileOpsProbe ops([&](const test::FileOpsProbe::Call&) {
        for (const auto& entry : fs::directory_iterator(out())) {
            const std::string name = entry.path().filename().string();
            if (!name.ends_with(".partial")) continue;
            if ((statOf(entry.path().string()).mode & ~GetParam().to) != 0 && tooOpen.empty()) tooOpen = name;
        }
        return std::error_code();
    });
    const Ran ran = run({"--report", at("report.jsonl"), "--into", out(), src()}, ops);
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    EXPECT_EQ(tooOpen, "") << "a new file was more open than the chart";
    EXPECT_EQ(changedIn(reportLine(at("report.jsonl"), chart)), shownList(outputsOf("a")));
    const auto after = statTree(out());
    for (const std::string& name : outputsOf("a")) {
        EXPECT_EQ(statOf(out() + "/" + name).mode, GetParam().to & 0777) << name;
        EXPECT_NE(after.at(name), before.at(name)) << name;
    }
    for (const std::string& name : outputsOf("b")) EXPECT_EQ(after.at(name), before.at(name)) << name;
}

INSTANTIATE_TEST_SUITE_P(Modes, IntoModeChange,
                         ::testing::Values(ModeChange{0644, 0600}, ModeChange{0600, 0640}, ModeChange{0640, 0604},
                                           ModeChange{0664, 0444}, ModeChange{0640, 0660}));

// What another hand left in OUT: a link or a FIFO at an output's name, a
// link at a folder's name leading out of OUT, a link at a new file's name;
// each refused, with the victim outside and the entry itself untouched and
// nothing of the song left. A hard link at an output's name is no way in
// either: the output is replaced, its other name keeps its bytes.
struct Hostile {
    const char* name;
    std::function<void(const std::string& album, const std::string& victim)> place;
    std::string entry;  // below OUT/album, or "." for the folder itself
    std::string says;   // in the song's line, after "<OUT>/"; empty: sealed
    friend void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }
};

class IntoHostile : public IntoPosix, public ::testing::WithParamInterface<Hostile> {};

TEST_P(IntoHostile, IsNeverWrittenThrough)
{
    fs::create_directories(src() + "/album");
    test::writeFile(src() + "/album/a.sm", test::fiveCharts());
    const std::string victim = at("victim");
    fs::create_directories(victim);
    test::writeFile(victim + "/file", "the victim's own bytes");
    fs::create_directories(out());
    if (GetParam().entry != ".") fs::create_directories(out() + "/album");
    GetParam().place(out() + "/album", victim);
    const auto victimBefore = statTree(victim);
    const std::string entry = out() + "/album" + (GetParam().entry == "." ? "" : "/" + GetParam().entry);
    struct stat placed {};
    ASSERT_EQ(::lstat(entry.c_str(), &placed), 0);

    const Ran ran = run({"--into", out(), src()});
    struct stat now {};
    ASSERT_EQ(::lstat(entry.c_str(), &now), 0);
    if (GetParam().says.empty()) {
        EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
        EXPECT_EQ(files(out()), sealedInPlace(chartsUnder(src())));
        EXPECT_EQ(readFile(victim + "/file"), "the victim's own bytes");
        EXPECT_EQ(statOf(victim + "/file").ino, placed.st_ino);
        return;
    }
    EXPECT_EQ(statTree(victim), victimBefore);
    EXPECT_EQ(ran.status, kExitOutputFailed);
    EXPECT_NE(ran.err.find(out() + "/" + GetParam().says), std::string::npos) << ran.err;
    EXPECT_EQ(now.st_ino, placed.st_ino);
    EXPECT_EQ(now.st_mode, placed.st_mode);
    if (GetParam().entry != ".") {
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(out() + "/album")) left.push_back(e.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{GetParam().entry});
    }
}

const std::string kNoLinks = "is a symbolic link; outputs are never written through links";

INSTANTIATE_TEST_SUITE_P(
    Entries, IntoHostile,
    ::testing::Values(
        Hostile{"ALinkAtASealedFile",
                [](const std::string& album, const std::string& victim) {
                    fs::create_symlink(victim + "/file", album + "/a_3.dat");
                },
                "a_3.dat", "album/a_3.dat: " + kNoLinks},
        Hostile{"ALinkAtTheChartFile",
                [](const std::string& album, const std::string& victim) {
                    fs::create_symlink(victim + "/file", album + "/a.sm");
                },
                "a.sm", "album/a.sm: " + kNoLinks},
        Hostile{"ALinkToNothingAtAnEmptySealedFile",
                [](const std::string& album, const std::string& victim) {
                    fs::create_symlink(victim + "/new", album + "/a_2.dat");
                },
                "a_2.dat", "album/a_2.dat: " + kNoLinks},
        Hostile{"AFifoAtASealedFile",
                [](const std::string& album, const std::string&) { ASSERT_EQ(::mkfifo((album + "/a_4.dat").c_str(), 0666), 0); },
                "a_4.dat", "album/a_4.dat: is a FIFO, not a regular file"},
        Hostile{"ALinkAtANewFileName",
                [](const std::string& album, const std::string& victim) {
                    fs::create_symlink(victim + "/file", album + "/.a_5.dat.partial");
                },
                ".a_5.dat.partial", "album/.a_5.dat.partial: is a symbolic link, not a file a stopped run left"},
        Hostile{"ALinkAtTheFolderLeadingOutOfOut",
                [](const std::string& album, const std::string& victim) { fs::create_symlink(victim, album); }, ".",
                "album: is a symbolic link, not a folder; outputs are never written through links"},
        Hostile{"AHardLinkAtASealedFile",
                [](const std::string& album, const std::string& victim) {
                    fs::create_hard_link(victim + "/file", album + "/a_3.dat");
                },
                "a_3.dat", ""}),
    [](const ::testing::TestParamInfo<Hostile>& info) { return std::string(info.param.name); });

// A folder of songs the runner cannot read: a song there would seem gone,
// so no output is taken for stale, and none removed, --delete or not.
TEST_F(IntoOtherUsers, AnUnreadableFolderOfSongsKeepsEveryOutputFromRemoval)
{
    constexpr uid_t kUser = 1001;
    fs::create_directories(src() + "/locked");
    test::writeFile(src() + "/locked/a.sm", test::fiveCharts());
    test::writeFile(src() + "/top.sm", test::fiveCharts());
    fs::create_directories(out());
    ASSERT_EQ(run({"--into", out(), src()}).status, kExitSuccess);
    test::writeFile(out() + "/gone.sm", "a song gone");
    for (const auto& entry : fs::recursive_directory_iterator(dir())) ASSERT_EQ(::lchown(entry.path().c_str(), kUser, kUser), 0);
    ASSERT_EQ(::chmod((src() + "/locked").c_str(), 0), 0);
    const auto before = statTree(out());

    for (const bool remove : {false, true}) {
        std::vector<std::string> args{"--into", out(), src()};
        if (remove) args.insert(args.begin(), "--delete");
        const auto [status, err] = runAs({kUser, kUser, {}}, args);
        EXPECT_EQ(status, kExitOutputFailed) << err;
        EXPECT_NE(err.find(src() + "/locked: cannot read folder"), std::string::npos) << err;
        EXPECT_NE(err.find("stale outputs in " + out() + " not looked for: a folder of songs could not be read"),
                  std::string::npos)
            << err;
        EXPECT_EQ(statTree(out()), before);
    }
    ::chmod((src() + "/locked").c_str(), 0755);
}

// Root seals a chart another user owns (0640, a group the others are not
// in): the outputs take its owner, group and mode, as a run in place does,
// and whoever cannot read the chart cannot read an output; also after the
// chart is given to another owner or group, or made narrower.
TEST_F(IntoOtherUsers, NoOneReadsAnOutputWhoCannotReadTheChart)
{
    constexpr gid_t kGroup = 1002;
    const std::vector<Identity> readers{
        {1001, 1001, {}}, {1003, 1003, {kGroup}}, {1004, 1004, {}}, {1005, 1005, {}}, {1006, kGroup, {}}};
    fs::create_directories(src() + "/album");
    const std::string chart = src() + "/album/a.sm";
    test::writeFile(chart, test::fiveCharts());
    const auto give = [&](uid_t owner, gid_t group, mode_t mode) {
        ASSERT_EQ(::chown(chart.c_str(), owner, group), 0);
        ASSERT_EQ(::chmod(chart.c_str(), mode), 0);
    };
    give(1001, kGroup, 0640);
    const std::string scratch = sealCopies(chartsUnder(src()), [](const std::string& from, const std::string& copy) {
        const Stat st = statOf(from);
        ASSERT_EQ(::chown(copy.c_str(), st.uid, st.gid), 0);
    });
    ASSERT_EQ(run({"--into", out(), src()}).status, kExitSuccess);
    for (const std::string& name : outputsOf("album/a")) {
        const Stat has = statOf(out() + "/" + name), inPlace = statOf(scratch + "/" + name);
        EXPECT_EQ(std::tuple(has.uid, has.gid, has.mode), std::tuple(inPlace.uid, inPlace.gid, inPlace.mode)) << name;
    }

    struct Step {
        uid_t owner;
        gid_t group;
        mode_t mode;
    };
    for (const Step step : {Step{1001, kGroup, 0640}, Step{1005, kGroup, 0640}, Step{1005, 1004, 0640},
                            Step{1005, 1004, 0600}, Step{1004, 1004, 0644}}) {
        SCOPED_TRACE("chart " + std::to_string(step.owner) + ":" + std::to_string(step.group) + " mode " +
                     octal(step.mode));
        give(step.owner, step.group, step.mode);
        const Ran ran = run({"--into", out(), src()});
        ASSERT_EQ(ran.status, kExitSuccess) << ran.err;
        for (const Identity& who : readers) {
            if (canRead(who, chart)) continue;
            for (const std::string& name : outputsOf("album/a")) {
                EXPECT_FALSE(canRead(who, out() + "/" + name)) << "user " << who.uid << " reads " << name;
            }
        }
    }
}

// A user's own run into a folder they own, with their chart and one of
// another user's that they may read: the outputs are theirs, with the
// modes their own in-place runs give, and a second run writes nothing.
TEST_F(IntoOtherUsers, AUserSealsIntoTheirOwnFolder)
{
    const Identity user{1001, 1001, {}};
    fs::create_directories(src() + "/album");
    fs::create_directories(at("home"));
    const std::map<std::string, Stat> charts{{"album/mine.sm", {1001, 1001, 0640, 0}},
                                             {"album/theirs.sm", {1002, 1002, 0644, 0}},
                                             {"shared.sm", {1002, 1001, 0664, 0}}};
    for (const auto& [name, st] : charts) {
        test::writeFile(src() + "/" + name, test::fiveCharts());
        ASSERT_EQ(::chown((src() + "/" + name).c_str(), st.uid, st.gid), 0);
        ASSERT_EQ(::chmod((src() + "/" + name).c_str(), st.mode), 0);
    }
    for (const char* folder : {"src", "src/album", "home"}) ASSERT_EQ(::chown(at(folder).c_str(), 1001, 1001), 0);
    const std::string tree = at("home/out");
    const auto sources = statTree(src());
    const std::string scratch = sealCopies(
        chartsUnder(src()),
        [](const std::string& from, const std::string& copy) {
            const Stat st = statOf(from);
            ASSERT_EQ(::chown(copy.c_str(), st.uid, st.gid), 0);
            ASSERT_EQ(::chown(test::pathOf(copy).parent_path().c_str(), 1001, 1001), 0);
        },
        [&](const std::string& base) {
            EXPECT_EQ(asUser(user, [&] {
                          std::istringstream in(base + "\n");
                          std::ostringstream said, err;
                          return RunDriver(in, said, err, [] {}).run();
                      }),
                      kExitSuccess);
        });

    const auto [status, err] = runAs(user, {"--into", tree, src()});
    ASSERT_EQ(status, kExitSuccess) << err;
    EXPECT_EQ(statTree(src()), sources);
    EXPECT_EQ(files(tree), files(scratch));
    for (const auto& [name, bytes] : files(scratch)) {
        const Stat has = statOf(tree + "/" + name), inPlace = statOf(scratch + "/" + name);
        EXPECT_EQ(has.uid, 1001u) << name;
        EXPECT_EQ(std::tuple(has.gid, has.mode), std::tuple(inPlace.gid, inPlace.mode)) << name;
    }
    const auto written = statTree(tree);
    const auto [again, said] = runAs(user, {"--into", tree, src()});
    EXPECT_EQ(again, kExitSuccess) << said;
    EXPECT_EQ(statTree(tree), written);
}

// While another run holds OUT's lock, a run into it is refused and changes
// nothing; once it is let go, the run goes through.
TEST_F(IntoPosix, OneRunAtATimeWritesIntoOut)
{
    fs::create_directories(src());
    fs::create_directories(out());
    test::writeFile(src() + "/a.sm", test::fiveCharts());
    const int held = ::open(out().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    const auto before = statTree(out());
    const Ran refused = run({"--into", out(), src()});
    EXPECT_EQ(refused.status, kExitOutputFailed);
    EXPECT_NE(refused.err.find(out() + ": another chartseal-library run is writing into it"), std::string::npos)
        << refused.err;
    EXPECT_EQ(statTree(out()), before);
    ::close(held);
    const Ran ran = run({"--into", out(), src()});
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    EXPECT_EQ(files(out()), sealedInPlace(chartsUnder(src())));
}

}  // namespace
}  // namespace chartseal
