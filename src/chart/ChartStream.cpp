// Reading a chart file in blocks, and the vectorised search for wanted lines.
#include "chart/ChartStream.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string>
#include <utility>

#include "chart/WhiteSpace.h"

namespace chartseal {

std::size_t readChart(File& chart, void* buf, std::size_t count, std::uint64_t offset)
{
    try {
        return chart.readAt(buf, count, offset);
    } catch (const RunError& e) {
        throw e.as(Failure::chartUnreadable);
    }
}


namespace {

using Lines = std::vector<std::string_view>;
constexpr std::size_t npos = std::string_view::npos;

// Hands out the line that begins at lineStart and returns where it ends;
// npos when its line feed is not in data[.., end) yet.
std::size_t take(const char* data, std::size_t lineStart, std::size_t end, Lines& lines)
{
    const void* lf = std::memchr(data + lineStart, '\n', end - lineStart);
    if (lf == nullptr) return npos;
    const auto lineEnd = static_cast<std::size_t>(static_cast<const char*>(lf) - data);
    lines.emplace_back(data + lineStart, lineEnd - lineStart);
    return lineEnd;
}

// The search over data[pos, end) one byte at a time, as below.
std::size_t findLinesScalar(const char* data, std::size_t start, std::size_t pos, std::size_t end,
                            const LineStarts& starts, Lines& lines, std::size_t max)
{
    for (; pos < end; ++pos) {
        if (data[pos] != '\n') continue;
        start = pos + 1;
        if (start < end && starts.wanted(data + start, data + end)) {
            const std::size_t lineEnd = take(data, start, end, lines);
            if (lineEnd == npos) return start;
            if (lines.size() == max) return lineEnd + 1;
        }
    }
    return start;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CHARTSEAL_AVX2 1

__attribute__((target("avx2"))) __m256i classify(__m256i bytes, __m256i low, __m256i high)
{
    const __m256i nibble = _mm256_set1_epi8(15);
    const __m256i lo = _mm256_and_si256(bytes, nibble);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble);
    return _mm256_and_si256(_mm256_shuffle_epi8(low, lo), _mm256_shuffle_epi8(high, hi));
}

// Lanes whose class holds one of bits, as a bit mask.
__attribute__((target("avx2"))) unsigned hasClass(__m256i classes, std::uint8_t bits)
{
    const __m256i none = _mm256_cmpeq_epi8(_mm256_and_si256(classes, _mm256_set1_epi8(static_cast<char>(bits))),
                                           _mm256_setzero_si256());
    return ~static_cast<unsigned>(_mm256_movemask_epi8(none));
}

// 32 bytes at a time: the line feeds among them, and for each the class of
// the two bytes after it, so that lines that are not wanted (a chart's note
// rows) cost no work of their own. Returns where the scalar search goes on,
// with start and lines brought up to there; stops early as findLines does.
__attribute__((target("avx2"))) std::size_t findLinesAvx2(const char* data, std::size_t& start, std::size_t pos,
                                                         std::size_t end, const LineStarts& starts, Lines& lines,
                                                         std::size_t max, bool& done)
{
    const __m256i low = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(starts.low.data())));
    const __m256i high =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(starts.high.data())));
    const __m256i lineFeed = _mm256_set1_epi8('\n');
    done = false;
    for (; pos + 34 <= end; pos += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + pos));
        const auto lineFeeds = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(block, lineFeed)));
        if (lineFeeds == 0) continue;
        const __m256i first = classify(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + pos + 1)), low, high);
        const __m256i second = classify(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + pos + 2)), low, high);
        const unsigned hits = lineFeeds & (hasClass(first, starts.anyNextBits) |
                                           (hasClass(first, starts.letterBits) & hasClass(second, starts.secondBits)));
        for (unsigned found = hits; found != 0; found &= found - 1) {
            const std::size_t lineStart = pos + static_cast<std::size_t>(__builtin_ctz(found)) + 1;
            const std::size_t lineEnd = take(data, lineStart, end, lines);
            if (lineEnd == npos) {
                done = true;
                return lineStart;
            }
            if (lines.size() == max) {
                done = true;
                return lineEnd + 1;
            }
        }
        start = pos + static_cast<std::size_t>(31 - __builtin_clz(lineFeeds)) + 1;
    }
    return pos;
}

#endif

bool vectorisedSearchAllowed = true;

bool haveAvx2()
{
#if defined(CHARTSEAL_AVX2)
    static const bool have = __builtin_cpu_supports("avx2");
    return have && vectorisedSearchAllowed;
#else
    return false;
#endif
}

// Appends to lines, until it holds max, every line of data[start, end) that
// ends in a line feed and that starts wants. data[start] begins a line and
// data[start, from) holds no line feed. Returns where the first line not yet
// passed over begins: a line whose line feed is not in data yet, or the line
// after the last one handed out when lines is full.
std::size_t findLines(const char* data, std::size_t start, std::size_t from, std::size_t end,
                      const LineStarts& starts, Lines& lines, std::size_t max)
{
    // No line feed in the range comes before the first line: it is judged
    // on its own.
    std::size_t pos = from;
    if (start < end && starts.wanted(data + start, data + end)) {
        const std::size_t lineEnd = take(data, start, end, lines);
        if (lineEnd == npos) return start;
        start = lineEnd + 1;
        if (lines.size() == max) return start;
        // The search goes on from its line feed, so the line after it is judged too.
        pos = lineEnd;
    }
#if defined(CHARTSEAL_AVX2)
    if (haveAvx2()) {
        bool done = false;
        pos = findLinesAvx2(data, start, pos, end, starts, lines, max, done);
        if (done) return pos;
    }
#endif
    return findLinesScalar(data, start, pos, end, starts, lines, max);
}

