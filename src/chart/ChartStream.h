// Reading a chart file line by line through one reused buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "io/FileOps.h"

namespace chartseal {

// Reads up to count bytes of the chart at offset. Throws RunError, the
// chart unreadable, when it cannot be read.
std::size_t readChart(File& chart, void* buf, std::size_t count, std::uint64_t offset);

// Which lines ChartStream::readLines hands out, told by their first two
// bytes: those that begin with one of anyNext, and those that begin with one
// of letters followed by one of seconds. Bytes are classified by table
// look-ups of their two halves, so the three sets may hold bytes of at most
// eight different high halves in all.
class LineStarts {
public:
    LineStarts(std::string_view anyNext, std::string_view letters, std::string_view seconds);

    // Whether the line that begins at line is wanted; end is where the bytes
    // known so far end. A line whose second byte is not known yet is wanted.
    bool wanted(const char* line, const char* end) const;

    // The class bits of a byte: the AND of the table entries of its halves.
    std::array<std::uint8_t, 16> low{}, high{};
    std::uint8_t anyNextBits = 0, letterBits = 0, secondBits = 0;

private:
    std::uint8_t classOf(char c) const
    {
        const auto byte = static_cast<std::uint8_t>(c);
        return static_cast<std::uint8_t>(low[byte & 15] & high[byte >> 4]);
    }
};

// The chart stream of one pass. Reads the file in large blocks at its own
// offset and hands out lines as views into its buffer, which never grows: a
// line longer than the buffer is handed out as the bytes that decide what it
// is (every run of white space shortened to its first byte, and at most
// kDecidingBytes of what is left), which a difficulty line or a separator
// line is as much as the whole line.
class ChartStream {
public:
    static constexpr std::size_t kDefaultBufferSize = std::size_t{256} << 10;
    // Enough for leading white space, the longest keyword or the separator's
    // seventeen bytes, white space and the byte after it.
    static constexpr std::size_t kDecidingBytes = 20;

    explicit ChartStream(File file, std::size_t bufferSize = kDefaultBufferSize);

    // The next line without its line feed; a carriage return before the line
    // feed stays in the line. A final line without a line feed is returned
    // like the others. The view is valid until the next call. False at the end
    // of the file; throws RunError when reading fails.
    bool readLine(std::string_view& line);

    // Hands out the next lines that starts wants, up to kLineBatch, each as
    // readLine would give it; the other lines are passed over unseen. False
    // at the end of the file. Vectorised where the processor allows: the
    // line feeds of 32 bytes and the two bytes after each are tested at once,
    // so the short lines of a chart cost almost nothing. The views are valid
    // until the next call.
    bool readLines(std::vector<std::string_view>& lines, const LineStarts& starts);
    static constexpr std::size_t kLineBatch = 4096;
    // Whether readLines may use the vectorised search (on by default where
    // the processor has it); off, every byte is looked at in turn. For tests
    // that compare the two.
    static void allowVectorisedSearch(bool allow);

    // The offset in the file of the first byte not yet handed out: where the
    // next line begins.
    std::uint64_t position() const { return consumed_; }
    // True once a line has been handed out that ended at the end of the file
    // without a line feed.
    bool lastLineUnended() const { return lastLineUnended_; }

    // Starts again from the first byte of the file, as a new pass would.
    void rewind();
    // Gives back the buffer's memory once no more lines are wanted (the
    // file stays open for its bytes); only rewind makes lines readable again.
    void releaseBuffer();

    void close() { file_.close(); }
    const std::string& path() const { return file_.path(); }
    // The open chart file itself, for its lock, its identity and its bytes.
    File& file() { return file_; }

private:
    bool fill();
    void advance(std::size_t to);

    File file_;
    std::vector<char> buf_;
    std::size_t bufferSize_ = 0;  // of buf_, also while it is released
    std::size_t begin_ = 0;    // first byte not yet handed out
    std::size_t end_ = 0;      // end of the bytes read into buf_
    std::size_t scanned_ = 0;  // bytes after begin_ known to hold no line feed
    bool eof_ = false;
    bool lastLineUnended_ = false;
    std::uint64_t offset_ = 0;    // where the next read from the file starts
    std::uint64_t consumed_ = 0;  // file offset of buf_[begin_]
    std::uint64_t dropped_ = 0;   // bytes of the line at begin_ left out of buf_
};

}  // namespace chartseal
