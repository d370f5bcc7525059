// Writing, sealing, syncing and the atomic replacement of the chart file.
#include "output/OutputWriter.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "output/ChartSealer.h"

namespace chartseal {

namespace {

std::string directoryOf(const std::string& fileName)
{
    const std::size_t slash = fileName.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return fileName.substr(0, slash);
}

// The file that the chart name stands for: the name itself, or where it is a
// symbolic link, the file at the end of the link, which is what the rename
// must replace.
std::string replacementTarget(const std::string& inPath)
{
    struct stat st {};
    if (::lstat(inPath.c_str(), &st) != 0) throw FileError::fromErrno(inPath, errno);
    if (!S_ISLNK(st.st_mode)) return inPath;
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(inPath.c_str(), nullptr), &std::free);
    if (!resolved) throw FileError::fromErrno(inPath, "cannot resolve link", errno);
    return resolved.get();
}

}  // namespace

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

void OutputWriter::checkNoSealedCharts(const std::string& path)
{
    for (int number = 2; number <= kSlotCount; ++number) {
        const std::string name = outPath(path, number);
        struct stat st {};
        if (ops_.stat(name, &st) != 0) {
            if (errno == ENOENT) continue;
            throw FileError::fromErrno(name, "cannot check", errno);
        }
        if (st.st_size > 0) throw FileError(name, "already holds sealed charts; remove it to seal again");
    }
}

void OutputWriter::createFiles(const std::string& path)
{
    try {
        for (int number = 1; number <= kSlotCount; ++number) {
            const std::string name = outPath(path, number);
            // Output file 1 is always a new regular file of this run, never a
            // leftover or a link: it is what gets renamed over the chart.
            if (number == 1 && ops_.unlink(name) != 0 && errno != ENOENT) {
                throw FileError::fromErrno(name, "cannot create", errno);
            }
            int fd = ops_.open(name, O_WRONLY | O_CREAT | O_EXCL, 0666);
            const bool created = fd >= 0;
            if (fd < 0 && errno == EEXIST && number > 1) fd = ops_.open(name, O_WRONLY | O_TRUNC, 0);
            if (fd < 0) throw FileError::fromErrno(name, "cannot create", errno);
            Output& out = fout[number - 1];
            out.name = name;
            out.created = created;
            out.file = File(ops_, name, fd);
            out.regular = S_ISREG(out.file.status().st_mode);
        }
    } catch (...) {
        discard();
        throw;
    }
}

void OutputWriter::writeOutputs(const std::string& inPath, const OrdinalTable& ordinals, const SlotSet& slots)
{
    std::string target;
    try {
        File& plain = fout[0].file;
        plain.writeAll(slots.str1);
        plain.writeAll("\n");
        const int second = plainSecondSlot(ordinals);
        if (second != 0) {
            plain.writeAll(slots.slot(second));
            plain.writeAll("\n");
        }
        const int first = firstSealedSlot(ordinals);
        if (first >= 3 && first <= kSlotCount) {
            for (int number = first; number <= kSlotCount; ++number) {
                ChartSealer::sealSlot(slots.slot(number), fout[number - 1].file);
            }
        }

        target = replacementTarget(inPath);
        struct stat chart {};
        if (ops_.stat(target, &chart) != 0) throw FileError::fromErrno(inPath, errno);
        if (ops_.fchmod(plain.fd(), chart.st_mode & 07777) != 0) {
            throw FileError::fromErrno(fout[0].name, "cannot set permissions", errno);
        }

        // Every output reaches the disk before the chart is replaced: a sealed
        // file lost in a power cut after the replacement would lose its charts.
        for (Output& out : fout) {
            if (out.regular) out.file.sync();
        }
        for (Output& out : fout) out.file.close();
        syncDirectory(fout[0].name);

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
    // file is untouched whatever happens here.
    for (Output& out : fout) {
        if (out.name.empty()) continue;
        if (out.file.isOpen()) {
            try {
                out.file.close();
            } catch (const FileError&) {
            }
        }
        if (out.created || &out == &fout[0]) {
            ops_.unlink(out.name);
        } else {
            const int fd = ops_.open(out.name, O_WRONLY | O_TRUNC, 0);
            if (fd >= 0) ops_.close(fd);
        }
        out.name.clear();
    }
}

}  // namespace chartseal
