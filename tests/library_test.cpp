// chartseal-library: each song ends exactly as one chartseal run would leave
// it, reruns change nothing, previews and checks change nothing, a stop or a
// power cut leaves every chart whole, and the report and summary say what
// happened.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "MemoryFileSystem.h"
#include "TwoFileSystems.h"
#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "cli/LibraryCommand.h"
#include "run/LibraryRun.h"
#include "run/RunDriver.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::readFile;
namespace fs = std::filesystem;

// Every file under a folder, by its path below it, with its bytes.
std::map<std::string, std::string> tree(const std::string& root)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(test::pathOf(root))) {
        if (!entry.is_regular_file()) continue;
        const auto relative = fs::relative(entry.path(), test::pathOf(root)).u8string();
        files[std::string(relative.begin(), relative.end())] = readFile(entry.path().string()).value_or("<unreadable>");
    }
    return files;
}

class Library : public test::TempDirTest {
protected:
    struct Ran {
        int status;
        std::string out, err;
    };
    // openFiles: as many as the process may still open; 13 gives one song
    // between two syncs, on one thread.
    Ran run(const std::vector<std::string>& args, FileOps& ops = systemFileOps(), bool progress = false,
            std::size_t openFiles = 1024)
    {
        std::ostringstream out, err;
        LibraryCommand command(out, err, progress, openFiles, ops);
        const int status = command.run(args);
        return {status, out.str(), err.str()};
    }
    // Songs of several shapes in nested folders, names with spaces among them.
    void makeLibrary(const std::string& root)
    {
        fs::create_directories(test::pathOf(root + "/album one/disc 2"));
        fs::create_directories(test::pathOf(root + "/album two"));
        test::writeFile(root + "/album one/glass harbour.sm", test::fiveCharts());
        test::writeFile(root + "/album one/disc 2/only easy.sm", test::songHeader() + chartBlock("Easy"));
        test::writeFile(root + "/album two/edit last.sm",
                        test::songHeader() + chartBlock("Edit") + chartBlock("Easy") + chartBlock("Hard"));
        test::writeFile(root + "/album two/notes.txt", "not a chart");
    }
    // The same songs, each sealed by a chartseal run of its own.
    std::map<std::string, std::string> sealedOneByOne(const std::string& root)
    {
        const std::string copy = at("one by one");
        fs::copy(test::pathOf(root), test::pathOf(copy), fs::copy_options::recursive);
        for (const char* base : {"/album one/glass harbour", "/album one/disc 2/only easy", "/album two/edit last"}) {
            std::istringstream in(copy + base + "\n");
            std::ostringstream out, err;
            EXPECT_EQ(RunDriver(in, out, err, [] {}).run(), kExitSuccess) << err.str();
        }
        return tree(copy);
    }
};

