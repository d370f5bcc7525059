// Writing a song's outputs into an output tree. The chart is only read. Each
// output that differs from what the run writes becomes a new file of its own
// first, takes the chart's permissions before a byte goes in, is written and
// synced, and only then is renamed over its name; the folder is synced
// after the renames. So a name never leads to a partly written file, an
// output that is already right is never touched (its time stamps stay, and
// a build that depends on it sees no change), and nothing is written
// through a link or into a special file: both are refused at the compare.
#include "output/TreeWriter.h"

#include <algorithm>
#include <utility>

#include "output/ChartSealer.h"
#include "output/OutputBytes.h"
#include "output/Permissions.h"

namespace chartseal {

namespace {

// Write-back of an output starts after every so many bytes, with at most so
// much in flight, where each file is synced on its own.
constexpr std::size_t kWritebackEvery = std::size_t{2} << 20;
constexpr std::size_t kWritebackInFlight = std::size_t{64} << 20;

}  // namespace

std::string TreeWriter::outputEntry(const std::string& song, int number)
{
    return number == 1 ? song + ".sm" : SongPlan::outPath(song, number);
}

TreeWriter::TreeWriter(FileOps& ops, File& folder, std::string base, bool syncsAtBarrier,
                       std::function<void()> checkChart, std::function<void()> checkpoint)
    : ops_(ops),
      folder_(folder),
      base_(std::move(base)),
      atBarrier_(syncsAtBarrier),
      checkChart_(std::move(checkChart)),
      checkpoint_(std::move(checkpoint))
{
    if (!checkChart_) checkChart_ = [] {};
    if (!checkpoint_) checkpoint_ = [] {};
    const std::string song = entryOf(base_);
    const std::string folderName = base_.substr(0, base_.size() - song.size());
    for (int number = 1; number <= kSlotCount; ++number) {
        Output& out = outs_[static_cast<std::size_t>(number - 1)];
        out.entry = outputEntry(song, number);
        out.name = folderName + out.entry;
    }
}

TreeWriter::~TreeWriter()
{
    discard();
}

void TreeWriter::prepare(const SongPlan& plan, const SlotSet& slots, ChartStream& chart)
{
    plan_ = &plan;
    slots_ = &slots;
    chart_ = &chart;
}

int TreeWriter::compare(bool folderIsNew)
{
    chartStatus_ = chart_->file().status();
    block_.resize(static_cast<std::size_t>(
        std::clamp<std::uint64_t>(chartStatus_.size() + 1, 4096, ChartSealer::kBlockSize)));
    int differ = 0;
    for (int number = 1; number <= kSlotCount; ++number) {
        Output& out = outs_[static_cast<std::size_t>(number - 1)];
        FileStatus st;
        std::error_code ec;
        if (folderIsNew) {
            out.differs = true;
        } else if (!ops_.statusInFolder(folder_.handle(), out.entry, st, ec)) {
            if (ec) throw RunError(out.name, "cannot check", ec);
            out.differs = true;
        } else if (st.kind == FileKind::symbolicLink) {
            throw refusal(out.name, "is a symbolic link; outputs are never written through links; move it away");
        } else if (!st.isRegular()) {
            throw refusal(out.name, "is " + describeKind(st.kind) + ", not a regular file; move it away");
        } else {
            out.differs = st.size() != plan_->output(number).size ||
                          !attributesAsTaken(st.attributes, chartStatus_.attributes) || !sameBytes(number, st);
        }
        if (out.differs) ++differ;
        checkpoint_();
    }
    // What was compared is what the chart held throughout.
    checkChart_();
    compared_ = true;
    return differ;
}

bool TreeWriter::sameBytes(int number, const FileStatus& found)
{
    Output& out = outs_[static_cast<std::size_t>(number - 1)];
    if (found.size() == 0) return true;  // and this run writes nothing there
    std::error_code ec;
    const FileHandle handle = ops_.openInFolder(folder_.handle(), out.entry, ec);
    if (ec) throw RunError(out.name, "cannot read", ec);
    File file(ops_, out.name, handle);
    if (!file.status().identity.sameFile(found.identity)) {
        throw refusal(out.name, "was replaced while it was being compared; run again");
    }
    return holdsOutputBytes(*plan_, *slots_, chart_->file(), block_, number, file, found.size(), false);
}

std::vector<std::string> TreeWriter::differing() const
{
    std::vector<std::string> names;
    for (const Output& out : outs_) {
        if (out.differs) names.push_back(out.name);
    }
    return names;
}

bool TreeWriter::removeStale(const Output& out)
{
    // A new file a stopped run left: a regular file at the new file's name,
    // whose bytes are always to be made again. Anything else there is not
    // the run's, and is never removed or written through.
    const std::string partial = partialName(out.entry);
    const std::string shown = base_.substr(0, base_.size() - entryOf(base_).size()) + partial;
    FileStatus st;
    std::error_code ec;
    if (!ops_.statusInFolder(folder_.handle(), partial, st, ec)) {
        if (ec) throw RunError(shown, "cannot check", ec);
        return false;
    }
    if (!st.isRegular()) {
        throw refusal(shown, "is " + describeKind(st.kind) + ", not a file a stopped run left; move it away");
    }
    ops_.removeInFolder(folder_.handle(), partial, ec);
    if (ec) throw RunError(shown, "cannot remove", ec);
    return true;
}

void TreeWriter::removeLeftovers()
{
    // The new files a stopped run left beside outputs that are right now
    // (its rename done, or its bytes the same): they hold nothing to keep.
    bool removed = false;
    for (const Output& out : outs_) {
        if (!out.differs) removed = removeStale(out) || removed;
    }
    if (removed) folder_.sync();
}

void TreeWriter::writeNew()
{
    if (!compared_) throw std::logic_error("an output tree's files were written before they were compared");
    const bool folderGivesAccessList = givesAccessList(ops_, folder_);
    std::vector<ExtendedAttribute> chartExtended = [&] {
        std::error_code ec;
        std::vector<ExtendedAttribute> all = ops_.extendedAttributes(chart_->file().handle(), ec);
        if (ec) throw RunError(chart_->file().path(), "cannot read extended attributes", ec, Failure::chartUnreadable);
        return all;
    }();
    for (int number = 1; number <= kSlotCount; ++number) {
        Output& out = outs_[static_cast<std::size_t>(number - 1)];
        if (!out.differs) continue;
        const std::string partial = partialName(out.entry);
        std::error_code ec;
        const auto create = [&] {
            return ops_.createInFolder(folder_.handle(), partial, creationAttributeBits(chartStatus_.attributes.bits), ec);
        };
        FileHandle handle = create();
        if (ec == std::errc::file_exists) {
            // Left by a stopped run, most likely.
            removeStale(out);
            handle = create();
        }
        if (ec) {
            if (ec == std::errc::file_exists) throw refusal(out.name, "is being written by another run; run again");
            throw RunError(out.name, "cannot create", ec);
        }
        File file(ops_, out.name, handle);
        out.created = true;
        const FileStatus created = file.status();
        out.identity = created.identity;
        takeChartAttributes(ops_, file, out.name, created.attributes, chartStatus_.attributes, chartExtended,
                            folderGivesAccessList);
        if (!atBarrier_) file.startWritebackEvery(kWritebackEvery, kWritebackInFlight);
        outputBytes(*plan_, *slots_, chart_->file(), block_, number, [&](char* data, std::size_t n) {
            file.writeAll(data, n);
            checkpoint_();
        });
        if (!atBarrier_) file.sync();
        file.close();
        checkpoint_();
    }
    std::vector<char>().swap(block_);
    // The bytes written are the chart's as it was read, throughout.
    checkChart_();
}

void TreeWriter::putInPlace()
{
    // The sealed files first, the plain part last: a reader that goes by
    // the chart file finds the sealed files that belong to it.
    for (const int number : {2, 3, 4, 5, 6, 1}) {
        Output& out = outs_[static_cast<std::size_t>(number - 1)];
        if (!out.created) continue;
        std::error_code ec;
        ops_.renameInFolder(folder_.handle(), partialName(out.entry), out.entry, ec);
        if (ec) throw RunError(out.name, "cannot put in place", ec);
        out.placed = true;
    }
    if (!atBarrier_) folder_.sync();
}

void TreeWriter::discard() noexcept
{
    // Best effort: the new files hold nothing that is not made again.
    bool removed = false;
    for (Output& out : outs_) {
        if (!out.created || out.placed) continue;
        const std::string partial = partialName(out.entry);
        FileStatus st;
        std::error_code ec;
        if (!ops_.statusInFolder(folder_.handle(), partial, st, ec)) continue;
        if (out.identity && !st.identity.sameFile(*out.identity)) continue;
        ops_.removeInFolder(folder_.handle(), partial, ec);
        removed = removed || !ec;
    }
    if (removed && !atBarrier_) {
        std::error_code ec;
        ops_.sync(folder_.handle(), ec);
    }
}

}  // namespace chartseal
