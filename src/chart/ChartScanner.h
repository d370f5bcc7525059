// Reads a chart file: the survey of its difficulties and the partition of its
// lines into slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "chart/OrdinalTable.h"
#include "chart/SlotSet.h"
#include "io/FileOps.h"

namespace chartseal {

// The chart stream of one pass. Reads the file in large blocks and hands out
// lines as views into its buffer, so reading allocates only when a line is
// longer than the buffer.
class ChartStream {
public:
    static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;

    explicit ChartStream(File file, std::size_t bufferSize = kDefaultBufferSize);

    // The next line without its line feed; a carriage return before the line
    // feed stays in the line. A final line without a line feed is returned
    // like the others. The view is valid until the next call. False at the end
    // of the file; throws FileError when reading fails.
    bool readLine(std::string_view& line);

    // Hands out the next lines that begin with one of firstBytes (at most
    // kMaxFirstBytes of them), up to kLineBatch, each as readLine would give it; the other
    // lines are passed over unseen. False at the end of the file. Vectorised:
    // the line feeds of sixteen bytes and the bytes after them are tested at
    // once, so the short lines of a chart cost almost nothing. The views are
    // valid until the next call.
    bool readLines(std::vector<std::string_view>& lines, std::string_view firstBytes);
    static constexpr std::size_t kLineBatch = 4096;
    static constexpr std::size_t kMaxFirstBytes = 12;

    // Appends every byte not yet read to out, ending with a line feed where
    // the file's last line has none: the same bytes that appending each
    // remaining line and a line feed would give, without splitting lines.
    void appendRest(std::string& out);

    // Bytes of the file not yet handed out, as far as its size at opening
    // tells; a hint for sizing, not a promise.
    std::uint64_t remainingHint() const;

    // Starts again from the first byte of the file, as a new pass would.
    void rewind();

    void close() { file_.close(); }
    const std::string& path() const { return file_.path(); }
    // The open chart file itself, for its lock and its identity.
    File& file() { return file_; }

private:
    bool fill();

    File file_;
    std::vector<char> buf_;
    std::size_t begin_ = 0;    // first byte not yet handed out
    std::size_t end_ = 0;      // end of the bytes read into buf_
    std::size_t scanned_ = 0;  // bytes after begin_ known to hold no line feed
    bool eof_ = false;
    std::uint64_t sizeAtOpen_ = 0;
    std::uint64_t consumed_ = 0;
    std::uint64_t offset_ = 0;  // where the next read from the file starts
};

class ChartScanner {
public:
    explicit ChartScanner(FileOps& ops = systemFileOps()) : ops_(ops) {}

    // Opens the chart file for reading. Throws FileError when it cannot be
    // opened or is not a regular file.
    ChartStream openChart(const std::string& fileName);

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

    // The second pass: appends every line of the stream, and a line feed after
    // it, to the slot that is current. The k-th separator line makes the slot
    // of the difficulty with ordinal k current.
    static void partition(ChartStream& stream, const OrdinalTable& ordinals, SlotSet& slots);

private:
    FileOps& ops_;
};

}  // namespace chartseal
