// The in-memory folder: files, entries, and what of them is durable.
#include "MemoryFileSystem.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace chartseal::test {

namespace {

constexpr dev_t kDevice = 7;
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

bool MemoryFileSystem::counted(int fd)
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

void MemoryFileSystem::fill(ino_t inode, struct stat* st) const
{
    *st = {};
    st->st_dev = kDevice;
    st->st_blksize = 4096;
    if (inode == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return;
    }
    const Inode& file = state_.inodes.at(inode);
    st->st_ino = inode;
    st->st_mode = S_IFREG | file.mode;
    st->st_size = static_cast<off_t>(file.current.size());
    st->st_nlink = static_cast<nlink_t>(
        std::count_if(state_.entries.begin(), state_.entries.end(), [&](const auto& e) { return e.second == inode; }));
    const auto at = modified_.find(inode);
    const long when = at == modified_.end() ? 0 : at->second;
    st->st_mtim.tv_nsec = when;
    st->st_ctim.tv_nsec = when;
}

int MemoryFileSystem::open(const std::string& path, int flags, mode_t mode)
{
    counted();
    Open handle;
    if (path == kFolder) {
        if ((flags & O_ACCMODE) != O_RDONLY) {
            errno = EISDIR;
            return -1;
        }
    } else {
        if ((flags & O_DIRECTORY) != 0) {
            errno = ENOTDIR;
            return -1;
        }
        const auto entry = state_.entries.find(path);
        if (entry == state_.entries.end()) {
            if ((flags & O_CREAT) == 0) {
                errno = ENOENT;
                return -1;
            }
            const ino_t inode = nextInode_++;
            state_.inodes[inode] = Inode{"", "", mode & 0777};
            state_.entries[path] = inode;
            state_.pending.push_back({FolderChange::link, path, "", inode});
            touched(inode);
            handle.inode = inode;
        } else {
            if ((flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) {
                errno = EEXIST;
                return -1;
            }
            handle.inode = entry->second;
            if ((flags & O_TRUNC) != 0) touched(handle.inode).current.clear();
        }
        handle.writable = (flags & O_ACCMODE) != O_RDONLY;
    }
    const int fd = nextFd_++;
    open_[fd] = handle;
    return fd;
}

ssize_t MemoryFileSystem::read(int fd, void* buf, std::size_t count)
{
    if (!counted(fd)) return -1;
    Open& handle = open_[fd];
    const ssize_t n = pread(fd, buf, count, static_cast<off_t>(handle.offset));
    --count_;  // the pread inside is part of this read
    if (n > 0) handle.offset += static_cast<std::uint64_t>(n);
    return n;
}

ssize_t MemoryFileSystem::pread(int fd, void* buf, std::size_t count, off_t offset)
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
    return static_cast<ssize_t>(n);
}

ssize_t MemoryFileSystem::write(int fd, const void* buf, std::size_t count)
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
    return static_cast<ssize_t>(count);
}

int MemoryFileSystem::fstat(int fd, struct stat* st)
{
    if (!counted(fd)) return -1;
    fill(open_[fd].inode, st);
    return 0;
}

int MemoryFileSystem::stat(const std::string& path, struct stat* st)
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

int MemoryFileSystem::fchmod(int fd, mode_t mode)
{
    if (!counted(fd)) return -1;
    if (open_[fd].inode != 0) state_.inodes.at(open_[fd].inode).mode = mode & 07777;
    return 0;
}

int MemoryFileSystem::ftruncate(int fd, off_t length)
{
    if (!counted(fd)) return -1;
    if (open_[fd].inode == 0 || !open_[fd].writable) {
        errno = EINVAL;
        return -1;
    }
    touched(open_[fd].inode).current.resize(static_cast<std::size_t>(length), '\0');
    return 0;
}

int MemoryFileSystem::fsync(int fd)
{
    if (!counted(fd)) return -1;
    const ino_t inode = open_[fd].inode;
    if (inode == 0) {
        state_.durableEntries = state_.entries;
        state_.pending.clear();
    } else {
        Inode& file = state_.inodes.at(inode);
        file.durable = file.current;
    }
    return 0;
}

int MemoryFileSystem::close(int fd)
{
    if (!counted(fd)) return -1;
    open_.erase(fd);
    return 0;
}

int MemoryFileSystem::rename(const std::string& from, const std::string& to)
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

int MemoryFileSystem::unlink(const std::string& path)
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

std::string MemoryFileSystem::realpath(const std::string& path)
{
    counted();
    if (state_.entries.count(path) == 0) {
        errno = ENOENT;
        return "";
    }
    return "/memory/" + path;
}

}  // namespace chartseal::test
