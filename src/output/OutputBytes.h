// The bytes each of a song's six outputs receives, made from the chart as it
// was partitioned: what the output stage writes, what it checks leftovers
// against, and what a run into an output tree compares and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "chart/SlotSet.h"
#include "io/FileOps.h"
#include "output/SongPlan.h"

namespace chartseal {

// The bytes output file `number` receives (1, the plain part; 2 to 6, the
// sealed slots, or nothing where a slot stays plain), read from the chart
// through block, handed to take in pieces, in order, up to limit bytes;
// returns how many were given. Throws RunError where the chart cannot be
// read.
std::uint64_t outputBytes(const SongPlan& plan, const SlotSet& slots, File& chart, std::vector<char>& block,
                          int number, const std::function<void(char* data, std::size_t n)>& take,
                          std::uint64_t limit = UINT64_MAX);

// Whether the file's first size bytes are the first size bytes that output
// `number` receives, read through block and a block of its own; where
// zerosMatch, a zero byte in the file matches any byte (what a power cut
// can leave of unsynced data). False where the output is shorter or the
// file ends before size. Throws RunError where either cannot be read.
bool holdsOutputBytes(const SongPlan& plan, const SlotSet& slots, File& chart, std::vector<char>& block, int number,
                      File& file, std::uint64_t size, bool zerosMatch);

}  // namespace chartseal
