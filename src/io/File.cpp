// The File and FileLock wrappers over the seam, and its errors.
#include <new>
#include <stdexcept>
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

std::size_t utf8SequenceLength(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        if (first == 0xE0) low = 0xA0;
        if (first == 0xED) high = 0x9F;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        if (first == 0xF0) low = 0x90;
        if (first == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return length;
}

std::string shownName(std::string_view name)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string shown;
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c >= 0x20 && c < 0x7F) {
            shown += name[i++];
            continue;
        }
        if (c >= 0x80) {
            if (const std::size_t n = utf8SequenceLength(name, i)) {
                shown.append(name.substr(i, n));
                i += n;
                continue;
            }
        }
        switch (c) {
        case '\0': shown += "\\0"; break;
        case '\t': shown += "\\t"; break;
        case '\n': shown += "\\n"; break;
        case '\r': shown += "\\r"; break;
        default:
            shown += "\\x";
            shown += kHex[c >> 4];
            shown += kHex[c & 15];
        }
        ++i;
    }
    return shown;
}

RunError::RunError(const std::string& path, const std::string& reason, Failure failure)
    : std::runtime_error(shownName(path) + ": " + reason), failure_(failure)
{
}

RunError::RunError(const std::string& path, const std::string& action, std::error_code code, Failure failure)
    : std::runtime_error(shownName(path) + ": " + action + ": " + code.message()), failure_(failure), code_(code)
{
}

RunError RunError::interrupted(int signal)
{
    RunError error("run", "stopped by signal " + std::to_string(signal), Failure::interrupted);
    error.signal_ = signal;
    return error;
}

RunError RunError::unnamed(const std::string& reason, Failure failure)
{
    return RunError(Unnamed{}, reason, failure);
}

RunError currentError(const std::string& name)
{
    const auto named = [&name](const std::string& reason) {
        return name.empty() ? RunError::unnamed(reason) : RunError(name, reason);
    };
    try {
        throw;
    } catch (const RunError& e) {
        return e;
    } catch (const std::bad_alloc&) {
        return named("out of memory");
    } catch (const std::length_error&) {
        return named("out of memory");
    } catch (const std::exception& e) {
        return named(e.what());
    } catch (...) {
        return named("failed");
    }
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
        if (handle_ != kNoFile) {
            std::error_code ignored;
            ops_->close(handle_, ignored);
        }
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
    if (handle_ != kNoFile) {
        std::error_code ignored;
        ops_->close(handle_, ignored);
    }
}

std::size_t File::readAt(void* buf, std::size_t count, std::uint64_t offset)
{
    std::error_code ec;
    const std::size_t n = ops_->readAt(handle_, buf, count, offset, ec);
    if (ec) throw RunError(path_, "cannot read", ec);
    return n;
}

void File::writeAll(const void* buf, std::size_t count)
{
    const char* p = static_cast<const char*>(buf);
    while (count > 0) {
        std::error_code ec;
        const std::size_t n = ops_->write(handle_, p, count, ec);
        if (ec) throw RunError(path_, "cannot write", ec);
        if (n == 0) throw RunError(path_, "cannot write: no progress");
        p += n;
        count -= n;
        written_ += n;
    }
    if (writebackEvery_ > 0 && written_ - writebackFrom_ >= writebackEvery_) startWritebackOfRest();
}

void File::startWritebackOfRest()
{
    if (written_ == writebackFrom_) return;
    // Waiting keeps at most writebackInFlight_ bytes on their way.
    const bool wait = writebackInFlight_ > 0 && writebackFrom_ > writebackInFlight_;
    std::error_code ec;
    ops_->writeBack(handle_, writebackFrom_, written_ - writebackFrom_, wait, ec);
    if (ec) throw RunError(path_, "cannot write", ec);
    writebackFrom_ = written_;
}

FileStatus File::status()
{
    std::error_code ec;
    FileStatus st = ops_->status(handle_, ec);
    if (ec) throw RunError(path_, "cannot stat", ec);
    return st;
}

void File::sync()
{
    std::error_code ec;
    ops_->sync(handle_, ec);
    if (ec) throw RunError(path_, "cannot sync", ec);
}

