// chartseal-library's report on POSIX systems: links followed to their
// targets and never replaced, FIFOs and terminals written through, names
// with any bytes given back exactly, and a standard output whose reader has
// gone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <optional>
#include <thread>

#include "LibraryReportSupport.h"
#include "TestSupport.h"
#include "console/ExitStatus.h"

extern char** environ;

namespace chartseal {
namespace {

using test::LibraryReportTest;
namespace fs = std::filesystem;

void link(const std::string& target, const std::string& name)
{
    ASSERT_EQ(::symlink(target.c_str(), name.c_str()), 0) << name;
}

void fifo(const std::string& name)
{
    ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0) << name;
}

std::multiset<std::string> chartsUnder(const std::string& root)
{
    return {root + "/album one/glass harbour.sm", root + "/album two/edit last.sm", root + "/album two/lantern.sm"};
}

std::multiset<std::string> asSet(const std::vector<std::string>& names)
{
    return {names.begin(), names.end()};
}

bool isKind(const std::string& path, mode_t kind)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
}

struct PosixRefusal {
    const char* name;
    std::function<void(const std::string& dir)> prepare;
    std::string report;                // below the test's folder
    std::vector<std::string> folders;  // below the test's folder
    std::string reason;                // {dir} stands for the test's folder
    std::string named = {};            // the file the line names, where not the report
    friend void PrintTo(const PosixRefusal& r, std::ostream* os) { *os << r.name; }
};

class ReportRefusedPosix : public LibraryReportTest, public ::testing::WithParamInterface<PosixRefusal> {};

TEST_P(ReportRefusedPosix, BeforeAnySongWithOneLineAndNothingFollowedOrReplaced)
{
    const PosixRefusal& c = GetParam();
    makeLibrary();
    c.prepare(dir());
    const auto before = test::wholeTree(dir());
    std::vector<std::string> args{"--report", at(c.report)};
    for (const std::string& folder : c.folders) args.push_back(at(folder));

    const Ran ran = run(args);
    std::string reason = c.reason;
    if (const auto at = reason.find("{dir}"); at != std::string::npos) reason.replace(at, 5, dir());
    EXPECT_EQ(ran.status, kExitOutputFailed);
    EXPECT_EQ(ran.err, "chartseal-library: " + at(c.named.empty() ? c.report : c.named) + ": " + reason + "\n");
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(test::wholeTree(dir()), before);
}

const std::string kInsideSongs = "is inside {dir}/songs, a folder the run works on; give the report a name outside the folders";

