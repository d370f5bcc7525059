// The seam on POSIX systems: descriptors, the *at calls on an open folder,
// flock(2), extended attributes and rename(2).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

FileStatus statusFrom(const struct stat& s)
{
    FileStatus st;
    st.kind = kindOf(s.st_mode);
    st.identity.volume = s.st_dev;
    st.identity.index = s.st_ino;
    st.identity.size = static_cast<std::uint64_t>(s.st_size);
    st.identity.modified = nanoseconds(s.st_mtim);
    st.identity.changed = nanoseconds(s.st_ctim);
    st.links = s.st_nlink;
    st.attributes = {s.st_uid, s.st_gid, static_cast<std::uint32_t>(s.st_mode & 07777)};
    return st;
}

// The outcome of a call that returns -1 and sets errno on failure.
template <typename T>
T checked(T result, std::error_code& ec)
{
    if (result == static_cast<T>(-1)) {
        ec.assign(errno, std::system_category());
    } else {
        ec.clear();
    }
    return result;
}

// Calls that a signal may interrupt are tried again: a stop signal is held
// back and looked at by the run itself.
template <typename Call>
auto retried(Call call) -> decltype(call())
{
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) return result;
    }
}

bool unsupported(int err) { return err == ENOTSUP || err == EOPNOTSUPP || err == ENOSYS; }

// A folder opened only for its names (O_PATH), as one the runner may not
// read is: it can be neither read nor synced through this descriptor.
bool namesOnly(FileHandle file)
{
    const int flags = ::fcntl(fd(file), F_GETFL);
    return flags != -1 && (flags & O_PATH) != 0;
}