TEST_F(Library, EachSongEndsAsOneChartsealRunLeavesItAndARerunChangesNothing)
{
    const std::string root = at("songs");
    makeLibrary(root);
    const auto expected = sealedOneByOne(root);
    const std::string report = at("report.jsonl");

    Ran first = run({"--report", report, root});
    // The report's JSON writes a backslash (in a Windows name) as two.
    std::string json;
    for (const char c : root) json += c == '\\' ? std::string("\\\\") : std::string(1, c);
    EXPECT_EQ(first.status, kExitSuccess) << first.err;
    EXPECT_EQ(first.out, "3 songs in 4 folders: 3 sealed, 0 already-sealed, 0 refused, 0 failed, 0 unreadable\n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(tree(root), expected);
    // Each file as the song's own charts name it: "<style> <difficulty>".
    const auto files = [](const std::string& song, const std::vector<std::string>& held) {
        std::string json = "[";
        for (int n = 1; n <= 6; ++n) {
            const std::string file = n == 1 ? song + ".sm" : song + "_" + std::to_string(n) + ".dat";
            json += std::string(n > 1 ? "," : "") + "{\"file\":\"" + file + "\",\"charts\":[" + held[n - 1] + "]}";
        }
        return json + "]";
    };
    EXPECT_EQ(readFile(report),
              "{\"chart\":\"" + json + "/album one/disc 2/only easy.sm\",\"result\":\"sealed\",\"ordinals\":\"100000\","
              "\"plain\":[\"step-single Easy\"],\"sealed\":[],\"files\":" +
                  files("only easy", {"\"step-single Easy\"", "", "", "", "", ""}) + ",\"exposed\":[],\"bytes\":" +
                  std::to_string(test::songHeader().size() + chartBlock("Easy").size()) +
                  ",\"message\":\"\"}\n"
                  "{\"chart\":\"" + json + "/album one/glass harbour.sm\",\"result\":\"sealed\",\"ordinals\":\"234510\","
                  "\"plain\":[\"step-single Easy\",\"step-single Medium\"],\"sealed\":[\"step-single Hard\","
                  "\"step-single Challenge\",\"step-single Beginner\"],\"files\":" +
                  files("glass harbour", {"\"step-single Easy\",\"step-single Medium\"", "", "\"step-single Hard\"",
                                          "\"step-single Challenge\"", "\"step-single Beginner\"", ""}) +
                  ",\"exposed\":[],\"bytes\":" + std::to_string(test::fiveCharts().size()) +
                  ",\"message\":\"\"}\n"
                  "{\"chart\":\"" + json + "/album two/edit last.sm\",\"result\":\"sealed\",\"ordinals\":\"203001\","
                  "\"plain\":[\"step-single Easy\",\"step-single Hard\"],\"sealed\":[\"step-single Edit\"],\"files\":" +
                  files("edit last", {"\"step-single Easy\",\"step-single Hard\"", "", "", "", "", "\"step-single Edit\""}) +
                  ",\"exposed\":[],\"bytes\":" + std::to_string(test::songHeader().size() + 3 * chartBlock("Easy").size()) +
                  ",\"message\":\"\"}\n");

    Ran again = run({root});
    EXPECT_EQ(again.status, kExitSuccess) << again.err;
    EXPECT_EQ(again.out, "3 songs in 4 folders: 0 sealed, 3 already-sealed, 0 refused, 0 failed, 0 unreadable\n");
    EXPECT_EQ(tree(root), expected);

    Ran check = run({"--check", root});
    EXPECT_EQ(check.status, kExitSuccess) << check.err;
    EXPECT_EQ(check.out, "3 songs in 4 folders: 3 prepared, 0 not-prepared, 0 damaged, 0 refused, 0 failed, 0 unreadable\n");
}

TEST_F(Library, APreviewChangesNothingAndSaysWhatWouldBeSealed)
{
    const std::string root = at("songs");
    makeLibrary(root);
    const auto before = tree(root);
    const std::string report = at("preview.jsonl");
    Ran preview = run({"--dry-run", "--report", report, root});
    EXPECT_EQ(preview.status, kExitSuccess) << preview.err;
    EXPECT_EQ(preview.out, "3 songs in 4 folders: 3 would-seal, 0 already-sealed, 0 refused, 0 failed, 0 unreadable\n");
    EXPECT_EQ(tree(root), before);
    EXPECT_NE(readFile(report).value_or("").find(
                  "\"result\":\"would-seal\",\"ordinals\":\"234510\",\"plain\":[\"step-single Easy\","
                  "\"step-single Medium\"],\"sealed\":[\"step-single Hard\",\"step-single Challenge\","
                  "\"step-single Beginner\"]"),
              std::string::npos);
}

TEST_F(Library, SongsThatCannotBeSealedAreNamedAndTheOthersSealed)
{
    const std::string root = at("songs");
    makeLibrary(root);
    // A stray plain file beside one song; another song locked by a run.
    test::writeFile(root + "/album one/glass harbour_1.dat", "stray");
    File held = test::openForReading(root + "/album two/edit last.sm");
    FileLock lock;
    ASSERT_TRUE(lock.tryLock(held));

    Ran ran = run({root});
    EXPECT_EQ(ran.status, kExitOutputFailed);
    EXPECT_EQ(ran.out, "3 songs in 4 folders: 1 sealed, 0 already-sealed, 2 refused, 0 failed, 0 unreadable\n");
    EXPECT_EQ(ran.err,
              "chartseal-library: " + root + "/album one/glass harbour_1.dat: is not a leftover of an unfinished run on "
              "this chart, which is left unchanged; move it away to seal the chart\n"
              "chartseal-library: " + root + "/album two/edit last.sm: another chartseal run is sealing it; try again "
              "when it has finished\n");
    EXPECT_EQ(readFile(root + "/album one/glass harbour.sm"), test::fiveCharts());
    EXPECT_EQ(readFile(root + "/album one/disc 2/only easy.sm"), test::songHeader() + chartBlock("Easy") + "\n");
}

TEST_F(Library, ACheckFindsSongsNotPreparedAndSealedFilesThatDoNotReadBack)
{
    const std::string root = at("songs");
    makeLibrary(root);
    ASSERT_EQ(run({root}).status, kExitSuccess);
    // Cut short; never sealed; half done.
    const std::string cut = root + "/album one/glass harbour_4.dat";
    test::writeFile(cut, readFile(cut)->substr(0, 100));
    test::writeFile(root + "/album two/new song.sm", test::fiveCharts());
    test::writeFile(root + "/album two/edit last_1.dat", "");

    Ran check = run({"--check", root});
    EXPECT_EQ(check.status, kExitOutputFailed);
    // The song never sealed keeps all its charts in plain text.
    EXPECT_EQ(check.out, "4 songs in 4 folders: 1 prepared, 2 not-prepared, 1 damaged, 0 refused, 0 failed, 0 unreadable; "
                         "1 exposed\n");
    EXPECT_EQ(check.err, "chartseal-library: " + cut + ": is cut short\n"
                         "chartseal-library: " + root + "/album two/edit last_1.dat: a run did not finish, or another file stands at that name; run chartseal again, which finishes the run or says which it is\n"
                         "chartseal-library: " + root + "/album two/new song.sm: not sealed\n");
}

struct Usage {
    std::vector<std::string> args;
    std::string why;
    friend void PrintTo(const Usage& u, std::ostream* os) { *os << u.why; }
};

class LibraryUsage : public Library, public ::testing::WithParamInterface<Usage> {};

TEST_P(LibraryUsage, IsOneLineWithTheReasonAndStatusTwo)
{
    Ran ran = run(GetParam().args);
    EXPECT_EQ(ran.status, kExitUsage);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, "chartseal-library: " + GetParam().why + "; try 'chartseal-library --help'\n");
}

