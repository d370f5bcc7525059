// The narrow interface through which every file operation of a run passes.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace chartseal {

// POSIX-shaped file operations: each returns what the system call returns and
// leaves errno set on failure. The run never calls the system directly, so a
// test can put a wrapper here that fails any chosen operation.
class FileOps {
public:
    virtual ~FileOps() = default;

    virtual int open(const std::string& path, int flags, mode_t mode) = 0;
    virtual ssize_t read(int fd, void* buf, std::size_t count) = 0;
    virtual ssize_t pread(int fd, void* buf, std::size_t count, off_t offset) = 0;
    virtual ssize_t write(int fd, const void* buf, std::size_t count) = 0;
    virtual int fstat(int fd, struct stat* st) = 0;
    virtual int stat(const std::string& path, struct stat* st) = 0;
    virtual int lstat(const std::string& path, struct stat* st) = 0;
    virtual int fchmod(int fd, mode_t mode) = 0;
    virtual int fchown(int fd, uid_t owner, gid_t group) = 0;
    virtual int ftruncate(int fd, off_t length) = 0;
    virtual int fsync(int fd) = 0;
    // Starts writing the range to the device without waiting for it
    // (sync_file_range): it makes nothing durable, so it never replaces an
    // fsync, but leaves less for the fsync to wait for.
    virtual int startWriteback(int fd, off_t offset, off_t length) = 0;
    // Waits until the write-back of the range, once started, has finished
    // (sync_file_range again): a bound on what is in flight, not durability.
    virtual int waitForWriteback(int fd, off_t offset, off_t length) = 0;
    // flock(2): a lock the system drops when the last descriptor of the open
    // file goes, so a run that dies cannot leave it behind.
    virtual int flock(int fd, int operation) = 0;
    virtual int close(int fd) = 0;
    virtual int rename(const std::string& from, const std::string& to) = 0;
    virtual int unlink(const std::string& path) = 0;
    // The absolute name with every symbolic link resolved; empty, with errno
    // set, on failure.
    virtual std::string realpath(const std::string& path) = 0;
};

// What tells one state of a file from another: the same file (device and
// inode) with the same size and modification and change times. A file that
// keeps its identity has not been written, truncated or replaced.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};

    static FileIdentity of(const struct stat& st);
    bool sameFile(const FileIdentity& other) const { return device == other.device && inode == other.inode; }
    bool operator==(const FileIdentity& other) const;
};

// The real operations of the system.
FileOps& systemFileOps();

// A failed file operation: what() reads "<path>: <reason>".
class FileError : public std::runtime_error {
public:
    FileError(const std::string& path, const std::string& reason);

    // The reason taken from an errno value, e.g. "No such file or directory".
    static FileError fromErrno(const std::string& path, int err);
    // The same, with the action that failed, e.g. "cannot sync: Input/output error".
    static FileError fromErrno(const std::string& path, const char* action, int err);
};

// An open file descriptor that is closed when the object goes. close() is the
// checked way to close it; the destructor only releases what is left open on
// an error path.
class File {
public:
    File() = default;
    File(FileOps& ops, std::string path, int fd);
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
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
    struct stat status();
    FileIdentity identity() { return FileIdentity::of(status()); }
    // Takes the exclusive lock of the file without waiting: false when
    // another open of the file holds it. Throws FileError on other failures.
    bool tryLock();
    // Flushes the file's data to the storage device.
    void sync();
    // Closes the descriptor; a failing close throws FileError, and the
    // descriptor counts as closed either way.
    void close();

private:
    FileOps* ops_ = nullptr;
    std::string path_;
    int fd_ = -1;
    std::size_t writebackEvery_ = 0;
    std::size_t writebackInFlight_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t writebackFrom_ = 0;
};

}  // namespace chartseal
