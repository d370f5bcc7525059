// Naming the charts of chart-file lines.
#include "chart/ChartNames.h"

#include <algorithm>

#include "chart/ChartScanner.h"
#include "chart/DifficultyTable.h"
#include "chart/WhiteSpace.h"

namespace chartseal {

namespace {

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isWhiteSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && (isWhiteSpace(text.back()) || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// The difficulty that the line names, as the survey reads it; empty for none.
std::string_view namedBy(std::string_view line)
{
    for (const Difficulty& d : kDifficultyTable) {
        if (ChartScanner::namesDifficulty(line, d.keyword)) return d.keyword;
    }
    return {};
}

}  // namespace

std::string ChartName::text() const
{
    if (style.empty() && difficulty.empty()) return "chart";
    if (style.empty()) return difficulty;
    if (difficulty.empty()) return style;
    return style + " " + difficulty;
}

void ChartList::add(ChartName name)
{
    if (kept_.size() < kKept) kept_.push_back(std::move(name));
    ++count_;
}

std::vector<std::string> ChartList::texts() const
{
    std::vector<std::string> all;
    for (const ChartName& name : kept_) all.push_back(name.text());
    if (count_ > kept_.size()) all.push_back("... and " + std::to_string(count_ - kept_.size()) + " more");
    return all;
}

void ChartList::append(const ChartList& other)
{
    for (const ChartName& name : other.kept_) add(name);
    count_ += other.count_ - other.kept_.size();
}

void ChartNamer::begin(bool bySeparator)
{
    finish();
    open_ = true;
    notesSeen_ = !bySeparator;
    current_ = {};
    styleKnown_ = difficultyKnown_ = false;
}

void ChartNamer::finish()
{
    if (open_ && list_ != nullptr) list_->add(std::move(current_));
    open_ = false;
}

void ChartNamer::line(std::string_view line)
{
    if (ChartScanner::isSeparator(line)) {
        begin(true);
        return;
    }
    const std::string_view text = trimmed(line);
    if (text.starts_with("#NOTES")) {
        if (open_ && !notesSeen_) {
            notesSeen_ = true;
        } else {
            begin(false);
        }
        return;
    }
    if (!open_) return;
    if (!difficultyKnown_) {
        if (const std::string_view named = namedBy(line); !named.empty()) {
            current_.difficulty = std::string(named);
            difficultyKnown_ = true;
            return;
        }
    }
    // The style: the first indented line after "#NOTES", as "dance-single:".
    if (!styleKnown_ && notesSeen_ && !text.empty() && isWhiteSpace(line.front())) {
        std::string_view style = text;
        if (style.ends_with(':')) style.remove_suffix(1);
        current_.style = std::string(trimmed(style));
        styleKnown_ = true;
    }
}

void ChartLineSplitter::bytes(const char* data, std::size_t n)
{
    const char* end = data + n;
    while (data < end) {
        const char* feed = std::find(data, end, '\n');
        if (!longLine_) {
            const std::size_t room = kKeptBytes - partial_.size();
            const std::size_t take = std::min<std::size_t>(room, static_cast<std::size_t>(feed - data));
            partial_.append(data, take);
            longLine_ = take < static_cast<std::size_t>(feed - data);
        }
        if (feed == end) return;
        namer_.line(partial_);
        partial_.clear();
        longLine_ = false;
        data = feed + 1;
    }
}

void ChartLineSplitter::end()
{
    if (!partial_.empty()) namer_.line(partial_);
    partial_.clear();
    namer_.end();
}

}  // namespace chartseal
