// One chart through the stages of a run, from its survey to its
// replacement: what the dialogue (RunDriver) and the library run
// (chartseal-library) share, so that both give the same result.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "chart/ChartScanner.h"
#include "chart/OrdinalTable.h"
#include "chart/SlotSet.h"
#include "io/FileOps.h"
#include "output/OutputWriter.h"
#include "output/TreeWriter.h"

namespace chartseal {

class SealJob {
public:
    // base is the song's base name: the chart is "<base>.sm".
    SealJob(FileOps& ops, std::string base);
    // The same for a chart in a folder that the caller opened: the survey
    // and every later step use that folder, never the path that led to it.
    SealJob(FileOps& ops, std::string base, File folder);
    SealJob(const SealJob&) = delete;
    SealJob& operator=(const SealJob&) = delete;

    const std::string& base() const { return base_; }
    const std::string& chartPath() const { return chartPath_; }

    // Opens the chart by its name, surveys it and closes it. Throws RunError
    // (the chart unreadable) when it cannot be opened or read.
    const OrdinalTable& survey();
    const OrdinalTable& ordinals() const { return ordinals_; }
    // What the run does with the chart, once it is partitioned.
    const SongPlan& plan() const { return plan_; }
    // The chart's size when it was surveyed.
    std::uint64_t surveyedSize() const { return surveyed_.size; }

    // Opens the chart's folder, once, and the chart in it (links within the
    // folder followed, never out of it), takes the chart's lock and makes
    // sure it is the chart surveyed: one edited since is surveyed again, and
    // goes on only with the same ordinals. Then partitions it. Throws
    // RunError: a refusal, or the chart unreadable.
    void lockAndPartition();
    // The same without the lock, for a look that changes nothing (a
    // preview, a check): it never makes a run that seals wait or fail.
    void partitionUnlocked();

    // The output stage for the partitioned chart, which the caller takes
    // through its phases (see OutputWriter); made once.
    OutputWriter& writer(std::function<void()> checkpoint, std::function<void(const std::string&)> report,
                         OutputWriter::Syncs syncs = OutputWriter::Syncs::now);
    // The whole output stage at once, with its own syncs; then the chart's
    // lock goes.
    void seal(std::function<void()> checkpoint, std::function<void(const std::string&)> report);
    // The output stage into a folder of an output tree, for the chart as
    // partitioned (unlocked: the chart is only read); made once. outBase is
    // the song's name there, as shown.
    TreeWriter& treeWriter(File& outFolder, const std::string& outBase, bool syncsAtBarrier,
                           std::function<void()> checkpoint);
    // The one made by the call above.
    TreeWriter& treeWriter() { return *treeWriter_; }
    // Once the tree writer has its new files: the chart and its folder
    // closed, so that many songs between two syncs keep few files open.
    void closeChart()
    {
        chart_.reset();
        folder_.reset();
    }
    // Refuses, with a RunError, a chart that is no longer the one
    // partitioned: written to, or another file at its name.
    void checkUnchanged();
    // What stands at each output name of the partitioned chart in its folder
    // (found[N - 1] for output N), nothing where the name is free. Throws
    // RunError where a name cannot be checked.
    std::array<std::optional<FileStatus>, kSlotCount> outputsFound();
    // The chart's folder, once lockAndPartition opened it.
    File& folder() { return *folder_; }
    // Lets go of the chart's lock (and everything else of the run); the last
    // handle of a replaced chart goes here.
    void release();

private:
    // Opens the folder where the caller did not, and finds the chart's
    // entry in it.
    void openFolder();
    void partition(bool locked);

    FileOps& ops_;
    std::string base_;
    std::string chartPath_;
    ChartScanner scanner_;
    OrdinalTable ordinals_;
    FileIdentity surveyed_;
    FileIdentity expected_;
    std::optional<File> folder_;
    std::string entry_;
    FileLock lock_;
    std::optional<ChartStream> chart_;
    SlotSet slots_;
    SongPlan plan_;
    std::optional<OutputWriter> writer_;  // last: it goes first, while the rest is there
    std::optional<TreeWriter> treeWriter_;
};

}  // namespace chartseal
