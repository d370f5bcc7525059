// Line reading and the two passes over a chart file.
#include "chart/ChartScanner.h"

#include <fcntl.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <utility>

namespace chartseal {

namespace {

constexpr std::string_view kSeparator = "//---------------";  // two slashes, fifteen hyphens

// The white space of formatted input scanning.
constexpr std::string_view kSpace(" \t\n\v\f\r", 6);

bool isSpace(char c)
{
    return kSpace.find(c) != std::string_view::npos;
}

std::size_t skipSpace(std::string_view line, std::size_t pos)
{
    while (pos < line.size() && isSpace(line[pos])) ++pos;
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

// The bytes a line that names a difficulty can begin with: white space (a
// line feed cannot begin a line) and the keywords' first letters. Most lines
// of a chart (note rows, tags) begin with none of them.
const std::string kDifficultyLineStart = [] {
    std::string bytes(kSpace);
    bytes.erase(bytes.find('\n'), 1);
    for (const Difficulty& d : kDifficultyTable) {
        if (bytes.find(d.keyword[0]) == std::string::npos) bytes += d.keyword[0];
    }
    return bytes;
}();

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

// Appends to lines, until it holds max, every line of data[start, end) that
// ends in a line feed and begins with one of firstBytes. data[start] begins a
// line and data[start, from) holds no line feed. Returns where the first line
// not yet passed over begins: a line whose line feed is not in data yet, or
// the line after the last one handed out when lines is full.
std::size_t findLines(const char* data, std::size_t start, std::size_t from, std::size_t end,
                      std::string_view firstBytes, std::vector<std::string_view>& lines, std::size_t max)
{
    constexpr std::size_t npos = std::string_view::npos;
    // Hands out the line that begins at lineStart and returns where it ends;
    // npos when its line feed is not in data yet.
    auto take = [&](std::size_t lineStart) {
        const void* lf = std::memchr(data + lineStart, '\n', end - lineStart);
        if (lf == nullptr) return npos;
        const auto lineEnd = static_cast<std::size_t>(static_cast<const char*>(lf) - data);
        lines.emplace_back(data + lineStart, lineEnd - lineStart);
        return lineEnd;
    };
    auto wanted = [&](std::size_t at) { return firstBytes.find(data[at]) != npos; };

    // No line feed in the range comes before the first line: it is judged
    // on its own.
    std::size_t pos = from;
    if (start < end && wanted(start)) {
        const std::size_t lineEnd = take(start);
        if (lineEnd == npos) return start;
        start = lineEnd + 1;
        if (lines.size() == max) return start;
        // The search goes on from its line feed, so the line after it is judged too.
        pos = lineEnd;
    }
#if defined(__SSE2__)
    // Sixteen bytes at a time: one mask of the line feeds, one of the wanted
    // bytes that follow them, so lines that are not wanted (a chart's note
    // rows) cost no work of their own. The count of compares is fixed, the
    // unused ones repeating the first byte, so the compiler unrolls them.
    __m128i wantedBytes[ChartStream::kMaxFirstBytes];
    for (std::size_t i = 0; i < ChartStream::kMaxFirstBytes; ++i) {
        wantedBytes[i] = _mm_set1_epi8(firstBytes[i < firstBytes.size() ? i : 0]);
    }
    const __m128i lineFeed = _mm_set1_epi8('\n');
    for (; pos + 17 <= end; pos += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        const auto lineFeeds = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, lineFeed)));
        if (lineFeeds == 0) continue;
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos + 1));
        __m128i hit = _mm_setzero_si128();
        for (const __m128i& wantedByte : wantedBytes) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(next, wantedByte));
        for (unsigned found = lineFeeds & static_cast<unsigned>(_mm_movemask_epi8(hit)); found != 0;
             found &= found - 1) {
            const std::size_t lineStart = pos + static_cast<std::size_t>(__builtin_ctz(found)) + 1;
            const std::size_t lineEnd = take(lineStart);
            if (lineEnd == npos) return lineStart;
            if (lines.size() == max) return lineEnd + 1;
        }
        start = pos + static_cast<std::size_t>(31 - __builtin_clz(lineFeeds)) + 1;
    }
#endif
    for (; pos < end; ++pos) {
        if (data[pos] != '\n') continue;
        start = pos + 1;
        if (start < end && wanted(start)) {
            const std::size_t lineEnd = take(start);
            if (lineEnd == npos) return start;
            if (lines.size() == max) return lineEnd + 1;
        }
    }
    return start;
}

}  // namespace

ChartStream::ChartStream(File file, std::size_t bufferSize)
    : file_(std::move(file)), buf_(std::max<std::size_t>(bufferSize, 1))
{
    sizeAtOpen_ = static_cast<std::uint64_t>(file_.status().st_size);
}

bool ChartStream::fill()
{
    if (eof_) return false;
    if (begin_ > 0) {
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    // Only a line longer than the buffer makes it grow; it is then kept whole.
    if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);
    const std::size_t n = file_.readAt(buf_.data() + end_, buf_.size() - end_, offset_);
    if (n == 0) eof_ = true;
    end_ += n;
    offset_ += n;
    return n > 0;
}

