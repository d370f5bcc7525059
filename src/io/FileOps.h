// The narrow interface through which every file operation of a run passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "io/Names.h"
#include "io/RunError.h"

namespace chartseal {

// An open file or folder as the system knows it: a descriptor on POSIX
// systems, a handle on Windows.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

enum class FileKind { regular, directory, symbolicLink, fifo, socket, characterDevice, blockDevice, other };

// What an output takes over from the chart. On POSIX systems: the owner, the
// group and the mode bits. On Windows: the file attribute bits, in bits;
// owner and group stay 0.
struct FileAttributes {
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint32_t bits = 0;
    bool operator==(const FileAttributes&) const = default;
};

// What tells one state of a file from another: the same file (its volume and
// its number there) with the same size and modification and change times. A
// file that keeps its identity has not been written, truncated or replaced.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // in the system's finest unit
    std::int64_t changed = 0;

    bool sameFile(const FileIdentity& other) const { return volume == other.volume && index == other.index; }
    bool operator==(const FileIdentity& other) const = default;
};

struct FileStatus {
    FileKind kind = FileKind::other;
    FileIdentity identity;
    std::uint64_t links = 1;
    FileAttributes attributes;

    bool isRegular() const { return kind == FileKind::regular; }
    std::uint64_t size() const { return identity.size; }
};

// One extended attribute of a file: its full name ("user.origin",
// "system.posix_acl_access") and its value.
struct ExtendedAttribute {
    std::string name;
    std::string value;
    bool operator==(const ExtendedAttribute&) const = default;
};

// One entry of a folder, as a listing gives it.
struct FolderEntry {
    std::string name;
    FileKind kind = FileKind::other;
};

// "Keep it as it is", for an owner or a group.
inline constexpr std::uint32_t kKeepOwner = static_cast<std::uint32_t>(-1);

// The file operations of a run, said in its own terms. Every operation
// reports a failure in ec, with the system's own code and message (errno
// values on POSIX systems, Windows error codes there), and clears ec on
// success; what it returns on failure is kNoFile, 0 or empty. The run never
// calls the system directly, so a test can put a wrapper here that fails any
// chosen operation, or a whole file system in memory.
//
// Names given with a folder are single entries of that folder, held open by
// its handle: whatever happens to the path that led to the folder, they stay
// in it, and a symbolic link at such a name is never followed.
class FileOps {
public:
    virtual ~FileOps() = default;

    // A folder, for the names in it; links in the path are followed. A
    // folder that the runner may enter and add to but not read (a drop box)
    // opens too: its names can be used, but it cannot be listed, and
    // checkFolderSync says whether it can be synced.
    virtual FileHandle openFolder(const std::string& path, std::error_code& ec) = 0;
    // A folder that is an entry of the folder, never through a link: a link
    // or anything else that is not a folder at the name fails (on POSIX
    // systems with the system's "too many levels of symbolic links" or "not
    // a directory").
    virtual FileHandle openFolderInFolder(FileHandle folder, const std::string& name, std::error_code& ec) = 0;
    // A file by its path, links followed, for reading only; a FIFO or device
    // in its place can neither block the open nor be mistaken for a file
    // (its status tells).
    virtual FileHandle openForReading(const std::string& path, std::error_code& ec) = 0;
    // An entry of the folder for reading only, never through a link and
    // never blocking.
    virtual FileHandle openInFolder(FileHandle folder, const std::string& name, std::error_code& ec) = 0;
    // The folder that holds the open folder (its ".."); the top of its file
    // system's tree for the top itself. Opened for its status and its own
    // parent, without needing the right to list it.
    virtual FileHandle openParentFolder(FileHandle folder, std::error_code& ec) = 0;
    // A file that exists, by its path, links followed, for writing only: never
    // created, truncated or replaced. Meant for a FIFO, a terminal or another
    // device, whose open may wait (a FIFO, until it has a reader).
    virtual FileHandle openForWriting(const std::string& path, std::error_code& ec) = 0;
    // A new, empty file at a free name of the folder, for writing; fails
    // where the name is taken, even by a link. On POSIX systems it has none
    // but the owner's bits of `bits`, so that no one else may open it until
    // its permissions are set, whatever access list the folder would give
    // new files; on Windows, bits are not used.
    virtual FileHandle createInFolder(FileHandle folder, const std::string& name, std::uint32_t bits,
                                      std::error_code& ec) = 0;
    // A new, empty folder at a free name of the folder; fails where the
    // name is taken, even by a link. On POSIX systems it has the given bits
    // less the process's umask; on Windows, bits are not used and it takes
    // the access list its parent gives.
    virtual void createFolderInFolder(FileHandle folder, const std::string& name, std::uint32_t bits,
                                      std::error_code& ec) = 0;

