// The system's file operations and the File wrapper over them.
#include "io/FileOps.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace chartseal {

namespace {

class PosixFileOps final : public FileOps {
public:
    int open(const std::string& path, int flags, mode_t mode) override
    {
        return ::open(path.c_str(), flags | O_CLOEXEC, mode);
    }
    ssize_t read(int fd, void* buf, std::size_t count) override { return ::read(fd, buf, count); }
    ssize_t pread(int fd, void* buf, std::size_t count, off_t offset) override
    {
        return ::pread(fd, buf, count, offset);
    }
    ssize_t write(int fd, const void* buf, std::size_t count) override { return ::write(fd, buf, count); }
    int fstat(int fd, struct stat* st) override { return ::fstat(fd, st); }
    int stat(const std::string& path, struct stat* st) override { return ::stat(path.c_str(), st); }
    int lstat(const std::string& path, struct stat* st) override { return ::lstat(path.c_str(), st); }
    int fchmod(int fd, mode_t mode) override { return ::fchmod(fd, mode); }
    int fchown(int fd, uid_t owner, gid_t group) override { return ::fchown(fd, owner, group); }
    int ftruncate(int fd, off_t length) override { return ::ftruncate(fd, length); }
    int fsync(int fd) override { return ::fsync(fd); }
    int flock(int fd, int operation) override { return ::flock(fd, operation); }
    int startWriteback(int fd, off_t offset, off_t length) override
    {
        return ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
    }
    int waitForWriteback(int fd, off_t offset, off_t length) override
    {
        return ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WAIT_BEFORE);
    }
    int close(int fd) override { return ::close(fd); }
    int rename(const std::string& from, const std::string& to) override
    {
        return std::rename(from.c_str(), to.c_str());
    }
    int unlink(const std::string& path) override { return ::unlink(path.c_str()); }
    std::string realpath(const std::string& path) override
    {
        std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
        return resolved ? std::string(resolved.get()) : std::string();
    }
};

}  // namespace

FileOps& systemFileOps()
{
    static PosixFileOps ops;
    return ops;
}

FileIdentity FileIdentity::of(const struct stat& st)
{
    FileIdentity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.modified = st.st_mtim;
    id.changed = st.st_ctim;
    return id;
}

bool FileIdentity::operator==(const FileIdentity& other) const
{
    return sameFile(other) && size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
           changed.tv_nsec == other.changed.tv_nsec;
}

FileError::FileError(const std::string& path, const std::string& reason)
    : std::runtime_error(path + ": " + reason)
{
}

FileError FileError::fromErrno(const std::string& path, int err)
{
    return FileError(path, std::strerror(err));
}

FileError FileError::fromErrno(const std::string& path, const char* action, int err)
{
    return FileError(path, std::string(action) + ": " + std::strerror(err));
}

File::File(FileOps& ops, std::string path, int fd) : ops_(&ops), path_(std::move(path)), fd_(fd) {}

File::File(File&& other) noexcept
    : ops_(other.ops_),
      path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      writebackEvery_(other.writebackEvery_),
      writebackInFlight_(other.writebackInFlight_),
      written_(other.written_),
      writebackFrom_(other.writebackFrom_)
{
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) ops_->close(fd_);
        ops_ = other.ops_;
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
        writebackEvery_ = other.writebackEvery_;
        writebackInFlight_ = other.writebackInFlight_;
        written_ = other.written_;
        writebackFrom_ = other.writebackFrom_;
    }
    return *this;
}

File::~File()
{
    if (fd_ >= 0) ops_->close(fd_);
}

std::size_t File::readSome(void* buf, std::size_t count)
{
    for (;;) {
        const ssize_t n = ops_->read(fd_, buf, count);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) throw FileError::fromErrno(path_, "cannot read", errno);
    }
}

std::size_t File::readAt(void* buf, std::size_t count, std::uint64_t offset)
{
    for (;;) {
        const ssize_t n = ops_->pread(fd_, buf, count, static_cast<off_t>(offset));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) throw FileError::fromErrno(path_, "cannot read", errno);
    }
}

void File::writeAll(const void* buf, std::size_t count)
{
    const char* p = static_cast<const char*>(buf);
    while (count > 0) {
        const ssize_t n = ops_->write(fd_, p, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError::fromErrno(path_, "cannot write", errno);
        }
        if (n == 0) throw FileError(path_, "cannot write: no progress");
        p += n;
        count -= static_cast<std::size_t>(n);
        written_ += static_cast<std::uint64_t>(n);
    }
    if (writebackEvery_ > 0 && written_ - writebackFrom_ >= writebackEvery_) startWritebackOfRest();
}

namespace {

// Write-back control is a hint: a file system that does not take it is no
// failure; an error of the writing itself is.
bool writebackFailed(int result)
{
    return result != 0 && errno != EINVAL && errno != ENOSYS && errno != ESPIPE && errno != EOPNOTSUPP;
}

}  // namespace

void File::startWritebackOfRest()
{
    if (written_ == writebackFrom_) return;
    const auto from = static_cast<off_t>(writebackFrom_);
    if (writebackFailed(ops_->startWriteback(fd_, from, static_cast<off_t>(written_ - writebackFrom_)))) {
        throw FileError::fromErrno(path_, "cannot write", errno);
    }
    if (writebackInFlight_ > 0 && writebackFrom_ > writebackInFlight_) {
        const auto settled = static_cast<off_t>(writebackFrom_ - writebackInFlight_);
        if (writebackFailed(ops_->waitForWriteback(fd_, 0, settled))) {
            throw FileError::fromErrno(path_, "cannot write", errno);
        }
    }
    writebackFrom_ = written_;
}

struct stat File::status()
{
    struct stat st {};
    if (ops_->fstat(fd_, &st) != 0) throw FileError::fromErrno(path_, "cannot stat", errno);
    return st;
}

bool File::tryLock()
{
    for (;;) {
        if (ops_->flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EWOULDBLOCK) return false;
        if (errno != EINTR) throw FileError::fromErrno(path_, "cannot lock", errno);
    }
}

void File::sync()
{
    if (ops_->fsync(fd_) != 0) throw FileError::fromErrno(path_, "cannot sync", errno);
}

void File::close()
{
    const int fd = std::exchange(fd_, -1);
    // Linux releases the descriptor even when close reports an error, so it
    // must not be closed again; the error itself still means lost data.
    if (ops_->close(fd) != 0 && errno != EINTR) throw FileError::fromErrno(path_, "cannot close", errno);
}

}  // namespace chartseal
