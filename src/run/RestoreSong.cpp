// Putting a sealed song back together.
//
// What sealing left: the chart C holds slot 1, a line feed, the plain second
// slot P (when there is one) and a line feed; <base>_N.dat holds slot N
// sealed, for the slots after P (the others are empty files). The original
// chart is its head (slot 1 up to its first separator line) followed by one
// part per separator in the order of the ordinals: the part of Easy is the
// rest of slot 1, every other part a whole slot.
//
// Which empty line sealing added after slot 1 is not written anywhere: real
// charts have blank lines before separators too (in a chart with carriage
// returns the added line is the only bare line feed). The added one stands
// just before the separator line that starts the plain second slot, or at
// the end. Only the last part of a chart can hold more than one separator
// line, so slot 1 ends before the first, the second or the last separator
// line of C, or at its end: a handful of candidates. For each, the order of
// the parts follows from what each part names: the ordinals of the whole are
// those of the head and the parts taken in turn, and the k-th part belongs
// to the difficulty with ordinal k. Where more than one order agrees (charts
// that each name only their own difficulty keep no order in the sealed
// files), the usual one of a chart file is taken, from Beginner up. A
// candidate is taken only once the survey and partition of the restored
// file, written beside the chart, give back exactly C and the sealed files.
// Where none does (a chart edited after sealing, sealed files from
// elsewhere), one line says so before the chart or a sealed file is touched
// (the candidates written beside them are gone by then), and the first
// candidate is restored: every line comes back once, though sealing it again
// would split it differently. A last line that had no line feed gets one:
// sealing gave it one.
//
// The safety order. T is the restored chart's temporary name, M the mark,
// S the sealed files:
//   T created with the owner's bits only, given the chart's owner, group,
//   extended attributes (its access list among them) and mode, written and
//   synced; the folder synced; M written and synced; the folder synced; T
//   renamed over C; the folder synced; S removed; the folder synced; M
//   removed; the folder synced.
// M beside no T means C is restored (T became C): a later run removes what
// is left of S, then M; so too where T is a second name of C (a rename cut
// in half), once that name is gone. Otherwise M beside T means the rename
// did not happen: M goes first, durably, then T, since M without T would
// otherwise speak for a chart that is still sealed. T's name is durable before M is created, so no power cut leaves M
// without T before the rename. Without M, five S mean the song is sealed; a
// T there is a leftover of a run cut short, removed once each of its bytes
// is found to be the byte a restore writes there (or zero). A song restored
// whole has no S and is refused as not sealed.
#include "run/RestoreSong.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "chart/ChartScanner.h"
#include "chart/ChartStream.h"
#include "chart/DifficultyTable.h"
#include "chart/OrdinalTable.h"
#include "chart/SlotSet.h"
#include "format/SealKey.h"
#include "chart/WhiteSpace.h"
#include "format/SealTransform.h"
#include "output/Permissions.h"
#include "output/OutputWriter.h"

namespace chartseal
{

namespace
{

constexpr std::size_t kBlockSize = std::size_t{64} << 10;
constexpr std::string_view kMark = "chartunseal --restore: the chart is restored; its sealed files are being removed\n";

// Bytes of one of the song's files: 0 the chart, 2 to 6 a sealed file (its
// bytes unsealed).
struct Range {
    int source = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// One part of the original chart and what it names, in the order of first
// appearance.
struct Part {
    Range range;
    std::vector<int> names;        // difficulty indices
    std::vector<int> belongsTo;    // the difficulties it may be the part of
    std::uint64_t separators = 0;  // separator lines in it
};

// The index of the first difficulty, in table order, that the line names;
// -1 when it names none.
int namedDifficulty(std::string_view line)
{
    for (int i = 0; i < kDifficultyCount; ++i) {
        if (ChartScanner::namesDifficulty(line, kDifficultyTable[i].keyword)) return i;
    }
    return -1;
}

// The ordinals once the difficulties of names have been met after those of
// table.
OrdinalTable merged(OrdinalTable table, const std::vector<int>& names)
{
    int next =
        1 + static_cast<int>(std::count_if(table.ordinal.begin(), table.ordinal.end(), [](int o) { return o > 0; }));
    for (const int d : names) {
        if (table.ordinal[d] == 0) table.ordinal[d] = next++;
    }
    return table;
}

class Restore
{
public:
    Restore(FileOps& ops, std::string base, const std::function<void(const std::string&)>& report)
        : ops_(ops), base_(std::move(base)), chartPath_(base_ + ".sm"), report_(report), block_(kBlockSize)
    {
    }
    void run();

private:
    struct Split {
        std::uint64_t added;  // where the line feed added after slot 1 is
        bool second;          // whether a plain second slot follows it
    };

