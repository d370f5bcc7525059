// The output stage: the plain output file, the sealed chart files and the
// replacement of the chart file.
#pragma once

#include <array>
#include <string>

#include "chart/DifficultyTable.h"
#include "chart/OrdinalTable.h"
#include "chart/SlotSet.h"
#include "io/FileOps.h"

namespace chartseal {

class OutputWriter {
public:
    explicit OutputWriter(FileOps& ops = systemFileOps()) : ops_(ops) {}
    // Without a completed writeOutputs, removes the output files this writer
    // created and empties again those it found empty.
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

    // Throws FileError, having changed nothing, when a sealed chart file of
    // this base name already holds sealed charts: a new run would empty it.
    void checkNoSealedCharts(const std::string& path);

    // Creates output files 1 to 6 in that order, emptying existing ones.
    // Throws FileError when one cannot be created; those created are removed.
    void createFiles(const std::string& path);

    // Writes slot 1, a line feed, the plain second slot and a line feed to
    // output file 1, seals each slot from the first sealed slot through 6 into
    // its own file, syncs and closes all six, then renames output file 1 over
    // the chart file (over the file it points to, where it is a symbolic
    // link), keeping the chart's permission bits. Throws FileError on any
    // failure; a failure before the rename leaves the chart file untouched and
    // removes what createFiles created.
    void writeOutputs(const std::string& inPath, const OrdinalTable& ordinals, const SlotSet& slots);

    // True once the chart file has been replaced.
    bool replaced() const { return replaced_; }

private:
    struct Output {
        File file;
        std::string name;
        bool created = false;  // by this run; otherwise it was there and empty
        bool regular = true;
    };

    void syncDirectory(const std::string& fileName);
    void discard();

    FileOps& ops_;
    std::array<Output, kSlotCount> fout;  // fout[N - 1] is output file N
    bool replaced_ = false;
};

}  // namespace chartseal
