// The plan of one song, from its survey and its partition.
#include "output/SongPlan.h"

namespace chartseal {

namespace {

std::string_view difficultyOfSlot(int slot)
{
    for (const Difficulty& d : kDifficultyTable) {
        if (d.slot == slot) return d.keyword;
    }
    return {};
}

}  // namespace

std::string SongPlan::outPath(const std::string& path, int number)
{
    return path + "_" + std::to_string(number) + ".dat";
}

int SongPlan::plainSecondSlotOf(const OrdinalTable& ordinals)
{
    for (const int index : {kMedium, kHard, kChallenge, kBeginner, kEdit}) {
        if (ordinals.present(index)) return kDifficultyTable[index].slot;
    }
    return 0;
}

int SongPlan::firstSealedSlotOf(const OrdinalTable& ordinals)
{
    const int second = plainSecondSlotOf(ordinals);
    return second == 0 ? 0 : second + 1;
}

SongPlan::SongPlan(const std::string& base, const OrdinalTable& ordinals, const SlotSet& slots)
    : plainSecond_(plainSecondSlotOf(ordinals)), firstSealed_(firstSealedSlotOf(ordinals))
{
    for (int number = 1; number <= kSlotCount; ++number) {
        PlannedOutput& out = outputs_[static_cast<std::size_t>(number - 1)];
        out.number = number;
        out.name = outPath(base, number);
        out.sealed = number > 1 && isSealed(number);
        if (out.sealed) {
            out.size = slots.slot(number).size();
            out.charts = slots.slot(number).charts;
        }
    }
    // The plain output file: slot 1 and a line feed, then the plain second
    // slot and a line feed.
    PlannedOutput& plain = outputs_[0];
    plain.size = slots.str1.size() + 1;
    plain.charts = slots.str1.charts;
    if (plainSecond_ != 0) {
        plain.size += slots.slot(plainSecond_).size() + 1;
        plain.charts.append(slots.slot(plainSecond_).charts);
    }
    exposed_ = exposedAmong(plain.charts, plainSecond_);
}

bool SongPlan::sealsAnything() const
{
    for (int number = 2; number <= kSlotCount; ++number) {
        if (output(number).size > 0) return true;
    }
    return false;
}

ChartList SongPlan::sealedCharts() const
{
    ChartList all;
    for (int number = 2; number <= kSlotCount; ++number) all.append(output(number).charts);
    return all;
}

SealState sealStateOf(const std::array<bool, kSlotCount>& taken)
{
    if (taken[0]) return SealState::unfinished;
    int sealed = 0;
    for (int number = 2; number <= kSlotCount; ++number) sealed += taken[static_cast<std::size_t>(number - 1)] ? 1 : 0;
    if (sealed == 0) return SealState::notSealed;
    return sealed == kSlotCount - 1 ? SealState::sealed : SealState::incomplete;
}

ChartList exposedAmong(const ChartList& kept, int plainSecondSlot)
{
    const std::string_view second = difficultyOfSlot(plainSecondSlot);
    bool easySeen = false, secondSeen = false;
    ChartList exposed;
    for (const ChartName& chart : kept.kept()) {
        if (!easySeen && chart.difficulty == kDifficultyTable[kEasy].keyword) {
            easySeen = true;
        } else if (!secondSeen && !second.empty() && chart.difficulty == second) {
            secondSeen = true;
        } else {
            exposed.add(chart);
        }
    }
    // Charts beyond those named count as exposed too.
    exposed.addUnnamed(kept.count() - kept.kept().size());
    return exposed;
}

}  // namespace chartseal