INSTANTIATE_TEST_SUITE_P(Errors, LibraryUsage,
                         ::testing::Values(Usage{{}, "no folder given"},
                                           Usage{{"--"}, "no folder given"},
                                           Usage{{"-q", "-n"}, "no folder given"},
                                           Usage{{"--jobs", "0", "songs"}, "--jobs takes a number from 1 to 256"},
                                           Usage{{"-j0", "songs"}, "--jobs takes a number from 1 to 256"},
                                           Usage{{"--jobs=257", "songs"}, "--jobs takes a number from 1 to 256"},
                                           Usage{{"-j", "four", "songs"}, "--jobs takes a number from 1 to 256"},
                                           Usage{{"--jobs"}, "--jobs needs a value"},
                                           Usage{{"songs", "-j"}, "--jobs needs a value"},
                                           Usage{{"songs", "--report"}, "--report needs a value"},
                                           Usage{{"--check", "--jobs", "2", "songs"}, "--jobs goes with sealing only"},
                                           Usage{{"-nj2", "songs"}, "--jobs goes with sealing only"},
                                           Usage{{"--check", "--dry-run", "songs"}, "--dry-run and --check go alone"},
                                           Usage{{"-0", "songs"}, "--null goes with --files-from only"},
                                           Usage{{"--force", "songs"}, "unknown option --force"},
                                           Usage{{"-qz", "songs"}, "unknown option -z"}));

// What the options are taken as: the same options in each of their
// spellings, bundled short ones, "--" and which of --help and --version wins.
// In args, ROOT is a folder with one song, REPORT a report's name.
struct Taken {
    std::vector<std::string> args;
    int status;
    std::string out;  // how standard output begins
    bool sealed;      // the song sealed
    bool report = false;  // the report written
    friend void PrintTo(const Taken& t, std::ostream* os)
    {
        for (const std::string& arg : t.args) *os << arg << ' ';
    }
};

class LibraryOptions : public Library, public ::testing::WithParamInterface<Taken> {};

TEST_P(LibraryOptions, AreTakenAsTheirLongForms)
{
    const std::string root = at("songs"), report = at("report.jsonl");
    fs::create_directories(test::pathOf(root));
    test::writeFile(root + "/glass.sm", test::fiveCharts());
    std::vector<std::string> args;
    for (const std::string& arg : GetParam().args) {
        if (arg == "ROOT") {
            args.push_back(root);
        } else if (arg.find("REPORT") != std::string::npos) {
            args.push_back(arg.substr(0, arg.find("REPORT")) + report);
        } else {
            args.push_back(arg);
        }
    }
    const Ran ran = run(args);
    EXPECT_EQ(ran.status, GetParam().status) << ran.err;
    EXPECT_EQ(ran.out.substr(0, GetParam().out.size()), GetParam().out) << ran.out;
    if (GetParam().out.empty()) {
        EXPECT_EQ(ran.out, "");
    }
    EXPECT_EQ(readFile(root + "/glass.sm") != test::fiveCharts(), GetParam().sealed);
    EXPECT_EQ(test::exists(report), GetParam().report);
}

const std::string kSealed = "1 song in 1 folder: 1 sealed, ";
const std::string kPreviewed = "1 song in 1 folder: 1 would-seal, ";
const std::string kVersion = std::string("chartseal-library ") + CHARTSEAL_EXPECTED_VERSION + "\nCopyright ";

INSTANTIATE_TEST_SUITE_P(
    Spellings, LibraryOptions,
    ::testing::Values(Taken{{"ROOT"}, 0, kSealed, true},
                      Taken{{"--report=REPORT", "ROOT"}, 0, kSealed, true, true},
                      Taken{{"--report", "REPORT", "ROOT"}, 0, kSealed, true, true},
                      Taken{{"-j4", "ROOT"}, 0, kSealed, true},
                      Taken{{"-j", "4", "ROOT"}, 0, kSealed, true},
                      Taken{{"--jobs=4", "ROOT"}, 0, kSealed, true},
                      Taken{{"ROOT", "--jobs", "4"}, 0, kSealed, true},
                      Taken{{"-n", "ROOT"}, 0, kPreviewed, false},
                      Taken{{"--dry-run", "ROOT"}, 0, kPreviewed, false},
                      Taken{{"-nq", "ROOT"}, 0, "", false},
                      Taken{{"-qn", "--report", "REPORT", "ROOT"}, 0, "", false, true},
                      Taken{{"--quiet", "ROOT"}, 0, "", true},
                      Taken{{"-qj2", "ROOT"}, 0, "", true},
                      // After "--" an option is a name: no preview, and a folder that is not there.
                      Taken{{"--", "ROOT", "-n"}, 1, kSealed, true},
                      Taken{{"--", "--help"}, 1, "0 songs in 0 folders", false},
                      Taken{{"--help"}, 0, "usage: chartseal-library ", false},
                      Taken{{"-h"}, 0, "usage: chartseal-library ", false},
                      Taken{{"--help", "--version"}, 0, "usage: chartseal-library ", false},
                      Taken{{"--version", "--help"}, 0, "usage: chartseal-library ", false},
                      Taken{{"--help", "--bogus"}, 0, "usage: chartseal-library ", false},
                      Taken{{"--check", "--dry-run", "-j", "-h"}, 0, "usage: chartseal-library ", false},
                      Taken{{"-qh", "ROOT"}, 0, "usage: chartseal-library ", false},
                      Taken{{"--version"}, 0, kVersion, false},
                      Taken{{"-V", "ROOT"}, 0, kVersion, false},
                      Taken{{"--version", "--bogus"}, 0, kVersion, false},
                      Taken{{"-j1V"}, 2, "", false}));  // V is the value of -j there