// Shortens data[0, n), part of one line, to the bytes that decide what the
// line is: every run of white space to its first byte, then at most
// kDecidingBytes bytes. Returns the new length.
std::size_t compact(char* data, std::size_t n)
{
    std::size_t kept = 0;
    bool afterSpace = false;
    for (std::size_t i = 0; i < n && kept < ChartStream::kDecidingBytes; ++i) {
        const bool space = isWhiteSpace(data[i]);
        if (space && afterSpace) continue;
        data[kept++] = data[i];
        afterSpace = space;
    }
    return kept;
}

}  // namespace

void ChartStream::allowVectorisedSearch(bool allow)
{
    vectorisedSearchAllowed = allow;
}

LineStarts::LineStarts(std::string_view anyNext, std::string_view letters, std::string_view seconds)
{
    // One class bit for each set and high half of its bytes.
    std::uint8_t nextBit = 1;
    auto addSet = [&](std::string_view set, std::uint8_t& setBits) {
        std::array<std::uint8_t, 16> bitOfHigh{};
        for (const char c : set) {
            const auto byte = static_cast<std::uint8_t>(c);
            std::uint8_t& bit = bitOfHigh[byte >> 4];
            if (bit == 0) {
                assert(nextBit != 0 && "more than eight high halves");
                bit = nextBit;
                nextBit = static_cast<std::uint8_t>(nextBit << 1);
                high[byte >> 4] |= bit;
                setBits |= bit;
            }
            low[byte & 15] |= bit;
        }
    };
    addSet(anyNext, anyNextBits);
    addSet(letters, letterBits);
    addSet(seconds, secondBits);
}

bool LineStarts::wanted(const char* line, const char* end) const
{
    const std::uint8_t first = classOf(line[0]);
    if ((first & anyNextBits) != 0) return true;
    if ((first & letterBits) == 0) return false;
    return line + 1 >= end || (classOf(line[1]) & secondBits) != 0;
}

ChartStream::ChartStream(File file, std::size_t bufferSize)
    : file_(std::move(file)),
      buf_(std::max<std::size_t>(bufferSize, kDecidingBytes + 1)),
      bufferSize_(buf_.size())
{
}

bool ChartStream::fill()
{
    if (eof_) return false;
    if (begin_ > 0) {
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        scanned_ = std::min(scanned_, end_);
        begin_ = 0;
    }
    if (end_ == buf_.size()) {
        // One line fills the buffer: keep only what decides what it is.
        const std::size_t kept = compact(buf_.data(), end_);
        dropped_ += end_ - kept;
        end_ = kept;
        scanned_ = std::min(scanned_, end_);
    }
    const std::size_t n = readChart(file_, buf_.data() + end_, buf_.size() - end_, offset_);
    if (n == 0) eof_ = true;
    end_ += n;
    offset_ += n;
    return n > 0;
}

void ChartStream::advance(std::size_t to)
{
    consumed_ += to - begin_ + dropped_;
    dropped_ = 0;
    begin_ = to;
}

void ChartStream::releaseBuffer()
{
    std::vector<char>().swap(buf_);
    begin_ = end_ = scanned_ = 0;
    eof_ = true;
}

void ChartStream::rewind()
{
    if (buf_.empty()) buf_.resize(bufferSize_);
    begin_ = end_ = scanned_ = 0;
    eof_ = lastLineUnended_ = false;
    offset_ = consumed_ = dropped_ = 0;
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
                advance(begin_ + length + 1);
                scanned_ = 0;
                return true;
            }
            scanned_ = avail;
        }
        if (!fill()) {
            if (end_ == begin_ && dropped_ == 0) return false;
            // The last line has no line feed after it: it is a line all the same.
            line = std::string_view(buf_.data() + begin_, end_ - begin_);
            advance(end_);
            scanned_ = 0;
            lastLineUnended_ = true;
            return true;
        }
    }
}

bool ChartStream::readLines(std::vector<std::string_view>& lines, const LineStarts& starts)
{
    lines.clear();
    for (;;) {
        const std::size_t next = findLines(buf_.data(), begin_, begin_ + scanned_, end_, starts, lines, kLineBatch);
        if (next != begin_) advance(next);
        // Unless the batch is full, what is left is part of one line with no
        // line feed yet.
        scanned_ = lines.size() == kLineBatch ? 0 : end_ - begin_;
        if (!lines.empty()) return true;
        if (!fill()) {
            // The last line has no line feed after it: it is a line all the same.
            if (end_ > begin_ && starts.wanted(buf_.data() + begin_, buf_.data() + end_)) {
                lines.emplace_back(buf_.data() + begin_, end_ - begin_);
            }
            if (end_ > begin_ || dropped_ > 0) lastLineUnended_ = true;
            advance(end_);
            scanned_ = 0;
            return !lines.empty();
        }
    }
}

}  // namespace chartseal
