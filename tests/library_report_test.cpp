// chartseal-library's report: refused up front wherever it could hit a
// song or a folder, never left behind half written, its failures told on
// one line with a true summary, and its chart names given back exactly.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>

#include "LibraryReportSupport.h"
#include "TestSupport.h"
#include "console/ExitStatus.h"

namespace chartseal {
namespace {

using test::LibraryReportTest;
namespace fs = std::filesystem;

const std::string kSealedSummary = "3 songs in 3 folders: 2 sealed, 1 already-sealed, 0 refused, 0 failed, 0 unreadable\n";

// The songs of makeLibrary, as the report names them, under root.
std::multiset<std::string> chartsUnder(const std::string& root)
{
    return {root + "/album one/glass harbour.sm", root + "/album two/edit last.sm", root + "/album two/lantern.sm"};
}

struct Refusal {
    const char* name;
    std::string report;                // below the test's folder
    std::vector<std::string> folders;  // below the test's folder
    std::string reason;                // after "<report>: "; {dir} stands for the test's folder
    std::string mode = {};             // "--check", "--dry-run" or none
    std::function<void(const std::string& dir)> prepare = {};
    friend void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }
};

class ReportRefused : public LibraryReportTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ReportRefused, BeforeAnySongWithOneLineAndEverythingLeftAsItWas)
{
    const Refusal& c = GetParam();
    makeLibrary();
    if (c.prepare) c.prepare(dir());
    const auto before = test::wholeTree(dir());
    std::vector<std::string> args;
    if (!c.mode.empty()) args.push_back(c.mode);
    args.insert(args.end(), {"--report", at(c.report)});
    for (const std::string& folder : c.folders) args.push_back(at(folder));

    const Ran ran = run(args);
    std::string reason = c.reason;
    if (const auto at = reason.find("{dir}"); at != std::string::npos) reason.replace(at, 5, dir());
    EXPECT_EQ(ran.status, kExitOutputFailed);
    EXPECT_EQ(ran.err, "chartseal-library: " + at(c.report) + ": " + reason + "\n");
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(test::wholeTree(dir()), before);
}

const std::string kInsideSongs = "is inside {dir}/songs, a folder the run works on; give the report a name outside the folders";

INSTANTIATE_TEST_SUITE_P(
    Targets, ReportRefused,
    ::testing::Values(
        Refusal{"AChart", "songs/album one/glass harbour.sm", {"songs"}, kInsideSongs},
        Refusal{"ASealedFile", "songs/album two/lantern_3.dat", {"songs"}, kInsideSongs},
        Refusal{"ASealedNameNotYetThere", "songs/album one/glass harbour_3.dat", {"songs"}, kInsideSongs},
        Refusal{"ANewNameInASongFolder", "songs/album one/report.jsonl", {"songs"}, kInsideSongs},
        Refusal{"ANewNameInTheTopFolder", "songs/report.jsonl", {"songs"}, kInsideSongs, "--check"},
        Refusal{"ANameThroughDotDot", "elsewhere/../songs/album two/report.jsonl", {"songs"}, kInsideSongs,
                "--dry-run"},
        Refusal{"TheSecondFolder",
                "elsewhere/report.jsonl",
                {"songs", "elsewhere"},
                "is inside {dir}/elsewhere, a folder the run works on; give the report a name outside the folders"},
        Refusal{"TheFolderBeingSealed", "songs", {"songs"}, "is a directory; give the report a file name"},
        Refusal{"AFolderOutside", "elsewhere", {"songs"}, "is a directory; give the report a file name"},
        Refusal{"AFolderOutsideWithASeparatorAtTheEnd", "elsewhere/", {"songs"},
                "is a directory; give the report a file name"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LibraryReportTest, ATemporaryNameThatIsAFolderIsRefusedBeforeAnySong)
{
    makeLibrary();
    fs::create_directory(test::pathOf(at("elsewhere/.report.jsonl.partial")));
    const auto before = test::wholeTree(dir());
    const Ran ran = run({"--report", at("elsewhere/report.jsonl"), root()});
    EXPECT_EQ(ran.status, kExitOutputFailed);
    EXPECT_EQ(ran.err, "chartseal-library: " + at("elsewhere/.report.jsonl.partial") +
                           ": is a directory, not a report a stopped run left; move it away to write the report\n");
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(test::wholeTree(dir()), before);
}

TEST_F(LibraryReportTest, AStoppedRunsTemporaryFileIsReplacedAndTheReportPutInPlace)
{
    makeLibrary();
    test::writeFile(at("elsewhere/.report.jsonl.partial"), "{\"chart\":\"half a report of a stopped run\"");
    const Ran ran = run({"--report", at("elsewhere/report.jsonl"), root()});
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    EXPECT_EQ(ran.out, kSealedSummary);
    const std::vector<std::string> charts = test::reportedCharts(test::readFile(at("elsewhere/report.jsonl")).value_or(""));
    EXPECT_EQ(std::multiset<std::string>(charts.begin(), charts.end()), chartsUnder(root()));
    EXPECT_EQ(test::partialsUnder(dir()), std::vector<std::string>{});
}

struct Fault {
    const char* name;
    std::string operation;  // the probe's words for it
    std::errc error;
    std::string line;       // {report}, {partial} and {why} stand for the names and the system's message
    bool beforeSongs = false;
    int nth = 1;            // the operation's how-manieth call fails
    friend void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }
};

class ReportFault : public LibraryReportTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(ReportFault, LeavesNoTemporaryFileAndSaysSoOnOneLineWithATrueSummary)
{
    const Fault& f = GetParam();
    makeLibrary();
    const auto before = test::wholeTree(root());
    auto seen = std::make_shared<int>(0);
    test::FileOpsProbe ops([&f, seen](const test::FileOpsProbe::Call& call) {
        if (call.what == f.operation && ++*seen == f.nth) return std::make_error_code(f.error);
        return std::error_code();
    });
    const std::string report = at("elsewhere/report.jsonl");
    const Ran ran = run({"--report", report, root()}, ops);

    std::string line = f.line;
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"{report}", report},
             {"{partial}", at("elsewhere/.report.jsonl.partial")},
             {"{why}", std::make_error_code(f.error).message()}}) {
        if (const auto at = line.find(key); at != std::string::npos) line.replace(at, key.size(), value);
    }
    ASSERT_EQ(*seen, f.nth) << "the operation never came";
    EXPECT_EQ(ran.status, kExitOutputFailed);
    EXPECT_EQ(ran.err, "chartseal-library: " + line + "\n");
    EXPECT_FALSE(test::exists(report));
    EXPECT_EQ(test::partialsUnder(dir()), std::vector<std::string>{});
    if (f.beforeSongs) {
        EXPECT_EQ(ran.out, "");
        EXPECT_EQ(test::wholeTree(root()), before);
    } else {
        // Every song was sealed, and the summary says so.
        EXPECT_EQ(ran.out, kSealedSummary);
        EXPECT_EQ(test::readFile(at("songs/album one/glass harbour.sm")), test::fiveChartsPlain());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Injected, ReportFault,
    ::testing::Values(
        Fault{"TheTemporaryFileCannotBeCreated", "createInFolder .report.jsonl.partial", std::errc::permission_denied,
              "{partial}: cannot create: {why}", true},
        Fault{"TheFirstLineFindsTheDiskFull", "write .report.jsonl.partial", std::errc::no_space_on_device,
              "{report}: cannot write: {why}"},
        Fault{"TheLastLineFindsTheDiskFull", "write .report.jsonl.partial", std::errc::no_space_on_device,
              "{report}: cannot write: {why}", false, 3},
        Fault{"TheSyncFails", "sync .report.jsonl.partial", std::errc::io_error, "{report}: cannot sync: {why}"},
        Fault{"TheCloseFails", "close .report.jsonl.partial", std::errc::io_error, "{report}: cannot close: {why}"},
        Fault{"TheRenameFails", "renameInFolder .report.jsonl.partial", std::errc::permission_denied,
              "{report}: cannot replace: {why}"}),
    [](const auto& info) { return std::string(info.param.name); });

