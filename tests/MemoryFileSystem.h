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
        std::uint32_t durableMode = 0644;  // the mode as of the last fsync
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
    // current bytes and modes of disk, all of them durable.
    explicit MemoryFileSystem(State disk);

    // A regular file with the given bytes and mode, durable.
    void addFile(const std::string& name, const std::string& bytes, std::uint32_t mode = 0644);
    std::optional<std::string> contents(const std::string& name) const;
    std::optional<std::uint32_t> mode(const std::string& name) const;
    std::vector<std::string> names() const;

    // What kind of file system it stands for, and its volume number (files
    // of two systems must not look like one file).
    enum class Kind { block, passesNoSync };
    void setKind(Kind kind, std::uint64_t volume)
    {
        kind_ = kind;
        volume_ = volume;
    }

    // The folder becomes one the runner may add to but not read (a drop
    // box), as on Linux: it cannot be listed or synced by itself, and its
    // sync is refused with "permission denied", as is a sync of the file
    // system through it; a sync of the file system through a file in it
    // still makes everything durable.
    void denyReadingFolder() { folderUnreadable_ = true; }

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

    FileHandle openFolder(const std::string& path, std::error_code& ec) override;
    // The folder holds no folders.
    FileHandle openFolderInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override;
    FileHandle openForReading(const std::string& path, std::error_code& ec) override;
    FileHandle openInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override;
    // The one folder is the top of its tree: its parent is itself.
    FileHandle openParentFolder(FileHandle folder, std::error_code& ec) override;
    // Holds no devices or FIFOs: a file of it opened for writing at its start.
    FileHandle openForWriting(const std::string& path, std::error_code& ec) override;
    FileHandle createInFolder(FileHandle folder, const std::string& name, std::uint32_t bits,
                              std::error_code& ec) override;
    // The folder holds no folders: refused, as where the runner may not make one.
    void createFolderInFolder(FileHandle folder, const std::string& name, std::uint32_t bits,
                              std::error_code& ec) override;
    std::size_t readAt(FileHandle fd, void* buf, std::size_t count, std::uint64_t offset,
                       std::error_code& ec) override;
    std::size_t write(FileHandle fd, const void* buf, std::size_t count, std::error_code& ec) override;
    FileStatus status(FileHandle fd, std::error_code& ec) override;
    bool statusInFolder(FileHandle folder, const std::string& name, FileStatus& st, std::error_code& ec) override;
    bool statusOfPath(const std::string& path, FileStatus& st, std::error_code& ec) override;
    std::string readLinkInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override;
    void setOwner(FileHandle fd, std::uint32_t, std::uint32_t, std::error_code& ec) override { counted(ec, fd); }
    void setAttributes(FileHandle fd, std::uint32_t bits, std::error_code& ec) override;
    // The file system keeps no extended attributes.
    std::vector<ExtendedAttribute> extendedAttributes(FileHandle fd, std::error_code& ec) override
    {
        counted(ec, fd);
        return {};
    }
    void setExtendedAttribute(FileHandle fd, const std::string&, const std::optional<std::string>& value,
                              std::error_code& ec) override;
    void sync(FileHandle fd, std::error_code& ec) override;
    void checkFolderSync(FileHandle folder, std::error_code& ec) override;
    // As its kind says: a block file system makes everything durable; one
    // that does not pass the call on (as FUSE) answers it and does nothing.
    void syncFileSystem(FileHandle file, std::error_code& ec) override;
    bool syncsWholeFileSystem(FileHandle folder, std::error_code& ec) override;
    std::vector<FolderEntry> listFolder(FileHandle folder, std::error_code& ec) override;
    // Write-back may have started: nothing more is durable for it.
    void writeBack(FileHandle fd, std::uint64_t, std::uint64_t, bool, std::error_code& ec) override { counted(ec, fd); }
    // One run at a time: every lock is granted, as a handle of its own.
    FileHandle tryLock(FileHandle fd, std::error_code& ec) override;
    void close(FileHandle fd, std::error_code& ec) override;
    void renameInFolder(FileHandle folder, const std::string& from, const std::string& to,
                        std::error_code& ec) override;
    void removeInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override;

private:
    struct Open {
        ino_t inode = 0;  // 0 for the folder itself
        bool writable = false;
        std::uint64_t offset = 0;
    };

    // Counts an operation; false (EBADF) when fd is given and not open, or
    // (ENOTDIR) when it must be the folder and is not.
    bool counted(std::error_code& ec, FileHandle fd = kNoFile, bool folder = false);
    FileHandle opened(Open handle);
    void fill(ino_t inode, FileStatus& st) const;
    Inode& touched(ino_t inode);

    // False (EACCES) for the folder's handle of a folder that cannot be read.
    bool readable(std::error_code& ec, FileHandle fd);

    State state_;
    Kind kind_ = Kind::block;
    std::uint64_t volume_ = 0;
    bool folderUnreadable_ = false;
    std::map<FileHandle, Open> open_;
    ino_t nextInode_ = 2;
    FileHandle nextFd_ = 3;
    long clock_ = 0;
    long count_ = 0;
    long keepAfter_ = -1;
    std::optional<State> kept_;
    std::map<ino_t, long> modified_;  // the clock at each file's last change
};

// One state a power cut may leave the disk in, and what it is.
struct DiskState {
    std::string what;
    MemoryFileSystem::State disk;
};

// What a power cut at this moment may leave on the disk: everything
// persisted; only what was synced; folder changes persisted with unsynced
// data lost, cut in half or zero-filled; each prefix of the unsynced folder
// changes, with synced data, all data or zero-filled data; a rename half
// done; and every unsynced folder change but one (a file system that
// persists them out of order).
std::vector<DiskState> statesAfterPowerCut(const MemoryFileSystem::State& at);

}  // namespace chartseal::test
