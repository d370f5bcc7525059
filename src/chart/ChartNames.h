// The charts a part of a chart file holds, each named by the style and the
// difficulty that the chart's own lines carry ("dance-double Easy").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace chartseal {

struct ChartName {
    std::string style;       // its first indented line after "#NOTES:", trimmed of white space and the colon; may be empty
    std::string difficulty;  // the difficulty keyword its first difficulty line names; may be empty
    // "dance-double Easy", or whichever of the two is known; "chart" where neither is.
    std::string text() const;
    bool operator==(const ChartName&) const = default;
};

// The charts of one part of a chart file, in file order. Names are kept for
// the first kKept charts only, so that a file of countless charts takes no
// more memory than a few; count() counts them all.
class ChartList {
public:
    static constexpr std::size_t kKept = 64;

    void add(ChartName name);
    // Counts charts whose names are not kept.
    void addUnnamed(std::uint64_t n) { count_ += n; }
    const std::vector<ChartName>& kept() const { return kept_; }
    std::uint64_t count() const { return count_; }
    // Each name's text, and "... and N more" where names were not kept.
    std::vector<std::string> texts() const;
    void append(const ChartList& other);
    bool empty() const { return count_ == 0; }
    bool operator==(const ChartList&) const = default;

private:
    std::vector<ChartName> kept_;
    std::uint64_t count_ = 0;
};

// Names the charts of chart-file lines handed to it in order. A chart begins
// at a separator line, or at a "#NOTES" line that no separator line opened
// (a chart file without separators); its style is its first indented line
// after "#NOTES" and its difficulty the first line that names one, as the
// survey reads them. The lines before the first chart hold none.
class ChartNamer {
public:
    // Each line without its line feed; a line may be handed in part (its
    // first bytes), which names as much as the whole.
    void line(std::string_view line);
    // The chart being named is done; the next goes to list (where its
    // separator line puts it). Lists outlive the namer's use of them.
    void into(ChartList* list)
    {
        finish();
        list_ = list;
    }
    // Hands the last chart to its list: the end of the lines.
    void end() { finish(); }

private:
    void begin(bool bySeparator);
    void finish();

    ChartList* list_ = nullptr;
    bool open_ = false;       // a chart is being named
    bool notesSeen_ = false;  // its "#NOTES" line came
    ChartName current_;
    bool styleKnown_ = false;
    bool difficultyKnown_ = false;
};

// Splits bytes into lines for a ChartNamer, however they come in blocks: a
// line is kept up to kKeptBytes, which is as much as names a chart.
class ChartLineSplitter {
public:
    static constexpr std::size_t kKeptBytes = 256;
    explicit ChartLineSplitter(ChartNamer& namer) : namer_(namer) {}
    void bytes(const char* data, std::size_t n);
    // The last line, where it has no line feed; then the namer's end.
    void end();

private:
    ChartNamer& namer_;
    std::string partial_;
    bool longLine_ = false;  // the line being read is longer than kept
};

}  // namespace chartseal
