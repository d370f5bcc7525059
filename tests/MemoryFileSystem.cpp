// The in-memory folder: files, entries, and what of them is durable.
#include "MemoryFileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace chartseal::test {

namespace {

constexpr std::uint64_t kDevice = 7;
const std::string kFolder = ".";

}  // namespace

MemoryFileSystem::MemoryFileSystem(State disk)
{
    state_ = std::move(disk);
    for (auto& [inode, file] : state_.inodes) {
        file.durable = file.current;
        nextInode_ = std::max(nextInode_, inode + 1);
    }
    state_.durableEntries = state_.entries;
    state_.pending.clear();
}

void MemoryFileSystem::addFile(const std::string& name, const std::string& bytes)
{
    const ino_t inode = nextInode_++;
    state_.inodes[inode] = Inode{bytes, bytes, 0644};
    state_.entries[name] = inode;
    state_.durableEntries[name] = inode;
}

std::optional<std::string> MemoryFileSystem::contents(const std::string& name) const
{
    const auto entry = state_.entries.find(name);
    if (entry == state_.entries.end()) return std::nullopt;
    return state_.inodes.at(entry->second).current;
}

std::vector<std::string> MemoryFileSystem::names() const
{
    std::vector<std::string> all;
    for (const auto& entry : state_.entries) all.push_back(entry.first);
    return all;
}

bool MemoryFileSystem::counted(FileHandle fd)
{
    if (!kept_ && count_ == keepAfter_) kept_ = state_;
    ++count_;
    if (fd >= 0 && open_.count(fd) == 0) {
        errno = EBADF;
        return false;
    }
    return true;
}

MemoryFileSystem::Inode& MemoryFileSystem::touched(ino_t inode)
{
    modified_[inode] = ++clock_;
    return state_.inodes.at(inode);
}

void MemoryFileSystem::fill(ino_t inode, FileStatus& st) const
{
    st = {};
    st.identity.volume = kDevice;
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

FileHandle MemoryFileSystem::open(const std::string& path, bool writable, bool create)
{
    counted();
    Open handle;
    if (path == kFolder) {
        if (writable) {
            errno = EISDIR;
            return kNoFile;
        }
    } else {
        const auto entry = state_.entries.find(path);
        if (entry == state_.entries.end()) {
            if (!create) {
                errno = ENOENT;
                return kNoFile;
            }
            const ino_t inode = nextInode_++;
            state_.inodes[inode] = Inode{"", "", 0600};
            state_.entries[path] = inode;
            state_.pending.push_back({FolderChange::link, path, "", inode});
            touched(inode);
            handle.inode = inode;
        } else {
            if (create) {
                errno = EEXIST;
                return kNoFile;
            }
            handle.inode = entry->second;
        }
        handle.writable = writable;
    }
    const FileHandle fd = nextFd_++;
    open_[fd] = handle;
    return fd;
}

std::ptrdiff_t MemoryFileSystem::read(FileHandle fd, void* buf, std::size_t count)
{
    if (!counted(fd)) return -1;
    Open& handle = open_[fd];
    const std::ptrdiff_t n = readAt(fd, buf, count, handle.offset);
    --count_;  // the readAt inside is part of this read
    if (n > 0) handle.offset += static_cast<std::uint64_t>(n);
    return n;
}

std::ptrdiff_t MemoryFileSystem::readAt(FileHandle fd, void* buf, std::size_t count, std::uint64_t offset)
{
    if (!counted(fd)) return -1;
    const Open& handle = open_[fd];
    if (handle.inode == 0) {
        errno = EISDIR;
        return -1;
    }
    const std::string& bytes = state_.inodes.at(handle.inode).current;
    const auto from = static_cast<std::size_t>(offset);
    if (from >= bytes.size()) return 0;
    const std::size_t n = std::min(count, bytes.size() - from);
    std::memcpy(buf, bytes.data() + from, n);
    return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t MemoryFileSystem::write(FileHandle fd, const void* buf, std::size_t count)
{
    if (!counted(fd)) return -1;
    Open& handle = open_[fd];
    if (!handle.writable || handle.inode == 0) {
        errno = EBADF;
        return -1;
    }
    std::string& bytes = touched(handle.inode).current;
    if (bytes.size() < handle.offset + count) bytes.resize(handle.offset + count, '\0');
    bytes.replace(handle.offset, count, static_cast<const char*>(buf), count);
    handle.offset += count;
    return static_cast<std::ptrdiff_t>(count);
}

int MemoryFileSystem::status(FileHandle fd, FileStatus& st)
{
    if (!counted(fd)) return -1;
    fill(open_[fd].inode, st);
    return 0;
}

int MemoryFileSystem::statusOf(const std::string& path, FileStatus& st)
{
    counted();
    if (path == kFolder) {
        fill(0, st);
        return 0;
    }
    const auto entry = state_.entries.find(path);
    if (entry == state_.entries.end()) {
        errno = ENOENT;
        return -1;
    }
    fill(entry->second, st);
    return 0;
}

int MemoryFileSystem::setAttributes(FileHandle fd, std::uint32_t bits)
{
    if (!counted(fd)) return -1;
    if (open_[fd].inode != 0) state_.inodes.at(open_[fd].inode).mode = bits & 07777;
    return 0;
}

int MemoryFileSystem::truncate(FileHandle fd, std::uint64_t length)
{
    if (!counted(fd)) return -1;
    if (open_[fd].inode == 0 || !open_[fd].writable) {
        errno = EINVAL;
        return -1;
    }
    touched(open_[fd].inode).current.resize(static_cast<std::size_t>(length), '\0');
    return 0;
}

int MemoryFileSystem::sync(FileHandle fd)
{
    if (!counted(fd)) return -1;
    const ino_t inode = open_[fd].inode;
    if (inode == 0) {
        errno = EBADF;
        return -1;
    }
    Inode& file = state_.inodes.at(inode);
    file.durable = file.current;
    return 0;
}

int MemoryFileSystem::syncFolder(const std::string& folder)
{
    counted();
    if (folder != kFolder) {
        errno = ENOENT;
        return -1;
    }
    state_.durableEntries = state_.entries;
    state_.pending.clear();
    return 0;
}

FileHandle MemoryFileSystem::tryLock(FileHandle fd)
{
    if (!counted(fd)) return kNoFile;
    const FileHandle lock = nextFd_++;
    open_[lock] = open_[fd];
    return lock;
}

int MemoryFileSystem::close(FileHandle fd)
{
    if (!counted(fd)) return -1;
    open_.erase(fd);
    return 0;
}

int MemoryFileSystem::replace(const std::string& from, const std::string& to)
{
    counted();
    const auto entry = state_.entries.find(from);
    if (entry == state_.entries.end()) {
        errno = ENOENT;
        return -1;
    }
    const ino_t inode = entry->second;
    state_.entries.erase(entry);
    state_.entries[to] = inode;
    state_.pending.push_back({FolderChange::rename, from, to, inode});
    return 0;
}

int MemoryFileSystem::remove(const std::string& path)
{
    counted();
    const auto entry = state_.entries.find(path);
    if (entry == state_.entries.end()) {
        errno = ENOENT;
        return -1;
    }
    state_.pending.push_back({FolderChange::unlink, path, "", entry->second});
    state_.entries.erase(entry);
    return 0;
}

std::string MemoryFileSystem::resolve(const std::string& path)
{
    counted();
    if (state_.entries.count(path) == 0) {
        errno = ENOENT;
        return "";
    }
    return "/memory/" + path;
}

}  // namespace chartseal::test
