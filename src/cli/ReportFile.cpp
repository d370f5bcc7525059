// Where the report goes and how it is put there.
#include "cli/ReportFile.h"

#include <optional>
#include <utility>

#include "output/Permissions.h"

namespace chartseal {

namespace {

// As many links of links as the system itself follows.
constexpr int kMaxLinks = 40;

// name in the folder named folder, for messages.
std::string joinedName(const std::string& folder, const std::string& name)
{
    if (folder == ".") return name;
    return folder.ends_with('/') ? folder + name : folder + "/" + name;
}

// The entry that path leads to after the links at its end, each followed
// from the folder that holds it: the folder (opened) and the entry's name,
// whether it exists and what it is.
struct Target {
    std::string path;
    File folder;
    std::string entry;
    bool exists = false;
    FileStatus status;
};

Target followLinks(FileOps& ops, const std::string& given)
{
    Target target;
    target.path = given;
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
        target.entry = entryOf(target.path);
        if (target.entry.empty() || target.entry == "." || target.entry == "..") {
            throw refusal(given, "is a directory; give the report a file name");
        }
        target.folder = openFolderOf(ops, target.path);
        std::error_code ec;
        target.exists = ops.statusInFolder(target.folder.handle(), target.entry, target.status, ec);
        if (ec) throw RunError(given, "cannot stat", ec);
        if (!target.exists || target.status.kind != FileKind::symbolicLink) return target;
        const std::string link = ops.readLinkInFolder(target.folder.handle(), target.entry, ec);
        if (ec) throw RunError(given, "cannot follow the symbolic link", ec);
        if (link.empty()) throw refusal(given, "is a symbolic link to nothing");
        target.path = link.starts_with('/') ? link : joinedName(folderOf(target.path), link);
    }
    throw refusal(given, "has too many levels of symbolic links");
}

}  // namespace

ReportFile::ReportFile(FileOps& ops, const std::string& path, const std::vector<std::string>& folders)
    : ops_(ops), path_(path)
{
    if (path.empty()) throw refusal(path, "names no file");
    // What the system itself finds there, links followed: it alone knows
    // where a link such as /dev/stdout leads when that has no name.
    FileStatus found;
    std::error_code ec;
    const bool exists = ops.statusOfPath(path, found, ec);
    if (ec) throw RunError(path, "cannot stat", ec);
    if (exists && found.kind == FileKind::directory) {
        throw refusal(path, "is a directory; give the report a file name");
    }
    Target target = followLinks(ops, path);
    if (const auto folder = enclosingFolder(ops, target.folder, folders, path)) {
        throw refusal(path, "is inside " + shownName(*folder) +
                                ", a folder the run works on; give the report a name outside the folders");
    }
    targetPath_ = target.path;
    if (exists && found.kind != FileKind::regular) {
        // Written through, never replaced.
        const FileHandle handle = ops.openForWriting(path, ec);
        if (ec) throw RunError(path, "cannot open", ec);
        file_ = File(ops, path, handle);
        const FileKind opened = file_.status().kind;
        if (opened == FileKind::regular || opened == FileKind::directory) {
            file_ = File();
            throw refusal(path, "was replaced while it was opened; run again");
        }
        device_ = true;
        return;
    }
    if (target.exists && target.status.kind != FileKind::regular) {
        throw refusal(path, "is " + describeKind(target.status.kind) + "; give the report a file name");
    }
    folder_ = std::move(target.folder);
    entry_ = std::move(target.entry);
}

std::string ReportFile::partialPath() const
{
    return joinedName(folderOf(targetPath_), "." + entry_ + ".partial");
}

void ReportFile::create()
{
    if (device_ || file_.isOpen()) return;
    const std::string partial = "." + entry_ + ".partial";
    FileStatus st;
    std::error_code ec;
    if (ops_.statusInFolder(folder_.handle(), partial, st, ec)) {
        // A stopped run's report is a regular file; nothing else there is
        // ever written through or removed.
        if (st.kind != FileKind::regular) {
            throw refusal(partialPath(), "is " + describeKind(st.kind) +
                                             ", not a report a stopped run left; move it away to write the report");
        }
        ops_.removeInFolder(folder_.handle(), partial, ec);
        if (ec) throw RunError(partialPath(), "cannot remove", ec);
    } else if (ec) {
        throw RunError(partialPath(), "cannot stat", ec);
    }
    const FileHandle handle = ops_.createInFolder(folder_.handle(), partial, 0600, ec);
    if (ec) throw RunError(partialPath(), "cannot create", ec);
    partial_ = partial;
    file_ = File(ops_, path_, handle);
    // The report a file it replaces was, or a new file's usual permissions:
    // never only the runner's where others could read what it replaces.
    FileStatus replaced;
    const bool replacing = ops_.statusInFolder(folder_.handle(), entry_, replaced, ec) && replaced.isRegular();
    if (ec) throw RunError(path_, "cannot stat", ec);
    const std::uint32_t bits = replacing ? outputAttributeBits(replaced.attributes.bits) : newFileBits();
    if (bits != 0) {
        ops_.setAttributes(handle, bits, ec);
        if (ec) throw RunError(partialPath(), "cannot set permissions", ec);
    }
}

void ReportFile::write(std::string_view line)
{
    file_.writeAll(line);
}

void ReportFile::finish()
{
    try {
        if (device_) {
            file_.close();
            return;
        }
        file_.sync();
        file_.close();
        // A link or anything but a file put at the name during the run is
        // not replaced.
        FileStatus st;
        std::error_code ec;
        if (ops_.statusInFolder(folder_.handle(), entry_, st, ec) && st.kind != FileKind::regular) {
            throw refusal(path_, "became " + describeKind(st.kind) + " during the run; the report is not written");
        }
        if (ec) throw RunError(path_, "cannot stat", ec);
        ops_.renameInFolder(folder_.handle(), partial_, entry_, ec);
        if (ec) throw RunError(path_, "cannot replace", ec);
        partial_.clear();
        folder_.sync();
    } catch (...) {
        abandon();
        throw;
    }
}

void ReportFile::abandon() noexcept
{
    file_ = File();
    if (partial_.empty()) return;
    std::error_code ignored;
    ops_.removeInFolder(folder_.handle(), partial_, ignored);
    partial_.clear();
}

}  // namespace chartseal
