// chartseal-library --into: every output holds exactly what a run in place
// leaves on a copy of the song, the sources are only read, outputs already
// right are left alone, stale outputs are listed and removed only when asked,
// OUT never holds or is a folder of songs, and a failed operation or a power
// cut leaves each output name with its old bytes or its new ones, whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "LibraryIntoSupport.h"
#include "MemoryFileSystem.h"
#include "TwoFileSystems.h"
#include "console/ExitStatus.h"
#include "run/LibraryRun.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::readFile;
namespace fs = std::filesystem;
using test::IntoTest;
using test::files;
using test::json;
using test::outputsOf;

// Every entry under a folder with its modification time: what it is, its
// bytes, and when it was last written (a folder too: a name made in it shows).
std::map<std::string, std::string> stamped(const std::string& root)
{
    std::map<std::string, std::string> entries;
    if (!test::exists(root)) return entries;
    entries["."] = std::to_string(fs::last_write_time(test::pathOf(root)).time_since_epoch().count());
    for (const auto& [name, what] : test::wholeTree(root)) {
        std::error_code ec;
        const auto time = fs::last_write_time(test::pathOf(root) / test::pathOf(name), ec);
        entries[name] = what + " @" + std::to_string(ec ? 0 : time.time_since_epoch().count());
    }
    return entries;
}

struct Shape {
    const char* name;
    std::string chart;
    friend void PrintTo(const Shape& s, std::ostream* os) { *os << s.name; }
};

class IntoShapes : public test::IntoTest, public ::testing::WithParamInterface<Shape> {};

// The chart at the top, two folders down, and one given by its path; the
// outputs against those of in-place runs on copies, twice.
TEST_P(IntoShapes, OutputsAreWhatARunInPlaceLeavesAndASecondRunWritesNothing)
{
    const std::string& chart = GetParam().chart;
    fs::create_directories(test::pathOf(src() + "/album one/disc 2"));
    fs::create_directories(test::pathOf(at("elsewhere")));
    test::writeFile(src() + "/top.sm", chart);
    test::writeFile(src() + "/album one/disc 2/deep song.sm", chart);
    test::writeFile(src() + "/album one/cover.png", "not a chart");
    test::writeFile(at("elsewhere/solo.sm"), chart);
    const auto sources = stamped(src());
    const auto elsewhere = stamped(at("elsewhere"));
    auto songs = chartsUnder(src());
    songs.push_back({at("elsewhere/solo.sm"), "solo.sm"});
    const auto expected = sealedInPlace(songs);
    ASSERT_EQ(expected.size(), 3u * 6u);

    const Ran first = run({"--report", at("first.jsonl"), "--into", out(), src(), at("elsewhere/solo.sm")});
    EXPECT_EQ(first.status, kExitSuccess) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_NE(first.out.find(": 3 sealed, 0 up-to-date, 0 refused, 0 failed, 0 unreadable"), std::string::npos) << first.out;
    EXPECT_EQ(files(out()), expected);
    EXPECT_EQ(stamped(src()), sources);
    EXPECT_EQ(stamped(at("elsewhere")), elsewhere);
    for (const auto& [chartPath, place] : songs) {
        const std::string line = reportLine(at("first.jsonl"), chartPath);
        const std::string stem = place.substr(0, place.size() - 3);
        EXPECT_NE(line.find("\"output\":" + json(out() + "/" + place) + ","), std::string::npos) << line;
        EXPECT_EQ(changedIn(line), shownList(outputsOf(stem))) << line;
        EXPECT_NE(line.find("\"result\":\"sealed\""), std::string::npos) << line;
    }

    const auto written = stamped(out());
    const Ran second = run({"--report", at("second.jsonl"), "--into", out(), src(), at("elsewhere/solo.sm")});
    EXPECT_EQ(second.status, kExitSuccess) << second.err;
    EXPECT_NE(second.out.find(": 0 sealed, 3 up-to-date, 0 refused, 0 failed, 0 unreadable"), std::string::npos)
        << second.out;
    EXPECT_EQ(stamped(out()), written);
    EXPECT_EQ(stamped(src()), sources);
    for (const auto& [chartPath, place] : songs) {
        const std::string line = reportLine(at("second.jsonl"), chartPath);
        EXPECT_EQ(changedIn(line), "[]") << line;
        EXPECT_NE(line.find("\"result\":\"up-to-date\""), std::string::npos) << line;
    }
}

