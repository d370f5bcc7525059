// Checking the output names, writing, sealing, syncing and the atomic
// replacement of the chart file.
#include "output/OutputWriter.h"

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "output/ChartSealer.h"

namespace chartseal {

namespace {

// Write-back of an output starts after every so many bytes, so that its
// final fsync has little left to wait for, with at most so much in flight.
constexpr std::size_t kWritebackEvery = std::size_t{2} << 20;
constexpr std::size_t kWritebackInFlight = std::size_t{64} << 20;

bool sameFile(const FileStatus& a, const FileStatus& b)
{
    return a.identity.sameFile(b.identity);
}

}  // namespace

OutputWriter::OutputWriter(FileOps& ops, std::function<void()> checkpoint)
    : ops_(ops), checkpoint_(std::move(checkpoint))
{
    if (!checkpoint_) checkpoint_ = [] {};
}

OutputWriter::~OutputWriter()
{
    if (!replaced_) discard();
}

std::string OutputWriter::outPath(const std::string& path, int number)
{
    return path + "_" + std::to_string(number) + ".dat";
}

int OutputWriter::plainSecondSlot(const OrdinalTable& ordinals)
{
    for (const int index : {kMedium, kHard, kChallenge, kBeginner, kEdit}) {
        if (ordinals.present(index)) return kDifficultyTable[index].slot;
    }
    return 0;
}

int OutputWriter::firstSealedSlot(const OrdinalTable& ordinals)
{
    const int plain = plainSecondSlot(ordinals);
    return plain == 0 ? 0 : plain + 1;
}

OutputWriter::Leftover OutputWriter::checkOutputs(const std::string& path, const std::string& inPath,
                                                  const FileStatus& chart)
{
    if (const std::string refusal = replacementRefusal(chart.attributes.bits); !refusal.empty()) {
        throw FileError(inPath, refusal);
    }
    FileStatus chartName;
    if (ops_.linkStatusOf(inPath, chartName) != 0) throw FileError::fromErrno(inPath, errno);
    const bool chartIsLink = chartName.kind == FileKind::symbolicLink;
    std::string chartTarget;
    if (chartIsLink) {
        chartTarget = ops_.resolve(inPath);
        if (chartTarget.empty()) throw FileError::fromErrno(inPath, "cannot resolve link", errno);
    }

    Leftover leftover = Leftover::none;
    for (int number = 1; number <= kSlotCount; ++number) {
        Output& out = fout[number - 1];
        out.name = outPath(path, number);
        out.found.reset();
        FileStatus st;
        if (ops_.linkStatusOf(out.name, st) != 0) {
            if (errno == ENOENT) continue;
            throw FileError::fromErrno(out.name, "cannot check", errno);
        }
        if (st.kind == FileKind::symbolicLink) {
            throw FileError(out.name, "is a symbolic link; outputs are never written through links");
        }
        if (!st.isRegular()) throw FileError(out.name, "is " + describeKind(st.kind) + ", not a regular file");
        if (sameFile(st, chart)) {
            // The chart name may be a link to this output name, or the two
            // names may share the file.
            const bool chartLeadsHere = chartIsLink && ops_.resolve(out.name) == chartTarget;
            if (chartLeadsHere) throw FileError(inPath, "leads to the output file " + out.name);
            if (number != 1) throw FileError(out.name, "is the same file as the chart " + inPath);
            // A run stopped half way through renaming its plain output file
            // over the chart: both names stand for the new chart.
            leftover = Leftover::afterReplacement;
            continue;
        }
        for (int other = 1; other < number; ++other) {
            const Output& earlier = fout[other - 1];
            if (earlier.found && sameFile(*earlier.found, st)) {
                throw FileError(out.name, "is the same file as " + earlier.name);
            }
        }
        out.found = st;
    }
    // Shared with a file outside the seven, an output would change it too.
    for (const Output& out : fout) {
        if (out.found && out.found->links > 1) {
            throw FileError(out.name, "has another hard link; outputs must be files of their own");
        }
    }

    if (leftover == Leftover::afterReplacement) {
        if (ops_.remove(fout[0].name) != 0) throw FileError::fromErrno(fout[0].name, "cannot remove", errno);
        syncDirectory(fout[0].name);
    } else if (fout[0].found) {
        leftover = Leftover::beforeReplacement;
    }
    return leftover;
}

void OutputWriter::checkNoSealedCharts(Leftover leftover) const
{
    if (leftover == Leftover::beforeReplacement) return;
    for (int number = 2; number <= kSlotCount; ++number) {
        const Output& out = fout[number - 1];
        if (out.found && out.found->size() > 0) {
            throw FileError(out.name, "already holds sealed charts; remove it to seal again");
        }
    }
}

void OutputWriter::createFiles(const std::string& path, const FileStatus& chart)
{
    try {
        for (int number = 1; number <= kSlotCount; ++number) {
            Output& out = fout[number - 1];
            out.name = outPath(path, number);
            FileHandle handle = kNoFile;
            if (out.found) {
                handle = ops_.openOutput(out.name, false);
                if (handle == kNoFile) throw FileError::fromErrno(out.name, "cannot open", errno);
            } else {
                handle = ops_.openOutput(out.name, true);
                if (handle == kNoFile) throw FileError::fromErrno(out.name, "cannot create", errno);
                out.created = true;
            }
            out.file = File(ops_, out.name, handle);
            out.file.startWritebackEvery(kWritebackEvery, kWritebackInFlight);
            out.opened = true;
            const FileStatus st = out.file.status();
            if (!st.isRegular()) throw FileError(out.name, "is " + describeKind(st.kind) + ", not a regular file");
            if (out.found && !sameFile(st, *out.found)) {
                throw FileError(out.name, "was replaced while it was being checked");
            }
            if (number == 1 && !plainLock_.tryLock(ops_, out.file)) {
                throw FileError(out.name, "is locked by another run");
            }
            if (st.size() > 0) {
                out.file.truncate();
                out.emptied = true;
            }
            takeChartAttributes(out, st.attributes, chart);
            checkpoint_();
        }
        syncDirectory(fout[0].name);
    } catch (...) {
        discard();
        throw;
    }
}

void OutputWriter::takeChartAttributes(Output& out, const FileAttributes& has, const FileStatus& chart)
{
    const FileHandle handle = out.file.handle();
    const FileAttributes& wanted = chart.attributes;
    if (has.owner != wanted.owner || has.group != wanted.group) {
        // Only root may give a file away; a member of the chart's group may
        // still give it the group. Otherwise the output stays the runner's.
        if (ops_.setOwner(handle, wanted.owner, wanted.group) != 0 && errno == EPERM &&
            ops_.setOwner(handle, static_cast<std::uint32_t>(-1), wanted.group) != 0 && errno != EPERM) {
            throw FileError::fromErrno(out.name, "cannot set owner", errno);
        }
    }
    if (ops_.setAttributes(handle, outputAttributeBits(wanted.bits)) != 0) {
        throw FileError::fromErrno(out.name, "cannot set permissions", errno);
    }
}

void OutputWriter::writeOutputs(const std::string& inPath, const OrdinalTable& ordinals, const SlotSet& slots,
                                ChartStream& chart, const FileIdentity& expected)
{
    std::string target;
    File& plain = fout[0].file;
    try {
        std::vector<char> block(ChartSealer::kBlockSize);
        auto copyPlain = [&](const Slot& slot) {
            readSlot(slot, chart.file(), block, [&](char* data, std::size_t n) {
                plain.writeAll(data, n);
                checkpoint_();
            });
            plain.writeAll("\n");
        };
        copyPlain(slots.str1);
        const int second = plainSecondSlot(ordinals);
        if (second != 0) copyPlain(slots.slot(second));
        const int first = firstSealedSlot(ordinals);
        if (first >= 3 && first <= kSlotCount) {
            for (int number = first; number <= kSlotCount; ++number) {
                ChartSealer::sealSlot(slots.slot(number), chart.file(), fout[number - 1].file, checkpoint_);
            }
        }

        // Every output reaches the disk before the chart is replaced: a sealed
        // file lost in a power cut after the replacement would lose its charts.
        // Their names are on disk since createFiles synced the folder, so an
        // output that was neither written nor emptied has nothing to sync.
        // All of their data is sent on its way first, so that the syncs wait
        // for it together rather than one file after another.
        for (Output& out : fout) out.file.startWritebackOfRest();
        for (Output& out : fout) {
            if (out.file.written() == 0 && !out.emptied) continue;
            out.file.sync();
            checkpoint_();
        }
        for (Output& out : fout) out.file.close();

        // The file to replace: the chart name itself, or where it is a
        // symbolic link, the file at the end of the link.
        FileStatus chartName;
        if (ops_.linkStatusOf(inPath, chartName) != 0) throw FileError::fromErrno(inPath, errno);
        target = inPath;
        if (chartName.kind == FileKind::symbolicLink) {
            target = ops_.resolve(inPath);
            if (target.empty()) throw FileError::fromErrno(inPath, "cannot resolve link", errno);
        }
        // The last look before the rename: a chart written to since it was
        // read (an editor saving it, a line appended) must not be replaced.
        // Then the chart is closed: Windows replaces no file that is open.
        FileStatus named;
        if (!(chart.file().identity() == expected) || ops_.statusOf(target, named) != 0 ||
            !named.identity.sameFile(expected)) {
            throw FileError(inPath, "changed while it was being sealed; run chartseal again");
        }
        chart.close();
        checkpoint_();
        if (ops_.replace(fout[0].name, target) != 0) {
            throw FileError::fromErrno(inPath, "cannot replace", errno);
        }
    } catch (...) {
        discard();
        throw;
    }
    // From here the chart holds its new bytes and the sealed files are
    // complete: nothing may be removed any more.
    replaced_ = true;
    syncDirectory(target);
    if (folderOf(target) != folderOf(fout[0].name)) syncDirectory(fout[0].name);
    // Letting go of the lock of the renamed plain file, which kept out a run
    // that opened the chart after the rename.
    plainLock_.release();
}

void OutputWriter::syncDirectory(const std::string& fileName)
{
    const std::string folder = folderOf(fileName);
    if (ops_.syncFolder(folder) != 0) throw FileError::fromErrno(folder, "cannot sync", errno);
}

void OutputWriter::discard()
{
    // Best effort: the first failure has already been reported, and the chart
    // file is untouched whatever happens here. The sealed files go first and
    // reach the disk empty before the plain output file goes, since a plain
    // output file is what tells the next run that sealed bytes beside it are
    // an unfinished run's.
    bool changed = false;
    for (int number = kSlotCount; number >= 2; --number) {
        Output& out = fout[number - 1];
        if (!out.opened) continue;
        changed = true;
        if (out.created) {
            out.file = File();
            ops_.remove(out.name);
            continue;
        }
        if (!out.file.isOpen()) {
            const FileHandle handle = ops_.openOutput(out.name, false);
            if (handle == kNoFile) continue;
            out.file = File(ops_, out.name, handle);
            FileStatus st;
            if (ops_.status(handle, st) != 0 || !sameFile(st, *out.found)) continue;
        }
        const FileHandle handle = out.file.handle();
        const FileAttributes& was = out.found->attributes;
        ops_.truncate(handle, 0);
        ops_.setOwner(handle, was.owner, was.group);
        ops_.setAttributes(handle, was.bits);
        ops_.sync(handle);
        out.file = File();
    }
    Output& plain = fout[0];
    if (plain.opened) {
        changed = true;
        plain.file = File();
        ops_.remove(plain.name);
    }
    plainLock_.release();
    for (Output& out : fout) {
        out.file = File();
        out.opened = out.created = out.emptied = false;
    }
    if (changed) {
        try {
            syncDirectory(plain.name);
        } catch (const FileError&) {
        }
    }
}

}  // namespace chartseal
