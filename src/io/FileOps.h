// The narrow interface through which every file operation of a run passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace chartseal {

// An open file as the system knows it: a descriptor on POSIX systems, a
// handle on Windows.
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

// The file operations of a run, said in its own terms. Each returns what its
// system call returns (-1 or kNoFile on failure) and leaves errno set on
// failure; the Windows implementation maps the system's error to the errno
// value of the same meaning. The run never calls the system directly, so a
// test can put a wrapper here that fails any chosen operation, or a whole
// file system in memory.
class FileOps {
public:
    virtual ~FileOps() = default;

    // The chart, for reading only; a FIFO or device in its place can neither
    // block the open nor be mistaken for a file (its status tells).
    virtual FileHandle openForReading(const std::string& path) = 0;
    // An output, for writing: never through a symbolic link, never blocking.
    // With create, a new file that others cannot read, failing where the
    // name is taken; without, a file that is there.
    virtual FileHandle openOutput(const std::string& path, bool create) = 0;
    virtual std::ptrdiff_t read(FileHandle file, void* buf, std::size_t count) = 0;
    // Reads at offset, without a file position of its own to keep.
    virtual std::ptrdiff_t readAt(FileHandle file, void* buf, std::size_t count, std::uint64_t offset) = 0;
    virtual std::ptrdiff_t write(FileHandle file, const void* buf, std::size_t count) = 0;
    virtual int status(FileHandle file, FileStatus& st) = 0;
    // The file a name leads to, links followed.
    virtual int statusOf(const std::string& path, FileStatus& st) = 0;
    // The name itself: a symbolic link is reported as one.
    virtual int linkStatusOf(const std::string& path, FileStatus& st) = 0;
    // Gives the file an owner and group (-1 keeps one); 0 where the system
    // has no such thing.
    virtual int setOwner(FileHandle file, std::uint32_t owner, std::uint32_t group) = 0;
    // Sets the attribute bits: the mode on POSIX systems, the file attributes
    // on Windows.
    virtual int setAttributes(FileHandle file, std::uint32_t bits) = 0;
    virtual int truncate(FileHandle file, std::uint64_t length) = 0;
    // Flushes the file's data to the storage device.
    virtual int sync(FileHandle file) = 0;
    // Makes the folder's entries (names created, removed, renamed) durable.
    virtual int syncFolder(const std::string& folder) = 0;
    // Starts writing the range to the device without waiting for it: it
    // makes nothing durable, so it never replaces a sync, but leaves less for
    // the sync to wait for. 0 where the system has no such thing.
    virtual int startWriteback(FileHandle file, std::uint64_t offset, std::uint64_t length) = 0;
    // Waits until the write-back of the range, once started, has finished:
    // a bound on what is in flight, not durability.
    virtual int waitForWriteback(FileHandle file, std::uint64_t offset, std::uint64_t length) = 0;
    // Takes the exclusive lock of the open file without waiting, as a handle
    // of its own: the lock holds until unlock, or until the process ends,
    // also after the file's own handle is closed. kNoFile with errno
    // EWOULDBLOCK when another run holds it.
    virtual FileHandle tryLock(FileHandle file) = 0;
    virtual int unlock(FileHandle lock) = 0;
    virtual int close(FileHandle file) = 0;
    // Puts the file named from in the place of the one named to, atomically
    // and durably where the system can.
    virtual int replace(const std::string& from, const std::string& to) = 0;
    virtual int remove(const std::string& path) = 0;
    // The absolute name with every symbolic link resolved; empty, with errno
    // set, on failure.
    virtual std::string resolve(const std::string& path) = 0;
};

// The real operations of the system.
FileOps& systemFileOps();

// The folder part of a file name ("." when it has none), with the separators
// of the system: "/" on POSIX systems, "\" and "/" on Windows.
std::string folderOf(const std::string& fileName);

// The attribute bits an output takes from the chart's: never set-ID or
// sticky bits on POSIX systems, never read-only or system bits on Windows.
std::uint32_t outputAttributeBits(std::uint32_t chartBits);

// Why a chart with these attribute bits cannot be replaced, for a message;
// empty when it can. On Windows a read-only file cannot be replaced.
std::string replacementRefusal(std::uint32_t chartBits);

// What a file that is not a regular file is, for a message: "a directory".
std::string describeKind(FileKind kind);

// A failed file operation: what() reads "<path>: <reason>".
class FileError : public std::runtime_error {
public:
    FileError(const std::string& path, const std::string& reason);

    // The reason taken from an errno value, e.g. "No such file or directory".
    static FileError fromErrno(const std::string& path, int err);
    // The same, with the action that failed, e.g. "cannot sync: Input/output error".
    static FileError fromErrno(const std::string& path, const char* action, int err);
};

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
    const std::string& path() const { return path_; }

    // Reads up to count bytes, retrying on interruption; 0 at the end of the
    // file. Throws FileError on a read error.
    std::size_t readSome(void* buf, std::size_t count);
    // Reads up to count bytes at offset, without moving the file position.
    std::size_t readAt(void* buf, std::size_t count, std::uint64_t offset);
    // Writes every byte, retrying on short writes; throws FileError otherwise.
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
    // Empties the file.
    void truncate();
    // Flushes the file's data to the storage device.
    void sync();
    // Closes the handle; a failing close throws FileError, and the handle
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
    // run holds it. Throws FileError on other failures.
    bool tryLock(FileOps& ops, const File& file);
    bool held() const { return lock_ != kNoFile; }
    void release();

private:
    FileOps* ops_ = nullptr;
    FileHandle lock_ = kNoFile;
};

}  // namespace chartseal
