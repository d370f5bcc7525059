// A power cut after every file operation of a run: each state the disk may
// be left in holds the chart whole, and a new run from it ends with exactly
// the result of a run that was never cut.
#include <gtest/gtest.h>

#include <sstream>

#include "MemoryFileSystem.h"
#include "TestSupport.h"
#include "app/ExitStatus.h"
#include "app/RunDriver.h"

namespace chartseal {
namespace {

using test::chartBlock;
using test::MemoryFileSystem;
using State = MemoryFileSystem::State;

struct DiskState {
    std::string what;
    State disk;
};

enum class Data { durable, current, cut, zeroed };

// The disk with the given entries, each file holding its durable bytes, its
// current bytes, its durable bytes plus half of what was written since, or
// its current length with zeros where the bytes were never synced (what a
// file system that allocated the blocks but lost their data shows). Only
// the current data comes with the current mode.
State disk(const State& at, const std::map<std::string, MemoryFileSystem::ino_t>& entries, Data data)
{
    State result;
    result.entries = entries;
    for (const auto& [inode, file] : at.inodes) {
        MemoryFileSystem::Inode kept = file;
        const bool grown = file.current.size() > file.durable.size() && file.current.starts_with(file.durable);
        switch (data) {
        case Data::durable: kept.current = file.durable; break;
        case Data::current: break;
        case Data::cut:
            kept.current = grown ? file.current.substr(0, (file.durable.size() + file.current.size()) / 2) : file.durable;
            break;
        case Data::zeroed:
            kept.current = grown ? file.durable + std::string(file.current.size() - file.durable.size(), '\0')
                                 : file.durable;
            break;
        }
        if (data != Data::current) kept.mode = file.durableMode;
        result.inodes[inode] = kept;
    }
    return result;
}

void apply(std::map<std::string, MemoryFileSystem::ino_t>& entries, const MemoryFileSystem::FolderChange& change)
{
    using Change = MemoryFileSystem::FolderChange;
    switch (change.kind) {
    case Change::link: entries[change.name] = change.inode; break;
    case Change::unlink: entries.erase(change.name); break;
    case Change::rename:
        entries[change.to] = change.inode;
        entries.erase(change.name);
        break;
    }
}

// What a power cut at this moment may leave on the disk.
std::vector<DiskState> statesAfterPowerCut(const State& at)
{
    std::vector<DiskState> states{
        {"everything persisted", disk(at, at.entries, Data::current)},
        {"only what was synced", disk(at, at.durableEntries, Data::durable)},
        {"folder changes persisted, unsynced data lost", disk(at, at.entries, Data::durable)},
        {"folder changes persisted, unsynced data cut", disk(at, at.entries, Data::cut)},
        {"folder changes persisted, unsynced data zero-filled", disk(at, at.entries, Data::zeroed)},
    };
    std::map<std::string, MemoryFileSystem::ino_t> entries = at.durableEntries;
    for (std::size_t done = 0;; ++done) {
        const std::string prefix = std::to_string(done) + " of " + std::to_string(at.pending.size()) +
                                   " unsynced folder changes";
        states.push_back({prefix + ", synced data", disk(at, entries, Data::durable)});
        states.push_back({prefix + ", all data", disk(at, entries, Data::current)});
        states.push_back({prefix + ", unsynced data zero-filled", disk(at, entries, Data::zeroed)});
        if (done == at.pending.size()) break;
        const MemoryFileSystem::FolderChange& next = at.pending[done];
        if (next.kind == MemoryFileSystem::FolderChange::rename) {
            // The target already names the file, and the source still does.
            std::map<std::string, MemoryFileSystem::ino_t> half = entries;
            half[next.to] = next.inode;
            states.push_back({prefix + ", then half a rename", disk(at, half, Data::durable)});
            states.push_back({prefix + ", then half a rename, all data", disk(at, half, Data::current)});
        }
        apply(entries, next);
    }
    // A file system that persists folder changes out of order: every
    // pending change but one.
    for (std::size_t lost = 0; at.pending.size() > 1 && lost < at.pending.size(); ++lost) {
        std::map<std::string, MemoryFileSystem::ino_t> others = at.durableEntries;
        for (std::size_t i = 0; i < at.pending.size(); ++i) {
            if (i != lost) apply(others, at.pending[i]);
        }
        states.push_back({"unsynced folder changes but number " + std::to_string(lost + 1) + ", synced data",
                          disk(at, others, Data::durable)});
    }
    return states;
}

struct Scenario {
    const char* name;
    std::uint32_t chartMode;
    std::vector<std::string> emptyBefore;  // empty files at output names before the run
    friend void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
};

class PowerLoss : public ::testing::TestWithParam<Scenario> {
protected:
    const std::string original = test::fiveCharts();
    const std::string final = test::fiveChartsPlain();
    const std::map<std::string, std::string> sealedFiles = [] {
        std::map<std::string, std::string> files = test::fiveChartsSealedFolder();
        files.erase("song.sm");
        return files;
    }();

