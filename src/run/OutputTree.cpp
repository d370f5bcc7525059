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
FileHandle openOrMake(FileOps& ops, const std::string& path, std::uint32_t bits, int depth, std::error_code& ec)
{
    FileHandle handle = ops.openFolder(path, ec);
    if (ec != std::errc::no_such_file_or_directory || depth > kDeepest) return handle;
    const std::string above = folderOf(path);
    const std::string entry = entryOf(path);
    if (entry.empty() || entry == "." || entry == ".." || above == path) return handle;
    const FileHandle parent = openOrMake(ops, above, 0777, depth + 1, ec);
    if (ec) return kNoFile;
    File folder(ops, above, parent);
    ops.createFolderInFolder(parent, entry, bits, ec);
    if (ec && ec != std::errc::file_exists) return kNoFile;
    ops.sync(parent, ec);
    if (ec) return kNoFile;
    return ops.openFolder(path, ec);
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

OutputTree::OutputTree(FileOps& ops, std::string path, bool create, std::uint32_t bits)
    : ops_(ops), path_(withoutTrailingSeparators(std::move(path)))
{
    if (path_.empty()) throw refusal(path_, "names no folder; give --into a folder");
    std::error_code ec;
    const FileHandle handle = create ? openOrMake(ops_, path_, bits, 0, ec) : ops_.openFolder(path_, ec);
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
                made_.insert(key);
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

bool OutputTree::made(const std::vector<std::string>& rel)
{
    const std::lock_guard<std::mutex> guard(mutex_);
    return !rel.empty() && made_.count(outputKey(rel, "")) != 0;
}

void OutputTree::closeFolders()
{
    const std::lock_guard<std::mutex> guard(mutex_);
    folders_.clear();
}

namespace {

constexpr const char* kRecord = ".chartseal-outputs";

std::string recordLine(const TreeSong& song)
{
    std::string line;
    for (const std::string& part : song.rel) line += part + "/";
    return line + song.song;
}

}  // namespace

void OutputTree::readRecord()
{
    record_.clear();
    if (!top_.isOpen()) return;
    const std::string shownRecord = shown({}, kRecord);
    FileStatus st;
    std::error_code ec;
    if (!ops_.statusInFolder(top_.handle(), kRecord, st, ec)) {
        if (ec) throw RunError(shownRecord, "cannot check", ec);
        return;
    }
    if (!st.isRegular()) {
        throw refusal(shownRecord, "is " + describeKind(st.kind) + ", not the tree's record of its songs; move it away");
    }
    std::error_code ignored;
    FileStatus partial;
    partialLeft_ = ops_.statusInFolder(top_.handle(), std::string(".") + kRecord + ".partial", partial, ignored);
    const FileHandle handle = ops_.openInFolder(top_.handle(), kRecord, ec);
    if (ec) throw RunError(shownRecord, "cannot open", ec);
    File file(ops_, shownRecord, handle);
    std::string bytes;
    char block[64 << 10];
    while (const std::size_t n = file.readAt(block, sizeof block, bytes.size())) bytes.append(block, n);
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t end = bytes.find('\0', at);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = bytes.substr(at, end - at);
        at = end + 1;
        TreeSong song;
        std::size_t from = 0;
        for (std::size_t slash; (slash = line.find('/', from)) != std::string::npos; from = slash + 1) {
            song.rel.push_back(line.substr(from, slash - from));
        }
        song.song = line.substr(from);
        const bool usable = !song.song.empty() &&
                            std::none_of(song.rel.begin(), song.rel.end(), [](const std::string& part) {
                                return part.empty() || part == "." || part == "..";
                            }) &&
                            song.song != "." && song.song != "..";
        if (usable) record_.emplace(outputKey(song.rel, song.song), std::move(song));
    }
}

void OutputTree::writeRecord()
{
    // As every output: a new file, synced, renamed over the old record, the
    // folder synced.
    const std::string partial = std::string(".") + kRecord + ".partial";
    const std::string shownRecord = shown({}, kRecord);
    std::error_code ec;
    const auto create = [&] { return ops_.createInFolder(top_.handle(), partial, 0600, ec); };
    FileHandle handle = create();
    if (ec == std::errc::file_exists) {
        FileStatus st;
        std::error_code ignored;
        if (!ops_.statusInFolder(top_.handle(), partial, st, ignored) || !st.isRegular()) {
            throw refusal(shown({}, partial), "is not a file a stopped run left; move it away");
        }
        ops_.removeInFolder(top_.handle(), partial, ec);
        if (ec) throw RunError(shown({}, partial), "cannot remove", ec);
        handle = create();
    }
    if (ec) throw RunError(shownRecord, "cannot create", ec);
    File file(ops_, shown({}, partial), handle);
    std::string bytes;
    for (const auto& [key, song] : record_) bytes += recordLine(song) + '\0';
    // Its owner's alone: it names songs whose charts others may not read.
    try {
        file.writeAll(bytes);
        file.sync();
        file.close();
        ops_.renameInFolder(top_.handle(), partial, kRecord, ec);
        if (ec) throw RunError(shownRecord, "cannot replace", ec);
    } catch (...) {
        file = File();
        std::error_code ignored;
        ops_.removeInFolder(top_.handle(), partial, ignored);
        throw;
    }
    top_.sync();
}

void OutputTree::recordSongs(const std::vector<TreeSong>& songs)
{
    bool added = false;
    for (const TreeSong& song : songs) added = record_.emplace(outputKey(song.rel, song.song), song).second || added;
    // Nothing new, nothing written: a run with nothing to do writes nothing
    // (but where a stopped run left its new record).
    if (added || partialLeft_) writeRecord();
}

void OutputTree::staleOutputs(const std::set<std::string>& current, bool remove,
                              const std::function<void(const StaleOutput&)>& found)
{
    if (!top_.isOpen()) return;
    bool changed = false;
    for (auto it = record_.begin(); it != record_.end();) {
        const auto& [key, song] = *it;
        if (current.count(key) != 0) {
            ++it;
            continue;
        }
        StaleOutput stale;
        stale.output = shown(song.rel, song.song + ".sm");
        File* folder = nullptr;
        try {
            folder = this->folder(song.rel, false, {}, false);
        } catch (const RunError& e) {
            stale.message = e.what();
        }
        // The song's files, the sealed ones first, their removal made
        // durable before the chart file goes: while it is there, the record
        // and its name say whose the sealed files are.
        bool failed = !stale.message.empty();
        bool removedAny = false, anyLeft = false;
        const auto syncFolder = [&] {
            std::error_code ec;
            ops_.sync(folder->handle(), ec);
            if (ec) {
                stale.message = RunError(folder->path(), "cannot sync", ec).what();
                failed = true;
            }
            return !ec;
        };
        for (const int number : {2, 3, 4, 5, 6, 1}) {
            if (folder == nullptr || failed) break;
            if (number == 1 && removedAny && !syncFolder()) break;
            const std::string output = TreeWriter::outputEntry(song.song, number);
            for (const std::string& entry : {output, TreeWriter::partialName(output)}) {
                FileStatus st;
                std::error_code ec;
                if (!ops_.statusInFolder(folder->handle(), entry, st, ec)) {
                    if (ec) {
                        stale.message = RunError(shown(song.rel, entry), "cannot check", ec).what();
                        failed = true;
                    }
                    continue;
                }
                if (!st.isRegular()) {
                    // Never written by a run: left as it is, and said.
                    stale.message = shownName(shown(song.rel, entry)) + ": is " + describeKind(st.kind) +
                                    ", not an output; left as it is";
                    anyLeft = true;
                    continue;
                }
                stale.files.push_back(shown(song.rel, entry));
                if (!remove) {
                    anyLeft = true;
                    continue;
                }
                ops_.removeInFolder(folder->handle(), entry, ec);
                if (ec) {
                    stale.message = RunError(shown(song.rel, entry), "cannot remove", ec).what();
                    failed = true;
                    break;
                }
                removedAny = true;
            }
        }
        if (!failed && removedAny) syncFolder();
        const bool gone = !failed && !anyLeft;
        stale.removed = remove && gone && !stale.files.empty();
        if (!stale.files.empty() || !stale.message.empty()) found(stale);
        // A song whose files are all gone leaves the record.
        if (gone) {
            it = record_.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    if (changed && remove) writeRecord();
}

}  // namespace chartseal
