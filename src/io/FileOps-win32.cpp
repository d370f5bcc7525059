// The seam on Windows: wide-character calls on handles, a named mutex per
// file for the lock, and MoveFileExW for the replacement.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "io/FileOps.h"
#include "io/WideNames-win32.h"

namespace chartseal {

std::wstring toWide(const std::string& name)
{
    if (name.empty()) return {};
    for (const UINT codePage : {UINT{CP_UTF8}, UINT{CP_ACP}}) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int n = ::MultiByteToWideChar(codePage, flags, name.data(), static_cast<int>(name.size()), nullptr, 0);
        if (n <= 0) continue;
        std::wstring wide(static_cast<std::size_t>(n), L'\0');
        ::MultiByteToWideChar(codePage, flags, name.data(), static_cast<int>(name.size()), wide.data(), n);
        return wide;
    }
    return {};
}

std::string toUtf8(const std::wstring& name)
{
    if (name.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0, nullptr,
                                        nullptr);
    if (n <= 0) return {};
    std::string utf8(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

int errnoFromWindowsError(unsigned long error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION: return ENOSYS;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_NEGATIVE_SEEK:
    case ERROR_INVALID_PARAMETER: return EINVAL;
    default: return EIO;
    }
}

namespace {

HANDLE win(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle handleOf(HANDLE h) { return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(h); }

// The last Windows error as errno, and the failure value of the caller.
int failed()
{
    errno = errnoFromWindowsError(::GetLastError());
    return -1;
}
FileHandle failedHandle()
{
    failed();
    return kNoFile;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::uint64_t join(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }

// Transfers are at most this long, well below what a DWORD counts.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
DWORD transferSize(std::size_t count) { return static_cast<DWORD>(count < kMaxTransfer ? count : kMaxTransfer); }

bool isLinkTag(DWORD tag) { return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT; }

int statusOfHandle(HANDLE h, FileStatus& st)
{
    st = FileStatus{};
    ::SetLastError(NO_ERROR);
    const DWORD type = ::GetFileType(h);
    if (type == FILE_TYPE_CHAR) {
        st.kind = FileKind::characterDevice;
        return 0;
    }
    if (type == FILE_TYPE_PIPE) {
        st.kind = FileKind::fifo;
        return 0;
    }
    if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) return failed();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info)) return failed();
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) return failed();
    st.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::directory : FileKind::regular;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) && isLinkTag(tag.ReparseTag)) {
            st.kind = FileKind::symbolicLink;
        }
    }
    st.identity.volume = info.dwVolumeSerialNumber;
    st.identity.index = join(info.nFileIndexHigh, info.nFileIndexLow);
    st.identity.size = join(info.nFileSizeHigh, info.nFileSizeLow);
    st.identity.modified = static_cast<std::int64_t>(join(info.ftLastWriteTime.dwHighDateTime,
                                                          info.ftLastWriteTime.dwLowDateTime));
    st.identity.changed = basic.ChangeTime.QuadPart;
    st.links = info.nNumberOfLinks;
    st.attributes.bits = info.dwFileAttributes;
    return 0;
}

// A handle that only reads what a name is, whatever the file (a folder too).
HANDLE openForAttributes(const std::string& path, DWORD extraFlags)
{
    return ::CreateFileW(toWide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | extraFlags, nullptr);
}

int statusOfName(const std::string& path, FileStatus& st, DWORD extraFlags)
{
    const HANDLE h = openForAttributes(path, extraFlags);
    if (h == INVALID_HANDLE_VALUE) return failed();
    const int result = statusOfHandle(h, st);
    const DWORD error = ::GetLastError();
    ::CloseHandle(h);
    ::SetLastError(error);
    return result;
}

// The full name of an open file, links resolved; empty, with the error set,
// on failure.
std::wstring finalName(HANDLE h)
{
    std::wstring name(MAX_PATH, L'\0');
    DWORD n = ::GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
    if (n >= name.size()) {
        name.resize(n);
        n = ::GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
    }
    if (n == 0 || n >= name.size()) return {};
    name.resize(n);
    return name;
}