// A chart given as a path is that song alone, in its folder, counted once
// however often it is named; a chart that is not there is what a chartseal
// run given its name says.
TEST_F(Library, AChartNamedIsThatSongAlone)
{
    struct Case {
        std::vector<std::string> args;  // below the root
        std::string out;
        std::vector<std::string> sealed;
    };
    const std::string counts = ", 0 already-sealed, 0 refused, 0 failed, 0 unreadable\n";
    for (const Case& c : {Case{{"/a.sm"}, "1 song in 1 folder: 1 sealed" + counts, {"a"}},
                          Case{{"/a.sm", "/a.sm"}, "1 song in 1 folder: 1 sealed" + counts, {"a"}},
                          Case{{"/a.sm", ""}, "2 songs in 1 folder: 2 sealed" + counts, {"a", "b"}},
                          Case{{"", "/b.sm"}, "2 songs in 1 folder: 2 sealed" + counts, {"a", "b"}},
                          Case{{"/a.sm", "/b.sm"}, "2 songs in 1 folder: 2 sealed" + counts, {"a", "b"}}}) {
        const std::string root = at("songs");
        fs::remove_all(test::pathOf(root));
        fs::create_directories(test::pathOf(root));
        test::writeFile(root + "/a.sm", test::fiveCharts());
        test::writeFile(root + "/b.sm", test::fiveCharts());
        std::vector<std::string> args;
        for (const std::string& arg : c.args) args.push_back(root + arg);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Ran ran = run(args);
        EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
        EXPECT_EQ(ran.out, c.out);
        for (const char* name : {"a", "b"}) {
            const bool sealed = std::find(c.sealed.begin(), c.sealed.end(), name) != c.sealed.end();
            EXPECT_EQ(test::exists(root + "/" + name + "_3.dat"), sealed) << name;
        }
    }

    const std::string missing = at("songs") + "/gone.sm";
    std::istringstream in(at("songs") + "/gone\n");
    std::ostringstream out, err;
    const int single = RunDriver(in, out, err, [] {}).run();
    EXPECT_EQ(single, kExitChartUnreadable);
    const Ran ran = run({missing});
    EXPECT_EQ(ran.status, kExitOutputFailed);
    EXPECT_EQ(ran.out, "1 song in 1 folder: 0 sealed, 0 already-sealed, 0 refused, 0 failed, 1 unreadable\n");
    EXPECT_EQ("chartseal-library: " + ran.err.substr(std::string("chartseal-library: ").size()),
              "chartseal-library: " + err.str().substr(std::string("chartseal: ").size()));
}

// The report never goes where a chart named as a path is sealed: the chart
// itself or any name beside it is refused before any song, as in a folder.
TEST_F(Library, AReportBesideANamedChartIsRefused)
{
    const std::string root = at("songs");
    fs::create_directories(test::pathOf(root));
    for (const std::string report : {"a.sm", "report.jsonl", "a_3.dat"}) {
        SCOPED_TRACE(report);
        test::writeFile(root + "/a.sm", test::fiveCharts());
        const Ran ran = run({"--report", root + "/" + report, root + "/a.sm"});
        EXPECT_EQ(ran.status, kExitOutputFailed);
        EXPECT_EQ(ran.out, "");
        EXPECT_EQ(ran.err, "chartseal-library: " + root + "/" + report + ": is inside " + root +
                               ", a folder the run works on; give the report a name outside the folders\n");
        EXPECT_EQ(readFile(root + "/a.sm"), test::fiveCharts());
        EXPECT_FALSE(test::exists(root + "/a_3.dat"));
    }
}

TEST_F(Library, FindingNoSongIsSaidWithStatusOne)
{
    struct Case {
        std::vector<std::string> args;  // folders made below the root
        std::vector<std::string> options;
        std::string summary;
    };
    const std::string none = ": 0 sealed, 0 already-sealed, 0 refused, 0 failed, 0 unreadable\n";
    for (const Case& c :
         {Case{{"empty"}, {}, "0 songs in 1 folder" + none},
          Case{{"empty", "other"}, {}, "0 songs in 2 folders" + none},
          Case{{"empty"}, {"--dry-run"}, "0 songs in 1 folder: 0 would-seal, 0 already-sealed, 0 refused, 0 failed, 0 unreadable\n"},
          Case{{"empty"}, {"--check"}, "0 songs in 1 folder: 0 prepared, 0 not-prepared, 0 damaged, 0 refused, 0 failed, 0 unreadable\n"},
          Case{{"empty"}, {"--quiet"}, ""}}) {
        std::vector<std::string> args = c.options;
        std::string under;
        for (const std::string& folder : c.args) {
            fs::create_directories(test::pathOf(at(folder)));
            test::writeFile(at(folder) + "/notes.txt", "no chart here");
            args.push_back(at(folder));
            under += (under.empty() ? "" : ", ") + at(folder);
        }
        SCOPED_TRACE(::testing::PrintToString(args));
        const Ran ran = run(args);
        EXPECT_EQ(ran.status, kExitOutputFailed);
        EXPECT_EQ(ran.out, c.summary);
        EXPECT_EQ(ran.err, "chartseal-library: no songs found under " + under + "\n");
    }
}