// Such a folder opened again for reading, which succeeds only where the
// runner may read it now; -1 with errno set otherwise. The caller closes it.
int openedForReading(FileHandle folder)
{
    return retried([&] { return ::openat(fd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
}

// Where a file's extended attributes are read: its descriptor, or for a
// folder opened for its names only, the descriptor's name in /proc, which
// the *xattr calls follow to the folder itself.
class AttributeSource {
public:
    explicit AttributeSource(FileHandle file)
        : fd_(fd(file)), proc_(namesOnly(file) ? "/proc/self/fd/" + std::to_string(fd(file)) : std::string())
    {
    }
    ssize_t list(char* names, std::size_t size) const
    {
        return proc_.empty() ? ::flistxattr(fd_, names, size) : ::listxattr(proc_.c_str(), names, size);
    }
    ssize_t get(const std::string& name, void* value, std::size_t size) const
    {
        return proc_.empty() ? ::fgetxattr(fd_, name.c_str(), value, size)
                             : ::getxattr(proc_.c_str(), name.c_str(), value, size);
    }

private:
    int fd_;
    std::string proc_;
};

// The names of a file's extended attributes, each ended by a zero byte;
// false with errno set on failure. A size that changes in between (an
// attribute added) is asked again.
bool readList(const AttributeSource& file, std::string& names)
{
    for (;;) {
        const ssize_t size = file.list(nullptr, 0);
        if (size < 0) return false;
        names.resize(static_cast<std::size_t>(size));
        const ssize_t n = file.list(names.data(), names.size());
        if (n >= 0) {
            names.resize(static_cast<std::size_t>(n));
            return true;
        }
        if (errno != ERANGE) return false;
    }
}

bool readValue(const AttributeSource& file, ExtendedAttribute& attribute)
{
    for (;;) {
        const ssize_t size = file.get(attribute.name, nullptr, 0);
        if (size < 0) return false;
        attribute.value.resize(static_cast<std::size_t>(size));
        const ssize_t n = file.get(attribute.name, attribute.value.data(), attribute.value.size());
        if (n >= 0) {
            attribute.value.resize(static_cast<std::size_t>(n));
            return true;
        }
        if (errno != ERANGE) return false;
    }
}

// The status a stat call gave (result 0), or no such entry (ENOENT, with no
// error), or its error.
bool found(int result, const struct stat& s, FileStatus& st, std::error_code& ec)
{
    if (result != 0) {
        if (errno == ENOENT) {
            ec.clear();
        } else {
            ec.assign(errno, std::system_category());
        }
        return false;
    }
    ec.clear();
    st = statusFrom(s);
    return true;
}

class PosixFileOps final : public FileOps {
    // Calls call with a descriptor that can be read or synced: the file's
    // own, or for a folder opened for its names only, one opened again for
    // reading; ec holds why there is none.
    template <typename Call>
    static void throughReadable(FileHandle file, std::error_code& ec, Call call)
    {
        if (!namesOnly(file)) {
            checked(retried([&] { return call(fd(file)); }), ec);
            return;
        }
        const int readable = checked(openedForReading(file), ec);
        if (readable < 0) return;
        checked(retried([&] { return call(readable); }), ec);
        ::close(readable);
    }

public:
    FileHandle openFolder(const std::string& path, std::error_code& ec) override
    {
        const int folder = retried([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
        if (folder >= 0 || errno != EACCES) return checked<FileHandle>(folder, ec);
        // A folder the runner may not read: its names still work through a
        // descriptor that only looks them up (the *at calls take it).
        return checked<FileHandle>(retried([&] { return ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }),
                                   ec);
    }
    FileHandle openFolderInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override
    {
        return checked<FileHandle>(retried([&] {
                                       return ::openat(fd(folder), name.c_str(),
                                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                                   }),
                                   ec);
    }
    FileHandle openForReading(const std::string& path, std::error_code& ec) override
    {
        // Non-blocking, so that a FIFO in the chart's place cannot hang the
        // open; the flag does not change reads from a regular file.
        return checked<FileHandle>(
            retried([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }), ec);
    }
    FileHandle openInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override
    {
        return checked<FileHandle>(retried([&] {
                                       return ::openat(fd(folder), name.c_str(),
                                                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
                                   }),
                                   ec);
    }
    FileHandle openParentFolder(FileHandle folder, std::error_code& ec) override
    {
        // O_PATH: enough for its status and its own "..", and it needs only
        // the right to pass through the folder, not to list it.
        return checked<FileHandle>(
            retried([&] { return ::openat(fd(folder), "..", O_PATH | O_DIRECTORY | O_CLOEXEC); }), ec);
    }
    FileHandle openForWriting(const std::string& path, std::error_code& ec) override
    {
        // Blocking: a FIFO's open waits for its reader, as a shell's
        // redirection does. Without O_CREAT nothing new can appear, and
        // without O_TRUNC nothing there is cut.
        return checked<FileHandle>(retried([&] { return ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC); }),
                                   ec);
    }
    FileHandle createInFolder(FileHandle folder, const std::string& name, std::uint32_t bits,
                              std::error_code& ec) override
    {
        // O_EXCL never follows a link at the name, and fails where the name
        // is taken. Only the owner's bits: a folder's default access list is
        // masked by the others, so that no one else can open the file before
        // it has the chart's permissions.
        const mode_t mode = static_cast<mode_t>(bits) & 0700;
        return checked<FileHandle>(retried([&] {
                                       return ::openat(fd(folder), name.c_str(),
                                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
                                   }),
                                   ec);
    }
    void createFolderInFolder(FileHandle folder, const std::string& name, std::uint32_t bits,
                              std::error_code& ec) override
    {
        checked(retried([&] { return ::mkdirat(fd(folder), name.c_str(), static_cast<mode_t>(bits) & 07777); }), ec);
    }
    std::size_t readAt(FileHandle file, void* buf, std::size_t count, std::uint64_t offset,
                       std::error_code& ec) override
    {
        const ssize_t n = checked(retried([&] { return ::pread(fd(file), buf, count, static_cast<off_t>(offset)); }), ec);
        return n < 0 ? 0 : static_cast<std::size_t>(n);
    }
    std::size_t write(FileHandle file, const void* buf, std::size_t count, std::error_code& ec) override
    {
        const ssize_t n = checked(retried([&] { return ::write(fd(file), buf, count); }), ec);
        return n < 0 ? 0 : static_cast<std::size_t>(n);
    }
    FileStatus status(FileHandle file, std::error_code& ec) override
    {
        struct stat s {};
        if (checked(::fstat(fd(file), &s), ec) != 0) return {};
        return statusFrom(s);
    }
    bool statusInFolder(FileHandle folder, const std::string& name, FileStatus& st, std::error_code& ec) override
    {
        struct stat s {};
        return found(::fstatat(fd(folder), name.c_str(), &s, AT_SYMLINK_NOFOLLOW), s, st, ec);
    }
    bool statusOfPath(const std::string& path, FileStatus& st, std::error_code& ec) override
    {
        struct stat s {};
        return found(::stat(path.c_str(), &s), s, st, ec);
    }
    std::string readLinkInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override
    {
        std::string target(256, '\0');
        for (;;) {
            const ssize_t n = checked(::readlinkat(fd(folder), name.c_str(), target.data(), target.size()), ec);
            if (n < 0) return {};
            if (static_cast<std::size_t>(n) < target.size()) {
                target.resize(static_cast<std::size_t>(n));
                return target;
            }
            target.resize(target.size() * 2);
        }
    }
    void setOwner(FileHandle file, std::uint32_t owner, std::uint32_t group, std::error_code& ec) override
    {
        checked(::fchown(fd(file), static_cast<uid_t>(owner), static_cast<gid_t>(group)), ec);
    }
    void setAttributes(FileHandle file, std::uint32_t bits, std::error_code& ec) override
    {
        checked(::fchmod(fd(file), static_cast<mode_t>(bits)), ec);
    }
    std::vector<ExtendedAttribute> extendedAttributes(FileHandle file, std::error_code& ec) override
    {
        ec.clear();
        const AttributeSource source(file);
        std::string names;
        if (!readList(source, names)) {
            if (!unsupported(errno)) ec.assign(errno, std::system_category());
            return {};
        }
        std::vector<ExtendedAttribute> all;
        for (std::size_t at = 0; at < names.size();) {
            ExtendedAttribute attribute{std::string(names.c_str() + at), {}};
            at += attribute.name.size() + 1;
            if (readValue(source, attribute)) {
                all.push_back(std::move(attribute));
            } else if (errno != ENODATA) {  // ENODATA: removed since the listing
                ec.assign(errno, std::system_category());
                return {};
            }
        }
        return all;
    }
    void setExtendedAttribute(FileHandle file, const std::string& name, const std::optional<std::string>& value,
                              std::error_code& ec) override
    {
        if (value) {
            checked(::fsetxattr(fd(file), name.c_str(), value->data(), value->size(), 0), ec);
            return;
        }
        if (::fremovexattr(fd(file), name.c_str()) == 0 || errno == ENODATA || unsupported(errno)) {
            ec.clear();
        } else {
            ec.assign(errno, std::system_category());
        }
    }
    void sync(FileHandle file, std::error_code& ec) override
    {
        // fsync(2) takes no descriptor that only looks names up: such a
        // folder is synced through a reading one, where it may be read now.
        throughReadable(file, ec, [](int readable) { return ::fsync(readable); });
    }
    void checkFolderSync(FileHandle folder, std::error_code& ec) override
    {
        throughReadable(folder, ec, [](int) { return 0; });
    }
    void syncFileSystem(FileHandle file, std::error_code& ec) override
    {
        throughReadable(file, ec, [](int readable) { return ::syncfs(readable); });
    }
    bool syncsWholeFileSystem(FileHandle folder, std::error_code& ec) override
    {
        // The local block file systems whose syncfs(2) writes back every
        // inode and the journal of that file system, and tmpfs, where
        // neither it nor fsync(2) has anything to write. FUSE does not pass
        // it on to most servers, and network file systems make no such
        // promise.
        struct statfs s {};
        if (checked(retried([&] { return ::fstatfs(fd(folder), &s); }), ec) != 0) return false;
        constexpr long kExt = 0xEF53, kXfs = 0x58465342, kBtrfs = 0x9123683E, kF2fs = static_cast<long>(0xF2F52010),
                       kTmpfs = 0x01021994;
        const long type = static_cast<long>(s.f_type);
        return type == kExt || type == kXfs || type == kBtrfs || type == kF2fs || type == kTmpfs;
    }
    void writeBack(FileHandle file, std::uint64_t offset, std::uint64_t length, bool wait, std::error_code& ec) override
    {
        // A file system that does not take the hint is no failure; an error
        // of the writing itself is.
        const auto hint = [&](std::uint64_t from, std::uint64_t count, unsigned int flags) {
            if (::sync_file_range(fd(file), static_cast<off_t>(from), static_cast<off_t>(count), flags) == 0) return true;
            if (errno == EINVAL || errno == ESPIPE || unsupported(errno)) return true;
            ec.assign(errno, std::system_category());
            return false;
        };
        ec.clear();
        if (!hint(offset, length, SYNC_FILE_RANGE_WRITE)) return;
        if (wait) hint(0, offset, SYNC_FILE_RANGE_WAIT_BEFORE);
    }
    FileHandle tryLock(FileHandle file, std::error_code& ec) override
    {
        // flock(2) locks the open file, not the descriptor: a duplicate keeps
        // it when the descriptor is closed, and the system drops it when the
        // last one goes, so a run that dies cannot leave it behind.
        if (retried([&] { return ::flock(fd(file), LOCK_EX | LOCK_NB); }) != 0) {
            if (errno == EWOULDBLOCK) {
                ec.clear();
            } else {
                ec.assign(errno, std::system_category());
            }
            return kNoFile;
        }
        const int lock = checked(::fcntl(fd(file), F_DUPFD_CLOEXEC, 0), ec);
        if (lock < 0) ::flock(fd(file), LOCK_UN);
        return lock;
    }
    void close(FileHandle file, std::error_code& ec) override
    {
        // Linux releases the descriptor even when close reports an error, so
        // it is never closed again; EINTR there loses nothing.
        if (::close(fd(file)) == 0 || errno == EINTR) {
            ec.clear();
        } else {
            ec.assign(errno, std::system_category());
        }
    }
    void renameInFolder(FileHandle folder, const std::string& from, const std::string& to, std::error_code& ec) override
    {
        checked(::renameat(fd(folder), from.c_str(), fd(folder), to.c_str()), ec);
    }
    void removeInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override
    {
        checked(::unlinkat(fd(folder), name.c_str(), 0), ec);
    }
    std::vector<FolderEntry> listFolder(FileHandle folder, std::error_code& ec) override
    {
        // A listing of its own, so that the folder's descriptor keeps its
        // position and stays open.
        const int listed = ::openat(fd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed);
        if (dir == nullptr) {
            ec.assign(errno, std::system_category());
            if (listed >= 0) ::close(listed);
            return {};
        }
        std::vector<FolderEntry> entries;
        errno = 0;
        while (const struct dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            FileKind kind = FileKind::other;
            struct stat s {};
            if (entry->d_type != DT_UNKNOWN) {
                kind = kindOf(DTTOIF(entry->d_type));
            } else if (::fstatat(fd(folder), name.c_str(), &s, AT_SYMLINK_NOFOLLOW) == 0) {
                kind = kindOf(s.st_mode);
            }
            entries.push_back({name, kind});
            errno = 0;
        }
        if (errno != 0) {
            ec.assign(errno, std::system_category());
        } else {
            ec.clear();
        }
        ::closedir(dir);
        return entries;
    }
};

}  // namespace

FileOps& systemFileOps()
{
    static PosixFileOps ops;
    return ops;
}

bool namesIgnoreCase()
{
    return false;  // "B.SM" and "B.sm" are two names
}

std::string folderOf(const std::string& fileName)
{
    const std::size_t slash = fileName.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return fileName.substr(0, slash);
}

std::string entryOf(const std::string& fileName)
{
    const std::size_t slash = fileName.rfind('/');
    return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

std::string shellWord(const std::string& name)
{
    const bool plain = !name.empty() && name[0] != '-' &&
                       name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._/-+,:@"
                                              ) == std::string::npos;
    if (plain) return name;
    std::string quoted = "'";
    for (const char c : name) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace chartseal
