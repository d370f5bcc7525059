// The stages of one chart: survey, lock, partition, output.
#include "run/SealJob.h"

#include <utility>

namespace chartseal {

namespace {

// Opens the chart for the partition, in its folder, and takes its lock:
// open, lock, then make sure the entry still leads to the locked file, since
// a run that finished in between may have renamed a new file over it. The
// identity it had then is given in identity.
ChartStream openLocked(ChartScanner& scanner, FileOps& ops, File& folder, const std::string& entry,
                       const std::string& inPath, FileLock& lock, FileIdentity& identity)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        ChartStream fin = scanner.openChartInFolder(folder, entry, inPath);
        if (!lock.tryLock(fin.file())) {
            throw refusal(inPath, "another chartseal run is sealing it; try again when it has finished");
        }
        FileStatus named;
        std::error_code ec;
        if (!ops.statusInFolder(folder.handle(), entry, named, ec)) {
            if (!ec) ec = std::make_error_code(std::errc::no_such_file_or_directory);
            throw RunError(inPath, ec.message(), Failure::chartUnreadable);
        }
        identity = fin.file().identity();
        if (named.identity.sameFile(identity)) return fin;
        lock.release();
    }
    throw refusal(inPath, "keeps being replaced; run chartseal again");
}

}  // namespace

SealJob::SealJob(FileOps& ops, std::string base)
    : ops_(ops), base_(std::move(base)), chartPath_(base_ + ".sm"), scanner_(ops)
{
}

SealJob::SealJob(FileOps& ops, std::string base, File folder) : SealJob(ops, std::move(base))
{
    folder_.emplace(std::move(folder));
}

const OrdinalTable& SealJob::survey()
{
    if (chartPath_.find('\0') != std::string::npos) {
        throw RunError(chartPath_, "file name holds a zero byte", Failure::chartUnreadable);
    }
    // In a folder given, the chart is its entry there; otherwise it is
    // opened by its name, as typed.
    if (folder_) openFolder();
    ChartStream fin = folder_ ? scanner_.openChartInFolder(*folder_, entry_, chartPath_) : scanner_.openChart(chartPath_);
    surveyed_ = fin.file().identity();
    ordinals_ = ChartScanner::survey(fin);
    fin.close();
    return ordinals_;
}

void SealJob::openFolder()
{
    if (!folder_) {
        try {
            folder_.emplace(openFolderOf(ops_, chartPath_));
        } catch (const RunError& e) {
            throw e.as(Failure::chartUnreadable);
        }
    }
    entry_ = followLinksInFolder(*folder_, entryOf(chartPath_), chartPath_);
}

void SealJob::lockAndPartition()
{
    partition(true);
}

void SealJob::partitionUnlocked()
{
    partition(false);
}

void SealJob::partition(bool locked)
{
    if (entry_.empty()) openFolder();
    if (locked) {
        chart_.emplace(openLocked(scanner_, ops_, *folder_, entry_, chartPath_, lock_, expected_));
    } else {
        chart_.emplace(scanner_.openChartInFolder(*folder_, entry_, chartPath_));
        expected_ = chart_->file().identity();
    }
    if (!(expected_ == surveyed_)) {
        // Edited since its survey: the ordinals may no longer describe it.
        // The same survey goes on; another is refused.
        if (!(ChartScanner::survey(*chart_) == ordinals_) || !(chart_->file().identity() == expected_)) {
            throw refusal(chartPath_, "changed after its survey; run chartseal again");
        }
        chart_->rewind();
    }
    ChartScanner::partition(*chart_, ordinals_, slots_);
    plan_ = SongPlan(base_, ordinals_, slots_);
    // From here the chart is read by ranges, not lines.
    chart_->releaseBuffer();
}

OutputWriter& SealJob::writer(std::function<void()> checkpoint, std::function<void(const std::string&)> report,
                              OutputWriter::Syncs syncs)
{
    if (!writer_) {
        writer_.emplace(ops_, *folder_, base_, entry_, chartPath_, std::move(checkpoint), std::move(report), syncs);
        writer_->prepare(plan_, slots_, *chart_, expected_);
    }
    return *writer_;
}

TreeWriter& SealJob::treeWriter(File& outFolder, const std::string& outBase, bool syncsAtBarrier,
                                std::function<void()> checkpoint)
{
    if (!treeWriter_) {
        treeWriter_.emplace(ops_, outFolder, outBase, syncsAtBarrier, [this] { checkUnchanged(); }, std::move(checkpoint));
        treeWriter_->prepare(plan_, slots_, *chart_);
    }
    return *treeWriter_;
}

void SealJob::checkUnchanged()
{
    if (!unchangedAt(*folder_, entry_, chart_->file(), expected_)) {
        throw refusal(chartPath_, "changed while it was being read; run again");
    }
}

std::array<std::optional<FileStatus>, kSlotCount> SealJob::outputsFound()
{
    std::array<std::optional<FileStatus>, kSlotCount> found;
    for (int number = 1; number <= kSlotCount; ++number) {
        const std::string& name = plan_.output(number).name;
        FileStatus st;
        std::error_code ec;
        if (ops_.statusInFolder(folder_->handle(), entryOf(name), st, ec)) {
            found[static_cast<std::size_t>(number - 1)] = st;
        } else if (ec) {
            throw RunError(name, "cannot check", ec);
        }
    }
    return found;
}

void SealJob::seal(std::function<void()> checkpoint, std::function<void(const std::string&)> report)
{
    writer(std::move(checkpoint), std::move(report)).writeOutputs();
    release();
}

void SealJob::release()
{
    treeWriter_.reset();
    writer_.reset();
    chart_.reset();
    lock_.release();
    folder_.reset();
}

}  // namespace chartseal