const std::string kHeader = test::songHeader();
std::string single(const char* d) { return chartBlock(d, "dance-single"); }
std::string twin(const char* d) { return chartBlock(d, "dance-double"); }
std::string withoutSeparators(const std::string& text)
{
    std::string kept;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("//---------------")) kept += line + "\n";
    }
    return kept;
}

INSTANTIATE_TEST_SUITE_P(
    Charts, IntoShapes,
    ::testing::Values(
        Shape{"FiveChartsOneStyle", test::fiveCharts()},
        Shape{"OnlyEasyNothingToSeal", kHeader + single("Easy")},
        Shape{"TwoStylesInterleaved",
              kHeader + single("Beginner") + single("Easy") + twin("Easy") + single("Medium") + twin("Hard")},
        Shape{"NoSeparatorLines", withoutSeparators(kHeader + single("Easy") + single("Medium") + single("Hard"))},
        Shape{"CarriageReturnsAndLineFeeds", test::songHeader("\r\n") + chartBlock("Beginner", "dance-single", "\r\n") +
                                                 chartBlock("Easy", "dance-single", "\r\n") +
                                                 chartBlock("Edit", "dance-double", "\r\n")},
        Shape{"EditFirstWithBlankLines", kHeader + "\n" + single("Edit") + "\n\n" + single("Easy") + "\n" + single("Hard")}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

// A change between two runs, to the sources or to OUT; the run after it
// writes the outputs that differ from what in-place runs leave, and only
// those, whatever their time stamps say.
struct Change {
    const char* name;
    std::function<void(const std::string& src, const std::string& out)> make;
    friend void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }
};

class IntoAgain : public test::IntoTest, public ::testing::WithParamInterface<Change> {};

TEST_P(IntoAgain, RewritesExactlyTheOutputsThatDiffer)
{
    fs::create_directories(test::pathOf(src() + "/album"));
    test::writeFile(src() + "/album/a.sm", test::fiveCharts());
    test::writeFile(src() + "/b.sm", kHeader + single("Easy") + single("Hard") + single("Edit"));
    ASSERT_EQ(run({"--into", out(), src()}).status, kExitSuccess);
    // Every output a month old; a file the run writes is newer than that.
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 30);
    const auto age = [&] {
        for (const auto& [name, bytes] : files(out())) fs::last_write_time(test::pathOf(out() + "/" + name), old);
    };
    age();
    GetParam().make(src(), out());
    age();
    const auto before = files(out());
    const auto sources = stamped(src());
    const auto expected = sealedInPlace(chartsUnder(src()));
    std::set<std::string> differ;
    for (const auto& [name, bytes] : expected) {
        if (!before.count(name) || before.at(name) != bytes) differ.insert(name);
    }
    const auto times = [&] {
        std::map<std::string, fs::file_time_type> all;
        for (const auto& [name, bytes] : files(out())) all[name] = fs::last_write_time(test::pathOf(out() + "/" + name));
        return all;
    };
    const auto timesBefore = times();

    const Ran again = run({"--report", at("again.jsonl"), "--into", out(), src()});
    EXPECT_EQ(again.status, kExitSuccess) << again.err;
    EXPECT_EQ(files(out()), expected);
    EXPECT_EQ(stamped(src()), sources);
    const auto timesAfter = times();
    for (const auto& [name, bytes] : expected) {
        if (differ.count(name)) continue;
        EXPECT_EQ(timesAfter.at(name), timesBefore.at(name)) << name << " was written again";
    }
    int songsChanged = 0;
    const auto songs = chartsUnder(src());
    for (const auto& [chartPath, place] : songs) {
        const std::string stem = place.substr(0, place.size() - 3);
        std::vector<std::string> changed;
        for (const std::string& name : outputsOf(stem)) {
            if (differ.count(name)) changed.push_back(name);
        }
        songsChanged += !changed.empty();
        EXPECT_EQ(changedIn(reportLine(at("again.jsonl"), chartPath)), shownList(changed));
    }
    EXPECT_TRUE(again.out.ends_with(": " + std::to_string(songsChanged) + " sealed, " +
                                    std::to_string(songs.size() - songsChanged) +
                                    " up-to-date, 0 refused, 0 failed, 0 unreadable\n"))
        << again.out;
}

