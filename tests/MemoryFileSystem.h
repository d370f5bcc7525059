// A one-folder file system in memory behind the FileOps seam that keeps, like
// a disk under a page cache, what has been made durable apart from what has
// only been done, so that the states a power cut may leave can be built.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "io/FileOps.h"

namespace chartseal::test {

class MemoryFileSystem final : public FileOps {
public:
    struct Inode {
        std::string current;  // the bytes as the running system sees them
        std::string durable;  // the bytes as of the last fsync of the file
        mode_t mode = 0644;
    };
    // A change of the folder's entries not yet made durable by a folder sync.
    struct FolderChange {
        enum Kind { link, unlink, rename } kind;
        std::string name;  // the name linked or unlinked; the source of a rename
        std::string to;    // the target of a rename
        ino_t inode = 0;   // the file linked
    };
    struct State {
        std::map<ino_t, Inode> inodes;
        std::map<std::string, ino_t> entries;         // the folder as the running system sees it
        std::map<std::string, ino_t> durableEntries;  // as of its last sync
        std::vector<FolderChange> pending;            // between the two, in order
    };

    MemoryFileSystem() = default;
    // A system started afresh on what a disk holds: the entries and the
    // current bytes of disk, all of them durable.
    explicit MemoryFileSystem(State disk);

    // A regular file with the given bytes, durable.
    void addFile(const std::string& name, const std::string& bytes);
    std::optional<std::string> contents(const std::string& name) const;
    std::vector<std::string> names() const;

    // Every operation counts; the state right after the given one is kept.
    void keepStateAfter(long operation) { keepAfter_ = operation; }
    // To be called when the run is over, in case its last operation was the one.
    void finish()
    {
        if (!kept_ && count_ == keepAfter_) kept_ = state_;
    }
    long operations() const { return count_; }
    const std::optional<State>& kept() const { return kept_; }
    const State& state() const { return state_; }

    int open(const std::string& path, int flags, mode_t mode) override;
    ssize_t read(int fd, void* buf, std::size_t count) override;
    ssize_t pread(int fd, void* buf, std::size_t count, off_t offset) override;
    ssize_t write(int fd, const void* buf, std::size_t count) override;
    int fstat(int fd, struct stat* st) override;
    int stat(const std::string& path, struct stat* st) override;
    int lstat(const std::string& path, struct stat* st) override { return stat(path, st); }
    int fchmod(int fd, mode_t mode) override;
    int fchown(int fd, uid_t, gid_t) override { return counted(fd) ? 0 : -1; }
    int ftruncate(int fd, off_t length) override;
    int fsync(int fd) override;
    int flock(int fd, int) override { return counted(fd) ? 0 : -1; }
    // Write-back may have started: nothing more is durable for it.
    int startWriteback(int fd, off_t, off_t) override { return counted(fd) ? 0 : -1; }
    int waitForWriteback(int fd, off_t, off_t) override { return counted(fd) ? 0 : -1; }
    int close(int fd) override;
    int rename(const std::string& from, const std::string& to) override;
    int unlink(const std::string& path) override;
    std::string realpath(const std::string& path) override;

private:
    struct Open {
        ino_t inode = 0;  // 0 for the folder itself
        bool writable = false;
        std::uint64_t offset = 0;
    };

    bool counted(int fd = -1);  // counts an operation; false (errno EBADF) when fd is given and not open
    void fill(ino_t inode, struct stat* st) const;
    Inode& touched(ino_t inode);

    State state_;
    std::map<int, Open> open_;
    ino_t nextInode_ = 2;
    int nextFd_ = 3;
    long clock_ = 0;
    long count_ = 0;
    long keepAfter_ = -1;
    std::optional<State> kept_;
    std::map<ino_t, long> modified_;  // the clock at each file's last change
};

}  // namespace chartseal::test