    MemoryFileSystem startingFolder()
    {
        MemoryFileSystem fs;
        fs.addFile("song.sm", original, GetParam().chartMode);
        for (const std::string& name : GetParam().emptyBefore) fs.addFile(name, "");
        return fs;
    }
    static int run(MemoryFileSystem& fs, std::string& messages)
    {
        std::istringstream in("song\n");
        std::ostringstream out, err;
        const int status = RunDriver(in, out, err, [] {}, fs).run();
        messages = err.str();
        return status;
    }
    // The folder holds what a complete run leaves, and nothing else, each
    // file with the chart's mode.
    void expectFinal(const MemoryFileSystem& fs)
    {
        std::vector<std::string> expectedNames{"song.sm"};
        for (const auto& entry : sealedFiles) expectedNames.push_back(entry.first);
        std::sort(expectedNames.begin(), expectedNames.end());
        ASSERT_EQ(fs.names(), expectedNames);
        ASSERT_EQ(fs.contents("song.sm"), final);
        for (const auto& [name, bytes] : sealedFiles) ASSERT_EQ(fs.contents(name), bytes) << name;
        for (const std::string& name : expectedNames) {
            ASSERT_EQ(fs.mode(name), outputAttributeBits(GetParam().chartMode)) << name;
        }
    }
    // No file the run made has a permission bit that the chart lacks.
    void expectNoWiderMode(const MemoryFileSystem& fs)
    {
        for (const std::string& name : fs.names()) {
            const bool before = std::count(GetParam().emptyBefore.begin(), GetParam().emptyBefore.end(), name) > 0;
            if (name == "song.sm" || before) continue;
            const std::uint32_t allowed = GetParam().chartMode | outputAttributeBits(GetParam().chartMode);
            ASSERT_EQ(*fs.mode(name) & ~allowed, 0u) << name << " is wider than the chart";
        }
    }
};

TEST_P(PowerLoss, EveryStateHoldsTheChartAndARerunEndsWithTheFinalResult)
{
    MemoryFileSystem whole = startingFolder();
    std::string messages;
    ASSERT_EQ(run(whole, messages), kExitSuccess) << messages;
    expectFinal(whole);
    const long operations = whole.operations();

    long statesChecked = 0, zeroFilled = 0;
    for (long k = 1; k <= operations; ++k) {
        SCOPED_TRACE("power cut after operation " + std::to_string(k));
        MemoryFileSystem cut = startingFolder();
        cut.keepStateAfter(k);
        ASSERT_EQ(run(cut, messages), kExitSuccess) << messages;
        cut.finish();
        ASSERT_TRUE(cut.kept().has_value());

        for (const DiskState& state : statesAfterPowerCut(*cut.kept())) {
            SCOPED_TRACE(state.what);
            MemoryFileSystem after(state.disk);
            const std::optional<std::string> chart = after.contents("song.sm");
            ASSERT_TRUE(chart == original || chart == final) << "the chart holds neither its old nor its new bytes";
            expectNoWiderMode(after);
            if (state.what.find("zero-filled") != std::string::npos) ++zeroFilled;
            if (chart == final) {
                for (const auto& [name, bytes] : sealedFiles) {
                    ASSERT_EQ(after.contents(name), bytes) << "replaced, but " << name << " is not complete";
                }
            }
            const int status = run(after, messages);
            if (status != kExitSuccess) {
                // The only refusal allowed: the chart is already sealed.
                ASSERT_EQ(status, kExitOutputFailed);
                ASSERT_EQ(chart, final) << messages;
                ASSERT_NE(messages.find("already holds sealed charts"), std::string::npos) << messages;
            }
            expectFinal(after);
            ++statesChecked;
        }
    }
    std::cout << "power cuts after " << operations << " operations, " << statesChecked << " disk states checked ("
              << zeroFilled << " with unsynced data zero-filled)\n";
    RecordProperty("operations", static_cast<int>(operations));
    RecordProperty("states", static_cast<int>(statesChecked));
    RecordProperty("zeroFilled", static_cast<int>(zeroFilled));
    EXPECT_GT(statesChecked, 4 * operations);
}

INSTANTIATE_TEST_SUITE_P(Folders, PowerLoss,
                         ::testing::Values(Scenario{"FreshFolder", 0640, {}},
                                           Scenario{"ReadOnlyChart", 0444, {}},
                                           Scenario{"EmptySealedFilesBefore", 0600, {"song_2.dat", "song_6.dat"}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chartseal