// --files-from: one path a line (a carriage return before the line feed
// dropped, empty lines skipped) or each ended by a zero byte, from a file or
// standard input, with the paths on the command line.
TEST_F(Library, PathsComeFromAListAsFromTheCommandLine)
{
    struct Case {
        std::string list;  // ROOT stands for the root
        std::vector<std::string> options;
        bool fromInput;
        std::vector<std::string> more;  // below the root
        std::string out;
    };
    const std::string counts = ", 0 already-sealed, 0 refused, 0 failed, 0 unreadable\n";
    const std::string two = "2 songs in 2 folders: 2 sealed" + counts;
    for (const Case& c : {Case{"ROOT/one\nROOT/three/c.sm\n", {}, false, {}, two},
                          Case{"ROOT/one\nROOT/three/c.sm", {}, true, {}, two},
                          Case{"ROOT/one\r\nROOT/three/c.sm\r\n", {}, false, {}, two},
                          Case{"\n\nROOT/one\n\nROOT/three/c.sm\n\n", {}, true, {}, two},
                          Case{std::string("ROOT/one\0ROOT/three/c.sm\0", 25), {"-0"}, false, {}, two},
                          Case{std::string("ROOT/one\0ROOT/three/c.sm", 24), {"--null"}, true, {}, two},
                          Case{"ROOT/one\n", {}, false, {"/two"}, two},
                          Case{"", {}, true, {"/two"}, "1 song in 1 folder: 1 sealed" + counts}}) {
        const std::string root = at("songs");
        fs::remove_all(test::pathOf(root));
        for (const char* folder : {"/one", "/two", "/three"}) fs::create_directories(test::pathOf(root + folder));
        test::writeFile(root + "/one/a.sm", test::fiveCharts());
        test::writeFile(root + "/two/b.sm", test::fiveCharts());
        test::writeFile(root + "/three/c.sm", test::fiveCharts());
        test::writeFile(root + "/three/d.sm", test::fiveCharts());
        std::string list = c.list;
        for (std::size_t at; (at = list.find("ROOT")) != std::string::npos;) list.replace(at, 4, root);
        const std::string listFile = this->at("list");
        if (!c.fromInput) test::writeFile(listFile, list);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--files-from", c.fromInput ? "-" : listFile});
        for (const std::string& path : c.more) args.push_back(root + path);
        SCOPED_TRACE(::testing::PrintToString(args));
        std::istringstream in(list);
        std::ostringstream out, err;
        LibraryCommand command(out, err, false);
        command.setInput(in);
        EXPECT_EQ(command.run(args), kExitSuccess) << err.str();
        EXPECT_EQ(out.str(), c.out);
        EXPECT_FALSE(test::exists(root + "/three/d_3.dat"));  // only the chart named in its folder
    }
    const Ran missing = run({"--files-from", at("no list")});
    EXPECT_EQ(missing.status, kExitOutputFailed);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "chartseal-library: " + at("no list") + ": cannot open: " + test::noSuchFile() + "\n");
}

TEST_F(Library, AMissingFolderIsUnreadable)
{
    Ran ran = run({at("nowhere")});
    EXPECT_EQ(ran.status, kExitOutputFailed);
    EXPECT_EQ(ran.out, "0 songs in 0 folders: 0 sealed, 0 already-sealed, 0 refused, 0 failed, 0 unreadable; 1 folder unreadable\n");
    EXPECT_EQ(ran.err.rfind("chartseal-library: " + at("nowhere") + ": cannot read folder: ", 0), 0u) << ran.err;
    EXPECT_TRUE(ran.err.ends_with("\nchartseal-library: no songs found under " + at("nowhere") + "\n")) << ran.err;
}

TEST_F(Library, ProgressGoesOnlyWhereAsked)
{
    const std::string root = at("songs");
    makeLibrary(root);
    Ran shown = run({"--dry-run", root}, systemFileOps(), true);
    EXPECT_NE(shown.err.find("3/3 songs, "), std::string::npos) << shown.err;
    EXPECT_EQ(shown.err.back(), '\r');  // the line cleared at the end
    Ran quiet = run({"--dry-run", root});
    EXPECT_EQ(quiet.err, "");
    // --quiet: neither the progress line on a terminal nor the summary.
    Ran hushed = run({"--dry-run", "--quiet", root}, systemFileOps(), true);
    EXPECT_EQ(hushed.status, kExitSuccess);
    EXPECT_EQ(hushed.err, "");
    EXPECT_EQ(hushed.out, "");
}

TEST_F(Library, AStopLeavesEverySongWholeAndARerunFinishes)
{
    const std::string root = at("songs");
    makeLibrary(root);
    const auto expected = sealedOneByOne(root);
    // A stop request at each moment of the run in turn.
    test::FileOpsProbe counter;
    ASSERT_EQ(run({"--jobs", "1", root}, counter).status, kExitSuccess);
    const long operations = counter.count();
    fs::remove_all(test::pathOf(root));
    for (long k = 1; k <= operations; k += 7) {
        SCOPED_TRACE("stop before operation " + std::to_string(k));
        fs::remove_all(test::pathOf(root));
        makeLibrary(root);
        const auto original = tree(root);
        test::FileOpsProbe ops([k](const test::FileOpsProbe::Call& call) {
            if (call.number == k) test::sendStopRequest(test::stopRequests().front().number);
            return std::error_code();
        });
        const Ran stopped = run({"--jobs", "1", root}, ops);
        if (stopped.status != kExitSuccess) {
            ASSERT_EQ(stopped.status, exitStatusForSignal(test::stopRequests().front().number)) << stopped.err;
        }
        // Each chart holds its old bytes, or its new ones beside whole sealed files.
        const auto now = tree(root);
        for (const auto& [name, bytes] : original) {
            if (!name.ends_with(".sm")) continue;
            ASSERT_TRUE(bytes == now.at(name) || expected.at(name) == now.at(name)) << name;
            if (bytes == now.at(name)) continue;
            for (int n = 2; n <= 6; ++n) {
                const std::string sealedName = name.substr(0, name.size() - 3) + "_" + std::to_string(n) + ".dat";
                ASSERT_EQ(now.at(sealedName), expected.at(sealedName)) << sealedName;
            }
        }
        const Ran rerun = run({root});
        ASSERT_EQ(rerun.status, kExitSuccess) << rerun.err;
        ASSERT_EQ(tree(root), expected);
    }
}

