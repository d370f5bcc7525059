// The output tree: its top, its folders and what is stale in it.
#include "run/OutputTree.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "output/Permissions.h"
#include "output/TreeWriter.h"
#include "chart/SlotSet.h"

namespace chartseal {

namespace {

constexpr int kDeepest = 256;

std::string withoutTrailingSeparators(std::string path)
{
    while (path.size() > 1 && (path.back() == '/' || (namesIgnoreCase() && path.back() == '\\'))) path.pop_back();
    return path;
}

// Opens the folder at path, making it and the folders above it where they
// are missing.
FileHandle openOrMake(FileOps& ops, const std::string& path, int depth, std::error_code& ec)
{
    FileHandle handle = ops.openFolder(path, ec);
    if (ec != std::errc::no_such_file_or_directory || depth > kDeepest) return handle;
    const std::string above = folderOf(path);
    const std::string entry = entryOf(path);
    if (entry.empty() || entry == "." || entry == ".." || above == path) return handle;
    const FileHandle parent = openOrMake(ops, above, depth + 1, ec);
    if (ec) return kNoFile;
    File folder(ops, above, parent);
    ops.createFolderInFolder(parent, entry, 0777, ec);
    if (ec && ec != std::errc::file_exists) return kNoFile;
    ops.sync(parent, ec);
    if (ec) return kNoFile;
    return ops.openFolder(path, ec);
}

// What kind of name an entry of the tree is: the chart file or a sealed file
// of the song named, or the new file of one.
struct OutputName {
    std::string song;
    bool chart = false;
    bool partial = false;
};
std::optional<OutputName> outputName(const std::string& entry)
{
    std::string name = entry;
    bool partial = false;
    if (name.size() > 9 && name.front() == '.' && name.ends_with(".partial")) {
        name = name.substr(1, name.size() - 9);
        partial = true;
    }
    if (name.size() > 3 && name.ends_with(".sm")) return OutputName{name.substr(0, name.size() - 3), true, partial};
    if (name.size() > 6 && name.ends_with(".dat") && name[name.size() - 6] == '_' && name[name.size() - 5] >= '2' &&
        name[name.size() - 5] <= '0' + kSlotCount) {
        return OutputName{name.substr(0, name.size() - 6), false, partial};
    }
    return std::nullopt;
}

}  // namespace

std::string outputKey(const std::vector<std::string>& rel, const std::string& song)
{
    std::string key;
    for (const std::string& entry : rel) key += entry + "/";
    key += song;
    if (namesIgnoreCase()) {
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    return key;
}

OutputTree::OutputTree(FileOps& ops, std::string path, bool create)
    : ops_(ops), path_(withoutTrailingSeparators(std::move(path)))
{
    if (path_.empty()) throw refusal(path_, "names no folder; give --into a folder");
    std::error_code ec;
    const FileHandle handle = create ? openOrMake(ops_, path_, 0, ec) : ops_.openFolder(path_, ec);
    if (ec == std::errc::no_such_file_or_directory && !create) return;
    if (ec) throw RunError(path_, create ? "cannot make or open folder" : "cannot open folder", ec);
    top_ = File(ops_, path_, handle);
    if (top_.status().kind != FileKind::directory) {
        top_ = File();
        throw refusal(path_, "is not a folder; give --into a folder");
    }
}

void OutputTree::lock()
{
    if (!lock_.tryLock(top_)) {
        throw refusal(path_, "another chartseal-library run is writing into it; try again when it has finished");
    }
}

std::string OutputTree::shown(const std::vector<std::string>& rel, const std::string& entry) const
{
    std::string name = path_ == "/" ? "" : path_;
    for (const std::string& part : rel) name += "/" + part;
    return name + "/" + entry;
}

File* OutputTree::folder(const std::vector<std::string>& rel, bool create, const FileAttributes& like, bool syncEach)
{
    const std::lock_guard<std::mutex> guard(mutex_);
    if (!top_.isOpen()) return nullptr;
    File* here = &top_;
    std::vector<std::string> done;
    for (const std::string& entry : rel) {
        done.push_back(entry);
        const std::string key = outputKey(done, "");
        if (const auto known = folders_.find(key); known != folders_.end()) {
            here = &known->second;
            continue;
        }
        const std::string name = shown(std::vector<std::string>(done.begin(), done.end() - 1), entry);
        std::error_code ec;
        FileHandle handle = ops_.openFolderInFolder(here->handle(), entry, ec);
        if (ec == std::errc::no_such_file_or_directory) {
            if (!create) return nullptr;
            ops_.createFolderInFolder(here->handle(), entry, (like.bits & 0777) | 0700, ec);
            if (ec && ec != std::errc::file_exists) throw RunError(name, "cannot make folder", ec);
            handle = ops_.openFolderInFolder(here->handle(), entry, ec);
            if (!ec) {
                File made(ops_, name, handle);
                const FileStatus st = made.status();
                // Its group's members may list no more than the source
                // folder's could.
                if (st.attributes.group != like.group) {
                    std::error_code notPermitted;
                    ops_.setOwner(made.handle(), kKeepOwner, like.group, notPermitted);
                    if (notPermitted) {
                        ops_.setAttributes(made.handle(), withoutGroupAccess(outputAttributeBits(st.attributes.bits)), ec);
                        if (ec) throw RunError(name, "cannot set permissions", ec);
                    }
                }
                if (syncEach) here->sync();
                here = &folders_.emplace(key, std::move(made)).first->second;
                continue;
            }
        }
        if (ec) {
            FileStatus st;
            std::error_code ignored;
            if (ops_.statusInFolder(here->handle(), entry, st, ignored) && st.kind != FileKind::directory) {
                throw refusal(name, "is " + describeKind(st.kind) +
                                        ", not a folder; outputs are never written through links; move it away");
            }
            throw RunError(name, "cannot open folder", ec);
        }
        here = &folders_.emplace(key, File(ops_, name, handle)).first->second;
    }
    return here;
}

void OutputTree::closeFolders()
{
    const std::lock_guard<std::mutex> guard(mutex_);
    folders_.clear();
}

void OutputTree::staleOutputs(const std::set<std::string>& current, bool remove,
                              const std::function<void(const StaleOutput&)>& found,
                              const std::function<void(const std::string&, const std::string&)>& unreadable)
{
    if (!top_.isOpen()) return;
    walkStale(top_, "", 0, current, remove, found, unreadable);
}

void OutputTree::walkStale(File& folder, const std::string& rel, int depth, const std::set<std::string>& current,
                           bool remove, const std::function<void(const StaleOutput&)>& found,
                           const std::function<void(const std::string&, const std::string&)>& unreadable)
{
    std::error_code ec;
    std::vector<FolderEntry> entries = ops_.listFolder(folder.handle(), ec);
    if (ec) return unreadable(folder.path(), "cannot read folder: " + ec.message());
    std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    const std::string prefix = folder.path() == "/" ? "/" : folder.path() + "/";

    // The stale outputs of each song, by its name: its chart file and the
    // sealed files beside it; a new file left over stands alone.
    std::map<std::string, StaleOutput> songs;
    std::vector<StaleOutput> partials;
    for (const FolderEntry& entry : entries) {
        if (entry.kind != FileKind::regular) continue;
        const std::optional<OutputName> name = outputName(entry.name);
        if (!name) continue;
        const std::string key = outputKey({}, rel + name->song);
        if (name->partial) {
            partials.push_back({prefix + entry.name, {entry.name}, false, ""});
            continue;
        }
        if (current.count(key) != 0) continue;
        StaleOutput& song = songs[name->song];
        if (name->chart) song.output = prefix + entry.name;
        song.files.push_back(entry.name);
    }
    const auto removeAll = [&](StaleOutput& stale) {
        if (!remove) return;
        // The sealed files first: while the chart file is there, a run that
        // stopped half way finds them again by it.
        std::vector<std::string> order = stale.files;
        std::stable_partition(order.begin(), order.end(), [](const std::string& entry) { return !entry.ends_with(".sm"); });
        for (const std::string& entry : order) {
            // The chart file goes once the sealed files' removals are
            // durable: a file system may persist a folder's changes out of
            // order, and sealed files left without their chart file would be
            // listed and removed by no later run.
            if (entry.ends_with(".sm") && entry != order.front()) {
                ops_.sync(folder.handle(), ec);
                if (ec) {
                    stale.message = shownName(folder.path()) + ": cannot sync: " + ec.message();
                    return;
                }
            }
            ops_.removeInFolder(folder.handle(), entry, ec);
            if (ec) {
                stale.message = shownName(prefix + entry) + ": cannot remove: " + ec.message();
                return;
            }
        }
        ops_.sync(folder.handle(), ec);
        if (ec) {
            stale.message = shownName(folder.path()) + ": cannot sync: " + ec.message();
            return;
        }
        stale.removed = true;
    };
    for (auto& [song, stale] : songs) {
        // Sealed files without the chart file are no song's outputs for
        // certain: they are left alone, and not counted.
        if (stale.output.empty()) continue;
        removeAll(stale);
        found(stale);
    }
    for (StaleOutput& partial : partials) {
        removeAll(partial);
        found(partial);
    }

    for (const FolderEntry& entry : entries) {
        if (entry.kind != FileKind::directory) continue;
        if (depth + 1 >= kDeepest) continue;
        const FileHandle handle = ops_.openFolderInFolder(folder.handle(), entry.name, ec);
        if (ec) {
            unreadable(prefix + entry.name, "cannot read folder: " + ec.message());
            continue;
        }
        File below(ops_, prefix + entry.name, handle);
        walkStale(below, rel + entry.name + "/", depth + 1, current, remove, found, unreadable);
    }
}

}  // namespace chartseal