    std::string sealedEntry(int n) const { return entryOf(base_) + "_" + std::to_string(n) + ".dat"; }
    std::string sealedName(int n) const { return SongPlan::outPath(base_, n); }
    File& source(int n) { return n == 0 ? chart_ : sealed_[n - 2]; }
    std::uint64_t sizeOf(int n) const { return sizes_[n]; }

    // Reads bytes of a source at offset, unsealed where sealed.
    std::size_t read(int n, char* buf, std::size_t count, std::uint64_t offset);
    template <typename OnLine>
    void scanLines(const Range& range, OnLine onLine);
    // The difficulties the range names, in the order of first appearance;
    // its separator lines counted in separators.
    std::vector<int> namesIn(const Range& range, std::uint64_t* separators = nullptr);
    // Hands the bytes of the layout to take, in pieces.
    template <typename Take>
    void produce(const std::vector<Range>& layout, Take take);

    void lockChart();
    std::optional<FileStatus> find(const std::string& entry, const std::string& name);
    void syncFolder();
    void remove(const std::string& entry, const std::string& name);
    void finishRemoval();
    std::vector<Split> splits();
    // The bytes of the original for one split: its parts in the order their
    // names give them (consistent), or, where no order agrees, in the order
    // of their slots.
    struct Layout {
        std::vector<Range> ranges;
        bool consistent = false;
    };
    Layout layoutFor(const Split& split);
    bool leftoverMatches(const std::vector<std::vector<Range>>& layouts);
    void createTemporary(const std::vector<Range>& layout);
    void copyChartAttributes(File& out, const FileAttributes& has);
    bool reproducesSealedSong();
    void discard() noexcept;

