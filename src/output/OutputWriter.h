// The output stage: the plain output file, the sealed chart files and the
// replacement of the chart file.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "chart/ChartStream.h"
#include "chart/DifficultyTable.h"
#include "chart/OrdinalTable.h"
#include "chart/SlotSet.h"
#include "output/SongPlan.h"
#include "io/FileOps.h"

namespace chartseal {

class OutputWriter;

// A token that only the output stage can make, and only once per phase: it
// can be moved on to the next phase, never copied.
template <typename Phase>
class OutputPhase {
public:
    OutputPhase(OutputPhase&&) = default;
    OutputPhase(const OutputPhase&) = delete;

private:
    friend class OutputWriter;
    OutputPhase() = default;
};

// The stage runs in phases, each of which only the one before can open: a
// phase is entered with the token that the earlier phase returns, so that no
// step can be taken before the steps that its safety rests on. The table at
// the head of OutputWriter.cpp says what each step makes durable and what a
// crash there leaves.
class OutputWriter {
public:
    // When the stage's syncs happen: now, each at its step; or at barriers
    // that the caller makes between the phases, each a sync of the whole
    // file system (what a library run does for many charts at once: one
    // sync where each chart would take nine). The clean-up always syncs at
    // once.
    enum class Syncs { now, atBarrier };

    // The song's folder, open, in which every name lives; base is the base
    // name as typed (messages name "<base>_N.dat"); chartEntry is the chart's
    // entry in the folder (links within it followed) and chartPath the chart
    // file's name as typed. checkpoint is called between the steps of the
    // stage, where everything done so far can still be undone; whatever it
    // throws stops the stage like a failure (the signals of an interrupted
    // run arrive this way). report takes one line for the operator.
    OutputWriter(FileOps& ops, File& folder, std::string base, std::string chartEntry, std::string chartPath,
                 std::function<void()> checkpoint = {}, std::function<void(const std::string&)> report = {},
                 Syncs syncs = Syncs::now);
    // Without a replaced chart, removes what this run created: the sealed
    // files first, and the plain output file only once they are gone.
    ~OutputWriter();
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;


    // The tokens of the phases, in order.
    using Inspected = OutputPhase<struct InspectedPhase>;
    using Cleared = OutputPhase<struct ClearedPhase>;
    using PlainDurable = OutputPhase<struct PlainDurablePhase>;
    using AllDurable = OutputPhase<struct AllDurablePhase>;

    // The chart as the partition left it: the song's plan, its slots, its
    // open stream, and the identity it must still have when it is replaced.
    // They live as long as the writer.
    void prepare(const SongPlan& plan, const SlotSet& slots, ChartStream& chart, const FileIdentity& expected);

    // Changes nothing (but for the second name of a chart whose replacement
    // was cut in half, unless changeNothing). Refuses, with a RunError, a
    // chart that is linked elsewhere, an output name that is not a regular
    // file of its own, a folder whose changes the run cannot make durable, a
    // song that a finished run prepared and that this run would not change
    // (Failure::sealedAlready), and any file at an output name that is not a
    // leftover of an unfinished run on this chart: one whose every byte is
    // the byte this run writes there, or zero, and that is no longer than
    // this run makes it.
    Inspected inspect(bool changeNothing = false);
    // Removes the leftovers found: the sealed files first, then the plain
    // output file.
    Cleared clearLeftovers(Inspected);
    // Creates the plain output file as a new file with the chart's
    // attributes, writes the plain part to it, syncs it and its name.
    PlainDurable writePlain(Cleared);
    // Creates the sealed chart files as new files with the chart's
    // attributes, seals each slot from the first sealed slot through 6 into
    // its own file, syncs them and their names.
    AllDurable writeSealed(PlainDurable);
    // Provided the chart still has the identity expected (it has not been
    // written or replaced since it was read), renames the plain output file
    // over the chart's entry and syncs the folder. The chart stream is closed
    // before the rename, which Windows needs; the locks outlive it.
    void replaceChart(AllDurable);
    // With Syncs::atBarrier: the caller has synced the file system since the
    // last phase. A phase entered without it throws std::logic_error.
    void barrierPassed() { barrierDue_ = false; }

    // The whole stage, in order, with Syncs::now. Throws RunError on any
    // failure or refusal; a failure before the rename leaves the chart file
    // untouched and removes what this run created.
    void writeOutputs();

    // True once the chart file has been replaced.
    bool replaced() const { return replaced_; }

private:
    struct Output {
        std::string entry;                // in the folder
        std::string name;                 // for messages
        std::optional<FileStatus> found;  // a leftover, checked; empty when the name was free
        File file;                        // created by this run
        bool created = false;
        std::optional<FileIdentity> identity;  // of the file created
    };

    // The bytes output file `number` receives, handed to take in pieces, in
    // order, up to limit bytes; returns how many were given.
    std::uint64_t produce(int number, const std::function<void(char* data, std::size_t n)>& take,
                          std::uint64_t limit = UINT64_MAX);
    // The leftover at output `number` holds nothing but what this run writes
    // there (or zeros), complete where complete.
    void checkLeftover(int number, bool complete);
    void create(int number);
    // has: the output's attributes as its creation left them.
    void takeChartAttributes(Output& out, const FileAttributes& has);
    void write(int number);
    // Removes the name where it still leads to the file expected; false when
    // it could not.
    bool removeIfStill(const Output& out, const std::optional<FileIdentity>& identity, std::error_code& ec);
    void discard() noexcept;
    // The block that the chart's bytes pass through, for one phase.
    void allocateBlock();
    void releaseBlock();
    // A sync of the forward path: now, or left to the next barrier.
    void syncNow(File& file);
    // Makes the folder's entries durable: by its own sync, or, for a folder
    // that cannot be synced by itself, by a sync of its whole file system.
    void syncFolder(std::error_code& ec);
    void syncFolder();
    void syncFolderNow()
    {
        if (syncs_ == Syncs::now) syncFolder();
    }
    // Refuses, before anything changes, a folder whose entries this run
    // cannot make durable.
    void checkFolderDurable();
    void enterPhase();

    FileOps& ops_;
    File& folder_;
    std::string base_;
    std::string chartEntry_;
    std::string chartPath_;
    std::function<void()> checkpoint_;
    std::function<void(const std::string&)> report_;
    Syncs syncs_;
    bool barrierDue_ = false;
    std::array<Output, kSlotCount> fout;  // fout[N - 1] is output file N

    // What inspect learnt, for the later phases.
    const SongPlan* plan_ = nullptr;
    const SlotSet* slots_ = nullptr;
    ChartStream* chart_ = nullptr;
    FileIdentity expected_;
    FileStatus chartStatus_;
    std::vector<ExtendedAttribute> chartExtended_;
    std::vector<char> block_;
    bool folderGivesAccessList_ = true;
    // Where the folder cannot be synced by itself: a second handle of the
    // chart, on the folder's file system, through which that is synced.
    File fileSystemOfFolder_;
    bool folderChecked_ = false;

    FileLock plainLock_;  // of output file 1, which becomes the chart
    bool replaced_ = false;
};

}  // namespace chartseal
