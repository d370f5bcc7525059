// The seam on POSIX systems: descriptors, flock(2) and rename(2).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "io/FileOps.h"

namespace chartseal {

namespace {

int fd(FileHandle handle) { return static_cast<int>(handle); }

FileKind kindOf(mode_t mode)
{
    if (S_ISREG(mode)) return FileKind::regular;
    if (S_ISDIR(mode)) return FileKind::directory;
    if (S_ISLNK(mode)) return FileKind::symbolicLink;
    if (S_ISFIFO(mode)) return FileKind::fifo;
    if (S_ISSOCK(mode)) return FileKind::socket;
    if (S_ISCHR(mode)) return FileKind::characterDevice;
    if (S_ISBLK(mode)) return FileKind::blockDevice;
    return FileKind::other;
}

std::int64_t nanoseconds(const struct timespec& t)
{
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

void fill(const struct stat& s, FileStatus& st)
{
    st.kind = kindOf(s.st_mode);
    st.identity.volume = s.st_dev;
    st.identity.index = s.st_ino;
    st.identity.size = static_cast<std::uint64_t>(s.st_size);
    st.identity.modified = nanoseconds(s.st_mtim);
    st.identity.changed = nanoseconds(s.st_ctim);
    st.links = s.st_nlink;
    st.attributes = {s.st_uid, s.st_gid, static_cast<std::uint32_t>(s.st_mode & 07777)};
}

class PosixFileOps final : public FileOps {
public:
    FileHandle openForReading(const std::string& path) override
    {
        // Non-blocking, so that a FIFO in the chart's place cannot hang the
        // open; the flag does not change reads from a regular file.
        return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    FileHandle openOutput(const std::string& path, bool create) override
    {
        // Never blocking (a FIFO put there since the check), never through a link.
        const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        return create ? ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0600) : ::open(path.c_str(), flags);
    }
    std::ptrdiff_t read(FileHandle file, void* buf, std::size_t count) override { return ::read(fd(file), buf, count); }
    std::ptrdiff_t readAt(FileHandle file, void* buf, std::size_t count, std::uint64_t offset) override
    {
        return ::pread(fd(file), buf, count, static_cast<off_t>(offset));
    }
    std::ptrdiff_t write(FileHandle file, const void* buf, std::size_t count) override
    {
        return ::write(fd(file), buf, count);
    }
    int status(FileHandle file, FileStatus& st) override
    {
        struct stat s {};
        if (::fstat(fd(file), &s) != 0) return -1;
        fill(s, st);
        return 0;
    }
    int statusOf(const std::string& path, FileStatus& st) override
    {
        struct stat s {};
        if (::stat(path.c_str(), &s) != 0) return -1;
        fill(s, st);
        return 0;
    }
    int linkStatusOf(const std::string& path, FileStatus& st) override
    {
        struct stat s {};
        if (::lstat(path.c_str(), &s) != 0) return -1;
        fill(s, st);
        return 0;
    }
    int setOwner(FileHandle file, std::uint32_t owner, std::uint32_t group) override
    {
        return ::fchown(fd(file), static_cast<uid_t>(owner), static_cast<gid_t>(group));
    }
    int setAttributes(FileHandle file, std::uint32_t bits) override
    {
        return ::fchmod(fd(file), static_cast<mode_t>(bits));
    }
    int truncate(FileHandle file, std::uint64_t length) override
    {
        return ::ftruncate(fd(file), static_cast<off_t>(length));
    }
    int sync(FileHandle file) override { return ::fsync(fd(file)); }
    int syncFolder(const std::string& folder) override
    {
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) return -1;
        const int result = ::fsync(dir);
        const int err = errno;
        ::close(dir);
        errno = err;
        return result;
    }
    int startWriteback(FileHandle file, std::uint64_t offset, std::uint64_t length) override
    {
        return ::sync_file_range(fd(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                                 SYNC_FILE_RANGE_WRITE);
    }
    int waitForWriteback(FileHandle file, std::uint64_t offset, std::uint64_t length) override
    {
        return ::sync_file_range(fd(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                                 SYNC_FILE_RANGE_WAIT_BEFORE);
    }
    FileHandle tryLock(FileHandle file) override
    {
        // flock(2) locks the open file, not the descriptor: a duplicate keeps
        // it when the descriptor is closed, and the system drops it when the
        // last one goes, so a run that dies cannot leave it behind.
        if (::flock(fd(file), LOCK_EX | LOCK_NB) != 0) return kNoFile;
        const int lock = ::fcntl(fd(file), F_DUPFD_CLOEXEC, 0);
        if (lock < 0) {
            const int err = errno;
            ::flock(fd(file), LOCK_UN);
            errno = err;
            return kNoFile;
        }
        return lock;
    }
    int unlock(FileHandle lock) override { return ::close(fd(lock)); }
    int close(FileHandle file) override { return ::close(fd(file)); }
    int replace(const std::string& from, const std::string& to) override
    {
        return std::rename(from.c_str(), to.c_str());
    }
    int remove(const std::string& path) override { return ::unlink(path.c_str()); }
    std::string resolve(const std::string& path) override
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

std::uint32_t outputAttributeBits(std::uint32_t chartBits)
{
    return chartBits & 0777;
}

std::string replacementRefusal(std::uint32_t)
{
    // The folder's permissions decide, and the rename reports them.
    return {};
}

std::string folderOf(const std::string& fileName)
{
    const std::size_t slash = fileName.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return fileName.substr(0, slash);
}

}  // namespace chartseal
