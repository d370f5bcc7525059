// The File and FileLock wrappers over the seam, and its errors.
#include <cerrno>
#include <cstring>
#include <utility>

#include "io/FileOps.h"

namespace chartseal {

std::string describeKind(FileKind kind)
{
    switch (kind) {
    case FileKind::regular: return "a regular file";
    case FileKind::directory: return "a directory";
    case FileKind::symbolicLink: return "a symbolic link";
    case FileKind::fifo: return "a FIFO";
    case FileKind::socket: return "a socket";
    case FileKind::characterDevice: return "a character device";
    case FileKind::blockDevice: return "a block device";
    case FileKind::other: break;
    }
    return "not a regular file";
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

File::File(FileOps& ops, std::string path, FileHandle handle) : ops_(&ops), path_(std::move(path)), handle_(handle)
{
}

File::File(File&& other) noexcept
    : ops_(other.ops_),
      path_(std::move(other.path_)),
      handle_(std::exchange(other.handle_, kNoFile)),
      writebackEvery_(other.writebackEvery_),
      writebackInFlight_(other.writebackInFlight_),
      written_(other.written_),
      writebackFrom_(other.writebackFrom_)
{
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        if (handle_ != kNoFile) ops_->close(handle_);
        ops_ = other.ops_;
        path_ = std::move(other.path_);
        handle_ = std::exchange(other.handle_, kNoFile);
        writebackEvery_ = other.writebackEvery_;
        writebackInFlight_ = other.writebackInFlight_;
        written_ = other.written_;
        writebackFrom_ = other.writebackFrom_;
    }
    return *this;
}

File::~File()
{
    if (handle_ != kNoFile) ops_->close(handle_);
}

std::size_t File::readSome(void* buf, std::size_t count)
{
    for (;;) {
        const std::ptrdiff_t n = ops_->read(handle_, buf, count);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) throw FileError::fromErrno(path_, "cannot read", errno);
    }
}

std::size_t File::readAt(void* buf, std::size_t count, std::uint64_t offset)
{
    for (;;) {
        const std::ptrdiff_t n = ops_->readAt(handle_, buf, count, offset);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) throw FileError::fromErrno(path_, "cannot read", errno);
    }
}

void File::writeAll(const void* buf, std::size_t count)
{
    const char* p = static_cast<const char*>(buf);
    while (count > 0) {
        const std::ptrdiff_t n = ops_->write(handle_, p, count);
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
    if (writebackFailed(ops_->startWriteback(handle_, writebackFrom_, written_ - writebackFrom_))) {
        throw FileError::fromErrno(path_, "cannot write", errno);
    }
    if (writebackInFlight_ > 0 && writebackFrom_ > writebackInFlight_) {
        if (writebackFailed(ops_->waitForWriteback(handle_, 0, writebackFrom_ - writebackInFlight_))) {
            throw FileError::fromErrno(path_, "cannot write", errno);
        }
    }
    writebackFrom_ = written_;
}

FileStatus File::status()
{
    FileStatus st;
    if (ops_->status(handle_, st) != 0) throw FileError::fromErrno(path_, "cannot stat", errno);
    return st;
}

void File::truncate()
{
    if (ops_->truncate(handle_, 0) != 0) throw FileError::fromErrno(path_, "cannot empty", errno);
}

void File::sync()
{
    if (ops_->sync(handle_) != 0) throw FileError::fromErrno(path_, "cannot sync", errno);
}

void File::close()
{
    const FileHandle handle = std::exchange(handle_, kNoFile);
    // Linux releases the descriptor even when close reports an error, so it
    // must not be closed again; the error itself still means lost data.
    if (ops_->close(handle) != 0 && errno != EINTR) throw FileError::fromErrno(path_, "cannot close", errno);
}

FileLock::FileLock(FileLock&& other) noexcept : ops_(other.ops_), lock_(std::exchange(other.lock_, kNoFile)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept
{
    if (this != &other) {
        release();
        ops_ = other.ops_;
        lock_ = std::exchange(other.lock_, kNoFile);
    }
    return *this;
}

bool FileLock::tryLock(FileOps& ops, const File& file)
{
    release();
    for (;;) {
        const FileHandle lock = ops.tryLock(file.handle());
        if (lock != kNoFile) {
            ops_ = &ops;
            lock_ = lock;
            return true;
        }
        if (errno == EWOULDBLOCK) return false;
        if (errno != EINTR) throw FileError::fromErrno(file.path(), "cannot lock", errno);
    }
}

void FileLock::release()
{
    if (lock_ != kNoFile) ops_->unlock(std::exchange(lock_, kNoFile));
}

}  // namespace chartseal
