// The in-memory folder: files, entries, and what of them is durable.
#include "MemoryFileSystem.h"

#include <algorithm>
#include <cstring>

namespace chartseal::test {

namespace {

constexpr std::uint64_t kDevice = 7;
const std::string kFolder = ".";

void fail(std::error_code& ec, std::errc error)
{
    ec = std::make_error_code(error);
}

}  // namespace

MemoryFileSystem::MemoryFileSystem(State disk)
{
    state_ = std::move(disk);
    for (auto& [inode, file] : state_.inodes) {
        file.durable = file.current;
        file.durableMode = file.mode;
        nextInode_ = std::max(nextInode_, inode + 1);
    }
    state_.durableEntries = state_.entries;
    state_.pending.clear();
}

void MemoryFileSystem::addFile(const std::string& name, const std::string& bytes, std::uint32_t mode)
{
    const ino_t inode = nextInode_++;
    state_.inodes[inode] = Inode{bytes, bytes, mode, mode};
    state_.entries[name] = inode;
    state_.durableEntries[name] = inode;
}

std::optional<std::string> MemoryFileSystem::contents(const std::string& name) const
{
    const auto entry = state_.entries.find(name);
    if (entry == state_.entries.end()) return std::nullopt;
    return state_.inodes.at(entry->second).current;
}

std::optional<std::uint32_t> MemoryFileSystem::mode(const std::string& name) const
{
    const auto entry = state_.entries.find(name);
    if (entry == state_.entries.end()) return std::nullopt;
    return state_.inodes.at(entry->second).mode;
}

std::vector<std::string> MemoryFileSystem::names() const
{
    std::vector<std::string> all;
    for (const auto& entry : state_.entries) all.push_back(entry.first);
    return all;
}

bool MemoryFileSystem::counted(std::error_code& ec, FileHandle fd, bool folder)
{
    if (!kept_ && count_ == keepAfter_) kept_ = state_;
    ++count_;
    ec.clear();
    if (fd != kNoFile && open_.count(fd) == 0) {
        fail(ec, std::errc::bad_file_descriptor);
        return false;
    }
    if (folder && open_[fd].inode != 0) {
        fail(ec, std::errc::not_a_directory);
        return false;
    }
    return true;
}

FileHandle MemoryFileSystem::opened(Open handle)
{
    const FileHandle fd = nextFd_++;
    open_[fd] = handle;
    return fd;
}

MemoryFileSystem::Inode& MemoryFileSystem::touched(ino_t inode)
{
    modified_[inode] = ++clock_;
    return state_.inodes.at(inode);
}

void MemoryFileSystem::fill(ino_t inode, FileStatus& st) const
{
    st = {};
    st.identity.volume = kDevice + volume_;
    if (inode == 0) {
        st.kind = FileKind::directory;
        st.attributes.bits = 0755;
        st.links = 2;
        return;
    }
    const Inode& file = state_.inodes.at(inode);
    st.kind = FileKind::regular;
    st.identity.index = inode;
    st.attributes.bits = file.mode;
    st.identity.size = file.current.size();
    st.links = static_cast<std::uint64_t>(
        std::count_if(state_.entries.begin(), state_.entries.end(), [&](const auto& e) { return e.second == inode; }));
    const auto at = modified_.find(inode);
    const long when = at == modified_.end() ? 0 : at->second;
    st.identity.modified = when;
    st.identity.changed = when;
}

FileHandle MemoryFileSystem::openFolder(const std::string& path, std::error_code& ec)
{
    counted(ec);
    if (path != kFolder) {
        fail(ec, std::errc::no_such_file_or_directory);
        return kNoFile;
    }
    return opened({});
}

FileHandle MemoryFileSystem::openFolderInFolder(FileHandle folder, const std::string&, std::error_code& ec)
{
    if (counted(ec, folder, true)) fail(ec, std::errc::no_such_file_or_directory);
    return kNoFile;
}

FileHandle MemoryFileSystem::openForReading(const std::string& path, std::error_code& ec)
{
    counted(ec);
    if (path == kFolder) return opened({});
    const std::string name = path.starts_with("./") ? path.substr(2) : path;
    const auto entry = state_.entries.find(name);
    if (entry == state_.entries.end()) {
        fail(ec, std::errc::no_such_file_or_directory);
        return kNoFile;
    }
    return opened({entry->second, false, 0});
}

FileHandle MemoryFileSystem::openInFolder(FileHandle folder, const std::string& name, std::error_code& ec)
{
    if (!counted(ec, folder, true)) return kNoFile;
    const auto entry = state_.entries.find(name);
    if (entry == state_.entries.end()) {
        fail(ec, std::errc::no_such_file_or_directory);
        return kNoFile;
    }
    return opened({entry->second, false, 0});
}

FileHandle MemoryFileSystem::openParentFolder(FileHandle folder, std::error_code& ec)
{
    if (!counted(ec, folder, true)) return kNoFile;
    return opened({});
}

FileHandle MemoryFileSystem::openForWriting(const std::string& path, std::error_code& ec)
{
    counted(ec);
    const std::string name = path.starts_with("./") ? path.substr(2) : path;
    if (name == kFolder) {
        fail(ec, std::errc::is_a_directory);
        return kNoFile;
    }
    const auto entry = state_.entries.find(name);
    if (entry == state_.entries.end()) {
        fail(ec, std::errc::no_such_file_or_directory);
        return kNoFile;
    }
    return opened({entry->second, true, 0});
}

void MemoryFileSystem::createFolderInFolder(FileHandle folder, const std::string& name, std::uint32_t,
                                            std::error_code& ec)
{
    if (!counted(ec, folder, true)) return;
    fail(ec, state_.entries.count(name) != 0 ? std::errc::file_exists : std::errc::permission_denied);
}

FileHandle MemoryFileSystem::createInFolder(FileHandle folder, const std::string& name, std::uint32_t bits,
                                            std::error_code& ec)
{
    if (!counted(ec, folder, true)) return kNoFile;
    if (state_.entries.count(name) != 0) {
        fail(ec, std::errc::file_exists);
        return kNoFile;
    }
    const ino_t inode = nextInode_++;
    // A new file's mode is on disk with its name.
    state_.inodes[inode] = Inode{"", "", bits & 0700, bits & 0700};
    state_.entries[name] = inode;
    state_.pending.push_back({FolderChange::link, name, "", inode});
    touched(inode);
    return opened({inode, true, 0});
}

std::size_t MemoryFileSystem::readAt(FileHandle fd, void* buf, std::size_t count, std::uint64_t offset,
                                     std::error_code& ec)
{
    if (!counted(ec, fd)) return 0;
    const Open& handle = open_[fd];
    if (handle.inode == 0) {
        fail(ec, std::errc::is_a_directory);
        return 0;
    }
    const std::string& bytes = state_.inodes.at(handle.inode).current;
    const auto from = static_cast<std::size_t>(offset);
    if (from >= bytes.size()) return 0;
    const std::size_t n = std::min(count, bytes.size() - from);
    std::memcpy(buf, bytes.data() + from, n);
    return n;
}

std::size_t MemoryFileSystem::write(FileHandle fd, const void* buf, std::size_t count, std::error_code& ec)
{
    if (!counted(ec, fd)) return 0;
    Open& handle = open_[fd];
    if (!handle.writable || handle.inode == 0) {
        fail(ec, std::errc::bad_file_descriptor);
        return 0;
    }
    std::string& bytes = touched(handle.inode).current;
    if (bytes.size() < handle.offset + count) bytes.resize(handle.offset + count, '\0');
    bytes.replace(handle.offset, count, static_cast<const char*>(buf), count);
    handle.offset += count;
    return count;
}

FileStatus MemoryFileSystem::status(FileHandle fd, std::error_code& ec)
{
    FileStatus st;
    if (counted(ec, fd)) fill(open_[fd].inode, st);
    return st;
}

bool MemoryFileSystem::statusInFolder(FileHandle folder, const std::string& name, FileStatus& st, std::error_code& ec)
{
    if (!counted(ec, folder, true)) return false;
    const auto entry = state_.entries.find(name);
    if (entry == state_.entries.end()) return false;
    fill(entry->second, st);
    return true;
}

bool MemoryFileSystem::statusOfPath(const std::string& path, FileStatus& st, std::error_code& ec)
{
    counted(ec);
    const std::string name = path.starts_with("./") ? path.substr(2) : path;
    if (name == kFolder) {
        fill(0, st);
        return true;
    }
    const auto entry = state_.entries.find(name);
    if (entry == state_.entries.end()) return false;
    fill(entry->second, st);
    return true;
}

std::string MemoryFileSystem::readLinkInFolder(FileHandle folder, const std::string&, std::error_code& ec)
{
    // The folder holds no links.
    if (counted(ec, folder, true)) fail(ec, std::errc::invalid_argument);
    return {};
}

void MemoryFileSystem::setAttributes(FileHandle fd, std::uint32_t bits, std::error_code& ec)
{
    if (!counted(ec, fd)) return;
    if (open_[fd].inode != 0) state_.inodes.at(open_[fd].inode).mode = bits & 07777;
}

void MemoryFileSystem::setExtendedAttribute(FileHandle fd, const std::string&, const std::optional<std::string>& value,
                                            std::error_code& ec)
{
    if (counted(ec, fd) && value) fail(ec, std::errc::operation_not_supported);
}

bool MemoryFileSystem::readable(std::error_code& ec, FileHandle fd)
{
    if (folderUnreadable_ && open_[fd].inode == 0) {
        fail(ec, std::errc::permission_denied);
        return false;
    }
    return true;
}

void MemoryFileSystem::sync(FileHandle fd, std::error_code& ec)
{
    if (!counted(ec, fd) || !readable(ec, fd)) return;
    const ino_t inode = open_[fd].inode;
    if (inode == 0) {
        state_.durableEntries = state_.entries;
        state_.pending.clear();
        return;
    }
    Inode& file = state_.inodes.at(inode);
    file.durable = file.current;
    file.durableMode = file.mode;
}

void MemoryFileSystem::checkFolderSync(FileHandle folder, std::error_code& ec)
{
    if (counted(ec, folder, true)) readable(ec, folder);
}

void MemoryFileSystem::syncFileSystem(FileHandle file, std::error_code& ec)
{
    if (!counted(ec, file) || !readable(ec, file) || kind_ == Kind::passesNoSync) return;
    for (auto& [inode, file] : state_.inodes) {
        file.durable = file.current;
        file.durableMode = file.mode;
    }
    state_.durableEntries = state_.entries;
    state_.pending.clear();
}

bool MemoryFileSystem::syncsWholeFileSystem(FileHandle folder, std::error_code& ec)
{
    return counted(ec, folder, true) && kind_ == Kind::block;
}

std::vector<FolderEntry> MemoryFileSystem::listFolder(FileHandle folder, std::error_code& ec)
{
    std::vector<FolderEntry> entries;
    if (!counted(ec, folder, true) || !readable(ec, folder)) return entries;
    for (const auto& entry : state_.entries) entries.push_back({entry.first, FileKind::regular});
    return entries;
}

FileHandle MemoryFileSystem::tryLock(FileHandle fd, std::error_code& ec)
{
    if (!counted(ec, fd)) return kNoFile;
    return opened(open_[fd]);
}

void MemoryFileSystem::close(FileHandle fd, std::error_code& ec)
{
    if (counted(ec, fd)) open_.erase(fd);
}

void MemoryFileSystem::renameInFolder(FileHandle folder, const std::string& from, const std::string& to,
                                      std::error_code& ec)
{
    if (!counted(ec, folder, true)) return;
    const auto entry = state_.entries.find(from);
    if (entry == state_.entries.end()) {
        fail(ec, std::errc::no_such_file_or_directory);
        return;
    }
    const ino_t inode = entry->second;
    state_.entries.erase(entry);
    state_.entries[to] = inode;
    state_.pending.push_back({FolderChange::rename, from, to, inode});
}

void MemoryFileSystem::removeInFolder(FileHandle folder, const std::string& name, std::error_code& ec)
{
    if (!counted(ec, folder, true)) return;
    const auto entry = state_.entries.find(name);
    if (entry == state_.entries.end()) {
        fail(ec, std::errc::no_such_file_or_directory);
        return;
    }
    state_.pending.push_back({FolderChange::unlink, name, "", entry->second});
    state_.entries.erase(entry);
}

namespace {

enum class Data { durable, current, cut, zeroed };

// The disk with the given entries, each file holding its durable bytes, its
// current bytes, its durable bytes plus half of what was written since, or
// its current length with zeros where the bytes were never synced (what a
// file system that allocated the blocks but lost their data shows). Only
// the current data comes with the current mode.
MemoryFileSystem::State disk(const MemoryFileSystem::State& at, const std::map<std::string, MemoryFileSystem::ino_t>& entries,
                             Data data)
{
    MemoryFileSystem::State result;
    result.entries = entries;
    for (const auto& [inode, file] : at.inodes) {
        MemoryFileSystem::Inode kept = file;
        const bool grown = file.current.size() > file.durable.size() && file.current.starts_with(file.durable);
        switch (data) {
        case Data::durable: kept.current = file.durable; break;
        case Data::current: break;
        case Data::cut:
            kept.current = grown ? file.current.substr(0, (file.durable.size() + file.current.size()) / 2) : file.durable;
            break;
        case Data::zeroed:
            kept.current = grown ? file.durable + std::string(file.current.size() - file.durable.size(), '\0')
                                 : file.durable;
            break;
        }
        if (data != Data::current) kept.mode = file.durableMode;
        result.inodes[inode] = kept;
    }
    return result;
}

void apply(std::map<std::string, MemoryFileSystem::ino_t>& entries, const MemoryFileSystem::FolderChange& change)
{
    using Change = MemoryFileSystem::FolderChange;
    switch (change.kind) {
    case Change::link: entries[change.name] = change.inode; break;
    case Change::unlink: entries.erase(change.name); break;
    case Change::rename:
        entries[change.to] = change.inode;
        entries.erase(change.name);
        break;
    }
}

// What a power cut at this moment may leave on the disk.
}  // namespace

std::vector<DiskState> statesAfterPowerCut(const MemoryFileSystem::State& at)
{
    std::vector<DiskState> states{
        {"everything persisted", disk(at, at.entries, Data::current)},
        {"only what was synced", disk(at, at.durableEntries, Data::durable)},
        {"folder changes persisted, unsynced data lost", disk(at, at.entries, Data::durable)},
        {"folder changes persisted, unsynced data cut", disk(at, at.entries, Data::cut)},
        {"folder changes persisted, unsynced data zero-filled", disk(at, at.entries, Data::zeroed)},
    };
    std::map<std::string, MemoryFileSystem::ino_t> entries = at.durableEntries;
    for (std::size_t done = 0;; ++done) {
        const std::string prefix = std::to_string(done) + " of " + std::to_string(at.pending.size()) +
                                   " unsynced folder changes";
        states.push_back({prefix + ", synced data", disk(at, entries, Data::durable)});
        states.push_back({prefix + ", all data", disk(at, entries, Data::current)});
        states.push_back({prefix + ", unsynced data zero-filled", disk(at, entries, Data::zeroed)});
        if (done == at.pending.size()) break;
        const MemoryFileSystem::FolderChange& next = at.pending[done];
        if (next.kind == MemoryFileSystem::FolderChange::rename) {
            // The target already names the file, and the source still does.
            std::map<std::string, MemoryFileSystem::ino_t> half = entries;
            half[next.to] = next.inode;
            states.push_back({prefix + ", then half a rename", disk(at, half, Data::durable)});
            states.push_back({prefix + ", then half a rename, all data", disk(at, half, Data::current)});
        }
        apply(entries, next);
    }
    // A file system that persists folder changes out of order: every
    // pending change but one.
    for (std::size_t lost = 0; at.pending.size() > 1 && lost < at.pending.size(); ++lost) {
        std::map<std::string, MemoryFileSystem::ino_t> others = at.durableEntries;
        for (std::size_t i = 0; i < at.pending.size(); ++i) {
            if (i != lost) apply(others, at.pending[i]);
        }
        states.push_back({"unsynced folder changes but number " + std::to_string(lost + 1) + ", synced data",
                          disk(at, others, Data::durable)});
    }
    return states;
}

}  // namespace chartseal::test