void File::close()
{
    std::error_code ec;
    ops_->close(std::exchange(handle_, kNoFile), ec);
    if (ec) throw RunError(path_, "cannot close", ec);
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

bool FileLock::tryLock(const File& file)
{
    release();
    std::error_code ec;
    const FileHandle lock = file.ops().tryLock(file.handle(), ec);
    if (ec) throw RunError(file.path(), "cannot lock", ec);
    if (lock == kNoFile) return false;
    ops_ = &file.ops();
    lock_ = lock;
    return true;
}

void FileLock::release()
{
    // Letting go of a lock loses no data: how the close went does not matter.
    if (lock_ == kNoFile) return;
    std::error_code ignored;
    ops_->close(std::exchange(lock_, kNoFile), ignored);
}

File openFolderOf(FileOps& ops, const std::string& fileName)
{
    const std::string folder = folderOf(fileName);
    std::error_code ec;
    const FileHandle handle = ops.openFolder(folder, ec);
    if (ec) throw RunError(folder, "cannot open folder", ec);
    return File(ops, folder, handle);
}

std::string followLinksInFolder(File& folder, const std::string& name, const std::string& shownAs)
{
    std::string entry = name;
    // As many links of links as the system itself would follow.
    for (int hops = 0; hops < 40; ++hops) {
        FileStatus st;
        std::error_code ec;
        if (!folder.ops().statusInFolder(folder.handle(), entry, st, ec)) {
            if (ec) throw RunError(shownAs, "cannot stat", ec);
            return entry;
        }
        if (st.kind != FileKind::symbolicLink) return entry;
        std::string target = folder.ops().readLinkInFolder(folder.handle(), entry, ec);
        if (ec) throw RunError(shownAs, "cannot read link", ec);
        while (target.starts_with("./")) target.erase(0, 2);
        if (target.empty() || folderOf(target) != "." || target == "." || target == "..") {
            throw refusal(shownAs, "is a symbolic link into another folder; seal the chart in its own folder");
        }
        entry = target;
    }
    throw refusal(shownAs, "has too many levels of symbolic links");
}

bool unchangedAt(File& folder, const std::string& entry, File& file, const FileIdentity& expected)
{
    FileStatus named;
    std::error_code ec;
    return file.identity() == expected && folder.ops().statusInFolder(folder.handle(), entry, named, ec) &&
           named.identity.sameFile(expected);
}

// No file system is this deep; a walk up that gets there is stopped.
constexpr int kMaxDepth = 4096;

// The folder argument that the open folder is, or is below; none where it
// is outside all of them. Each step up compares identities (volume and
// number), so that no spelling of a name, link or second mount of the same
// folder gets past it.
std::optional<std::string> enclosingFolder(FileOps& ops, File& folder, const std::vector<std::string>& folders,
                                           const std::string& shownAs)
{
    std::vector<std::pair<FileIdentity, std::string>> roots;
    for (const std::string& name : folders) {
        std::error_code ec;
        const FileHandle handle = ops.openFolder(name, ec);
        // A folder that cannot be opened yields no song to the run either.
        if (ec) continue;
        File root(ops, name, handle);
        roots.emplace_back(root.identity(), name);
    }
    if (roots.empty()) return std::nullopt;
    File above;  // the folder reached, after the first step up
    FileIdentity here = folder.identity();
    for (int depth = 0; depth < kMaxDepth; ++depth) {
        for (const auto& [identity, name] : roots) {
            if (identity.sameFile(here)) return name;
        }
        std::error_code ec;
        const FileHandle handle = ops.openParentFolder(above.isOpen() ? above.handle() : folder.handle(), ec);
        if (ec) throw RunError(shownAs, "cannot open the folders above it", ec);
        File parent(ops, shownAs, handle);
        const FileIdentity up = parent.identity();
        if (up.sameFile(here)) return std::nullopt;  // the top
        here = up;
        above = std::move(parent);
    }
    throw RunError(shownAs, "lies too deep to tell whether it is inside the folders");
}

}  // namespace chartseal
