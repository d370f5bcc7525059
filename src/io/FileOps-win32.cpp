// The seam on Windows: wide-character calls on handles, a named mutex per
// file for the lock, and MoveFileExW for the replacement.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
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

namespace {

HANDLE win(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle handleOf(HANDLE h) { return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(h); }

// The last Windows error, with the system's own message.
std::error_code lastError()
{
    return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::uint64_t join(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }

// Transfers are at most this long, well below what a DWORD counts.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
DWORD transferSize(std::size_t count) { return static_cast<DWORD>(count < kMaxTransfer ? count : kMaxTransfer); }

bool isLinkTag(DWORD tag) { return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT; }

// The status of an open handle; false, with the error in ec, on failure.
bool statusOfHandle(HANDLE h, FileStatus& st, std::error_code& ec)
{
    st = FileStatus{};
    ec.clear();
    ::SetLastError(NO_ERROR);
    const DWORD type = ::GetFileType(h);
    if (type == FILE_TYPE_CHAR) {
        st.kind = FileKind::characterDevice;
        return true;
    }
    if (type == FILE_TYPE_PIPE) {
        st.kind = FileKind::fifo;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if ((type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) || !::GetFileInformationByHandle(h, &info) ||
        !::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) {
        ec = lastError();
        return false;
    }
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
    return true;
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

bool notFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// How much of a full name is its root, which has no parent: "C:\",
// "\\server\share\", each also in the \\?\ form.
std::size_t rootLength(const std::wstring& name)
{
    std::size_t at = 0;
    bool share = false;
    if (name.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        at = 8;
        share = true;
    } else if (name.rfind(L"\\\\?\\", 0) == 0) {
        at = 4;
    } else if (name.rfind(L"\\\\", 0) == 0) {
        at = 2;
        share = true;
    }
    if (!share) return std::min(name.size(), at + 3);  // "C:\"
    // The server and the share, each ended by a separator.
    for (int part = 0; part < 2 && at < name.size(); ++part) {
        const std::size_t separator = name.find_first_of(L"\\/", at);
        at = separator == std::wstring::npos ? name.size() : separator + 1;
    }
    return at;
}

// The full name of the folder that holds the named one; the root's own name
// for the root.
std::wstring parentName(std::wstring name)
{
    const std::size_t root = rootLength(name);
    while (name.size() > root && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
    if (name.size() <= root) return name;
    const std::size_t separator = name.find_last_of(L"\\/");
    if (separator == std::wstring::npos || separator + 1 <= root) return name.substr(0, root);
    return name.substr(0, separator);
}

// The absolute form of a name, for a folder that later names are joined to.
std::wstring absoluteName(const std::wstring& name)
{
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return name;
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        full.resize(n);
    }
}

}  // namespace

std::wstring longName(const std::wstring& name)
{
    if (name.rfind(L"\\\\?\\", 0) == 0) return name;
    const std::wstring full = absoluteName(name);
    // Short enough for every call, and a device name (NUL, CON) stays one.
    if (full.size() < MAX_PATH - 12) return name;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

namespace {

class Win32FileOps final : public FileOps {
public:
    FileHandle openFolder(const std::string& path, std::error_code& ec) override
    {
        // Absolute, so that the names joined to it stay in it; in the long
        // form (\\?\C:\...) where it is long.
        const std::wstring full = absoluteName(toWide(path));
        const std::wstring name = longName(full);
        HANDLE h = ::CreateFileW(name.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
            // A folder the runner may add files to but not list: its names
            // are joined to its full name, so a handle that reads its
            // attributes serves as well.
            h = ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        }
        if (h == INVALID_HANDLE_VALUE) return failedHandle(ec);
        return rememberedFolder(h, full, ec);
    }
    FileHandle openFolderInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override
    {
        // The entry itself: a junction or link there is opened as what it
        // is, and refused, never followed.
        const std::wstring full = fullName(folder, name);
        const HANDLE h = ::CreateFileW(joined(folder, name).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr);
        if (h == INVALID_HANDLE_VALUE) return failedHandle(ec);
        FILE_BASIC_INFO info{};
        if (!::GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info)) {
            ec = lastError();
            ::CloseHandle(h);
            return kNoFile;
        }
        if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            ::CloseHandle(h);
            ec = std::error_code(ERROR_DIRECTORY, std::system_category());
            return kNoFile;
        }
        return rememberedFolder(h, full, ec);
    }
    FileHandle openForReading(const std::string& path, std::error_code& ec) override
    {
        // Backup semantics open a directory too, so that its status can tell
        // what it is; the others may go on writing and renaming the chart,
        // which the run's identity checks then see.
        const std::wstring name = longName(toWide(path));
        return remembered(opened(::CreateFileW(name.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                                 ec),
                          absoluteName(toWide(path)));
    }
    FileHandle openInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override
    {
        return remembered(opened(::CreateFileW(joined(folder, name).c_str(), GENERIC_READ, kShareAll, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                               nullptr),
                                 ec),
                          fullName(folder, name));
    }
    FileHandle openParentFolder(FileHandle folder, std::error_code& ec) override
    {
        // Windows has no ".." of a handle: the folder's final name (links
        // and junctions resolved, as POSIX systems resolve ".."), cut by its
        // last part; where the system cannot give it, the name it was
        // opened by.
        std::wstring name = finalName(win(folder));
        if (name.empty()) {
            const std::lock_guard<std::mutex> lock(names_);
            const auto found = folders_.find(win(folder));
            if (found != folders_.end()) name = found->second;
        }
        if (name.empty()) return failedHandle(ec);
        const std::wstring parent = parentName(name);
        const HANDLE h = ::CreateFileW(longName(parent).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return failedHandle(ec);
        return rememberedFolder(h, parent, ec);
    }
    FileHandle openForWriting(const std::string& path, std::error_code& ec) override
    {
        // An existing file or device (NUL, CON, a named pipe), links
        // followed, never created or truncated.
        const std::wstring name = longName(toWide(path));
        return remembered(opened(::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                                 ec),
                          absoluteName(toWide(path)));
    }
    FileHandle createInFolder(FileHandle folder, const std::string& name, std::uint32_t, std::error_code& ec) override
    {
        // The name itself, never the file a link leads to. No one else may
        // open it while the run holds it, so no one can hold it open from
        // before it has the chart's access list. WRITE_DAC: the run gives it
        // that list.
        return remembered(opened(::CreateFileW(joined(folder, name).c_str(),
                                               GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC, 0,
                                               nullptr, CREATE_NEW,
                                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
                                 ec),
                          fullName(folder, name));
    }
    void createFolderInFolder(FileHandle folder, const std::string& name, std::uint32_t, std::error_code& ec) override
    {
        // Fails where the name is taken, by a junction or link too.
        ec.clear();
        if (!::CreateDirectoryW(joined(folder, name).c_str(), nullptr)) ec = lastError();
    }
    std::size_t readAt(FileHandle file, void* buf, std::size_t count, std::uint64_t offset,
                       std::error_code& ec) override
    {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD n = 0;
        ec.clear();
        if (::ReadFile(win(file), buf, transferSize(count), &n, &at)) return n;
        if (::GetLastError() != ERROR_HANDLE_EOF && ::GetLastError() != ERROR_BROKEN_PIPE) ec = lastError();
        return 0;
    }
    std::size_t write(FileHandle file, const void* buf, std::size_t count, std::error_code& ec) override
    {
        DWORD n = 0;
        ec.clear();
        if (!::WriteFile(win(file), buf, transferSize(count), &n, nullptr)) ec = lastError();
        return n;
    }
    FileStatus status(FileHandle file, std::error_code& ec) override
    {
        FileStatus st;
        statusOfHandle(win(file), st, ec);
        return st;
    }
    bool statusInFolder(FileHandle folder, const std::string& name, FileStatus& st, std::error_code& ec) override
    {
        const HANDLE h = ::CreateFileW(joined(folder, name).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr);
        ec.clear();
        if (h == INVALID_HANDLE_VALUE) {
            if (!notFound(::GetLastError())) ec = lastError();
            return false;
        }
        const bool known = statusOfHandle(h, st, ec);
        ::CloseHandle(h);
        return known;
    }
    bool statusOfPath(const std::string& path, FileStatus& st, std::error_code& ec) override
    {
        // Only the right to read its attributes, links followed.
        const HANDLE h = ::CreateFileW(longName(toWide(path)).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        ec.clear();
        if (h == INVALID_HANDLE_VALUE) {
            if (!notFound(::GetLastError())) ec = lastError();
            return false;
        }
        const bool known = statusOfHandle(h, st, ec);
        ::CloseHandle(h);
        return known;
    }
    // Links on Windows are not followed: a chart name that is one is
    // refused with this.
    std::string readLinkInFolder(FileHandle, const std::string&, std::error_code& ec) override
    {
        ec = std::error_code(ERROR_NOT_SUPPORTED, std::system_category());
        return {};
    }
    // Windows files have no POSIX owner to give: the output is the runner's.
    void setOwner(FileHandle, std::uint32_t, std::uint32_t, std::error_code& ec) override { ec.clear(); }
    void setAttributes(FileHandle file, std::uint32_t bits, std::error_code& ec) override
    {
        constexpr DWORD kSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM;
        FILE_BASIC_INFO basic{};
        // Zero times leave them as they are; zero attributes would mean none given.
        basic.FileAttributes = (bits & kSettable) == 0 ? FILE_ATTRIBUTE_NORMAL : (bits & kSettable);
        succeeded(::SetFileInformationByHandle(win(file), FileBasicInfo, &basic, sizeof basic), ec);
    }
    // What an output takes over from the chart here is its access list
    // (DACL), as a self-relative security descriptor; folders give none.
    std::vector<ExtendedAttribute> extendedAttributes(FileHandle file, std::error_code& ec) override
    {
        ec.clear();
        if (isFolder(file)) return {};
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        const DWORD error = ::GetSecurityInfo(win(file), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                              nullptr, nullptr, &descriptor);
        if (error != ERROR_SUCCESS) {
            ec = std::error_code(static_cast<int>(error), std::system_category());
            return {};
        }
        const std::string bytes(static_cast<const char*>(descriptor), ::GetSecurityDescriptorLength(descriptor));
        ::LocalFree(descriptor);
        return {{kAccessList, bytes}};
    }
    void setExtendedAttribute(FileHandle file, const std::string& name, const std::optional<std::string>& value,
                              std::error_code& ec) override
    {
        ec.clear();
        if (!value) return;  // every file has one; none is ever taken away
        if (name != kAccessList) {
            ec = std::error_code(ERROR_NOT_SUPPORTED, std::system_category());
            return;
        }
        // The chart's list as the output's own, inheriting nothing more from
        // the folder: whoever could not open the chart cannot open it.
        std::string descriptor = *value;
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        if (!::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted)) {
            ec = lastError();
            return;
        }
        const DWORD error = ::SetSecurityInfo(win(file), SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, present ? dacl : nullptr, nullptr);
        if (error != ERROR_SUCCESS) ec = std::error_code(static_cast<int>(error), std::system_category());
    }
    void sync(FileHandle file, std::error_code& ec) override
    {
        std::wstring folderName;
        {
            const std::lock_guard<std::mutex> lock(names_);
            const auto folder = folders_.find(win(file));
            if (folder != folders_.end()) folderName = longName(folder->second);
        }
        if (folderName.empty()) {
            succeeded(::FlushFileBuffers(win(file)), ec);
            return;
        }
        // A folder's handle may be flushed only with write access, which the
        // system may not give for a folder: then its entries are left to the
        // file system's journal, and the replacement itself is written
        // through.
        ec.clear();
        const HANDLE h = ::CreateFileW(folderName.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (::GetLastError() != ERROR_ACCESS_DENIED) ec = lastError();
            return;
        }
        const bool flushed = ::FlushFileBuffers(h) != 0;
        const DWORD error = ::GetLastError();
        ::CloseHandle(h);
        if (!flushed && error != ERROR_ACCESS_DENIED && error != ERROR_INVALID_FUNCTION) {
            ec = std::error_code(static_cast<int>(error), std::system_category());
        }
    }
    // A folder is synced as far as Windows allows whatever the runner may do
    // in it (see sync): one it may not list is no different.
    void checkFolderSync(FileHandle, std::error_code& ec) override { ec.clear(); }
    // Flushing a whole volume needs an administrator's handle to it: each
    // file is synced on its own instead.
    void syncFileSystem(FileHandle, std::error_code& ec) override
    {
        ec = std::error_code(ERROR_NOT_SUPPORTED, std::system_category());
    }
    // Nothing here flushes a volume for an ordinary user: never.
    bool syncsWholeFileSystem(FileHandle, std::error_code& ec) override
    {
        ec.clear();
        return false;
    }
    // Windows starts the write-back of a file by itself; FlushFileBuffers waits for it.
    void writeBack(FileHandle, std::uint64_t, std::uint64_t, bool, std::error_code& ec) override { ec.clear(); }
    FileHandle tryLock(FileHandle file, std::error_code& ec) override
    {
        // The replacement needs the chart's handles closed, and a byte-range
        // lock would go with them; a named mutex stays until its own handle
        // is closed or the process ends.
        // The file's final name, links and all; where the system cannot
        // give it (wine, for a long one), the full name it was opened by.
        std::wstring name = finalName(win(file));
        if (name.empty()) name = rememberedName(file);
        if (name.empty()) return failedHandle(ec);
        return takeLock(lockName(L"Global", name), ec);
    }
    void close(FileHandle file, std::error_code& ec) override
    {
        {
            const std::lock_guard<std::mutex> lock(names_);
            folders_.erase(win(file));
            files_.erase(win(file));
        }
        succeeded(::CloseHandle(win(file)), ec);
    }
    void renameInFolder(FileHandle folder, const std::string& from, const std::string& to, std::error_code& ec) override
    {
        const std::wstring source = joined(folder, from), target = joined(folder, to);
        // A program that has the chart open for a moment (a virus scanner,
        // the search indexer) makes the move fail with a sharing error: a few
        // tries give it time to let go.
        for (int attempt = 0;; ++attempt) {
            if (::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                ec.clear();
                return;
            }
            const DWORD error = ::GetLastError();
            if (attempt == 19 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) {
                ec = std::error_code(static_cast<int>(error), std::system_category());
                return;
            }
            ::Sleep(50);
        }
    }
    void removeInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override
    {
        succeeded(::DeleteFileW(joined(folder, name).c_str()), ec);
    }
    std::vector<FolderEntry> listFolder(FileHandle folder, std::error_code& ec) override
    {
        WIN32_FIND_DATAW found{};
        const HANDLE search = ::FindFirstFileW(joined(folder, "*").c_str(), &found);
        std::vector<FolderEntry> entries;
        if (search == INVALID_HANDLE_VALUE) {
            ec = ::GetLastError() == ERROR_FILE_NOT_FOUND ? std::error_code() : lastError();
            return entries;
        }
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            FileKind kind = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::directory : FileKind::regular;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && isLinkTag(found.dwReserved0)) {
                kind = FileKind::symbolicLink;
            }
            entries.push_back({toUtf8(name), kind});
        } while (::FindNextFileW(search, &found));
        const DWORD error = ::GetLastError();
        ::FindClose(search);
        ec = error == ERROR_NO_MORE_FILES ? std::error_code() : std::error_code(static_cast<int>(error), std::system_category());
        return entries;
    }

private:
    static constexpr const char* kAccessList = "windows.dacl";

    // The full name of an entry of an open folder, as the folder was named.
    std::wstring fullName(FileHandle folder, const std::string& name) const
    {
        std::wstring path = L".";
        {
            const std::lock_guard<std::mutex> lock(names_);
            const auto found = folders_.find(win(folder));
            if (found != folders_.end()) path = found->second;
        }
        if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
        return path + toWide(name);
    }
    // The same, in the \\?\ form where it is long.
    std::wstring joined(FileHandle folder, const std::string& name) const { return longName(fullName(folder, name)); }
    bool isFolder(FileHandle file) const
    {
        const std::lock_guard<std::mutex> lock(names_);
        return folders_.count(win(file)) != 0;
    }
    // An open folder, with the full name that names are joined to.
    FileHandle rememberedFolder(HANDLE h, const std::wstring& full, std::error_code& ec)
    {
        ec.clear();
        const std::lock_guard<std::mutex> lock(names_);
        folders_[h] = full;
        return handleOf(h);
    }
    FileHandle remembered(FileHandle handle, const std::wstring& name)
    {
        if (handle != kNoFile) {
            const std::lock_guard<std::mutex> lock(names_);
            files_[win(handle)] = name;
        }
        return handle;
    }
    std::wstring rememberedName(FileHandle file) const
    {
        const std::lock_guard<std::mutex> lock(names_);
        const auto found = files_.find(win(file));
        return found == files_.end() ? std::wstring() : found->second;
    }
    // The lock of one chart: a named mutex whose existence means that a run
    // holds it. Every user of the machine may open it to wait on it, so
    // that a run of another user sees it too; there is no lock of a smaller
    // scope to fall back to.
    static FileHandle takeLock(const std::wstring& name, std::error_code& ec)
    {
        // The creator has every right; everyone may open it to wait on it.
        SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100000;;;WD)",
                                                                   SDDL_REVISION_1, &attributes.lpSecurityDescriptor,
                                                                   nullptr)) {
            return failedHandle(ec);
        }
        for (int attempt = 0; attempt < 8; ++attempt) {
            const HANDLE mutex = ::CreateMutexW(&attributes, FALSE, name.c_str());
            const DWORD error = ::GetLastError();
            if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) {
                ::LocalFree(attributes.lpSecurityDescriptor);
                ec.clear();
                return reinterpret_cast<FileHandle>(mutex);
            }
            if (mutex != nullptr) ::CloseHandle(mutex);
            // Made by another run, perhaps another user's: open it with no
            // more than the right to wait on it, which says that it is there.
            const HANDLE other = error == ERROR_ALREADY_EXISTS ? nullptr : ::OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
            if (error == ERROR_ALREADY_EXISTS || other != nullptr) {
                if (other != nullptr) ::CloseHandle(other);
                ::LocalFree(attributes.lpSecurityDescriptor);
                ec.clear();
                return kNoFile;
            }
            if (::GetLastError() != ERROR_FILE_NOT_FOUND) break;
            // Gone in between: try again.
        }
        ec = lastError();
        ::LocalFree(attributes.lpSecurityDescriptor);
        return kNoFile;
    }
    static FileHandle opened(HANDLE h, std::error_code& ec)
    {
        if (h == INVALID_HANDLE_VALUE) return failedHandle(ec);
        ec.clear();
        return handleOf(h);
    }
    static FileHandle failedHandle(std::error_code& ec)
    {
        ec = lastError();
        return kNoFile;
    }
    static void succeeded(BOOL done, std::error_code& ec)
    {
        if (done) {
            ec.clear();
        } else {
            ec = lastError();
        }
    }

    // Each open folder's full name: Windows joins names to names, not to
    // handles; and the full name each file was opened by. Runs of a library
    // use them from several threads.
    mutable std::mutex names_;
    std::map<HANDLE, std::wstring> folders_;
    std::map<HANDLE, std::wstring> files_;
};

}  // namespace

FileOps& systemFileOps()
{
    static Win32FileOps ops;
    return ops;
}

bool namesIgnoreCase()
{
    return true;  // the file system finds "LOUD.SM" by "LOUD.sm"
}

std::string entryOf(const std::string& fileName)
{
    const std::size_t separator = fileName.find_last_of("\\/");
    if (separator != std::string::npos) return fileName.substr(separator + 1);
    const bool drive = fileName.size() >= 2 && fileName[1] == ':';
    return drive ? fileName.substr(2) : fileName;
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

std::string shellWord(const std::string& name)
{
    const bool plain = !name.empty() && name[0] != '-' &&
                       name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._/-+,:@"
                                              "\\") == std::string::npos;
    if (plain) return name;
    return "\"" + name + "\"";
}

}  // namespace chartseal
