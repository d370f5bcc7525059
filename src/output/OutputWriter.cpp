// Checking the output names, writing, sealing, syncing and the atomic
// replacement of the chart file.
#include "output/OutputWriter.h"

#include <fcntl.h>

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

std::string directoryOf(const std::string& fileName)
{
    const std::size_t slash = fileName.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return fileName.substr(0, slash);
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// What a file that is not a regular file is, for a message.
std::string kindOf(const struct stat& st)
{
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISCHR(st.st_mode)) return "a character device";
    if (S_ISBLK(st.st_mode)) return "a block device";
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    return "not a regular file";
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
                                                  const struct stat& chart)
{
    struct stat chartName {};
    if (ops_.lstat(inPath, &chartName) != 0) throw FileError::fromErrno(inPath, errno);
    const bool chartIsLink = S_ISLNK(chartName.st_mode);
    std::string chartTarget;
    if (chartIsLink) {
        chartTarget = ops_.realpath(inPath);
        if (chartTarget.empty()) throw FileError::fromErrno(inPath, "cannot resolve link", errno);
    }

    Leftover leftover = Leftover::none;
    for (int number = 1; number <= kSlotCount; ++number) {
        Output& out = fout[number - 1];
        out.name = outPath(path, number);
        out.found.reset();
        struct stat st {};
        if (ops_.lstat(out.name, &st) != 0) {
            if (errno == ENOENT) continue;
            throw FileError::fromErrno(out.name, "cannot check", errno);
        }
        if (S_ISLNK(st.st_mode)) throw FileError(out.name, "is a symbolic link; outputs are never written through links");
        if (!S_ISREG(st.st_mode)) throw FileError(out.name, "is " + kindOf(st) + ", not a regular file");
        if (sameFile(st, chart)) {
            // The chart name may be a link to this output name, or the two
            // names may share the file.
            const bool chartLeadsHere = chartIsLink && ops_.realpath(out.name) == chartTarget;
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
        if (out.found && out.found->st_nlink > 1) {
            throw FileError(out.name, "has another hard link; outputs must be files of their own");
        }
    }

    if (leftover == Leftover::afterReplacement) {
        if (ops_.unlink(fout[0].name) != 0) throw FileError::fromErrno(fout[0].name, "cannot remove", errno);
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
        if (out.found && out.found->st_size > 0) {
            throw FileError(out.name, "already holds sealed charts; remove it to seal again");
        }
    }
}

void OutputWriter::createFiles(const std::string& path, const struct stat& chart)
{
    try {
        for (int number = 1; number <= kSlotCount; ++number) {
            Output& out = fout[number - 1];
            out.name = outPath(path, number);
            // Never blocking (a FIFO put there since the check), never through a link.
            const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK;
            int fd = -1;
            if (out.found) {
                fd = ops_.open(out.name, flags, 0);
                if (fd < 0) throw FileError::fromErrno(out.name, "cannot open", errno);
            } else {
                fd = ops_.open(out.name, flags | O_CREAT | O_EXCL, 0600);
                if (fd < 0) throw FileError::fromErrno(out.name, "cannot create", errno);
                out.created = true;
            }
            out.file = File(ops_, out.name, fd);
            out.file.startWritebackEvery(kWritebackEvery, kWritebackInFlight);
            out.opened = true;
            const struct stat st = out.file.status();
            if (out.found && (!S_ISREG(st.st_mode) || !sameFile(st, *out.found))) {
                throw FileError(out.name, "was replaced while it was being checked");
            }
            if (number == 1 && !out.file.tryLock()) {
                throw FileError(out.name, "is locked by another run");
            }
            if (st.st_size > 0) {
                if (ops_.ftruncate(fd, 0) != 0) throw FileError::fromErrno(out.name, "cannot empty", errno);
                out.emptied = true;
            }
            takeChartAttributes(out, chart);
            checkpoint_();
        }
        syncDirectory(fout[0].name);
    } catch (...) {
        discard();
        throw;
    }
}

void OutputWriter::takeChartAttributes(Output& out, const struct stat& chart)
{
    const int fd = out.file.fd();
    const struct stat st = out.file.status();
    if (st.st_uid != chart.st_uid || st.st_gid != chart.st_gid) {
        // Only root may give a file away; a member of the chart's group may
        // still give it the group. Otherwise the output stays the runner's.
        if (ops_.fchown(fd, chart.st_uid, chart.st_gid) != 0 && errno == EPERM &&
            ops_.fchown(fd, static_cast<uid_t>(-1), chart.st_gid) != 0 && errno != EPERM) {
            throw FileError::fromErrno(out.name, "cannot set owner", errno);
        }
    }
    if (ops_.fchmod(fd, chart.st_mode & 0777) != 0) {
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
        for (int number = 2; number <= kSlotCount; ++number) fout[number - 1].file.close();

        // The file to replace: the chart name itself, or where it is a
        // symbolic link, the file at the end of the link.
        struct stat chartName {};
        if (ops_.lstat(inPath, &chartName) != 0) throw FileError::fromErrno(inPath, errno);
        target = inPath;
        if (S_ISLNK(chartName.st_mode)) {
            target = ops_.realpath(inPath);
            if (target.empty()) throw FileError::fromErrno(inPath, "cannot resolve link", errno);
        }
        // The last look before the rename: a chart written to since it was
        // read (an editor saving it, a line appended) must not be replaced.
        struct stat named {};
        if (!(chart.file().identity() == expected) || ops_.stat(target, &named) != 0 ||
            !FileIdentity::of(named).sameFile(expected)) {
            throw FileError(inPath, "changed while it was being sealed; run chartseal again");
        }
        checkpoint_();
        if (ops_.rename(fout[0].name, target) != 0) {
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
    if (directoryOf(target) != directoryOf(fout[0].name)) syncDirectory(fout[0].name);
    // Closing the renamed plain file lets go of its lock, which kept out a run
    // that opened the chart after the rename.
    plain.close();
}

void OutputWriter::syncDirectory(const std::string& fileName)
{
    const std::string dir = directoryOf(fileName);
    const int fd = ops_.open(dir, O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) throw FileError::fromErrno(dir, "cannot open directory", errno);
    File file(ops_, dir, fd);
    file.sync();
    file.close();
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
            ops_.unlink(out.name);
            continue;
        }
        if (!out.file.isOpen()) {
            const int fd = ops_.open(out.name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK, 0);
            if (fd < 0) continue;
            out.file = File(ops_, out.name, fd);
            struct stat st {};
            if (ops_.fstat(fd, &st) != 0 || !sameFile(st, *out.found)) continue;
        }
        const int fd = out.file.fd();
        ops_.ftruncate(fd, 0);
        ops_.fchown(fd, out.found->st_uid, out.found->st_gid);
        ops_.fchmod(fd, out.found->st_mode & 07777);
        ops_.fsync(fd);
        out.file = File();
    }
    Output& plain = fout[0];
    if (plain.opened) {
        changed = true;
        plain.file = File();
        ops_.unlink(plain.name);
    }
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