    FileOps& ops_;
    std::string base_;
    std::string chartPath_;
    const std::function<void(const std::string&)>& report_;
    std::vector<char> block_;
    std::vector<char> other_;
    File folder_;
    std::string chartEntry_;
    File chart_;
    FileLock lock_;
    FileStatus chartStatus_;
    std::vector<ExtendedAttribute> chartExtended_;
    bool folderGivesAccessList_ = false;
    std::array<File, 5> sealed_;
    std::array<std::uint64_t, 7> sizes_{};
    std::string tempEntry_, markEntry_, tempName_, markName_;
    File temp_;
    FileLock tempLock_;
    bool tempCreated_ = false, markCreated_ = false, replaced_ = false;
    // Separator lines of the chart: the first, the second and the last, each
    // with whether an empty line stands before it.
    struct Separator {
        std::uint64_t offset;
        bool emptyBefore;
    };
    std::vector<Separator> separators_;
};

std::size_t Restore::read(int n, char* buf, std::size_t count, std::uint64_t offset)
{
    const std::size_t got = source(n).readAt(buf, count, offset);
    if (n != 0) unsealBytes(buf, buf, got, static_cast<std::size_t>(offset % SEAL_KEY_LENGTH));
    return got;
}

// Each line of the range: its offset, its length without the line feed,
// whether a line feed ends it, and the bytes that decide what it is (runs of
// white space shortened to one byte, at most so many bytes), which say
// whether it names a difficulty or separates charts as the whole line would.
template <typename OnLine>
void Restore::scanLines(const Range& range, OnLine onLine)
{
    std::array<char, ChartStream::kDecidingBytes> deciding{};
    std::size_t kept = 0;
    bool afterSpace = false;
    std::uint64_t lineStart = range.offset;
    const std::uint64_t end = range.offset + range.length;
    for (std::uint64_t pos = range.offset; pos < end;) {
        const std::size_t n = read(range.source, block_.data(),
                                   static_cast<std::size_t>(std::min<std::uint64_t>(block_.size(), end - pos)), pos);
        if (n == 0)
            throw refusal(source(range.source).path(),
                          "changed while it was being read; run chartunseal --restore again");
        for (std::size_t i = 0; i < n; ++i) {
            const char c = block_[i];
            if (c == '\n') {
                onLine(lineStart, pos + i - lineStart, true, std::string_view(deciding.data(), kept));
                lineStart = pos + i + 1;
                kept = 0;
                afterSpace = false;
                continue;
            }
            if (kept == deciding.size()) continue;
            const bool space = isWhiteSpace(c);
            if (space && afterSpace) continue;
            deciding[kept++] = c;
            afterSpace = space;
        }
        pos += n;
    }
    if (lineStart < end) onLine(lineStart, end - lineStart, false, std::string_view(deciding.data(), kept));
}

std::vector<int> Restore::namesIn(const Range& range, std::uint64_t* separators)
{
    std::vector<int> names;
    scanLines(range, [&](std::uint64_t, std::uint64_t, bool, std::string_view line) {
        const int d = namedDifficulty(line);
        if (d >= 0 && std::find(names.begin(), names.end(), d) == names.end()) names.push_back(d);
        if (separators != nullptr && ChartScanner::isSeparator(line)) ++*separators;
    });
    return names;
}

template <typename Take>
void Restore::produce(const std::vector<Range>& layout, Take take)
{
    for (const Range& range : layout) {
        for (std::uint64_t done = 0; done < range.length;) {
            const std::size_t n =
                read(range.source, block_.data(),
                     static_cast<std::size_t>(std::min<std::uint64_t>(block_.size(), range.length - done)),
                     range.offset + done);
            if (n == 0)
                throw refusal(source(range.source).path(),
                              "changed while it was being read; run chartunseal --restore again");
            take(block_.data(), n);
            done += n;
        }
    }
}

void Restore::lockChart()
{
    // Open, lock, then make sure the name still leads to the locked file, as
    // a chartseal run does.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::error_code ec;
        const FileHandle handle = ops_.openInFolder(folder_.handle(), chartEntry_, ec);
        if (ec) throw RunError(chartPath_, ec.message());
        chart_ = File(ops_, chartPath_, handle);
        chartStatus_ = chart_.status();
        if (chartStatus_.kind == FileKind::directory) {
            throw RunError(chartPath_, std::make_error_code(std::errc::is_a_directory).message());
        }
        if (!chartStatus_.isRegular()) throw RunError(chartPath_, "not a regular file");
        if (!lock_.tryLock(chart_)) {
            throw refusal(chartPath_, "another run is using it; try again when it has finished");
        }
        FileStatus named;
        if (!ops_.statusInFolder(folder_.handle(), chartEntry_, named, ec)) {
            if (!ec) ec = std::make_error_code(std::errc::no_such_file_or_directory);
            throw RunError(chartPath_, ec.message());
        }
        chartStatus_ = chart_.status();
        if (named.identity.sameFile(chartStatus_.identity)) return;
        lock_.release();
    }
    throw refusal(chartPath_, "keeps being replaced; run chartunseal --restore again");
}

std::optional<FileStatus> Restore::find(const std::string& entry, const std::string& name)
{
    FileStatus st;
    std::error_code ec;
    if (!ops_.statusInFolder(folder_.handle(), entry, st, ec)) {
        if (ec) throw RunError(name, "cannot check", ec);
        return std::nullopt;
    }
    if (!st.isRegular()) throw refusal(name, "is " + describeKind(st.kind) + ", not a regular file");
    if (st.identity.sameFile(chartStatus_.identity))
        throw refusal(name, "is the same file as the chart " + shownName(chartPath_));
    return st;
}

void Restore::syncFolder()
{
    std::error_code ec;
    ops_.sync(folder_.handle(), ec);
    if (ec) throw RunError(folder_.path(), "cannot sync", ec);
}

void Restore::remove(const std::string& entry, const std::string& name)
{
    std::error_code ec;
    ops_.removeInFolder(folder_.handle(), entry, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) throw RunError(name, "cannot remove", ec);
}

void Restore::finishRemoval()
{
    for (int n = kSlotCount; n >= 2; --n) {
        if (find(sealedEntry(n), sealedName(n))) remove(sealedEntry(n), sealedName(n));
    }
    syncFolder();
    remove(markEntry_, markName_);
    markCreated_ = false;
    syncFolder();
}

std::vector<Restore::Split> Restore::splits()
{
    const std::uint64_t size = sizeOf(0);
    // The last two lines: their offsets and whether each is empty.
    std::uint64_t lastStart = 0, beforeLastStart = 0;
    bool lastEmpty = false, beforeLastEmpty = false, ended = true;
    bool previousEmpty = false;
    std::uint64_t count = 0;
    scanLines({0, 0, size}, [&](std::uint64_t start, std::uint64_t length, bool lineFeed, std::string_view line) {
        if (ChartScanner::isSeparator(line)) {
            const Separator s{start, previousEmpty};
            if (count < 2) {
                separators_.push_back(s);
            } else if (separators_.size() == 2) {
                separators_.push_back(s);
            } else {
                separators_.back() = s;
            }
            ++count;
        }
        previousEmpty = length == 0 && lineFeed;
        beforeLastStart = lastStart;
        beforeLastEmpty = lastEmpty;
        lastStart = start;
        lastEmpty = previousEmpty;
        ended = lineFeed;
    });
    std::vector<Split> found;
    const auto add = [&](Split s) {
        for (const Split& f : found) {
            if (f.added == s.added && f.second == s.second) return;
        }
        found.push_back(s);
    };
    if (size == 0 || !ended || !lastEmpty) return found;
    for (const Separator& s : separators_) {
        if (s.emptyBefore) add({s.offset - 1, true});
    }
    if (lastEmpty && beforeLastEmpty && beforeLastStart + 1 == lastStart) add({beforeLastStart, true});
    if (lastEmpty) add({lastStart, false});
    return found;
}

Restore::Layout Restore::layoutFor(const Split& split)
{
    // The head of slot 1 ends at its first separator line; Easy's part is
    // the rest.
    const std::uint64_t size = sizeOf(0);
    const std::uint64_t slot1End = split.second ? split.added : size - 1;
    std::uint64_t headEnd = slot1End;
    for (const Separator& s : separators_) {
        if (s.offset < slot1End) headEnd = std::min(headEnd, s.offset);
    }
    const Range head{0, 0, headEnd};
    std::vector<Part> parts;
    if (headEnd < slot1End) parts.push_back({{0, headEnd, slot1End - headEnd}, {}, {kEasy}});
    int firstFilled = 7;
    for (int n = kSlotCount; n >= 2; --n) {
        if (sizeOf(n) > 0) firstFilled = n;
    }
    const std::uint64_t secondStart = split.added + 1;
    std::optional<std::size_t> second;
    if (split.second && size - 1 > secondStart) {
        Part p{{0, secondStart, size - 1 - secondStart}, {}, {}};
        for (int n = 2; n < firstFilled; ++n) p.belongsTo.push_back(n - 1);
        second = parts.size();
        parts.push_back(p);
    }
    for (int n = 2; n <= kSlotCount; ++n) {
        if (sizeOf(n) > 0) parts.push_back({{n, 0, sizeOf(n)}, {}, {n - 1}});
    }
    for (Part& p : parts) p.names = namesIn(p.range, &p.separators);
    const OrdinalTable start = merged(OrdinalTable{}, namesIn(head));

    // The parts in the order of their ordinals: the k-th is that of the
    // difficulty with ordinal k in the whole chart (the head, then the parts
    // in turn). Each holds one separator line, its first, but for the last
    // part when no difficulty holds the next ordinal: the rest of the chart.
    std::vector<std::pair<std::size_t, int>> order;  // part, difficulty
    std::vector<bool> used(parts.size(), false);
    const std::function<bool(const OrdinalTable&)> place = [&](const OrdinalTable& table) -> bool {
        if (order.size() == parts.size()) {
            for (std::size_t k = 0; k < order.size(); ++k) {
                if (table.ordinal[order[k].second] != static_cast<int>(k) + 1) return false;
            }
            if (!order.empty() && table.indexOf(static_cast<int>(order.size()) + 1) >= 0 &&
                parts[order.back().first].separators != 1) {
                return false;
            }
            // Sealing this would put the parts where they are.
            const int plainSecond = SongPlan::plainSecondSlotOf(table);
            const int firstSealed = SongPlan::firstSealedSlotOf(table);
            if (!split.second) return plainSecond == 0 && firstFilled == 7;
            if (plainSecond == 0 || firstFilled < firstSealed) return false;
            if (second) {
                for (const auto& [part, d] : order) {
                    if (part == *second) return kDifficultyTable[d].slot == plainSecond;
                }
            }
            for (const auto& entry : order) {
                if (kDifficultyTable[entry.second].slot == plainSecond) return false;  // its slot was empty
            }
            return true;
        }
        const int k = static_cast<int>(order.size()) + 1;
        // Where the sealed song allows more than one order (a difficulty
        // that no part names before its own), the charts come back in the
        // usual order of a chart file: from Beginner up.
        static constexpr std::array<int, kDifficultyCount> usual{kBeginner, kEasy, kMedium, kHard, kChallenge, kEdit};
        for (const int d : usual) {
            for (std::size_t i = 0; i < parts.size(); ++i) {
                if (used[i] || (order.size() + 1 < parts.size() && parts[i].separators != 1)) continue;
                const auto& may = parts[i].belongsTo;
                if (std::find(may.begin(), may.end(), d) == may.end()) continue;
                const bool taken =
                    std::any_of(order.begin(), order.end(), [d](const auto& e) { return e.second == d; }) ||
                    std::any_of(parts.begin(), parts.end(), [&](const Part& q) {
                        return &q != &parts[i] && q.belongsTo.size() == 1 && q.belongsTo[0] == d;
                    });
                if (taken) continue;
                // d has ordinal k, or none yet while ordinal k is free: a
                // later part may name it first.
                const OrdinalTable next = merged(table, parts[i].names);
                const int assigned = static_cast<int>(
                    std::count_if(next.ordinal.begin(), next.ordinal.end(), [](int o) { return o > 0; }));
                if (next.ordinal[d] != k && !(next.ordinal[d] == 0 && assigned < k)) continue;
                used[i] = true;
                order.emplace_back(i, d);
                if (place(next)) return true;
                order.pop_back();
                used[i] = false;
            }
        }
        return false;
    };
    Layout layout{{head}, true};
    if (place(start)) {
        for (const auto& entry : order) layout.ranges.push_back(parts[entry.first].range);
    } else {
        // No difficulty named anywhere: the partition left the whole chart
        // in slot 1. Otherwise no order of the parts agrees with their
        // names: they follow in the order of their slots, for want of a
        // better one.
        OrdinalTable all = start;
        for (const Part& p : parts) all = merged(all, p.names);
        layout.consistent = all == OrdinalTable{} && parts.size() <= 1 && !split.second;
        for (const Part& p : parts) layout.ranges.push_back(p.range);
    }
    std::erase_if(layout.ranges, [](const Range& r) { return r.length == 0; });
    return layout;
}

bool Restore::leftoverMatches(const std::vector<std::vector<Range>>& layouts)
{
    std::error_code ec;
    const FileHandle handle = ops_.openInFolder(folder_.handle(), tempEntry_, ec);
    if (ec) throw RunError(tempName_, "cannot check", ec);
    File leftover(ops_, tempName_, handle);
    const std::uint64_t size = leftover.status().size();
    other_.resize(kBlockSize);
    for (const std::vector<Range>& layout : layouts) {
        std::uint64_t total = 0;
        for (const Range& r : layout) total += r.length;
        if (size > total) continue;
        std::uint64_t offset = 0;
        bool matches = true;
        produce(layout, [&](const char* data, std::size_t n) {
            for (std::size_t done = 0; matches && done < n && offset + done < size;) {
                const std::size_t got = leftover.readAt(
                    other_.data(), std::min<std::uint64_t>(n - done, size - offset - done), offset + done);
                if (got == 0) {
                    matches = false;
                    break;
                }
                for (std::size_t i = 0; i < got; ++i) {
                    if (other_[i] != data[done + i] && other_[i] != '\0') matches = false;
                }
                done += got;
            }
            offset += n;
        });
        if (matches) return true;
    }
    return false;
}

void Restore::copyChartAttributes(File& out, const FileAttributes& has)
{
    // As the outputs of a chartseal run take them.
    takeChartAttributes(ops_, out, out.path(), has, chartStatus_.attributes, chartExtended_, folderGivesAccessList_);
}

void Restore::createTemporary(const std::vector<Range>& layout)
{
    std::error_code ec;
    const FileHandle handle =
        ops_.createInFolder(folder_.handle(), tempEntry_, creationAttributeBits(chartStatus_.attributes.bits), ec);
    if (ec) {
        if (ec == std::errc::file_exists)
            throw refusal(tempName_, "appeared while the song was being restored; run chartunseal --restore again");
        throw RunError(tempName_, "cannot create", ec);
    }
    temp_ = File(ops_, tempName_, handle);
    tempCreated_ = true;
    copyChartAttributes(temp_, temp_.status().attributes);
    produce(layout, [&](const char* data, std::size_t n) { temp_.writeAll(data, n); });
    // Closed before it is read back, which Windows allows no sooner.
    temp_.sync();
    temp_.close();
}

bool Restore::reproducesSealedSong()
{
    // The survey and partition of the restored chart, as a chartseal run
    // makes them, and what that run would write: the chart and the sealed
    // files as they are.
    ChartScanner scanner(ops_);
    ChartStream restored = scanner.openChartInFolder(folder_, tempEntry_, tempName_);
    const OrdinalTable ordinals = ChartScanner::survey(restored);
    restored.rewind();
    SlotSet slots;
    ChartScanner::partition(restored, ordinals, slots);
    restored.releaseBuffer();
    const SongPlan plan(base_, ordinals, slots);
    const int second = plan.plainSecondSlot();

    other_.resize(kBlockSize);
    std::vector<char> buffer(kBlockSize);
    // Compares pieces of the expected bytes with source n from its start.
    const auto sameAs = [&](int n, const std::vector<const Slot*>& pieces) {
        std::uint64_t offset = 0;
        bool same = true;
        const auto compare = [&](const char* data, std::size_t count) {
            for (std::size_t done = 0; same && done < count;) {
                const std::size_t got =
                    offset + done < sizeOf(n) ? read(n, other_.data(), count - done, offset + done) : 0;
                if (got == 0) {
                    same = false;
                    break;
                }
                same = std::equal(other_.data(), other_.data() + got, data + done);
                done += got;
            }
            offset += count;
        };
        for (const Slot* slot : pieces) {
            if (slot == nullptr) {
                compare("\n", 1);
            } else {
                readSlot(*slot, restored.file(), buffer, [&](char* data, std::size_t count) { compare(data, count); });
            }
        }
        return same && offset == sizeOf(n);
    };
    std::vector<const Slot*> plain{&slots.str1, nullptr};
    if (second != 0) {
        plain.push_back(&slots.slot(second));
        plain.push_back(nullptr);
    }
    if (!sameAs(0, plain)) return false;
    for (int n = 2; n <= kSlotCount; ++n) {
        std::vector<const Slot*> sealedSlot;
        if (plan.isSealed(n)) sealedSlot.push_back(&slots.slot(n));
        if (!sameAs(n, sealedSlot)) return false;
    }
    // Locked like the chart, which it becomes.
    if (!tempLock_.tryLock(restored.file())) throw refusal(tempName_, "is locked by another run");
    restored.close();
    return true;
}

void Restore::discard() noexcept
{
    // The mark goes first, durably: without the temporary file beside it,
    // it would say the chart is restored.
    temp_ = File();
    std::error_code ec;
    if (markCreated_) {
        ops_.removeInFolder(folder_.handle(), markEntry_, ec);
        if (!ec) ops_.sync(folder_.handle(), ec);
        if (ec) return;
        markCreated_ = false;
    }
    if (tempCreated_) {
        ops_.removeInFolder(folder_.handle(), tempEntry_, ec);
        if (!ec) ops_.sync(folder_.handle(), ec);
        tempCreated_ = false;
    }
}

void Restore::run()
{
    if (chartPath_.find('\0') != std::string::npos) throw RunError(chartPath_, "file name holds a zero byte");
    folder_ = openFolderOf(ops_, chartPath_);
    chartEntry_ = followLinksInFolder(folder_, entryOf(chartPath_), chartPath_);
    const std::string folderPart = base_.substr(0, base_.size() - entryOf(base_).size());
    tempEntry_ = restoreTemporaryName(entryOf(base_));
    markEntry_ = restoreMarkName(entryOf(base_));
    tempName_ = folderPart + tempEntry_;
    markName_ = folderPart + markEntry_;
    lockChart();

    if (find(entryOf(base_) + "_1.dat", SongPlan::outPath(base_, 1))) {
        throw refusal(SongPlan::outPath(base_, 1),
                      "is there: a chartseal run on this song did not finish; run chartseal on it first");
    }
    int sealedCount = 0;
    std::optional<int> missing;
    for (int n = 2; n <= kSlotCount; ++n) {
        if (find(sealedEntry(n), sealedName(n))) {
            ++sealedCount;
        } else if (!missing) {
            missing = n;
        }
    }
    std::optional<FileStatus> temp;
    {
        FileStatus st;
        std::error_code ec;
        if (ops_.statusInFolder(folder_.handle(), tempEntry_, st, ec)) {
            temp = st;
        } else if (ec) {
            throw RunError(tempName_, "cannot check", ec);
        }
    }
    const std::optional<FileStatus> mark = find(markEntry_, markName_);
    if (temp && mark && temp->isRegular() && temp->identity.sameFile(chartStatus_.identity)) {
        // A rename over the chart cut in half: both names stand for the
        // restored chart, which loses nothing when the second goes.
        std::error_code ec;
        ops_.checkFolderSync(folder_.handle(), ec);
        if (ec) throw RunError(folder_.path(), "cannot sync", ec);
        remove(tempEntry_, tempName_);
        syncFolder();
        temp.reset();
        chartStatus_ = chart_.status();
    }
    if (temp) temp = find(tempEntry_, tempName_);
    if (mark) {
        std::error_code ec;
        const FileHandle handle = ops_.openInFolder(folder_.handle(), markEntry_, ec);
        if (ec) throw RunError(markName_, "cannot check", ec);
        File file(ops_, markName_, handle);
        std::string held(kMark.size() + 1, '\0');
        held.resize(mark->size() <= kMark.size() ? file.readAt(held.data(), held.size(), 0) : held.size());
        // Beside the temporary file, the mark may be one a power cut left
        // unwritten: a prefix of its bytes, or zeros.
        bool ours = held == kMark;
        if (temp && held.size() <= kMark.size()) {
            ours = true;
            for (std::size_t i = 0; i < held.size(); ++i) ours = ours && (held[i] == kMark[i] || held[i] == '\0');
        }
        if (!ours) {
            throw refusal(markName_, "is not a mark of chartunseal --restore; move it away to restore the song");
        }
        ops_.checkFolderSync(folder_.handle(), ec);
        if (ec) throw RunError(folder_.path(), "cannot sync", ec);
        markCreated_ = true;
        if (!temp) {
            // The chart was restored by a run cut short: what is left is the
            // removal of its sealed files.
            finishRemoval();
            return;
        }
        // The rename did not happen: the song is still sealed.
        remove(markEntry_, markName_);
        syncFolder();
        markCreated_ = false;
    }
    if (sealedCount == 0) {
        throw refusal(chartPath_, "is not sealed: none of its sealed files " + shownName(sealedName(2)) + " to " +
                                      shownName(sealedName(6)) + " is there");
    }
    if (missing) throw refusal(sealedName(*missing), "is missing: the song is not sealed whole, and is left as it is");
    if (chartStatus_.links > 1) throw refusal(chartPath_, "has another hard link, which would keep the sealed chart");
    if (const std::string refused = replacementRefusal(chartStatus_.attributes.bits); !refused.empty()) {
        throw refusal(chartPath_, refused);
    }
    std::error_code ec;
    ops_.checkFolderSync(folder_.handle(), ec);
    if (ec) throw RunError(folder_.path(), "cannot sync", ec);

    sizes_[0] = chartStatus_.size();
    for (int n = 2; n <= kSlotCount; ++n) {
        const FileHandle handle = ops_.openInFolder(folder_.handle(), sealedEntry(n), ec);
        if (ec) throw RunError(sealedName(n), "cannot open", ec);
        sealed_[n - 2] = File(ops_, sealedName(n), handle);
        sizes_[n] = sealed_[n - 2].status().size();
    }

    // Candidates whose parts agree with their names first; the others only
    // where none of those is sealed as the song is.
    std::vector<std::vector<Range>> layouts;
    std::size_t consistent = 0;
    for (const Split& split : splits()) {
        Layout layout = layoutFor(split);
        const auto at =
            layouts.begin() + static_cast<std::ptrdiff_t>(layout.consistent ? consistent++ : layouts.size());
        layouts.insert(at, std::move(layout.ranges));
    }
    if (layouts.empty()) {
        throw refusal(chartPath_,
                      "does not end as a sealed chart does (with the empty lines sealing adds); "
                      "the song is left as it is");
    }
    if (temp) {
        if (!leftoverMatches(layouts)) {
            throw refusal(tempName_,
                          "is not a leftover of an unfinished restore of this song; move it away to restore it");
        }
        remove(tempEntry_, tempName_);
        syncFolder();
    }

    chartExtended_ = ops_.extendedAttributes(chart_.handle(), ec);
    if (ec) throw RunError(chartPath_, "cannot read extended attributes", ec);
    folderGivesAccessList_ = givesAccessList(ops_, folder_);

    try {
        bool found = false;
        for (const std::vector<Range>& layout : layouts) {
            createTemporary(layout);
            if (reproducesSealedSong()) {
                found = true;
                break;
            }
            remove(tempEntry_, tempName_);
            tempCreated_ = false;
        }
        if (!found) {
            report_(shownName(chartPath_) +
                    ": sealing the restored chart would split its charts differently "
                    "from its sealed files; restoring it all the same");
            createTemporary(layouts.front());
            const FileHandle handle = ops_.openInFolder(folder_.handle(), tempEntry_, ec);
            if (ec) throw RunError(tempName_, "cannot open", ec);
            File restored(ops_, tempName_, handle);
            if (!tempLock_.tryLock(restored)) throw refusal(tempName_, "is locked by another run");
            restored.close();
        }
        // Its name is durable before the mark's can be: a mark without it
        // says the chart is restored.
        syncFolder();

        const FileHandle handle =
            ops_.createInFolder(folder_.handle(), markEntry_, creationAttributeBits(chartStatus_.attributes.bits), ec);
        if (ec) throw RunError(markName_, "cannot create", ec);
        markCreated_ = true;
        File mark(ops_, markName_, handle);
        mark.writeAll(kMark);
        mark.sync();
        mark.close();
        syncFolder();

        FileStatus named;
        if (!(chart_.identity() == chartStatus_.identity) ||
            !ops_.statusInFolder(folder_.handle(), chartEntry_, named, ec) ||
            !named.identity.sameFile(chartStatus_.identity)) {
            throw refusal(chartPath_, "changed while it was being restored; run chartunseal --restore again");
        }
        for (File& file : sealed_) file.close();
        chart_.close();
        ops_.renameInFolder(folder_.handle(), tempEntry_, chartEntry_, ec);
        if (ec) throw RunError(chartPath_, "cannot replace", ec);
        replaced_ = true;
        tempCreated_ = false;
    } catch (...) {
        discard();
        throw;
    }
    syncFolder();
    finishRemoval();
}

}  // namespace

std::string restoreTemporaryName(const std::string& base)
{
    return base + ".sm.restoring";
}

std::string restoreMarkName(const std::string& base)
{
    return base + ".sm.restored";
}

void restoreSong(FileOps& ops, const std::string& base, const std::function<void(const std::string&)>& report)
{
    Restore(ops, base, report).run();
}

int restoreSongs(FileOps& ops, const std::vector<std::string>& bases, std::ostream& err)
{
    int status = 0;
    const auto say = [&err](const std::string& line) { err << ("chartunseal: " + line + "\n") << std::flush; };
    for (const std::string& base : bases) {
        try {
            restoreSong(ops, base, say);
        } catch (const RunError& e) {
            say(e.what());
            status = 1;
        } catch (const std::exception& e) {
            say(shownName(base + ".sm") + ": " + e.what());
            status = 1;
        }
    }
    return status;
}

}  // namespace chartseal