// Standard output that takes nothing.
class RefusingOutput final : public std::streambuf {
protected:
    int_type overflow(int_type) override { return traits_type::eof(); }
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST_F(LibraryReportTest, AStandardOutputThatFailsIsOneLineAndStatusOne)
{
    for (const bool reportToOut : {false, true}) {
        SCOPED_TRACE(reportToOut ? "the report on standard output" : "the summary on standard output");
        fs::remove_all(test::pathOf(root()));
        makeLibrary();
        RefusingOutput broken;
        std::ostream out(&broken);
        std::ostringstream err;
        LibraryCommand command(out, err, false);
        std::vector<std::string> args{root()};
        if (reportToOut) args.insert(args.begin(), {"--report", "-"});
        EXPECT_EQ(command.run(args), kExitOutputFailed);
        // With "-" the summary is on standard error, after the line.
        EXPECT_EQ(err.str(), "chartseal-library: standard output: cannot write\n" +
                                 (reportToOut ? kSealedSummary : std::string()));
        EXPECT_EQ(test::readFile(at("songs/album one/glass harbour.sm")), test::fiveChartsPlain());
    }
}

TEST_F(LibraryReportTest, ADashIsStandardOutputAndTheSummaryGoesToStandardError)
{
    makeLibrary();
    const test::ProcessResult ran = test::runProgram(CHARTSEAL_LIBRARY_BIN, dir(), "", {"--report", "-", "songs"});
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    EXPECT_EQ(ran.err, kSealedSummary);
    const std::vector<std::string> charts = test::reportedCharts(ran.out);
    EXPECT_EQ(std::multiset<std::string>(charts.begin(), charts.end()), chartsUnder("songs"));
    EXPECT_FALSE(test::exists(at("-")));
    EXPECT_EQ(test::partialsUnder(dir()), std::vector<std::string>{});
}

TEST_F(LibraryReportTest, ChartNamesInUnicodeComeBackExactly)
{
    const std::vector<std::string> names{"\xc3\xbcn\xc3\xaf" "c\xc3\xb6" "d\xc3\xa9 \xe2\x9c\x93 \xf0\x9d\x84\x9e",
                                         "semi;colon & [brackets] {braces}", "caf\xc3\xa9 'quoted'"};
    std::multiset<std::string> expected;
    fs::create_directories(test::pathOf(root()));
    for (const std::string& name : names) {
        test::writeFile(root() + "/" + name + ".sm", test::fiveCharts());
        expected.insert(root() + "/" + name + ".sm");
    }
    const Ran ran = run({"--dry-run", "--report", at("report.jsonl"), root()});
    EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
    const std::vector<std::string> charts = test::reportedCharts(test::readFile(at("report.jsonl")).value_or(""));
    EXPECT_EQ(std::multiset<std::string>(charts.begin(), charts.end()), expected);
}

}  // namespace
}  // namespace chartseal
