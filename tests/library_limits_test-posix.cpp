// chartseal-library as root in a library that another user shares, and under
// the limits a user may set: a folder swapped for a link at any moment is
// never followed; too few processes, too little address space or too few
// files never abort the run or fail a song that could be sealed.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "cli/LibraryCommand.h"
#include "console/StandardStreams.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::readFile;
namespace fs = std::filesystem;

constexpr uid_t kA = 1001, kB = 1002;

// The built program run with limits and ids that a child takes first.
test::ProcessResult runLibrary(const std::vector<std::string>& args, const std::function<void()>& inChild)
{
    const std::string io = test::makeTempDir();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open((io + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int err = ::open((io + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(97);
        ::close(out);
        ::close(err);
        inChild();
        std::vector<std::string> words{CHARTSEAL_LIBRARY_BIN};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(96);
    }
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    test::ProcessResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result.out = readFile(io + "/out").value_or("");
    result.err = readFile(io + "/err").value_or("");
    fs::remove_all(io);
    return result;
}

// The same run in a child of this process, which takes the limits and ids
// first: for a user who may not reach the built program's folder (a fresh
// root keeps it under root's home).
test::ProcessResult runLibraryHere(const std::vector<std::string>& args, const std::function<void()>& inChild)
{
    const std::string io = test::makeTempDir();
    ::chmod(io.c_str(), 0777);
    const pid_t pid = ::fork();
    if (pid == 0) {
        inChild();
        std::ostringstream out, err;
        const int status = LibraryCommand(out, err, false, raiseOpenFileLimit()).run(args);
        const auto save = [](const std::string& path, const std::string& text) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            if (fd >= 0) ::close(fd);
            return written;
        };
        if (!save(io + "/out", out.str()) || !save(io + "/err", err.str())) ::_exit(93);
        ::_exit(status);
    }
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    test::ProcessResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result.out = readFile(io + "/out").value_or("");
    result.err = readFile(io + "/err").value_or("");
    fs::remove_all(io);
    return result;
}

void limit(int resource, rlim_t value)
{
    const struct rlimit to {value, value};
    if (::setrlimit(resource, &to) != 0) ::_exit(95);
}

void become(uid_t uid)
{
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(94);
}

class LibraryUnderLimits : public test::TempDirTest {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) GTEST_SKIP() << "taking other users' ids and limits needs root";
        test::TempDirTest::SetUp();
        ::chmod(dir().c_str(), 0755);
    }
    // songs charts of five difficulties, a few to a folder, all the user's.
    std::string makeLibrary(int songs, uid_t owner)
    {
        const std::string root = at("library");
        for (int i = 0; i < songs; ++i) {
            const std::string folder = root + "/album" + std::to_string(i / 8);
            fs::create_directories(test::pathOf(folder));
            test::writeFile(folder + "/song" + std::to_string(i) + ".sm", test::fiveCharts());
        }
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (::lchown(entry.path().c_str(), owner, owner) != 0) ADD_FAILURE() << entry.path();
        }
        if (::chown(root.c_str(), owner, owner) != 0) ADD_FAILURE() << root;
        return root;
    }
    // Every song sealed as a single run would: the chart and five sealed files.
    void expectAllSealed(const std::string& root, int songs)
    {
        const auto expected = test::fiveChartsSealedFolder("song");
        for (int i = 0; i < songs; ++i) {
            const std::string base = root + "/album" + std::to_string(i / 8) + "/song" + std::to_string(i);
            ASSERT_EQ(readFile(base + ".sm"), expected.at("song.sm")) << base;
            for (int n = 2; n <= 6; ++n) {
                const std::string name = "song_" + std::to_string(n) + ".dat";
                ASSERT_EQ(readFile(base + "_" + std::to_string(n) + ".dat"), expected.at(name)) << base;
            }
            ASSERT_FALSE(test::exists(base + "_1.dat")) << base;
        }
    }
};

struct Limit {
    const char* what;
    int songs;
    std::vector<std::string> args;
    std::function<void()> inChild;
    bool underAddressSanitizer;  // whether it can run there
    bool here;                   // in a child of this process, not the built program
};

class LibraryLimit : public LibraryUnderLimits, public ::testing::WithParamInterface<Limit> {};