    // Reads up to count bytes at offset; 0 at the end of the file. On
    // Windows the handle's file position moves; the run keeps none of its
    // own on the files it reads this way.
    virtual std::size_t readAt(FileHandle file, void* buf, std::size_t count, std::uint64_t offset,
                               std::error_code& ec) = 0;
    // Writes up to count bytes at the file's position, and moves it.
    virtual std::size_t write(FileHandle file, const void* buf, std::size_t count, std::error_code& ec) = 0;

    virtual FileStatus status(FileHandle file, std::error_code& ec) = 0;
    // The entry itself (a symbolic link is reported as one); false, with no
    // error, where the folder has no such entry.
    virtual bool statusInFolder(FileHandle folder, const std::string& name, FileStatus& st, std::error_code& ec) = 0;
    // What the path leads to, links followed by the system (also those that
    // name no path, as /dev/stdout may); false, with no error, where nothing
    // is there (a link that leads nowhere included). Nothing is read or
    // written.
    virtual bool statusOfPath(const std::string& path, FileStatus& st, std::error_code& ec) = 0;
    // What the symbolic link at the entry holds.
    virtual std::string readLinkInFolder(FileHandle folder, const std::string& name, std::error_code& ec) = 0;

    // Gives the file an owner and group (kKeepOwner keeps one); nothing where
    // the system has no such thing. Fails with the system's "not permitted"
    // where the runner may not give the file away.
    virtual void setOwner(FileHandle file, std::uint32_t owner, std::uint32_t group, std::error_code& ec) = 0;
    // Sets the attribute bits: the mode on POSIX systems, the file
    // attributes on Windows.
    virtual void setAttributes(FileHandle file, std::uint32_t bits, std::error_code& ec) = 0;
    // Every extended attribute that the runner may read, the access list
    // among them; none where the file system keeps none.
    virtual std::vector<ExtendedAttribute> extendedAttributes(FileHandle file, std::error_code& ec) = 0;
    // Sets the named attribute, or removes it (with no error if it is not
    // there) when value is empty.
    virtual void setExtendedAttribute(FileHandle file, const std::string& name,
                                      const std::optional<std::string>& value, std::error_code& ec) = 0;

    // Makes the file's data and attributes, or a folder's entries (names
    // created, removed, renamed), durable on the storage device.
    virtual void sync(FileHandle file, std::error_code& ec) = 0;
    // Whether sync() makes the folder's entries durable: ec is cleared where
    // it does, and holds the system's "permission denied" where the folder
    // cannot be synced by itself because the runner may not read it (so on
    // POSIX systems); any other error is a failure to find out. Changes
    // nothing.
    virtual void checkFolderSync(FileHandle folder, std::error_code& ec) = 0;
    // Makes everything written to the file system that holds the open file
    // or folder durable, as a sync of every file and folder on it would;
    // fails with the system's "not supported" where there is no such call
    // (Windows).
    virtual void syncFileSystem(FileHandle file, std::error_code& ec) = 0;
    // Whether one syncFileSystem on the folder's file system is known to
    // make every change of its files and folders durable: true only for
    // local block file systems whose sync is documented to do so (on Linux
    // ext2/3/4, xfs, btrfs, f2fs, by their type); false for FUSE, network
    // file systems, anything unknown, and everywhere on Windows. Where it
    // is false, each file and folder is synced on its own.
    virtual bool syncsWholeFileSystem(FileHandle folder, std::error_code& ec) = 0;
    // Write-back of a range of a file that is being written in order: starts
    // it without waiting, and with wait, also waits until that of the bytes
    // before offset has finished (a bound on what is in flight, not
    // durability). It never makes anything durable, so it never replaces a
    // sync; nothing where the system has no such thing.
    virtual void writeBack(FileHandle file, std::uint64_t offset, std::uint64_t length, bool wait,
                           std::error_code& ec) = 0;
    // Takes the exclusive lock of the open file without waiting, as a handle
    // of its own: the lock holds until that handle is closed or the process
    // ends, also after the file's own handle is closed. kNoFile with no
    // error when another run holds it.
    virtual FileHandle tryLock(FileHandle file, std::error_code& ec) = 0;
    // Closes a file, a folder or a lock. The handle is gone even when this
    // reports an error; the error still means that data may be lost.
    virtual void close(FileHandle file, std::error_code& ec) = 0;

