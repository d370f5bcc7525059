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
    using ino_t = std::uint64_t;
    struct Inode {
        std::string current;  // the bytes as the running system sees them
        std::string durable;  // the bytes as of the last fsync of the file
        std::uint32_t mode = 0644;
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

    FileHandle openForReading(const std::string& path) override { return open(path, false, false); }
    FileHandle openOutput(const std::string& path, bool create) override { return open(path, true, create); }
    std::ptrdiff_t read(FileHandle fd, void* buf, std::size_t count) override;
    std::ptrdiff_t readAt(FileHandle fd, void* buf, std::size_t count, std::uint64_t offset) override;
    std::ptrdiff_t write(FileHandle fd, const void* buf, std::size_t count) override;
    int status(FileHandle fd, FileStatus& st) override;
    int statusOf(const std::string& path, FileStatus& st) override;
    int linkStatusOf(const std::string& path, FileStatus& st) override { return statusOf(path, st); }
    int setOwner(FileHandle fd, std::uint32_t, std::uint32_t) override { return counted(fd) ? 0 : -1; }
    int setAttributes(FileHandle fd, std::uint32_t bits) override;
    int truncate(FileHandle fd, std::uint64_t length) override;
    int sync(FileHandle fd) override;
    int syncFolder(const std::string& folder) override;
    // Write-back may have started: nothing more is durable for it.
    int startWriteback(FileHandle fd, std::uint64_t, std::uint64_t) override { return counted(fd) ? 0 : -1; }
    int waitForWriteback(FileHandle fd, std::uint64_t, std::uint64_t) override { return counted(fd) ? 0 : -1; }
    // One run at a time: every lock is granted, as a handle of its own.
    FileHandle tryLock(FileHandle fd) override;
    int unlock(FileHandle lock) override { return close(lock); }
    int close(FileHandle fd) override;
    int replace(const std::string& from, const std::string& to) override;
    int remove(const std::string& path) override;
    std::string resolve(const std::string& path) override;

private:
    struct Open {
        ino_t inode = 0;  // 0 for the folder itself
        bool writable = false;
        std::uint64_t offset = 0;
    };

    FileHandle open(const std::string& path, bool writable, bool create);
    bool counted(FileHandle fd = kNoFile);  // counts an operation; false (errno EBADF) when fd is given and not open
    void fill(ino_t inode, FileStatus& st) const;
    Inode& touched(ino_t inode);

    State state_;
    std::map<FileHandle, Open> open_;
    ino_t nextInode_ = 2;
    FileHandle nextFd_ = 3;
    long clock_ = 0;
    long count_ = 0;
    long keepAfter_ = -1;
    std::optional<State> kept_;
    std::map<ino_t, long> modified_;  // the clock at each file's last change
};

}  // namespace chartseal::test