void ChartStream::rewind()
{
    begin_ = end_ = scanned_ = 0;
    eof_ = false;
    consumed_ = offset_ = 0;
    sizeAtOpen_ = static_cast<std::uint64_t>(file_.status().st_size);
}

bool ChartStream::readLine(std::string_view& line)
{
    for (;;) {
        const char* start = buf_.data() + begin_;
        const std::size_t avail = end_ - begin_;
        if (scanned_ < avail) {
            const void* lf = std::memchr(start + scanned_, '\n', avail - scanned_);
            if (lf != nullptr) {
                const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
                line = std::string_view(start, length);
                begin_ += length + 1;
                consumed_ += length + 1;
                scanned_ = 0;
                return true;
            }
            scanned_ = avail;
        }
        if (!fill()) {
            if (end_ == begin_) return false;
            // The last line has no line feed after it: it is a line all the same.
            line = std::string_view(buf_.data() + begin_, end_ - begin_);
            consumed_ += end_ - begin_;
            begin_ = end_;
            scanned_ = 0;
            return true;
        }
    }
}

bool ChartStream::readLines(std::vector<std::string_view>& lines, std::string_view firstBytes)
{
    assert(!firstBytes.empty() && firstBytes.size() <= kMaxFirstBytes);
    lines.clear();
    for (;;) {
        const std::size_t next = findLines(buf_.data(), begin_, begin_ + scanned_, end_, firstBytes, lines, kLineBatch);
        consumed_ += next - begin_;
        begin_ = next;
        // Unless the batch is full, what is left is part of one line with no
        // line feed yet.
        scanned_ = lines.size() == kLineBatch ? 0 : end_ - begin_;
        if (!lines.empty()) return true;
        if (!fill()) {
            // The last line has no line feed after it: it is a line all the same.
            if (end_ > begin_ && firstBytes.find(buf_[begin_]) != std::string_view::npos) {
                lines.emplace_back(buf_.data() + begin_, end_ - begin_);
            }
            consumed_ += end_ - begin_;
            begin_ = end_;
            scanned_ = 0;
            return !lines.empty();
        }
    }
}

void ChartStream::appendRest(std::string& out)
{
    const std::size_t before = out.size();
    out.append(buf_.data() + begin_, end_ - begin_);
    consumed_ += end_ - begin_;
    begin_ = end_ = scanned_ = 0;
    if (!eof_) {
        // Read what the file's size promises straight into the slot, with no
        // copy through the line buffer, then whatever it has gained since.
        const std::size_t expected = static_cast<std::size_t>(remainingHint());
        const std::size_t at = out.size();
        out.resize(at + expected);
        std::size_t got = 0;
        while (got < expected) {
            const std::size_t n = file_.readAt(out.data() + at + got, expected - got, offset_);
            if (n == 0) break;
            got += n;
            offset_ += n;
        }
        out.resize(at + got);
        consumed_ += got;
        for (;;) {
            const std::size_t n = file_.readAt(buf_.data(), buf_.size(), offset_);
            if (n == 0) break;
            out.append(buf_.data(), n);
            consumed_ += n;
            offset_ += n;
        }
        eof_ = true;
    }
    if (out.size() > before && out.back() != '\n') out.push_back('\n');
}

std::uint64_t ChartStream::remainingHint() const
{
    return sizeAtOpen_ > consumed_ ? sizeAtOpen_ - consumed_ : 0;
}

ChartStream ChartScanner::openChart(const std::string& fileName)
{
    // Non-blocking, so that a FIFO in the chart's place cannot hang the open;
    // the flag does not change reads from a regular file.
    const int fd = ops_.open(fileName, O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0) throw FileError::fromErrno(fileName, errno);
    File file(ops_, fileName, fd);
    const struct stat st = file.status();
    if (S_ISDIR(st.st_mode)) throw FileError::fromErrno(fileName, EISDIR);
    if (!S_ISREG(st.st_mode)) throw FileError(fileName, "not a regular file");
    return ChartStream(std::move(file));
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
    while (stream.readLines(lines, kDifficultyLineStart)) {
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
    int current = 1;
    int next = 1;
    // A slot never takes more than the rest of the file, so it is given room
    // for that once when it becomes current and is not copied as it grows.
    slots.slot(current).reserve(slots.slot(current).size() + stream.remainingHint() + 1);

    std::string_view line;
    // Once no difficulty holds the next ordinal, no later line can switch the
    // slot: the rest of the file goes to the current slot in bulk.
    while (ordinals.indexOf(next) >= 0 && stream.readLine(line)) {
        if (isSeparator(line)) {
            current = kDifficultyTable[ordinals.indexOf(next)].slot;
            ++next;
            std::string& slot = slots.slot(current);
            slot.reserve(slot.size() + line.size() + 1 + stream.remainingHint() + 1);
        }
        std::string& slot = slots.slot(current);
        slot.append(line);
        slot.push_back('\n');
    }
    stream.appendRest(slots.slot(current));
}

}  // namespace chartseal
