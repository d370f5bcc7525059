// chartunseal --restore: a sealed song put back into one chart file, with
// the guarantees of a chartseal run (the chart's lock, a new file synced and
// renamed over the chart, the sealed files removed only once it is durable).
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "io/FileOps.h"

namespace chartseal {

// The names a restore uses beside the chart, as entries of its folder: the
// restored chart before its rename, and the mark that says the chart is
// restored and its sealed files are being removed.
std::string restoreTemporaryName(const std::string& base);
std::string restoreMarkName(const std::string& base);

// Puts the song <base>.sm back together from its plain chart and its sealed
// files <base>_2.dat to <base>_6.dat, or finishes a restore that was cut
// short. Throws RunError (one line) when it refuses or fails; report takes a
// line for the operator (that the restored chart would be sealed
// differently) before anything changes.
void restoreSong(FileOps& ops, const std::string& base, const std::function<void(const std::string&)>& report);

// Every song in turn, each failure one line "chartunseal: <file>: <reason>"
// on err; 0 when all were restored, 1 when any failed.
int restoreSongs(FileOps& ops, const std::vector<std::string>& bases, std::ostream& err);

}  // namespace chartseal