// A power cut after each operation of a library run of three songs in one
// folder: every state holds each chart whole, and a later run of either
// program finishes every song.
TEST(LibraryPowerLoss, EveryStateHoldsEachChartAndALaterRunFinishes)
{
    using test::MemoryFileSystem;
    const std::map<std::string, std::string> charts{
        {"a.sm", test::fiveCharts()},
        {"b.sm", test::songHeader() + chartBlock("Easy") + chartBlock("Medium")},
        {"c.sm", test::songHeader() + chartBlock("Hard") + chartBlock("Easy") + chartBlock("Edit")},
    };
    const auto startingFolder = [&] {
        MemoryFileSystem fs;
        for (const auto& [name, bytes] : charts) fs.addFile(name, bytes);
        return fs;
    };
    const auto sealAll = [](FileOps& ops) {
        LibraryRun::Options options;
        options.jobs = 1;
        LibraryRun(ops, options, [](const SongReport&) {}).run(findSongs(ops, {"."}, {}));
    };
    MemoryFileSystem whole = startingFolder();
    sealAll(whole);
    std::map<std::string, std::string> final;
    for (const std::string& name : whole.names()) final[name] = *whole.contents(name);
    ASSERT_EQ(final.size(), 3u * 6u);
    const long operations = whole.operations();

    long states = 0;
    for (long k = 1; k <= operations; ++k) {
        SCOPED_TRACE("power cut after operation " + std::to_string(k));
        MemoryFileSystem cut = startingFolder();
        cut.keepStateAfter(k);
        sealAll(cut);
        cut.finish();
        ASSERT_TRUE(cut.kept().has_value());
        for (const test::DiskState& state : test::statesAfterPowerCut(*cut.kept())) {
            SCOPED_TRACE(state.what);
            MemoryFileSystem after(state.disk);
            for (const auto& [name, bytes] : charts) {
                const std::optional<std::string> chart = after.contents(name);
                ASSERT_TRUE(chart == bytes || chart == final.at(name)) << name;
                if (chart == final.at(name)) {
                    for (int n = 2; n <= 6; ++n) {
                        const std::string sealedName = name.substr(0, 1) + "_" + std::to_string(n) + ".dat";
                        ASSERT_EQ(after.contents(sealedName), final.at(sealedName)) << "replaced, but " << sealedName;
                    }
                }
            }
            // The library again: every song sealed now or before.
            std::vector<SongReport> reports;
            LibraryRun::Options options;
            LibraryRun(after, options, [&](const SongReport& r) { reports.push_back(r); }).run(findSongs(after, {"."}, {}));
            for (const SongReport& r : reports) ASSERT_TRUE(isSuccess(r.result)) << r.chart << ": " << r.message;
            std::map<std::string, std::string> now;
            for (const std::string& name : after.names()) now[name] = *after.contents(name);
            ASSERT_EQ(now, final);
            ++states;
        }
    }
    std::cout << "power cuts after " << operations << " operations, " << states << " disk states checked\n";
    RecordProperty("states", static_cast<int>(states));
}

// However a folder is named twice (itself, a folder above it, ".", a
// trailing slash, a link to it), each song is worked on and reported once.
TEST_F(Library, EachSongOnceHoweverItsFolderIsNamed)
{
    const std::string root = at("songs");
    makeLibrary(root);
    const auto expected = sealedOneByOne(root);
    std::vector<std::vector<std::string>> namings{
        {root, root},
        {root, root + "/album one", root + "/", root + "/."},
        {root + "/album two", root, root + "/album one/disc 2"},
    };
    // Where the system lets this user make links (not under wine).
    std::error_code noLinks;
    fs::create_directory_symlink(test::pathOf(root), test::pathOf(at("link")), noLinks);
    if (!noLinks) namings.push_back({at("link"), root, root + "/album two"});
    for (const auto& folders : namings) {
        SCOPED_TRACE(folders.size());
        fs::remove_all(test::pathOf(root));
        makeLibrary(root);
        const std::string report = at("report.jsonl");
        std::vector<std::string> args{"--jobs", "4", "--report", report};
        args.insert(args.end(), folders.begin(), folders.end());
        const Ran ran = run(args);
        EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
        EXPECT_EQ(ran.err, "");
        EXPECT_EQ(ran.out, "3 songs in 4 folders: 3 sealed, 0 already-sealed, 0 refused, 0 failed, 0 unreadable\n");
        const std::string lines = readFile(report).value_or("");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3) << lines;
        EXPECT_EQ(tree(root), expected);
    }
}

