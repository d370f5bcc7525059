// What one song's run does, said once: which slots stay plain and which are
// sealed, the six output files with the bytes each receives, and the charts
// each holds. The single run, the library run, its preview, its check and
// its report all read it; nothing else works it out again.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "chart/ChartNames.h"
#include "chart/DifficultyTable.h"
#include "chart/OrdinalTable.h"
#include "chart/SlotSet.h"

namespace chartseal {

struct PlannedOutput {
    int number = 0;         // 1 is the plain output file, which becomes the chart; 2 to 6 the sealed files
    std::string name;       // "<base>_N.dat"
    bool sealed = false;    // receives the sealed bytes of its slot
    std::uint64_t size = 0; // the bytes it receives
    ChartList charts;       // the charts those bytes hold
};

class SongPlan {
public:
    SongPlan() = default;
    // base is the song's base name as typed; the slots are the partition's
    // of the chart whose survey gave the ordinals.
    SongPlan(const std::string& base, const OrdinalTable& ordinals, const SlotSet& slots);

    // "<path>_<number>.dat".
    static std::string outPath(const std::string& path, int number);

    // The slot kept plain after slot 1: the first present of Medium, Hard,
    // Challenge, Beginner and Edit; 0 where none is.
    static int plainSecondSlotOf(const OrdinalTable& ordinals);
    // The first sealed slot: the plain second slot plus 1 (3 to 7, and 7
    // seals nothing), or 0 where there is no plain second slot.
    static int firstSealedSlotOf(const OrdinalTable& ordinals);
    int plainSecondSlot() const { return plainSecond_; }
    int firstSealedSlot() const { return firstSealed_; }
    // Whether the slot's bytes go, sealed, into its own output.
    bool isSealed(int slot) const { return firstSealed_ != 0 && slot >= firstSealed_; }
    // Whether the slot's bytes stay in the chart.
    bool isPlain(int slot) const { return slot == 1 || slot == plainSecond_; }

    const PlannedOutput& output(int number) const { return outputs_[static_cast<std::size_t>(number - 1)]; }
    // Whether any sealed output receives a byte.
    bool sealsAnything() const;

    // The charts the chart file keeps, and those the sealed files hold.
    const ChartList& plainCharts() const { return outputs_[0].charts; }
    ChartList sealedCharts() const;
    // The charts the chart file keeps beyond its first Easy chart and its
    // first chart of the plain second slot's difficulty (a chart file
    // without separators, or a second play style): they are not sealed,
    // though a reader of the song may expect them to be.
    const ChartList& exposedCharts() const { return exposed_; }

private:
    int plainSecond_ = 0;
    int firstSealed_ = 0;
    std::array<PlannedOutput, kSlotCount> outputs_;
    ChartList exposed_;
};

// What the six output names of a song show, by which of them are taken: the
// one rule for "prepared" that a run and a check both read.
enum class SealState {
    notSealed,   // none of them: a song never sealed
    unfinished,  // the plain output file: a run did not finish
    sealed,      // all five sealed files and no plain output file: what a finished run leaves
    incomplete,  // some sealed files but not all, and no plain output file: one went missing
};
// taken[n - 1] tells whether output name n is taken.
SealState sealStateOf(const std::array<bool, kSlotCount>& taken);

// The charts of a chart file kept in plain text, beyond its first Easy chart
// and its first chart of the difficulty of the plain second slot.
ChartList exposedAmong(const ChartList& kept, int plainSecondSlot);

}  // namespace chartseal