INSTANTIATE_TEST_SUITE_P(
    Targets, ReportRefusedPosix,
    ::testing::Values(
        PosixRefusal{"ALinkToAChart",
                     [](const std::string& d) { link("../songs/album one/glass harbour.sm", d + "/elsewhere/r.jsonl"); },
                     "elsewhere/r.jsonl", {"songs"}, kInsideSongs},
        PosixRefusal{"ALinkToASealedFile",
                     [](const std::string& d) { link(d + "/songs/album two/lantern_4.dat", d + "/elsewhere/r.jsonl"); },
                     "elsewhere/r.jsonl", {"songs"}, kInsideSongs},
        PosixRefusal{"ALinkOfLinksToANewNameInTheLibrary",
                     [](const std::string& d) {
                         link("second", d + "/elsewhere/first");
                         link("../songs/album one/new.jsonl", d + "/elsewhere/second");
                     },
                     "elsewhere/first", {"songs"}, kInsideSongs},
        PosixRefusal{"ANameInAFolderLinkedIntoTheLibrary",
                     [](const std::string& d) { link("../songs/album two", d + "/elsewhere/album"); },
                     "elsewhere/album/r.jsonl", {"songs"}, kInsideSongs},
        PosixRefusal{"TheLibraryGivenThroughALink",
                     [](const std::string& d) { link("songs", d + "/library"); },
                     "songs/r.jsonl", {"library"},
                     "is inside {dir}/library, a folder the run works on; give the report a name outside the folders"},
        PosixRefusal{"AFifoInTheLibrary",
                     [](const std::string& d) { fifo(d + "/songs/album one/pipe"); },
                     "songs/album one/pipe", {"songs"}, kInsideSongs},
        PosixRefusal{"ALinkToAFolder",
                     [](const std::string& d) { link(".", d + "/elsewhere/here"); },
                     "elsewhere/here", {"songs"}, "is a directory; give the report a file name"},
        PosixRefusal{"ALinkLoop",
                     [](const std::string& d) {
                         link("b", d + "/elsewhere/a");
                         link("a", d + "/elsewhere/b");
                     },
                     "elsewhere/a", {"songs"},
                     "cannot stat: " + std::error_code(ELOOP, std::system_category()).message()},
        PosixRefusal{"ATemporaryNameThatIsALinkToAFileOutside",
                     [](const std::string& d) {
                         test::writeFile(d + "/victim.txt", "not a report");
                         link("../victim.txt", d + "/elsewhere/.r.jsonl.partial");
                     },
                     "elsewhere/r.jsonl", {"songs"},
                     "is a symbolic link, not a report a stopped run left; move it away to write the report",
                     "elsewhere/.r.jsonl.partial"},
        PosixRefusal{"ATemporaryNameThatIsAFifo",
                     [](const std::string& d) { fifo(d + "/elsewhere/.r.jsonl.partial"); },
                     "elsewhere/r.jsonl", {"songs"},
                     "is a FIFO, not a report a stopped run left; move it away to write the report",
                     "elsewhere/.r.jsonl.partial"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FollowedLink {
    const char* name;
    std::function<void(const std::string& dir)> prepare;  // links at elsewhere/r.jsonl, to a file in outside/
    std::string target;                                   // where the report ends up, below the test's folder
    friend void PrintTo(const FollowedLink& l, std::ostream* os) { *os << l.name; }
};

class ReportThroughALink : public LibraryReportTest, public ::testing::WithParamInterface<FollowedLink> {};

TEST_P(ReportThroughALink, ReplacesTheTargetAndLeavesTheLinkAsItWas)
{
    makeLibrary();
    fs::create_directories(test::pathOf(at("outside")));
    test::writeFile(at("outside/old.jsonl"), "an older report\n");
    GetParam().prepare(dir());
    auto links = test::wholeTree(at("elsewhere"));
    const Ran ran = run({"--report", at("elsewhere/r.jsonl"), root()});
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    EXPECT_EQ(ran.out, "3 songs in 3 folders: 2 sealed, 1 already-sealed, 0 refused, 0 failed, 0 unreadable\n");
    EXPECT_EQ(test::wholeTree(at("elsewhere")), links);
    EXPECT_TRUE(isKind(at(GetParam().target), S_IFREG));
    EXPECT_EQ(asSet(test::reportedCharts(test::readFile(at(GetParam().target)).value_or(""))), chartsUnder(root()));
    EXPECT_EQ(test::partialsUnder(dir()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Links, ReportThroughALink,
    ::testing::Values(
        FollowedLink{"ToAFileOutside", [](const std::string& d) { link("../outside/old.jsonl", d + "/elsewhere/r.jsonl"); },
                     "outside/old.jsonl"},
        FollowedLink{"ToANameNotYetThere",
                     [](const std::string& d) { link("../outside/new.jsonl", d + "/elsewhere/r.jsonl"); },
                     "outside/new.jsonl"},
        FollowedLink{"ToALinkByItsFullName",
                     [](const std::string& d) {
                         link(d + "/outside/middle", d + "/elsewhere/r.jsonl");
                         link("old.jsonl", d + "/outside/middle");
                     },
                     "outside/old.jsonl"}),
    [](const auto& info) { return std::string(info.param.name); });

// The report's permissions: a new one as any new file of the runner's (the
// umask's), one that replaces a file as that file was; never narrowed to the
// runner alone, so that the next step of a build can read it.
struct ReportMode {
    const char* name;
    mode_t umask;
    std::optional<mode_t> existing;  // the file replaced, where there is one
    mode_t expected;
};

class ReportModes : public LibraryReportTest, public ::testing::WithParamInterface<ReportMode> {};

TEST_P(ReportModes, AreTheRunnersOrTheReplacedFiles)
{
    makeLibrary();
    const std::string report = at("elsewhere/report.jsonl");
    if (GetParam().existing) {
        test::writeFile(report, "an older report\n");
        ::chmod(report.c_str(), *GetParam().existing);
    }
    const mode_t before = ::umask(GetParam().umask);
    const Ran ran = run({"--dry-run", "--report", report, root()});
    ::umask(before);
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    struct stat st {};
    ASSERT_EQ(::stat(report.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Modes, ReportModes,
                         ::testing::Values(ReportMode{"NewUnderUmask022", 022, std::nullopt, 0644},
                                           ReportMode{"NewUnderUmask077", 077, std::nullopt, 0600},
                                           ReportMode{"ReplacingAGroupFile", 022, 0664, 0664},
                                           ReportMode{"ReplacingAPrivateFile", 0, 0600, 0600}),
                         [](const ::testing::TestParamInfo<ReportMode>& info) { return std::string(info.param.name); });

TEST_F(LibraryReportTest, AFifoWithAReaderIsWrittenThroughAndNotReplaced)
{
    makeLibrary();
    const std::string pipe = at("elsewhere/pipe");
    fifo(pipe);
    std::string received;
    std::thread reader([&] {
        const int fd = ::open(pipe.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        char buf[4096];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) received.append(buf, static_cast<std::size_t>(n));
        ::close(fd);
    });
    const Ran ran = run({"--report", pipe, root()});
    // Where the run never opened it, the reader is let go of here.
    const int unblock = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (unblock >= 0) ::close(unblock);
    reader.join();
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    EXPECT_EQ(asSet(test::reportedCharts(received)), chartsUnder(root()));
    EXPECT_TRUE(isKind(pipe, S_IFIFO));
    EXPECT_EQ(test::partialsUnder(dir()), std::vector<std::string>{});
}

TEST_F(LibraryReportTest, ATerminalIsWrittenThroughAndNotReplaced)
{
    makeLibrary();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string terminal = ::ptsname(master);
    const Ran ran = run({"--report", terminal, root()});
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    EXPECT_TRUE(isKind(terminal, S_IFCHR));
    // What the terminal shows, its carriage returns taken out.
    std::string shown;
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    char buf[4096];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) {
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\r') shown += buf[i];
        }
    }
    ::close(master);
    EXPECT_EQ(asSet(test::reportedCharts(shown)), chartsUnder(root()));
}

// A strict check that the text is UTF-8, written apart from the program's.
bool isUtf8(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        unsigned cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
        for (std::size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

TEST_F(LibraryReportTest, ChartNamesWithAnyBytesComeBackExactlyAndStayDistinct)
{
    const std::vector<std::string> names{
        "back\\slash", "back\nslash", "new\nline", "tab\there", "quote\"d", "ctrl \x01\x1b\x7f",
        "bad \xff byte", "cut \xe2\x82 short", "surrogate \xed\xa0\x80 encoded", "lone \x80 continuation",
        "latin-1 caf\xe9", "overlong \xc0\xaf", "valid caf\xc3\xa9 \xf0\x9f\x8e\xb5", "looks escaped \\udcff"};
    fs::create_directories(test::pathOf(root()));
    std::multiset<std::string> expected;
    for (const std::string& name : names) {
        test::writeFile(root() + "/" + name + ".sm", test::fiveCharts());
        expected.insert(root() + "/" + name + ".sm");
    }
    const std::string report = at("report.jsonl");
    const Ran ran = run({"--dry-run", "--report", report, root()});
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    const std::string text = test::readFile(report).value_or("");
    EXPECT_TRUE(isUtf8(text));
    EXPECT_EQ(asSet(test::reportedCharts(text)), expected);

    // And as the usage says, by Python's own JSON reader.
    if (!test::exists("/usr/bin/python3")) GTEST_SKIP() << "no python3 to read the report with";
    const std::string script =
        "import json,sys\n"
        "for line in open(sys.argv[1], encoding='utf-8'):\n"
        "    sys.stdout.buffer.write(json.loads(line)['chart'].encode('utf-8', 'surrogateescape') + b'\\0')\n";
    test::writeFile(at("decode.py"), script);
    FILE* python = ::popen(("/usr/bin/python3 '" + at("decode.py") + "' '" + report + "'").c_str(), "r");
    ASSERT_NE(python, nullptr);
    std::string decoded;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, python)) > 0;) decoded.append(buf, n);
    EXPECT_EQ(::pclose(python), 0);
    std::multiset<std::string> byPython;
    for (std::size_t from = 0, end; (end = decoded.find('\0', from)) != std::string::npos; from = end + 1) {
        byPython.insert(decoded.substr(from, end - from));
    }
    EXPECT_EQ(byPython, expected);
}

struct ClosedOutput {
    const char* name;
    std::vector<std::string> args;  // before the folder
    bool summaryOnStandardError;
    friend void PrintTo(const ClosedOutput& c, std::ostream* os) { *os << c.name; }
};

class ClosedStandardOutput : public LibraryReportTest, public ::testing::WithParamInterface<ClosedOutput> {};

// The program with its standard output a pipe whose reader has gone, and
// SIGPIPE at its default, as a shell pipeline whose reader ended leaves it.
TEST_P(ClosedStandardOutput, IsOneLineOnStandardErrorAndStatusOne)
{
    makeLibrary();
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::close(ends[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, at("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> words{CHARTSEAL_LIBRARY_BIN};
    words.insert(words.end(), GetParam().args.begin(), GetParam().args.end());
    words.push_back(root());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, CHARTSEAL_LIBRARY_BIN, &actions, &attributes, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(ends[1]);
    int raw = 0;
    ASSERT_EQ(::waitpid(pid, &raw, 0), pid);

    ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << WTERMSIG(raw);
    EXPECT_EQ(WEXITSTATUS(raw), kExitOutputFailed);
    EXPECT_EQ(test::readFile(at("err")),
              "chartseal-library: standard output: cannot write: " + std::error_code(EPIPE, std::system_category()).message() +
                  "\n" + (GetParam().summaryOnStandardError
                              ? "3 songs in 3 folders: 2 sealed, 1 already-sealed, 0 refused, 0 failed, 0 unreadable\n"
                              : ""));
    EXPECT_EQ(test::readFile(at("songs/album one/glass harbour.sm")), test::fiveChartsPlain());
}

INSTANTIATE_TEST_SUITE_P(Streams, ClosedStandardOutput,
                         ::testing::Values(ClosedOutput{"TheSummary", {}, false},
                                           ClosedOutput{"TheReport", {"--report", "-"}, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chartseal
