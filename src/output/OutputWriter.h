// The output stage: the plain output file, the sealed chart files and the
// replacement of the chart file.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "chart/ChartScanner.h"
#include "chart/DifficultyTable.h"
#include "chart/OrdinalTable.h"
#include "chart/SlotSet.h"
#include "io/FileOps.h"

namespace chartseal {

class OutputWriter {
public:
    // checkpoint is called between the steps of the stage, where everything
    // done so far can still be undone; whatever it throws stops the stage
    // like a failure (the signals of an interrupted run arrive this way).
    explicit OutputWriter(FileOps& ops = systemFileOps(), std::function<void()> checkpoint = {});
    // Without a completed writeOutputs, removes the output files this writer
    // created and empties again those it found, sealed files first and the
    // plain output file last.
    ~OutputWriter();
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // "<path>_<number>.dat": output file 1 is the plain output file, 2 to 6
    // the sealed chart files.
    static std::string outPath(const std::string& path, int number);

    // The slot written in plain text after slot 1: the first present of
    // Medium, Hard, Challenge, Beginner and Edit; 0 when none is present.
    static int plainSecondSlot(const OrdinalTable& ordinals);
    // The first slot that is sealed: the plain second slot plus 1 (3 to 7),
    // or 0 when there is no plain second slot. 0 and 7 seal nothing.
    static int firstSealedSlot(const OrdinalTable& ordinals);

    // What checkOutputs found of an earlier run on this chart that did not finish.
    enum class Leftover {
        none,
        // A plain output file: that run stopped before replacing the chart,
        // which still holds every chart; the sealed files are sealed again.
        beforeReplacement,
        // A plain output file that is the chart itself: that run stopped in
        // the middle of the replacement, so the chart holds its new bytes and
        // the sealed files are complete. The plain name has been removed.
        afterReplacement,
    };

    // Before anything is written: the chart (whose status is given) must be
    // one the system lets be replaced; it and the six output names must be
    // seven distinct files; and each output name must be absent or a regular
    // file with no other link, never a symbolic link.
    // Throws FileError on a refusal, having changed nothing.
    Leftover checkOutputs(const std::string& path, const std::string& inPath, const FileStatus& chart);

    // No sealed chart file may hold sealed charts, unless checkOutputs found
    // that they are an unfinished run's: throws FileError otherwise.
    void checkNoSealedCharts(Leftover leftover) const;

    // Creates output files 1 to 6 in that order (checkOutputs first): new ones
    // with no access for others, existing ones opened without following links
    // and emptied only once they are known to be the regular files checked.
    // Each takes the chart's owner and group where the system allows and its
    // permission bits (never set-ID or sticky bits) before its first byte.
    // The plain output file is locked like the chart, and the folder is synced
    // so that its name is on disk before any sealed byte. Throws FileError
    // when one cannot be created; what was done is undone.
    void createFiles(const std::string& path, const FileStatus& chart);

    // Writes slot 1, a line feed, the plain second slot and a line feed to
    // output file 1, seals each slot from the first sealed slot through 6 into
    // its own file and syncs all six. Then, provided the chart still has the
    // identity expected (it has not been written or replaced since it was
    // read), renames output file 1 over the chart file (over the file it
    // points to, where it is a symbolic link) and syncs the folder. Throws
    // FileError on any failure; a failure before the rename leaves the chart
    // file untouched and undoes what createFiles did. The chart stream is
    // closed before the rename, which Windows needs; the locks outlive it.
    void writeOutputs(const std::string& inPath, const OrdinalTable& ordinals, const SlotSet& slots,
                      ChartStream& chart, const FileIdentity& expected);

    // True once the chart file has been replaced.
    bool replaced() const { return replaced_; }

private:
    struct Output {
        File file;
        std::string name;
        std::optional<FileStatus> found;  // as checkOutputs found it; empty when the name was free
        bool created = false;             // by this run
        bool opened = false;              // by this run, created or found
        bool emptied = false;             // found holding bytes, which this run removed
    };

    // has: the output's attributes as its status gave them on opening.
    void takeChartAttributes(Output& out, const FileAttributes& has, const FileStatus& chart);
    void syncDirectory(const std::string& fileName);
    void discard();

    FileOps& ops_;
    std::function<void()> checkpoint_;
    std::array<Output, kSlotCount> fout;  // fout[N - 1] is output file N
    FileLock plainLock_;                  // of output file 1, which becomes the chart
    bool replaced_ = false;
};

}  // namespace chartseal
