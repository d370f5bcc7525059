// chartseal-library: each song ends exactly as one chartseal run would leave
// it, reruns change nothing, previews and checks change nothing, a stop or a
// power cut leaves every chart whole, and the report and summary say what
// happened.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "MemoryFileSystem.h"
#include "TestSupport.h"
#include "app/ExitStatus.h"
#include "app/LibraryCommand.h"
#include "app/LibraryRun.h"
#include "app/RunDriver.h"

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
    Ran run(const std::vector<std::string>& args, FileOps& ops = systemFileOps(), bool progress = false)
    {
        std::ostringstream out, err;
        LibraryCommand command(out, err, progress, 1024, ops);
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
    EXPECT_EQ(readFile(report),
              "{\"chart\":\"" + json + "/album one/disc 2/only easy.sm\",\"result\":\"sealed\",\"ordinals\":\"100000\","
              "\"plain\":[\"Easy\"],\"sealed\":[],\"bytes\":" + std::to_string(test::songHeader().size() + chartBlock("Easy").size()) +
              ",\"message\":\"\"}\n"
              "{\"chart\":\"" + json + "/album one/glass harbour.sm\",\"result\":\"sealed\",\"ordinals\":\"234510\","
              "\"plain\":[\"Easy\",\"Medium\"],\"sealed\":[\"Hard\",\"Challenge\",\"Beginner\"],\"bytes\":" +
              std::to_string(test::fiveCharts().size()) + ",\"message\":\"\"}\n"
              "{\"chart\":\"" + json + "/album two/edit last.sm\",\"result\":\"sealed\",\"ordinals\":\"203001\","
              "\"plain\":[\"Easy\",\"Hard\"],\"sealed\":[\"Edit\"],\"bytes\":" +
              std::to_string(test::songHeader().size() + 3 * chartBlock("Easy").size()) + ",\"message\":\"\"}\n");

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
                  "\"result\":\"would-seal\",\"ordinals\":\"234510\",\"plain\":[\"Easy\",\"Medium\"],"
                  "\"sealed\":[\"Hard\",\"Challenge\",\"Beginner\"]"),
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
    EXPECT_EQ(check.out, "4 songs in 4 folders: 1 prepared, 2 not-prepared, 1 damaged, 0 refused, 0 failed, 0 unreadable\n");
    EXPECT_EQ(check.err, "chartseal-library: " + cut + ": is cut short\n"
                         "chartseal-library: " + root + "/album two/edit last_1.dat: a run did not finish; run chartseal again\n"
                         "chartseal-library: " + root + "/album two/new song.sm: not sealed\n");
}

struct Usage {
    std::vector<std::string> args;
    std::string why;
    friend void PrintTo(const Usage& u, std::ostream* os) { *os << u.why; }
};

class LibraryUsage : public Library, public ::testing::WithParamInterface<Usage> {};

TEST_P(LibraryUsage, IsStatusTwoWithTheReasonAndTheUsage)
{
    Ran ran = run(GetParam().args);
    EXPECT_EQ(ran.status, kExitUsage);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err.rfind("chartseal-library: " + GetParam().why + "\nusage: chartseal-library", 0), 0u) << ran.err;
}

INSTANTIATE_TEST_SUITE_P(Errors, LibraryUsage,
                         ::testing::Values(Usage{{}, "no folder given"},
                                           Usage{{"--jobs", "0", "songs"}, "--jobs takes a number from 1 to 256"},
                                           Usage{{"--jobs"}, "--jobs needs a value"},
                                           Usage{{"--check", "--jobs", "2", "songs"}, "--jobs goes with sealing only"},
                                           Usage{{"--check", "--dry-run", "songs"}, "--dry-run and --check go alone"},
                                           Usage{{"--force", "songs"}, "unknown option --force"}));

TEST_F(Library, AMissingFolderIsUnreadable)
{
    Ran ran = run({at("nowhere")});
    EXPECT_EQ(ran.status, kExitOutputFailed);
    EXPECT_EQ(ran.out, "0 songs in 0 folders: 0 sealed, 0 already-sealed, 0 refused, 0 failed, 0 unreadable; 1 folder unreadable\n");
    EXPECT_EQ(ran.err.rfind("chartseal-library: " + at("nowhere") + ": cannot read folder: ", 0), 0u) << ran.err;
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

}  // namespace
}  // namespace chartseal
