// Reads a chart file: the survey of its difficulties and the partition of its
// lines into slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "chart/ChartStream.h"
#include "chart/OrdinalTable.h"
#include "chart/SlotSet.h"
#include "io/FileOps.h"

namespace chartseal {

class ChartScanner {
public:
    explicit ChartScanner(FileOps& ops = systemFileOps()) : ops_(ops) {}

    // Opens the chart file for reading. Throws RunError (the chart
    // unreadable) when it cannot be opened or is not a regular file.
    ChartStream openChart(const std::string& fileName);
    // The same for the entry of an open folder, never through a link;
    // fileName names it in messages.
    ChartStream openChartInFolder(File& folder, const std::string& entry, const std::string& fileName);

    static bool readLine(ChartStream& stream, std::string_view& line) { return stream.readLine(line); }

    // True when the line, after any leading white space, continues with the
    // keyword (letter case included) and, after any further white space, with
    // at least one byte that is not white space.
    static bool namesDifficulty(std::string_view line, std::string_view keyword);

    // True when the line begins with two slashes and fifteen hyphens and,
    // after any white space, at least one byte that is not white space
    // follows.
    static bool isSeparator(std::string_view line);

    // The first pass: the order in which the difficulties first appear.
    static OrdinalTable survey(ChartStream& stream);

    // The second pass: gives every line of the stream to the slot that is
    // current, as ranges of the chart. The k-th separator line makes the slot
    // of the difficulty with ordinal k current. Once no difficulty holds the
    // next ordinal, the rest of the file, as far as its size when the pass
    // began, goes to the current slot without being read.
    static void partition(ChartStream& stream, const OrdinalTable& ordinals, SlotSet& slots);

private:
    FileOps& ops_;
};

}  // namespace chartseal