    // Puts the entry from in the place of the entry to, in one step and, as
    // far as the system allows, durably.
    virtual void renameInFolder(FileHandle folder, const std::string& from, const std::string& to,
                                std::error_code& ec) = 0;
    virtual void removeInFolder(FileHandle folder, const std::string& name, std::error_code& ec) = 0;
    // The folder's entries but "." and "..", each with what it is (a link
    // as a link), in no particular order.
    virtual std::vector<FolderEntry> listFolder(FileHandle folder, std::error_code& ec) = 0;
};

// The real operations of the system.
FileOps& systemFileOps();

// What a file that is not a regular file is, for a message: "a directory".
std::string describeKind(FileKind kind);

// An open file that is closed when the object goes. close() is the checked
// way to close it; the destructor only releases what is left open on an
// error path.
class File {
public:
    File() = default;
    File(FileOps& ops, std::string path, FileHandle handle);
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    bool isOpen() const { return handle_ != kNoFile; }
    FileHandle handle() const { return handle_; }
    // The name it was opened by, for messages.
    const std::string& path() const { return path_; }
    FileOps& ops() const { return *ops_; }

    // Reads up to count bytes at offset, without a position of its own to
    // keep; 0 at the end of the file. Throws RunError on a read error.
    std::size_t readAt(void* buf, std::size_t count, std::uint64_t offset);
    // Writes every byte, retrying on short writes; throws RunError otherwise.
    void writeAll(const void* buf, std::size_t count);
    void writeAll(std::string_view bytes) { writeAll(bytes.data(), bytes.size()); }
    // From now on, every time this many bytes have been written, starts
    // their write-back (the file is written from its start, in order), and
    // waits for that of the bytes more than `inFlight` before them, so that
    // the write-back keeps pace without piling up.
    void startWritebackEvery(std::size_t bytes, std::size_t inFlight)
    {
        writebackEvery_ = bytes;
        writebackInFlight_ = inFlight;
    }
    // Starts the write-back of what was written since the last time it was
    // started, whatever its size.
    void startWritebackOfRest();
    // Bytes written through this object.
    std::uint64_t written() const { return written_; }
    FileStatus status();
    FileIdentity identity() { return status().identity; }
    // Makes its data and attributes (a folder: its entries) durable.
    void sync();
    // Closes the handle; a failing close throws RunError, and the handle
    // counts as closed either way.
    void close();

private:
    FileOps* ops_ = nullptr;
    std::string path_;
    FileHandle handle_ = kNoFile;
    std::size_t writebackEvery_ = 0;
    std::size_t writebackInFlight_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t writebackFrom_ = 0;
};

// The exclusive lock of one file, held until the object goes (or the process
// ends), whatever becomes of the file's handle.
class FileLock {
public:
    FileLock() = default;
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() { release(); }

    // Takes the lock of the open file without waiting: false when another
    // run holds it. Throws RunError on other failures.
    bool tryLock(const File& file);
    bool held() const { return lock_ != kNoFile; }
    void release();

private:
    FileOps* ops_ = nullptr;
    FileHandle lock_ = kNoFile;
};

// The folder of a file name, opened: every later name is an entry of it.
File openFolderOf(FileOps& ops, const std::string& fileName);

// The entry that the entry name of the folder stands for: itself, or where
// it is a symbolic link to another entry of the same folder, that entry
// (links of links followed). A link that leads out of the folder is refused;
// a missing entry is returned as it is, for the open to report.
std::string followLinksInFolder(File& folder, const std::string& name, const std::string& shownAs);

// Whether the open file still has the identity expected (it has not been
// written, truncated or replaced since) and is still the file at the
// folder's entry.
bool unchangedAt(File& folder, const std::string& entry, File& file, const FileIdentity& expected);

// The folder of folders that the open folder is, or is below; none where it
// is outside all of them (a folder that cannot be opened counts as none).
// Each step up compares identities (volume and number), so that no
// spelling of a name, link or second mount of the same folder gets past it.
// Throws RunError, naming shownAs, where the folders above cannot be opened.
std::optional<std::string> enclosingFolder(FileOps& ops, File& folder, const std::vector<std::string>& folders,
                                           const std::string& shownAs);

}  // namespace chartseal