TEST_P(LibraryLimit, SealsEverySongWithNoAbort)
{
    const Limit& l = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    if (!l.underAddressSanitizer) GTEST_SKIP() << "AddressSanitizer cannot run under this limit";
#endif
    const std::string root = makeLibrary(l.songs, kA);
    std::vector<std::string> args = l.args;
    args.push_back(root);
    const test::ProcessResult ran = l.here ? runLibraryHere(args, l.inChild) : runLibrary(args, l.inChild);
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    EXPECT_EQ(ran.err, "");
    const int folders = (l.songs + 7) / 8 + 1;
    EXPECT_EQ(ran.out, std::to_string(l.songs) + " songs in " + std::to_string(folders) + " folders: " +
                           std::to_string(l.songs) + " sealed, 0 already-sealed, 0 refused, 0 failed, 0 unreadable\n");
    expectAllSealed(root, l.songs);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LibraryLimit,
    ::testing::Values(
        // No thread can start beside the first: the run goes on with it.
        Limit{"OneProcess", 24, {"--jobs", "8"}, [] {
                  become(kA);
                  limit(RLIMIT_NPROC, 1);
              }, true, true},
        // Too little address space for sixteen threads' stacks.
        Limit{"SixtyMegabytes", 24, {"--jobs", "16"}, [] { limit(RLIMIT_AS, 60 << 20); }, false, false},
        // Room for one song at a time between two syncs.
        Limit{"TwentyFiles", 200, {}, [] { limit(RLIMIT_NOFILE, 20); }, true, false}),
    [](const ::testing::TestParamInfo<Limit>& info) { return std::string(info.param.what); });

// As root, in a library holding another user's album: that user swaps the
// album for a link to a private folder before any one operation of the run.
// The private folder is never written, whenever the swap comes.
TEST_F(LibraryUnderLimits, AFolderSwappedForALinkAtAnyMomentIsNeverFollowed)
{
    const std::string root = at("library");
    const std::string owned = root + "/zz-b";
    const std::string privateAlbum = at("private/album");
    const auto make = [&] {
        fs::remove_all(test::pathOf(root));
        fs::remove_all(test::pathOf(at("private")));
        fs::create_directories(test::pathOf(owned + "/album"));
        fs::create_directories(test::pathOf(root + "/aa"));
        fs::create_directories(test::pathOf(privateAlbum));
        ::chmod(at("private").c_str(), 0700);
        test::writeFile(root + "/aa/first.sm", test::fiveCharts());
        test::writeFile(owned + "/album/song.sm", test::fiveCharts());
        test::writeFile(privateAlbum + "/song.sm", test::fiveCharts());
        for (const std::string& path : {owned, owned + "/album", owned + "/album/song.sm"}) {
            if (::lchown(path.c_str(), kB, kB) != 0) ADD_FAILURE() << path;
        }
    };
    const auto swap = [&] {
        fs::rename(test::pathOf(owned + "/album"), test::pathOf(owned + "/album.real"));
        fs::create_directory_symlink(test::pathOf(privateAlbum), test::pathOf(owned + "/album"));
    };
    make();
    test::FileOpsProbe counter;
    std::ostringstream out, err;
    ASSERT_EQ(LibraryCommand(out, err, false, 1024, counter).run({"--jobs", "1", root}), kExitSuccess) << err.str();
    const long operations = counter.count();
    for (long k = 1; k <= operations; ++k) {
        SCOPED_TRACE("swapped before operation " + std::to_string(k));
        make();
        test::FileOpsProbe ops([&](const test::FileOpsProbe::Call& call) {
            if (call.number == k) swap();
            return std::error_code();
        });
        std::ostringstream said, errors;
        const int status = LibraryCommand(said, errors, false, 1024, ops).run({"--jobs", "1", root});
        ASSERT_TRUE(status == kExitSuccess || status == kExitOutputFailed) << errors.str();
        ASSERT_EQ(readFile(privateAlbum + "/song.sm"), test::fiveCharts());
        ASSERT_EQ(std::distance(fs::directory_iterator(test::pathOf(privateAlbum)), {}), 1);
        // Where the album was refused, by the walk or later, it says which
        // folder and why.
        if (status == kExitOutputFailed) {
            const std::string line = errors.str();
            ASSERT_TRUE(line == "chartseal-library: " + owned + "/album: is no longer the folder that was listed "
                                "(replaced by a link or another folder while the run went on); its songs are left "
                                "as they are\n" ||
                        line == "chartseal-library: " + owned + "/album: is no longer a folder (replaced by a link "
                                "or a file while the run went on); left out\n")
                << line;
            ASSERT_EQ(readFile(owned + "/album.real/song.sm"), test::fiveCharts());
        }
    }
}

}  // namespace
}  // namespace chartseal