INSTANTIATE_TEST_SUITE_P(
    Changes, IntoAgain,
    ::testing::Values(
        Change{"Nothing", [](const std::string&, const std::string&) {}},
        Change{"OneChartOfASongEdited",
               [](const std::string& src, const std::string&) {
                   std::string chart = test::fiveCharts();
                   chart.replace(chart.find("0110", chart.find("- Hard")), 4, "0220");
                   test::writeFile(src + "/album/a.sm", chart);
               }},
        Change{"TheHeaderEdited",
               [](const std::string& src, const std::string&) {
                   std::string chart = test::fiveCharts();
                   chart.replace(chart.find("Glass Harbour"), 13, "Glass Harbor");
                   test::writeFile(src + "/album/a.sm", chart);
               }},
        Change{"EditedThenPutBack",
               [](const std::string& src, const std::string&) {
                   test::writeFile(src + "/album/a.sm", kHeader + single("Easy"));
                   test::writeFile(src + "/album/a.sm", test::fiveCharts());
               }},
        Change{"AnOutputCutShort",
               [](const std::string&, const std::string& out) {
                   const std::string name = out + "/album/a_4.dat";
                   test::writeFile(name, readFile(name)->substr(0, 50));
               }},
        Change{"OneByteOfAnOutputFlipped",
               [](const std::string&, const std::string& out) {
                   std::string bytes = *readFile(out + "/album/a_3.dat");
                   bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
                   test::writeFile(out + "/album/a_3.dat", bytes);
               }},
        Change{"AnOutputReplacedByAnotherFileOfItsSize",
               [](const std::string&, const std::string& out) {
                   const std::string name = out + "/b.sm";
                   const std::size_t size = readFile(name)->size();
                   fs::remove(test::pathOf(name));
                   test::writeFile(name, std::string(size, 'x'));
               }},
        Change{"AnEmptyOutputGivenBytes",
               [](const std::string&, const std::string& out) { test::writeFile(out + "/album/a_2.dat", "\n"); }},
        Change{"AnOutputRemoved",
               [](const std::string&, const std::string& out) { fs::remove(test::pathOf(out + "/b_6.dat")); }},
        Change{"ANewSong",
               [](const std::string& src, const std::string&) {
                   test::writeFile(src + "/album/c.sm", kHeader + single("Medium") + single("Easy"));
               }}),
    [](const ::testing::TestParamInfo<Change>& info) { return std::string(info.param.name); });