// A preview or a check takes no lock: a chartseal run that starts at any
// moment of one seals its song as if the preview were not there.
TEST_F(Library, APreviewOrACheckNeverMakesARunThatSealsWait)
{
    const std::string root = at("songs");
    const std::string song = root + "/album one/glass harbour";
    for (const char* mode : {"--dry-run", "--check"}) {
        fs::remove_all(test::pathOf(root));
        makeLibrary(root);
        test::FileOpsProbe counter;
        ASSERT_EQ(run({mode, root}, counter, false, 13).status, mode == std::string("--check") ? kExitOutputFailed : kExitSuccess);
        for (long k = 1; k <= counter.count(); ++k) {
            SCOPED_TRACE(std::string(mode) + ", a run before operation " + std::to_string(k));
            fs::remove_all(test::pathOf(root));
            makeLibrary(root);
            int status = -1;
            std::string said;
            test::FileOpsProbe ops([&](const test::FileOpsProbe::Call& call) {
                if (call.number == k) {
                    std::istringstream in(song + "\n");
                    std::ostringstream out, err;
                    status = RunDriver(in, out, err, [] {}).run();
                    said = err.str();
                }
                return std::error_code();
            });
            run({mode, root}, ops, false, 13);
            // Never kept out by a lock. (Windows replaces no file that a
            // reader holds open, the preview's reading of the chart included.)
            if (status != kExitSuccess && !test::openFilesCanBeReplaced() && said.find(": cannot replace: ") != std::string::npos) {
                continue;
            }
            ASSERT_EQ(status, kExitSuccess) << said;
        }
    }
}

// A stop between two batches: every song finished is reported, the others
// as not started, and the summary says the run was interrupted.
TEST_F(Library, AStopIsSaidInTheSummaryAndTheReportListsEverySong)
{
    const std::string root = at("songs");
    makeLibrary(root);
    const std::string report = at("report.jsonl");
    const int signal = test::stopRequests().front().number;
    // One song between two syncs; the stop comes as the first is renamed.
    test::FileOpsProbe ops(test::onceBefore("renameInFolder", [signal] { test::sendStopRequest(signal); }));
    const Ran stopped = run({"--report", report, root}, ops, false, 13);
    EXPECT_EQ(stopped.status, exitStatusForSignal(signal)) << stopped.err;
    EXPECT_EQ(stopped.out, "3 songs in 4 folders, interrupted: 1 sealed, 0 already-sealed, 0 refused, 0 failed, "
                           "0 unreadable, 2 not-started\n");
    const std::string lines = readFile(report).value_or("");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3) << lines;
    EXPECT_NE(lines.find("only easy.sm\",\"result\":\"sealed\""), std::string::npos) << lines;
    EXPECT_NE(lines.find("glass harbour.sm\",\"result\":\"not-started\""), std::string::npos) << lines;
    EXPECT_NE(lines.find("edit last.sm\",\"result\":\"not-started\""), std::string::npos) << lines;
    EXPECT_EQ(readFile(root + "/album one/glass harbour.sm"), test::fiveCharts());
}

TEST_F(Library, TooFewFilesForOneSongIsRefusedBeforeAnythingChanges)
{
    const std::string root = at("songs");
    makeLibrary(root);
    const auto before = tree(root);
    std::ostringstream out, err;
    LibraryCommand command(out, err, false, 8);
    EXPECT_EQ(command.run({root}), kExitOutputFailed);
    EXPECT_EQ(err.str(), "chartseal-library: chartseal-library: the process may open too few more files (8) to work "
                         "on one song; raise the limit (ulimit -n) and run it again\n");
    EXPECT_EQ(tree(root), before);
}

// The progress line moves with each step of each song, and ends at all of
// them.
TEST_F(Library, ProgressMovesWithEachSong)
{
    const std::string root = at("songs");
    makeLibrary(root);
    std::ostringstream out, err;
    LibraryCommand command(out, err, true);
    command.setProgressInterval(std::chrono::milliseconds(0));
    ASSERT_EQ(command.run({"--jobs", "1", root}), kExitSuccess) << err.str();
    // Each song is drawn once written and once sealed; a song with nothing
    // to seal, done with the sealed ones, among them.
    std::vector<std::string> drawn;
    std::istringstream lines(err.str());
    for (std::string line; std::getline(lines, line, '\r');) {
        if (line.find(" songs, ") != std::string::npos) drawn.push_back(line.substr(0, line.find(" songs, ")));
    }
    EXPECT_GE(drawn.size(), 6u) << err.str();
    EXPECT_EQ(drawn.front(), "0/3");
    EXPECT_EQ(drawn.back(), "3/3");
}