// The kernel object that stands for the lock of one file: named after the
// file's full name, in capitals as the file system compares names, so that
// every run that opens the file by that name finds the same one, also once
// the replacement has put another file there. (The file's number would be
// reused by a new file once the replaced one is gone.)
std::wstring lockName(const wchar_t* space, std::wstring name)
{
    ::CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const wchar_t c : name) {
        hash = (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ull;
    }
    wchar_t text[80];
    std::swprintf(text, sizeof text / sizeof text[0], L"%ls\\chartseal-lock-%016llx", space,
                  static_cast<unsigned long long>(hash));
    return text;
}

class Win32FileOps final : public FileOps {
public:
    FileHandle openForReading(const std::string& path) override
    {
        // Backup semantics open a directory too, so that its status can tell
        // what it is; the others may go on writing and renaming the chart,
        // which the run's identity checks then see.
        const HANDLE h = ::CreateFileW(toWide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return failedHandle();
        return handleOf(h);
    }
    FileHandle openOutput(const std::string& path, bool create) override
    {
        // The name itself, never the file a link leads to; no one else may
        // write to it while the run does.
        const HANDLE h = ::CreateFileW(toWide(path).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       create ? CREATE_NEW : OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) return failedHandle();
        return handleOf(h);
    }
    std::ptrdiff_t read(FileHandle file, void* buf, std::size_t count) override
    {
        DWORD n = 0;
        if (::ReadFile(win(file), buf, transferSize(count), &n, nullptr)) return n;
        if (::GetLastError() == ERROR_BROKEN_PIPE || ::GetLastError() == ERROR_HANDLE_EOF) return 0;
        return failed();
    }
    std::ptrdiff_t readAt(FileHandle file, void* buf, std::size_t count, std::uint64_t offset) override
    {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD n = 0;
        if (::ReadFile(win(file), buf, transferSize(count), &n, &at)) return n;
        if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
        return failed();
    }
    std::ptrdiff_t write(FileHandle file, const void* buf, std::size_t count) override
    {
        DWORD n = 0;
        if (::WriteFile(win(file), buf, transferSize(count), &n, nullptr)) return n;
        return failed();
    }
    int status(FileHandle file, FileStatus& st) override { return statusOfHandle(win(file), st); }
    int statusOf(const std::string& path, FileStatus& st) override { return statusOfName(path, st, 0); }
    int linkStatusOf(const std::string& path, FileStatus& st) override
    {
        return statusOfName(path, st, FILE_FLAG_OPEN_REPARSE_POINT);
    }
    // Windows files have no POSIX owner to give: the output is the runner's,
    // with the rights the folder gives its new files.
    int setOwner(FileHandle, std::uint32_t, std::uint32_t) override { return 0; }
    int setAttributes(FileHandle file, std::uint32_t bits) override
    {
        constexpr DWORD kSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM;
        FILE_BASIC_INFO basic{};
        // Zero times leave them as they are; zero attributes would mean none given.
        basic.FileAttributes = (bits & kSettable) == 0 ? FILE_ATTRIBUTE_NORMAL : (bits & kSettable);
        return ::SetFileInformationByHandle(win(file), FileBasicInfo, &basic, sizeof basic) ? 0 : failed();
    }
    int truncate(FileHandle file, std::uint64_t length) override
    {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
        return ::SetFileInformationByHandle(win(file), FileEndOfFileInfo, &end, sizeof end) ? 0 : failed();
    }
    int sync(FileHandle file) override { return ::FlushFileBuffers(win(file)) ? 0 : failed(); }
    int syncFolder(const std::string& folder) override
    {
        // A folder's handle may be flushed only with write access, which the
        // system may not give for a folder: then its entries are left to the
        // file system's journal, and the replacement itself is written
        // through.
        const HANDLE h = ::CreateFileW(toWide(folder).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_ACCESS_DENIED ? 0 : failed();
        const bool flushed = ::FlushFileBuffers(h) != 0;
        const DWORD error = ::GetLastError();
        ::CloseHandle(h);
        if (flushed || error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_FUNCTION) return 0;
        ::SetLastError(error);
        return failed();
    }
    // Windows starts the write-back of a file by itself; FlushFileBuffers waits for it.
    int startWriteback(FileHandle, std::uint64_t, std::uint64_t) override { return 0; }
    int waitForWriteback(FileHandle, std::uint64_t, std::uint64_t) override { return 0; }
    FileHandle tryLock(FileHandle file) override
    {
        // The replacement needs the chart's handles closed, and a byte-range
        // lock would go with them; a named mutex stays until its own handle
        // is closed or the process ends.
        const std::wstring name = finalName(win(file));
        if (name.empty()) return failedHandle();
        HANDLE mutex = ::CreateMutexW(nullptr, FALSE, lockName(L"Global", name).c_str());
        if (mutex == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED) {
            mutex = ::CreateMutexW(nullptr, FALSE, lockName(L"Local", name).c_str());
        }
        if (mutex == nullptr) return failedHandle();
        if (::GetLastError() == ERROR_ALREADY_EXISTS) {
            ::CloseHandle(mutex);
            errno = EWOULDBLOCK;
            return kNoFile;
        }
        return reinterpret_cast<FileHandle>(mutex);
    }
    int unlock(FileHandle lock) override { return ::CloseHandle(win(lock)) ? 0 : failed(); }
    int close(FileHandle file) override { return ::CloseHandle(win(file)) ? 0 : failed(); }
    int replace(const std::string& from, const std::string& to) override
    {
        const std::wstring source = toWide(from), target = toWide(to);
        // A program that has the chart open for a moment (a virus scanner,
        // the search indexer) makes the move fail with a sharing error: a few
        // tries give it time to let go.
        for (int attempt = 0;; ++attempt) {
            if (::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                return 0;
            }
            const DWORD error = ::GetLastError();
            if (attempt == 19 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) return failed();
            ::Sleep(50);
        }
    }
    int remove(const std::string& path) override { return ::DeleteFileW(toWide(path).c_str()) ? 0 : failed(); }
    std::string resolve(const std::string& path) override
    {
        const HANDLE h = openForAttributes(path, 0);
        if (h == INVALID_HANDLE_VALUE) {
            failed();
            return {};
        }
        std::wstring name = finalName(h);
        const DWORD error = ::GetLastError();
        ::CloseHandle(h);
        if (name.empty()) {
            ::SetLastError(error);
            failed();
            return {};
        }
        // "\\?\C:\..." is the same name as "C:\...".
        if (name.rfind(L"\\\\?\\", 0) == 0 && name.size() > 6 && name[5] == L':') name.erase(0, 4);
        return toUtf8(name);
    }
};

}  // namespace

FileOps& systemFileOps()
{
    static Win32FileOps ops;
    return ops;
}

std::uint32_t outputAttributeBits(std::uint32_t chartBits)
{
    // A read-only output could not be written, nor put in the chart's place.
    return chartBits & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
}

std::string replacementRefusal(std::uint32_t chartBits)
{
    if (chartBits & FILE_ATTRIBUTE_READONLY) return "is read-only; clear its read-only attribute to seal it";
    return {};
}

std::string folderOf(const std::string& fileName)
{
    const std::size_t separator = fileName.find_last_of("\\/");
    const bool drive = fileName.size() >= 2 && fileName[1] == ':';
    if (separator == std::string::npos) return drive ? fileName.substr(0, 2) : ".";
    if (separator == 0) return fileName.substr(0, 1);
    if (drive && separator == 2) return fileName.substr(0, 3);
    return fileName.substr(0, separator);
}

}  // namespace chartseal