// The files of a song runs sealed into OUT, once the song is gone (a new
// file a stopped run left on it among them): listed and left alone, removed
// with --delete (a dry run only lists them); what else OUT holds is never
// touched: files no run wrote, a chart among them.
TEST_F(IntoTest, StaleOutputsAreListedAndRemovedOnlyWhenAsked)
{
    fs::create_directories(test::pathOf(src() + "/album"));
    test::writeFile(src() + "/album/a.sm", test::fiveCharts());
    test::writeFile(src() + "/album/gone.sm", test::fiveCharts());
    test::writeFile(src() + "/top.sm", kHeader + single("Easy"));
    ASSERT_EQ(run({"--into", out(), src()}).status, kExitSuccess);
    fs::remove(test::pathOf(src() + "/album/gone.sm"));
    fs::create_directories(test::pathOf(out() + "/art"));
    const std::map<std::string, std::string> others{
        {"album/music.ogg", "music"}, {"album/notes_2.dat", "notes without a chart"}, {"art/cover.png", "cover"}};
    for (const auto& [name, bytes] : others) test::writeFile(out() + "/" + name, bytes);
    test::writeFile(out() + "/album/.gone_3.dat.partial", "a stopped run's");
    test::writeFile(out() + "/album/foreign.sm", kHeader + single("Easy"));
    const auto expected = sealedInPlace(chartsUnder(src()));
    std::string goneFiles;
    for (const char* name : {"gone_2.dat", "gone_3.dat", ".gone_3.dat.partial", "gone_4.dat", "gone_5.dat",
                             "gone_6.dat", "gone.sm"}) {
        goneFiles += (goneFiles.empty() ? "" : ",") + json(out() + "/album/" + name);
    }
    const std::string gone = "{\"output\":" + json(out() + "/album/gone.sm") + ",\"result\":\"%\",\"files\":[" +
                             goneFiles + "],\"message\":\"\"}";
    const auto said = [](std::string line, const char* result) { return line.replace(line.find('%'), 1, result); };

    for (const auto& [listing, result] : {std::pair<std::vector<std::string>, const char*>{{}, "stale"},
                                          {{"--delete", "--dry-run"}, "would-remove"}}) {
        const auto before = stamped(out());
        std::vector<std::string> args{"--report", at("stale.jsonl"), "--into", out(), src()};
        args.insert(args.begin(), listing.begin(), listing.end());
        const Ran listed = run(args);
        EXPECT_EQ(listed.status, kExitSuccess) << listed.err;
        EXPECT_NE(listed.out.find(" unreadable; 1 stale"), std::string::npos) << listed.out;
        EXPECT_NE(listed.err.find(out() + "/album/gone.sm: its song is gone"), std::string::npos) << listed.err;
        const std::string report = readFile(at("stale.jsonl")).value_or("");
        EXPECT_NE(report.find(said(gone, result) + "\n"), std::string::npos) << report;
        EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 3) << report;  // two songs and the one gone
        EXPECT_EQ(stamped(out()), before);
    }

    const Ran removed = run({"--delete", "--report", at("removed.jsonl"), "--into", out(), src()});
    EXPECT_EQ(removed.status, kExitSuccess) << removed.err;
    EXPECT_TRUE(removed.out.ends_with(" unreadable; 1 stale removed\n")) << removed.out;
    const std::string report = readFile(at("removed.jsonl")).value_or("");
    EXPECT_NE(report.find(said(gone, "removed") + "\n"), std::string::npos) << report;
    auto left = expected;
    left.insert(others.begin(), others.end());
    left["album/foreign.sm"] = kHeader + single("Easy");
    EXPECT_EQ(files(out()), left);

    const Ran clean = run({"--delete", "--into", out(), src()});
    EXPECT_EQ(clean.status, kExitSuccess) << clean.err;
    EXPECT_TRUE(clean.out.ends_with(" 0 unreadable\n")) << clean.out;
    EXPECT_EQ(files(out()), left);
}

// Where OUT and the folders given would overlap, or two songs would share
// one place, nothing is written: refused with a line, status 1.
struct Overlap {
    const char* name;
    std::vector<std::string> args;  // below the test's folder, the first being OUT
    std::vector<std::string> says;  // each in the error lines, {dir} for the test's folder
    friend void PrintTo(const Overlap& o, std::ostream* os) { *os << o.name; }
};

class IntoOverlap : public test::IntoTest, public ::testing::WithParamInterface<Overlap> {};