// A power cut after each operation of one batch whose songs lie on two file
// systems: a block file system, where one sync makes everything durable,
// and one that answers a sync of the whole system without passing it on,
// as FUSE does. Every state of either, beside the other's worst, holds each
// chart whole, and a later run finishes every song. Group commit on the
// second would lose sealed charts here.
TEST(LibraryPowerLoss, ABatchOnTwoKindsOfFileSystemKeepsEveryChart)
{
    using test::MemoryFileSystem;
    const std::map<std::string, std::string> charts{
        {"a.sm", test::fiveCharts()},
        {"b.sm", test::songHeader() + chartBlock("Hard") + chartBlock("Easy") + chartBlock("Edit")},
    };
    const auto start = [&](MemoryFileSystem::Kind kind, std::uint64_t volume) {
        MemoryFileSystem fs;
        fs.setKind(kind, volume);
        for (const auto& [name, bytes] : charts) fs.addFile(name, bytes);
        return fs;
    };
    const auto sealAll = [](FileOps& ops) {
        LibraryRun::Options options;
        options.jobs = 1;
        std::vector<SongReport> reports;
        LibraryRun(ops, options, [&](const SongReport& r) { reports.push_back(r); }).run(findSongs(ops, {"one", "two"}, {}));
        return reports;
    };
    const auto contents = [](const MemoryFileSystem& fs) {
        std::map<std::string, std::string> files;
        for (const std::string& name : fs.names()) files[name] = *fs.contents(name);
        return files;
    };
    MemoryFileSystem block = start(MemoryFileSystem::Kind::block, 0);
    MemoryFileSystem fuse = start(MemoryFileSystem::Kind::passesNoSync, 1);
    test::TwoFileSystems both(block, fuse);
    const std::vector<SongReport> first = sealAll(both);
    ASSERT_EQ(first.size(), 4u);
    for (const SongReport& r : first) ASSERT_EQ(r.result, SongResult::sealed) << r.chart << ": " << r.message;
    const auto final = contents(block);
    ASSERT_EQ(final, contents(fuse));
    ASSERT_EQ(final.size(), 2u * 6u);

    const auto only = [](const std::vector<test::DiskState>& states, const std::string& what) {
        return std::find_if(states.begin(), states.end(), [&](const test::DiskState& s) { return s.what == what; })->disk;
    };
    long states = 0;
    for (long k = 1; k <= both.operations(); ++k) {
        SCOPED_TRACE("power cut after operation " + std::to_string(k));
        MemoryFileSystem cutBlock = start(MemoryFileSystem::Kind::block, 0);
        MemoryFileSystem cutFuse = start(MemoryFileSystem::Kind::passesNoSync, 1);
        test::TwoFileSystems cut(cutBlock, cutFuse);
        cut.keepStateAfter(k);
        sealAll(cut);
        cut.finish();
        ASSERT_TRUE(cut.kept().has_value());
        const auto onBlock = test::statesAfterPowerCut(cut.kept()->first);
        const auto onFuse = test::statesAfterPowerCut(cut.kept()->second);
        // Each state of one file system beside the other's fewest changes.
        std::vector<std::pair<test::DiskState, MemoryFileSystem::State>> pairs;
        for (const auto& state : onBlock) pairs.push_back({state, only(onFuse, "only what was synced")});
        for (const auto& state : onFuse) pairs.push_back({{"second: " + state.what, state.disk}, only(onBlock, "only what was synced")});
        for (auto& [state, other] : pairs) {
            SCOPED_TRACE(state.what);
            const bool second = state.what.starts_with("second: ");
            MemoryFileSystem afterBlock(second ? other : state.disk);
            MemoryFileSystem afterFuse(second ? state.disk : other);
            afterBlock.setKind(MemoryFileSystem::Kind::block, 0);
            afterFuse.setKind(MemoryFileSystem::Kind::passesNoSync, 1);
            for (const MemoryFileSystem* fs : {&afterBlock, &afterFuse}) {
                for (const auto& [name, bytes] : charts) {
                    const std::optional<std::string> chart = fs->contents(name);
                    ASSERT_TRUE(chart == bytes || chart == final.at(name)) << name;
                    if (chart != final.at(name)) continue;
                    for (int n = 2; n <= 6; ++n) {
                        const std::string sealedName = name.substr(0, 1) + "_" + std::to_string(n) + ".dat";
                        ASSERT_EQ(fs->contents(sealedName), final.at(sealedName)) << "replaced, but " << sealedName;
                    }
                }
            }
            test::TwoFileSystems after(afterBlock, afterFuse);
            for (const SongReport& r : sealAll(after)) ASSERT_TRUE(isSuccess(r.result)) << r.chart << ": " << r.message;
            ASSERT_EQ(contents(afterBlock), final);
            ASSERT_EQ(contents(afterFuse), final);
            ++states;
        }
    }
    std::cout << "power cuts after " << both.operations() << " operations, " << states << " disk states checked\n";
}

// A failed sync of the file system fails the songs that relied on it, each
// named by its own chart.
TEST(LibraryBarrier, AFailedSyncFailsEachSongUnderItsOwnName)
{
    test::MemoryFileSystem fs;
    for (const char* name : {"a.sm", "b.sm"}) fs.addFile(name, test::fiveCharts());
    test::FileOpsProbe ops(
        [](const test::FileOpsProbe::Call& call) {
            return call.is("syncFileSystem") ? std::make_error_code(std::errc::io_error) : std::error_code();
        },
        fs);
    std::vector<SongReport> reports;
    LibraryRun(ops, {}, [&](const SongReport& r) { reports.push_back(r); }).run(findSongs(ops, {"."}, {}));
    ASSERT_EQ(reports.size(), 2u);
    for (const SongReport& r : reports) {
        EXPECT_EQ(r.result, SongResult::failed);
        EXPECT_EQ(r.message, r.chart + ": cannot sync its file system: " + std::make_error_code(std::errc::io_error).message());
    }
    EXPECT_EQ(fs.contents("a.sm"), test::fiveCharts());
    EXPECT_EQ(fs.names(), (std::vector<std::string>{"a.sm", "b.sm"}));
}

}  // namespace
}  // namespace chartseal
