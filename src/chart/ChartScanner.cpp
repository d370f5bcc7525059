// Line reading and the two passes over a chart file.
#include "chart/ChartScanner.h"

#include <algorithm>
#include <utility>

#include "chart/ChartNames.h"
#include "chart/WhiteSpace.h"

namespace chartseal {

namespace {

constexpr std::string_view kSeparator = "//---------------";  // two slashes, fifteen hyphens

std::size_t skipSpace(std::string_view line, std::size_t pos)
{
    while (pos < line.size() && isWhiteSpace(line[pos])) ++pos;
    return pos;
}

// The keyword stands at pos and a byte that is not white space follows it,
// after any white space.
bool keywordAt(std::string_view line, std::size_t pos, std::string_view keyword)
{
    if (line.size() - pos < keyword.size() || !std::equal(keyword.begin(), keyword.end(), line.begin() + pos)) {
        return false;
    }
    return skipSpace(line, pos + keyword.size()) < line.size();
}

// The lines that can name a difficulty: those that begin with white space (a
// line feed cannot begin a line), and those that begin with a keyword's first
// two letters. Most lines of a chart (note rows, tags) are neither.
const LineStarts& difficultyLineStarts()
{
    static const LineStarts starts = [] {
        std::string space(kWhiteSpace), letters, seconds;
        space.erase(space.find('\n'), 1);
        for (const Difficulty& d : kDifficultyTable) {
            letters += d.keyword[0];
            seconds += d.keyword[1];
        }
        return LineStarts(space, letters, seconds);
    }();
    return starts;
}

// The index of the first difficulty, in table order, that the line names; -1
// when it names none.
int namedDifficulty(std::string_view line)
{
    const std::size_t start = skipSpace(line, 0);
    if (start == line.size()) return -1;
    for (int i = 0; i < kDifficultyCount; ++i) {
        if (keywordAt(line, start, kDifficultyTable[i].keyword)) return i;
    }
    return -1;
}

}  // namespace

namespace {

// The chart as a stream, once it is known to be a regular file.
ChartStream chartStream(File file)
{
    FileStatus st;
    try {
        st = file.status();
    } catch (const RunError& e) {
        throw e.as(Failure::chartUnreadable);
    }
    if (st.kind == FileKind::directory) {
        throw RunError(file.path(), std::make_error_code(std::errc::is_a_directory).message(),
                        Failure::chartUnreadable);
    }
    if (!st.isRegular()) throw RunError(file.path(), "not a regular file", Failure::chartUnreadable);
    // A small chart needs no large buffer: many at once (a library) stay
    // small in memory.
    const auto bufferSize = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(st.size() + 1, 4096, ChartStream::kDefaultBufferSize));
    return ChartStream(std::move(file), bufferSize);
}

}  // namespace

ChartStream ChartScanner::openChart(const std::string& fileName)
{
    std::error_code ec;
    const FileHandle handle = ops_.openForReading(fileName, ec);
    if (ec) throw RunError(fileName, ec.message(), Failure::chartUnreadable);
    return chartStream(File(ops_, fileName, handle));
}

ChartStream ChartScanner::openChartInFolder(File& folder, const std::string& entry, const std::string& fileName)
{
    std::error_code ec;
    const FileHandle handle = ops_.openInFolder(folder.handle(), entry, ec);
    if (ec) throw RunError(fileName, ec.message(), Failure::chartUnreadable);
    return chartStream(File(ops_, fileName, handle));
}

bool ChartScanner::namesDifficulty(std::string_view line, std::string_view keyword)
{
    return keywordAt(line, skipSpace(line, 0), keyword);
}

bool ChartScanner::isSeparator(std::string_view line)
{
    return line.starts_with(kSeparator) && skipSpace(line, kSeparator.size()) < line.size();
}

OrdinalTable ChartScanner::survey(ChartStream& stream)
{
    OrdinalTable ordinals;
    int counter = 1;
    std::vector<std::string_view> lines;
    lines.reserve(ChartStream::kLineBatch);
    while (stream.readLines(lines, difficultyLineStarts())) {
        for (const std::string_view line : lines) {
            const int index = namedDifficulty(line);
            if (index >= 0 && ordinals.ordinal[index] == 0) {
                ordinals.ordinal[index] = counter++;
                // Every difficulty has its ordinal: no later line can change the table.
                if (counter > kDifficultyCount) return ordinals;
            }
        }
    }
    return ordinals;
}

void ChartScanner::partition(ChartStream& stream, const OrdinalTable& ordinals, SlotSet& slots)
{
    const std::uint64_t size = stream.file().status().size();
    int current = 1;
    int next = 1;
    std::uint64_t rangeStart = stream.position();
    bool reachedEnd = false;
    std::string_view line;
    ChartNamer namer;
    namer.into(&slots.slot(current).charts);
    // Once no difficulty holds the next ordinal, no later line can switch the
    // slot: the rest of the file belongs to the current slot.
    while (ordinals.indexOf(next) >= 0) {
        const std::uint64_t lineStart = stream.position();
        if (!stream.readLine(line)) {
            reachedEnd = true;
            break;
        }
        if (isSeparator(line)) {
            slots.slot(current).add({rangeStart, lineStart - rangeStart});
            rangeStart = lineStart;
            current = kDifficultyTable[ordinals.indexOf(next)].slot;
            ++next;
            namer.into(&slots.slot(current).charts);
        }
        namer.line(line);
    }
    const std::uint64_t end = reachedEnd ? stream.position() : size;
    Slot& last = slots.slot(current);
    last.add({rangeStart, end - std::min(rangeStart, end)});
    // The rest is read only for the names of its charts: the lines that can
    // name one (separators, "#NOTES" and indented lines), no further than
    // the size the pass began with.
    if (!reachedEnd) {
        static const LineStarts naming = [] {
            std::string space(kWhiteSpace);
            space.erase(space.find('\n'), 1);
            return LineStarts(space + "/", "#", "N");
        }();
        std::vector<std::string_view> lines;
        lines.reserve(ChartStream::kLineBatch);
        while (stream.position() < size && stream.readLines(lines, naming)) {
            for (const std::string_view named : lines) namer.line(named);
        }
    }
    namer.end();
    // The chart's last line gets a line feed in its slot where it has none.
    if (reachedEnd) {
        last.addedLineFeed = stream.lastLineUnended();
    } else if (end > 0) {
        char lastByte = '\n';
        if (readChart(stream.file(), &lastByte, 1, end - 1) != 1) {
            throw refusal(stream.path(), "changed while it was being sealed; run chartseal again");
        }
        last.addedLineFeed = lastByte != '\n';
    }
}

}  // namespace chartseal