TEST_P(IntoOverlap, IsRefusedAndNothingChanges)
{
    for (const char* folder : {"src/album", "other", "holder/songs"}) fs::create_directories(test::pathOf(at(folder)));
    test::writeFile(at("src/album/a.sm"), test::fiveCharts());
    test::writeFile(at("src/b.sm"), test::fiveCharts());
    test::writeFile(at("other/a.sm"), kHeader + single("Hard"));
    test::writeFile(at("holder/songs/c.sm"), test::fiveCharts());
    // A song sealed in place: its chart keeps only its plain part.
    fs::create_directories(test::pathOf(at("sealed")));
    test::writeFile(at("sealed/s.sm"), test::fiveCharts());
    ASSERT_EQ(run({at("sealed")}).status, kExitSuccess);
    const auto everyFolder = [&] {
        std::map<std::string, std::map<std::string, std::string>> all;
        for (const char* folder : {"src", "other", "holder", "sealed"}) all[folder] = stamped(at(folder));
        return all;
    };
    const auto before = everyFolder();

    std::vector<std::string> args{"--into"};
    for (const std::string& arg : GetParam().args) args.push_back(at(arg));
    const Ran ran = run(args);
    EXPECT_EQ(ran.status, kExitOutputFailed) << ran.err;
    for (std::string says : GetParam().says) {
        for (std::size_t from; (from = says.find("{dir}")) != std::string::npos;) says.replace(from, 5, dir());
        EXPECT_NE(ran.err.find(says), std::string::npos) << ran.err;
    }
    EXPECT_EQ(everyFolder(), before);
    EXPECT_TRUE(files(out()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Folders, IntoOverlap,
    ::testing::Values(
        Overlap{"OutIsTheSourceFolder", {"src", "src"}, {"{dir}/src: is {dir}/src, a folder the songs are read from"}},
        Overlap{"OutIsTheSourceFolderByAnotherName", {"src/album/..", "src"}, {"a folder the songs are read from"}},
        Overlap{"OutIsTheFolderOfANamedChart", {"src/album", "src/album/a.sm"}, {"a folder the songs are read from"}},
        Overlap{"OutInsideTheSourceFolder", {"src/build", "src"},
                {"{dir}/src/build: lies inside {dir}/src, a folder the songs are read from"}},
        Overlap{"OutHoldsASourceFolder", {"holder", "holder/songs"},
                {"{dir}/holder/songs: lies inside {dir}/holder, the folder the songs are sealed into"}},
        Overlap{"SourceFoldersInsideEachOther", {"out", "src", "src/album"},
                {"{dir}/src/album: lies inside {dir}/src, also given"}},
        Overlap{"TwoSongsWithOnePlace", {"out", "src/album", "other"},
                {"{dir}/other/a.sm: would be sealed to the same place as {dir}/src/album/a.sm",
                 "{dir}/src/album/a.sm: would be sealed to the same place as {dir}/other/a.sm"}},
        Overlap{"ASongSealedInPlace", {"out", "sealed"}, {"{dir}/sealed/s.sm: is sealed already"}}),
    [](const ::testing::TestParamInfo<Overlap>& info) { return std::string(info.param.name); });

// A dry run makes nothing (not even OUT) and says, song by song, what a run
// would write: everything where OUT is missing, the outputs that differ
// after an edit, nothing where they are right.
TEST_F(IntoTest, ADryRunChangesNothingAndSaysWhatARunWouldWrite)
{
    fs::create_directories(test::pathOf(src() + "/album"));
    test::writeFile(src() + "/album/a.sm", test::fiveCharts());
    test::writeFile(src() + "/b.sm", kHeader + single("Easy") + single("Hard"));
    const std::string tree = at("not yet/out");
    const auto preview = [&](int wouldSeal) {
        const auto sources = stamped(src());
        const auto outputs = stamped(at("not yet"));
        const Ran ran = run({"--dry-run", "--report", at("preview.jsonl"), "--into", tree, src()});
        EXPECT_EQ(ran.status, kExitSuccess) << ran.err;
        EXPECT_TRUE(ran.out.ends_with(": " + std::to_string(wouldSeal) + " would-seal, " + std::to_string(2 - wouldSeal) +
                                      " up-to-date, 0 refused, 0 failed, 0 unreadable\n"))
            << ran.out;
        EXPECT_EQ(stamped(src()), sources);
        EXPECT_EQ(stamped(at("not yet")), outputs);
    };
    const auto changed = [&](const std::string& chart) { return changedIn(reportLine(at("preview.jsonl"), chart)); };

    preview(2);
    EXPECT_FALSE(test::exists(at("not yet")));
    EXPECT_EQ(changed(src() + "/album/a.sm"), shownList(outputsOf("album/a"), tree));
    EXPECT_EQ(changed(src() + "/b.sm"), shownList(outputsOf("b"), tree));

    ASSERT_EQ(run({"--into", tree, src()}).status, kExitSuccess);
    preview(0);
    EXPECT_EQ(changed(src() + "/album/a.sm"), "[]");

    // Hard goes to a sealed file of its own: that file alone would change.
    std::string edited = test::fiveCharts();
    edited.replace(edited.find("0110", edited.find("- Hard")), 4, "0330");
    test::writeFile(src() + "/album/a.sm", edited);
    const auto now = files(tree);
    std::vector<std::string> differ;
    for (const auto& [name, bytes] : sealedInPlace(chartsUnder(src()))) {
        if (now.at(name) != bytes) differ.push_back(name);
    }
    ASSERT_FALSE(differ.empty());
    preview(1);
    EXPECT_EQ(changed(src() + "/album/a.sm"), shownList(differ, tree));
    EXPECT_EQ(changed(src() + "/b.sm"), "[]");
}

// Each file operation of a run into OUT failed in turn, on a library with a
// song some of whose outputs are old, a new one in a folder OUT lacks, and a
// song gone; then, with --delete, each operation from the first where that
// run goes another way (without it, no stale new file is removed by the
// listing). The sources never change, each output name holds its old bytes
// or its new ones (a new one may be missing, a stale one removed), a
// success is never claimed for less than the whole result, a new file is
// left only where its own removal failed, and a run afterwards ends with
// the whole result.
TEST_F(IntoTest, AFailedOperationLeavesEachOutputOldOrNewAndARerunFinishes)
{
    std::string oldA = test::fiveCharts();
    oldA.replace(oldA.find("Glass Harbour"), 13, "Glass Harbor");
    oldA.replace(oldA.find("0110", oldA.find("- Hard")), 4, "0220");
    const std::map<std::string, std::string> charts{
        {"album/a.sm", test::fiveCharts()},
        {"new album/b.sm", kHeader + single("Beginner") + single("Easy") + single("Challenge")},
    };
    const std::map<std::string, std::string> oldCharts{{"album/a.sm", oldA}, {"gone.sm", test::fiveCharts()}};
    const auto lay = [&](const std::string& root, const std::map<std::string, std::string>& contents) {
        for (const auto& [name, bytes] : contents) {
            fs::create_directories(test::pathOf(root + "/" + name).parent_path());
            test::writeFile(root + "/" + name, bytes);
        }
    };
    lay(at("old"), oldCharts);
    const auto before = sealedInPlace(chartsUnder(at("old")));
    lay(src(), charts);
    const auto final = sealedInPlace(chartsUnder(src()));
    auto finalKeepingStale = final;
    for (const std::string& name : outputsOf("gone")) finalKeepingStale[name] = before.at(name);
    const auto argsFor = [&](bool remove) {
        std::vector<std::string> args{"--jobs", "1", "--into", out(), src()};
        if (remove) args.insert(args.begin(), "--delete");
        return args;
    };
    const auto start = [&] {
        fs::remove_all(test::pathOf(src()));
        fs::remove_all(test::pathOf(out()));
        lay(src(), charts);
        lay(out(), before);
        // Written there by an earlier run, which recorded its songs.
        test::writeFile(out() + "/" + test::kTreeRecord, std::string("album/a\0gone\0", 13));
    };
    std::vector<std::vector<std::string>> calls;
    for (const bool remove : {false, true}) {
        start();
        test::FileOpsProbe counted;
        ASSERT_EQ(run(argsFor(remove), counted).status, kExitSuccess);
        calls.push_back(counted.calls());
    }
    const auto apart = std::mismatch(calls[0].begin(), calls[0].end(), calls[1].begin(), calls[1].end());
    ASSERT_NE(apart.second, calls[1].end());
    const long firstApart = static_cast<long>(apart.second - calls[1].begin()) + 1;

    long injected = 0;
    for (const bool remove : {false, true}) {
        for (long k = remove ? firstApart : 1;; ++k) {
            SCOPED_TRACE(std::string(remove ? "--delete, " : "") + "failing operation " + std::to_string(k));
            start();
            const auto sources = stamped(src());
            std::string failed;
            test::FileOpsProbe ops([&](const test::FileOpsProbe::Call& call) {
                if (call.number != k) return std::error_code();
                failed = call.what;
                return std::make_error_code(k % 2 ? std::errc::io_error : std::errc::no_space_on_device);
            });
            const Ran ran = run(argsFor(remove), ops);
            if (ops.count() < k) {
                ASSERT_EQ(ran.status, kExitSuccess) << ran.err;
                break;
            }
            ++injected;
            SCOPED_TRACE("which was " + failed);
            ASSERT_EQ(stamped(src()), sources);
            const auto now = files(out());
            for (const auto& [name, bytes] : now) {
                const std::string entry = name.substr(name.rfind('/') + 1);
                if (entry.starts_with(".") && entry.ends_with(".partial")) {
                    ASSERT_TRUE(failed == "statusInFolder " + entry || failed == "removeInFolder " + entry)
                        << name << " left behind";
                    continue;
                }
                ASSERT_TRUE(final.count(name) || before.count(name)) << name;
                const bool old = before.count(name) && before.at(name) == bytes;
                const bool whole = final.count(name) && final.at(name) == bytes;
                ASSERT_TRUE(old || whole) << name << " holds neither its old bytes nor its new ones";
            }
            for (const auto& [name, bytes] : before) {
                if (final.count(name)) {
                    ASSERT_TRUE(now.count(name)) << name << " is gone";
                }
            }
            const auto& whole = remove ? final : finalKeepingStale;
            if (ran.status == kExitSuccess) {
                ASSERT_EQ(now, whole) << "a failed " << failed << " was reported as success";
            }
            if (now == whole) continue;
            const Ran again = run(argsFor(true));
            ASSERT_EQ(again.status, kExitSuccess) << again.err;
            ASSERT_EQ(files(out()), final);
        }
    }
    EXPECT_GT(injected, 200);
    RecordProperty("injected", static_cast<int>(injected));
}

// A power cut after each operation of a run into OUT, the songs read from
// one file system and sealed into another: on a block file system, where
// one sync makes everything durable, and on one that passes no sync of the
// whole system on (each file and folder synced on its own). Every state the
// disk may be left in gives each output name nothing (where it had
// nothing), its old bytes or its complete new ones, and no file more open
// than the charts; the sources are as they were, and a run from that state
// ends with exactly what in-place runs leave.
struct Cut {
    const char* name;
    test::MemoryFileSystem::Kind kind;
    bool outputsBefore;  // OUT holds the outputs of older charts and a song gone
    friend void PrintTo(const Cut& c, std::ostream* os) { *os << c.name; }
};

class IntoPowerLoss : public ::testing::TestWithParam<Cut> {};

TEST_P(IntoPowerLoss, EachOutputNameHoldsItsOldOrItsNewBytesAndARerunFinishes)
{
    using test::MemoryFileSystem;
    struct Held {
        std::string bytes;
        std::uint32_t mode;
        bool operator==(const Held&) const = default;
    };
    using Folder = std::map<std::string, Held>;
    constexpr std::uint32_t kChartMode = 0640;
    const std::map<std::string, std::string> charts{
        {"a.sm", test::fiveCharts()},
        {"b.sm", kHeader + single("Beginner") + single("Easy") + single("Challenge")},
        {"c.sm", kHeader + single("Medium") + single("Edit")},
    };
    const std::map<std::string, std::string> oldCharts{
        {"a.sm", kHeader + single("Easy") + single("Hard") + single("Challenge")},
        {"c.sm", charts.at("c.sm")},
        {"gone.sm", test::fiveCharts()},
    };
    // The tree's record of its songs aside.
    const auto held = [](const MemoryFileSystem& fs) {
        Folder all;
        for (const std::string& name : fs.names()) {
            if (name != ".chartseal-outputs") all[name] = {*fs.contents(name), *fs.mode(name)};
        }
        return all;
    };
    const auto inPlace = [&](const std::map<std::string, std::string>& songs) {
        MemoryFileSystem fs;
        for (const auto& [name, bytes] : songs) fs.addFile(name, bytes, kChartMode);
        LibraryRun(fs, {}, [](const SongReport&) {}).run(findSongs(fs, {"."}, {}));
        return held(fs);
    };
    const Folder before = GetParam().outputsBefore ? inPlace(oldCharts) : Folder{};
    const Folder final = inPlace(charts);
    ASSERT_EQ(final.size(), 3u * 6u);
    const auto sources = [&] {
        MemoryFileSystem fs;
        for (const auto& [name, bytes] : charts) fs.addFile(name, bytes, kChartMode);
        return fs;
    };
    // Outputs that earlier runs into the tree wrote, which its record holds.
    const auto tree = [&](const Folder& files) {
        MemoryFileSystem fs;
        fs.setKind(GetParam().kind, 1);
        for (const auto& [name, file] : files) fs.addFile(name, file.bytes, file.mode);
        if (!files.empty()) {
            std::string record;
            for (const auto& [name, bytes] : oldCharts) record += name.substr(0, name.size() - 3) + '\0';
            fs.addFile(".chartseal-outputs", record, 0644);
        }
        return fs;
    };
    const auto sealInto = [](FileOps& ops) {
        LibraryRun::Options options;
        options.jobs = 1;
        options.into = "two";
        std::vector<SongReport> reports;
        LibraryRun run(ops, options, [&](const SongReport& r) { reports.push_back(r); });
        run.run(findSongs(ops, {"one"}, {}));
        run.staleOutputs(true, [](const StaleOutput&) {});
        return reports;
    };

    MemoryFileSystem readWhole = sources(), writtenWhole = tree(before);
    test::TwoFileSystems whole(readWhole, writtenWhole);
    for (const SongReport& r : sealInto(whole)) ASSERT_TRUE(isSuccess(r.result)) << r.chart << ": " << r.message;
    ASSERT_EQ(held(writtenWhole), final);
    ASSERT_EQ(held(readWhole), held(sources()));

    long states = 0;
    for (long k = 1; k <= whole.operations(); ++k) {
        SCOPED_TRACE("power cut after operation " + std::to_string(k));
        MemoryFileSystem read = sources(), written = tree(before);
        test::TwoFileSystems cut(read, written);
        cut.keepStateAfter(k);
        sealInto(cut);
        cut.finish();
        ASSERT_TRUE(cut.kept().has_value());
        ASSERT_EQ(held(MemoryFileSystem(cut.kept()->first)), held(sources()));
        for (const test::DiskState& state : test::statesAfterPowerCut(cut.kept()->second)) {
            SCOPED_TRACE(state.what);
            MemoryFileSystem after(state.disk);
            after.setKind(GetParam().kind, 1);
            for (const auto& [name, file] : held(after)) {
                ASSERT_EQ(file.mode & ~kChartMode, 0u) << name << " is more open than its chart";
                if (name.starts_with(".") && name.ends_with(".partial")) continue;
                const bool old = before.count(name) && before.at(name).bytes == file.bytes;
                const bool whole = final.count(name) && final.at(name).bytes == file.bytes;
                ASSERT_TRUE(old || whole) << name << " holds neither its old bytes nor its new ones";
            }
            for (const auto& [name, file] : before) {
                if (final.count(name)) {
                    ASSERT_TRUE(after.contents(name).has_value()) << name << " is gone";
                }
            }
            MemoryFileSystem readAgain(cut.kept()->first);
            test::TwoFileSystems again(readAgain, after);
            for (const SongReport& r : sealInto(again)) ASSERT_TRUE(isSuccess(r.result)) << r.chart << ": " << r.message;
            ASSERT_EQ(held(after), final);
            ++states;
        }
    }
    std::cout << "power cuts after " << whole.operations() << " operations, " << states << " disk states checked\n";
    RecordProperty("states", static_cast<int>(states));
}

INSTANTIATE_TEST_SUITE_P(
    FileSystems, IntoPowerLoss,
    ::testing::Values(Cut{"BlockIntoNothing", test::MemoryFileSystem::Kind::block, false},
                      Cut{"BlockOverOldOutputs", test::MemoryFileSystem::Kind::block, true},
                      Cut{"EachFileSyncedOverOldOutputs", test::MemoryFileSystem::Kind::passesNoSync, true}),
    [](const ::testing::TestParamInfo<Cut>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chartseal
